// Whole walks of synthetic arm64 stacks whose pcs point into the fixture image, with the cursor's default
// readers: compact unwind data, DWARF frame descriptions and the frame-pointer chain each take a turn.
#include "crashreporter/crsh_frame_cursor.h"

#include "FixtureDumps.h"
#include "UnwindSupport.h"
#include "support/MachOLoader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

using crashtest::arm64State;
using crashtest::FakeStack;
using crashtest::reg;

class FixtureWalk : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::ifstream in(crashtest::fixturePath("arm64_image.dylib"), std::ios::binary);
        std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        // ld64.lld-14 writes the FDE's pc-begin off by a constant (LLVM's dump reads the same value): point it
        // back at cfi_only() so that the DWARF reader finds the function by its pc.
        const auto fdes = crashtest::dumpedFDEs("arm64_image");
        ASSERT_EQ(fdes.size(), 1u);
        const std::uint64_t section = crashtest::dumpedField("arm64_image", "sectname", "__eh_frame", "offset");
        const std::size_t field = section + fdes[0].offset + 8; // after the length and the CIE pointer
        ASSERT_LT(field + 4, file.size());
        const std::uint64_t cfiOnly = symbolValue("_cfi_only");
        const auto pcBegin = crsh_async_load<std::uint32_t>(&file[field]);
        crashtest::put32(file, field, static_cast<std::uint32_t>(pcBegin - (fdes[0].start - cfiOnly)));

        m_loader = hybtest::MachOLoader::place(file, "arm64_image.dylib");
        ASSERT_NE(m_loader, nullptr);
        ASSERT_EQ(crsh_image_list_init(&m_list, getpid()), CRSH_ERR_NONE);
        ASSERT_EQ(m_loader->appendTo(&m_list), CRSH_ERR_NONE);
    }
    void TearDown() override { crsh_image_list_free(&m_list); }

    static std::uint64_t symbolValue(const std::string& name)
    {
        for (const auto& dumped : crashtest::dumpedSymbols("arm64_image"))
            if (dumped.name == name)
                return dumped.value;
        ADD_FAILURE() << name;
        return 0;
    }
    std::uint64_t function(const std::string& name) const { return m_loader->addressOf(symbolValue(name)); }

    // Every frame of the walk and the code that ended it.
    std::pair<std::vector<crsh_thread_state>, crsh_frame_error_t> walk(const crsh_thread_state& initial)
    {
        crsh_frame_cursor cursor;
        EXPECT_EQ(crsh_frame_cursor_init(&cursor, getpid(), &initial, &m_list), CRSH_FRAME_ERR_NONE);
        std::vector<crsh_thread_state> frames;
        crsh_frame_error_t error;
        while ((error = crsh_frame_cursor_next(&cursor)) == CRSH_FRAME_ERR_NONE && frames.size() < 512)
            frames.push_back(cursor.frame);
        crsh_frame_cursor_free(&cursor);
        return {frames, error};
    }

    std::unique_ptr<hybtest::MachOLoader> m_loader;
    crsh_image_list m_list{};
};

std::vector<std::uint64_t> pcsOf(const std::vector<crsh_thread_state>& frames)
{
    std::vector<std::uint64_t> pcs;
    for (const crsh_thread_state& frame : frames)
        pcs.push_back(reg(frame, CRSH_REG_IP));
    return pcs;
}

TEST_F(FixtureWalk, ThroughDwarfFramelessAndFrameBasedFunctionsToAZeroFrame)
{
    // cfi_only (DWARF: CFA = sp + 32, x25 at CFA - 24) was called by callee (frameless, its lr is gone), whose
    // caller's record is at slot 8: framed_one (saves x19, x20), called by framed_two (x19 to x22), called from
    // the outermost frame whose record holds a zero frame pointer.
    FakeStack stack(32);
    stack[1] = 0x2525;
    stack.record(8, stack.address(14), function("_framed_one") + 0x10);
    stack[12] = 0x120;
    stack[13] = 0x119;
    stack.record(14, stack.address(20), function("_framed_two") + 0x14);
    for (std::size_t i = 0; i < 4; ++i)
        stack[16 + i] = 0x222 - i; // x22, x21, x20, x19
    stack.record(20, 0, function("_framed_one") + 0x20);

    const crsh_thread_state initial = arm64State({{CRSH_REG_IP, function("_cfi_only") + 8},
                                                  {CRSH_REG_SP, stack.address(0)},
                                                  {CRSH_REG_FP, stack.address(8)},
                                                  {CRSH_ARM64_LR, function("_callee") + 4},
                                                  {crsh_arm64_x(25), 0xBAD},
                                                  {crsh_arm64_x(0), 0xA0}});
    const auto [frames, error] = walk(initial);
    EXPECT_EQ(pcsOf(frames), (std::vector<std::uint64_t>{function("_cfi_only") + 8, function("_callee") + 4,
                                                         function("_framed_one") + 0x10,
                                                         function("_framed_two") + 0x14,
                                                         function("_framed_one") + 0x20}));
    EXPECT_EQ(error, CRSH_FRAME_ERR_NO_FRAME);
    ASSERT_EQ(frames.size(), 5u);

    EXPECT_EQ(reg(frames[0], crsh_arm64_x(0)), 0xA0u); // the first frame is the initial state
    // By the DWARF description: sp past the 32-byte frame, x25 restored.
    EXPECT_EQ(reg(frames[1], CRSH_REG_SP), stack.address(4));
    EXPECT_EQ(reg(frames[1], crsh_arm64_x(25)), 0x2525u);
    EXPECT_FALSE(crsh_thread_state_has_reg(&frames[1], crsh_arm64_x(0)));
    // By the frame-pointer chain: only pc and fp.
    EXPECT_EQ(frames[2].valid_regs, (std::uint64_t{1} << CRSH_REG_IP) | (std::uint64_t{1} << CRSH_REG_FP));
    // By the compact encodings.
    EXPECT_EQ(reg(frames[3], CRSH_REG_SP), stack.address(16));
    EXPECT_EQ(reg(frames[3], crsh_arm64_x(20)), 0x120u);
    EXPECT_EQ(reg(frames[3], crsh_arm64_x(19)), 0x119u);
    EXPECT_EQ(reg(frames[4], crsh_arm64_x(22)), 0x222u);
    EXPECT_EQ(reg(frames[4], crsh_arm64_x(19)), 0x21Fu);
    EXPECT_EQ(reg(frames[4], CRSH_REG_FP), 0u);
}

TEST_F(FixtureWalk, FromAFramelessLeaf)
{
    FakeStack stack(16);
    stack.record(4, 0, function("_framed_one") + 0x20);
    const crsh_thread_state initial = arm64State({{CRSH_REG_IP, function("_leaf") + 4},
                                                  {CRSH_REG_SP, stack.address(0)},
                                                  {CRSH_REG_FP, stack.address(4)},
                                                  {CRSH_ARM64_LR, function("_framed_two") + 0x14}});
    const auto [frames, error] = walk(initial);
    EXPECT_EQ(pcsOf(frames), (std::vector<std::uint64_t>{function("_leaf") + 4, function("_framed_two") + 0x14,
                                                         function("_framed_one") + 0x20}));
    EXPECT_EQ(error, CRSH_FRAME_ERR_NO_FRAME);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(reg(frames[1], CRSH_REG_SP), stack.address(0)); // a frameless leaf with no stack
}

TEST_F(FixtureWalk, PcsOutsideEveryImageFollowTheFramePointerChain)
{
    FakeStack stack(16);
    stack.record(4, stack.address(10), 0x7F0000001000);
    stack.record(10, 0, 0x7F0000002000);
    const auto [frames, error] =
        walk(arm64State({{CRSH_REG_IP, 0x7F0000000000}, {CRSH_REG_FP, stack.address(4)}}));
    EXPECT_EQ(pcsOf(frames), (std::vector<std::uint64_t>{0x7F0000000000, 0x7F0000001000, 0x7F0000002000}));
    EXPECT_EQ(error, CRSH_FRAME_ERR_NO_FRAME);
}

} // namespace
