#include "crashreporter/crsh_report_helper.h"

#include "crashreporter/crsh_thread_suspend.h"

#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

#ifndef PR_SET_PTRACER
#define PR_SET_PTRACER 0x59616d61
#endif

namespace {

// One run, on the crashed thread's stack; the helper reads it through the shared memory.
struct Launch {
    int (*work)(void*);
    void* context;
    void* mapping; // the helper's, for its signal stack
    std::atomic<int> go;      // 1 once the helper may start (it has been declared as tracer)
    std::atomic<int> running; // kRunning until the helper ends; the kernel clears it then and wakes waiters
};
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

// The signals of a fault: in the helper, each ends the helper at once.
constexpr int kFaultSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP, SIGSYS};

// The helper's exit codes when it gave up waiting for its start, and when a fault ended it.
constexpr int kNotStarted = 255;
constexpr int kFaulted = 254;

// The helper's signal stack, at the mapping's start between two guard pages: a fault's handler runs there
// even when the helper's own stack has run into its guard.
constexpr std::size_t kSignalStackBytes = 64 * 1024;

// Launch::running while the helper has not ended.
constexpr int kRunning = 1;

int* word(std::atomic<int>& value)
{
    return reinterpret_cast<int*>(&value);
}

// Waits while *value holds expected, at most the given nanoseconds (a shared futex: the kernel's wake on
// the helper's end is one).
void waitWhile(std::atomic<int>& value, int expected, std::uint64_t nanoseconds)
{
    timespec timeout{static_cast<time_t>(nanoseconds / 1000000000u), static_cast<long>(nanoseconds % 1000000000u)};
    (void)syscall(SYS_futex, word(value), FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

void wake(std::atomic<int>& value)
{
    (void)syscall(SYS_futex, word(value), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// A fault's handler in the helper: ends it at once. Not the signal's default action, which dumps core: on
// some kernels a core dump ends every process that shares the memory, the crashed one with it. A call a
// system-call filter traps is no fault: it fails, and the helper goes on without it.
void endOnFault(int, siginfo_t* info, void* user_context)
{
    if (crsh_async_refuse_trapped_call(info, user_context))
        return;
    (void)syscall(SYS_exit, kFaulted);
}

int helperMain(void* opaque)
{
    auto* launch = static_cast<Launch*>(opaque);
    stack_t signalStack = {};
    signalStack.ss_sp = static_cast<char*>(launch->mapping) + crsh_async_page_size();
    signalStack.ss_size = kSignalStackBytes;
    const bool hasSignalStack = sigaltstack(&signalStack, nullptr) == 0;
    // The handlers are the crashed process's (a copy): a fault here must end the helper, not enter them.
    sigset_t blocked;
    sigfillset(&blocked);
    for (int signo : kFaultSignals) {
        struct sigaction ending = {};
        ending.sa_sigaction = endOnFault;
        // Once only for a fault; every time for a filter's traps.
        ending.sa_flags = SA_SIGINFO | (signo == SIGSYS ? 0 : SA_RESETHAND) | (hasSignalStack ? SA_ONSTACK : 0);
        sigfillset(&ending.sa_mask);
        (void)sigaction(signo, &ending, nullptr);
        sigdelset(&blocked, signo);
    }
    (void)sigprocmask(SIG_SETMASK, &blocked, nullptr);

    const std::uint64_t deadline = crsh_async_clock_ns() + std::uint64_t{CRSH_REPORT_HELPER_WAIT_SECONDS} * 1000000000u;
    while (launch->go.load(std::memory_order_acquire) == 0) {
        const std::uint64_t now = crsh_async_clock_ns();
        if (now >= deadline)
            return kNotStarted;
        waitWhile(launch->go, 0, deadline - now);
    }
    return launch->work(launch->context);
}

} // namespace

crsh_error_t crsh_report_helper_prepare(crsh_report_helper* helper)
{
    const std::size_t guard = crsh_async_page_size();
    const std::size_t bytes = guard + kSignalStackBytes + guard + CRSH_REPORT_HELPER_STACK_BYTES;
    void* mapping = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED)
        return CRSH_ERR_NO_MEMORY;
    // Each stack grows down towards a guard page: an overflow faults instead of writing past it.
    auto* start = static_cast<char*>(mapping);
    if (mprotect(start, guard, PROT_NONE) != 0 || mprotect(start + guard + kSignalStackBytes, guard, PROT_NONE) != 0) {
        munmap(mapping, bytes);
        return CRSH_ERR_NO_MEMORY;
    }
    helper->mapping = mapping;
    helper->mapping_bytes = bytes;
    return CRSH_ERR_NONE;
}

bool crsh_report_helper_run(const crsh_report_helper* helper, int (*work)(void* context), void* context,
                            int* exit_code)
{
    crsh_async_errno_keeper keeper;
    if (helper->mapping == nullptr)
        return false;
    Launch launch{work, context, helper->mapping, {0}, {kRunning}};
    auto top = reinterpret_cast<std::uintptr_t>(helper->mapping) + helper->mapping_bytes;
    top &= ~std::uintptr_t{15};
    // Its own process (no exit signal: an application's SIGCHLD handling neither sees nor reaps it) on the
    // shared memory; a debugger tracing the crashed process does not trace the helper.
    const pid_t pid = clone(helperMain, reinterpret_cast<void*>(top), CLONE_VM | CLONE_UNTRACED | CLONE_CHILD_CLEARTID,
                            &launch, nullptr, nullptr, word(launch.running));
    if (pid <= 0)
        return false;
    // Where a security module lets only declared tracers trace a process, declare the helper (elsewhere
    // the call fails, and nothing needs declaring).
    (void)prctl(PR_SET_PTRACER, static_cast<unsigned long>(pid), 0UL, 0UL, 0UL);
    launch.go.store(1, std::memory_order_release);
    wake(launch.go);

    const std::uint64_t deadline = crsh_async_clock_ns() + std::uint64_t{CRSH_REPORT_HELPER_WAIT_SECONDS} * 1000000000u;
    bool ended = true;
    while (launch.running.load(std::memory_order_acquire) != 0) {
        const std::uint64_t now = crsh_async_clock_ns();
        if (now >= deadline) {
            ended = false;
            (void)kill(pid, SIGKILL);
            break;
        }
        // Sleeps only while it still runs: had it ended since the look above, the wait returns at once.
        waitWhile(launch.running, kRunning, deadline - now);
    }
    int status = 0;
    while (waitpid(pid, &status, __WALL) < 0) {
        if (errno != EINTR)
            return false;
    }
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) == kNotStarted || WEXITSTATUS(status) == kFaulted)
        return false;
    *exit_code = WEXITSTATUS(status);
    return true;
}
