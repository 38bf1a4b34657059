#include "crashreporter/crsh_macho.h"

#include "crashreporter/crsh_macho_fields.h"

using namespace crsh_macho_fields;

namespace {

constexpr std::uint8_t kTypeMask = 0xEE; // everything but the external and private-external bits
constexpr std::uint8_t kTypeSection = 0x0E;
constexpr std::uint16_t kArmThumbDefinition = 0x0008;

std::size_t entrySize(const crsh_macho_image* image)
{
    return image->m64 ? 16 : 12;
}

bool isDefinedInSection(const crsh_macho_symbol& symbol)
{
    return (symbol.n_type & kTypeMask) == kTypeSection;
}

// The local pointer of count entries at file offset fileOffset inside __LINKEDIT, or none.
const void* linkeditRange(const crsh_macho_symtab_reader* reader, std::uint64_t fileOffset, std::uint64_t length)
{
    if (fileOffset < reader->linkedit.fileoff)
        return nullptr;
    std::uint64_t into = fileOffset - reader->linkedit.fileoff;
    if (into > static_cast<std::uint64_t>(INT64_MAX))
        return nullptr;
    return crsh_async_mobject_remap_address(&reader->linkedit.mobj, reader->linkedit.mobj.task_address,
                                            static_cast<crsh_vm_off_t>(into), length);
}

// Entries [first, first + count) of the whole table, or none when they reach beyond it.
const void* subTable(const crsh_macho_symtab_reader* reader, std::uint32_t first, std::uint32_t count, bool* valid)
{
    if (first > reader->nsyms || count > reader->nsyms - first) {
        *valid = false;
        return nullptr;
    }
    return static_cast<const char*>(reader->symtab) + static_cast<std::size_t>(first) * entrySize(reader->image);
}

// Whether the name at string-table index strx is exactly name; compared in place, so that a table without
// terminators is not scanned to its end for every symbol.
bool hasName(const crsh_macho_symtab_reader* reader, std::uint32_t strx, const char* name)
{
    for (std::uint64_t i = strx;; ++i, ++name) {
        if (i >= reader->string_table_size || reader->string_table[i] != *name)
            return false;
        if (*name == '\0')
            return true;
    }
}

struct Best {
    bool found = false;
    crsh_macho_symbol symbol{};
};

// Keeps the defined symbol with the greatest value at or below pc; on equal values the first found.
void searchTable(const crsh_macho_symtab_reader* reader, const void* table, std::uint32_t count, std::uint64_t pc,
                 Best* best)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        crsh_macho_symbol symbol = crsh_macho_symtab_reader_read(reader, table, i);
        if (!isDefinedInSection(symbol) || symbol.n_value > pc)
            continue;
        if (!best->found || symbol.n_value > best->symbol.n_value) {
            best->found = true;
            best->symbol = symbol;
        }
    }
}

} // namespace

crsh_error_t crsh_macho_symtab_reader_init(crsh_macho_symtab_reader* reader, const crsh_macho_image* image)
{
    *reader = {};
    reader->image = image;
    const auto* symtab = crsh_macho_image_find_command(image, CRSH_LC_SYMTAB);
    if (symtab == nullptr)
        return CRSH_ERR_NOT_FOUND;
    if (load32(image, symtab, 4) < kSymtabCommandSize)
        return CRSH_ERR_INVALID_ARGUMENT;
    const auto* dysymtab = crsh_macho_image_find_command(image, CRSH_LC_DYSYMTAB);
    if (dysymtab != nullptr && load32(image, dysymtab, 4) < kDysymtabReadSize)
        return CRSH_ERR_INVALID_ARGUMENT;

    if (crsh_macho_image_map_segment(image, "__LINKEDIT", &reader->linkedit) != CRSH_ERR_NONE) {
        reader->linkedit = {};
        return CRSH_ERR_INTERNAL;
    }
    reader->nsyms = load32(image, symtab, kSymtabNSyms);
    reader->string_table_size = load32(image, symtab, kSymtabStrSize);
    reader->symtab = linkeditRange(reader, load32(image, symtab, kSymtabSymOff),
                                   static_cast<std::uint64_t>(reader->nsyms) * entrySize(image));
    reader->string_table = static_cast<const char*>(
        linkeditRange(reader, load32(image, symtab, kSymtabStrOff), reader->string_table_size));
    if (reader->symtab == nullptr || reader->string_table == nullptr) {
        crsh_macho_symtab_reader_free(reader);
        return CRSH_ERR_INTERNAL;
    }

    if (dysymtab != nullptr) {
        bool valid = true;
        reader->nsyms_global = load32(image, dysymtab, kDysymtabNExtDef);
        reader->symtab_global = subTable(reader, load32(image, dysymtab, kDysymtabIExtDef), reader->nsyms_global, &valid);
        reader->nsyms_local = load32(image, dysymtab, kDysymtabNLocal);
        reader->symtab_local = subTable(reader, load32(image, dysymtab, kDysymtabILocal), reader->nsyms_local, &valid);
        if (!valid) {
            crsh_macho_symtab_reader_free(reader);
            return CRSH_ERR_INVALID_ARGUMENT;
        }
    }
    return CRSH_ERR_NONE;
}

void crsh_macho_symtab_reader_free(crsh_macho_symtab_reader* reader)
{
    crsh_macho_segment_free(&reader->linkedit);
    reader->symtab = reader->symtab_global = reader->symtab_local = nullptr;
    reader->string_table = nullptr;
}

crsh_macho_symbol crsh_macho_symtab_reader_read(const crsh_macho_symtab_reader* reader, const void* table,
                                                std::uint32_t index)
{
    const crsh_macho_image* image = reader->image;
    const char* entry = static_cast<const char*>(table) + static_cast<std::size_t>(index) * entrySize(image);
    crsh_macho_symbol symbol{};
    symbol.n_strx = load32(image, entry, 0);
    symbol.n_type = static_cast<std::uint8_t>(entry[4]);
    symbol.n_sect = static_cast<std::uint8_t>(entry[5]);
    symbol.n_desc = image->byteorder->swap16(crsh_async_load<std::uint16_t>(entry + 6));
    symbol.n_value = image->m64 ? load64(image, entry, 8) : load32(image, entry, 8);
    symbol.normalized_value = symbol.n_value | ((symbol.n_desc & kArmThumbDefinition) != 0 ? 1 : 0);
    return symbol;
}

const char* crsh_macho_symtab_reader_symbol_name(const crsh_macho_symtab_reader* reader, std::uint32_t strx)
{
    for (std::uint32_t i = strx; i < reader->string_table_size; ++i) {
        if (reader->string_table[i] == '\0')
            return reader->string_table + strx;
    }
    return nullptr;
}

crsh_error_t crsh_macho_find_symbol_by_pc(const crsh_macho_image* image, crsh_vm_address_t pc,
                                          crsh_macho_found_symbol_cb callback, void* context)
{
    crsh_macho_symtab_reader reader;
    crsh_error_t error = crsh_macho_symtab_reader_init(&reader, image);
    if (error != CRSH_ERR_NONE)
        return error;
    const std::uint64_t target = pc - image->vmaddr_slide;
    Best best;
    if (reader.nsyms_global > 0 && reader.nsyms_local > 0) {
        searchTable(&reader, reader.symtab_global, reader.nsyms_global, target, &best);
        searchTable(&reader, reader.symtab_local, reader.nsyms_local, target, &best);
    } else {
        searchTable(&reader, reader.symtab, reader.nsyms, target, &best);
    }
    if (!best.found) {
        error = CRSH_ERR_NOT_FOUND;
    } else if (const char* name = crsh_macho_symtab_reader_symbol_name(&reader, best.symbol.n_strx)) {
        callback(image->vmaddr_slide + best.symbol.normalized_value, name, context);
    } else {
        error = CRSH_ERR_INVALID_ARGUMENT;
    }
    crsh_macho_symtab_reader_free(&reader);
    return error;
}

crsh_error_t crsh_macho_find_symbol_by_name(const crsh_macho_image* image, const char* name,
                                            crsh_vm_address_t* address)
{
    crsh_macho_symtab_reader reader;
    crsh_error_t error = crsh_macho_symtab_reader_init(&reader, image);
    if (error != CRSH_ERR_NONE)
        return error;
    error = CRSH_ERR_NOT_FOUND;
    for (std::uint32_t i = 0; i < reader.nsyms; ++i) {
        crsh_macho_symbol symbol = crsh_macho_symtab_reader_read(&reader, reader.symtab, i);
        if (isDefinedInSection(symbol) && hasName(&reader, symbol.n_strx, name)) {
            *address = image->vmaddr_slide + symbol.normalized_value;
            error = CRSH_ERR_NONE;
            break;
        }
    }
    crsh_macho_symtab_reader_free(&reader);
    return error;
}
