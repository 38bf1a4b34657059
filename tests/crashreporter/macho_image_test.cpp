#include "crashreporter/crsh_macho.h"

#include "FixtureDumps.h"
#include "MachOBuilder.h"
#include "support/MachOLoader.h"
#include "TestMemory.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using crashtest::BuiltSymbol;
using crashtest::MachOBuilder;
using crashtest::PlacedBytes;

struct FoundSymbol {
    int calls = 0;
    crsh_vm_address_t address = 0;
    std::string name;
};

void recordSymbol(crsh_vm_address_t address, const char* name, void* context)
{
    auto* found = static_cast<FoundSymbol*>(context);
    ++found->calls;
    found->address = address;
    found->name = name;
}

FoundSymbol symbolAt(const crsh_macho_image& image, crsh_vm_address_t pc, crsh_error_t expected = CRSH_ERR_NONE)
{
    FoundSymbol found;
    EXPECT_EQ(crsh_macho_find_symbol_by_pc(&image, pc, recordSymbol, &found), expected) << std::hex << pc;
    EXPECT_EQ(found.calls, expected == CRSH_ERR_NONE ? 1 : 0);
    return found;
}

// An image placed in memory, parsed, and released at the end of the test.
class PlacedImage {
public:
    explicit PlacedImage(const std::vector<std::uint8_t>& bytes) : m_placed(bytes, true) {}
    ~PlacedImage()
    {
        if (m_parsed)
            crsh_macho_image_free(&m_image);
    }
    crsh_error_t parse()
    {
        crsh_error_t error = crsh_macho_image_init(&m_image, getpid(), "placed", m_placed.address());
        m_parsed = error == CRSH_ERR_NONE;
        return error;
    }
    const crsh_macho_image& image() const { return m_image; }
    std::uint64_t address() const { return m_placed.address(); }

private:
    PlacedBytes m_placed;
    crsh_macho_image m_image{};
    bool m_parsed = false;
};

class CrashMachOFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_loader = hybtest::MachOLoader::load(crashtest::fixturePath("arm64_image.dylib"));
        ASSERT_NE(m_loader, nullptr);
        ASSERT_EQ(crsh_macho_image_init(&m_image, getpid(), "arm64_image.dylib", m_loader->headerAddress()), CRSH_ERR_NONE);
    }
    void TearDown() override { crsh_macho_image_free(&m_image); }

    std::unique_ptr<hybtest::MachOLoader> m_loader;
    crsh_macho_image m_image{};
};

TEST_F(CrashMachOFixture, ReadsTheHeaderTextSegmentAndSlide)
{
    EXPECT_TRUE(m_image.m64);
    EXPECT_EQ(m_image.byteorder, &crsh_async_byteorder_direct);
    EXPECT_EQ(crsh_macho_image_header_size(&m_image), 32u);
    EXPECT_EQ(crsh_macho_image_cpu_type(&m_image), CRSH_CPU_TYPE_ARM64);
    EXPECT_TRUE(crsh_macho_image_is_arm64(&m_image));
    EXPECT_STREQ(m_image.name, "arm64_image.dylib");
    EXPECT_EQ(m_image.text_size, crashtest::dumpedField("arm64_image", "segname", "__TEXT", "vmsize"));
    EXPECT_EQ(m_image.text_vmaddr, crashtest::dumpedField("arm64_image", "segname", "__TEXT", "vmaddr"));
    EXPECT_EQ(m_image.vmaddr_slide, m_loader->slide());
    EXPECT_EQ(m_image.header_addr, m_loader->headerAddress());

    const crsh_vm_address_t header = m_loader->headerAddress();
    EXPECT_TRUE(crsh_macho_image_contains_address(&m_image, header));
    EXPECT_TRUE(crsh_macho_image_contains_address(&m_image, header + m_image.text_size - 1));
    EXPECT_FALSE(crsh_macho_image_contains_address(&m_image, header + m_image.text_size));
    EXPECT_FALSE(crsh_macho_image_contains_address(&m_image, header - 1));
}

TEST_F(CrashMachOFixture, WalksEveryLoadCommand)
{
    std::uint32_t count = 0;
    for (const auto* command = crsh_macho_image_next_command(&m_image, nullptr); command != nullptr;
         command = crsh_macho_image_next_command(&m_image, command))
        ++count;
    EXPECT_EQ(count, m_image.ncmds);
    const auto* first = crsh_macho_image_find_command(&m_image, CRSH_LC_SEGMENT_64);
    const auto* second = crsh_macho_image_find_command_after(&m_image, first, CRSH_LC_SEGMENT_64);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(crsh_macho_image_find_segment_command(&m_image, "__TEXT"), first);
    EXPECT_EQ(crsh_macho_image_find_segment_command(&m_image, "__LINKEDIT"), second);
    EXPECT_EQ(crsh_macho_image_find_command_after(&m_image, second, CRSH_LC_SEGMENT_64), nullptr);
    EXPECT_NE(crsh_macho_image_find_command(&m_image, CRSH_LC_SYMTAB), nullptr);
    EXPECT_EQ(crsh_macho_image_find_segment_command(&m_image, "__DATA"), nullptr);
}

TEST_F(CrashMachOFixture, MapsSegmentsAndSectionsAsTheDumpPlacesThem)
{
    crsh_macho_segment linkedit;
    ASSERT_EQ(crsh_macho_image_map_segment(&m_image, "__LINKEDIT", &linkedit), CRSH_ERR_NONE);
    EXPECT_EQ(linkedit.fileoff, crashtest::dumpedField("arm64_image", "segname", "__LINKEDIT", "fileoff"));
    EXPECT_EQ(linkedit.filesize, crashtest::dumpedField("arm64_image", "segname", "__LINKEDIT", "filesize"));
    EXPECT_EQ(crsh_async_mobject_base_address(&linkedit.mobj),
              m_loader->addressOf(crashtest::dumpedField("arm64_image", "segname", "__LINKEDIT", "vmaddr")));
    crsh_macho_segment_free(&linkedit);

    for (const char* name : {"__text", "__unwind_info", "__eh_frame"}) {
        crsh_async_mobject section;
        ASSERT_EQ(crsh_macho_image_map_section(&m_image, "__TEXT", name, &section), CRSH_ERR_NONE) << name;
        EXPECT_EQ(crsh_async_mobject_base_address(&section),
                  m_loader->addressOf(crashtest::dumpedField("arm64_image", "sectname", name, "addr")));
        EXPECT_EQ(crsh_async_mobject_length(&section), crashtest::dumpedField("arm64_image", "sectname", name, "size"));
        crsh_async_mobject_free(&section);
    }
    crsh_async_mobject section;
    EXPECT_EQ(crsh_macho_image_map_section(&m_image, "__TEXT", "__const", &section), CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(crsh_macho_image_map_section(&m_image, "__DATA", "__data", &section), CRSH_ERR_NOT_FOUND);
    // __LINKEDIT has no sections.
    EXPECT_EQ(crsh_macho_image_map_section(&m_image, "__LINKEDIT", "__text", &section), CRSH_ERR_NOT_FOUND);
    crsh_macho_segment segment;
    EXPECT_EQ(crsh_macho_image_map_segment(&m_image, "__DATA", &segment), CRSH_ERR_NOT_FOUND);
}

TEST_F(CrashMachOFixture, NamesFunctionsByPcAndByName)
{
    const auto symbols = crashtest::dumpedSymbols("arm64_image");
    ASSERT_GE(symbols.size(), 6u);
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        // Of two symbols at one address, the first in the table names it.
        if (i > 0 && symbols[i - 1].value == symbols[i].value)
            continue;
        for (std::uint64_t into : {0, 2}) {
            FoundSymbol found = symbolAt(m_image, m_loader->addressOf(symbols[i].value) + into);
            EXPECT_EQ(found.name, symbols[i].name);
            EXPECT_EQ(found.address, m_loader->addressOf(symbols[i].value));
        }
        crsh_vm_address_t address = 0;
        EXPECT_EQ(crsh_macho_find_symbol_by_name(&m_image, symbols[i].name.c_str(), &address), CRSH_ERR_NONE);
        EXPECT_EQ(address, m_loader->addressOf(symbols[i].value));
    }
    EXPECT_EQ(symbolAt(m_image, m_loader->headerAddress(), CRSH_ERR_NOT_FOUND).calls, 0);
    crsh_vm_address_t address = 0;
    EXPECT_EQ(crsh_macho_find_symbol_by_name(&m_image, "_framed", &address), CRSH_ERR_NOT_FOUND);
}

TEST(CrashMachO, SymbolLookupNeedsAReadableLinkeditSegment)
{
    auto loader = hybtest::MachOLoader::load(crashtest::fixturePath("arm64_image.dylib"), {"__LINKEDIT"});
    ASSERT_NE(loader, nullptr);
    crsh_macho_image image{};
    ASSERT_EQ(crsh_macho_image_init(&image, getpid(), nullptr, loader->headerAddress()), CRSH_ERR_NONE);
    EXPECT_EQ(image.name, nullptr);
    symbolAt(image, loader->headerAddress() + 0x300, CRSH_ERR_INTERNAL);
    crsh_macho_image_free(&image);

    auto unreadable = hybtest::MachOLoader::load(crashtest::fixturePath("arm64_image.dylib"), {"__TEXT"});
    ASSERT_NE(unreadable, nullptr);
    EXPECT_EQ(crsh_macho_image_init(&image, getpid(), "x", unreadable->headerAddress()), CRSH_ERR_INTERNAL);
}

// Hand-made images: both widths and byte orders read alike.
class CrashMachOBuilt : public ::testing::TestWithParam<std::tuple<bool, bool>> {
protected:
    MachOBuilder builder()
    {
        MachOBuilder built;
        built.m64 = std::get<0>(GetParam());
        built.swapped = std::get<1>(GetParam());
        built.sections = {{"__text", std::vector<std::uint8_t>(0x100, 0xC3)}};
        built.symbols = {{"_first", 0x800}, {"_second", 0x840}, {"_thumb", 0x860, 0x0F, 0x0008}};
        return built;
    }
};

TEST_P(CrashMachOBuilt, ReadsEitherWidthAndByteOrder)
{
    MachOBuilder built = builder();
    PlacedImage placed(built.build());
    ASSERT_EQ(placed.parse(), CRSH_ERR_NONE);
    const crsh_macho_image& image = placed.image();
    EXPECT_EQ(image.m64, built.m64);
    EXPECT_EQ(image.byteorder, built.swapped ? &crsh_async_byteorder_swapped : &crsh_async_byteorder_direct);
    EXPECT_EQ(image.header_size, built.m64 ? 32u : 28u);
    EXPECT_EQ(image.ncmds, 3u);
    EXPECT_EQ(image.text_size, MachOBuilder::kTextSize);
    EXPECT_EQ(image.vmaddr_slide, placed.address());
    EXPECT_EQ(crsh_macho_image_cpu_type(&image), built.m64 ? CRSH_CPU_TYPE_ARM64 : CRSH_CPU_TYPE_ARM);

    FoundSymbol found = symbolAt(image, placed.address() + 0x850);
    EXPECT_EQ(found.name, "_second");
    EXPECT_EQ(found.address, placed.address() + 0x840);
    // A Thumb definition is named with bit 0 set.
    found = symbolAt(image, placed.address() + 0x900);
    EXPECT_EQ(found.name, "_thumb");
    EXPECT_EQ(found.address, placed.address() + 0x861);

    crsh_async_mobject text;
    ASSERT_EQ(crsh_macho_image_map_section(&image, "__TEXT", "__text", &text), CRSH_ERR_NONE);
    EXPECT_EQ(crsh_async_mobject_base_address(&text), placed.address() + built.sectionData[0]);
    EXPECT_EQ(crsh_async_mobject_length(&text), 0x100u);
    crsh_async_mobject_free(&text);
}

INSTANTIATE_TEST_SUITE_P(WidthsAndOrders, CrashMachOBuilt,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

MachOBuilder plainBuilder()
{
    MachOBuilder built;
    built.sections = {{"__text", std::vector<std::uint8_t>(0x40, 0x90)}};
    built.symbols = {{"_a", 0x800}, {"_b", 0x820}};
    return built;
}

crsh_error_t parseBuilt(MachOBuilder& built, const std::function<void(MachOBuilder&)>& damage)
{
    built.build();
    damage(built);
    PlacedImage placed(built.bytes());
    return placed.parse();
}

TEST(CrashMachO, RejectsMalformedHeadersAndCommands)
{
    struct Case {
        const char* what;
        std::function<void(MachOBuilder&)> damage;
        crsh_error_t expected;
    };
    const Case cases[] = {
        {"undamaged", [](MachOBuilder&) {}, CRSH_ERR_NONE},
        {"wrong magic", [](MachOBuilder& b) { b.put32(0, 0xFEEDFACD); }, CRSH_ERR_INVALID_ARGUMENT},
        {"commands size past the mapping", [](MachOBuilder& b) { b.put32(20, 0x100000); }, CRSH_ERR_NO_MEMORY},
        {"commands size below one head", [](MachOBuilder& b) { b.put32(20, 4); }, CRSH_ERR_INVALID_ARGUMENT},
        {"zero commands size", [](MachOBuilder& b) { b.put32(20, 0); }, CRSH_ERR_INVALID_ARGUMENT},
        {"zero-size command", [](MachOBuilder& b) { b.put32(b.linkeditCommand + 4, 0); }, CRSH_ERR_INVALID_ARGUMENT},
        {"command shorter than its head", [](MachOBuilder& b) { b.put32(b.symtabCommand + 4, 7); }, CRSH_ERR_INVALID_ARGUMENT},
        {"command overrunning the commands",
         [](MachOBuilder& b) { b.put32(b.symtabCommand + 4, static_cast<std::uint32_t>(b.sizeofcmds)); },
         CRSH_ERR_INVALID_ARGUMENT},
        {"segment shorter than its fixed part", [](MachOBuilder& b) { b.put32(b.textCommand + 4, 64); }, CRSH_ERR_INVALID_ARGUMENT},
        {"unterminated segment name",
         [](MachOBuilder& b) { std::memcpy(&b.bytes()[b.textCommand + 8], "__TEXT__TEXT__TE", 16); },
         CRSH_ERR_INVALID_ARGUMENT},
        {"no __TEXT", [](MachOBuilder& b) { b.bytes()[b.textCommand + 10] = 'X'; }, CRSH_ERR_INVALID_ARGUMENT},
    };
    for (const Case& c : cases) {
        MachOBuilder built = plainBuilder();
        EXPECT_EQ(parseBuilt(built, c.damage), c.expected) << c.what;
    }
}

TEST(CrashMachO, SwappedCopyOfAHeaderIsReadSwapped)
{
    MachOBuilder built = plainBuilder();
    built.swapped = true;
    PlacedImage placed(built.build());
    ASSERT_EQ(placed.parse(), CRSH_ERR_NONE);
    EXPECT_EQ(placed.image().header.magic, 0xCFFAEDFEu);
    EXPECT_EQ(placed.image().byteorder, &crsh_async_byteorder_swapped);
    EXPECT_EQ(placed.image().text_size, MachOBuilder::kTextSize);
}

TEST(CrashMachO, ZeroSizeCommandEndsTheWalk)
{
    MachOBuilder built = plainBuilder();
    built.build();
    PlacedImage placed(built.bytes());
    ASSERT_EQ(placed.parse(), CRSH_ERR_NONE);
    // Damage the record's own copy after parsing: the walk must end instead of standing still.
    auto* symtab = const_cast<crsh_macho_load_command*>(crsh_macho_image_find_command(&placed.image(), CRSH_LC_SYMTAB));
    ASSERT_NE(symtab, nullptr);
    const std::uintptr_t page = reinterpret_cast<std::uintptr_t>(symtab) & ~(crashtest::pageSize() - 1);
    ASSERT_EQ(mprotect(reinterpret_cast<void*>(page), crashtest::pageSize(), PROT_READ | PROT_WRITE), 0);
    symtab->cmdsize = 0;
    int walked = 0;
    for (const auto* command = crsh_macho_image_next_command(&placed.image(), nullptr); command != nullptr && walked < 10;
         command = crsh_macho_image_next_command(&placed.image(), command))
        ++walked;
    EXPECT_EQ(walked, 2);
    EXPECT_EQ(crsh_macho_image_find_command(&placed.image(), CRSH_LC_SYMTAB), nullptr);
}

TEST(CrashMachO, SectionLookupChecksTheSectionHeaders)
{
    MachOBuilder built = plainBuilder();
    built.sections.push_back({"__sixteen_bytes_", std::vector<std::uint8_t>(8, 1)});
    built.build();
    {
        PlacedImage placed(built.bytes());
        ASSERT_EQ(placed.parse(), CRSH_ERR_NONE);
        crsh_async_mobject section;
        // A 16-byte name without a terminator is compared over its 16 bytes.
        ASSERT_EQ(crsh_macho_image_map_section(&placed.image(), "__TEXT", "__sixteen_bytes_", &section), CRSH_ERR_NONE);
        EXPECT_EQ(crsh_async_mobject_length(&section), 8u);
        crsh_async_mobject_free(&section);
        EXPECT_EQ(crsh_macho_image_map_section(&placed.image(), "__TEXT", "__sixteen_bytes_and_more", &section), CRSH_ERR_NONE);
        crsh_async_mobject_free(&section);
        EXPECT_EQ(crsh_macho_image_map_section(&placed.image(), "__TEXT", "__sixteen", &section), CRSH_ERR_NOT_FOUND);
    }
    // A count of sections that reaches past the command.
    built.put32(built.textCommand + 64, 3);
    {
        PlacedImage placed(built.bytes());
        ASSERT_EQ(placed.parse(), CRSH_ERR_NONE);
        crsh_async_mobject section;
        EXPECT_EQ(crsh_macho_image_map_section(&placed.image(), "__TEXT", "__text", &section), CRSH_ERR_INVALID_ARGUMENT);
    }
    // A section whose data lies past the mapped image.
    built.put32(built.textCommand + 64, 2);
    built.put64(built.sectionHeaders[1] + 40, 0x100000);
    {
        PlacedImage placed(built.bytes());
        ASSERT_EQ(placed.parse(), CRSH_ERR_NONE);
        crsh_async_mobject section;
        EXPECT_EQ(crsh_macho_image_map_section(&placed.image(), "__TEXT", "__sixteen_bytes_", &section), CRSH_ERR_NO_MEMORY);
    }
}

TEST(CrashMachO, SymbolSearchPrefersTheGreatestValueAndTheFirstOfEquals)
{
    MachOBuilder built;
    built.symbols = {
        {"_debug", 0x900, 0x24},   // a debugging entry (N_FUN) is never a candidate
        {"_undefined", 0x900, 0x01},
        {"_early", 0x800},
        {"_twin_one", 0x880},
        {"_twin_two", 0x880},
        {"_private", 0x8A0, 0x1E}, // private external: still defined in a section
    };
    PlacedImage placed(built.build());
    ASSERT_EQ(placed.parse(), CRSH_ERR_NONE);
    EXPECT_EQ(symbolAt(placed.image(), placed.address() + 0x890).name, "_twin_one");
    EXPECT_EQ(symbolAt(placed.image(), placed.address() + 0x8FF).name, "_private");
    EXPECT_EQ(symbolAt(placed.image(), placed.address() + 0x87F).name, "_early");
    symbolAt(placed.image(), placed.address() + 0x7FF, CRSH_ERR_NOT_FOUND);
    crsh_vm_address_t address = 0;
    EXPECT_EQ(crsh_macho_find_symbol_by_name(&placed.image(), "_debug", &address), CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(crsh_macho_find_symbol_by_name(&placed.image(), "_twin_two", &address), CRSH_ERR_NONE);
    EXPECT_EQ(address, placed.address() + 0x880);
}

TEST(CrashMachO, GlobalsAreSearchedBeforeLocalsWhichContinueFromTheBestGlobal)
{
    MachOBuilder built;
    // Locals first in the table, then the globals, as a linker lays them out.
    built.symbols = {{"_local_low", 0x800, 0x0E}, {"_local_high", 0x880, 0x0E}, {"_global_mid", 0x840}, {"_global_same", 0x880}};
    built.withDysymtab = true;
    built.ilocal = 0;
    built.nlocal = 2;
    built.iextdef = 2;
    built.nextdef = 2;
    PlacedImage placed(built.build());
    ASSERT_EQ(placed.parse(), CRSH_ERR_NONE);
    // The global at 0x880 is found first; the local of equal value does not replace it.
    EXPECT_EQ(symbolAt(placed.image(), placed.address() + 0x890).name, "_global_same");
    EXPECT_EQ(symbolAt(placed.image(), placed.address() + 0x850).name, "_global_mid");
    EXPECT_EQ(symbolAt(placed.image(), placed.address() + 0x810).name, "_local_low");
}

TEST(CrashMachO, SymbolTablesThatLieAreRefused)
{
    struct Case {
        const char* what;
        std::function<void(MachOBuilder&)> damage;
        crsh_error_t expected;
    };
    const Case cases[] = {
        {"symbol table before __LINKEDIT", [](MachOBuilder& b) { b.put32(b.symtabCommand + 8, 0x800); }, CRSH_ERR_INTERNAL},
        {"symbol table past __LINKEDIT", [](MachOBuilder& b) { b.put32(b.symtabCommand + 12, 0x10000); }, CRSH_ERR_INTERNAL},
        {"string table past __LINKEDIT", [](MachOBuilder& b) { b.put32(b.symtabCommand + 20, 0x10000); }, CRSH_ERR_INTERNAL},
        {"no symbol table", [](MachOBuilder& b) { b.put32(b.symtabCommand, 0x99); }, CRSH_ERR_NOT_FOUND},
        {"short symbol-table command",
         [](MachOBuilder& b) {
             // 16 bytes, followed by an 8-byte filler command made of its last two fields.
             b.put32(b.symtabCommand + 4, 16);
             b.put32(b.symtabCommand + 20, 8);
         },
         CRSH_ERR_INVALID_ARGUMENT},
        {"globals beyond the count", [](MachOBuilder& b) { b.put32(b.dysymtabCommand + 16, 2); }, CRSH_ERR_INVALID_ARGUMENT},
        {"locals beyond the count", [](MachOBuilder& b) { b.put32(b.dysymtabCommand + 12, 0xFFFFFFFF); }, CRSH_ERR_INVALID_ARGUMENT},
        {"name index past the table", [](MachOBuilder& b) { b.put32(b.symbolTable + 16, 0x1000); }, CRSH_ERR_INVALID_ARGUMENT},
    };
    for (const Case& c : cases) {
        MachOBuilder built;
        built.symbols = {{"_a", 0x800}, {"_b", 0x820}};
        built.withDysymtab = true;
        built.nlocal = 0;
        built.iextdef = 0;
        built.nextdef = 2;
        built.build();
        c.damage(built);
        PlacedImage placed(built.bytes());
        ASSERT_EQ(placed.parse(), CRSH_ERR_NONE) << c.what;
        symbolAt(placed.image(), placed.address() + 0x830, c.expected);
    }
}

TEST(CrashMachO, NameRunningToTheEndOfTheStringTableIsNotReturned)
{
    MachOBuilder built;
    built.symbols = {{"_a", 0x800}, {"_last", 0x820}};
    built.build();
    // Cut the table's size to end right before the last name's zero.
    built.put32(built.symtabCommand + 20, static_cast<std::uint32_t>(built.stringTableSize - 1));
    PlacedImage placed(built.bytes());
    ASSERT_EQ(placed.parse(), CRSH_ERR_NONE);
    crsh_macho_symtab_reader reader;
    ASSERT_EQ(crsh_macho_symtab_reader_init(&reader, &placed.image()), CRSH_ERR_NONE);
    EXPECT_STREQ(crsh_macho_symtab_reader_symbol_name(&reader, 1), "_a");
    EXPECT_EQ(crsh_macho_symtab_reader_symbol_name(&reader, 4), nullptr);
    EXPECT_EQ(crsh_macho_symtab_reader_symbol_name(&reader, 0xFFFFFFFF), nullptr);
    crsh_macho_symbol symbol = crsh_macho_symtab_reader_read(&reader, reader.symtab, 1);
    EXPECT_EQ(symbol.n_strx, 4u);
    EXPECT_EQ(symbol.n_value, 0x820u);
    crsh_macho_symtab_reader_free(&reader);
    symbolAt(placed.image(), placed.address() + 0x830, CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(symbolAt(placed.image(), placed.address() + 0x810).name, "_a");
    crsh_vm_address_t address = 0;
    EXPECT_EQ(crsh_macho_find_symbol_by_name(&placed.image(), "_last", &address), CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(crsh_macho_find_symbol_by_name(&placed.image(), "_las", &address), CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(crsh_macho_find_symbol_by_name(&placed.image(), "_a", &address), CRSH_ERR_NONE);
}

} // namespace
