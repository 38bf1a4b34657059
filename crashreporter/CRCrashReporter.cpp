#include "crashreporter/CRCrashReporter.h"

#include "platform/AppFolders.h"
#include "platform/FileManager.h"
#include "platform/Log.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>

namespace {

constexpr const char* kDataFolderName = "crashreporter";
constexpr const char* kReportFileName = "live_report.crshlog";
constexpr const char* kQueuedFolderName = "queued_reports";
constexpr const char* kLiveReportTemplate = "live_crash_report.XXXXXX";

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

bool CRCrashReporter::hasPendingCrashReport() const
{
    return platform::FileManager::defaultManager().fileExists(crashReportPath());
}

platform::Result<platform::Bytes> CRCrashReporter::loadPendingCrashReportData() const
{
    // Only a regular file is a report: a symbolic link is not followed, and a pipe or a device is opened
    // without waiting and not read (it could block for ever or never end).
    const std::string path = crashReportPath();
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno != ELOOP)
        return platform::fileError(errno, platform::FileAccess::Read, path, "Could not open");
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
        return platform::fileError(readError, platform::FileAccess::Read, path, "Could not read");
    if (tooLarge)
        return crsh_reporter_error(CRCrashReporterErrorCrashReportInvalid,
                                   "The pending crash report is larger than a crash report can be");
    return bytes;
}

platform::Status CRCrashReporter::purgePendingCrashReport() const
{
    const std::string path = crashReportPath();
    // unlink() removes a file (or a link) and refuses a folder.
    if (unlink(path.c_str()) != 0)
        return platform::fileError(errno, platform::FileAccess::Write, path, "Could not remove");
    tidyWaitingReports();
    return {};
}

void CRCrashReporter::tidyWaitingReports() const
{
    // "<report file>.<pid>.<unique>": waiting; the same with ".part": being written by that process.
    const std::string prefix = std::string(kReportFileName) + ".";
    const std::string part = ".part";
    DIR* folder = opendir(m_crashReportDirectory.c_str());
    if (folder == nullptr)
        return;
    // This process writes none before it is enabled: one under its id is an earlier process's that had
    // the same id (as each run in a fresh process namespace may).
    const pid_t self = getpid();
    const bool writesNone = crsh_shared_handler_context()->process != self;
    std::optional<std::pair<timespec, std::string>> oldest;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string path = m_crashReportDirectory + "/" + name;
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0)
            continue;
        if (name.size() > part.size() && name.compare(name.size() - part.size(), part.size(), part) == 0) {
            // It goes once nothing can still be writing it: its process has ended, and it was last written
            // longer ago than a write may take (the helper of a process killed meanwhile writes on).
            const long writer = std::atol(name.c_str() + prefix.size());
            const bool ended = writer > 0 && ((writer == self && writesNone) ||
                                              (writer != self && kill(static_cast<pid_t>(writer), 0) != 0 && errno == ESRCH));
            if (ended && std::time(nullptr) - status.st_mtime > static_cast<time_t>(CRSH_REPORT_HELPER_WAIT_SECONDS))
                (void)unlink(path.c_str());
            continue;
        }
        if (!S_ISREG(status.st_mode))
            continue;
        const auto key = std::make_pair(status.st_mtim, name);
        if (!oldest || std::tie(key.first.tv_sec, key.first.tv_nsec, key.second) <
                           std::tie(oldest->first.tv_sec, oldest->first.tv_nsec, oldest->second))
            oldest = key;
    }
    closedir(folder);
    // A link does not replace a report that came in meanwhile.
    if (oldest) {
        const std::string waiting = m_crashReportDirectory + "/" + oldest->second;
        if (link(waiting.c_str(), crashReportPath().c_str()) == 0)
            (void)unlink(waiting.c_str());
    }
}

platform::Status CRCrashReporter::populateCrashReportDirectory() const
{
    platform::FileManager& files = platform::FileManager::defaultManager();
    platform::FileAttributeChanges permissions;
    permissions.posixPermissions = 0755;
    for (const std::string& folder : {m_crashReportDirectory, queuedCrashReportDirectory()}) {
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
