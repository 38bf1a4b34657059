#include "crashreporter/crsh_objc.h"

#include "crashreporter/crsh_async.h"

#include <sys/mman.h>

namespace {

constexpr std::uint32_t kRealised = 1u << 31;        // read-write flags: the class has been set up
constexpr std::uint32_t kCopiedReadOnly = 1u << 27;  // read-write flags: the read-only data is a copy
constexpr std::uint64_t kArm64IsaMask64 = 0x1FFFFFFF8;

void* mapBlock(std::size_t length)
{
    void* block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

// A record copied from the task or from a section into a local buffer, read field by field through the
// image's byte order. Large enough for the largest record (a 64-bit read-only class record).
struct Record {
    const crsh_macho_image* image;
    std::uint8_t bytes[72];

    std::size_t word() const { return image->m64 ? 8 : 4; }
    std::uint16_t u16(std::size_t offset) const
    {
        return image->byteorder->swap16(crsh_async_load<std::uint16_t>(bytes + offset));
    }
    std::uint32_t u32(std::size_t offset) const
    {
        return image->byteorder->swap32(crsh_async_load<std::uint32_t>(bytes + offset));
    }
    std::uint64_t pointer(std::size_t offset) const
    {
        return image->m64 ? image->byteorder->swap64(crsh_async_load<std::uint64_t>(bytes + offset)) : u32(offset);
    }
    // The n-th pointer-sized word.
    std::uint64_t at(std::size_t n) const { return pointer(n * word()); }
};

// Record sizes in words (or bytes), by width.
std::size_t classBytes(const crsh_macho_image* image) { return 5 * (image->m64 ? 8 : 4); }
std::size_t readWriteBytes(const crsh_macho_image* image) { return image->m64 ? 16 : 12; }
std::size_t readOnlyBytes(const crsh_macho_image* image) { return image->m64 ? 72 : 40; }
std::size_t readOnlyNameOffset(const crsh_macho_image* image) { return image->m64 ? 24 : 16; }
std::size_t categoryBytes(const crsh_macho_image* image) { return 6 * (image->m64 ? 8 : 4); }

// Copies length bytes at address from the mapped section; false when they are not all inside it.
bool copyFromSection(const crsh_async_mobject* section, crsh_vm_address_t address, std::size_t length, Record* record)
{
    const void* local = crsh_async_mobject_remap_address(section, address, 0, length);
    if (local == nullptr)
        return false;
    crsh_async_memcpy(record->bytes, local, length);
    return true;
}

bool copyFromTask(const crsh_macho_image* image, crsh_vm_address_t address, std::size_t length, Record* record)
{
    return crsh_async_task_memcpy(image->task, address, 0, record->bytes, length) == CRSH_ERR_NONE;
}

void unmapSections(crsh_objc_cache* cache)
{
    struct Mapping {
        crsh_async_mobject* mobj;
        bool* present;
    };
    for (Mapping mapping : {Mapping{&cache->objc_const, &cache->objc_const_present},
                            Mapping{&cache->class_list, &cache->class_list_present},
                            Mapping{&cache->category_list, &cache->category_list_present},
                            Mapping{&cache->objc_data, &cache->objc_data_present}}) {
        if (*mapping.present)
            crsh_async_mobject_free(mapping.mobj);
        *mapping.present = false;
    }
    cache->image = nullptr;
}

crsh_error_t mapSections(const crsh_macho_image* image, crsh_objc_cache* cache)
{
    if (cache->image == image)
        return CRSH_ERR_NONE;
    unmapSections(cache);
    CRSH_TRY(crsh_macho_image_map_section(image, "__DATA", "__objc_const", &cache->objc_const));
    cache->objc_const_present = true;
    cache->image = image; // from here on unmapSections releases what was mapped
    CRSH_TRY(crsh_macho_image_map_section(image, "__DATA", "__objc_classlist", &cache->class_list));
    cache->class_list_present = true;
    CRSH_TRY(crsh_macho_image_map_section(image, "__DATA", "__objc_catlist", &cache->category_list));
    cache->category_list_present = true;
    CRSH_TRY(crsh_macho_image_map_section(image, "__DATA", "__objc_data", &cache->objc_data));
    cache->objc_data_present = true;
    return CRSH_ERR_NONE;
}

// The read-only record of the class data at data, through the class cache.
crsh_error_t readOnlyData(const crsh_macho_image* image, crsh_objc_cache* cache, std::uint64_t data, Record* readOnly)
{
    std::size_t slot = cache->class_cache_size == 0 ? 0 : (data >> 2) % cache->class_cache_size;
    if (cache->class_cache_size != 0 && cache->class_cache_keys[slot] == data && cache->class_cache_values[slot] != 0) {
        std::uint64_t address = cache->class_cache_values[slot];
        if (copyFromSection(&cache->objc_const, address, readOnlyBytes(image), readOnly) ||
            copyFromTask(image, address, readOnlyBytes(image), readOnly))
            return CRSH_ERR_NONE;
        return CRSH_ERR_INVALID_DATA;
    }

    Record readWrite{image, {}};
    if (!copyFromTask(image, data, readWriteBytes(image), &readWrite))
        return CRSH_ERR_INVALID_DATA;
    std::uint32_t flags = readWrite.u32(0);
    if ((flags & kRealised) == 0)
        return CRSH_ERR_NOT_FOUND;
    std::uint64_t address = readWrite.pointer(8);
    if ((flags & kCopiedReadOnly) != 0 || !crsh_macho_image_contains_address(image, address)) {
        if (!copyFromTask(image, address, readOnlyBytes(image), readOnly))
            return CRSH_ERR_INVALID_DATA;
    } else if (!copyFromSection(&cache->objc_const, address, readOnlyBytes(image), readOnly)) {
        return CRSH_ERR_INVALID_DATA;
    }

    if (cache->class_cache_size == 0 && cache->class_cache_keys == nullptr) {
        void* block = cache->make_block(CRSH_OBJC_CLASS_CACHE_BLOCK_BYTES);
        if (block != nullptr) {
            cache->class_cache_keys = static_cast<std::uint64_t*>(block);
            cache->class_cache_values = cache->class_cache_keys + CRSH_OBJC_CLASS_CACHE_SLOTS;
            cache->class_cache_size = CRSH_OBJC_CLASS_CACHE_SLOTS;
        }
    }
    if (cache->class_cache_size != 0) {
        slot = (data >> 2) % cache->class_cache_size;
        if (cache->class_cache_keys[slot] == 0) { // an occupied slot keeps its class
            cache->class_cache_keys[slot] = data;
            cache->class_cache_values[slot] = address;
        }
    }
    return CRSH_ERR_NONE;
}

// The read-only record of a class record, and the two fields read from it.
crsh_error_t classReadOnly(const crsh_macho_image* image, crsh_objc_cache* cache, const Record& cls, Record* readOnly)
{
    return readOnlyData(image, cache, cls.at(4) & ~std::uint64_t{3}, readOnly);
}
std::uint64_t className(const Record& readOnly) { return readOnly.pointer(readOnlyNameOffset(readOnly.image)); }
std::uint64_t baseMethods(const Record& readOnly)
{
    return readOnly.pointer(readOnlyNameOffset(readOnly.image) + readOnly.word());
}

struct Walk {
    const crsh_macho_image* image;
    crsh_objc_cache* cache;
    crsh_objc_method_cb callback;
    void* context;
    std::size_t reported;
};

// Reports one method list of the modern layout; the header and all entries must lie in __objc_const.
crsh_error_t reportMethodList(Walk* walk, crsh_vm_address_t list, crsh_objc_string* className, bool isClassMethod)
{
    const crsh_macho_image* image = walk->image;
    Record header{image, {}};
    if (!copyFromSection(&walk->cache->objc_const, list, 8, &header))
        return CRSH_ERR_INVALID_DATA;
    std::uint64_t entrySize = header.u32(0) & ~3u;
    std::uint64_t count = header.u32(4);
    std::size_t word = image->m64 ? 8 : 4;
    if (entrySize < 3 * word)
        return CRSH_ERR_INVALID_DATA;
    // count and entry size are 32-bit, so the product cannot wrap 64 bits.
    if (crsh_async_mobject_remap_address(&walk->cache->objc_const, list, 8, count * entrySize) == nullptr)
        return CRSH_ERR_INVALID_DATA;
    for (std::uint64_t i = 0; i < count; ++i) {
        Record entry{image, {}};
        if (!copyFromSection(&walk->cache->objc_const, list + 8 + i * entrySize, 3 * word, &entry))
            return CRSH_ERR_INVALID_DATA;
        crsh_objc_string methodName;
        crsh_objc_string_init(&methodName, image, entry.at(0));
        walk->callback(isClassMethod, className, &methodName, entry.at(2), walk->context);
        crsh_objc_string_free(&methodName);
        ++walk->reported;
    }
    return CRSH_ERR_NONE;
}

crsh_error_t reportClass(Walk* walk, crsh_vm_address_t classAddress)
{
    const crsh_macho_image* image = walk->image;
    crsh_objc_cache* cache = walk->cache;
    Record cls{image, {}};
    if (!copyFromSection(&cache->objc_data, classAddress, classBytes(image), &cls))
        return CRSH_ERR_INVALID_DATA;
    Record readOnly{image, {}};
    CRSH_TRY(classReadOnly(image, cache, cls, &readOnly));

    crsh_objc_string name;
    crsh_objc_string_init(&name, image, className(readOnly));
    crsh_error_t error = CRSH_ERR_NONE;
    if (baseMethods(readOnly) != 0)
        error = reportMethodList(walk, baseMethods(readOnly), &name, false);

    std::uint64_t isa = cls.at(0);
    if (error == CRSH_ERR_NONE && crsh_macho_image_is_arm64(image) && (isa & 1) != 0)
        isa &= image->m64 ? kArm64IsaMask64 : ~std::uint64_t{7};
    Record meta{image, {}};
    Record metaReadOnly{image, {}};
    if (error == CRSH_ERR_NONE && !copyFromSection(&cache->objc_data, isa, classBytes(image), &meta))
        error = CRSH_ERR_INVALID_DATA;
    if (error == CRSH_ERR_NONE)
        error = classReadOnly(image, cache, meta, &metaReadOnly);
    if (error == CRSH_ERR_NONE && baseMethods(metaReadOnly) != 0)
        error = reportMethodList(walk, baseMethods(metaReadOnly), &name, true);
    crsh_objc_string_free(&name);
    return error;
}

crsh_error_t reportCategory(Walk* walk, crsh_vm_address_t categoryAddress)
{
    const crsh_macho_image* image = walk->image;
    crsh_objc_cache* cache = walk->cache;
    Record category{image, {}};
    if (!copyFromSection(&cache->objc_const, categoryAddress, categoryBytes(image), &category))
        return CRSH_ERR_INVALID_DATA;
    Record cls{image, {}};
    if (!copyFromSection(&cache->objc_data, category.at(1), classBytes(image), &cls) &&
        !copyFromTask(image, category.at(1), classBytes(image), &cls))
        return CRSH_ERR_INVALID_DATA;
    Record readOnly{image, {}};
    CRSH_TRY(classReadOnly(image, cache, cls, &readOnly));

    crsh_objc_string name;
    crsh_objc_string_init(&name, image, className(readOnly));
    crsh_error_t error = CRSH_ERR_NONE;
    if (category.at(2) != 0)
        error = reportMethodList(walk, category.at(2), &name, false);
    if (error == CRSH_ERR_NONE && category.at(3) != 0)
        error = reportMethodList(walk, category.at(3), &name, true);
    crsh_objc_string_free(&name);
    return error;
}

// Walks one list section of pointers, calling report for each; a skipped entry ("Not found") moves on.
crsh_error_t walkList(Walk* walk, const crsh_async_mobject* list, crsh_error_t (*report)(Walk*, crsh_vm_address_t),
                      crsh_error_t* last)
{
    std::size_t word = walk->image->m64 ? 8 : 4;
    crsh_vm_address_t base = crsh_async_mobject_base_address(list);
    for (crsh_vm_size_t offset = 0; offset + word <= crsh_async_mobject_length(list); offset += word) {
        Record entry{walk->image, {}};
        if (!copyFromSection(list, base + offset, word, &entry))
            return CRSH_ERR_INVALID_DATA;
        *last = report(walk, entry.at(0));
        if (*last != CRSH_ERR_NONE && *last != CRSH_ERR_NOT_FOUND)
            return *last;
    }
    return CRSH_ERR_NONE;
}

// The classic layout: __OBJC,__module_info holds 16-byte modules (version, size, name, symbol table);
// every record is made of 32-bit words whatever the image's width, and is read from the task.
constexpr std::size_t kModuleBytes = 16;
constexpr std::size_t kModuleSymtabOffset = 12;
constexpr std::size_t kSymtabHeaderBytes = 12; // reference count, references, class count (16), category count (16)
constexpr std::size_t kClassicClassBytes = 40;
constexpr std::size_t kClassicNameOffset = 8;
constexpr std::size_t kClassicInfoOffset = 16;
constexpr std::size_t kClassicMethodListsOffset = 28;
constexpr std::uint32_t kClassicSingleList = 0x4000; // info: the method-lists word is one list, not an array
constexpr std::size_t kClassicListHeaderBytes = 8;   // obsolete word, count
constexpr std::size_t kClassicMethodBytes = 12;      // name, types, implementation
constexpr std::uint32_t kClassicListsEnd = 0xFFFFFFFF;

crsh_error_t readClassic(const crsh_macho_image* image, crsh_vm_address_t address, std::size_t length, Record* record)
{
    return crsh_async_task_memcpy(image->task, address, 0, record->bytes, length);
}

crsh_error_t reportClassicList(Walk* walk, std::uint32_t list, crsh_objc_string* className, bool isClassMethod)
{
    const crsh_macho_image* image = walk->image;
    Record header{image, {}};
    CRSH_TRY(readClassic(image, list, kClassicListHeaderBytes, &header));
    std::uint32_t count = header.u32(4);
    if (count > CRSH_OBJC_CLASSIC_MAX_METHODS)
        return CRSH_ERR_INVALID_DATA;
    for (std::uint32_t i = 0; i < count; ++i) {
        Record entry{image, {}};
        CRSH_TRY(readClassic(image, std::uint64_t{list} + kClassicListHeaderBytes + i * kClassicMethodBytes,
                             kClassicMethodBytes, &entry));
        crsh_objc_string methodName;
        crsh_objc_string_init(&methodName, image, entry.u32(0));
        walk->callback(isClassMethod, className, &methodName, entry.u32(8), walk->context);
        crsh_objc_string_free(&methodName);
        ++walk->reported;
    }
    return CRSH_ERR_NONE;
}

// Reports the method lists of a class (or metaclass) record: one list, or an array of lists ending at a
// zero or all-ones entry.
crsh_error_t reportClassicMethods(Walk* walk, const Record& cls, crsh_objc_string* className, bool isClassMethod)
{
    std::uint32_t lists = cls.u32(kClassicMethodListsOffset);
    if (lists == 0)
        return CRSH_ERR_NONE;
    if ((cls.u32(kClassicInfoOffset) & kClassicSingleList) != 0)
        return reportClassicList(walk, lists, className, isClassMethod);
    for (std::size_t i = 0;; ++i) {
        if (i == CRSH_OBJC_CLASSIC_MAX_LISTS)
            return CRSH_ERR_INVALID_DATA;
        Record entry{walk->image, {}};
        CRSH_TRY(readClassic(walk->image, std::uint64_t{lists} + i * 4, 4, &entry));
        std::uint32_t list = entry.u32(0);
        if (list == 0 || list == kClassicListsEnd)
            return CRSH_ERR_NONE;
        CRSH_TRY(reportClassicList(walk, list, className, isClassMethod));
    }
}

crsh_error_t reportClassicClass(Walk* walk, std::uint32_t classAddress)
{
    const crsh_macho_image* image = walk->image;
    Record cls{image, {}};
    CRSH_TRY(readClassic(image, classAddress, kClassicClassBytes, &cls));
    crsh_objc_string name;
    crsh_objc_string_init(&name, image, cls.u32(kClassicNameOffset));
    crsh_error_t error = reportClassicMethods(walk, cls, &name, false);
    Record meta{image, {}};
    if (error == CRSH_ERR_NONE)
        error = readClassic(image, cls.u32(0), kClassicClassBytes, &meta);
    if (error == CRSH_ERR_NONE)
        error = reportClassicMethods(walk, meta, &name, true);
    crsh_objc_string_free(&name);
    return error;
}

crsh_error_t walkModules(Walk* walk, const crsh_async_mobject* modules)
{
    const crsh_macho_image* image = walk->image;
    crsh_vm_address_t base = crsh_async_mobject_base_address(modules);
    crsh_vm_size_t length = crsh_async_mobject_length(modules);
    if (length < kModuleBytes)
        return CRSH_ERR_NOT_FOUND;
    for (crsh_vm_size_t offset = 0; offset + kModuleBytes <= length; offset += kModuleBytes) {
        Record module{image, {}};
        if (!copyFromSection(modules, base + offset, kModuleBytes, &module))
            return CRSH_ERR_INVALID_DATA;
        std::uint32_t symtab = module.u32(kModuleSymtabOffset);
        if (symtab == 0)
            continue;
        Record header{image, {}};
        CRSH_TRY(readClassic(image, symtab, kSymtabHeaderBytes, &header));
        std::uint16_t classes = header.u16(8);
        for (std::uint16_t i = 0; i < classes; ++i) {
            Record pointer{image, {}};
            CRSH_TRY(readClassic(image, std::uint64_t{symtab} + kSymtabHeaderBytes + i * 4u, 4, &pointer));
            CRSH_TRY(reportClassicClass(walk, pointer.u32(0)));
        }
    }
    return CRSH_ERR_NONE;
}

// CRSH_ERR_NOT_FOUND when the image has no classic metadata, so that the modern layout is tried.
crsh_error_t enumerateClassic(Walk* walk)
{
    crsh_async_mobject modules;
    CRSH_TRY(crsh_macho_image_map_section(walk->image, "__OBJC", "__module_info", &modules));
    crsh_error_t error = walkModules(walk, &modules);
    crsh_async_mobject_free(&modules);
    return error;
}

} // namespace

crsh_error_t crsh_objc_cache_init(crsh_objc_cache* cache)
{
    crsh_async_memset(cache, 0, sizeof *cache);
    cache->make_block = mapBlock;
    return CRSH_ERR_NONE;
}

void crsh_objc_cache_free(crsh_objc_cache* cache)
{
    unmapSections(cache);
    if (cache->class_cache_keys != nullptr)
        munmap(cache->class_cache_keys, CRSH_OBJC_CLASS_CACHE_BLOCK_BYTES);
    cache->class_cache_keys = nullptr;
    cache->class_cache_values = nullptr;
    cache->class_cache_size = 0;
}

void crsh_objc_string_init(crsh_objc_string* string, const crsh_macho_image* image, crsh_vm_address_t address)
{
    string->image = image;
    string->address = address;
    string->mapped = false;
    string->length_known = false;
    string->length = 0;
}

crsh_error_t crsh_objc_string_length(crsh_objc_string* string, std::size_t* length)
{
    if (string->length_known) {
        *length = string->length;
        return CRSH_ERR_NONE;
    }
    std::size_t page = crsh_async_page_size();
    std::size_t scanned = 0;
    for (std::size_t pages = 1;; ++pages) {
        if (string->mapped)
            crsh_async_mobject_free(&string->mobj);
        string->mapped = false;
        CRSH_TRY(crsh_async_mobject_init(&string->mobj, string->image->task, string->address, pages * page, false));
        string->mapped = true;
        std::size_t available = crsh_async_mobject_length(&string->mobj);
        if (available <= scanned) // the next byte is still outside the mapping
            return CRSH_ERR_INVALID_ARGUMENT;
        const char* bytes = reinterpret_cast<const char*>(string->mobj.address);
        for (; scanned < available && scanned <= CRSH_OBJC_STRING_MAX_BYTES; ++scanned) {
            if (bytes[scanned] == '\0') {
                string->length = scanned;
                string->length_known = true;
                *length = scanned;
                return CRSH_ERR_NONE;
            }
        }
        if (scanned > CRSH_OBJC_STRING_MAX_BYTES)
            return CRSH_ERR_INVALID_ARGUMENT;
    }
}

crsh_error_t crsh_objc_string_pointer(crsh_objc_string* string, const char** pointer)
{
    std::size_t length = 0;
    CRSH_TRY(crsh_objc_string_length(string, &length));
    if (!crsh_async_mobject_verify_local_pointer(&string->mobj, string->mobj.address, 0, length + 1))
        return CRSH_ERR_ACCESS_DENIED;
    *pointer = reinterpret_cast<const char*>(string->mobj.address);
    return CRSH_ERR_NONE;
}

void crsh_objc_string_free(crsh_objc_string* string)
{
    if (string->mapped)
        crsh_async_mobject_free(&string->mobj);
    string->mapped = false;
}

crsh_error_t crsh_objc_enumerate_methods(const crsh_macho_image* image, crsh_objc_cache* cache,
                                         crsh_objc_method_cb callback, void* context)
{
    if (cache == nullptr)
        return CRSH_ERR_ACCESS_DENIED;
    Walk walk{image, cache, callback, context, 0};
    if (!cache->got_modern) {
        crsh_error_t classic = enumerateClassic(&walk);
        if (classic != CRSH_ERR_NOT_FOUND)
            return classic;
    }

    crsh_error_t mapped = mapSections(image, cache);
    if (mapped != CRSH_ERR_NONE) {
        unmapSections(cache);
        return mapped;
    }

    crsh_error_t last = CRSH_ERR_NONE;
    CRSH_TRY(walkList(&walk, &cache->class_list, reportClass, &last));
    CRSH_TRY(walkList(&walk, &cache->category_list, reportCategory, &last));
    // Classes not yet realised are skipped; the walk still succeeds for what it did report.
    if (walk.reported == 0 && last != CRSH_ERR_NONE)
        return last;
    cache->got_modern = true;
    return CRSH_ERR_NONE;
}

namespace {

struct BestMethod {
    crsh_vm_address_t pc;
    crsh_vm_address_t best;
    bool found;
    bool called;
    crsh_objc_method_cb callback;
    void* context;
};

void keepBest(bool, crsh_objc_string*, crsh_objc_string*, crsh_vm_address_t imp, void* context)
{
    auto* best = static_cast<BestMethod*>(context);
    if (imp <= best->pc && (!best->found || imp > best->best)) {
        best->best = imp;
        best->found = true;
    }
}

void callBest(bool isClassMethod, crsh_objc_string* className, crsh_objc_string* methodName, crsh_vm_address_t imp,
              void* context)
{
    auto* best = static_cast<BestMethod*>(context);
    if (!best->called && imp == best->best) {
        best->called = true;
        best->callback(isClassMethod, className, methodName, imp, best->context);
    }
}

} // namespace

crsh_error_t crsh_objc_find_method(const crsh_macho_image* image, crsh_objc_cache* cache, crsh_vm_address_t pc,
                                   crsh_objc_method_cb callback, void* context)
{
    BestMethod best{pc, 0, false, false, callback, context};
    CRSH_TRY(crsh_objc_enumerate_methods(image, cache, keepBest, &best));
    if (!best.found)
        return CRSH_ERR_NOT_FOUND;
    return crsh_objc_enumerate_methods(image, cache, callBest, &best);
}

namespace {

struct FoundSymbol {
    bool found;
    crsh_vm_address_t address;
    char name[CRSH_SYMBOL_NAME_MAX_CHARACTERS + 1];
};

// Appends text to name at *at, up to the name's limit.
void append(FoundSymbol* symbol, std::size_t* at, const char* text, std::size_t length)
{
    for (std::size_t i = 0; i < length && *at < CRSH_SYMBOL_NAME_MAX_CHARACTERS; ++i)
        symbol->name[(*at)++] = text[i];
    symbol->name[*at] = '\0';
}

std::size_t textLength(const char* text)
{
    std::size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

void recordTableSymbol(crsh_vm_address_t address, const char* name, void* context)
{
    auto* symbol = static_cast<FoundSymbol*>(context);
    if (symbol->found && address < symbol->address)
        return;
    std::size_t at = 0;
    append(symbol, &at, name, textLength(name));
    symbol->address = address;
    symbol->found = true;
}

void recordMethod(bool isClassMethod, crsh_objc_string* className, crsh_objc_string* methodName,
                  crsh_vm_address_t imp, void* context)
{
    auto* symbol = static_cast<FoundSymbol*>(context);
    if (symbol->found && symbol->address > imp)
        return;
    const char* classText = nullptr;
    const char* methodText = nullptr;
    std::size_t classLength = 0, methodLength = 0;
    if (crsh_objc_string_length(className, &classLength) != CRSH_ERR_NONE ||
        crsh_objc_string_pointer(className, &classText) != CRSH_ERR_NONE ||
        crsh_objc_string_length(methodName, &methodLength) != CRSH_ERR_NONE ||
        crsh_objc_string_pointer(methodName, &methodText) != CRSH_ERR_NONE)
        return;
    std::size_t at = 0;
    append(symbol, &at, isClassMethod ? "+[" : "-[", 2);
    append(symbol, &at, classText, classLength);
    append(symbol, &at, " ", 1);
    append(symbol, &at, methodText, methodLength);
    append(symbol, &at, "]", 1);
    symbol->address = imp;
    symbol->found = true;
}

} // namespace

crsh_error_t crsh_find_symbol(const crsh_macho_image* image, std::uint32_t strategy, crsh_objc_cache* cache,
                              crsh_vm_address_t pc, crsh_symbol_cb callback, void* context)
{
    FoundSymbol symbol{};
    crsh_error_t tableError = CRSH_ERR_NOT_FOUND;
    bool anySucceeded = false;
    if ((strategy & CRSH_SYMBOL_STRATEGY_SYMBOL_TABLE) != 0) {
        // An object of this machine's own format has its own symbol tables.
        tableError = image->elf.present ? crsh_elf_find_symbol_by_pc(&image->elf, pc, CRSH_SYMBOL_NAME_MAX_CHARACTERS,
                                                                     recordTableSymbol, &symbol)
                                        : crsh_macho_find_symbol_by_pc(image, pc, recordTableSymbol, &symbol);
        anySucceeded = tableError == CRSH_ERR_NONE;
    }
    if ((strategy & CRSH_SYMBOL_STRATEGY_OBJC) != 0)
        anySucceeded |= crsh_objc_find_method(image, cache, pc, recordMethod, &symbol) == CRSH_ERR_NONE;
    if (!anySucceeded)
        return tableError;
    if (!symbol.found)
        return CRSH_ERR_INTERNAL;
    callback(symbol.address, symbol.name, context);
    return CRSH_ERR_NONE;
}
