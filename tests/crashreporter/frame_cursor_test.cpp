#include "crashreporter/crsh_frame_cursor.h"

#include "UnwindSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using crashtest::arm64State;
using crashtest::FakeStack;
using crashtest::reg;

TEST(CrashErrors, TextsOfBothCodeSpaces)
{
    EXPECT_STREQ(crsh_frame_strerror(CRSH_FRAME_ERR_NONE), "No error");
    EXPECT_STREQ(crsh_frame_strerror(CRSH_FRAME_ERR_NO_FRAME), "No frames are available");
    EXPECT_STREQ(crsh_frame_strerror(CRSH_FRAME_ERR_BAD_FRAME), "Corrupted frame");
    EXPECT_STREQ(crsh_frame_strerror(CRSH_FRAME_ERR_BAD_REGISTER), "Invalid register");
    EXPECT_STREQ(crsh_frame_strerror(static_cast<crsh_frame_error_t>(8)), "Unhandled error code");
    EXPECT_STREQ(crsh_frame_strerror(static_cast<crsh_frame_error_t>(-1)), "Unhandled error code");
    EXPECT_STREQ(crsh_strerror(static_cast<crsh_error_t>(10)), "Unhandled error code");
}

TEST(CrashThreadState, InitialisationByCPUType)
{
    crsh_thread_state state;
    ASSERT_EQ(crsh_thread_state_init(&state, CRSH_CPU_TYPE_ARM64), CRSH_ERR_NONE);
    EXPECT_EQ(state.arm_state.ash.flavor, 6u);
    EXPECT_EQ(state.arm_state.ash.count, 68u);
    EXPECT_EQ(crsh_thread_state_get_greg_size(&state), 8u);
    EXPECT_EQ(crsh_thread_state_get_stack_direction(&state), CRSH_STACK_DIRECTION_DOWN);
    EXPECT_EQ(crsh_thread_state_get_reg_count(&state), 34u);
    EXPECT_EQ(state.valid_regs, 0u);

    ASSERT_EQ(crsh_thread_state_init(&state, CRSH_CPU_TYPE_ARM), CRSH_ERR_NONE);
    EXPECT_EQ(state.arm_state.ash.flavor, 9u);
    EXPECT_EQ(state.arm_state.ash.count, 17u);
    EXPECT_EQ(crsh_thread_state_get_greg_size(&state), 4u);
    EXPECT_EQ(crsh_thread_state_get_reg_count(&state), 17u);

    ASSERT_EQ(crsh_thread_state_init(&state, CRSH_CPU_TYPE_X86_64), CRSH_ERR_NONE);
    EXPECT_EQ(state.arm_state.ash.flavor, 4u);
    EXPECT_EQ(state.arm_state.ash.count, 42u);
    EXPECT_EQ(crsh_thread_state_get_greg_size(&state), 8u);
    EXPECT_EQ(crsh_thread_state_get_reg_count(&state), 21u);

    EXPECT_EQ(crsh_thread_state_init(&state, CRSH_CPU_TYPE_X86), CRSH_ERR_NOT_SUPPORTED);
    EXPECT_EQ(crsh_thread_state_thread_init(&state, crsh_async_mach_thread_self()), CRSH_ERR_INTERNAL);
}

TEST(CrashThreadState, RegisterTablesNamesAndDwarfNumbers)
{
    crsh_thread_state arm64;
    crsh_thread_state arm;
    ASSERT_EQ(crsh_thread_state_init(&arm64, CRSH_CPU_TYPE_ARM64), CRSH_ERR_NONE);
    ASSERT_EQ(crsh_thread_state_init(&arm, CRSH_CPU_TYPE_ARM), CRSH_ERR_NONE);
    EXPECT_STREQ(crsh_thread_state_get_reg_name(&arm64, 0), "pc");
    EXPECT_STREQ(crsh_thread_state_get_reg_name(&arm64, 1), "fp");
    EXPECT_STREQ(crsh_thread_state_get_reg_name(&arm64, 3), "x0");
    EXPECT_STREQ(crsh_thread_state_get_reg_name(&arm64, 31), "x28");
    EXPECT_STREQ(crsh_thread_state_get_reg_name(&arm64, 32), "lr");
    EXPECT_STREQ(crsh_thread_state_get_reg_name(&arm64, 33), "cpsr");
    EXPECT_STREQ(crsh_thread_state_get_reg_name(&arm, 1), "r7");
    EXPECT_STREQ(crsh_thread_state_get_reg_name(&arm, 9), "r6");
    EXPECT_STREQ(crsh_thread_state_get_reg_name(&arm, 10), "r8");
    EXPECT_STREQ(crsh_thread_state_get_reg_name(&arm, 16), "cpsr");

    struct Case {
        const crsh_thread_state* state;
        std::uint64_t dwarf;
        crsh_regnum_t index;
    };
    for (const Case& c : {Case{&arm64, 0, 3}, Case{&arm64, 28, 31}, Case{&arm64, 29, CRSH_REG_FP},
                          Case{&arm64, 30, CRSH_ARM64_LR}, Case{&arm64, 31, CRSH_REG_SP}, Case{&arm, 15, CRSH_REG_IP},
                          Case{&arm, 7, CRSH_REG_FP}, Case{&arm, 8, 10}, Case{&arm, 13, CRSH_REG_SP},
                          Case{&arm, 14, CRSH_ARM_LR}}) {
        crsh_regnum_t index = 99;
        std::uint64_t dwarf = 99;
        EXPECT_TRUE(crsh_thread_state_map_dwarf_reg(c.state, c.dwarf, &index));
        EXPECT_EQ(index, c.index) << c.dwarf;
        EXPECT_TRUE(crsh_thread_state_map_reg_to_dwarf(c.state, c.index, &dwarf));
        EXPECT_EQ(dwarf, c.dwarf);
    }
    crsh_regnum_t index;
    std::uint64_t dwarf;
    EXPECT_FALSE(crsh_thread_state_map_dwarf_reg(&arm64, 32, &index));
    EXPECT_FALSE(crsh_thread_state_map_dwarf_reg(&arm, 16, &index));
    EXPECT_FALSE(crsh_thread_state_map_reg_to_dwarf(&arm64, CRSH_REG_IP, &dwarf));
    EXPECT_FALSE(crsh_thread_state_map_reg_to_dwarf(&arm64, CRSH_ARM64_CPSR, &dwarf));
    EXPECT_FALSE(crsh_thread_state_map_reg_to_dwarf(&arm, CRSH_ARM_CPSR, &dwarf));
}

TEST(CrashThreadState, ValuesValidityAndVolatileRegisters)
{
    crsh_thread_state arm;
    ASSERT_EQ(crsh_thread_state_init(&arm, CRSH_CPU_TYPE_ARM), CRSH_ERR_NONE);
    crsh_thread_state_set_reg(&arm, CRSH_REG_SP, 0x1234567890ABCDEF);
    EXPECT_EQ(crsh_thread_state_get_reg(&arm, CRSH_REG_SP), 0x90ABCDEFu); // the low 32 bits
    EXPECT_EQ(arm.arm_state.uts.ts_32.sp, 0x90ABCDEFu);
    for (crsh_regnum_t i = 0; i < CRSH_ARM_REG_COUNT; ++i)
        crsh_thread_state_set_reg(&arm, i, 100 + i);
    EXPECT_EQ(arm.arm_state.uts.ts_32.r[7], 101u);
    EXPECT_EQ(arm.arm_state.uts.ts_32.r[9], 111u);
    crsh_thread_state_clear_volatile_regs(&arm);
    std::vector<crsh_regnum_t> kept;
    for (crsh_regnum_t i = 0; i < CRSH_ARM_REG_COUNT; ++i)
        if (crsh_thread_state_has_reg(&arm, i))
            kept.push_back(i);
    EXPECT_EQ(kept, (std::vector<crsh_regnum_t>{1, 7, 8, 9, 10, 12, 13})); // r7, r4-r6, r8, r10, r11

    crsh_thread_state arm64 = arm64State({});
    for (crsh_regnum_t i = 0; i < CRSH_ARM64_REG_COUNT; ++i)
        crsh_thread_state_set_reg(&arm64, i, 1000 + i);
    EXPECT_EQ(arm64.arm_state.uts.ts_64.x[28], 1031u);
    EXPECT_EQ(arm64.arm_state.uts.ts_64.lr, 1032u);
    EXPECT_EQ(arm64.arm_state.uts.ts_64.cpsr, 1033u);
    crsh_thread_state copy;
    crsh_thread_state_copy(&copy, &arm64);
    crsh_thread_state_clear_volatile_regs(&copy);
    kept.clear();
    for (crsh_regnum_t i = 0; i < CRSH_ARM64_REG_COUNT; ++i)
        if (crsh_thread_state_has_reg(&copy, i))
            kept.push_back(i);
    EXPECT_EQ(kept, (std::vector<crsh_regnum_t>{1, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31}));
    EXPECT_TRUE(crsh_thread_state_has_reg(&arm64, CRSH_ARM64_LR)); // the source is untouched

    crsh_thread_state_clear_reg(&copy, CRSH_REG_FP);
    EXPECT_FALSE(crsh_thread_state_has_reg(&copy, CRSH_REG_FP));
    EXPECT_EQ(crsh_thread_state_get_reg(&copy, CRSH_REG_FP), 1001u); // the value stays, only unmarked
    crsh_thread_state_clear_all_regs(&copy);
    EXPECT_EQ(copy.valid_regs, 0u);
}

TEST(CrashThreadState, MachineContextGivesEveryRegister)
{
    crsh_arm64_mcontext context{};
    context.es.far = 0xDEAD;
    for (unsigned i = 0; i < 29; ++i)
        context.ss.x[i] = 0x100 + i;
    context.ss.fp = 0x2000;
    context.ss.lr = 0x3000;
    context.ss.sp = 0x4000;
    context.ss.pc = 0x5000;
    context.ss.cpsr = 0x60000000;
    crsh_thread_state state;
    crsh_thread_state_mcontext_init(&state, &context);
    EXPECT_EQ(state.arm_state.ash.flavor, 6u);
    EXPECT_EQ(state.arm_state.ash.count, 68u);
    EXPECT_EQ(crsh_thread_state_get_greg_size(&state), 8u);
    for (crsh_regnum_t i = 0; i < CRSH_ARM64_REG_COUNT; ++i)
        EXPECT_TRUE(crsh_thread_state_has_reg(&state, i)) << i;
    EXPECT_EQ(reg(state, CRSH_REG_IP), 0x5000u);
    EXPECT_EQ(reg(state, CRSH_REG_FP), 0x2000u);
    EXPECT_EQ(reg(state, CRSH_REG_SP), 0x4000u);
    EXPECT_EQ(reg(state, crsh_arm64_x(0)), 0x100u);
    EXPECT_EQ(reg(state, crsh_arm64_x(28)), 0x11Cu);
    EXPECT_EQ(reg(state, CRSH_ARM64_LR), 0x3000u);
    EXPECT_EQ(reg(state, CRSH_ARM64_CPSR), 0x60000000u);
}

TEST(CrashThreadStateDeathTest, AnIndexBeyondTheTableAborts)
{
    crsh_thread_state state = arm64State({});
    EXPECT_DEATH((void)crsh_thread_state_get_reg(&state, CRSH_ARM64_REG_COUNT), "");
}

// Readers that record their calls and answer as told.
struct ScriptedReaders {
    static inline std::vector<int> calls;
    static inline std::vector<bool> previousGiven;
    static inline std::uint64_t nextPc = 0;

    template <int Id, crsh_frame_error_t Result>
    static crsh_frame_error_t reader(crsh_task_t, crsh_image_list*, const crsh_thread_state* current,
                                     const crsh_thread_state* previous, crsh_thread_state* next)
    {
        calls.push_back(Id);
        previousGiven.push_back(previous != nullptr);
        if (Result != CRSH_FRAME_ERR_NONE)
            return Result;
        crsh_thread_state_copy(next, current);
        crsh_thread_state_clear_all_regs(next);
        crsh_thread_state_set_reg(next, CRSH_REG_IP, nextPc);
        return CRSH_FRAME_ERR_NONE;
    }
    static void reset(std::uint64_t pc)
    {
        calls.clear();
        previousGiven.clear();
        nextPc = pc;
    }
};

TEST(CrashFrameCursor, FirstStepIsTheInitialStateWithoutAnyReader)
{
    ScriptedReaders::reset(0x10000);
    const crsh_frame_reader readers[] = {ScriptedReaders::reader<1, CRSH_FRAME_ERR_NONE>};
    crsh_thread_state initial = arm64State({{CRSH_REG_IP, 0x5000}, {crsh_arm64_x(3), 7}});
    crsh_frame_cursor cursor;
    ASSERT_EQ(crsh_frame_cursor_init(&cursor, getpid(), &initial, nullptr), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(crsh_frame_cursor_next_with_readers(&cursor, readers, 0), CRSH_FRAME_ERR_NONE);
    EXPECT_TRUE(ScriptedReaders::calls.empty());
    std::uint64_t value = 0;
    EXPECT_EQ(crsh_frame_cursor_get_reg(&cursor, CRSH_REG_IP, &value), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(value, 0x5000u);
    EXPECT_EQ(crsh_frame_cursor_get_reg(&cursor, crsh_arm64_x(3), &value), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(crsh_frame_cursor_get_reg(&cursor, CRSH_REG_SP, &value), CRSH_FRAME_ERR_NOT_SUPPORTED);
    EXPECT_EQ(crsh_frame_cursor_get_regcount(&cursor), 34u);
    EXPECT_STREQ(crsh_frame_cursor_get_regname(&cursor, CRSH_REG_FP), "fp");

    // After the first frame a step needs readers.
    EXPECT_EQ(crsh_frame_cursor_next_with_readers(&cursor, readers, 0), CRSH_FRAME_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(cursor.depth, 1u);
    crsh_frame_cursor_free(&cursor);

    crsh_frame_cursor live;
    EXPECT_EQ(crsh_frame_cursor_thread_init(&live, getpid(), crsh_async_mach_thread_self(), nullptr),
              CRSH_FRAME_ERR_INTERNAL);
}

TEST(CrashFrameCursor, ReadersRunInOrderUntilOneSucceeds)
{
    ScriptedReaders::reset(0x20000);
    crsh_thread_state initial = arm64State({{CRSH_REG_IP, 0x5000}});
    crsh_frame_cursor cursor;
    ASSERT_EQ(crsh_frame_cursor_init(&cursor, getpid(), &initial, nullptr), CRSH_FRAME_ERR_NONE);
    ASSERT_EQ(crsh_frame_cursor_next_with_readers(&cursor, nullptr, 0), CRSH_FRAME_ERR_NONE);

    const crsh_frame_reader failing[] = {ScriptedReaders::reader<1, CRSH_FRAME_ERR_NOT_SUPPORTED>,
                                         ScriptedReaders::reader<2, CRSH_FRAME_ERR_BAD_FRAME>};
    EXPECT_EQ(crsh_frame_cursor_next_with_readers(&cursor, failing, 2), CRSH_FRAME_ERR_BAD_FRAME); // the last code
    EXPECT_EQ(ScriptedReaders::calls, (std::vector<int>{1, 2}));
    EXPECT_EQ(ScriptedReaders::previousGiven, (std::vector<bool>{false, false})); // none at the first step

    ScriptedReaders::reset(0x20000);
    const crsh_frame_reader second[] = {ScriptedReaders::reader<1, CRSH_FRAME_ERR_NO_FRAME>,
                                        ScriptedReaders::reader<2, CRSH_FRAME_ERR_NONE>,
                                        ScriptedReaders::reader<3, CRSH_FRAME_ERR_NONE>};
    EXPECT_EQ(crsh_frame_cursor_next_with_readers(&cursor, second, 3), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(ScriptedReaders::calls, (std::vector<int>{1, 2}));
    EXPECT_EQ(cursor.depth, 2u);
    EXPECT_EQ(cursor.prev_frame.arm_state.uts.ts_64.pc, 0x5000u);

    ScriptedReaders::reset(0x30000);
    EXPECT_EQ(crsh_frame_cursor_next_with_readers(&cursor, second, 3), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(ScriptedReaders::previousGiven, (std::vector<bool>{true, true}));
    crsh_frame_cursor_free(&cursor);
}

TEST(CrashFrameCursor, AReturnAddressWithinTheFirstPageEndsTheWalk)
{
    const std::uint64_t page = crsh_async_page_size();
    const crsh_frame_reader readers[] = {ScriptedReaders::reader<1, CRSH_FRAME_ERR_NONE>};
    for (std::uint64_t pc : {std::uint64_t{0}, std::uint64_t{1}, page}) {
        crsh_thread_state initial = arm64State({{CRSH_REG_IP, 0x5000}});
        crsh_frame_cursor cursor;
        ASSERT_EQ(crsh_frame_cursor_init(&cursor, getpid(), &initial, nullptr), CRSH_FRAME_ERR_NONE);
        ASSERT_EQ(crsh_frame_cursor_next_with_readers(&cursor, readers, 1), CRSH_FRAME_ERR_NONE);
        ScriptedReaders::reset(pc);
        EXPECT_EQ(crsh_frame_cursor_next_with_readers(&cursor, readers, 1), CRSH_FRAME_ERR_NO_FRAME) << pc;
        EXPECT_EQ(cursor.depth, 1u); // unchanged
        std::uint64_t value;
        EXPECT_EQ(crsh_frame_cursor_get_reg(&cursor, CRSH_REG_IP, &value), CRSH_FRAME_ERR_NONE);
        EXPECT_EQ(value, 0x5000u);
        ScriptedReaders::reset(page + 1);
        EXPECT_EQ(crsh_frame_cursor_next_with_readers(&cursor, readers, 1), CRSH_FRAME_ERR_NONE);
        crsh_frame_cursor_free(&cursor);
    }
}

// Walks with the frame-pointer reader alone; answers the pcs of the frames after the first and the code
// that ended the walk.
std::pair<std::vector<std::uint64_t>, crsh_frame_error_t> framePointerWalk(const crsh_thread_state& initial)
{
    const crsh_frame_reader readers[] = {crsh_frame_read_frame_pointer};
    crsh_frame_cursor cursor;
    EXPECT_EQ(crsh_frame_cursor_init(&cursor, getpid(), &initial, nullptr), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(crsh_frame_cursor_next_with_readers(&cursor, readers, 1), CRSH_FRAME_ERR_NONE);
    std::vector<std::uint64_t> pcs;
    crsh_frame_error_t error;
    while ((error = crsh_frame_cursor_next_with_readers(&cursor, readers, 1)) == CRSH_FRAME_ERR_NONE &&
           pcs.size() < 600) {
        std::uint64_t pc;
        EXPECT_EQ(crsh_frame_cursor_get_reg(&cursor, CRSH_REG_IP, &pc), CRSH_FRAME_ERR_NONE);
        pcs.push_back(pc);
        // Only pc and fp come from a frame record.
        std::uint64_t value;
        for (crsh_regnum_t i = 2; i < CRSH_ARM64_REG_COUNT; ++i)
            EXPECT_EQ(crsh_frame_cursor_get_reg(&cursor, i, &value), CRSH_FRAME_ERR_NOT_SUPPORTED) << i;
        EXPECT_EQ(crsh_frame_cursor_get_reg(&cursor, CRSH_REG_FP, &value), CRSH_FRAME_ERR_NONE);
    }
    crsh_frame_cursor_free(&cursor);
    return {pcs, error};
}

TEST(CrashFramePointerReader, ChainEndingInAZeroFramePointer)
{
    FakeStack stack(32);
    stack.record(4, stack.address(10), 0x11000);
    stack.record(10, stack.address(20), 0x12000);
    stack.record(20, 0, 0x13000);
    const auto [pcs, error] = framePointerWalk(
        arm64State({{CRSH_REG_IP, 0x10000}, {CRSH_REG_FP, stack.address(4)}, {CRSH_REG_SP, stack.address(0)}}));
    EXPECT_EQ(pcs, (std::vector<std::uint64_t>{0x11000, 0x12000, 0x13000}));
    EXPECT_EQ(error, CRSH_FRAME_ERR_NO_FRAME);
    EXPECT_STREQ(crsh_frame_strerror(error), "No frames are available");
}

TEST(CrashFramePointerReader, ChainsThatDoNotMoveTowardsTheBaseAreCorrupt)
{
    // Down into the stack's growth direction.
    FakeStack stack(32);
    stack.record(10, stack.address(4), 0x11000);
    stack.record(4, stack.address(20), 0x12000);
    auto walk = framePointerWalk(arm64State({{CRSH_REG_IP, 0x10000}, {CRSH_REG_FP, stack.address(10)}}));
    EXPECT_EQ(walk.first, (std::vector<std::uint64_t>{0x11000}));
    EXPECT_EQ(walk.second, CRSH_FRAME_ERR_BAD_FRAME);

    // A record that points to itself gives its frame once, then the walk ends instead of repeating it.
    stack.record(10, stack.address(16), 0x11000);
    stack.record(16, stack.address(16), 0x12000);
    walk = framePointerWalk(arm64State({{CRSH_REG_IP, 0x10000}, {CRSH_REG_FP, stack.address(10)}}));
    EXPECT_EQ(walk.first, (std::vector<std::uint64_t>{0x11000, 0x12000}));
    EXPECT_EQ(walk.second, CRSH_FRAME_ERR_BAD_FRAME);

    // A loop of two records.
    stack.record(10, stack.address(16), 0x11000);
    stack.record(16, stack.address(10), 0x12000);
    walk = framePointerWalk(arm64State({{CRSH_REG_IP, 0x10000}, {CRSH_REG_FP, stack.address(10)}}));
    EXPECT_EQ(walk.second, CRSH_FRAME_ERR_BAD_FRAME);
    EXPECT_LE(walk.first.size(), 2u);
}

TEST(CrashFramePointerReader, EqualFramePointerIsRefusedUnlessItsRecordIsStillAhead)
{
    FakeStack stack(8);
    stack.record(4, 0, 0x12000);
    const std::uint64_t fp = stack.address(4);
    crsh_thread_state previous = arm64State({{CRSH_REG_IP, 0x10000}, {CRSH_REG_FP, fp}});
    crsh_thread_state next;

    // Unknown stack pointer, or one past the record: the record was already used.
    crsh_thread_state current = arm64State({{CRSH_REG_IP, 0x11000}, {CRSH_REG_FP, fp}});
    EXPECT_EQ(crsh_frame_read_frame_pointer(getpid(), nullptr, &current, &previous, &next), CRSH_FRAME_ERR_BAD_FRAME);
    crsh_thread_state_set_reg(&current, CRSH_REG_SP, fp + 16);
    EXPECT_EQ(crsh_frame_read_frame_pointer(getpid(), nullptr, &current, &previous, &next), CRSH_FRAME_ERR_BAD_FRAME);

    // A frameless callee left the caller's record ahead of the stack pointer: the caller is read from it.
    crsh_thread_state_set_reg(&current, CRSH_REG_SP, fp - 32);
    ASSERT_EQ(crsh_frame_read_frame_pointer(getpid(), nullptr, &current, &previous, &next), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x12000u);
    EXPECT_FALSE(crsh_thread_state_has_reg(&next, CRSH_REG_SP));

    // Direction up mirrors the checks.
    current.stack_direction = CRSH_STACK_DIRECTION_UP;
    crsh_thread_state_set_reg(&previous, CRSH_REG_FP, fp - 8);
    EXPECT_EQ(crsh_frame_read_frame_pointer(getpid(), nullptr, &current, &previous, &next), CRSH_FRAME_ERR_BAD_FRAME);
    crsh_thread_state_set_reg(&previous, CRSH_REG_FP, fp + 8);
    EXPECT_EQ(crsh_frame_read_frame_pointer(getpid(), nullptr, &current, &previous, &next), CRSH_FRAME_ERR_NONE);
}

TEST(CrashFramePointerReader, UnreadableMissingAndOddFramePointers)
{
    crsh_thread_state next;
    crsh_thread_state noFp = arm64State({{CRSH_REG_IP, 0x10000}});
    EXPECT_EQ(crsh_frame_read_frame_pointer(getpid(), nullptr, &noFp, nullptr, &next), CRSH_FRAME_ERR_BAD_FRAME);
    crsh_thread_state zero = arm64State({{CRSH_REG_IP, 0x10000}, {CRSH_REG_FP, 0}});
    EXPECT_EQ(crsh_frame_read_frame_pointer(getpid(), nullptr, &zero, nullptr, &next), CRSH_FRAME_ERR_NO_FRAME);

    // A record that reaches into an unreadable page, one fully inside it, and the top of the address range.
    const crashtest::PlacedBytes placed(std::vector<std::uint8_t>(64, 0), true);
    const std::uint64_t guard = placed.address() + 64;
    for (std::uint64_t fp : {guard - 8, guard, guard + 1, ~std::uint64_t{0} - 7, std::uint64_t{8}}) {
        crsh_thread_state state = arm64State({{CRSH_REG_IP, 0x10000}, {CRSH_REG_FP, fp}});
        EXPECT_EQ(crsh_frame_read_frame_pointer(getpid(), nullptr, &state, nullptr, &next), CRSH_FRAME_ERR_BAD_FRAME)
            << std::hex << fp;
    }

    // An odd frame pointer into readable memory is read as it is (no alignment fault).
    FakeStack stack(8);
    const std::uint64_t odd = stack.address(2) + 1;
    std::memcpy(reinterpret_cast<void*>(odd), "\x01\x02\x03\x04\x05\x06\x07\x08\x00\x30\x01\x00\x00\x00\x00\x00", 16);
    crsh_thread_state state = arm64State({{CRSH_REG_IP, 0x10000}, {CRSH_REG_FP, odd}});
    ASSERT_EQ(crsh_frame_read_frame_pointer(getpid(), nullptr, &state, nullptr, &next), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_FP), 0x0807060504030201u);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x13000u);
}

TEST(CrashFramePointerReader, ThirtyTwoBitRecords)
{
    // A 32-bit frame pointer needs memory below 4 GiB.
    void* low = mmap(nullptr, crashtest::pageSize(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT,
                     -1, 0);
    ASSERT_NE(low, MAP_FAILED);
    auto* words = static_cast<std::uint32_t*>(low);
    words[2] = 0x2000;
    words[3] = 0x4321;
    crsh_thread_state state;
    ASSERT_EQ(crsh_thread_state_init(&state, CRSH_CPU_TYPE_ARM), CRSH_ERR_NONE);
    crsh_thread_state_set_reg(&state, CRSH_REG_IP, 0x1000);
    crsh_thread_state_set_reg(&state, CRSH_REG_FP, reinterpret_cast<std::uint64_t>(&words[2]));
    crsh_thread_state next;
    ASSERT_EQ(crsh_frame_read_frame_pointer(getpid(), nullptr, &state, nullptr, &next), CRSH_FRAME_ERR_NONE);
    EXPECT_EQ(reg(next, CRSH_REG_FP), 0x2000u);
    EXPECT_EQ(reg(next, CRSH_REG_IP), 0x4321u);
    munmap(low, crashtest::pageSize());
}

} // namespace
