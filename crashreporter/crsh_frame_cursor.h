// The frame cursor: walks one thread's call stack from inside a crash handler, frame by frame. Each step
// asks the frame readers in turn for the caller's registers: by default the compact-unwind reader, the
// DWARF reader and the frame-pointer chain. Nothing here allocates or locks; the cursor and its two states
// live on the caller's stack, and the image list is read under its reader count.
//
// Calling order: init, then next once for the first frame (the initial state itself), then next again for
// each caller until it returns an error, then free. The cursor has no frame limit of its own.
#pragma once

#include "crashreporter/crsh_frame_error.h"
#include "crashreporter/crsh_image_list.h"
#include "crashreporter/crsh_thread_state.h"

// One way of finding the caller's registers. previous is null for the first step; next is written only
// on success.
using crsh_frame_reader = crsh_frame_error_t (*)(crsh_task_t task, crsh_image_list* image_list,
                                                 const crsh_thread_state* current, const crsh_thread_state* previous,
                                                 crsh_thread_state* next);

struct crsh_frame_cursor {
    crsh_task_t task;
    crsh_image_list* image_list; // borrowed
    std::uint32_t depth;         // frames produced so far
    crsh_thread_state prev_frame;
    crsh_thread_state frame;
};

// Always CRSH_FRAME_ERR_NONE. (A task is a pid here: there is no reference to take.)
crsh_frame_error_t crsh_frame_cursor_init(crsh_frame_cursor* cursor, crsh_task_t task,
                                          const crsh_thread_state* thread_state, crsh_image_list* image_list);
// Starts from the live thread's registers; this platform cannot read them (CRSH_FRAME_ERR_INTERNAL).
crsh_frame_error_t crsh_frame_cursor_thread_init(crsh_frame_cursor* cursor, crsh_task_t task, crsh_thread_t thread,
                                                 crsh_image_list* image_list);

crsh_frame_error_t crsh_frame_cursor_next(crsh_frame_cursor* cursor);
// One step with the given readers, tried in order; the last one's code when none succeeds.
crsh_frame_error_t crsh_frame_cursor_next_with_readers(crsh_frame_cursor* cursor, const crsh_frame_reader* readers,
                                                       std::size_t reader_count);

// CRSH_FRAME_ERR_NOT_SUPPORTED when the current frame does not hold the register.
crsh_frame_error_t crsh_frame_cursor_get_reg(const crsh_frame_cursor* cursor, crsh_regnum_t index,
                                             std::uint64_t* value);
const char* crsh_frame_cursor_get_regname(const crsh_frame_cursor* cursor, crsh_regnum_t index);
std::size_t crsh_frame_cursor_get_regcount(const crsh_frame_cursor* cursor);

void crsh_frame_cursor_free(crsh_frame_cursor* cursor);

// The address that tells which code a frame runs: the first frame's pc itself (the instruction that
// stopped), one byte before a caller's pc (a return address, which lies past the end of a function whose
// last instruction is a call). A reader knows a caller by the previous frame it is given. The current
// frame must hold a pc.
crsh_vm_address_t crsh_frame_lookup_address(const crsh_thread_state* current, const crsh_thread_state* previous);

// What the readers that look into the image holding the current code share: with the list held for
// reading, the image that holds lookup_address is given to read_image; CRSH_FRAME_ERR_BAD_FRAME without a
// pc and CRSH_FRAME_ERR_NOT_SUPPORTED without a list or an image.
using crsh_image_frame_reader = crsh_frame_error_t (*)(crsh_task_t task, const crsh_macho_image* image,
                                                       const crsh_thread_state* current,
                                                       crsh_vm_address_t lookup_address, crsh_thread_state* next);
crsh_frame_error_t crsh_frame_read_in_image(crsh_task_t task, crsh_image_list* image_list,
                                            const crsh_thread_state* current, const crsh_thread_state* previous,
                                            bool callers_by_return_address, crsh_thread_state* next,
                                            crsh_image_frame_reader read_image);

// The frame-pointer chain: the caller's frame pointer and return address are the two words at the
// current frame pointer. The caller's stack pointer stays unknown.
crsh_frame_error_t crsh_frame_read_frame_pointer(crsh_task_t task, crsh_image_list* image_list,
                                                 const crsh_thread_state* current, const crsh_thread_state* previous,
                                                 crsh_thread_state* next);
