// The crash report's helper process. A process cannot stop its own threads here, so the crashed thread
// starts a helper that writes the report from outside and stops the other threads meanwhile
// (crsh_thread_suspend.h). The helper shares the crashed process's memory: it reads the writer record,
// the image list and the crashed thread's state where they are, and it runs on a stack mapped when the
// reporter is enabled, so nothing is allocated at crash time. The crashed process declares the helper as
// its tracer where a security module asks for that.
//
// A fault in the helper (its stack overflowing included) ends the helper alone, without a core dump, and
// the crashed thread, which waits for it, goes on without it. A call a system-call filter traps is no
// fault: it fails with ENOSYS.
#pragma once

#include "crashreporter/crsh_async.h"

#include <cstddef>

struct crsh_report_helper {
    void* mapping;             // a guard page, the signal stack, a guard page, the stack; none until prepared
    std::size_t mapping_bytes;
};

// The helper's stack, signal stack and guard pages not counted.
constexpr std::size_t CRSH_REPORT_HELPER_STACK_BYTES = 512 * 1024;
// How long the crashed thread waits for its helper before ending it.
constexpr unsigned CRSH_REPORT_HELPER_WAIT_SECONDS = 10;

// Maps the helper's stack (outside crash context): CRSH_ERR_NO_MEMORY when it cannot be mapped, and the
// helper stays unprepared.
crsh_error_t crsh_report_helper_prepare(crsh_report_helper* helper);

// Runs work(context) in a helper and waits for it: true with *exit_code = work's result (0 to 253) when
// the helper ran it to the end; false when the helper is not prepared, could not be started, faulted,
// ended by a signal or had to be ended after CRSH_REPORT_HELPER_WAIT_SECONDS. work runs in another process on the
// shared memory, as a signal handler would: async-signal-safe calls only. Async-signal-safe; one run at a
// time per helper.
bool crsh_report_helper_run(const crsh_report_helper* helper, int (*work)(void* context), void* context,
                            int* exit_code);
