#include "crashreporter/crsh_elf.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kBuildIdNote = 3; // NT_GNU_BUILD_ID
constexpr std::size_t kBuildIdBytes = 16;
// A note section larger than this is not searched for the build-id.
constexpr std::uint64_t kMaxNoteSectionBytes = 64 * 1024;
// The most section headers read from a file (the format's own limit without the extended count).
constexpr std::uint64_t kMaxSections = 65535;

// Closes the descriptor when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool readAt(int fd, void* destination, std::size_t length, std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < length) {
        ssize_t count = pread(fd, static_cast<char*>(destination) + done, length - done,
                              static_cast<off_t>(offset + done));
        if (count <= 0)
            return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

// offset + size <= fileSize, without overflow.
bool insideFile(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize)
{
    return offset <= fileSize && size <= fileSize - offset;
}

// The first 16 bytes (zero-padded) of the file's GNU build-id; false when it has none.
bool fileBuildId(int fd, const std::vector<Elf64_Shdr>& sections, std::uint64_t fileSize,
                 std::uint8_t (&buildId)[kBuildIdBytes])
{
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type != SHT_NOTE || section.sh_size > kMaxNoteSectionBytes ||
            !insideFile(section.sh_offset, section.sh_size, fileSize))
            continue;
        std::vector<std::uint8_t> notes(section.sh_size);
        if (!readAt(fd, notes.data(), notes.size(), section.sh_offset))
            continue;
        std::size_t at = 0;
        while (notes.size() - at >= sizeof(Elf64_Nhdr)) {
            Elf64_Nhdr note;
            std::memcpy(&note, notes.data() + at, sizeof note);
            const std::size_t body = at + sizeof note;
            const std::size_t nameBytes = (std::size_t{note.n_namesz} + 3) & ~std::size_t{3};
            const std::size_t descBytes = (std::size_t{note.n_descsz} + 3) & ~std::size_t{3};
            if (nameBytes > notes.size() - body || descBytes > notes.size() - body - nameBytes)
                break;
            if (note.n_type == kBuildIdNote && note.n_namesz == 4 && std::memcmp(notes.data() + body, "GNU", 4) == 0) {
                std::memset(buildId, 0, kBuildIdBytes);
                std::memcpy(buildId, notes.data() + body + nameBytes,
                            note.n_descsz < kBuildIdBytes ? note.n_descsz : kBuildIdBytes);
                return true;
            }
            at = body + nameBytes + descBytes;
        }
    }
    return false;
}

// Maps [offset, offset + size) of the file read-only; the local address of offset, or none.
const void* mapRange(crsh_elf_object* object, int slot, int fd, std::uint64_t offset, std::uint64_t size)
{
    const std::uint64_t page = crsh_async_page_size();
    const std::uint64_t start = offset & ~(page - 1);
    const std::size_t length = static_cast<std::size_t>(size + (offset - start));
    void* mapping = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(start));
    if (mapping == MAP_FAILED)
        return nullptr;
    object->mappings[slot] = mapping;
    object->mapping_lengths[slot] = length;
    return static_cast<const char*>(mapping) + (offset - start);
}

void mapSymbols(crsh_elf_object* object, const crsh_elf_object_source& source)
{
    FileDescriptor file(open(source.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return;
    const auto fileSize = static_cast<std::uint64_t>(status.st_size);

    Elf64_Ehdr header;
    if (!readAt(file.get(), &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shoff == 0)
        return;
    std::uint64_t count = header.e_shnum;
    if (count == 0) { // the extended count: section 0's size
        Elf64_Shdr first;
        if (!insideFile(header.e_shoff, sizeof first, fileSize) ||
            !readAt(file.get(), &first, sizeof first, header.e_shoff))
            return;
        count = first.sh_size;
    }
    if (count == 0 || count > kMaxSections || !insideFile(header.e_shoff, count * sizeof(Elf64_Shdr), fileSize))
        return;
    std::vector<Elf64_Shdr> sections(count);
    if (!readAt(file.get(), sections.data(), count * sizeof(Elf64_Shdr), header.e_shoff))
        return;

    if (source.build_id != nullptr) {
        std::uint8_t buildId[kBuildIdBytes];
        if (!fileBuildId(file.get(), sections, fileSize, buildId) ||
            std::memcmp(buildId, source.build_id, kBuildIdBytes) != 0)
            return; // another file than the one loaded
    }

    const Elf64_Shdr* table = nullptr;
    for (std::uint32_t wanted : {SHT_SYMTAB, SHT_DYNSYM}) {
        for (const Elf64_Shdr& section : sections) {
            if (section.sh_type == wanted) {
                table = &section;
                break;
            }
        }
        if (table != nullptr)
            break;
    }
    if (table == nullptr || table->sh_entsize != sizeof(Elf64_Sym) || table->sh_size < sizeof(Elf64_Sym) ||
        table->sh_size % sizeof(Elf64_Sym) != 0 || table->sh_size > CRSH_ELF_MAX_TABLE_BYTES ||
        !insideFile(table->sh_offset, table->sh_size, fileSize) || table->sh_link >= count)
        return;
    const Elf64_Shdr& strings = sections[table->sh_link];
    if (strings.sh_type != SHT_STRTAB || strings.sh_size == 0 || strings.sh_size > CRSH_ELF_MAX_TABLE_BYTES ||
        !insideFile(strings.sh_offset, strings.sh_size, fileSize))
        return;

    const void* symbols = mapRange(object, 0, file.get(), table->sh_offset, table->sh_size);
    const void* names = symbols != nullptr ? mapRange(object, 1, file.get(), strings.sh_offset, strings.sh_size) : nullptr;
    if (names == nullptr) {
        crsh_elf_object_free(object);
        object->present = true;
        return;
    }
    object->symtab = reinterpret_cast<crsh_vm_address_t>(symbols);
    object->symbol_count = table->sh_size / sizeof(Elf64_Sym);
    object->strtab = reinterpret_cast<crsh_vm_address_t>(names);
    object->strtab_size = strings.sh_size;
}

} // namespace

void crsh_elf_object_init(crsh_elf_object* object, const crsh_elf_object_source& source)
{
    *object = {};
    object->present = true;
    object->load_bias = source.load_bias;
    if (source.eh_frame_hdr != 0) {
        object->eh_frame_hdr = source.eh_frame_hdr;
        object->eh_frame_hdr_size = source.eh_frame_hdr_size;
    }
    object->symbols_task = crsh_async_task_self();
    if (source.path != nullptr && source.path[0] != '\0')
        mapSymbols(object, source);
}

void crsh_elf_object_free(crsh_elf_object* object)
{
    for (int slot = 0; slot < 2; ++slot) {
        if (object->mappings[slot] != nullptr)
            munmap(object->mappings[slot], object->mapping_lengths[slot]);
        object->mappings[slot] = nullptr;
        object->mapping_lengths[slot] = 0;
    }
    object->symtab = 0;
    object->symbol_count = 0;
    object->strtab = 0;
    object->strtab_size = 0;
}

// ---- Crash time: checked task reads only. ----

namespace {

// DWARF pointer encodings of the search table's header.
constexpr std::uint8_t kOmit = 0xFF;
constexpr std::uint8_t kDataRelativeSigned4 = 0x3B; // data-relative, signed 4 bytes: the table's entries

// A pointer of the header at buffer[*at] in the given encoding: absolute, relative to itself or to the
// table (data-relative), in a fixed-size format. False for anything else or past the buffer.
bool readHeaderPointer(const std::uint8_t* buffer, std::size_t length, std::size_t* at, std::uint8_t encoding,
                       crsh_vm_address_t table, crsh_vm_address_t* value)
{
    std::size_t size;
    bool isSigned = false;
    switch (encoding & 0x0F) {
    case 0x00: size = 8; break; // pointer-sized
    case 0x02: size = 2; break;
    case 0x03: size = 4; break;
    case 0x04: size = 8; break;
    case 0x0A: size = 2; isSigned = true; break;
    case 0x0B: size = 4; isSigned = true; break;
    case 0x0C: size = 8; isSigned = true; break;
    default: return false;
    }
    if (size > length - *at)
        return false;
    std::uint64_t raw = 0;
    crsh_async_memcpy(&raw, buffer + *at, size);
    if (isSigned && size < 8) {
        const unsigned unused = static_cast<unsigned>(64 - size * 8);
        raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw << unused) >> unused);
    }
    std::uint64_t base;
    switch (encoding & 0x70) {
    case 0x00: base = 0; break;
    case 0x10: base = table + *at; break;
    case 0x30: base = table; break;
    default: return false;
    }
    *value = base + raw;
    *at += size;
    return true;
}

struct TableEntry {
    std::int32_t initial;
    std::int32_t fde;
};

} // namespace

crsh_error_t crsh_elf_find_fde(crsh_task_t task, const crsh_elf_object* object, crsh_vm_address_t pc,
                               crsh_vm_address_t* fde)
{
    const crsh_vm_address_t table = object->eh_frame_hdr;
    if (!object->present || table == 0 || object->eh_frame_hdr_size < 4)
        return CRSH_ERR_NOT_FOUND;
    // version, eh_frame_ptr encoding, fde_count encoding, table encoding; then eh_frame_ptr and fde_count.
    std::uint8_t header[4 + 8 + 8];
    const std::size_t headerLength =
        object->eh_frame_hdr_size < sizeof header ? static_cast<std::size_t>(object->eh_frame_hdr_size) : sizeof header;
    CRSH_TRY(crsh_async_task_memcpy(task, table, 0, header, headerLength));
    if (header[0] != 1 || header[2] == kOmit || header[3] != kDataRelativeSigned4)
        return CRSH_ERR_NOT_SUPPORTED;
    std::size_t at = 4;
    crsh_vm_address_t ignored;
    crsh_vm_address_t count;
    if (!readHeaderPointer(header, headerLength, &at, header[1], table, &ignored) ||
        !readHeaderPointer(header, headerLength, &at, header[2], table, &count))
        return CRSH_ERR_NOT_SUPPORTED;
    if (count == 0)
        return CRSH_ERR_NOT_FOUND;
    if (count > (object->eh_frame_hdr_size - at) / sizeof(TableEntry))
        return CRSH_ERR_INVALID_DATA;

    // The entries are sorted by initial location: the last one at or below pc.
    const crsh_vm_address_t entries = table + at;
    std::uint64_t low = 0;
    std::uint64_t high = count;
    while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        TableEntry entry;
        CRSH_TRY(crsh_async_task_memcpy(task, entries, static_cast<crsh_vm_off_t>(middle * sizeof entry), &entry,
                                        sizeof entry));
        if (table + static_cast<std::uint64_t>(static_cast<std::int64_t>(entry.initial)) <= pc)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == 0)
        return CRSH_ERR_NOT_FOUND;
    TableEntry entry;
    CRSH_TRY(crsh_async_task_memcpy(task, entries, static_cast<crsh_vm_off_t>((low - 1) * sizeof entry), &entry,
                                    sizeof entry));
    *fde = table + static_cast<std::uint64_t>(static_cast<std::int64_t>(entry.fde));
    return CRSH_ERR_NONE;
}

namespace {

constexpr std::size_t kSymbolBatch = 64;

bool isFunction(const Elf64_Sym& symbol)
{
    const unsigned type = ELF64_ST_TYPE(symbol.st_info);
    return (type == STT_FUNC || type == STT_GNU_IFUNC) && symbol.st_shndx != SHN_UNDEF;
}

} // namespace

crsh_error_t crsh_elf_find_symbol_by_pc(const crsh_elf_object* object, crsh_vm_address_t pc,
                                        std::size_t max_characters, crsh_elf_found_symbol_cb callback,
                                        void* context)
{
    if (!object->present || object->symtab == 0 || object->symbol_count == 0 || pc < object->load_bias)
        return CRSH_ERR_NOT_FOUND;
    const crsh_task_t task = object->symbols_task;
    const std::uint64_t address = pc - object->load_bias;

    bool found = false;
    Elf64_Sym best{};
    Elf64_Sym batch[kSymbolBatch];
    for (std::uint64_t first = 0; first < object->symbol_count; first += kSymbolBatch) {
        const std::uint64_t left = object->symbol_count - first;
        const std::size_t count = left < kSymbolBatch ? static_cast<std::size_t>(left) : kSymbolBatch;
        CRSH_TRY(crsh_async_task_memcpy(task, object->symtab, static_cast<crsh_vm_off_t>(first * sizeof(Elf64_Sym)),
                                        batch, count * sizeof(Elf64_Sym)));
        for (std::size_t i = 0; i < count; ++i) {
            const Elf64_Sym& symbol = batch[i];
            if (!isFunction(symbol) || symbol.st_value > address)
                continue;
            if (symbol.st_size != 0 && address - symbol.st_value >= symbol.st_size)
                continue; // the function ends before pc
            if (!found || symbol.st_value > best.st_value) {
                best = symbol;
                found = true;
            }
        }
    }
    if (!found)
        return CRSH_ERR_NOT_FOUND;
    if (best.st_name >= object->strtab_size)
        return CRSH_ERR_INVALID_DATA;

    // "_" and at most max_characters - 1 bytes of the name; the name must end inside the string table.
    constexpr std::size_t kMaxName = 255;
    char name[kMaxName + 2];
    if (max_characters > kMaxName)
        max_characters = kMaxName;
    if (max_characters == 0)
        return CRSH_ERR_INVALID_ARGUMENT;
    name[0] = '_';
    const std::uint64_t available = object->strtab_size - best.st_name;
    const std::size_t wanted = max_characters; // up to max_characters - 1 bytes, then the zero
    const std::size_t reading = available < wanted ? static_cast<std::size_t>(available) : wanted;
    CRSH_TRY(crsh_async_task_memcpy(task, object->strtab, static_cast<crsh_vm_off_t>(best.st_name), name + 1, reading));
    std::size_t length = 0;
    while (length < reading && name[1 + length] != '\0')
        ++length;
    if (length == reading) {
        // No zero in what was read: the name goes on; it must still end inside the table.
        std::uint64_t at = best.st_name + reading;
        bool ended = false;
        char rest[64];
        while (!ended && at < object->strtab_size) {
            const std::uint64_t remaining = object->strtab_size - at;
            const std::size_t chunk = remaining < sizeof rest ? static_cast<std::size_t>(remaining) : sizeof rest;
            CRSH_TRY(crsh_async_task_memcpy(task, object->strtab, static_cast<crsh_vm_off_t>(at), rest, chunk));
            for (std::size_t i = 0; i < chunk && !ended; ++i)
                ended = rest[i] == '\0';
            at += chunk;
        }
        if (!ended)
            return CRSH_ERR_INVALID_DATA;
        if (length > max_characters - 1)
            length = max_characters - 1;
    }
    name[1 + length] = '\0';
    callback(object->load_bias + best.st_value, name, context);
    return CRSH_ERR_NONE;
}
