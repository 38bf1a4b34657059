// The stack a crash report is written on. The crashed thread's own stack may be small (an application's
// thread may have 16 KiB), nearly used up, or the very thing that overflowed; a signal stack holds the
// handler but not the writer. So the crashed thread moves to this stack, mapped when the reporter is
// enabled, before it starts the report's helper or writes the report itself: a report then needs only
// the room of the signal frame and the handler chain on the crashed thread's stack. A live report, written
// on whichever thread asks for it, is written on a stack of this kind too.
#pragma once

#include "crashreporter/crsh_async.h"

#include <cstddef>

struct crsh_crash_stack {
    void* mapping; // a guard page, then the stack; none until prepared
    std::size_t mapping_bytes;
};

// The stack's room, its guard page not counted: as much as the report's helper has.
constexpr std::size_t CRSH_CRASH_STACK_BYTES = 512 * 1024;

// Maps the stack (outside crash context): CRSH_ERR_NO_MEMORY when it cannot be mapped, and the stack stays
// unprepared.
crsh_error_t crsh_crash_stack_prepare(crsh_crash_stack* stack);

// Unmaps the stack (outside crash context); it is unprepared again.
void crsh_crash_stack_release(crsh_crash_stack* stack);

// Calls work(context) on the stack and answers its result; on the calling thread's own stack when the
// stack is not prepared. Async-signal-safe; one call at a time per stack.
int crsh_crash_stack_run(const crsh_crash_stack* stack, int (*work)(void* context), void* context);
