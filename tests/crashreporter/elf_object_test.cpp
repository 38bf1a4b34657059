// This machine's objects: the symbol table read from an object's file (which function holds a pc, under
// which name), the files that give no symbols, and the call-frame search table (.eh_frame_hdr).
#include "crashreporter/crsh_dwarf_encoding.h"
#include "crashreporter/crsh_elf.h"
#include "crashreporter/crsh_image_list.h"

#include "ElfBuilder.h"
#include "TestMemory.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using crashtest::ElfBuilder;
using crashtest::ElfSymbol;

constexpr std::uint64_t kBias = 0x7f1200000000;

struct Found {
    crsh_vm_address_t address = 0;
    std::string name;
};

void keep(crsh_vm_address_t address, const char* name, void* context)
{
    auto* found = static_cast<std::optional<Found>*>(context);
    EXPECT_FALSE(found->has_value()) << "called twice";
    *found = Found{address, name};
}

class ElfSymbols : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return m_home.root() + "/" + name; }

    // The record of an object loaded at kBias from the file at path.
    crsh_elf_object& load(const std::string& file, const std::uint8_t* buildId = nullptr)
    {
        crsh_elf_object_source source{};
        source.load_bias = kBias;
        source.path = file.c_str();
        source.build_id = buildId;
        crsh_elf_object_init(&m_object, source);
        m_loaded = true;
        return m_object;
    }
    crsh_elf_object& load(const ElfBuilder& builder, const std::uint8_t* buildId = nullptr)
    {
        builder.writeTo(path("object"));
        return load(path("object"), buildId);
    }

    void TearDown() override
    {
        if (m_loaded)
            crsh_elf_object_free(&m_object);
    }

    static std::optional<Found> find(const crsh_elf_object& object, std::uint64_t offset, crsh_error_t expected,
                                     std::size_t maxCharacters = 255)
    {
        std::optional<Found> found;
        EXPECT_EQ(crsh_elf_find_symbol_by_pc(&object, kBias + offset, maxCharacters, keep, &found), expected)
            << std::hex << offset;
        return found;
    }

    hybtest::TempHome m_home;
    crsh_elf_object m_object{};
    bool m_loaded = false;
};

TEST_F(ElfSymbols, TheFunctionHoldingThePcNamesItWithTheCSymbolPrefix)
{
    ElfBuilder builder;
    builder.symbols = {{"first", 0x1000, 0x100},
                       {"second", 0x1100, 0x80},
                       {"table", 0x1040, 0x400, STT_OBJECT},        // data is never a function
                       {"imported", 0x1180, 0x10, STT_FUNC, SHN_UNDEF}, // nor is an undefined symbol
                       {"unsized", 0x2000, 0}};                      // reaches to whatever follows
    crsh_elf_object& object = load(builder);
    ASSERT_NE(object.symtab, 0u);
    EXPECT_EQ(object.symbol_count, 6u);

    for (std::uint64_t offset : {0x1000, 0x1050, 0x10FF}) {
        std::optional<Found> found = find(object, offset, CRSH_ERR_NONE);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->name, "_first");
        EXPECT_EQ(found->address, kBias + 0x1000);
    }
    std::optional<Found> second = find(object, 0x1100, CRSH_ERR_NONE);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->name, "_second");
    EXPECT_EQ(find(object, 0x2FFF, CRSH_ERR_NONE)->name, "_unsized");

    // Below every function, past the end of a sized one, below the object.
    find(object, 0xFFF, CRSH_ERR_NOT_FOUND);
    find(object, 0x1180, CRSH_ERR_NOT_FOUND);
    std::optional<Found> none;
    EXPECT_EQ(crsh_elf_find_symbol_by_pc(&object, 0x1000, 255, keep, &none), CRSH_ERR_NOT_FOUND);
}

TEST_F(ElfSymbols, OnEqualStartsTheFirstInTheTableIsNamed)
{
    ElfBuilder builder;
    builder.symbols = {{"alias_one", 0x3000, 0x20}, {"alias_two", 0x3000, 0x20}, {"inner", 0x2000, 0x2000}};
    crsh_elf_object& object = load(builder);
    EXPECT_EQ(find(object, 0x3010, CRSH_ERR_NONE)->name, "_alias_one");
    // Of two functions holding the pc, the one starting last.
    EXPECT_EQ(find(object, 0x3000, CRSH_ERR_NONE)->name, "_alias_one");
    EXPECT_EQ(find(object, 0x2100, CRSH_ERR_NONE)->name, "_inner");
}

TEST_F(ElfSymbols, NamesAreCutAndMustEndInsideTheStringTable)
{
    ElfBuilder builder;
    builder.symbols = {{std::string(300, 'n'), 0x1000, 0x10}, {"short", 0x2000, 0x10}};
    crsh_elf_object& object = load(builder);
    std::optional<Found> cut = find(object, 0x1000, CRSH_ERR_NONE);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->name, "_" + std::string(254, 'n'));
    EXPECT_EQ(find(object, 0x1000, CRSH_ERR_NONE, 10)->name, "_nnnnnnnnn");
    EXPECT_EQ(find(object, 0x2000, CRSH_ERR_NONE, 6)->name, "_short");
    EXPECT_EQ(find(object, 0x2000, CRSH_ERR_NONE, 5)->name, "_shor");
    crsh_elf_object_free(&m_object);

    // The last name runs to the end of its table without a zero.
    builder.stringsWithoutFinalZero = true;
    crsh_elf_object& unterminated = load(builder);
    find(unterminated, 0x2000, CRSH_ERR_INVALID_DATA);
    EXPECT_EQ(find(unterminated, 0x1000, CRSH_ERR_NONE)->name.size(), 255u);
}

TEST_F(ElfSymbols, TheDynamicTableServesWhenTheFileHasNoSymbolTable)
{
    ElfBuilder builder;
    builder.symbols = {{"local_name", 0x1000, 0x10}};
    builder.dynamicSymbols = {{"exported_name", 0x1000, 0x10}};
    EXPECT_EQ(find(load(builder), 0x1000, CRSH_ERR_NONE)->name, "_local_name");
    crsh_elf_object_free(&m_object);
    builder.withSymbolTable = false;
    EXPECT_EQ(find(load(builder), 0x1000, CRSH_ERR_NONE)->name, "_exported_name");
}

TEST_F(ElfSymbols, AFileWithAnotherBuildIdThanTheLoadedObjectNamesNothing)
{
    ElfBuilder builder;
    builder.symbols = {{"function", 0x1000, 0x10}};
    builder.buildId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    const std::uint8_t same[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const std::uint8_t other[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 99};
    EXPECT_NE(load(builder, same).symtab, 0u);
    crsh_elf_object_free(&m_object);
    EXPECT_EQ(load(builder, other).symtab, 0u);
    find(m_object, 0x1000, CRSH_ERR_NOT_FOUND);
    crsh_elf_object_free(&m_object);
    EXPECT_NE(load(builder, nullptr).symtab, 0u); // a loaded object without one takes the file as it is
    crsh_elf_object_free(&m_object);
    builder.buildId.clear();
    EXPECT_EQ(load(builder, same).symtab, 0u); // a file without one is not the same object
}

TEST_F(ElfSymbols, FilesThatAreNotUsableObjectsGiveNoSymbols)
{
    ElfBuilder good;
    good.symbols = {{"function", 0x1000, 0x10}};
    const std::vector<std::uint8_t> bytes = good.build();
    auto expectNone = [&](const std::string& file) {
        crsh_elf_object& object = load(file);
        EXPECT_TRUE(object.present) << file;
        EXPECT_EQ(object.symtab, 0u) << file;
        EXPECT_EQ(object.mappings[0], nullptr) << file;
        crsh_elf_object_free(&m_object);
    };
    expectNone(path("absent"));
    expectNone(m_home.root()); // a folder
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0644), 0);
    expectNone(path("pipe")); // not opened for ever
    std::ofstream(path("text")) << "not an object at all, but long enough to hold a header: ..............";
    expectNone(path("text"));
    // Section headers past the end of the file.
    std::ofstream(path("cut"), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 200);
    expectNone(path("cut"));
    ElfBuilder wrongHeaders = good;
    wrongHeaders.sectionHeaderSize = 40;
    wrongHeaders.writeTo(path("headers"));
    expectNone(path("headers"));
    ElfBuilder wrongEntries = good;
    wrongEntries.symbolEntrySize = 16;
    wrongEntries.writeTo(path("entries"));
    expectNone(path("entries"));
    ElfBuilder noTables = good;
    noTables.withSymbolTable = false;
    noTables.writeTo(path("tables"));
    expectNone(path("tables"));

    // A record without a file still is one.
    crsh_elf_object_source source{};
    source.load_bias = kBias;
    crsh_elf_object_init(&m_object, source);
    m_loaded = true;
    find(m_object, 0x1000, CRSH_ERR_NOT_FOUND);
}

TEST_F(ElfSymbols, ThisProgramsOwnFunctionsAreNamed)
{
    crsh_image_list list{};
    ASSERT_EQ(crsh_image_list_init(&list, getpid()), CRSH_ERR_NONE);
    ASSERT_EQ(crsh_image_list_append_loaded_objects(&list), CRSH_ERR_NONE);
    const auto function = reinterpret_cast<crsh_vm_address_t>(&keep);
    crsh_image_list_set_reading(&list, true);
    const crsh_macho_image* image = crsh_image_list_find(&list, function + 4);
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(image->elf.present);
    EXPECT_NE(image->elf.eh_frame_hdr, 0u);
    std::optional<Found> found;
    EXPECT_EQ(crsh_elf_find_symbol_by_pc(&image->elf, function + 4, 255, ::keep, &found), CRSH_ERR_NONE);
    crsh_image_list_set_reading(&list, false);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->address, function);
    EXPECT_EQ(found->name.rfind("__ZN12_GLOBAL__N_14keep", 0), 0u) << found->name; // "_" and the mangled name
    crsh_image_list_free(&list);
}

// ---- The call-frame search table ----

// A search table in memory: version 1, a frame pointer relative to itself, a 4-byte count, and sorted
// entries (initial location, FDE) relative to the table's start.
struct SearchTable {
    std::uint8_t version = 1;
    std::uint8_t countEncoding = 0x03;
    std::uint8_t tableEncoding = 0x3B;
    std::uint32_t count = 0;
    std::vector<std::pair<std::int32_t, std::int32_t>> entries;

    std::vector<std::uint8_t> bytes() const
    {
        std::vector<std::uint8_t> out{version, 0x1B, countEncoding, tableEncoding, 0, 0, 0, 0};
        const auto* countBytes = reinterpret_cast<const std::uint8_t*>(&count);
        out.insert(out.end(), countBytes, countBytes + 4);
        for (const auto& [initial, fde] : entries) {
            const auto* a = reinterpret_cast<const std::uint8_t*>(&initial);
            const auto* b = reinterpret_cast<const std::uint8_t*>(&fde);
            out.insert(out.end(), a, a + 4);
            out.insert(out.end(), b, b + 4);
        }
        return out;
    }
};

class SearchTableLookup : public ::testing::Test {
protected:
    // The FDE address the table gives for table + offset, or the error.
    crsh_error_t lookUp(const SearchTable& table, std::int64_t offset, crsh_vm_address_t* fde,
                        std::optional<std::size_t> size = std::nullopt)
    {
        const std::vector<std::uint8_t> bytes = table.bytes();
        m_placed = std::make_unique<crashtest::PlacedBytes>(bytes, true);
        crsh_elf_object object{};
        object.present = true;
        object.eh_frame_hdr = m_placed->address();
        object.eh_frame_hdr_size = size.value_or(bytes.size());
        return crsh_elf_find_fde(getpid(), &object, m_placed->address() + static_cast<std::uint64_t>(offset), fde);
    }
    std::uint64_t start() const { return m_placed->address(); }

    std::unique_ptr<crashtest::PlacedBytes> m_placed;
};

TEST_F(SearchTableLookup, TheEntryStartingLastAtOrBelowTheAddressGivesTheFDE)
{
    SearchTable table;
    table.count = 3;
    table.entries = {{0x100, 0x1000}, {0x200, 0x2000}, {0x300, -0x40}};
    crsh_vm_address_t fde = 0;
    EXPECT_EQ(lookUp(table, 0xFF, &fde), CRSH_ERR_NOT_FOUND);
    ASSERT_EQ(lookUp(table, 0x100, &fde), CRSH_ERR_NONE);
    EXPECT_EQ(fde, start() + 0x1000);
    ASSERT_EQ(lookUp(table, 0x2FF, &fde), CRSH_ERR_NONE);
    EXPECT_EQ(fde, start() + 0x2000);
    ASSERT_EQ(lookUp(table, 0x100000, &fde), CRSH_ERR_NONE); // the caller checks that the FDE covers it
    EXPECT_EQ(fde, start() - 0x40);
}

TEST_F(SearchTableLookup, TablesItCannotSearchAreRefused)
{
    SearchTable table;
    table.count = 1;
    table.entries = {{0x100, 0x1000}};
    crsh_vm_address_t fde = 0;
    SearchTable other = table;
    other.version = 2;
    EXPECT_EQ(lookUp(other, 0x100, &fde), CRSH_ERR_NOT_SUPPORTED);
    other = table;
    other.tableEncoding = 0x03; // not the binary-search form
    EXPECT_EQ(lookUp(other, 0x100, &fde), CRSH_ERR_NOT_SUPPORTED);
    other = table;
    other.countEncoding = 0xFF; // no count
    EXPECT_EQ(lookUp(other, 0x100, &fde), CRSH_ERR_NOT_SUPPORTED);
    other = table;
    other.countEncoding = 0x01; // a LEB128 count
    EXPECT_EQ(lookUp(other, 0x100, &fde), CRSH_ERR_NOT_SUPPORTED);
    other = table;
    other.count = 0;
    EXPECT_EQ(lookUp(other, 0x100, &fde), CRSH_ERR_NOT_FOUND);
    // A count that reaches past the table's segment, even by one entry.
    other = table;
    other.count = 2;
    EXPECT_EQ(lookUp(other, 0x100, &fde), CRSH_ERR_INVALID_DATA);
    other.count = 0xFFFFFFFF;
    EXPECT_EQ(lookUp(other, 0x100, &fde), CRSH_ERR_INVALID_DATA);
    EXPECT_EQ(lookUp(table, 0x100, &fde, 3), CRSH_ERR_NOT_FOUND); // shorter than its header
    EXPECT_EQ(lookUp(table, 0x100, &fde, 8), CRSH_ERR_NOT_SUPPORTED); // the count is cut off

    crsh_elf_object none{};
    none.present = true;
    EXPECT_EQ(crsh_elf_find_fde(getpid(), &none, 0x1000, &fde), CRSH_ERR_NOT_FOUND);
}

int findOwnTable(dl_phdr_info* info, std::size_t, void* context)
{
    auto* table = static_cast<std::pair<crsh_vm_address_t, crsh_vm_size_t>*>(context);
    const auto self = reinterpret_cast<crsh_vm_address_t>(&findOwnTable);
    bool mine = false;
    std::pair<crsh_vm_address_t, crsh_vm_size_t> found{0, 0};
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD && self >= info->dlpi_addr + header.p_vaddr &&
            self < info->dlpi_addr + header.p_vaddr + header.p_memsz)
            mine = true;
        if (header.p_type == PT_GNU_EH_FRAME)
            found = {info->dlpi_addr + header.p_vaddr, header.p_memsz};
    }
    if (mine)
        *table = found;
    return mine ? 1 : 0;
}

TEST_F(SearchTableLookup, ThisProgramsTableLeadsToTheFDEOfItsFunctions)
{
    std::pair<crsh_vm_address_t, crsh_vm_size_t> table{0, 0};
    dl_iterate_phdr(findOwnTable, &table);
    ASSERT_NE(table.first, 0u);
    crsh_elf_object object{};
    object.present = true;
    object.eh_frame_hdr = table.first;
    object.eh_frame_hdr_size = table.second;
    const auto function = reinterpret_cast<crsh_vm_address_t>(&findOwnTable) + 1;
    crsh_vm_address_t fdeAddress = 0;
    ASSERT_EQ(crsh_elf_find_fde(getpid(), &object, function, &fdeAddress), CRSH_ERR_NONE);

    // The FDE, parsed with its CIE (each read on its own, as the frame reader does), covers the function.
    auto entryObject = [](crsh_vm_address_t address, crsh_async_mobject* object) {
        std::uint32_t length = 0;
        std::memcpy(&length, reinterpret_cast<const void*>(address), sizeof length);
        ASSERT_NE(length, 0xFFFFFFFFu);
        ASSERT_EQ(crsh_async_mobject_init(object, getpid(), address, 4 + length, true), CRSH_ERR_NONE);
    };
    std::int32_t distance = 0;
    std::memcpy(&distance, reinterpret_cast<const void*>(fdeAddress + 4), sizeof distance);
    crsh_async_mobject fdeObject, cieObject;
    entryObject(fdeAddress, &fdeObject);
    entryObject(fdeAddress + 4 - static_cast<std::uint32_t>(distance), &cieObject);
    crsh_dwarf_fde_info fde;
    EXPECT_EQ(crsh_dwarf_parse_fde_with_cie<std::uint64_t>(&fde, &fdeObject, &cieObject, &crsh_async_byteorder_direct,
                                                           fdeAddress),
              CRSH_ERR_NONE);
    EXPECT_LE(fde.pc_start, function);
    EXPECT_GT(fde.pc_end, function);
    EXPECT_EQ(fde.cie_offset, 0u); // from the CIE's own object
    crsh_async_mobject_free(&fdeObject);
    crsh_async_mobject_free(&cieObject);
}

} // namespace
