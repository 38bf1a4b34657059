#include "crashreporter/crsh_crash_callbacks.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <typeinfo>

namespace {

// Plain static data, zero before the program starts: readable from any signal handler.
crsh_handler_context g_handlerContext;
struct {
    void* context;
    CRCrashReporterPostCrashSignalCallback callback;
} g_crashCallbacks;
crsh_image_list* g_imageList = nullptr;
// The thread that writes the crash report; 0 until a thread crashes. The first crashing thread takes it.
std::atomic<crsh_thread_t> g_reportingThread{0};
static_assert(std::atomic<crsh_thread_t>::is_always_lock_free);

// The crash signals back to their default action (empty mask, no flags): a signal raised now ends the
// process.
void resetCrashSignals()
{
    for (int crashSignal : CRSH_CRASH_SIGNALS) {
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(crashSignal, &fallback, nullptr);
    }
}

std::string demangled(const char* mangled)
{
    int status = 0;
    char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    if (status != 0 || name == nullptr)
        return mangled;
    std::string result(name);
    std::free(name);
    return result;
}

// Collects the return addresses of the calling stack, leaving out the collecting function's own frame.
// The walk follows the call-frame information the exception itself was thrown with: the frames between
// the handler and the throw site belong to the language runtime, which keeps no frame pointers.
struct ReturnAddresses {
    std::vector<std::uint64_t>* addresses;
    bool skippedOwnFrame;
};

_Unwind_Reason_Code collectReturnAddress(_Unwind_Context* frame, void* context)
{
    auto* collected = static_cast<ReturnAddresses*>(context);
    if (!collected->skippedOwnFrame) {
        collected->skippedOwnFrame = true;
        return _URC_NO_REASON;
    }
    const _Unwind_Ptr pc = _Unwind_GetIP(frame);
    if (pc == 0 || collected->addresses->size() >= CRSH_LOG_WRITER_MAX_FRAMES)
        return _URC_END_OF_STACK;
    collected->addresses->push_back(static_cast<std::uint64_t>(pc));
    return _URC_NO_REASON;
}

// A report written by the helper: what the crashed thread hands it.
struct HelperWrite {
    crsh_log_writer* writer;
    crsh_thread_t crashed_thread;
    const crsh_thread_state* thread_state;
    const crsh_log_writer_signal_info* signal_info;
    const char* aside; // the name the report is written under until it is whole
};

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

// A path of the report's folder.
constexpr std::size_t kPathBytes = 4096;
using PathBuffer = char[kPathBytes];

// The helper's exit code when it may not read the crashed process (tracing refused): it writes nothing.
constexpr int kHelperCannotRead = 200;
static_assert(kHelperCannotRead > CRSH_ERR_INVALID_DATA);

// The process's image list: none in a process forked from the one that made it (the list's task, whose
// threads and memory a write reads, is that other process).
crsh_image_list* imagesOfThisProcess()
{
    return g_imageList != nullptr && g_imageList->task == crsh_async_task_self() ? g_imageList : nullptr;
}

// Closes the spare descriptors of the calling process. In the crashed process itself only those that
// still name the spares' files: a number the application closed and opened again is its own (a file
// another thread may be writing), never closed there, or the report would take its number and that
// thread's writes. The helper shares the process's memory but has copies of its descriptors: it closes
// the spares' numbers whatever they name now, leaving the crashed process's own untouched. Only the
// process that holds the spares records that they are gone.
void releaseSpareDescriptors()
{
    crsh_handler_context& context = g_handlerContext;
    if (!context.spares_held)
        return;
    const bool inCrashedProcess = static_cast<pid_t>(syscall(SYS_getpid)) == context.process;
    for (std::size_t i = 0; i < CRSH_SPARE_DESCRIPTORS; ++i) {
        struct stat status {};
        if (!inCrashedProcess || (fstat(context.spare_descriptors[i], &status) == 0 &&
                                  status.st_dev == context.spare_devices[i] && status.st_ino == context.spare_inodes[i]))
            (void)close(context.spare_descriptors[i]);
    }
    if (inCrashedProcess)
        context.spares_held = false;
}

crsh_error_t writeReportFile(crsh_image_list* images, crsh_log_writer* writer, crsh_thread_t crashed_thread,
                             const crsh_thread_state* thread_state, const crsh_log_writer_signal_info* signal_info,
                             const char* aside);

// The answers of the crash path to the signals its own calls may bring while a report is made: a write
// past a file size limit fails with EFBIG instead of ending the process (SIGXFSZ ignored), and so does a
// call that a system-call filter traps, with ENOSYS (SIGSYS answered): the crash path has another way
// around each call it makes, or makes the report smaller. Held and released in pairs, which may nest.
struct CrashPathSignals {
    struct sigaction fileSize;
    struct sigaction filter;
    bool holdsFileSize;
    bool holdsFilter;
};

void answerTrappedCall(int, siginfo_t* info, void* user_context)
{
    (void)crsh_async_refuse_trapped_call(info, user_context);
}

void holdCrashPathSignals(CrashPathSignals* held)
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    held->holdsFileSize = sigaction(SIGXFSZ, &ignore, &held->fileSize) == 0;
    // On the stack the call was made on (the crash stack), not the alternate one that the crashed thread's
    // handler still stands on.
    struct sigaction answer = {};
    answer.sa_sigaction = answerTrappedCall;
    answer.sa_flags = SA_SIGINFO;
    sigemptyset(&answer.sa_mask);
    held->holdsFilter = sigaction(SIGSYS, &answer, &held->filter) == 0;
}

void releaseCrashPathSignals(const CrashPathSignals& held)
{
    if (held.holdsFilter)
        (void)sigaction(SIGSYS, &held.filter, nullptr);
    if (held.holdsFileSize)
        (void)sigaction(SIGXFSZ, &held.fileSize, nullptr);
}

// The name a report of the context's path is written under until it is whole: the path, the process and
// a unique part (the wall clock's nanoseconds), then ".part". False when the path is too long.
bool asideName(PathBuffer& aside)
{
    const char* path = g_handlerContext.report_path;
    if (path == nullptr)
        return false;
    const pid_t process = g_handlerContext.process != 0 ? g_handlerContext.process : static_cast<pid_t>(syscall(SYS_getpid));
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t unique = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
    std::size_t at = 0;
    while (path[at] != '\0') {
        if (at + 48 >= sizeof aside)
            return false;
        aside[at] = path[at];
        ++at;
    }
    aside[at++] = '.';
    char digits[12];
    std::size_t count = 0;
    for (auto value = static_cast<std::uint32_t>(process); count == 0 || value > 0; value /= 10)
        digits[count++] = static_cast<char>('0' + value % 10);
    while (count > 0)
        aside[at++] = digits[--count];
    aside[at++] = '.';
    for (int shift = 60; shift >= 0; shift -= 4)
        aside[at++] = "0123456789abcdef"[(unique >> shift) & 0xF];
    for (const char* suffix = ".part"; *suffix != '\0'; ++suffix)
        aside[at++] = *suffix;
    aside[at] = '\0';
    return true;
}

// In the helper: the report of the image list's task, the crashed process.
int writeFromHelper(void* opaque)
{
    const auto* job = static_cast<const HelperWrite*>(opaque);
    // The memory file of the first read below takes a spare's place when the process had none left.
    releaseSpareDescriptors();
    std::uint8_t probe = 0;
    crsh_async_reads_begin(g_imageList->task);
    const bool readable = crsh_async_task_memcpy(g_imageList->task, reinterpret_cast<crsh_vm_address_t>(job), 0,
                                                 &probe, 1) == CRSH_ERR_NONE;
    crsh_async_reads_end();
    if (!readable)
        return kHelperCannotRead;
    return writeReportFile(g_imageList, job->writer, job->crashed_thread, job->thread_state, job->signal_info,
                           job->aside);
}

// The report of the crashed thread, by the helper when it can, else by the thread itself.
crsh_error_t writeCrashReport(crsh_handler_context* handler, crsh_thread_t crashed_thread,
                              const crsh_thread_state* state, const crsh_log_writer_signal_info* signal)
{
    PathBuffer aside;
    if (!asideName(aside))
        return CRSH_ERR_INTERNAL;
    CrashPathSignals held;
    holdCrashPathSignals(&held);
    // The helper finds the process's threads and memory through the image list's task.
    if (g_imageList != nullptr && g_imageList->task == crsh_async_task_self()) {
        // The helper reads through the crashed thread should the main thread have ended.
        crsh_async_set_reading_thread(g_imageList->task, crashed_thread);
        HelperWrite job{&handler->writer, crashed_thread, state, signal, aside};
        int exitCode = 0;
        if (crsh_report_helper_run(&handler->helper, writeFromHelper, &job, &exitCode) && exitCode != kHelperCannotRead) {
            releaseCrashPathSignals(held);
            return static_cast<crsh_error_t>(exitCode);
        }
        // Whatever a helper that failed left under the name goes; the report is written again there.
        (void)unlink(aside);
    }
    const crsh_error_t written = writeReportFile(imagesOfThisProcess(), &handler->writer, crashed_thread, state, signal, aside);
    releaseCrashPathSignals(held);
    return written;
}

// A crash being reported: what the crashed thread's handler hands over to the crash stack.
struct Crash {
    crsh_handler_context* handler;
    crsh_thread_t thread;
    int signo;
    siginfo_t* info;
    ucontext_t* uap;
};

// Writes the crash's report and, once it is written, calls the crash callback.
int reportCrash(void* opaque)
{
    const auto* crash = static_cast<const Crash*>(opaque);
    crsh_thread_state state;
    crsh_thread_state_mcontext_init(&state, &crash->uap->uc_mcontext);
    // Only a signal the kernel raised for a fault carries an address; a sent one (abort(), kill()) holds
    // the sender's ids in the same place.
    const siginfo_t* info = crash->info;
    const std::uint64_t address = info->si_code > 0 ? reinterpret_cast<std::uint64_t>(info->si_addr) : 0;
    const crsh_log_writer_signal_info signal{crash->signo, info->si_code, address, nullptr};
    const crsh_error_t written = writeCrashReport(crash->handler, crash->thread, &state, &signal);
    if (written == CRSH_ERR_NONE && g_crashCallbacks.callback != nullptr)
        g_crashCallbacks.callback(crash->info, crash->uap, g_crashCallbacks.context);
    return static_cast<int>(written);
}

} // namespace

crsh_handler_context* crsh_shared_handler_context()
{
    return &g_handlerContext;
}

crsh_image_list* crsh_shared_image_list()
{
    static std::once_flag made;
    std::call_once(made, [] {
        auto* list = new crsh_image_list;
        if (crsh_image_list_init(list, crsh_async_task_self()) != CRSH_ERR_NONE) {
            delete list;
            return;
        }
        (void)crsh_image_list_append_loaded_objects(list);
        g_imageList = list;
    });
    return g_imageList;
}

void crsh_set_crash_callbacks(void* context, CRCrashReporterPostCrashSignalCallback callback)
{
    g_crashCallbacks.context = context;
    g_crashCallbacks.callback = callback;
}

bool signal_handler_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context, crsh_signal_handler_callback*)
{
    // A child forked before exec has the enabling process's handlers, records and report path, but not its
    // threads: it writes nothing (its report would take the place of the enabling process's pending one)
    // and ends under the signal's default action.
    auto* handler = static_cast<crsh_handler_context*>(context);
    if (static_cast<pid_t>(syscall(SYS_getpid)) != handler->process) {
        resetCrashSignals();
        return false;
    }
    // One report per process, written by the first thread that crashes. Another thread that crashes
    // meanwhile (or later) waits here, on its own alternate stack, until the writer ends the process: it
    // neither truncates the report being written nor ends the process under the writer. The crash signals
    // keep this handler until the report is written, so such a thread always arrives here.
    const crsh_thread_t self = crsh_async_mach_thread_self();
    crsh_thread_t writing = 0;
    if (!g_reportingThread.compare_exchange_strong(writing, self)) {
        if (writing != self) {
            for (;;)
                pause();
        }
        // The writer itself faulted again: end now, with the report as far as it got.
        resetCrashSignals();
        return false;
    }

    // The rest runs on the crash stack: the thread's own stack (or the signal stack it is on) may have too
    // little room left for the helper's start or for writing the report here.
    Crash crash{handler, self, signo, info, uap};
    (void)crsh_crash_stack_run(&handler->stack, reportCrash, &crash);
    // The chain raises the signal again: under its default action it ends the process, the waiting
    // threads with it.
    resetCrashSignals();
    return false;
}

void uncaught_exception_handler()
{
    static std::atomic_flag recorded = ATOMIC_FLAG_INIT;
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (type != nullptr && !recorded.test_and_set()) {
        crsh_language_exception exception;
        exception.name = demangled(type->name());
        try {
            std::rethrow_exception(std::current_exception());
        } catch (const std::exception& thrown) {
            exception.reason = thrown.what();
        } catch (...) {
        }
        ReturnAddresses addresses{&exception.callStackReturnAddresses, false};
        (void)_Unwind_Backtrace(collectReturnAddress, &addresses);
        crsh_log_writer_set_exception(&g_handlerContext.writer, exception);
    }
    std::abort();
}

bool crsh_hold_spare_descriptors(crsh_handler_context* context)
{
    if (context->spares_held)
        return true;
    int opened[CRSH_SPARE_DESCRIPTORS];
    for (int& fd : opened)
        fd = -1;
    struct stat identities[CRSH_SPARE_DESCRIPTORS] = {};
    for (std::size_t i = 0; i < CRSH_SPARE_DESCRIPTORS; ++i) {
        // An anonymous file of its own (a unique inode), else the null device.
        opened[i] = memfd_create("crash-spare", MFD_CLOEXEC);
        if (opened[i] < 0)
            opened[i] = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (opened[i] < 0 || fstat(opened[i], &identities[i]) != 0) {
            for (int other : opened) {
                if (other >= 0)
                    close(other);
            }
            return false;
        }
    }
    for (std::size_t i = 0; i < CRSH_SPARE_DESCRIPTORS; ++i) {
        context->spare_descriptors[i] = opened[i];
        context->spare_devices[i] = identities[i].st_dev;
        context->spare_inodes[i] = identities[i].st_ino;
    }
    context->spares_held = true;
    return true;
}

namespace {

crsh_error_t writeReportFd(int fd, crsh_image_list* images, crsh_log_writer* writer, crsh_thread_t crashed_thread,
                           const crsh_thread_state* thread_state, const crsh_log_writer_signal_info* signal_info)
{
    crsh_async_file file;
    crsh_async_file_init(&file, fd, CRSH_REPORT_LIMIT_BYTES);
    crsh_error_t result = crsh_log_writer_write(writer, crashed_thread, images, &file, signal_info, thread_state);
    (void)crsh_log_writer_close(writer);
    if (!crsh_async_file_close(&file))
        return CRSH_ERR_INTERNAL;
    // A refused or failed write leaves a nested message shorter than it says: the file is no report.
    if (result == CRSH_ERR_NONE && crsh_async_file_failed(&file))
        return CRSH_ERR_OUTPUT;
    return result;
}

// What stands at a report path.
enum class Standing { Nothing, Report, Other, NotAFile };

// A regular file whose header is a report's is one (the name it stands under was only ever given to a
// whole report); any other regular file whose first bytes were read is not. Not followed: a symbolic link
// is no file. A regular file that could not be opened or read counts as a report, so that it is kept.
Standing standingAt(const char* path)
{
    struct stat status {};
    if (lstat(path, &status) != 0)
        return errno == ENOENT ? Standing::Nothing : Standing::NotAFile;
    if (!S_ISREG(status.st_mode))
        return Standing::NotAFile;
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return Standing::Nothing;
        // A regular file that cannot be opened (no descriptor left, a filter refusing the call) may well
        // be a report: it is kept.
        return Standing::Report;
    }
    char header[8] = {};
    ssize_t count;
    do {
        count = pread(fd, header, sizeof header, 0);
    } while (count < 0 && errno == EINTR);
    // A filter may refuse (or trap) the positioned read: the descriptor is new, so a plain read reads
    // the same bytes.
    if (count < 0) {
        do {
            count = read(fd, header, sizeof header);
        } while (count < 0 && errno == EINTR);
    }
    const bool statted = fstat(fd, &status) == 0;
    close(fd);
    if (statted && !S_ISREG(status.st_mode))
        return Standing::NotAFile;
    // What cannot be read or looked at for any reason is not known to be no report: it is kept.
    if (count < 0 || !statted)
        return Standing::Report;
    static constexpr char kHeader[] = "crshlog\1";
    const bool report = count == 8 && status.st_size > 8 && crsh_async_strncmp(header, kHeader, 8) == 0;
    return report ? Standing::Report : Standing::Other;
}

// The aside name without ".part": the name a whole report waits under while another is pending.
void waitingName(const char* aside, PathBuffer& waiting)
{
    std::size_t length = 0;
    while (aside[length] != '\0' && length + 1 < sizeof waiting) {
        waiting[length] = aside[length];
        ++length;
    }
    length = length >= 5 ? length - 5 : 0;
    waiting[length] = '\0';
}

long renameWith(const char* from, const char* to, unsigned flags)
{
    return syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, flags);
}

// Gives the whole report at `from` a name of this process's own, where nothing stands: renamed, or where a
// system-call filter refuses the rename, by the other rename call, or linked and unlinked.
bool moveReport(const char* from, const char* to)
{
    if (rename(from, to) == 0 || renameWith(from, to, 0) == 0)
        return true;
    if (link(from, to) != 0)
        return false;
    (void)unlink(from);
    return true;
}

// Puts the whole report written under aside in place at path, without ever replacing a report there: a
// report standing there is kept and the new one waits under its own name; anything else that is a regular
// file gives way. Two processes doing this at once each keep theirs. False when nothing could be placed.
bool placeReport(const char* aside, const char* path)
{
    PathBuffer waiting;
    waitingName(aside, waiting);
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (renameWith(aside, path, RENAME_NOREPLACE) == 0)
            return true;
        const bool flagsWork = errno == EEXIST;
        // Without the rename's flags (an older kernel, some file systems, a system-call filter that refuses
        // or traps the call) a link does not replace either; where there are no links (or the filter
        // refuses them too), a plain rename over nothing. A failure for any other reason fails them alike.
        bool linksWork = true;
        if (!flagsWork) {
            if (link(aside, path) == 0) {
                (void)unlink(aside);
                return true;
            }
            linksWork = errno == EEXIST;
        }
        switch (standingAt(path)) {
        case Standing::Nothing:
            if (!flagsWork && !linksWork)
                return rename(aside, path) == 0;
            continue; // gone meanwhile: try again
        case Standing::NotAFile:
            return false;
        case Standing::Report:
            return moveReport(aside, waiting);
        case Standing::Other:
            break;
        }
        // What stands there is no report: the new one takes its place by an exchange, and what comes back
        // under the aside name is looked at again (another process's report may have come in between).
        if (flagsWork && renameWith(aside, path, RENAME_EXCHANGE) == 0) {
            if (standingAt(aside) == Standing::Report)
                (void)moveReport(aside, waiting);
            else
                (void)unlink(aside);
            return true;
        }
        return rename(aside, path) == 0;
    }
    return false;
}

crsh_error_t writeReportFile(crsh_image_list* images, crsh_log_writer* writer, crsh_thread_t crashed_thread,
                             const crsh_thread_state* thread_state, const crsh_log_writer_signal_info* signal_info,
                             const char* aside)
{
    const char* path = g_handlerContext.report_path;
    if (path == nullptr)
        return CRSH_ERR_INTERNAL;
    // The report file, the thread list and the memory file take the spares' places.
    releaseSpareDescriptors();
    // The name is this write's own: what a failed helper left there is replaced. A pipe or a device there
    // (put by someone else) is opened without waiting and not written.
    const int fd = open(aside, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return CRSH_ERR_INTERNAL;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return CRSH_ERR_INTERNAL;
    }
    // Past a file size limit a write fails with EFBIG instead of ending the process, and the writer makes
    // the report again, smaller; a call a filter traps fails instead of ending it.
    CrashPathSignals held;
    holdCrashPathSignals(&held);
    crsh_async_reads_begin(images != nullptr ? images->task : crsh_async_task_self());
    const crsh_error_t result = writeReportFd(fd, images, writer, crashed_thread, thread_state, signal_info);
    crsh_async_reads_end();
    const bool placed = result == CRSH_ERR_NONE && placeReport(aside, path);
    releaseCrashPathSignals(held);
    if (!placed)
        (void)unlink(aside);
    return result != CRSH_ERR_NONE ? result : placed ? CRSH_ERR_NONE : CRSH_ERR_INTERNAL;
}

} // namespace

crsh_error_t crsh_write_report_fd(int fd, crsh_log_writer* writer, crsh_thread_t crashed_thread,
                                  const crsh_thread_state* thread_state, const crsh_log_writer_signal_info* signal_info)
{
    return writeReportFd(fd, imagesOfThisProcess(), writer, crashed_thread, thread_state, signal_info);
}

crsh_error_t crsh_write_report(crsh_log_writer* writer, crsh_thread_t crashed_thread,
                               const crsh_thread_state* thread_state, const crsh_log_writer_signal_info* signal_info)
{
    PathBuffer aside;
    if (!asideName(aside))
        return CRSH_ERR_INTERNAL;
    return writeReportFile(imagesOfThisProcess(), writer, crashed_thread, thread_state, signal_info, aside);
}
