// This machine's own objects (ELF): what a crash handler needs to know of one, gathered outside crash
// context, and the crash-time readers over it: the search table of its call-frame information
// (.eh_frame_hdr, over the same CIE and FDE format as any .eh_frame) and its symbol table (.symtab, else
// .dynsym) for naming frames.
//
// Crash-time reads go through the checked task reads of crsh_async.h only, nothing is allocated and no lock
// is taken. The object's addresses are those of the task that loaded it; the symbol table's are those of
// the process that mapped it (symbols_task), so a helper process that describes another task's objects
// maps the files itself and reads them the same way.
#pragma once

#include "crashreporter/crsh_async.h"

#include <cstddef>
#include <cstdint>

// The largest symbol table, and the largest string table, that is mapped for lookups at crash time.
constexpr std::uint64_t CRSH_ELF_MAX_TABLE_BYTES = 64 * 1024 * 1024;
// The largest CIE or FDE read at crash time.
constexpr std::uint64_t CRSH_ELF_MAX_FRAME_ENTRY_BYTES = 1024 * 1024;

struct crsh_elf_object {
    bool present; // the image record describes an ELF object
    crsh_vm_address_t load_bias; // the object's virtual address v is at load_bias + v in the task
    crsh_vm_address_t eh_frame_hdr; // the task address of .eh_frame_hdr; 0 when the object has none
    crsh_vm_size_t eh_frame_hdr_size;
    // ELF64 symbol entries (24 bytes each) and their string table, read in symbols_task; 0 when the object
    // has no symbol table that could be mapped.
    crsh_task_t symbols_task;
    crsh_vm_address_t symtab;
    std::uint64_t symbol_count;
    crsh_vm_address_t strtab;
    crsh_vm_size_t strtab_size;
    // The private read-only mappings of the file that hold the two tables; released by crsh_elf_object_free.
    void* mappings[2];
    std::size_t mapping_lengths[2];
};

// What the loader tells of one object.
struct crsh_elf_object_source {
    crsh_vm_address_t load_bias;
    crsh_vm_address_t eh_frame_hdr; // 0: none
    crsh_vm_size_t eh_frame_hdr_size;
    const char* path;             // the object's file; none or unreadable: no symbols
    const std::uint8_t* build_id; // the first 16 bytes of the loaded object's build-id, or none
};

// Normal context: fills the record. The file's symbol table (else its dynamic one) and the string table it
// names are mapped read-only when the file is a 64-bit ELF file of this machine whose tables lie inside it,
// and, when the loaded object has a build-id, the file carries the same one (a file replaced since the
// object was loaded names nothing). Anything else leaves the record without symbols.
void crsh_elf_object_init(crsh_elf_object* object, const crsh_elf_object_source& source);
void crsh_elf_object_free(crsh_elf_object* object);

// Crash time: the FDE that the object's search table gives for pc (the entry with the greatest initial
// location at or below pc): its task address. CRSH_ERR_NOT_FOUND when the object has no table or pc lies
// below every entry; CRSH_ERR_NOT_SUPPORTED for a table the search cannot read (a version other than 1, no
// binary-search table, an encoding other than data-relative signed 4 bytes); CRSH_ERR_INVALID_DATA when
// the table reaches past its segment; a failed read's code. The caller checks that the FDE covers pc.
crsh_error_t crsh_elf_find_fde(crsh_task_t task, const crsh_elf_object* object, crsh_vm_address_t pc,
                               crsh_vm_address_t* fde);

// (start address, name): name is zero-terminated and lives only for the call.
using crsh_elf_found_symbol_cb = void (*)(crsh_vm_address_t address, const char* name, void* context);

// Crash time: calls callback once with the function symbol that holds pc: the defined function whose start
// is the greatest at or below pc and whose extent, when it has one, reaches past pc (on equal starts the
// first in the table). The name is given as the platform's C symbols are named, with a leading "_", and is
// cut to max_characters. CRSH_ERR_NOT_FOUND when no function holds pc or the object has no table;
// CRSH_ERR_INVALID_DATA when the name does not end inside the string table; a failed read's code.
crsh_error_t crsh_elf_find_symbol_by_pc(const crsh_elf_object* object, crsh_vm_address_t pc,
                                        std::size_t max_characters, crsh_elf_found_symbol_cb callback,
                                        void* context);
