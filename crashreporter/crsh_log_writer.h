// The crash log writer: turns the state of the crashed process into one report (crsh.proto). At enable
// time crsh_log_writer_init collects everything that needs the normal runtime into a plain record; at
// crash time crsh_log_writer_write runs inside a signal handler and emits the report through the async
// file writer, allocating nothing and taking no lock.
//
// On this machine (Linux) a process cannot stop its own threads or read their registers, but another
// process may, as their tracer (crsh_thread_suspend.h). A write from outside the task (a helper process
// whose task is the crashed process) stops every other thread, writes each with its registers and frames,
// and lets them go; the given state is the crashed thread's. A write inside the task, or one for which
// tracing is refused, writes the other threads bare (number and crashed flag), as a thread whose state
// cannot be read is, and says so in the report information's note; the given state is the calling
// thread's. Signal numbers and codes are the host's and are written under the report's own names
// (crsh_signal_names.h).
#pragma once

#include "crashreporter/crsh_async_file.h"
#include "crashreporter/crsh_image_list.h"
#include "crashreporter/crsh_thread_state.h"

#include <sys/time.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr std::size_t CRSH_LOG_WRITER_MAX_FRAMES = 512;
// The most threads one write lists; those past it are left out, and the report says how many.
constexpr std::size_t CRSH_LOG_WRITER_MAX_THREADS = 4096;
// A write from outside the task asks the other threads to stop and waits for them at most this long in
// all; those not asked or not stopped by then (a thread in vfork cannot stop until its child execs or
// ends) are listed bare. Should the task be killed meanwhile, the threads that ended with it are left
// out and the note says so.
constexpr std::uint64_t CRSH_LOG_WRITER_STOP_WAIT_NS = 1000000000;
// The time one write is meant to take in all: stopping the other threads, reading them and writing them.
// Reading has only part of it (crsh_log_writer_read_deadline); threads not read by then are listed bare,
// and the report's note names the time reading had. The crashed thread is always read whole.
constexpr std::uint64_t CRSH_LOG_WRITER_TIME_NS = 3000000000;

// When a write that started at start_ns (crsh_async_clock_ns) and ended its stops at stopped_ns stops
// reading the other threads: half way through what the stops left of CRSH_LOG_WRITER_TIME_NS, since
// writing names every read frame again (1.5 s after the start when the stops were quick, 2 s after it
// when they waited their whole second); at once when the stops left nothing.
std::uint64_t crsh_log_writer_read_deadline(std::uint64_t start_ns, std::uint64_t stopped_ns);
constexpr std::uint8_t CRSH_LOG_FILE_VERSION = 1;

// Process identity read from /proc at init time only.
class CRCrashProcessInfo {
public:
    // The running process; none when its /proc record cannot be read.
    static std::optional<CRCrashProcessInfo> currentProcessInfo();
    static std::optional<CRCrashProcessInfo> initWithProcessID(pid_t pid);

    pid_t processID() const { return m_processID; }
    // The longest valid UTF-8 prefix of the 16-byte command name; none when that prefix is empty.
    const std::optional<std::string>& processName() const { return m_processName; }
    pid_t parentProcessID() const { return m_parentProcessID; }
    bool isTraced() const { return m_traced; }
    // None when the boot time cannot be read.
    const std::optional<timeval>& startTime() const { return m_startTime; }

private:
    pid_t m_processID = 0;
    std::optional<std::string> m_processName;
    pid_t m_parentProcessID = 0;
    bool m_traced = false;
    std::optional<timeval> m_startTime;
};

// A language exception about to end the process.
struct crsh_language_exception {
    std::string name;
    std::string reason;
    std::vector<std::uint64_t> callStackReturnAddresses;
};

// The memory a write works in (the thread list, each thread's frames and their sizes), mapped by
// crsh_log_writer_init so that nothing large sits on a signal stack at crash time.
struct crsh_log_writer_workspace;

struct crsh_log_writer {
    crsh_log_writer_workspace* workspace; // none when it could not be mapped: nothing can be written
    std::uint32_t symbol_strategy; // bit 0x1 symbol tables, 0x2 class metadata
    bool user_requested;
    std::uint8_t uuid[16];
    struct {
        char* version;
        char* build;
    } system_info;
    struct {
        char* model;
        std::int32_t cpu_type;
        std::int32_t cpu_subtype;
        std::uint32_t processor_count;
        std::uint32_t logical_processor_count;
    } machine_info;
    struct {
        char* identifier;
        char* version;
    } application_info;
    struct {
        char* process_name;
        std::uint32_t process_id;
        char* process_path;
        bool has_start_time;
        std::uint64_t start_time;
        char* parent_process_name;
        std::uint32_t parent_process_id;
        bool native;
    } process_info;
    struct {
        bool has_exception;
        char* name;
        char* reason;
        std::uint64_t* callstack;
        std::size_t callstack_count;
    } uncaught_exception;
};

// The signal being reported: the host's signal number and code with the fault address, and optionally a
// Mach exception (type and codes).
struct crsh_log_writer_mach_info {
    std::uint64_t type;
    const std::uint64_t* codes;
    std::size_t code_count;
};
struct crsh_log_writer_signal_info {
    int signo;
    int code;
    std::uint64_t address;
    const crsh_log_writer_mach_info* mach; // none for a plain signal
};

// Maps the workspace and fills the record: CRSH_ERR_NO_MEMORY when the workspace cannot be mapped (the
// record is left empty), CRSH_ERR_INVALID_ARGUMENT when the process cannot be described (the record is
// then partly filled). Free it all the same.
crsh_error_t crsh_log_writer_init(crsh_log_writer* writer, const char* app_identifier, const char* app_version,
                                  std::uint32_t symbol_strategy, bool user_requested);
// Records the exception that is about to end the process; a second call is a fatal assertion.
void crsh_log_writer_set_exception(crsh_log_writer* writer, const crsh_language_exception& exception);

// Writes the report of the image list's task (the calling process without a list): the header, the
// record's sections, every thread of the task (crashed_thread marked crashed), the images of the list, the
// recorded exception and the signal. thread_state, when given, is the calling thread's (a write inside the
// task; without it the calling thread is left out) or, from outside the task, crashed_thread's; every other
// thread is stopped and read when the write is from outside, else written bare. When the thread list
// cannot be read (no descriptor left), the crashed thread is written alone.
//
// The report always fits the file's limit and always holds the crashed thread with all its frames: what
// does not fit is cut from the other threads (each to the most frames that lets them all fit, the deepest
// frames going first; those that still do not fit are left out), and the report information's note says
// what was cut, what was not stopped or read in time, and why. When the system refuses a write (a full
// disk, a file size limit), the file is emptied and the report written again while the threads are still
// stopped: within the bytes the file took, then, refused again, in its smallest form (the crashed thread
// whole, the others bare, the first image); the note says so. Async-signal-safe. CRSH_ERR_NO_MEMORY,
// nothing written, without a workspace. Output failures are the file's to report (crsh_async_file_failed,
// flush, close).
crsh_error_t crsh_log_writer_write(crsh_log_writer* writer, crsh_thread_t crashed_thread, crsh_image_list* image_list,
                                   crsh_async_file* file, const crsh_log_writer_signal_info* signal_info,
                                   const crsh_thread_state* thread_state);
crsh_error_t crsh_log_writer_close(crsh_log_writer* writer);
// Maps the workspace (init does); CRSH_ERR_NO_MEMORY when it cannot be. The mapping is reserved only:
// the pages a write touches are the only ones backed.
crsh_error_t crsh_log_writer_map_workspace(crsh_log_writer* writer);
void crsh_log_writer_unmap_workspace(crsh_log_writer* writer);
void crsh_log_writer_free(crsh_log_writer* writer);
