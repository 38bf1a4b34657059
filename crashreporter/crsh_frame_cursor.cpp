#include "crashreporter/crsh_frame_cursor.h"

#include "crashreporter/crsh_compact_unwind.h"
#include "crashreporter/crsh_dwarf_unwind.h"

crsh_frame_error_t crsh_frame_cursor_init(crsh_frame_cursor* cursor, crsh_task_t task,
                                          const crsh_thread_state* thread_state, crsh_image_list* image_list)
{
    crsh_async_memset(cursor, 0, sizeof *cursor);
    cursor->task = task;
    cursor->image_list = image_list;
    crsh_thread_state_copy(&cursor->frame, thread_state);
    return CRSH_FRAME_ERR_NONE;
}

crsh_frame_error_t crsh_frame_cursor_thread_init(crsh_frame_cursor* cursor, crsh_task_t task, crsh_thread_t thread,
                                                 crsh_image_list* image_list)
{
    crsh_thread_state state;
    if (crsh_thread_state_thread_init(&state, thread) != CRSH_ERR_NONE)
        return CRSH_FRAME_ERR_INTERNAL;
    return crsh_frame_cursor_init(cursor, task, &state, image_list);
}

crsh_frame_error_t crsh_frame_cursor_next(crsh_frame_cursor* cursor)
{
    static constexpr crsh_frame_reader kReaders[] = {
        crsh_frame_read_compact_unwind,
        crsh_frame_read_dwarf_unwind,
        crsh_frame_read_frame_pointer,
    };
    return crsh_frame_cursor_next_with_readers(cursor, kReaders, sizeof kReaders / sizeof kReaders[0]);
}

crsh_frame_error_t crsh_frame_cursor_next_with_readers(crsh_frame_cursor* cursor, const crsh_frame_reader* readers,
                                                       std::size_t reader_count)
{
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return CRSH_FRAME_ERR_NONE;
    }
    if (reader_count == 0)
        return CRSH_FRAME_ERR_INVALID_ARGUMENT;

    const crsh_thread_state* previous = cursor->depth > 1 ? &cursor->prev_frame : nullptr;
    crsh_thread_state next;
    crsh_frame_error_t result = CRSH_FRAME_ERR_UNKNOWN;
    for (std::size_t i = 0; i < reader_count; ++i) {
        result = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
        if (result == CRSH_FRAME_ERR_NONE)
            break;
    }
    if (result != CRSH_FRAME_ERR_NONE)
        return result;

    // A return address inside the first page is the end of the chain (or garbage).
    if (!crsh_thread_state_has_reg(&next, CRSH_REG_IP) ||
        crsh_thread_state_get_reg(&next, CRSH_REG_IP) <= crsh_async_page_size())
        return CRSH_FRAME_ERR_NO_FRAME;

    crsh_thread_state_copy(&cursor->prev_frame, &cursor->frame);
    crsh_thread_state_copy(&cursor->frame, &next);
    cursor->depth++;
    return CRSH_FRAME_ERR_NONE;
}

crsh_frame_error_t crsh_frame_cursor_get_reg(const crsh_frame_cursor* cursor, crsh_regnum_t index,
                                             std::uint64_t* value)
{
    if (!crsh_thread_state_has_reg(&cursor->frame, index))
        return CRSH_FRAME_ERR_NOT_SUPPORTED;
    *value = crsh_thread_state_get_reg(&cursor->frame, index);
    return CRSH_FRAME_ERR_NONE;
}

const char* crsh_frame_cursor_get_regname(const crsh_frame_cursor* cursor, crsh_regnum_t index)
{
    return crsh_thread_state_get_reg_name(&cursor->frame, index);
}

std::size_t crsh_frame_cursor_get_regcount(const crsh_frame_cursor* cursor)
{
    return crsh_thread_state_get_reg_count(&cursor->frame);
}

void crsh_frame_cursor_free(crsh_frame_cursor* cursor)
{
    cursor->image_list = nullptr;
}

namespace {

bool recordIsAhead(const crsh_thread_state* state, std::uint64_t fp, bool down)
{
    if (!crsh_thread_state_has_reg(state, CRSH_REG_SP))
        return false;
    const std::uint64_t sp = crsh_thread_state_get_reg(state, CRSH_REG_SP);
    return down ? sp <= fp : sp >= fp;
}

} // namespace

crsh_vm_address_t crsh_frame_lookup_address(const crsh_thread_state* current, const crsh_thread_state* previous)
{
    const crsh_vm_address_t pc = crsh_thread_state_get_reg(current, CRSH_REG_IP);
    return previous != nullptr && pc > 0 ? pc - 1 : pc;
}

crsh_frame_error_t crsh_frame_read_in_image(crsh_task_t task, crsh_image_list* image_list,
                                            const crsh_thread_state* current, const crsh_thread_state* previous,
                                            bool callers_by_return_address, crsh_thread_state* next,
                                            crsh_image_frame_reader read_image)
{
    if (!crsh_thread_state_has_reg(current, CRSH_REG_IP))
        return CRSH_FRAME_ERR_BAD_FRAME;
    if (image_list == nullptr)
        return CRSH_FRAME_ERR_NOT_SUPPORTED;
    const crsh_vm_address_t lookup = callers_by_return_address ? crsh_frame_lookup_address(current, previous)
                                                               : crsh_thread_state_get_reg(current, CRSH_REG_IP);
    crsh_image_list_set_reading(image_list, true);
    crsh_frame_error_t result = CRSH_FRAME_ERR_NOT_SUPPORTED;
    if (const crsh_macho_image* image = crsh_image_list_find(image_list, lookup))
        result = read_image(task, image, current, lookup, next);
    crsh_image_list_set_reading(image_list, false);
    return result;
}

crsh_frame_error_t crsh_frame_read_frame_pointer(crsh_task_t task, crsh_image_list*, const crsh_thread_state* current,
                                                 const crsh_thread_state* previous, crsh_thread_state* next)
{
    if (!crsh_thread_state_has_reg(current, CRSH_REG_FP))
        return CRSH_FRAME_ERR_BAD_FRAME;
    const std::uint64_t fp = crsh_thread_state_get_reg(current, CRSH_REG_FP);
    if (fp == 0)
        return CRSH_FRAME_ERR_NO_FRAME;

    // The chain must move towards the stack's base.
    if (previous != nullptr && crsh_thread_state_has_reg(previous, CRSH_REG_FP)) {
        const std::uint64_t previousFp = crsh_thread_state_get_reg(previous, CRSH_REG_FP);
        const bool down = crsh_thread_state_get_stack_direction(current) == CRSH_STACK_DIRECTION_DOWN;
        if (down ? fp < previousFp : fp > previousFp)
            return CRSH_FRAME_ERR_BAD_FRAME;
        // Two frames share a frame pointer only when the callee kept no frame record: then the record at fp
        // is still ahead of the stack pointer. Otherwise the record was already used (the stack pointer is
        // unknown or past it) and points to itself: following it would give this frame again and again.
        if (fp == previousFp && !recordIsAhead(current, fp, down))
            return CRSH_FRAME_ERR_BAD_FRAME;
    }

    const std::size_t g = crsh_thread_state_get_greg_size(current);
    union {
        std::uint64_t words64[2];
        std::uint32_t words32[2];
    } record;
    if (crsh_async_read_addr(task, fp, &record, 2 * g) != CRSH_KERN_SUCCESS)
        return CRSH_FRAME_ERR_BAD_FRAME;

    crsh_thread_state_copy(next, current);
    crsh_thread_state_clear_all_regs(next);
    crsh_thread_state_set_reg(next, CRSH_REG_FP, g == 8 ? record.words64[0] : record.words32[0]);
    crsh_thread_state_set_reg(next, CRSH_REG_IP, g == 8 ? record.words64[1] : record.words32[1]);
    return CRSH_FRAME_ERR_NONE;
}
