// Hand-made Mach-O images for the image reader's tests, in either width and byte order, whose parts a
// test can then damage at known offsets.
//
// Layout (the file is also the memory image; __TEXT starts at vmaddr 0 with the header):
//   header, load commands (__TEXT with its sections, __LINKEDIT, LC_SYMTAB, optionally LC_DYSYMTAB),
//   section data from 0x800, then __LINKEDIT at 0x1000: the symbol table and the string table.
//   With sectionSegment set, the sections belong to a segment of that name spanning 0x800-0x1000
//   (inside __TEXT's range), whose command follows __TEXT's.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace crashtest {

struct BuiltSymbol {
    std::string name;
    std::uint64_t value = 0;
    std::uint8_t type = 0x0F; // N_SECT | N_EXT
    std::uint16_t desc = 0;
};

struct BuiltSection {
    std::string name; // up to 16 bytes; 16 leaves it unterminated
    std::vector<std::uint8_t> data;
};

class MachOBuilder {
public:
    static constexpr std::uint64_t kTextSize = 0x1000;
    static constexpr std::uint64_t kLinkedit = 0x1000;

    bool m64 = true;
    bool swapped = false;
    std::string textName = "__TEXT";
    std::string sectionSegment; // empty: the sections are __TEXT's
    std::vector<BuiltSection> sections;
    std::vector<BuiltSymbol> symbols;
    bool withDysymtab = false;
    std::uint32_t ilocal = 0, nlocal = 0, iextdef = 0, nextdef = 0;

    // Offsets into the built bytes, set by build().
    std::size_t textCommand = 0, sectionsCommand = 0, linkeditCommand = 0, symtabCommand = 0, dysymtabCommand = 0;
    std::size_t sizeofcmds = 0, symbolTable = 0, stringTable = 0, stringTableSize = 0;
    std::vector<std::size_t> sectionHeaders, sectionData;

    std::vector<std::uint8_t> build()
    {
        const std::size_t headerSize = m64 ? 32 : 28;
        const std::size_t segmentSize = m64 ? 72 : 56;
        const std::size_t sectionSize = m64 ? 80 : 68;
        const std::size_t entrySize = m64 ? 16 : 12;

        std::string strings(1, '\0');
        std::vector<std::uint32_t> nameIndexes;
        for (const BuiltSymbol& symbol : symbols) {
            nameIndexes.push_back(static_cast<std::uint32_t>(strings.size()));
            strings += symbol.name;
            strings += '\0';
        }
        symbolTable = kLinkedit;
        stringTable = symbolTable + symbols.size() * entrySize;
        stringTableSize = strings.size();
        const std::size_t linkeditSize = ((stringTable + stringTableSize - kLinkedit) + 15) & ~std::size_t{15};
        m_bytes.assign(kLinkedit + linkeditSize, 0);

        const bool ownSegment = !sectionSegment.empty();
        const std::string segname = ownSegment ? sectionSegment : "__TEXT";
        textCommand = headerSize;
        sectionsCommand = ownSegment ? textCommand + segmentSize : textCommand;
        linkeditCommand = sectionsCommand + segmentSize + sections.size() * sectionSize;
        symtabCommand = linkeditCommand + segmentSize;
        dysymtabCommand = symtabCommand + 24;
        sizeofcmds = dysymtabCommand + (withDysymtab ? 80 : 0) - headerSize;

        put32(0, m64 ? 0xFEEDFACF : 0xFEEDFACE);
        put32(4, m64 ? 0x0100000C : 12);
        put32(12, 6); // a dylib
        put32(16, (withDysymtab ? 4 : 3) + (ownSegment ? 1 : 0));
        put32(20, static_cast<std::uint32_t>(sizeofcmds));

        const auto nsects = static_cast<std::uint32_t>(sections.size());
        segment(textCommand, textName, 0, kTextSize, 0, ownSegment ? 0 : nsects);
        if (ownSegment)
            segment(sectionsCommand, sectionSegment, 0x800, 0x800, 0x800, nsects);
        std::size_t data = 0x800;
        sectionHeaders.clear();
        sectionData.clear();
        for (std::size_t i = 0; i < sections.size(); ++i) {
            const std::size_t header = sectionsCommand + segmentSize + i * sectionSize;
            std::memcpy(&m_bytes[header], sections[i].name.data(), std::min<std::size_t>(16, sections[i].name.size()));
            std::memcpy(&m_bytes[header + 16], segname.data(), std::min<std::size_t>(16, segname.size()));
            putWord(header + 32, data);
            putWord(header + (m64 ? 40 : 36), sections[i].data.size());
            std::memcpy(&m_bytes[data], sections[i].data.data(), sections[i].data.size());
            sectionHeaders.push_back(header);
            sectionData.push_back(data);
            data += (sections[i].data.size() + 15) & ~std::size_t{15};
        }
        segment(linkeditCommand, "__LINKEDIT", kLinkedit, linkeditSize, kLinkedit, 0);

        put32(symtabCommand, 2);
        put32(symtabCommand + 4, 24);
        put32(symtabCommand + 8, static_cast<std::uint32_t>(symbolTable));
        put32(symtabCommand + 12, static_cast<std::uint32_t>(symbols.size()));
        put32(symtabCommand + 16, static_cast<std::uint32_t>(stringTable));
        put32(symtabCommand + 20, static_cast<std::uint32_t>(stringTableSize));
        if (withDysymtab) {
            put32(dysymtabCommand, 0xB);
            put32(dysymtabCommand + 4, 80);
            put32(dysymtabCommand + 8, ilocal);
            put32(dysymtabCommand + 12, nlocal);
            put32(dysymtabCommand + 16, iextdef);
            put32(dysymtabCommand + 20, nextdef);
        }
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            const std::size_t entry = symbolTable + i * entrySize;
            put32(entry, nameIndexes[i]);
            m_bytes[entry + 4] = symbols[i].type;
            m_bytes[entry + 5] = 1;
            put16(entry + 6, symbols[i].desc);
            putWord(entry + 8, symbols[i].value);
        }
        std::memcpy(&m_bytes[stringTable], strings.data(), strings.size());
        return m_bytes;
    }

    // Patches of built bytes, in the image's byte order.
    void put16(std::size_t offset, std::uint16_t value) { put(offset, swapped ? __builtin_bswap16(value) : value); }
    void put32(std::size_t offset, std::uint32_t value) { put(offset, swapped ? __builtin_bswap32(value) : value); }
    void put64(std::size_t offset, std::uint64_t value) { put(offset, swapped ? __builtin_bswap64(value) : value); }
    void putWord(std::size_t offset, std::uint64_t value)
    {
        if (m64)
            put64(offset, value);
        else
            put32(offset, static_cast<std::uint32_t>(value));
    }
    std::vector<std::uint8_t>& bytes() { return m_bytes; }

private:
    template <typename T>
    void put(std::size_t offset, T value)
    {
        std::memcpy(&m_bytes[offset], &value, sizeof value);
    }

    void segment(std::size_t at, const std::string& name, std::uint64_t vmaddr, std::uint64_t size, std::uint64_t fileoff,
                 std::uint32_t nsects)
    {
        put32(at, m64 ? 0x19 : 0x1);
        put32(at + 4, static_cast<std::uint32_t>((m64 ? 72 : 56) + nsects * (m64 ? 80 : 68)));
        std::memcpy(&m_bytes[at + 8], name.data(), std::min<std::size_t>(16, name.size()));
        putWord(at + 24, vmaddr);
        putWord(at + (m64 ? 32 : 28), size);
        putWord(at + (m64 ? 40 : 32), fileoff);
        putWord(at + (m64 ? 48 : 36), size);
        put32(at + (m64 ? 64 : 48), nsects);
    }

    std::vector<std::uint8_t> m_bytes;
};

} // namespace crashtest
