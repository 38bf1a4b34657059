#include "crashreporter/crsh_compact_unwind.h"

#include "FixtureDumps.h"
#include "MachOBuilder.h"
#include "UnwindSupport.h"
#include "support/MachOLoader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>

namespace {

using crashtest::arm64State;
using crashtest::Bytes;
using crashtest::FakeStack;
using crashtest::MappedBytes;
using crashtest::reg;
using crashtest::UnwindInfoBuilder;

struct Found {
    crsh_error_t error;
    std::uint32_t function = 0;
    std::uint32_t encoding = 0;
};

Found find(const MappedBytes& section, std::uint32_t address, std::int32_t cpu = CRSH_CPU_TYPE_ARM64)
{
    crsh_cu_reader reader;
    Found found{crsh_cu_reader_init(&reader, section.mobj(), &crsh_async_byteorder_direct, cpu)};
    if (found.error == CRSH_ERR_NONE)
        found.error = crsh_cu_reader_find(&reader, address, &found.function, &found.encoding);
    crsh_cu_reader_free(&reader);
    return found;
}

TEST(CrashCompactUnwind, ReaderAcceptsThreeCPUTypesAndVersionOne)
{
    UnwindInfoBuilder builder;
    builder.regularPage({{0x100, 0x02000000}});
    std::vector<std::uint8_t> bytes = builder.build();
    const MappedBytes section(bytes);
    crsh_cu_reader reader;
    for (std::int32_t cpu : {CRSH_CPU_TYPE_ARM64, CRSH_CPU_TYPE_X86_64, CRSH_CPU_TYPE_X86})
        EXPECT_EQ(crsh_cu_reader_init(&reader, section.mobj(), &crsh_async_byteorder_direct, cpu), CRSH_ERR_NONE);
    EXPECT_EQ(crsh_cu_reader_init(&reader, section.mobj(), &crsh_async_byteorder_direct, CRSH_CPU_TYPE_ARM),
              CRSH_ERR_NOT_SUPPORTED);

    crashtest::put32(bytes, 0, 2);
    const MappedBytes version(bytes);
    EXPECT_EQ(crsh_cu_reader_init(&reader, version.mobj(), &crsh_async_byteorder_direct, CRSH_CPU_TYPE_ARM64),
              CRSH_ERR_NOT_SUPPORTED);
    const MappedBytes shortHeader(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 27));
    EXPECT_EQ(crsh_cu_reader_init(&reader, shortHeader.mobj(), &crsh_async_byteorder_direct, CRSH_CPU_TYPE_ARM64),
              CRSH_ERR_INVALID_ARGUMENT);
}

TEST(CrashCompactUnwind, RegularPagesAreSearchedByFunctionOffset)
{
    UnwindInfoBuilder builder;
    builder.regularPage({{0x100, 0xA}, {0x140, 0xB}, {0x200, 0xC}});
    builder.regularPage({{0x1000, 0xD}, {0x1010, 0xE}});
    const MappedBytes section(builder.build());
    struct Case {
        std::uint32_t address;
        std::uint32_t function;
        std::uint32_t encoding;
    };
    for (const Case& c : {Case{0x100, 0x100, 0xA}, Case{0x13F, 0x100, 0xA}, Case{0x140, 0x140, 0xB},
                          Case{0x200, 0x200, 0xC}, Case{0xFFF, 0x200, 0xC}, Case{0x1000, 0x1000, 0xD},
                          Case{0x1010, 0x1010, 0xE}, Case{0xFFFFFFFF, 0x1010, 0xE}}) {
        const Found found = find(section, c.address);
        ASSERT_EQ(found.error, CRSH_ERR_NONE) << std::hex << c.address;
        EXPECT_EQ(found.function, c.function) << std::hex << c.address;
        EXPECT_EQ(found.encoding, c.encoding) << std::hex << c.address;
    }
    EXPECT_EQ(find(section, 0xFF).error, CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(find(section, 0).error, CRSH_ERR_NOT_FOUND);
}

TEST(CrashCompactUnwind, CompressedPagesSelectCommonOrOwnEncodings)
{
    UnwindInfoBuilder builder;
    builder.common = {0x04000001, 0x02000000};
    builder.compressedPage({{0x300, 1}, {0x320, 2}, {0x340, 3}, {0x360, 0}}, {0x03000010, 0x04000011});
    const MappedBytes section(builder.build());
    EXPECT_EQ(find(section, 0x300).encoding, 0x02000000u);
    const Found first = find(section, 0x321);
    EXPECT_EQ(first.function, 0x320u);
    EXPECT_EQ(first.encoding, 0x03000010u); // index 2 = the common count: the page's first own encoding
    EXPECT_EQ(find(section, 0x340).encoding, 0x04000011u);
    EXPECT_EQ(find(section, 0x400).encoding, 0x04000001u);
    EXPECT_EQ(find(section, 0x2FF).error, CRSH_ERR_NOT_FOUND);

    UnwindInfoBuilder beyond;
    beyond.common = {0x04000001, 0x02000000};
    beyond.compressedPage({{0x300, 4}}, {0x03000010, 0x04000011});
    const MappedBytes bad(beyond.build());
    EXPECT_EQ(find(bad, 0x300).error, CRSH_ERR_INVALID_ARGUMENT);
}

TEST(CrashCompactUnwind, IndexCountsOfZeroAndOneFindNothing)
{
    UnwindInfoBuilder builder;
    builder.regularPage({{0x100, 0xA}});
    std::vector<std::uint8_t> bytes = builder.build();
    for (std::uint32_t count : {0u, 1u}) {
        crashtest::put32(bytes, 24, count);
        const MappedBytes section(bytes);
        EXPECT_EQ(find(section, 0x100).error, CRSH_ERR_NOT_FOUND) << count;
    }
    UnwindInfoBuilder empty;
    empty.regularPage({});
    const MappedBytes emptyPage(empty.build());
    EXPECT_EQ(find(emptyPage, 0x100).error, CRSH_ERR_NOT_FOUND);
}

TEST(CrashCompactUnwind, OffsetsAndCountsOutsideTheSectionAreInvalid)
{
    UnwindInfoBuilder builder;
    builder.common = {0x02000000};
    builder.regularPage({{0x100, 0xA}, {0x140, 0xB}});
    const std::vector<std::uint8_t> good = builder.build();
    const std::size_t index = builder.indexOffset;
    const std::size_t page = builder.pageOffsets[0];
    struct Damage {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
    };
    for (const Damage& damage : {
             Damage{"common encodings offset", 4, static_cast<std::uint32_t>(good.size())},
             Damage{"common encodings count", 8, 0x40000000},
             Damage{"first-level offset", 20, static_cast<std::uint32_t>(good.size() - 12)},
             Damage{"first-level count", 24, 0x10000000},
             Damage{"page offset", index + 4, static_cast<std::uint32_t>(good.size())},
             Damage{"page offset at the end", index + 4, static_cast<std::uint32_t>(good.size() - 2)},
             Damage{"page kind", page, 4},
             Damage{"page kind 1", page, 1},
             Damage{"entry count", page + 4, 0xFFFF0008},
             Damage{"entry offset", page + 4, 0x0002FFF0},
         }) {
        std::vector<std::uint8_t> bytes = good;
        crashtest::put32(bytes, damage.offset, damage.value);
        const MappedBytes section(bytes);
        EXPECT_EQ(find(section, 0x100).error, CRSH_ERR_INVALID_ARGUMENT) << damage.what;
    }
}

TEST(CrashCompactUnwind, DecodesArm64Encodings)
{
    crsh_cu_entry entry;
    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_ARM64, 0), CRSH_ERR_NONE);
    EXPECT_EQ(entry.type, CRSH_CU_ENTRY_NONE);
    EXPECT_EQ(entry.register_count, 0u);
    EXPECT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_ARM64, 0x01000000), CRSH_ERR_NOT_SUPPORTED);
    EXPECT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_ARM64, 0x05000000), CRSH_ERR_NOT_SUPPORTED);
    EXPECT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_ARM, 0x02000000), CRSH_ERR_NOT_SUPPORTED);

    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_ARM64, 0x02000000 | (3 << 12) | 0x01 | 0xF00), CRSH_ERR_NONE);
    EXPECT_EQ(entry.type, CRSH_CU_ENTRY_FRAMELESS_IMMD);
    EXPECT_EQ(entry.stack_offset, 48);
    EXPECT_EQ(entry.return_address_register, CRSH_ARM64_LR);
    ASSERT_EQ(entry.register_count, 2u); // the floating-point pairs are ignored
    EXPECT_EQ(entry.register_list[0], crsh_arm64_x(20));
    EXPECT_EQ(entry.register_list[1], crsh_arm64_x(19));

    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_ARM64, 0x03ABCDEF), CRSH_ERR_NONE);
    EXPECT_EQ(entry.type, CRSH_CU_ENTRY_DWARF);
    EXPECT_EQ(entry.stack_offset, 0xABCDEF);

    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_ARM64, 0x0400001F), CRSH_ERR_NONE);
    EXPECT_EQ(entry.type, CRSH_CU_ENTRY_FRAME);
    EXPECT_EQ(entry.stack_offset, -80);
    EXPECT_EQ(entry.return_address_register, CRSH_CU_NO_REGISTER);
    ASSERT_EQ(entry.register_count, 10u);
    for (unsigned i = 0; i < 10; ++i)
        EXPECT_EQ(entry.register_list[i], crsh_arm64_x(28 - i));
}

TEST(CrashCompactUnwind, DecodesX86Encodings)
{
    crsh_cu_entry entry;
    // Frame-based: rbx, an empty slot, rbp; the stack offset counts words.
    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_X86_64, 0x01000000 | (2 << 16) | 1 | (6 << 6)), CRSH_ERR_NONE);
    EXPECT_EQ(entry.type, CRSH_CU_ENTRY_FRAME);
    EXPECT_EQ(entry.stack_offset, -16);
    ASSERT_EQ(entry.register_count, 3u);
    EXPECT_EQ(entry.register_list[0], CRSH_X86_64_RBX);
    EXPECT_EQ(entry.register_list[1], CRSH_CU_NO_REGISTER);
    EXPECT_EQ(entry.register_list[2], CRSH_X86_64_RBP);
    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_X86, 0x01000000 | (2 << 16) | 5 | (2 << 3)), CRSH_ERR_NONE);
    EXPECT_EQ(entry.stack_offset, -8);
    EXPECT_EQ(entry.register_list[0], CRSH_X86_ESI);
    EXPECT_EQ(entry.register_list[1], CRSH_X86_ECX);
    EXPECT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_X86_64, 0x01000000 | (7 << 3)), CRSH_ERR_INVALID_ARGUMENT);

    // Frameless with an immediate size: two registers, permutation 7 gives r12 then r14.
    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_X86_64, 0x02000000 | (4 << 16) | (2 << 10) | 7),
              CRSH_ERR_NONE);
    EXPECT_EQ(entry.type, CRSH_CU_ENTRY_FRAMELESS_IMMD);
    EXPECT_EQ(entry.stack_offset, 32);
    ASSERT_EQ(entry.register_count, 2u);
    EXPECT_EQ(entry.register_list[0], CRSH_X86_64_R12);
    EXPECT_EQ(entry.register_list[1], CRSH_X86_64_R14);
    EXPECT_EQ(entry.return_address_register, CRSH_CU_NO_REGISTER);
    EXPECT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_X86_64, 0x02000000 | (7 << 10)), CRSH_ERR_INVALID_ARGUMENT);

    // Frameless with the size in the code.
    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_X86, 0x03000000 | (0x10 << 16) | (3 << 13) | (1 << 10) | 5),
              CRSH_ERR_NONE);
    EXPECT_EQ(entry.type, CRSH_CU_ENTRY_FRAMELESS_INDIRECT);
    EXPECT_EQ(entry.stack_offset, 0x10);
    EXPECT_EQ(entry.stack_adjust, 12u);
    ASSERT_EQ(entry.register_count, 1u);
    EXPECT_EQ(entry.register_list[0], CRSH_X86_EBP);

    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_X86_64, 0x04000123), CRSH_ERR_NONE);
    EXPECT_EQ(entry.type, CRSH_CU_ENTRY_DWARF);
    EXPECT_EQ(entry.stack_offset, 0x123);
    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_X86, 0), CRSH_ERR_NONE);
    EXPECT_EQ(entry.type, CRSH_CU_ENTRY_NONE);
    EXPECT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_X86, 0x05000000), CRSH_ERR_NOT_SUPPORTED);

    // x86 entries decode but have no state to apply to.
    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_X86_64, 0x02000000 | (4 << 16)), CRSH_ERR_NONE);
    crsh_thread_state current = arm64State({{CRSH_REG_SP, 0x1000}, {CRSH_REG_IP, 0x2000}});
    crsh_thread_state next;
    EXPECT_EQ(crsh_cu_entry_apply(getpid(), 0x2000, &current, &entry, &next), CRSH_ERR_NOT_SUPPORTED);
}

TEST(CrashCompactUnwind, PermutationsForEveryCount)
{
    struct Case {
        std::uint32_t count;
        std::uint32_t permutation;
        std::vector<std::uint32_t> registers;
    };
    for (const Case& c : {
             Case{1, 0, {1}},
             Case{1, 3, {4}},
             Case{2, 7, {2, 4}},            // digits 1, 2
             Case{2, 24, {5, 6}},           // digits 4, 4
             Case{3, 31, {2, 4, 6}},        // digits 1, 2, 3
             Case{4, 139, {3, 2, 5, 4}},    // digits 2, 1, 2, 1
             Case{5, 133, {2, 1, 5, 3, 6}}, // digits 1, 0, 2, 0, 1
             Case{6, 0, {1, 2, 3, 4, 5, 6}},
             Case{6, 719, {6, 5, 4, 3, 2, 1}}, // digits 5, 4, 3, 2, 1, 0
             Case{0, 0, {}},
         }) {
        std::uint32_t registers[6] = {};
        ASSERT_EQ(crsh_cu_permutation_decode(c.permutation, c.count, registers), CRSH_ERR_NONE) << c.permutation;
        EXPECT_EQ(std::vector<std::uint32_t>(registers, registers + c.count), c.registers)
            << c.count << " " << c.permutation;
    }
    std::uint32_t registers[6];
    EXPECT_EQ(crsh_cu_permutation_decode(0, 7, registers), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_cu_permutation_decode(6, 1, registers), CRSH_ERR_INVALID_ARGUMENT); // a seventh register
    EXPECT_EQ(crsh_cu_permutation_decode(0x3FF, 2, registers), CRSH_ERR_INVALID_ARGUMENT);
}

TEST(CrashCompactUnwind, AppliesFrameBasedArm64Entries)
{
    FakeStack stack(16);
    const std::size_t fp = 8;
    stack[fp - 4] = 0x28; // x28 at fp - 32
    stack[fp - 3] = 0x27;
    stack[fp - 2] = 0x20;
    stack[fp - 1] = 0x19; // x19 at fp - 8
    stack.record(fp, stack.address(14), 0x7000);
    crsh_cu_entry entry;
    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_ARM64, 0x04000011), CRSH_ERR_NONE);
    crsh_thread_state current = arm64State({{CRSH_REG_IP, 0x5000},
                                            {CRSH_REG_FP, stack.address(fp)},
                                            {CRSH_REG_SP, stack.address(0)},
                                            {crsh_arm64_x(0), 1},
                                            {crsh_arm64_x(21), 0x21},
                                            {CRSH_ARM64_LR, 0x6000}});
    crsh_thread_state next;
    ASSERT_EQ(crsh_cu_entry_apply(getpid(), 0x4000, &current, &entry, &next), CRSH_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x7000u);
    EXPECT_EQ(reg(next, CRSH_REG_FP), stack.address(14));
    EXPECT_EQ(reg(next, CRSH_REG_SP), stack.address(fp) + 16);
    EXPECT_EQ(reg(next, crsh_arm64_x(28)), 0x28u);
    EXPECT_EQ(reg(next, crsh_arm64_x(27)), 0x27u);
    EXPECT_EQ(reg(next, crsh_arm64_x(20)), 0x20u);
    EXPECT_EQ(reg(next, crsh_arm64_x(19)), 0x19u);
    EXPECT_EQ(reg(next, crsh_arm64_x(21)), 0x21u); // callee-saved, kept
    EXPECT_FALSE(crsh_thread_state_has_reg(&next, crsh_arm64_x(0)));
    EXPECT_FALSE(crsh_thread_state_has_reg(&next, CRSH_ARM64_LR));

    crsh_thread_state_clear_reg(&current, CRSH_REG_FP);
    EXPECT_EQ(crsh_cu_entry_apply(getpid(), 0x4000, &current, &entry, &next), CRSH_ERR_NOT_FOUND);
    crsh_thread_state_set_reg(&current, CRSH_REG_FP, ~std::uint64_t{0} - 8);
    EXPECT_EQ(crsh_cu_entry_apply(getpid(), 0x4000, &current, &entry, &next), CRSH_ERR_INVALID_ARGUMENT);
    const crashtest::PlacedBytes placed(std::vector<std::uint8_t>(8, 0), true);
    crsh_thread_state_set_reg(&current, CRSH_REG_FP, placed.address());
    EXPECT_NE(crsh_cu_entry_apply(getpid(), 0x4000, &current, &entry, &next), CRSH_ERR_NONE);
}

TEST(CrashCompactUnwind, AppliesFramelessArm64Entries)
{
    FakeStack stack(16);
    stack[4] = 0x22;
    stack[5] = 0x21;
    crsh_cu_entry entry;
    ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_ARM64, 0x02000000 | (3 << 12) | 0x02), CRSH_ERR_NONE);
    crsh_thread_state current =
        arm64State({{CRSH_REG_IP, 0x5000}, {CRSH_REG_SP, stack.address(0)}, {CRSH_ARM64_LR, 0x6000}});
    crsh_thread_state next;
    ASSERT_EQ(crsh_cu_entry_apply(getpid(), 0x4000, &current, &entry, &next), CRSH_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_SP), stack.address(6)); // 48 bytes up
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x6000u);
    EXPECT_EQ(reg(next, crsh_arm64_x(22)), 0x22u);
    EXPECT_EQ(reg(next, crsh_arm64_x(21)), 0x21u);
    EXPECT_FALSE(crsh_thread_state_has_reg(&next, CRSH_REG_FP));

    crsh_thread_state noLr = arm64State({{CRSH_REG_IP, 0x5000}, {CRSH_REG_SP, stack.address(0)}});
    EXPECT_EQ(crsh_cu_entry_apply(getpid(), 0x4000, &noLr, &entry, &next), CRSH_ERR_NOT_FOUND);
    crsh_thread_state noSp = arm64State({{CRSH_REG_IP, 0x5000}, {CRSH_ARM64_LR, 0x6000}});
    EXPECT_EQ(crsh_cu_entry_apply(getpid(), 0x4000, &noSp, &entry, &next), CRSH_ERR_NOT_FOUND);

    for (std::uint32_t encoding : {0u, 0x03000000u}) {
        ASSERT_EQ(crsh_cu_entry_decode(&entry, CRSH_CPU_TYPE_ARM64, encoding), CRSH_ERR_NONE);
        EXPECT_EQ(crsh_cu_entry_apply(getpid(), 0x4000, &current, &entry, &next), CRSH_ERR_NOT_SUPPORTED);
    }
}

// The second-level entries of the fixture's dump.
std::vector<std::pair<std::uint32_t, std::uint32_t>> dumpedUnwindEntries(const std::string& image)
{
    static const std::regex line(R"(^\s+\[\d+\]: function offset=0x([0-9a-f]+), encoding\[\d+\]=0x([0-9a-f]+)$)");
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    for (const std::string& text : crashtest::dumpLines(image, "unwind")) {
        std::smatch match;
        if (std::regex_match(text, match, line))
            entries.emplace_back(std::stoul(match[1], nullptr, 16), std::stoul(match[2], nullptr, 16));
    }
    return entries;
}

TEST(CrashCompactUnwindFixture, EncodingsAsLLVMReadsThem)
{
    auto loader = hybtest::MachOLoader::load(crashtest::fixturePath("arm64_image.dylib"));
    ASSERT_NE(loader, nullptr);
    crsh_macho_image image{};
    ASSERT_EQ(crsh_macho_image_init(&image, getpid(), "arm64_image.dylib", loader->headerAddress()), CRSH_ERR_NONE);
    crsh_async_mobject section;
    ASSERT_EQ(crsh_macho_image_map_section(&image, "__TEXT", "__unwind_info", &section), CRSH_ERR_NONE);
    crsh_cu_reader reader;
    ASSERT_EQ(crsh_cu_reader_init(&reader, &section, image.byteorder, CRSH_CPU_TYPE_ARM64), CRSH_ERR_NONE);

    const auto entries = dumpedUnwindEntries("arm64_image");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].second, 0x02000000u); // callee and leaf
    EXPECT_EQ(entries[1].second, 0x04000001u); // framed_one
    EXPECT_EQ(entries[2].second, 0x04000003u); // framed_two
    EXPECT_EQ(entries[3].second, 0x03000000u); // cfi_only
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::uint32_t start = entries[i].first;
        const std::uint32_t last = i + 1 < entries.size() ? entries[i + 1].first - 1 : start + 0x13;
        for (std::uint32_t address : {start, last}) {
            std::uint32_t function = 0;
            std::uint32_t encoding = 0;
            ASSERT_EQ(crsh_cu_reader_find(&reader, address, &function, &encoding), CRSH_ERR_NONE);
            EXPECT_EQ(function, start);
            EXPECT_EQ(encoding, entries[i].second);
        }
    }
    std::uint32_t function;
    std::uint32_t encoding;
    EXPECT_EQ(crsh_cu_reader_find(&reader, entries[0].first - 1, &function, &encoding), CRSH_ERR_NOT_FOUND);
    crsh_cu_reader_free(&reader);
    crsh_async_mobject_free(&section);
    crsh_macho_image_free(&image);
}

std::vector<std::uint8_t> fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

crsh_vm_address_t symbol(const hybtest::MachOLoader& loader, const std::string& name)
{
    for (const auto& dumped : crashtest::dumpedSymbols("arm64_image"))
        if (dumped.name == name)
            return loader.addressOf(dumped.value);
    ADD_FAILURE() << name;
    return 0;
}

class CompactUnwindReaderOnFixture : public ::testing::Test {
protected:
    void load(const std::vector<std::uint8_t>& file)
    {
        m_loader = hybtest::MachOLoader::place(file, "arm64_image.dylib");
        ASSERT_NE(m_loader, nullptr);
        ASSERT_EQ(crsh_image_list_init(&m_list, getpid()), CRSH_ERR_NONE);
        ASSERT_EQ(m_loader->appendTo(&m_list), CRSH_ERR_NONE);
    }
    void TearDown() override { crsh_image_list_free(&m_list); }

    std::unique_ptr<hybtest::MachOLoader> m_loader;
    crsh_image_list m_list{};
};

TEST_F(CompactUnwindReaderOnFixture, UnwindsFramelessAndFrameBasedFunctions)
{
    load(fileBytes(crashtest::fixturePath("arm64_image.dylib")));
    FakeStack stack(16);
    crsh_thread_state next;
    crsh_thread_state leaf = arm64State({{CRSH_REG_IP, symbol(*m_loader, "_leaf") + 4},
                                         {CRSH_REG_SP, stack.address(0)},
                                         {CRSH_ARM64_LR, 0x9000}});
    ASSERT_EQ(crsh_frame_read_compact_unwind(getpid(), &m_list, &leaf, nullptr, &next), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x9000u);
    EXPECT_EQ(reg(next, CRSH_REG_SP), stack.address(0));

    stack[6] = 0x20;
    stack[7] = 0x19;
    stack.record(8, 0, 0xA000);
    crsh_thread_state framed = arm64State({{CRSH_REG_IP, symbol(*m_loader, "_framed_one") + 8},
                                           {CRSH_REG_FP, stack.address(8)},
                                           {CRSH_REG_SP, stack.address(0)}});
    ASSERT_EQ(crsh_frame_read_compact_unwind(getpid(), &m_list, &framed, nullptr, &next), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0xA000u);
    EXPECT_EQ(reg(next, CRSH_REG_SP), stack.address(10));
    EXPECT_EQ(reg(next, crsh_arm64_x(20)), 0x20u);
    EXPECT_EQ(reg(next, crsh_arm64_x(19)), 0x19u);

    // A DWARF-mode function cannot be applied here.
    crsh_thread_state dwarf = arm64State({{CRSH_REG_IP, symbol(*m_loader, "_cfi_only") + 4},
                                          {CRSH_REG_SP, stack.address(0)},
                                          {CRSH_ARM64_LR, 0x9000}});
    EXPECT_EQ(crsh_frame_read_compact_unwind(getpid(), &m_list, &dwarf, nullptr, &next), CRSH_FRAME_ERR_NO_FRAME);

    // Outside every image, and without a pc.
    crsh_thread_state outside = arm64State({{CRSH_REG_IP, 0x1000}});
    EXPECT_EQ(crsh_frame_read_compact_unwind(getpid(), &m_list, &outside, nullptr, &next),
              CRSH_FRAME_ERR_NOT_SUPPORTED);
    crsh_thread_state noPc = arm64State({});
    EXPECT_EQ(crsh_frame_read_compact_unwind(getpid(), &m_list, &noPc, nullptr, &next), CRSH_FRAME_ERR_BAD_FRAME);
}

TEST_F(CompactUnwindReaderOnFixture, AFunctionWithoutUnwindInformationLeavesTheFrameToTheNextReaders)
{
    // The fixture with its frameless encoding cleared: leaf() then has no unwind information.
    std::vector<std::uint8_t> file = fileBytes(crashtest::fixturePath("arm64_image.dylib"));
    const std::uint64_t section = crashtest::dumpedField("arm64_image", "sectname", "__unwind_info", "offset");
    ASSERT_LT(section + 0x2C, file.size());
    ASSERT_EQ(crsh_async_load<std::uint32_t>(&file[section + 0x1C + 12]), 0x02000000u);
    crashtest::put32(file, section + 0x1C + 12, 0);
    load(file);

    FakeStack stack(16);
    stack.record(4, 0, 0xB000);
    crsh_thread_state leaf = arm64State({{CRSH_REG_IP, symbol(*m_loader, "_leaf") + 4},
                                         {CRSH_REG_FP, stack.address(4)},
                                         {CRSH_REG_SP, stack.address(0)},
                                         {CRSH_ARM64_LR, 0x9000}});
    crsh_thread_state next;
    EXPECT_EQ(crsh_frame_read_compact_unwind(getpid(), &m_list, &leaf, nullptr, &next), CRSH_FRAME_ERR_NO_FRAME);

    crsh_frame_cursor cursor;
    ASSERT_EQ(crsh_frame_cursor_init(&cursor, getpid(), &leaf, &m_list), CRSH_FRAME_ERR_NONE);
    ASSERT_EQ(crsh_frame_cursor_next(&cursor), CRSH_FRAME_ERR_NONE);
    ASSERT_EQ(crsh_frame_cursor_next(&cursor), CRSH_FRAME_ERR_NONE); // by the frame-pointer chain
    std::uint64_t pc;
    ASSERT_EQ(crsh_frame_cursor_get_reg(&cursor, CRSH_REG_IP, &pc), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(pc, 0xB000u);
    crsh_frame_cursor_free(&cursor);
}

} // namespace
