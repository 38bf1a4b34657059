// The image record: one loaded Mach-O image (header, load commands, segments, sections, symbol tables),
// parsed through memory objects so that a malformed or partly unmapped image is an error code, never a
// fault. Records are created outside crash context (the name is copied with the C library); everything
// else here is async-signal-safe and allocates nothing. A record is immutable after creation except for
// the back pointer of the image list that lists it.
//
// Commands, segment commands and section headers are handed out as local pointers into the record's
// load-command mapping, in the image's own byte order: read their fields through crsh_macho_image_byteorder().
#pragma once

#include "crashreporter/crsh_async_mobject.h"
#include "crashreporter/crsh_elf.h"

#include <atomic>

constexpr std::int32_t CRSH_CPU_TYPE_ARM = 12;
constexpr std::int32_t CRSH_CPU_TYPE_ARM64 = 0x0100000C;
constexpr std::int32_t CRSH_CPU_TYPE_X86 = 7;
constexpr std::int32_t CRSH_CPU_TYPE_X86_64 = 0x01000007;

constexpr std::uint32_t CRSH_MH_MAGIC = 0xFEEDFACE;
constexpr std::uint32_t CRSH_MH_MAGIC_64 = 0xFEEDFACF;
constexpr std::uint32_t CRSH_MH_CIGAM = 0xCEFAEDFE;
constexpr std::uint32_t CRSH_MH_CIGAM_64 = 0xCFFAEDFE;

constexpr std::uint32_t CRSH_LC_SEGMENT = 0x1;
constexpr std::uint32_t CRSH_LC_SYMTAB = 0x2;
constexpr std::uint32_t CRSH_LC_DYSYMTAB = 0xB;
constexpr std::uint32_t CRSH_LC_SEGMENT_64 = 0x19;
constexpr std::uint32_t CRSH_LC_UUID = 27;
constexpr std::size_t CRSH_IMAGE_UUID_BYTES = 16;

// The Mach-O header as read, in the file's byte order.
struct crsh_macho_header {
    std::uint32_t magic;
    std::int32_t cputype;
    std::int32_t cpusubtype;
    std::uint32_t filetype;
    std::uint32_t ncmds;
    std::uint32_t sizeofcmds;
    std::uint32_t flags;
};

// The head every load command starts with, in the file's byte order.
struct crsh_macho_load_command {
    std::uint32_t cmd;
    std::uint32_t cmdsize;
};

struct crsh_macho_image {
    crsh_task_t task;
    crsh_vm_address_t header_addr;
    crsh_vm_address_t vmaddr_slide; // header_addr - the __TEXT segment's virtual address, wrapping
    char* name;
    crsh_macho_header header;
    std::uint32_t header_size; // 28 or 32
    std::uint32_t ncmds;       // host order
    crsh_async_mobject load_cmds;
    crsh_vm_address_t text_vmaddr;
    crsh_vm_size_t text_size;
    bool m64;
    const crsh_async_byteorder* byteorder;
    std::atomic<void*> node; // the image list's node that lists this record; set once
    // An image of this machine's own format (ELF) has no load commands: its identifier is kept here, and
    // where its call-frame search table and symbol table are.
    bool has_uuid;
    std::uint8_t uuid[CRSH_IMAGE_UUID_BYTES];
    crsh_elf_object elf; // present only for such an image
};

// A mapped segment with its place in the file.
struct crsh_macho_segment {
    crsh_async_mobject mobj;
    std::uint64_t fileoff;
    std::uint64_t filesize;
};

// Reads the header at header_addr, maps its load commands and finds its __TEXT segment. Fails with
// CRSH_ERR_INTERNAL when the header cannot be read, CRSH_ERR_INVALID_ARGUMENT for an unknown magic, a
// malformed load command or no __TEXT segment, or the mapping's error; nothing is kept on failure.
crsh_error_t crsh_macho_image_init(crsh_macho_image* image, crsh_task_t task, const char* name,
                                   crsh_vm_address_t header_addr);
void crsh_macho_image_free(crsh_macho_image* image);

// A record for an object loaded by this machine's own loader (ELF), which has no Mach-O header: base is
// its first loaded byte, text_size reaches to the end of its executable segment, the CPU is this machine's
// (x86-64: type 0x01000007, subtype 3), uuid (16 bytes or none) its identifier. The record has no load
// commands, so Mach-O section lookups answer CRSH_ERR_NOT_FOUND; with elf, the frame readers and the
// symbol lookup use the object's own tables (crsh_elf.h). The name is kept as UTF-8 (bytes that are not
// become U+FFFD).
crsh_error_t crsh_macho_image_init_native(crsh_macho_image* image, crsh_task_t task, const char* name,
                                          crsh_vm_address_t base, crsh_vm_size_t text_size, const std::uint8_t* uuid,
                                          const crsh_elf_object_source* elf = nullptr);

// The image's 16-byte identifier: a native image's own, else the LC_UUID command's; false when none.
bool crsh_macho_image_uuid(const crsh_macho_image* image, std::uint8_t (&uuid)[CRSH_IMAGE_UUID_BYTES]);

// The load-command walk. A command is handed out only when its head and its whole declared size lie
// inside the mapping; a command shorter than its own head ends the walk.
const crsh_macho_load_command* crsh_macho_image_next_command(const crsh_macho_image* image,
                                                             const crsh_macho_load_command* previous);
const crsh_macho_load_command* crsh_macho_image_find_command(const crsh_macho_image* image, std::uint32_t type);
const crsh_macho_load_command* crsh_macho_image_find_command_after(const crsh_macho_image* image,
                                                                   const crsh_macho_load_command* previous,
                                                                   std::uint32_t type);

// The image's segment command (LC_SEGMENT or LC_SEGMENT_64 by its width) named segname, compared over at
// most 16 bytes; none when absent or shorter than its fixed part.
const crsh_macho_load_command* crsh_macho_image_find_segment_command(const crsh_macho_image* image,
                                                                     const char* segname);

// Maps the segment (as much as can be read) with its file offset and size; CRSH_ERR_NOT_FOUND when absent.
crsh_error_t crsh_macho_image_map_segment(const crsh_macho_image* image, const char* segname,
                                          crsh_macho_segment* segment);
void crsh_macho_segment_free(crsh_macho_segment* segment);

// Maps the whole of a section; CRSH_ERR_NOT_FOUND when the segment or the section is absent,
// CRSH_ERR_INVALID_ARGUMENT when the segment's section headers reach past its command.
crsh_error_t crsh_macho_image_map_section(const crsh_macho_image* image, const char* segname, const char* sectname,
                                          crsh_async_mobject* mobj);

// header_addr <= address < header_addr + the __TEXT segment's size.
bool crsh_macho_image_contains_address(const crsh_macho_image* image, crsh_vm_address_t address);

std::int32_t crsh_macho_image_cpu_type(const crsh_macho_image* image);    // host order
std::int32_t crsh_macho_image_cpu_subtype(const crsh_macho_image* image); // host order
const crsh_macho_header* crsh_macho_image_header(const crsh_macho_image* image);
std::uint32_t crsh_macho_image_header_size(const crsh_macho_image* image);
const crsh_async_byteorder* crsh_macho_image_byteorder(const crsh_macho_image* image);
bool crsh_macho_image_is_arm64(const crsh_macho_image* image);

// Symbol tables. The reader maps __LINKEDIT and points into it; free it when done.
struct crsh_macho_symtab_reader {
    const crsh_macho_image* image;
    crsh_macho_segment linkedit;
    const void* symtab;
    std::uint32_t nsyms;
    const void* symtab_global; // null without LC_DYSYMTAB
    std::uint32_t nsyms_global;
    const void* symtab_local; // null without LC_DYSYMTAB
    std::uint32_t nsyms_local;
    const char* string_table;
    std::uint32_t string_table_size;
};

// One entry of a symbol table (nlist or nlist_64), in host order.
struct crsh_macho_symbol {
    std::uint32_t n_strx;
    std::uint8_t n_type;
    std::uint8_t n_sect;
    std::uint16_t n_desc;
    std::uint64_t n_value;
    std::uint64_t normalized_value; // n_value with bit 0 set for an ARM Thumb definition
};

crsh_error_t crsh_macho_symtab_reader_init(crsh_macho_symtab_reader* reader, const crsh_macho_image* image);
void crsh_macho_symtab_reader_free(crsh_macho_symtab_reader* reader);

// Entry index of a table the reader set up (symtab, symtab_global or symtab_local); index must be below
// that table's count.
crsh_macho_symbol crsh_macho_symtab_reader_read(const crsh_macho_symtab_reader* reader, const void* table,
                                                std::uint32_t index);

// The name at string-table index strx, or none when it does not end with a zero inside the table.
const char* crsh_macho_symtab_reader_symbol_name(const crsh_macho_symtab_reader* reader, std::uint32_t strx);

using crsh_macho_found_symbol_cb = void (*)(crsh_vm_address_t address, const char* name, void* context);

// Calls callback once with the address and name of the symbol that best covers pc (the defined symbol
// with the greatest value at or below it; on equal values the first found).
crsh_error_t crsh_macho_find_symbol_by_pc(const crsh_macho_image* image, crsh_vm_address_t pc,
                                          crsh_macho_found_symbol_cb callback, void* context);

// The address of the first defined symbol named exactly name.
crsh_error_t crsh_macho_find_symbol_by_name(const crsh_macho_image* image, const char* name,
                                            crsh_vm_address_t* address);
