// Stopping the threads of another process while its report is written, and letting them go again.
//
// A process cannot stop its own threads here; a helper process can, as their tracer: a stop is requested
// for every thread first (they stop side by side), then each stop is waited for. A stopped thread's
// registers are then read with crsh_thread_state_thread_init and its memory through the task. Tracing may
// be refused (another user's process, a process that may not be dumped, a security module's policy, a
// sandbox's system-call filter): the request says so and the thread keeps running.
//
// Every routine is async-signal-safe: system calls only, no allocation, errno kept.
#pragma once

#include "crashreporter/crsh_async.h"

#include <cstdint>

// Asks the thread to stop, making the caller its tracer: CRSH_ERR_ACCESS_DENIED when tracing is refused,
// CRSH_ERR_NOT_FOUND when there is no such thread (any more), CRSH_ERR_UNKNOWN for any other failure.
crsh_error_t crsh_thread_suspend_request(crsh_thread_t thread);

// Waits until a thread whose stop was requested has stopped, at most until deadline (crsh_async_clock_ns).
// CRSH_ERR_NONE once it has stopped; *pending_signal is then the signal it was about to take (0 for none),
// which crsh_thread_resume hands back. CRSH_ERR_NOT_FOUND when the thread ended instead, CRSH_ERR_UNKNOWN
// when the deadline passed (the thread stops later, or never; the caller's exit lets it go).
crsh_error_t crsh_thread_suspend_wait(crsh_thread_t thread, std::uint64_t deadline, int* pending_signal);

// Lets a stopped thread go, handing it back its pending signal; the caller is no longer its tracer.
// Nothing happens for a thread that is not stopped under the caller.
void crsh_thread_resume(crsh_thread_t thread, int pending_signal);

// Nanoseconds of the system's monotonic clock.
std::uint64_t crsh_async_clock_ns();
