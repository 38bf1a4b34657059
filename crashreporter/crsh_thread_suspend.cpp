#include "crashreporter/crsh_thread_suspend.h"

#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

// The raw system call: the C library's wrapper may be replaced by a checking one that a crash handler
// should not depend on, and its variadic form hides the result.
long traceCall(long request, crsh_thread_t thread, long data)
{
    return syscall(SYS_ptrace, request, static_cast<long>(thread), 0L, data);
}

// How long a wait sleeps between two looks at a thread that has not stopped yet.
constexpr long kPollNanoseconds = 20000;

} // namespace

std::uint64_t crsh_async_clock_ns()
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

crsh_error_t crsh_thread_suspend_request(crsh_thread_t thread)
{
    crsh_async_errno_keeper keeper;
    if (thread <= 0)
        return CRSH_ERR_NOT_FOUND;
    if (traceCall(PTRACE_SEIZE, thread, 0) != 0) {
        switch (errno) {
        case EPERM:
        case EACCES:
        case ENOSYS: // a system-call filter's answer (or its trap's), or no tracing in this system
            return CRSH_ERR_ACCESS_DENIED;
        case ESRCH:
            return CRSH_ERR_NOT_FOUND;
        default:
            return CRSH_ERR_UNKNOWN;
        }
    }
    if (traceCall(PTRACE_INTERRUPT, thread, 0) != 0) {
        // Seized but not asked to stop (it ended in between): nothing to wait for.
        return errno == ESRCH ? CRSH_ERR_NOT_FOUND : CRSH_ERR_UNKNOWN;
    }
    return CRSH_ERR_NONE;
}

crsh_error_t crsh_thread_suspend_wait(crsh_thread_t thread, std::uint64_t deadline, int* pending_signal)
{
    crsh_async_errno_keeper keeper;
    *pending_signal = 0;
    for (;;) {
        int status = 0;
        const pid_t waited = waitpid(thread, &status, __WALL | WNOHANG);
        if (waited == thread) {
            if (!WIFSTOPPED(status))
                return CRSH_ERR_NOT_FOUND; // it ended
            // The stop the request asked for (or a stop of the whole process) carries an event in the
            // status's upper bits; a plain stop is a signal on its way to the thread, which is its own.
            if ((status >> 16) == 0)
                *pending_signal = WSTOPSIG(status);
            return CRSH_ERR_NONE;
        }
        if (waited < 0) {
            if (errno == EINTR)
                continue;
            return CRSH_ERR_NOT_FOUND; // not (any more) a thread traced by the caller
        }
        if (crsh_async_clock_ns() >= deadline)
            return CRSH_ERR_UNKNOWN;
        timespec pause{0, kPollNanoseconds};
        (void)nanosleep(&pause, nullptr);
    }
}

void crsh_thread_resume(crsh_thread_t thread, int pending_signal)
{
    crsh_async_errno_keeper keeper;
    (void)traceCall(PTRACE_DETACH, thread, pending_signal);
}
