#include "crashreporter/CRCrashReporter.h"

#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/files/StorePlace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr const char* kDataFolderName = "crashreporter";
constexpr const char* kReportFileName = "live_report.crshlog";
constexpr const char* kQueuedFolderName = "queued_reports";
constexpr const char* kLiveReportTemplate = "live_crash_report.XXXXXX";
constexpr const char* kPartSuffix = ".part";  // a report being written
constexpr const char* kClaimSuffix = ".read"; // a report taken by a reader, until it purges it
constexpr const char* kOwner = "[CRCrashReporter] The crash report";

// The names of the reports this process's readers have taken and not purged: one under this process's id
// that is not here was taken by an earlier process that had the same id.
struct Claims {
    std::mutex mutex;
    std::set<std::string> names;
};

Claims& claims()
{
    static Claims* held = new Claims;
    return *held;
}

bool isClaimedHere(const std::string& path)
{
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    return all.names.count(path) != 0;
}

void setClaimedHere(const std::string& path, bool claimed)
{
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    if (claimed)
        all.names.insert(path);
    else
        all.names.erase(path);
}

bool endsWith(const std::string& name, const std::string& suffix)
{
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Whether the process of an id has ended (this one's own never has).
bool hasEnded(long process)
{
    return process > 0 && process != getpid() && kill(static_cast<pid_t>(process), 0) != 0 && errno == ESRCH;
}

// Whether a failed call was refused as such (a system-call filter, an older kernel, a file system without
// it), rather than failing on the files named.
bool isRefused(int error)
{
    return error == EPERM || error == EACCES || error == ENOSYS || error == EINVAL;
}

// Renames by whichever of the system's calls for it a filter lets through.
int renameAny(const char* from, const char* to)
{
    if (rename(from, to) == 0)
        return 0;
    if (!isRefused(errno))
        return -1;
    if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0) == 0)
        return 0;
    if (!isRefused(errno))
        return -1;
    return static_cast<int>(syscall(SYS_renameat, AT_FDCWD, from, AT_FDCWD, to));
}

// Takes the file at `from` under the new name `to` (a claim: no other process takes that name): renamed,
// or where every rename is refused, linked and then removed from `from` while that still names it. 0, or
// the error: ENOENT when another process took it first.
int takeFile(const std::string& from, const std::string& to)
{
    if (renameAny(from.c_str(), to.c_str()) == 0)
        return 0;
    const int error = errno;
    if (!isRefused(error))
        return error;
    if (link(from.c_str(), to.c_str()) != 0)
        return errno == ENOENT ? ENOENT : error;
    struct stat taken {}, there {};
    if (lstat(to.c_str(), &taken) == 0 && lstat(from.c_str(), &there) == 0 && taken.st_dev == there.st_dev &&
        taken.st_ino == there.st_ino && unlink(from.c_str()) == 0)
        return 0;
    (void)unlink(to.c_str());
    return ENOENT;
}

std::mutex g_enableMutex;
bool g_enabled = false; // process-wide, never cleared; guarded by g_enableMutex

// Captures the calling thread and writes the live report with that state.
struct LiveWrite {
    int fd;
    crsh_log_writer* writer;
    const crsh_log_writer_signal_info* signal;
    crsh_error_t result;
    const crsh_crash_stack* stack; // the stack the report is written on (the caller's may be small)
    crsh_thread_t thread;          // the thread the report is of
};

bool isThreadOfThisProcess(crsh_thread_t thread)
{
    struct stat status {};
    return thread > 0 &&
           stat(("/proc/self/task/" + std::to_string(thread)).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The live report's writer, made on the live write's stack (its making takes some kilobytes).
struct LiveWriterInit {
    crsh_log_writer* writer;
    const char* identifier;
    const char* version;
    std::uint32_t strategy;
    crsh_error_t result;
    std::exception_ptr thrown; // thrown while making it (out of memory): thrown again on the caller's stack
};

int initWriterOnStack(void* context)
{
    auto* init = static_cast<LiveWriterInit*>(context);
    try {
        init->result = crsh_log_writer_init(init->writer, init->identifier, init->version, init->strategy, true);
    } catch (...) {
        init->thrown = std::current_exception();
    }
    return 0;
}

// A live report of the calling thread: its state is taken on its own stack, then the report is written on
// the live write's stack.
struct LiveStateWrite {
    LiveWrite* live;
    crsh_thread_state* state;
};

int writeStateOnStack(void* context)
{
    auto* job = static_cast<LiveStateWrite*>(context);
    LiveWrite* live = job->live;
    live->result = crsh_write_report_fd(live->fd, live->writer, crsh_async_mach_thread_self(), job->state, live->signal);
    return 0;
}

crsh_error_t writeWithCurrentState(crsh_thread_state* state, void* context)
{
    auto* live = static_cast<LiveWrite*>(context);
    LiveStateWrite job{live, state};
    (void)crsh_crash_stack_run(live->stack, writeStateOnStack, &job);
    return live->result;
}

// A live report of another thread, written on the live write's stack.
int writeBareOnStack(void* context)
{
    auto* live = static_cast<LiveWrite*>(context);
    live->result = crsh_write_report_fd(live->fd, live->writer, live->thread, nullptr, live->signal);
    return 0;
}

// The live report as written, read through a copy of its descriptor into memory: no buffer on the stack,
// since the calling thread's may be small. None when it cannot be read or is larger than a report can be.
std::optional<platform::Bytes> readLiveReport(int fd)
{
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || status.st_size < 0 ||
        static_cast<std::uint64_t>(status.st_size) > CRSH_REPORT_LIMIT_BYTES)
        return std::nullopt;
    platform::Bytes bytes(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

} // namespace

CRCrashReporter::CRCrashReporter(std::string identifier, std::string version, const CRCrashReporterConfig& config)
    : m_config(config), m_applicationIdentifier(std::move(identifier)), m_applicationVersion(std::move(version))
{
    m_crashReportDirectory = platform::AppFolders::current().caches() + "/" + kDataFolderName + "/" +
                             directoryNameForIdentifier(m_applicationIdentifier);
}

CRCrashReporter* CRCrashReporter::sharedReporter()
{
    static CRCrashReporter* shared = [] {
        platform::Result<std::unique_ptr<CRCrashReporter>> made = init();
        return made.ok() ? made.value().release() : nullptr;
    }();
    return shared;
}

platform::Result<std::unique_ptr<CRCrashReporter>> CRCrashReporter::init()
{
    return initWithConfiguration(CRCrashReporterConfig::defaultConfiguration());
}

platform::Result<std::unique_ptr<CRCrashReporter>> CRCrashReporter::initWithConfiguration(const CRCrashReporterConfig& config)
{
    return initWithBundle(platform::Bundle::main(), config);
}

platform::Result<std::unique_ptr<CRCrashReporter>> CRCrashReporter::initWithBundle(const platform::Bundle& bundle,
                                                                                   const CRCrashReporterConfig& config)
{
    // The image list belongs to the class: made with the first reporter, from the objects loaded then.
    (void)crsh_shared_image_list();

    std::string identifier = bundle.bundleIdentifier();
    if (identifier.empty()) {
        const char* processName = program_invocation_short_name;
        if (processName == nullptr || processName[0] == '\0')
            return crsh_reporter_error(CRCrashReporterErrorUnknown, "Can not determine process identifier or process name");
        platform::Log::writef("[CRCrashReporter] Warning -- bundle identifier, using process name %s", processName);
        identifier = processName;
    }
    std::string version;
    const platform::Value versionValue = bundle.objectForInfoDictionaryKey("CFBundleVersion");
    if (const std::string* bundleVersion = versionValue.getString())
        version = *bundleVersion;
    else
        platform::Log::write("[CRCrashReporter] Warning -- bundle version unavailable");
    return std::unique_ptr<CRCrashReporter>(new CRCrashReporter(std::move(identifier), std::move(version), config));
}

std::string CRCrashReporter::directoryNameForIdentifier(const std::string& identifier)
{
    std::string name = identifier;
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    // The name is one folder inside the data folder: it must not name that folder or its parent.
    if (name.empty() || name == "." || name == "..")
        return "_";
    return name;
}

std::string CRCrashReporter::queuedCrashReportDirectory() const
{
    return m_crashReportDirectory + "/" + kQueuedFolderName;
}

std::string CRCrashReporter::crashReportPath() const
{
    return m_crashReportDirectory + "/" + kReportFileName;
}

CRCrashReporter::~CRCrashReporter()
{
    // A report loaded and not purged waits again, for this process's other readers too.
    if (!m_claimedPath.empty())
        setClaimedHere(m_claimedPath, false);
}

bool CRCrashReporter::hasPendingCrashReport() const
{
    struct stat status {};
    if ((!m_claimedPath.empty() && lstat(m_claimedPath.c_str(), &status) == 0) || lstat(crashReportPath().c_str(), &status) == 0)
        return true;
    // Nothing in place: a report taken by a reader that ended before purging it, or one waiting beside,
    // takes the place (as when a reporter is enabled).
    tidyWaitingReports();
    return lstat(crashReportPath().c_str(), &status) == 0;
}

std::string CRCrashReporter::claimName() const
{
    static std::atomic<std::uint64_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char unique[64];
    std::snprintf(unique, sizeof unique, ".%ld.r%llx%llx", static_cast<long>(getpid()),
                  static_cast<unsigned long long>(now.tv_sec) * 1000000000ull + static_cast<unsigned long long>(now.tv_nsec),
                  static_cast<unsigned long long>(counter.fetch_add(1)));
    return crashReportPath() + unique + kClaimSuffix;
}

platform::Result<platform::Bytes> CRCrashReporter::loadPendingCrashReportData() const
{
    // The report read is this reader's own from here on: it takes it by a rename, so that a reader in
    // another process neither reads it too nor has it purged, and the same report comes back until it is
    // purged. Something that is no report at the path (a symbolic link, a pipe, a device, a folder, a
    // file larger than a report can be) is neither followed nor read: it is moved aside, said once.
    m_loaded = true;
    struct stat status {};
    if (!m_claimedPath.empty() && lstat(m_claimedPath.c_str(), &status) != 0)
        setClaimedHere(std::exchange(m_claimedPath, std::string()), false);
    const std::string path = crashReportPath();
    if (m_claimedPath.empty()) {
        platform::StorePlace::Fit fit = platform::StorePlace::makeFit(path, kOwner);
        if (fit == platform::StorePlace::Fit::Empty) {
            // Nothing in place: a report taken by a reader that ended before purging it (killed, or unable
            // to read it), or one waiting beside, takes the place first.
            tidyWaitingReports();
            fit = platform::StorePlace::makeFit(path, kOwner);
        }
        if (fit == platform::StorePlace::Fit::MovedAside || fit == platform::StorePlace::Fit::Blocked)
            return crsh_reporter_error(CRCrashReporterErrorCrashReportInvalid, "The pending crash report is not a regular file");
        const std::string claim = claimName();
        setClaimedHere(claim, true);
        if (const int error = takeFile(path, claim); error != 0) {
            setClaimedHere(claim, false);
            return platform::fileError(error, platform::FileAccess::Read, path, "Could not open");
        }
        m_claimedPath = claim;
    }
    platform::Result<platform::Bytes> read = readReport(m_claimedPath);
    if (!read.ok() && read.error().domain == CRCrashReporterErrorDomain) {
        // No report: set aside for whoever looks, never read again.
        const std::string aside = platform::StorePlace::asideName(path);
        if (platform::StorePlace::makeRoomAside(path, kOwner) && renameAny(m_claimedPath.c_str(), aside.c_str()) == 0) {
            platform::Log::write(std::string(kOwner) + " " + path + " is no report (" + read.error().localizedDescription() +
                                 "); it was moved aside to " + aside);
            setClaimedHere(std::exchange(m_claimedPath, std::string()), false);
        }
    }
    return read;
}

platform::Result<platform::Bytes> CRCrashReporter::readReport(const std::string& file) const
{
    // Only a regular file is a report: a symbolic link is not followed, and a pipe or a device is opened
    // without waiting and not read (it could block for ever or never end).
    const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno != ELOOP)
        return platform::fileError(errno, platform::FileAccess::Read, crashReportPath(), "Could not open");
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (fd >= 0)
            close(fd);
        return crsh_reporter_error(CRCrashReporterErrorCrashReportInvalid,
                                   "The pending crash report is not a regular file");
    }
    platform::Bytes bytes;
    bool tooLarge = static_cast<std::uint64_t>(status.st_size) > CRSH_REPORT_LIMIT_BYTES;
    int readError = 0;
    if (!tooLarge) {
        // The size may have changed since: read at most one byte past the limit.
        bytes.resize(CRSH_REPORT_LIMIT_BYTES + 1);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t count = read(fd, bytes.data() + done, bytes.size() - done);
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0)
                readError = errno;
            if (count <= 0)
                break;
            done += static_cast<std::size_t>(count);
        }
        tooLarge = done > CRSH_REPORT_LIMIT_BYTES;
        bytes.resize(done);
    }
    close(fd);
    if (readError != 0)
        return platform::fileError(readError, platform::FileAccess::Read, crashReportPath(), "Could not read");
    if (tooLarge)
        return crsh_reporter_error(CRCrashReporterErrorCrashReportInvalid,
                                   "The pending crash report is larger than a crash report can be");
    return bytes;
}

platform::Status CRCrashReporter::purgePendingCrashReport() const
{
    const std::string path = crashReportPath();
    // The report this reader took goes, whatever has come to the path since. A reader whose load took
    // none (none was pending, another reader took it first, or it was no report and went aside) purges
    // nothing: what is at the path now was put there since, by a crash or another reader, and is unread.
    // Without a load, the report at the path: unlink() removes a file (or a link) and refuses a folder.
    const bool tookNone = m_loaded && m_claimedPath.empty();
    m_loaded = false;
    if (tookNone)
        return platform::fileError(ENOENT, platform::FileAccess::Write, path, "Could not remove");
    const std::string purged = m_claimedPath.empty() ? path : m_claimedPath;
    if (unlink(purged.c_str()) != 0 && !(errno == ENOENT && purged != path))
        return platform::fileError(errno, platform::FileAccess::Write, path, "Could not remove");
    if (!m_claimedPath.empty())
        setClaimedHere(std::exchange(m_claimedPath, std::string()), false);
    tidyWaitingReports();
    return {};
}

void CRCrashReporter::tidyWaitingReports() const
{
    // Something other than a report file at the path would keep every crash from leaving its report.
    (void)platform::StorePlace::makeFit(crashReportPath(), kOwner);
    // "<report file>.<pid>.<unique>": waiting; the same with ".part": being written by that process; with
    // ".read": taken by a reader of that process.
    const std::string prefix = std::string(kReportFileName) + ".";
    DIR* folder = opendir(m_crashReportDirectory.c_str());
    if (folder == nullptr)
        return;
    // This process writes none before it is enabled: one under its id is an earlier process's that had
    // the same id (as each run in a fresh process namespace may).
    const pid_t self = getpid();
    const bool writesNone = crsh_shared_handler_context()->process != self;
    struct Kept {
        timespec written;
        std::string name;
        std::uint64_t bytes;
        dev_t device;
        ino_t inode;
    };
    std::vector<Kept> kept; // the reports waiting to be read, the pending one among them
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        const bool pending = name == kReportFileName;
        if (!pending && (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0))
            continue;
        const std::string path = m_crashReportDirectory + "/" + name;
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0 || platform::StorePlace::isAsideName(name))
            continue;
        const long process = pending ? 0 : std::atol(name.c_str() + prefix.size());
        if (endsWith(name, kPartSuffix)) {
            // It goes once nothing can still be writing it: its process has ended, and it was last written
            // longer ago than a write may take (the helper of a process killed meanwhile writes on).
            const bool ended = (process == self && writesNone) || hasEnded(process);
            if (ended && std::time(nullptr) - status.st_mtime > static_cast<time_t>(CRSH_REPORT_HELPER_WAIT_SECONDS))
                (void)unlink(path.c_str());
            continue;
        }
        // A report taken by a reader that ended before it purged it waits again.
        if (endsWith(name, kClaimSuffix) && (process == self ? isClaimedHere(path) : !hasEnded(process)))
            continue;
        if (S_ISREG(status.st_mode))
            kept.push_back({status.st_mtim, name, static_cast<std::uint64_t>(status.st_size), status.st_dev, status.st_ino});
    }
    closedir(folder);
    std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) {
        return std::tie(a.written.tv_sec, a.written.tv_nsec, a.name) < std::tie(b.written.tv_sec, b.written.tv_nsec, b.name);
    });
    // Within the bounds: the oldest go first, said once. Each goes as it was counted: taken under a claim
    // first, so that a report another process put at the pending place since (after a reader took the one
    // counted there) is not the one dropped; such a one goes back, or waits under the claim.
    const auto drop = [this](const Kept& report) {
        const std::string name = m_crashReportDirectory + "/" + report.name;
        const std::string claim = claimName();
        setClaimedHere(claim, true);
        struct stat taken {};
        if (takeFile(name, claim) == 0) {
            if (lstat(claim.c_str(), &taken) == 0 && taken.st_dev == report.device && taken.st_ino == report.inode)
                (void)unlink(claim.c_str());
            else
                (void)syscall(SYS_renameat2, AT_FDCWD, claim.c_str(), AT_FDCWD, name.c_str(), 1 /* RENAME_NOREPLACE */);
        }
        setClaimedHere(claim, false);
    };
    std::uint64_t bytes = 0;
    for (const Kept& report : kept)
        bytes += report.bytes;
    std::size_t dropped = 0;
    while (!kept.empty() && (kept.size() > kMaxKeptReports || bytes > kMaxKeptBytes)) {
        drop(kept.front());
        bytes -= kept.front().bytes;
        kept.erase(kept.begin());
        ++dropped;
    }
    if (dropped > 0)
        platform::Log::writef("[CRCrashReporter] %zu crash reports waiting to be read were dropped, the oldest first: at most "
                              "%zu reports of %llu bytes in all are kept",
                              dropped, kMaxKeptReports, static_cast<unsigned long long>(kMaxKeptBytes));
    // With nothing pending, the oldest waiting report takes the place; a link does not replace a report
    // that came in meanwhile.
    const auto oldest = std::find_if(kept.begin(), kept.end(), [](const Kept& report) { return report.name != kReportFileName; });
    if (oldest == kept.end() || std::any_of(kept.begin(), kept.end(), [](const Kept& report) { return report.name == kReportFileName; }))
        return;
    // Moved in one step, so that a report another reader put in place and took meanwhile is not put there
    // again. Where that rename is refused (an older kernel, a file system without it, a system-call
    // filter), the report is first taken under a claim of this process's own, so that no other process
    // puts it in place too, then linked into the place (which does not replace either) and given back
    // when that fails; a claim left by a failed give-back waits again once this process has gone.
    const std::string waiting = m_crashReportDirectory + "/" + oldest->name;
    const std::string path = crashReportPath();
    if (syscall(SYS_renameat2, AT_FDCWD, waiting.c_str(), AT_FDCWD, path.c_str(), 1 /* RENAME_NOREPLACE */) == 0 ||
        !isRefused(errno))
        return;
    const std::string claim = claimName();
    setClaimedHere(claim, true);
    if (takeFile(waiting, claim) == 0) {
        if (link(claim.c_str(), path.c_str()) == 0)
            (void)unlink(claim.c_str());
        else
            (void)renameAny(claim.c_str(), waiting.c_str());
    }
    setClaimedHere(claim, false);
}

platform::Status CRCrashReporter::populateCrashReportDirectory() const
{
    platform::FileManager& files = platform::FileManager::defaultManager();
    platform::FileAttributeChanges permissions;
    permissions.posixPermissions = 0755;
    const std::string dataFolder = platform::deletingLastPathComponent(m_crashReportDirectory);
    for (const std::string& folder : {dataFolder, m_crashReportDirectory, queuedCrashReportDirectory()}) {
        // Something other than a folder there (a file, a pipe, a dangling link) would keep every crash
        // from leaving its report, at every launch: it is moved aside.
        (void)platform::StorePlace::makeFolderFit(folder, kOwner);
        if (files.isDirectory(folder))
            continue;
        platform::Status made = files.createDirectory(folder, true, permissions);
        if (!made)
            return made;
    }
    return {};
}

platform::Status CRCrashReporter::enableCrashReporter()
{
    {
        std::lock_guard<std::mutex> lock(g_enableMutex);
        if (g_enabled)
            return crsh_reporter_error(CRCrashReporterErrorResourceBusy,
                                       "A CRCrashReporter instance has already been enabled");
        g_enabled = true;
    }

    platform::Status populated = populateCrashReportDirectory();
    if (!populated)
        return populated;
    tidyWaitingReports();

    crsh_handler_context* context = crsh_shared_handler_context();
    // A record without the process's description still makes a report; one without its workspace does not.
    if (crsh_log_writer_init(&context->writer, m_applicationIdentifier.c_str(), m_applicationVersion.c_str(),
                             mapToAsyncSymbolicationStrategy(m_config.symbolicationStrategy()), false) ==
        CRSH_ERR_NO_MEMORY)
        return crsh_reporter_posix_error(CRCrashReporterErrorOperatingSystem,
                                         "Could not map the crash report's workspace", ENOMEM);
    context->report_path = strdup(crashReportPath().c_str());
    // Only this process reports its crashes; a child forked from it does not.
    context->process = getpid();
    // Without spares a crash that finds no descriptor left still writes the crashed thread, if it can
    // open the report at all.
    if (!crsh_hold_spare_descriptors(context))
        platform::Log::writef("[CRCrashReporter] Warning -- no spare descriptors for the crash path: %s",
                              std::strerror(errno));
    // Without a crash stack the report is made on the crashed thread's own stack, which may be too small.
    if (crsh_crash_stack_prepare(&context->stack) != CRSH_ERR_NONE)
        platform::Log::write("[CRCrashReporter] Warning -- no crash stack; a thread with little stack left may crash "
                             "without a report");
    // Without a helper the crashed thread writes the report itself, with the other threads bare.
    if (crsh_report_helper_prepare(&context->helper) != CRSH_ERR_NONE)
        platform::Log::write("[CRCrashReporter] Warning -- no crash report helper; other threads will be listed bare");

    const unsigned type = m_config.signalHandlerType();
    CRCrashSignalHandler* handler = CRCrashSignalHandler::sharedHandler();
    if (handler == nullptr && (type == CRCrashReporterSignalHandlerTypeBSD || type == CRCrashReporterSignalHandlerTypeMach))
        return crsh_reporter_posix_error(CRCrashReporterErrorOperatingSystem,
                                         "Could not initialize alternative signal stack", ENOMEM);
    switch (type) {
    case CRCrashReporterSignalHandlerTypeBSD:
        for (int signo : CRSH_CRASH_SIGNALS) {
            platform::Status registered = handler->registerHandlerForSignal(signo, signal_handler_callback, context);
            if (!registered)
                return registered;
        }
        break;
    case CRCrashReporterSignalHandlerTypeMach: {
        platform::Status registered = handler->registerHandlerForSignal(SIGABRT, signal_handler_callback, context);
        if (!registered)
            return registered;
        // No exception ports here: the server cannot be made.
        return crsh_reporter_posix_error(CRCrashReporterErrorOperatingSystem,
                                         "Failed to instantiate the Mach exception server.", ENOTSUP);
    }
    default:
        break; // no signal or exception handler
    }

    std::set_terminate(uncaught_exception_handler);
    m_enabled = true;
    return {};
}

platform::Result<platform::Bytes> CRCrashReporter::generateLiveReport()
{
    return generateLiveReportWithThread(crsh_async_mach_thread_self());
}

__attribute__((noinline)) platform::Result<platform::Bytes>
CRCrashReporter::generateLiveReportWithThread(crsh_thread_t thread)
{
    // A report names its thread among the process's threads: one that is not there has no report (the
    // report would list no thread, or none of the one asked for).
    const crsh_thread_t self = crsh_async_mach_thread_self();
    if (thread != self && !isThreadOfThisProcess(thread))
        return crsh_reporter_posix_error(CRCrashReporterErrorUnknown, "Failed to write the crash report to disk",
                                         ESRCH);

    std::string path = platform::AppFolders::current().tmp() + "/" + kLiveReportTemplate;
    int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return crsh_reporter_posix_error(CRCrashReporterErrorOperatingSystem, "Failed to create temporary path", errno);

    // The writer needs more stack than the calling thread may have (16 KiB, say): it is made and writes on
    // a stack of its own, or on the caller's where none can be mapped.
    crsh_crash_stack stack{};
    if (crsh_crash_stack_prepare(&stack) != CRSH_ERR_NONE)
        platform::Log::write("[CRCrashReporter] Warning -- no stack for the live report; writing it on the caller's");
    crsh_log_writer writer;
    LiveWriterInit init{&writer, m_applicationIdentifier.c_str(), m_applicationVersion.c_str(),
                        mapToAsyncSymbolicationStrategy(m_config.symbolicationStrategy()), CRSH_ERR_INTERNAL};
    (void)crsh_crash_stack_run(&stack, initWriterOnStack, &init);
    if (init.thrown) {
        crsh_log_writer_free(&writer);
        crsh_crash_stack_release(&stack);
        close(fd);
        unlink(path.c_str());
        std::rethrow_exception(init.thrown);
    }
    if (init.result == CRSH_ERR_NO_MEMORY) {
        crsh_crash_stack_release(&stack);
        close(fd);
        unlink(path.c_str());
        return crsh_reporter_posix_error(CRCrashReporterErrorOperatingSystem, "Could not map the crash report's workspace",
                                         ENOMEM);
    }

    // A breakpoint trace at the caller's return point.
    const crsh_log_writer_signal_info signal{SIGTRAP, TRAP_TRACE,
                                             reinterpret_cast<std::uint64_t>(__builtin_return_address(0)), nullptr};
    // The writer closes its descriptor: the report is read back through a copy.
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    LiveWrite live{fd, &writer, &signal, CRSH_ERR_INTERNAL, &stack, thread};
    if (thread == self)
        (void)crsh_async_thread_state_current(writeWithCurrentState, &live);
    else
        // Written inside this process: the thread's registers cannot be read, it is written bare.
        (void)crsh_crash_stack_run(&stack, writeBareOnStack, &live);
    const crsh_error_t result = live.result;
    crsh_crash_stack_release(&stack);
    crsh_log_writer_free(&writer);
    std::optional<platform::Bytes> written = result == CRSH_ERR_NONE ? readLiveReport(copy) : std::nullopt;
    if (copy >= 0)
        close(copy);

    platform::Result<platform::Bytes> report = platform::Bytes{};
    if (result != CRSH_ERR_NONE) {
        platform::Log::writef("Write failed with error %s", crsh_strerror(result));
        report = crsh_reporter_error(CRCrashReporterErrorUnknown, "Failed to write the crash report to disk");
    } else if (written) {
        report = std::move(*written);
    } else {
        report = crsh_reporter_error(CRCrashReporterErrorUnknown, "Unable to open live crash report for reading");
    }
    // The temporary file goes in every case.
    if (unlink(path.c_str()) != 0)
        platform::Log::writef("Failure occured deleting live crash report: %s", std::strerror(errno));
    return report;
}

platform::Status CRCrashReporter::setCrashCallbacks(const CRCrashReporterCallbacks& callbacks)
{
    if (m_enabled)
        return crsh_reporter_error(CRCrashReporterErrorResourceBusy, "The crash reporter has alread been enabled");
    if (callbacks.version != 0)
        platform::internalInconsistency("callbacks->version == 0");
    crsh_set_crash_callbacks(callbacks.context, callbacks.handleSignal);
    return {};
}
