// What the crash reporter installs when it is enabled: the crash signal callback of the signal handler
// chain, the uncaught-exception handler, and the report writing they share. They run in crash context and
// read only the process-wide plain data below, which CRCrashReporter fills at enable time before anything
// is installed and never changes afterwards.
//
// The exception server's callback does not exist on this platform (there is no exception server).
#pragma once

#include "crashreporter/CRCrashHostInfo.h"
#include "crashreporter/CRCrashSignalHandler.h"
#include "crashreporter/crsh_crash_stack.h"
#include "crashreporter/crsh_log_writer.h"
#include "crashreporter/crsh_report_helper.h"

#include <cstdint>

// Called after a crash report was written, still in crash context: (signal information, user context,
// the context given with it). It must use async-signal-safe calls only.
using CRCrashReporterPostCrashSignalCallback = void (*)(siginfo_t* info, ucontext_t* uap, void* context);

// The crash callbacks of setCrashCallbacks.
struct CRCrashReporterCallbacks {
    std::uint16_t version; // 0
    void* context;
    CRCrashReporterPostCrashSignalCallback handleSignal; // none: nothing is called
};

// The descriptors the crash path holds in reserve.
constexpr std::size_t CRSH_SPARE_DESCRIPTORS = 3;

// The handler context: filled at enable time, then only read.
struct crsh_handler_context {
    crsh_log_writer writer;
    char* report_path; // the crash report file; none until enabled
    crsh_exception_port_set previous_ports; // all zero: there were none
    crsh_report_helper helper; // the crash report's helper; unprepared: the crashed thread writes the report
    crsh_crash_stack stack;    // the crashed thread's stack while the report is made; unprepared: its own
    pid_t process;             // the process that enabled the reporter; 0 until enabled
    // Descriptors held open from enable time (each on a file of its own) and closed by the crash path
    // before it opens the report file, the thread list and the memory file, so that a process with no
    // descriptor left still has a report. Held only while spares_held. A number the application has since
    // closed and reused is not closed: the crash path checks that it still names the spare's file (device,
    // inode).
    int spare_descriptors[CRSH_SPARE_DESCRIPTORS];
    dev_t spare_devices[CRSH_SPARE_DESCRIPTORS];
    ino_t spare_inodes[CRSH_SPARE_DESCRIPTORS];
    bool spares_held;
};

// Opens the context's spare descriptors (normal context): false when they cannot be opened.
bool crsh_hold_spare_descriptors(crsh_handler_context* context);

// The signals of a crash, in the order the BSD mode registers them.
inline constexpr int CRSH_CRASH_SIGNALS[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

// The writer's byte limit for one report (256 KiB).
constexpr std::uint64_t CRSH_REPORT_LIMIT_BYTES = 262144;

// The one handler context of the process.
crsh_handler_context* crsh_shared_handler_context();

// The process-wide image list: made on first use with the objects loaded at that moment (later loads are
// not announced on this platform). Never freed.
crsh_image_list* crsh_shared_image_list();

// Stores the crash callbacks process-wide (normal context, before the handlers are installed).
void crsh_set_crash_callbacks(void* context, CRCrashReporterPostCrashSignalCallback callback);

// The crash signal callback (registered with the handler context as its context). In a process other
// than the one that enabled the reporter (a child forked before exec), it writes nothing and leaves the
// enabling process's pending report alone: it resets the crash signals and answers false. Else the first
// thread that crashes has the report written with its own state from the user context, calls the crash callback only
// when the report was written, resets the crash signals to their default action and answers false, so that
// the chain raises the signal again and ends the process. The crashed thread does all this on the
// context's crash stack, whatever room its own stack has left. The report is written by the context's helper,
// which stops and reads the other threads; the crashed thread writes it itself, with the other threads
// bare, when there is no helper, it cannot be started, it may not read the process, or it fails. A thread
// that crashes while the report is written waits in its handler until the process ends; the crashed
// thread faulting again ends the process at once.
bool signal_handler_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                             crsh_signal_handler_callback* next);

// The uncaught-exception handler (a terminate handler): records the exception being thrown (its type's
// demangled name, what() or "", the return addresses of the stack, on which the throw site still is) in
// the handler context's writer, then aborts, which enters the signal path.
[[noreturn]] void uncaught_exception_handler();

// Writes a report for the handler context's report path within CRSH_REPORT_LIMIT_BYTES (the context's
// spare descriptors are closed first). The report is written aside, under a name of its own in the same
// folder (the path, then ".<pid>.<unique>.part", mode 0644), and put in place by a rename only once it is
// whole, so that two processes crashing at once each leave a whole report, and nothing is ever truncated
// in place. A report already there that reads as one (its header), or a regular file that cannot be
// opened or read (a filter refusing the call: the header is read again by a plain read first), is kept: the new one keeps its own
// name, without ".part", and waits its turn (CRCrashReporter puts it in place once the pending one is
// purged); anything else there that is a regular file gives way. A symbolic link, a pipe, a device or a
// folder at the path is left alone and nothing is put in place: CRSH_ERR_INTERNAL. When the system
// refuses the whole report (no space, a file size limit: SIGXFSZ is ignored meanwhile), the writer makes
// it again smaller (crsh_log_writer_write). A call that a system-call filter traps (SIGSYS) fails with
// ENOSYS meanwhile, and the report is put in place the next way (a link, a plain rename over nothing). CRSH_ERR_INTERNAL when the file cannot be made, flushed,
// closed or put in place, CRSH_ERR_OUTPUT when even the smallest report was refused (nothing is left),
// else the writer's result. Async-signal-safe.
crsh_error_t crsh_write_report(crsh_log_writer* writer, crsh_thread_t crashed_thread,
                               const crsh_thread_state* thread_state, const crsh_log_writer_signal_info* signal_info);

// The same into an open descriptor, written in place, which it closes (live reports write to a temporary
// file).
crsh_error_t crsh_write_report_fd(int fd, crsh_log_writer* writer, crsh_thread_t crashed_thread,
                                  const crsh_thread_state* thread_state, const crsh_log_writer_signal_info* signal_info);
