#include "crashreporter/crsh_dwarf_unwind.h"

#include "MachOBuilder.h"
#include "UnwindSupport.h"
#include "support/MachOLoader.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using crashtest::arm64State;
using crashtest::Bytes;
using crashtest::FakeStack;
using crashtest::MappedBytes;
using crashtest::reg;

constexpr std::uint32_t kLR = 30, kFP = 29, kSP = 31;

crsh_dwarf_cie_info arm64CIE()
{
    crsh_dwarf_cie_info cie{};
    cie.cie_version = 1;
    cie.code_alignment_factor = 4;
    cie.data_alignment_factor = -8;
    cie.return_address_register = kLR;
    return cie;
}

// Runs instructions on the state; the location starts at 0x1000 and advances count instructions (×4).
crsh_error_t run(crsh_dwarf_cfa_state* state, const Bytes& instructions, std::optional<std::uint64_t> target = {},
                 const crsh_dwarf_cie_info& cie = arm64CIE(), std::uint64_t location = 0x1000)
{
    const MappedBytes bytes(instructions);
    const std::uint64_t targetValue = target.value_or(0);
    return crsh_dwarf_cfa_eval_program<std::uint64_t>(state, bytes.mobj(), target ? &targetValue : nullptr, location,
                                                      &cie, nullptr, &crsh_async_byteorder_direct, bytes.address(), 0,
                                                      instructions.size());
}

crsh_dwarf_rule ruleOf(const crsh_dwarf_cfa_state& state, std::uint32_t regnum)
{
    crsh_dwarf_rule rule{};
    EXPECT_TRUE(crsh_dwarf_cfa_state_get_rule(&state, regnum, &rule)) << regnum;
    return rule;
}

bool hasRule(const crsh_dwarf_cfa_state& state, std::uint32_t regnum)
{
    crsh_dwarf_rule rule;
    return crsh_dwarf_cfa_state_get_rule(&state, regnum, &rule);
}

TEST(CrashDwarfRuleState, PoolLevelsAndIterationOrder)
{
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).type, CRSH_DWARF_CFA_UNDEFINED);
    for (std::uint32_t r = 0; r < 100; ++r)
        ASSERT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, 1000 - r, CRSH_DWARF_RULE_OFFSET, r));
    EXPECT_FALSE(crsh_dwarf_cfa_state_set_rule(&state, 5, CRSH_DWARF_RULE_OFFSET, 0)); // the pool is full
    EXPECT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, 1000, CRSH_DWARF_RULE_SAME_VALUE, 0)); // replacing still works
    EXPECT_EQ(crsh_dwarf_cfa_state_rule_count(&state), 100u);
    EXPECT_FALSE(crsh_dwarf_cfa_state_push(&state)); // no room for a copy
    crsh_dwarf_cfa_state_remove_rule(&state, 999);
    EXPECT_FALSE(hasRule(state, 999));
    EXPECT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, 5, CRSH_DWARF_RULE_OFFSET, 0));

    // Bucket by bucket (register mod 14), each chain in insertion order.
    crsh_dwarf_cfa_state_init(&state);
    for (std::uint32_t r : {15u, 1u, 14u, 29u, 0u})
        ASSERT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, r, CRSH_DWARF_RULE_OFFSET, r));
    std::vector<std::uint32_t> order;
    crsh_dwarf_cfa_state_iterator iterator;
    crsh_dwarf_cfa_state_iterator_init(&iterator, &state);
    crsh_dwarf_rule rule;
    while (crsh_dwarf_cfa_state_iterator_next(&iterator, &rule))
        order.push_back(rule.regnum);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{14, 0, 15, 1, 29}));

    // Levels: a copy is pushed, changes are dropped by the pop.
    crsh_dwarf_cfa_state_set_cfa_register(&state, kSP, 16);
    EXPECT_FALSE(crsh_dwarf_cfa_state_pop(&state));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(crsh_dwarf_cfa_state_push(&state)) << i;
    EXPECT_FALSE(crsh_dwarf_cfa_state_push(&state));
    EXPECT_EQ(ruleOf(state, 29).value, 29u);
    crsh_dwarf_cfa_state_remove_rule(&state, 29);
    crsh_dwarf_cfa_state_set_cfa_register_signed(&state, kFP, -8);
    EXPECT_TRUE(crsh_dwarf_cfa_state_pop(&state));
    EXPECT_EQ(ruleOf(state, 29).value, 29u);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).type, CRSH_DWARF_CFA_REGISTER);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(crsh_dwarf_cfa_state_pop(&state));
    EXPECT_FALSE(crsh_dwarf_cfa_state_pop(&state));
    // Every entry came back: the pool holds 100 again.
    for (std::uint32_t r = 100; r < 195; ++r)
        ASSERT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, r, CRSH_DWARF_RULE_OFFSET, 0)) << r;
    EXPECT_FALSE(crsh_dwarf_cfa_state_set_rule(&state, 195, CRSH_DWARF_RULE_OFFSET, 0));
}

TEST(CrashDwarfProgram, RuleInstructions)
{
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    Bytes program;
    program.u8(0x0C).uleb(kSP).uleb(32);                  // def_cfa sp + 32
    program.u8(0x80 | kLR).uleb(1);                       // offset lr: CFA - 8
    program.u8(0x05).uleb(kFP).uleb(2);                   // offset_extended fp: CFA - 16
    program.u8(0x11).uleb(19).sleb(1);                    // offset_extended_sf x19: CFA + (1 × -8)
    program.u8(0x14).uleb(20).uleb(3);                    // val_offset x20: CFA - 24
    program.u8(0x15).uleb(21).sleb(-1);                   // val_offset_sf x21: CFA + 8
    program.u8(0x08).uleb(22);                            // same_value x22
    program.u8(0x09).uleb(23).uleb(24);                   // register x23 = x24
    program.u8(0x07).uleb(22);                            // undefined x22
    program.u8(0x00);                                     // nop
    ASSERT_EQ(run(&state, program), CRSH_ERR_NONE);
    const crsh_dwarf_cfa_rule cfa = crsh_dwarf_cfa_state_get_cfa(&state);
    EXPECT_EQ(cfa.type, CRSH_DWARF_CFA_REGISTER);
    EXPECT_EQ(cfa.regnum, kSP);
    EXPECT_EQ(cfa.value, 32u);
    EXPECT_EQ(ruleOf(state, kLR).type, CRSH_DWARF_RULE_OFFSET);
    EXPECT_EQ(static_cast<std::int64_t>(ruleOf(state, kLR).value), -8);
    EXPECT_EQ(static_cast<std::int64_t>(ruleOf(state, kFP).value), -16);
    EXPECT_EQ(static_cast<std::int64_t>(ruleOf(state, 19).value), -8);
    EXPECT_EQ(ruleOf(state, 20).type, CRSH_DWARF_RULE_VAL_OFFSET);
    EXPECT_EQ(static_cast<std::int64_t>(ruleOf(state, 20).value), -24);
    EXPECT_EQ(static_cast<std::int64_t>(ruleOf(state, 21).value), 8);
    EXPECT_FALSE(hasRule(state, 22));
    EXPECT_EQ(ruleOf(state, 23).type, CRSH_DWARF_RULE_REGISTER);
    EXPECT_EQ(ruleOf(state, 23).value, 24u);

    Bytes signedCFA;
    signedCFA.u8(0x12).uleb(kFP).sleb(-2);   // def_cfa_sf fp + 16
    signedCFA.u8(0x0D).uleb(kSP);            // def_cfa_register sp, keeping the signed offset
    ASSERT_EQ(run(&state, signedCFA), CRSH_ERR_NONE);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).type, CRSH_DWARF_CFA_REGISTER_SIGNED);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).regnum, kSP);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).value, 16u);
    Bytes offsetSf;
    offsetSf.u8(0x13).sleb(1); // def_cfa_offset_sf: sp - 8
    ASSERT_EQ(run(&state, offsetSf), CRSH_ERR_NONE);
    EXPECT_EQ(static_cast<std::int64_t>(crsh_dwarf_cfa_state_get_cfa(&state).value), -8);
}

TEST(CrashDwarfProgram, ExpressionsAreRecordedByTheirTaskAddress)
{
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    Bytes program;
    program.u8(0x0F).uleb(2).u8(0x92).u8(0x1F);          // def_cfa_expression [bregx 31 ...]
    program.u8(0x10).uleb(19).uleb(1).u8(0x96);          // expression x19 [nop]
    program.u8(0x16).uleb(20).uleb(1).u8(0x96);          // val_expression x20 [nop]
    const MappedBytes bytes(program);
    const crsh_dwarf_cie_info cie = arm64CIE();
    ASSERT_EQ(crsh_dwarf_cfa_eval_program<std::uint64_t>(&state, bytes.mobj(), nullptr, 0, &cie, nullptr,
                                                         &crsh_async_byteorder_direct, bytes.address(), 0,
                                                         program.size()),
              CRSH_ERR_NONE);
    const crsh_dwarf_cfa_rule cfa = crsh_dwarf_cfa_state_get_cfa(&state);
    EXPECT_EQ(cfa.type, CRSH_DWARF_CFA_EXPRESSION);
    EXPECT_EQ(cfa.value, bytes.address(2));
    EXPECT_EQ(cfa.length, 2u);
    EXPECT_EQ(ruleOf(state, 19).type, CRSH_DWARF_RULE_EXPRESSION);
    EXPECT_EQ(ruleOf(state, 19).value, bytes.address(6)); // its length field
    EXPECT_EQ(ruleOf(state, 20).type, CRSH_DWARF_RULE_VAL_EXPRESSION);
    EXPECT_EQ(ruleOf(state, 20).value, bytes.address(10));

    // CFA changes that need a register-based CFA.
    for (const Bytes& change : {Bytes().u8(0x0D).uleb(kSP), Bytes().u8(0x0E).uleb(8), Bytes().u8(0x13).sleb(1)}) {
        EXPECT_EQ(run(&state, change), CRSH_ERR_INVALID_ARGUMENT);
        crsh_dwarf_cfa_state undefined;
        crsh_dwarf_cfa_state_init(&undefined);
        EXPECT_EQ(run(&undefined, change), CRSH_ERR_INVALID_ARGUMENT);
    }

    // A block whose end lies outside the stream is not skipped: its bytes run as instructions.
    crsh_dwarf_cfa_state_init(&state);
    ASSERT_EQ(run(&state, Bytes().u8(0x0F).uleb(5).u8(0x0C).uleb(kSP).uleb(16)), CRSH_ERR_NONE);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).type, CRSH_DWARF_CFA_REGISTER);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).value, 16u);
}

TEST(CrashDwarfProgram, MoreThanAHundredRulesIsNoMemory)
{
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    Bytes program;
    for (std::uint32_t r = 0; r < 100; ++r)
        program.u8(0x05).uleb(r).uleb(1);
    ASSERT_EQ(run(&state, program), CRSH_ERR_NONE);
    crsh_dwarf_cfa_state_init(&state);
    program.u8(0x05).uleb(100).uleb(1);
    EXPECT_EQ(run(&state, program), CRSH_ERR_NO_MEMORY);
    EXPECT_STREQ(crsh_strerror(CRSH_ERR_NO_MEMORY), "No memory available");
}

TEST(CrashDwarfProgram, RememberAndRestoreState)
{
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    Bytes five;
    for (int i = 0; i < 5; ++i)
        five.u8(0x0A);
    EXPECT_EQ(run(&state, five), CRSH_ERR_NONE);
    crsh_dwarf_cfa_state_init(&state);
    EXPECT_EQ(run(&state, Bytes(five).u8(0x0A)), CRSH_ERR_NO_MEMORY); // a sixth level
    crsh_dwarf_cfa_state_init(&state);
    EXPECT_EQ(run(&state, Bytes().u8(0x0B)), CRSH_ERR_INVALID_ARGUMENT);

    // def_cfa_offset after remember_state changes the CFA set before it; restore_state brings it back.
    crsh_dwarf_cfa_state_init(&state);
    Bytes program;
    program.u8(0x0C).uleb(kSP).uleb(16).u8(0x80 | kFP).uleb(2).u8(0x0A).u8(0x0E).uleb(48).u8(0x07).uleb(kFP);
    ASSERT_EQ(run(&state, program), CRSH_ERR_NONE);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).value, 48u);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).regnum, kSP);
    EXPECT_FALSE(hasRule(state, kFP));
    ASSERT_EQ(run(&state, Bytes().u8(0x0B)), CRSH_ERR_NONE);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).value, 16u);
    EXPECT_TRUE(hasRule(state, kFP));
}

TEST(CrashDwarfProgram, InstructionsRunUpToTheTarget)
{
    // At 0x1000: CFA sp+0; at 0x1004: sp+16; at 0x1008: sp+32 (code alignment 4).
    Bytes program;
    program.u8(0x0C).uleb(kSP).uleb(0).u8(0x41).u8(0x0E).uleb(16).u8(0x41).u8(0x0E).uleb(32);
    struct Case {
        std::uint64_t target;
        std::uint64_t offset;
    };
    for (const Case& c : {Case{0x1000, 0}, Case{0x1003, 0}, Case{0x1004, 16}, Case{0x1007, 16}, Case{0x1008, 32},
                          Case{0x2000, 32}}) {
        crsh_dwarf_cfa_state state;
        crsh_dwarf_cfa_state_init(&state);
        ASSERT_EQ(run(&state, program, c.target), CRSH_ERR_NONE);
        EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).value, c.offset) << std::hex << c.target;
    }
    // A block starting past the target runs nothing.
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    ASSERT_EQ(run(&state, program, 0xFFF), CRSH_ERR_NONE);
    EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).type, CRSH_DWARF_CFA_UNDEFINED);

    // The wider advances and set_loc, with their operands in the image's byte order.
    Bytes wide;
    wide.u8(0x0C).uleb(kSP).uleb(0).u8(0x02).u8(1).u8(0x0E).uleb(8).u8(0x03).u16(1).u8(0x0E).uleb(16);
    wide.u8(0x04).u32(1).u8(0x0E).uleb(24).u8(0x01).u64(0x1100).u8(0x0E).uleb(32);
    for (const Case& c : {Case{0x1003, 0}, Case{0x1004, 8}, Case{0x1008, 16}, Case{0x100C, 24}, Case{0x10FF, 24},
                          Case{0x1100, 32}}) {
        crsh_dwarf_cfa_state_init(&state);
        ASSERT_EQ(run(&state, wide, c.target), CRSH_ERR_NONE);
        EXPECT_EQ(crsh_dwarf_cfa_state_get_cfa(&state).value, c.offset) << std::hex << c.target;
    }
    crsh_dwarf_cie_info segmented = arm64CIE();
    segmented.segment_size = 4;
    crsh_dwarf_cfa_state_init(&state);
    EXPECT_EQ(run(&state, Bytes().u8(0x01).u64(0x1100), {}, segmented), CRSH_ERR_NOT_SUPPORTED);
    crsh_dwarf_cfa_state_init(&state);
    EXPECT_EQ(run(&state, Bytes().u8(0x01).u32(0x1100)), CRSH_ERR_INVALID_ARGUMENT);
}

TEST(CrashDwarfProgram, RestoreTakesTheRuleTheBlockStartedWith)
{
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    ASSERT_EQ(run(&state, Bytes().u8(0x0C).uleb(kSP).uleb(0).u8(0x80 | kFP).uleb(2)), CRSH_ERR_NONE); // the CIE's
    Bytes fde;
    fde.u8(0x80 | kFP).uleb(4).u8(0x80 | 19).uleb(1).u8(0x05).uleb(40).uleb(1);
    fde.u8(0xC0 | kFP).u8(0x06).uleb(19).u8(0x06).uleb(40);
    ASSERT_EQ(run(&state, fde), CRSH_ERR_NONE);
    EXPECT_EQ(static_cast<std::int64_t>(ruleOf(state, kFP).value), -16);
    EXPECT_FALSE(hasRule(state, 19)); // no initial rule: none after restore
    EXPECT_FALSE(hasRule(state, 40));
}

TEST(CrashDwarfProgram, BadInstructions)
{
    struct Case {
        const char* what;
        Bytes program;
        crsh_error_t error;
    };
    const Case cases[] = {
        {"opcode 0x17", Bytes().u8(0x17), CRSH_ERR_NOT_SUPPORTED},
        {"vendor 0x2E", Bytes().u8(0x2E).uleb(8), CRSH_ERR_NOT_SUPPORTED},
        {"vendor 0x2F", Bytes().u8(0x2F).uleb(8), CRSH_ERR_NOT_SUPPORTED},
        {"opcode 0x3F", Bytes().u8(0x3F), CRSH_ERR_NOT_SUPPORTED},
        {"def_cfa without operands", Bytes().u8(0x0C), CRSH_ERR_INVALID_ARGUMENT},
        {"def_cfa without offset", Bytes().u8(0x0C).uleb(kSP), CRSH_ERR_INVALID_ARGUMENT},
        {"unterminated ULEB", Bytes().u8(0x07).u8(0x80), CRSH_ERR_INVALID_ARGUMENT},
        {"short advance_loc2", Bytes().u8(0x03).u8(1), CRSH_ERR_INVALID_ARGUMENT},
        {"short advance_loc4", Bytes().u8(0x04).u16(1), CRSH_ERR_INVALID_ARGUMENT},
        {"short advance_loc1", Bytes().u8(0x02), CRSH_ERR_INVALID_ARGUMENT},
        {"offset without its ULEB", Bytes().u8(0x80 | 3), CRSH_ERR_INVALID_ARGUMENT},
        {"register above 32 bits", Bytes().u8(0x07).uleb(std::uint64_t{1} << 32), CRSH_ERR_NOT_SUPPORTED},
        {"second register above 32 bits", Bytes().u8(0x09).uleb(1).uleb(std::uint64_t{1} << 33),
         CRSH_ERR_NOT_SUPPORTED},
        {"ULEB past 64 bits", Bytes().u8(0x0E).raw(std::vector<std::uint8_t>(10, 0xFF)).u8(0x01),
         CRSH_ERR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        crsh_dwarf_cfa_state state;
        crsh_dwarf_cfa_state_init(&state);
        crsh_dwarf_cfa_state_set_cfa_register(&state, kSP, 0);
        EXPECT_EQ(run(&state, c.program), c.error) << c.what;
    }

    // The stream must lie inside the memory object.
    const MappedBytes bytes(Bytes().u8(0));
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    const crsh_dwarf_cie_info cie = arm64CIE();
    EXPECT_EQ(crsh_dwarf_cfa_eval_program<std::uint64_t>(&state, bytes.mobj(), nullptr, 0, &cie, nullptr,
                                                         &crsh_async_byteorder_direct, bytes.address(), 0, 2),
              CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_dwarf_cfa_eval_program<std::uint64_t>(&state, bytes.mobj(), nullptr, 0, &cie, nullptr,
                                                         &crsh_async_byteorder_direct, bytes.address(),
                                                         ~std::uint64_t{0}, 1),
              CRSH_ERR_INVALID_ARGUMENT);
}

TEST(CrashDwarfOpstream, RangesAreChecked)
{
    const MappedBytes bytes(Bytes().u32(0x01020304));
    crsh_dwarf_opstream stream;
    EXPECT_EQ(crsh_dwarf_opstream_init(&stream, bytes.mobj(), &crsh_async_byteorder_direct, bytes.address(), 0, 4),
              CRSH_ERR_NONE);
    std::uint32_t word;
    EXPECT_TRUE(stream.read_uint32(&word));
    EXPECT_EQ(word, 0x01020304u);
    EXPECT_FALSE(stream.read_uint32(&word));
    EXPECT_FALSE(stream.skip(1));
    EXPECT_TRUE(stream.skip(-4));
    EXPECT_FALSE(stream.skip(-1));
    EXPECT_EQ(crsh_dwarf_opstream_init(&stream, bytes.mobj(), &crsh_async_byteorder_swapped, bytes.address(), 0, 4),
              CRSH_ERR_NONE);
    EXPECT_TRUE(stream.read_uint32(&word));
    EXPECT_EQ(word, 0x04030201u);

    const crsh_async_mobject* mobj = bytes.mobj();
    const crsh_async_byteorder* order = &crsh_async_byteorder_direct;
    EXPECT_EQ(crsh_dwarf_opstream_init(&stream, mobj, order, bytes.address(), 0, 5), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_dwarf_opstream_init(&stream, mobj, order, bytes.address(), 1, -1), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_dwarf_opstream_init(&stream, mobj, order, bytes.address(), -1, 2), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_dwarf_opstream_init(&stream, mobj, order, ~std::uint64_t{0}, 2, 1), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_dwarf_opstream_init(&stream, mobj, order, bytes.address(), INT64_MAX, 2), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_dwarf_opstream_init(&stream, nullptr, order, bytes.address(), 0, 0), CRSH_ERR_NONE);
    EXPECT_EQ(stream.remaining(), 0u);
}

// Runs an expression on an arm64 state with sp and x19 held.
template <typename machine_ptr = std::uint64_t>
std::pair<crsh_error_t, machine_ptr> eval(const Bytes& expression, const std::vector<machine_ptr>& initial = {},
                                          const crsh_thread_state* state = nullptr)
{
    const crsh_thread_state fallback = arm64State({{CRSH_REG_SP, 0x8000}, {crsh_arm64_x(19), 0x190}});
    const MappedBytes bytes(expression);
    machine_ptr result = 0;
    const crsh_error_t error = crsh_dwarf_expression_eval<machine_ptr>(
        bytes.mobj(), getpid(), state != nullptr ? state : &fallback, &crsh_async_byteorder_direct, bytes.address(), 0,
        static_cast<crsh_vm_off_t>(expression.size()), initial.data(), initial.size(), &result);
    return {error, result};
}

constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

TEST(CrashDwarfExpression, ValuesArithmeticAndComparisons)
{
    struct Case {
        const char* what;
        Bytes expression;
        std::uint64_t result;
    };
    const Case cases[] = {
        {"lit31", Bytes().u8(0x4F), 31},
        {"const1u", Bytes().u8(0x08).u8(0xFF), 0xFF},
        {"const1s", Bytes().u8(0x09).u8(0xFF), kAllOnes},
        {"const2s", Bytes().u8(0x0B).u16(0x8000), 0xFFFFFFFFFFFF8000},
        {"const4u", Bytes().u8(0x0C).u32(0x80000000), 0x80000000},
        {"const4s", Bytes().u8(0x0D).u32(0x80000000), 0xFFFFFFFF80000000},
        {"const8u", Bytes().u8(0x0E).u64(0x0123456789ABCDEF), 0x0123456789ABCDEF},
        {"constu", Bytes().u8(0x10).uleb(300), 300},
        {"consts", Bytes().u8(0x11).sleb(-300), static_cast<std::uint64_t>(-300)},
        {"minus", Bytes().u8(0x35).u8(0x33).u8(0x1C), 2},
        {"div", Bytes().u8(0x10).uleb(100).u8(0x37).u8(0x1B), 14},
        {"div is unsigned", Bytes().u8(0x09).u8(0xFE).u8(0x32).u8(0x1B), kAllOnes / 2},
        {"mod", Bytes().u8(0x10).uleb(100).u8(0x37).u8(0x1D), 2},
        {"mul", Bytes().u8(0x36).u8(0x37).u8(0x1E), 42},
        {"abs", Bytes().u8(0x09).u8(0xF6).u8(0x19), 10},
        {"neg", Bytes().u8(0x3A).u8(0x1F), static_cast<std::uint64_t>(-10)},
        {"not", Bytes().u8(0x30).u8(0x20), kAllOnes},
        {"and or xor", Bytes().u8(0x3C).u8(0x3A).u8(0x1A).u8(0x31).u8(0x21).u8(0x3F).u8(0x27), 6},
        {"plus_uconst", Bytes().u8(0x31).u8(0x23).uleb(1000), 1001},
        {"shl", Bytes().u8(0x31).u8(0x34).u8(0x24), 16},
        {"shl past the width", Bytes().u8(0x31).u8(0x10).uleb(64).u8(0x24), 0},
        {"shr", Bytes().u8(0x09).u8(0x80).u8(0x10).uleb(60).u8(0x25), 0xF},
        {"shra", Bytes().u8(0x09).u8(0x80).u8(0x31).u8(0x26), 0xFFFFFFFFFFFFFFC0},
        {"shra past the width", Bytes().u8(0x09).u8(0x80).u8(0x10).uleb(99).u8(0x26), kAllOnes},
        {"eq", Bytes().u8(0x33).u8(0x33).u8(0x29), 1},
        {"ge unsigned", Bytes().u8(0x09).u8(0xFF).u8(0x31).u8(0x2A), 1},
        {"gt", Bytes().u8(0x31).u8(0x32).u8(0x2B), 0},
        {"le", Bytes().u8(0x31).u8(0x32).u8(0x2C), 1},
        {"lt", Bytes().u8(0x32).u8(0x31).u8(0x2D), 0},
        {"ne", Bytes().u8(0x32).u8(0x31).u8(0x2E), 1},
        {"dup plus", Bytes().u8(0x35).u8(0x12).u8(0x22), 10},
        {"drop", Bytes().u8(0x35).u8(0x36).u8(0x13), 5},
        {"over", Bytes().u8(0x35).u8(0x36).u8(0x14), 5},
        {"pick 2", Bytes().u8(0x35).u8(0x36).u8(0x37).u8(0x15).u8(2), 5},
        {"swap", Bytes().u8(0x35).u8(0x36).u8(0x16).u8(0x1C), 1},
        {"rot", Bytes().u8(0x31).u8(0x32).u8(0x33).u8(0x17).u8(0x13).u8(0x13), 3}, // 1 2 3 -> 3 1 2
        {"breg31", Bytes().u8(0x8F).sleb(-16), 0x8000 - 16},
        {"bregx 19", Bytes().u8(0x92).uleb(19).sleb(1), 0x191},
        {"skip", Bytes().u8(0x31).u8(0x2F).u16(1).u8(0x32), 1},
        {"bra taken", Bytes().u8(0x31).u8(0x31).u8(0x28).u16(1).u8(0x32), 1},
        {"bra not taken", Bytes().u8(0x31).u8(0x30).u8(0x28).u16(1).u8(0x32), 2},
        {"bra back", Bytes().u8(0x33).u8(0x31).u8(0x1C).u8(0x12).u8(0x28).u16(static_cast<std::uint16_t>(-6)), 0},
        {"nop", Bytes().u8(0x96).u8(0x34).u8(0x96), 4},
    };
    for (const Case& c : cases) {
        const auto [error, value] = eval(c.expression);
        EXPECT_EQ(error, CRSH_ERR_NONE) << c.what;
        EXPECT_EQ(value, c.result) << c.what;
    }

    // Initial values come first, the last on top; the 32-bit family works in 32 bits.
    EXPECT_EQ(eval(Bytes().u8(0x1C), {10, 3}).second, 7u);
    EXPECT_EQ(eval(Bytes(), {9}).second, 9u);
    EXPECT_EQ(eval<std::uint32_t>(Bytes().u8(0x0C).u32(0xFFFFFFFF).u8(0x31).u8(0x22)).second, 0u);
    EXPECT_EQ(eval<std::uint32_t>(Bytes().u8(0x09).u8(0xFF)).second, 0xFFFFFFFFu);
}

TEST(CrashDwarfExpression, MemoryReads)
{
    FakeStack stack(4);
    stack[0] = 0x1122334455667788;
    const Bytes address = Bytes().u8(0x0E).u64(stack.address(0));
    EXPECT_EQ(eval(Bytes(address).u8(0x06)).second, 0x1122334455667788u);
    EXPECT_EQ(eval(Bytes(address).u8(0x94).u8(1)).second, 0x88u);
    EXPECT_EQ(eval(Bytes(address).u8(0x94).u8(2)).second, 0x7788u);
    EXPECT_EQ(eval(Bytes(address).u8(0x94).u8(4)).second, 0x55667788u);
    EXPECT_EQ(eval(Bytes(address).u8(0x94).u8(8)).second, 0x1122334455667788u);
    EXPECT_EQ(eval(Bytes().u8(0x30).raw(address.data()).u8(0x18)).second, 0x1122334455667788u);
    EXPECT_EQ(eval(Bytes().u8(0x30).raw(address.data()).u8(0x95).u8(2)).second, 0x7788u);
    EXPECT_EQ(eval(Bytes(address).u8(0x94).u8(3)).first, CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(eval(Bytes(address).u8(0x94)).first, CRSH_ERR_INVALID_ARGUMENT);

    // Unmapped memory is an error code, never a fault.
    const crashtest::PlacedBytes placed(std::vector<std::uint8_t>(8, 0), true);
    const Bytes unmapped = Bytes().u8(0x0E).u64(placed.address() + 8);
    EXPECT_EQ(eval(Bytes(unmapped).u8(0x06)).first, CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(eval(Bytes(unmapped).u8(0x94).u8(1)).first, CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(eval(Bytes().u8(0x30).u8(0x06)).first, CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(eval(Bytes().u8(0x0E).u64(kAllOnes - 3).u8(0x06)).first, CRSH_ERR_NOT_FOUND); // wraps
}

TEST(CrashDwarfExpression, FaultsAndUnsupportedOperations)
{
    struct Case {
        const char* what;
        Bytes expression;
        crsh_error_t error;
    };
    const Case cases[] = {
        {"div by zero", Bytes().u8(0x31).u8(0x30).u8(0x1B), CRSH_ERR_INVALID_ARGUMENT},
        {"mod by zero", Bytes().u8(0x31).u8(0x30).u8(0x1D), CRSH_ERR_INVALID_ARGUMENT},
        {"reg5", Bytes().u8(0x55), CRSH_ERR_NOT_SUPPORTED},
        {"reg0", Bytes().u8(0x50), CRSH_ERR_NOT_SUPPORTED},
        {"reg31", Bytes().u8(0x6F), CRSH_ERR_NOT_SUPPORTED},
        {"regx", Bytes().u8(0x90).uleb(1), CRSH_ERR_NOT_SUPPORTED},
        {"fbreg", Bytes().u8(0x91).sleb(1), CRSH_ERR_NOT_SUPPORTED},
        {"piece", Bytes().u8(0x31).u8(0x93).uleb(8), CRSH_ERR_NOT_SUPPORTED},
        {"addr", Bytes().u8(0x03).u64(0), CRSH_ERR_NOT_SUPPORTED},
        {"opcode 0", Bytes().u8(0x00), CRSH_ERR_NOT_SUPPORTED},
        {"opcode 7", Bytes().u8(0x31).u8(0x07), CRSH_ERR_NOT_SUPPORTED},
        {"above nop", Bytes().u8(0x97), CRSH_ERR_NOT_SUPPORTED},
        {"vendor", Bytes().u8(0xE0), CRSH_ERR_NOT_SUPPORTED},
        {"empty stack at the end", Bytes().u8(0x31).u8(0x13), CRSH_ERR_INVALID_ARGUMENT},
        {"empty expression", Bytes(), CRSH_ERR_INVALID_ARGUMENT},
        {"plus on one value", Bytes().u8(0x31).u8(0x22), CRSH_ERR_INTERNAL},
        {"neg on none", Bytes().u8(0x1F), CRSH_ERR_INTERNAL},
        {"bra on none", Bytes().u8(0x28).u16(0), CRSH_ERR_INTERNAL},
        {"eq on one", Bytes().u8(0x31).u8(0x29), CRSH_ERR_INTERNAL},
        {"drop on none", Bytes().u8(0x13), CRSH_ERR_INVALID_ARGUMENT},
        {"dup on none", Bytes().u8(0x12), CRSH_ERR_INVALID_ARGUMENT},
        {"over on one", Bytes().u8(0x31).u8(0x14), CRSH_ERR_INVALID_ARGUMENT},
        {"swap on one", Bytes().u8(0x31).u8(0x16), CRSH_ERR_INVALID_ARGUMENT},
        {"rot on two", Bytes().u8(0x31).u8(0x31).u8(0x17), CRSH_ERR_INVALID_ARGUMENT},
        {"xderef on one", Bytes().u8(0x31).u8(0x18), CRSH_ERR_INVALID_ARGUMENT},
        {"xderef_size on one", Bytes().u8(0x31).u8(0x95).u8(4), CRSH_ERR_INVALID_ARGUMENT},
        {"pick at the depth", Bytes().u8(0x31).u8(0x31).u8(0x15).u8(2), CRSH_ERR_INVALID_ARGUMENT},
        {"pick without index", Bytes().u8(0x31).u8(0x15), CRSH_ERR_INVALID_ARGUMENT},
        {"bra before the start", Bytes().u8(0x31).u8(0x28).u16(static_cast<std::uint16_t>(-5)), CRSH_ERR_INVALID_ARGUMENT},
        {"skip past the end", Bytes().u8(0x31).u8(0x2F).u16(1), CRSH_ERR_INVALID_ARGUMENT},
        {"skip without offset", Bytes().u8(0x31).u8(0x2F).u8(0), CRSH_ERR_INVALID_ARGUMENT},
        {"const4u cut short", Bytes().u8(0x0C).u16(1), CRSH_ERR_INVALID_ARGUMENT},
        {"breg of an unheld register", Bytes().u8(0x70).sleb(0), CRSH_ERR_NOT_FOUND},
        {"bregx without DWARF number", Bytes().u8(0x92).uleb(40).sleb(0), CRSH_ERR_NOT_SUPPORTED},
        {"bregx above 64 bits", Bytes().u8(0x92).raw(std::vector<std::uint8_t>(10, 0xFF)).u8(1).sleb(0),
         CRSH_ERR_NOT_SUPPORTED},
    };
    for (const Case& c : cases)
        EXPECT_EQ(eval(c.expression).first, c.error) << c.what;
    EXPECT_STREQ(crsh_strerror(eval(Bytes().u8(0x31).u8(0x30).u8(0x1B)).first), "Invalid argument");

    // A branch back to itself forever is cut off; a loop that ends runs to its end (1000 rounds of four
    // operations: constu 1000; again: lit1 minus dup bra again).
    EXPECT_EQ(eval(Bytes().u8(0x31).u8(0x12).u8(0x28).u16(static_cast<std::uint16_t>(-4))).first,
              CRSH_ERR_INVALID_ARGUMENT);
    const auto counted =
        eval(Bytes().u8(0x10).uleb(1000).u8(0x31).u8(0x1C).u8(0x12).u8(0x28).u16(static_cast<std::uint16_t>(-6)));
    EXPECT_EQ(counted.first, CRSH_ERR_NONE);
    EXPECT_EQ(counted.second, 0u);
    EXPECT_STREQ(crsh_strerror(eval(Bytes().u8(0x55)).first), "Operation not supported");

    // A full stack: 100 initial values fit; another push fails by the operation's group.
    const std::vector<std::uint64_t> full(100, 1);
    EXPECT_EQ(eval(Bytes().u8(0x22), full).first, CRSH_ERR_NONE);
    EXPECT_EQ(eval(Bytes().u8(0x30), full).first, CRSH_ERR_INTERNAL);
    EXPECT_EQ(eval(Bytes().u8(0x8F).sleb(0), full).first, CRSH_ERR_INTERNAL);
    EXPECT_EQ(eval(Bytes().u8(0x12), full).first, CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(eval(Bytes().u8(0x14), full).first, CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(eval(Bytes().u8(0x96), std::vector<std::uint64_t>(101, 1)).first, CRSH_ERR_INTERNAL);
}

TEST(CrashDwarfApply, SavedReturnAddressAndFramePointer)
{
    FakeStack stack(8);
    stack[2] = 0xF00D;  // fp at CFA - 16
    stack[3] = 0x7000;  // lr at CFA - 8
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    ASSERT_EQ(run(&state, Bytes().u8(0x0C).uleb(kSP).uleb(32).u8(0x80 | kLR).uleb(1).u8(0x80 | kFP).uleb(2)),
              CRSH_ERR_NONE);
    const crsh_thread_state current = arm64State({{CRSH_REG_IP, 0x5000},
                                                  {CRSH_REG_SP, stack.address(0)},
                                                  {CRSH_REG_FP, 0xAAAA},
                                                  {CRSH_ARM64_LR, 0x6000},
                                                  {crsh_arm64_x(0), 1},
                                                  {crsh_arm64_x(19), 0x19}});
    const crsh_dwarf_cie_info cie = arm64CIE();
    crsh_thread_state next;
    ASSERT_EQ(crsh_dwarf_cfa_apply<std::uint64_t>(&state, getpid(), &cie, &current, &crsh_async_byteorder_direct,
                                                  &next),
              CRSH_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x7000u);
    EXPECT_EQ(reg(next, CRSH_ARM64_LR), 0x7000u);
    EXPECT_EQ(reg(next, CRSH_REG_FP), 0xF00Du);
    EXPECT_EQ(reg(next, CRSH_REG_SP), stack.address(4));
    EXPECT_EQ(reg(next, crsh_arm64_x(19)), 0x19u);
    EXPECT_FALSE(crsh_thread_state_has_reg(&next, crsh_arm64_x(0)));

    // A leaf without a rule for lr returns to the current lr.
    crsh_dwarf_cfa_state leaf;
    crsh_dwarf_cfa_state_init(&leaf);
    crsh_dwarf_cfa_state_set_cfa_register(&leaf, kSP, 0);
    ASSERT_EQ(crsh_dwarf_cfa_apply<std::uint64_t>(&leaf, getpid(), &cie, &current, &crsh_async_byteorder_direct, &next),
              CRSH_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x6000u);
    EXPECT_EQ(reg(next, CRSH_REG_SP), stack.address(0));
    EXPECT_FALSE(crsh_thread_state_has_reg(&next, CRSH_ARM64_LR));
    crsh_thread_state noLr = current;
    crsh_thread_state_clear_reg(&noLr, CRSH_ARM64_LR);
    EXPECT_EQ(crsh_dwarf_cfa_apply<std::uint64_t>(&leaf, getpid(), &cie, &noLr, &crsh_async_byteorder_direct, &next),
              CRSH_ERR_INVALID_ARGUMENT);
}

TEST(CrashDwarfApply, EveryRuleKind)
{
    FakeStack stack(8);
    stack[3] = 0x4444;
    stack[4] = 0x4444;
    // An expression rule's block in the task: its length, then the code (CFA + 8, then deref for type 3).
    const MappedBytes expression(Bytes().uleb(2).u8(0x23).uleb(8));
    const MappedBytes cfaExpression(Bytes().u8(0x8F).sleb(16));
    const crsh_thread_state current = arm64State({{CRSH_REG_IP, 0x5000},
                                                  {CRSH_REG_SP, stack.address(0)},
                                                  {CRSH_ARM64_LR, 0x6000},
                                                  {crsh_arm64_x(1), 0x111},
                                                  {crsh_arm64_x(20), 0x20}});
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    crsh_dwarf_cfa_state_set_cfa_expression(&state, cfaExpression.address(), 2); // sp + 16
    ASSERT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, 19, CRSH_DWARF_RULE_VAL_OFFSET, static_cast<std::uint64_t>(-8)));
    ASSERT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, 21, CRSH_DWARF_RULE_REGISTER, 1));
    ASSERT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, 20, CRSH_DWARF_RULE_SAME_VALUE, 0));
    ASSERT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, 22, CRSH_DWARF_RULE_EXPRESSION, expression.address()));
    ASSERT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, 23, CRSH_DWARF_RULE_VAL_EXPRESSION, expression.address()));
    const crsh_dwarf_cie_info cie = arm64CIE();
    crsh_thread_state next;
    ASSERT_EQ(crsh_dwarf_cfa_apply<std::uint64_t>(&state, getpid(), &cie, &current, &crsh_async_byteorder_direct,
                                                  &next),
              CRSH_ERR_NONE);
    const std::uint64_t cfa = stack.address(2);
    EXPECT_EQ(reg(next, CRSH_REG_SP), cfa);
    EXPECT_EQ(reg(next, crsh_arm64_x(19)), cfa - 8);
    EXPECT_EQ(reg(next, crsh_arm64_x(21)), 0x111u);
    EXPECT_EQ(reg(next, crsh_arm64_x(20)), 0x20u);
    EXPECT_EQ(reg(next, crsh_arm64_x(22)), 0x4444u);
    EXPECT_EQ(reg(next, crsh_arm64_x(23)), cfa + 8);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x6000u);

    struct Failure {
        const char* what;
        std::uint32_t regnum;
        std::uint32_t type;
        std::uint64_t value;
        crsh_error_t error;
    };
    for (const Failure& f : {
             Failure{"no register index", 40, CRSH_DWARF_RULE_OFFSET, 0, CRSH_ERR_INVALID_ARGUMENT},
             Failure{"register rule without index", 19, CRSH_DWARF_RULE_REGISTER, 40, CRSH_ERR_INVALID_ARGUMENT},
             Failure{"register rule of an unheld register", 19, CRSH_DWARF_RULE_REGISTER, 2, CRSH_ERR_NOT_FOUND},
             Failure{"same value of an unheld register", 24, CRSH_DWARF_RULE_SAME_VALUE, 0, CRSH_ERR_NOT_FOUND},
             Failure{"unreadable offset", 19, CRSH_DWARF_RULE_OFFSET, 1ull << 62, CRSH_ERR_NOT_FOUND},
             Failure{"unknown rule type", 19, 9, 0, CRSH_ERR_INVALID_ARGUMENT},
             Failure{"unreadable expression", 19, CRSH_DWARF_RULE_EXPRESSION, 8, CRSH_ERR_NOT_FOUND},
         }) {
        crsh_dwarf_cfa_state_init(&state);
        crsh_dwarf_cfa_state_set_cfa_register(&state, kSP, 0);
        ASSERT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, f.regnum, f.type, f.value));
        EXPECT_EQ(crsh_dwarf_cfa_apply<std::uint64_t>(&state, getpid(), &cie, &current, &crsh_async_byteorder_direct,
                                                      &next),
                  f.error)
            << f.what;
    }

    // CFA rules that cannot be computed.
    crsh_dwarf_cfa_state_init(&state);
    EXPECT_EQ(crsh_dwarf_cfa_apply<std::uint64_t>(&state, getpid(), &cie, &current, &crsh_async_byteorder_direct,
                                                  &next),
              CRSH_ERR_INVALID_ARGUMENT);
    crsh_dwarf_cfa_state_set_cfa_register(&state, 40, 0);
    EXPECT_EQ(crsh_dwarf_cfa_apply<std::uint64_t>(&state, getpid(), &cie, &current, &crsh_async_byteorder_direct,
                                                  &next),
              CRSH_ERR_NOT_SUPPORTED);
    crsh_dwarf_cfa_state_set_cfa_register(&state, kFP, 0);
    EXPECT_EQ(crsh_dwarf_cfa_apply<std::uint64_t>(&state, getpid(), &cie, &current, &crsh_async_byteorder_direct,
                                                  &next),
              CRSH_ERR_NOT_FOUND);
    crsh_dwarf_cfa_state_set_cfa_expression(&state, cfaExpression.address(), 1ull << 40);
    EXPECT_EQ(crsh_dwarf_cfa_apply<std::uint64_t>(&state, getpid(), &cie, &current, &crsh_async_byteorder_direct,
                                                  &next),
              CRSH_ERR_INVALID_ARGUMENT);

    // A return-address column without a register index still gives the pc.
    crsh_dwarf_cie_info odd = arm64CIE();
    odd.return_address_register = 40;
    crsh_dwarf_cfa_state_init(&state);
    crsh_dwarf_cfa_state_set_cfa_register(&state, kSP, 0);
    ASSERT_TRUE(crsh_dwarf_cfa_state_set_rule(&state, 40, CRSH_DWARF_RULE_OFFSET, 32));
    ASSERT_EQ(crsh_dwarf_cfa_apply<std::uint64_t>(&state, getpid(), &odd, &current, &crsh_async_byteorder_direct,
                                                  &next),
              CRSH_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x4444u);
}

// A hand-made image whose __eh_frame describes the code at 0x100 to 0x200 with the given FDE instructions.
std::vector<std::uint8_t> imageWithFrameSection(const Bytes& instructions)
{
    crashtest::MachOBuilder builder;
    builder.sections.push_back({"__eh_frame", {}});
    builder.sections[0].data.resize(1); // placed at 0x800
    Bytes cie;
    cie.u32(0).u8(1).str("zR").uleb(4).sleb(-8).uleb(kLR).uleb(1).u8(0x1B); // pc-relative 4-byte pointers
    cie.u8(0x0C).uleb(kSP).uleb(0);
    crashtest::CFISection section;
    section.entry(cie);
    const std::size_t fdeContent = section.nextContent();
    Bytes fde;
    fde.u32(static_cast<std::uint32_t>(fdeContent)); // back to the CIE at 0
    const std::int64_t pcField = 0x800 + static_cast<std::int64_t>(fdeContent) + 4;
    fde.u32(static_cast<std::uint32_t>(0x100 - pcField)).u32(0x100).uleb(0).raw(instructions.data());
    section.entry(fde);
    section.terminator();
    builder.sections[0].data = section.data();
    return builder.build();
}

TEST(CrashDwarfReader, ReadsTheFrameDescriptionOfAListedImage)
{
    Bytes instructions;
    instructions.u8(0x41).u8(0x0E).uleb(16).u8(0x80 | kLR).uleb(1).u8(0x80 | kFP).uleb(2);
    auto loader = hybtest::MachOLoader::place(imageWithFrameSection(instructions), "unwind.dylib");
    ASSERT_NE(loader, nullptr);
    crsh_image_list list;
    ASSERT_EQ(crsh_image_list_init(&list, getpid()), CRSH_ERR_NONE);
    ASSERT_EQ(loader->appendTo(&list), CRSH_ERR_NONE);

    FakeStack stack(4);
    stack[0] = 0xF00D;
    stack[1] = 0x7000;
    crsh_thread_state current = arm64State({{CRSH_REG_IP, loader->addressOf(0x104)},
                                            {CRSH_REG_SP, stack.address(0)},
                                            {CRSH_ARM64_LR, 0x6000}});
    crsh_thread_state next;
    ASSERT_EQ(crsh_frame_read_dwarf_unwind(getpid(), &list, &current, nullptr, &next), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x7000u);
    EXPECT_EQ(reg(next, CRSH_REG_FP), 0xF00Du);
    EXPECT_EQ(reg(next, CRSH_REG_SP), stack.address(2));

    // Before the first advance: a leaf with its return address in lr.
    crsh_thread_state_set_reg(&current, CRSH_REG_IP, loader->addressOf(0x100));
    ASSERT_EQ(crsh_frame_read_dwarf_unwind(getpid(), &list, &current, nullptr, &next), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x6000u);
    EXPECT_EQ(reg(next, CRSH_REG_SP), stack.address(0));

    // Applying fails without the registers the rules need.
    crsh_thread_state noSp = arm64State({{CRSH_REG_IP, loader->addressOf(0x104)}});
    EXPECT_EQ(crsh_frame_read_dwarf_unwind(getpid(), &list, &noSp, nullptr, &next), CRSH_FRAME_ERR_NO_FRAME);
    // No FDE covers the pc, no image holds it, no pc at all.
    crsh_thread_state_set_reg(&current, CRSH_REG_IP, loader->addressOf(0x200));
    EXPECT_EQ(crsh_frame_read_dwarf_unwind(getpid(), &list, &current, nullptr, &next), CRSH_FRAME_ERR_NOT_SUPPORTED);
    crsh_thread_state_set_reg(&current, CRSH_REG_IP, 0x1000);
    EXPECT_EQ(crsh_frame_read_dwarf_unwind(getpid(), &list, &current, nullptr, &next), CRSH_FRAME_ERR_NOT_SUPPORTED);
    const crsh_thread_state noPc = arm64State({});
    EXPECT_EQ(crsh_frame_read_dwarf_unwind(getpid(), &list, &noPc, nullptr, &next), CRSH_FRAME_ERR_BAD_FRAME);
    crsh_image_list_free(&list);
}

TEST(CrashDwarfReader, ProgramFailuresAreNotSupported)
{
    Bytes instructions;
    for (std::uint32_t r = 0; r <= 100; ++r)
        instructions.u8(0x05).uleb(r).uleb(1);
    auto loader = hybtest::MachOLoader::place(imageWithFrameSection(instructions), "unwind.dylib");
    ASSERT_NE(loader, nullptr);
    crsh_image_list list;
    ASSERT_EQ(crsh_image_list_init(&list, getpid()), CRSH_ERR_NONE);
    ASSERT_EQ(loader->appendTo(&list), CRSH_ERR_NONE);
    FakeStack stack(4);
    crsh_thread_state current = arm64State({{CRSH_REG_IP, loader->addressOf(0x104)}, {CRSH_REG_SP, stack.address(0)}});
    crsh_thread_state next;
    EXPECT_EQ(crsh_frame_read_dwarf_unwind(getpid(), &list, &current, nullptr, &next), CRSH_FRAME_ERR_NOT_SUPPORTED);
    crsh_image_list_free(&list);

    // An image without any frame section.
    crashtest::MachOBuilder bare;
    auto plain = hybtest::MachOLoader::place(bare.build(), "bare.dylib");
    ASSERT_NE(plain, nullptr);
    ASSERT_EQ(crsh_image_list_init(&list, getpid()), CRSH_ERR_NONE);
    ASSERT_EQ(plain->appendTo(&list), CRSH_ERR_NONE);
    crsh_thread_state_set_reg(&current, CRSH_REG_IP, plain->addressOf(0x104));
    EXPECT_EQ(crsh_frame_read_dwarf_unwind(getpid(), &list, &current, nullptr, &next), CRSH_FRAME_ERR_NO_FRAME);
    crsh_image_list_free(&list);
}

} // namespace
