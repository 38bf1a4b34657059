// The compact-unwind reader: finds a function's 32-bit unwind encoding in an image's __TEXT,__unwind_info
// section (a two-level index of regular or compressed pages), decodes it for arm64, x86-64 or x86 and,
// for arm64, applies it to a frame's registers to give the caller's. Every read of the section is checked
// against its memory object; nothing is allocated; everything is async-signal-safe.
#pragma once

#include "crashreporter/crsh_frame_cursor.h"

constexpr std::uint32_t CRSH_CU_MAX_SAVED_REGISTERS = 10;
constexpr std::uint32_t CRSH_CU_NO_REGISTER = 0xFFFFFFFF;

// Register indices of the x86 encodings (x86-64 ones are the thread state's). Encodings are only ever
// decoded for x86: the frame pointer keeps the common index 1, the others follow the three common ones.
constexpr crsh_regnum_t CRSH_X86_EBX = 3, CRSH_X86_ECX = 4, CRSH_X86_EDX = 5, CRSH_X86_EDI = 6, CRSH_X86_ESI = 7,
                        CRSH_X86_EBP = CRSH_REG_FP;

struct crsh_cu_reader {
    const crsh_async_mobject* mobj; // the section, borrowed
    const crsh_async_byteorder* byteorder;
    std::int32_t cpu_type;
    struct {
        std::uint32_t version;
        std::uint32_t common_encodings_offset;
        std::uint32_t common_encodings_count;
        std::uint32_t personality_offset;
        std::uint32_t personality_count;
        std::uint32_t index_offset;
        std::uint32_t index_count;
    } header;
};

enum crsh_cu_entry_type : std::uint32_t {
    CRSH_CU_ENTRY_FRAME = 1,            // frame-pointer based
    CRSH_CU_ENTRY_FRAMELESS_IMMD = 2,   // frameless, stack size in the encoding
    CRSH_CU_ENTRY_FRAMELESS_INDIRECT = 3, // frameless, stack size read from the function's code
    CRSH_CU_ENTRY_DWARF = 4,            // described by the DWARF section
    CRSH_CU_ENTRY_NONE = 5,             // no unwind information
};

struct crsh_cu_entry {
    std::uint32_t type;
    std::uint32_t cpu_type;
    // FRAME: offset of the saved registers from fp (negative); FRAMELESS_IMMD: the stack size;
    // FRAMELESS_INDIRECT: offset of the stack-size immediate from the function; DWARF: the FDE's offset.
    std::int64_t stack_offset;
    std::uint32_t stack_adjust;            // FRAMELESS_INDIRECT: bytes added to the immediate
    std::uint32_t return_address_register; // CRSH_CU_NO_REGISTER: the return address is on the stack
    std::uint32_t register_count;
    std::uint32_t register_list[CRSH_CU_MAX_SAVED_REGISTERS]; // from the lowest address up; empty slots are
                                                               // CRSH_CU_NO_REGISTER
};

// The cursor's first reader.
crsh_frame_error_t crsh_frame_read_compact_unwind(crsh_task_t task, crsh_image_list* image_list,
                                                  const crsh_thread_state* current, const crsh_thread_state* previous,
                                                  crsh_thread_state* next);

// CRSH_ERR_NOT_SUPPORTED for a CPU type other than arm64, x86-64 and x86 or a version other than 1;
// CRSH_ERR_INVALID_ARGUMENT when the header is not inside the section.
crsh_error_t crsh_cu_reader_init(crsh_cu_reader* reader, const crsh_async_mobject* mobj,
                                 const crsh_async_byteorder* byteorder, std::int32_t cpu_type);
// The function covering address (relative to the image header): its offset and encoding.
// CRSH_ERR_NOT_FOUND when no function covers it, CRSH_ERR_INVALID_ARGUMENT for data outside the section.
crsh_error_t crsh_cu_reader_find(const crsh_cu_reader* reader, std::uint32_t address, std::uint32_t* function_offset,
                                 std::uint32_t* encoding);
void crsh_cu_reader_free(crsh_cu_reader* reader);

crsh_error_t crsh_cu_entry_decode(crsh_cu_entry* entry, std::int32_t cpu_type, std::uint32_t encoding);
// Applies an arm64 entry to an arm64 state; the new state holds the callee-saved registers it restores.
crsh_error_t crsh_cu_entry_apply(crsh_task_t task, crsh_vm_address_t function_address, const crsh_thread_state* current,
                                 const crsh_cu_entry* entry, crsh_thread_state* next);

// The x86 frameless register permutation: count (below 7) register numbers from 1 to 6.
crsh_error_t crsh_cu_permutation_decode(std::uint32_t permutation, std::uint32_t count, std::uint32_t* registers);
