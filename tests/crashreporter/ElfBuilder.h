// Small 64-bit ELF files for the symbol-table reader: a header, section headers and the sections the reader
// looks at (a symbol table, its strings, a build-id note, a dynamic symbol table), each of which a test may
// leave out or spoil.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace crashtest {

struct ElfSymbol {
    std::string name;
    std::uint64_t value;
    std::uint64_t size;
    unsigned char type = STT_FUNC;
    std::uint16_t section = 1; // defined (any index but SHN_UNDEF)
};

class ElfBuilder {
public:
    std::vector<ElfSymbol> symbols;          // the symbol table (.symtab)
    std::vector<ElfSymbol> dynamicSymbols;   // the dynamic one (.dynsym)
    bool withSymbolTable = true;
    std::vector<std::uint8_t> buildId;       // none: no note
    // Spoilers.
    bool stringsWithoutFinalZero = false;    // the string table's last name runs to its end
    std::uint16_t sectionHeaderSize = sizeof(Elf64_Shdr);
    std::uint64_t symbolEntrySize = sizeof(Elf64_Sym);

    std::vector<std::uint8_t> build() const
    {
        std::vector<std::uint8_t> file(sizeof(Elf64_Ehdr), 0);
        std::vector<Elf64_Shdr> sections(1); // the null section
        auto addSection = [&](std::uint32_t type, const std::vector<std::uint8_t>& bytes, std::uint32_t link,
                              std::uint64_t entrySize) {
            while (file.size() % 8 != 0)
                file.push_back(0);
            Elf64_Shdr header{};
            header.sh_type = type;
            header.sh_offset = file.size();
            header.sh_size = bytes.size();
            header.sh_link = link;
            header.sh_entsize = entrySize;
            file.insert(file.end(), bytes.begin(), bytes.end());
            sections.push_back(header);
            return static_cast<std::uint32_t>(sections.size() - 1);
        };
        auto addTable = [&](std::uint32_t type, const std::vector<ElfSymbol>& table) {
            std::vector<std::uint8_t> strings{0};
            std::vector<std::uint8_t> entries(sizeof(Elf64_Sym), 0); // entry 0 is the null symbol
            for (const ElfSymbol& symbol : table) {
                Elf64_Sym entry{};
                entry.st_name = static_cast<std::uint32_t>(strings.size());
                entry.st_info = ELF64_ST_INFO(STB_GLOBAL, symbol.type);
                entry.st_shndx = symbol.section;
                entry.st_value = symbol.value;
                entry.st_size = symbol.size;
                strings.insert(strings.end(), symbol.name.begin(), symbol.name.end());
                strings.push_back(0);
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(&entry);
                entries.insert(entries.end(), bytes, bytes + sizeof entry);
            }
            if (stringsWithoutFinalZero)
                strings.pop_back();
            const std::uint32_t stringIndex = addSection(SHT_STRTAB, strings, 0, 0);
            addSection(type, entries, stringIndex, symbolEntrySize);
        };
        if (withSymbolTable)
            addTable(SHT_SYMTAB, symbols);
        if (!dynamicSymbols.empty())
            addTable(SHT_DYNSYM, dynamicSymbols);
        if (!buildId.empty()) {
            std::vector<std::uint8_t> note(sizeof(Elf64_Nhdr), 0);
            Elf64_Nhdr header{4, static_cast<Elf64_Word>(buildId.size()), NT_GNU_BUILD_ID};
            std::memcpy(note.data(), &header, sizeof header);
            note.insert(note.end(), {'G', 'N', 'U', 0});
            note.insert(note.end(), buildId.begin(), buildId.end());
            while (note.size() % 4 != 0)
                note.push_back(0);
            addSection(SHT_NOTE, note, 0, 0);
        }
        while (file.size() % 8 != 0)
            file.push_back(0);

        Elf64_Ehdr header{};
        std::memcpy(header.e_ident, ELFMAG, SELFMAG);
        header.e_ident[EI_CLASS] = ELFCLASS64;
        header.e_ident[EI_DATA] = ELFDATA2LSB;
        header.e_ident[EI_VERSION] = EV_CURRENT;
        header.e_type = ET_DYN;
        header.e_machine = EM_X86_64;
        header.e_version = EV_CURRENT;
        header.e_ehsize = sizeof(Elf64_Ehdr);
        header.e_shoff = file.size();
        header.e_shentsize = sectionHeaderSize;
        header.e_shnum = static_cast<std::uint16_t>(sections.size());
        std::memcpy(file.data(), &header, sizeof header);
        for (const Elf64_Shdr& section : sections) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&section);
            file.insert(file.end(), bytes, bytes + sizeof section);
        }
        return file;
    }

    void writeTo(const std::string& path) const
    {
        const std::vector<std::uint8_t> bytes = build();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
    }
};

} // namespace crashtest
