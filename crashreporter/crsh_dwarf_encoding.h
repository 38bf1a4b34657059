// DWARF call-frame information: finding the frame description entry (FDE) that covers an address in an
// image's __eh_frame or __debug_frame section, and parsing it with its common information entry (CIE).
// Versions 1, 3 and 4, the .eh_frame augmentations ("z", "L", "P", "R", "S") and pointer encodings.
//
// Everything works on a memory object over the section: every read is bounds-checked, nothing is
// allocated, and it is async-signal-safe. Offsets are from the section's start unless said otherwise.
// Two families, by the image's width: machine_ptr is std::uint32_t for 32-bit images (4-byte addresses)
// and std::uint64_t for 64-bit ones; either may hold entries of the 32- or 64-bit DWARF length form.
#pragma once

#include "crashreporter/crsh_async_mobject.h"

struct crsh_dwarf_frame_reader {
    const crsh_async_mobject* mobj; // the section
    const crsh_async_byteorder* byteorder;
    bool m64;
    bool debug_frame; // __debug_frame rather than __eh_frame
};

struct crsh_dwarf_cie_info {
    std::uint64_t cie_offset; // of the content, just after the length field
    std::uint64_t cie_length; // of the content
    std::uint64_t cie_id;
    std::uint8_t cie_version; // 1, 3 or 4
    std::uint8_t address_size; // version 4 only
    std::uint8_t segment_size; // version 4 only
    std::uint64_t code_alignment_factor;
    std::int64_t data_alignment_factor;
    std::uint64_t return_address_register;
    bool has_eh_augmentation; // the augmentation string starts with "z"
    bool has_lsda_encoding;
    std::uint8_t lsda_encoding;
    bool has_personality_address;
    std::uint64_t personality_address;
    bool has_pointer_encoding;
    std::uint8_t pointer_encoding;
    bool signal_frame;
    std::uint64_t initial_instructions_offset;
    std::uint64_t initial_instructions_length;
};

struct crsh_dwarf_fde_info {
    std::uint64_t fde_offset; // of the content, just after the length field
    std::uint64_t fde_length;
    std::uint64_t cie_offset;
    std::uint64_t pc_start;
    std::uint64_t pc_end; // exclusive
    std::uint64_t fde_instruction_offset;
    std::uint64_t fde_instruction_length;
};

// The bases that relative pointer encodings may need; parsing here starts with none present.
struct crsh_dwarf_ptr_state {
    const crsh_async_byteorder* byteorder;
    struct {
        bool valid;
        crsh_vm_address_t address;    // the section's task address
        crsh_vm_address_t vm_address; // and its virtual address in the image
    } frame_section_base;
    struct {
        bool valid;
        crsh_vm_address_t address;
    } text_base, data_base, func_base;
};

// DWARF pointer-encoding bytes.
constexpr std::uint8_t CRSH_DW_EH_PE_ptr = 0x00;
constexpr std::uint8_t CRSH_DW_EH_PE_uleb128 = 0x01;
constexpr std::uint8_t CRSH_DW_EH_PE_udata2 = 0x02;
constexpr std::uint8_t CRSH_DW_EH_PE_udata4 = 0x03;
constexpr std::uint8_t CRSH_DW_EH_PE_udata8 = 0x04;
constexpr std::uint8_t CRSH_DW_EH_PE_sleb128 = 0x09;
constexpr std::uint8_t CRSH_DW_EH_PE_sdata2 = 0x0A;
constexpr std::uint8_t CRSH_DW_EH_PE_sdata4 = 0x0B;
constexpr std::uint8_t CRSH_DW_EH_PE_sdata8 = 0x0C;
constexpr std::uint8_t CRSH_DW_EH_PE_absptr = 0x00;
constexpr std::uint8_t CRSH_DW_EH_PE_pcrel = 0x10;
constexpr std::uint8_t CRSH_DW_EH_PE_textrel = 0x20;
constexpr std::uint8_t CRSH_DW_EH_PE_datarel = 0x30;
constexpr std::uint8_t CRSH_DW_EH_PE_funcrel = 0x40;
constexpr std::uint8_t CRSH_DW_EH_PE_aligned = 0x50;
constexpr std::uint8_t CRSH_DW_EH_PE_indirect = 0x80;
constexpr std::uint8_t CRSH_DW_EH_PE_omit = 0xFF;

crsh_error_t crsh_dwarf_frame_reader_init(crsh_dwarf_frame_reader* reader, const crsh_async_mobject* mobj,
                                          const crsh_async_byteorder* byteorder, bool m64, bool debug_frame);

// Scans the section from offset for the FDE with pc_start <= pc < pc_end: CRSH_ERR_NOT_FOUND when none
// (a zero-length terminator ends the scan), CRSH_ERR_INVALID_ARGUMENT for a malformed entry on the way,
// or the error of the first FDE that cannot be parsed.
crsh_error_t crsh_dwarf_find_fde(const crsh_dwarf_frame_reader* reader, crsh_vm_off_t offset, crsh_vm_address_t pc,
                                 crsh_dwarf_fde_info* fde);

// The CIE at task address (the start of its length field).
template <typename machine_ptr>
crsh_error_t crsh_dwarf_parse_cie(crsh_dwarf_cie_info* info, const crsh_async_mobject* mobj,
                                  const crsh_async_byteorder* byteorder, const crsh_dwarf_ptr_state* ptr_state,
                                  crsh_vm_address_t address);

// The FDE at task address (the start of its length field), with its CIE.
template <typename machine_ptr>
crsh_error_t crsh_dwarf_parse_fde(crsh_dwarf_fde_info* info, const crsh_async_mobject* mobj,
                                  const crsh_async_byteorder* byteorder, crsh_vm_address_t address, bool debug_frame);

// The FDE at task address in an __eh_frame whose CIE lies in another memory object: a table-driven search
// maps only the FDE and its CIE, not the whole section. cie_offset is then from cie_mobj's start.
template <typename machine_ptr>
crsh_error_t crsh_dwarf_parse_fde_with_cie(crsh_dwarf_fde_info* info, const crsh_async_mobject* mobj,
                                           const crsh_async_mobject* cie_mobj, const crsh_async_byteorder* byteorder,
                                           crsh_vm_address_t address);

// A pointer in the given encoding at address + offset; *size is the number of bytes it took.
// CRSH_ERR_NOT_FOUND for the omitted encoding (0xFF), CRSH_ERR_NOT_SUPPORTED for a base the state lacks
// or an unknown application or format.
template <typename machine_ptr>
crsh_error_t crsh_dwarf_read_encoded_pointer(const crsh_dwarf_ptr_state* state, const crsh_async_mobject* mobj,
                                             crsh_vm_address_t address, crsh_vm_off_t offset, std::uint8_t encoding,
                                             machine_ptr* result, std::size_t* size);

// LEB128 values: CRSH_ERR_NOT_SUPPORTED past 64 bits, CRSH_ERR_INVALID_ARGUMENT past the object.
crsh_error_t crsh_dwarf_read_uleb128(const crsh_async_mobject* mobj, crsh_vm_address_t address, crsh_vm_off_t offset,
                                     std::uint64_t* result, std::size_t* size);
crsh_error_t crsh_dwarf_read_sleb128(const crsh_async_mobject* mobj, crsh_vm_address_t address, crsh_vm_off_t offset,
                                     std::int64_t* result, std::size_t* size);

// An unsigned value of size 1, 2, 4 or 8; any other size, or a range outside the object, is
// CRSH_ERR_INVALID_ARGUMENT.
crsh_error_t crsh_dwarf_read_uintmax(const crsh_async_mobject* mobj, const crsh_async_byteorder* byteorder,
                                     crsh_vm_address_t address, crsh_vm_off_t offset, std::uint8_t size,
                                     std::uint64_t* result);

extern template crsh_error_t crsh_dwarf_parse_cie<std::uint32_t>(crsh_dwarf_cie_info*, const crsh_async_mobject*,
                                                                 const crsh_async_byteorder*,
                                                                 const crsh_dwarf_ptr_state*, crsh_vm_address_t);
extern template crsh_error_t crsh_dwarf_parse_cie<std::uint64_t>(crsh_dwarf_cie_info*, const crsh_async_mobject*,
                                                                 const crsh_async_byteorder*,
                                                                 const crsh_dwarf_ptr_state*, crsh_vm_address_t);
extern template crsh_error_t crsh_dwarf_parse_fde<std::uint32_t>(crsh_dwarf_fde_info*, const crsh_async_mobject*,
                                                                 const crsh_async_byteorder*, crsh_vm_address_t, bool);
extern template crsh_error_t crsh_dwarf_parse_fde<std::uint64_t>(crsh_dwarf_fde_info*, const crsh_async_mobject*,
                                                                 const crsh_async_byteorder*, crsh_vm_address_t, bool);
extern template crsh_error_t crsh_dwarf_parse_fde_with_cie<std::uint64_t>(crsh_dwarf_fde_info*,
                                                                          const crsh_async_mobject*,
                                                                          const crsh_async_mobject*,
                                                                          const crsh_async_byteorder*,
                                                                          crsh_vm_address_t);
extern template crsh_error_t crsh_dwarf_read_encoded_pointer<std::uint32_t>(
    const crsh_dwarf_ptr_state*, const crsh_async_mobject*, crsh_vm_address_t, crsh_vm_off_t, std::uint8_t,
    std::uint32_t*, std::size_t*);
extern template crsh_error_t crsh_dwarf_read_encoded_pointer<std::uint64_t>(
    const crsh_dwarf_ptr_state*, const crsh_async_mobject*, crsh_vm_address_t, crsh_vm_off_t, std::uint8_t,
    std::uint64_t*, std::size_t*);
