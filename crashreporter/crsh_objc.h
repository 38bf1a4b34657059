// The class-metadata reader: walks an image's class and category lists in the task's memory and
// enumerates every method with its implementation address, so that frames of a stripped image still
// get names. Reads the classic layout (__OBJC,__module_info, records of 32-bit words read from the task)
// and the modern one (__DATA,__objc_classlist and its companions). Everything here is
// async-signal-safe; the only allocation is the class cache's one block, made on first use.
#pragma once

#include "crashreporter/crsh_macho.h"

#include <cstddef>
#include <cstdint>

constexpr std::size_t CRSH_OBJC_CLASS_CACHE_SLOTS = 1024;
constexpr std::size_t CRSH_OBJC_CLASS_CACHE_BLOCK_BYTES = 2 * CRSH_OBJC_CLASS_CACHE_SLOTS * sizeof(std::uint64_t);

// Longest string the reader will scan for its terminating zero. Every scan copies the pages it maps,
// so an unterminated run through a large readable region must end somewhere.
constexpr std::size_t CRSH_OBJC_STRING_MAX_BYTES = 64 * 1024;

// Classic-layout lists are read from the task one record at a time with counts taken from the records
// themselves: a method list above this many entries, or an array of more lists than this, is invalid data
// rather than a walk through whatever memory happens to be readable.
constexpr std::uint32_t CRSH_OBJC_CLASSIC_MAX_METHODS = 65536;
constexpr std::size_t CRSH_OBJC_CLASSIC_MAX_LISTS = 4096;

// One per report: created before its first frame is named and freed after the last. Keeps the last
// image's four sections mapped and every class resolved so far.
struct crsh_objc_cache {
    bool got_modern;                 // the modern layout was read once: the classic one is not probed again
    const crsh_macho_image* image;   // whose sections are mapped
    crsh_async_mobject objc_const;   // __DATA,__objc_const
    bool objc_const_present;
    crsh_async_mobject class_list;   // __DATA,__objc_classlist
    bool class_list_present;
    crsh_async_mobject category_list; // __DATA,__objc_catlist
    bool category_list_present;
    crsh_async_mobject objc_data;    // __DATA,__objc_data
    bool objc_data_present;
    // Class data address -> read-only data address, both arrays in one block.
    std::size_t class_cache_size; // CRSH_OBJC_CLASS_CACHE_SLOTS once made, 0 before or when it could not be
    std::uint64_t* class_cache_keys;
    std::uint64_t* class_cache_values;
    // Makes the class cache's block (page-aligned, zeroed), none on failure; mmap unless replaced.
    void* (*make_block)(std::size_t length);
};

// A string in the task, mapped page by page on first use.
struct crsh_objc_string {
    const crsh_macho_image* image;
    crsh_vm_address_t address;
    crsh_async_mobject mobj;
    bool mapped;
    bool length_known;
    std::size_t length; // bytes before the terminating zero
};

// (is class method, class name, method name, implementation address, context). The strings live for the
// call only.
using crsh_objc_method_cb = void (*)(bool is_class_method, crsh_objc_string* class_name,
                                     crsh_objc_string* method_name, crsh_vm_address_t imp, void* context);

crsh_error_t crsh_objc_cache_init(crsh_objc_cache* cache);
void crsh_objc_cache_free(crsh_objc_cache* cache);

void crsh_objc_string_init(crsh_objc_string* string, const crsh_macho_image* image, crsh_vm_address_t address);
// The length, scanning one more page at a time (CRSH_ERR_INVALID_ARGUMENT when the string runs into
// bytes that cannot be read or past CRSH_OBJC_STRING_MAX_BYTES; the mapping's error when its first
// page cannot be read).
crsh_error_t crsh_objc_string_length(crsh_objc_string* string, std::size_t* length);
// The mapped bytes (the length first); CRSH_ERR_ACCESS_DENIED when they are not inside the mapping.
crsh_error_t crsh_objc_string_pointer(crsh_objc_string* string, const char** pointer);
void crsh_objc_string_free(crsh_objc_string* string);

// Calls back for every method of every realised class and of every category. The classic layout is
// tried first until a modern walk has succeeded with this cache; a classic walk ends at the first record
// it cannot read, with that read's error. CRSH_ERR_ACCESS_DENIED without a cache; CRSH_ERR_NOT_FOUND
// when the image has no class metadata (or none of it could be reported); CRSH_ERR_INVALID_DATA for
// records outside their sections.
crsh_error_t crsh_objc_enumerate_methods(const crsh_macho_image* image, crsh_objc_cache* cache,
                                         crsh_objc_method_cb callback, void* context);

// Calls back once, for the method whose implementation is the greatest one at or below pc.
crsh_error_t crsh_objc_find_method(const crsh_macho_image* image, crsh_objc_cache* cache, crsh_vm_address_t pc,
                                   crsh_objc_method_cb callback, void* context);

// Symbolication strategies (bits).
constexpr std::uint32_t CRSH_SYMBOL_STRATEGY_SYMBOL_TABLE = 0x1;
constexpr std::uint32_t CRSH_SYMBOL_STRATEGY_OBJC = 0x2;
constexpr std::size_t CRSH_SYMBOL_NAME_MAX_CHARACTERS = 255;

// (start address, name of at most 255 characters, context).
using crsh_symbol_cb = void (*)(crsh_vm_address_t address, const char* name, void* context);

// Names the function at pc from the symbol table and/or the class metadata, as the strategy asks (an ELF
// object's symbol table is read by crsh_elf_find_symbol_by_pc, which names the function holding pc); on
// equal start addresses the class-metadata name ("-[Class method]", "+[Class method]") wins. When every
// requested lookup failed, the symbol table's code (CRSH_ERR_NOT_FOUND when it was not asked).
crsh_error_t crsh_find_symbol(const crsh_macho_image* image, std::uint32_t strategy, crsh_objc_cache* cache,
                              crsh_vm_address_t pc, crsh_symbol_cb callback, void* context);
