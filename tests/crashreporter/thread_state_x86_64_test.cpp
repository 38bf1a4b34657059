#include "crashreporter/crsh_frame_cursor.h"
#include "crashreporter/crsh_macho.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

namespace {

TEST(CrashThreadStateX86_64, RegisterNamesDwarfNumbersAndCalleeSaved)
{
    crsh_thread_state state;
    ASSERT_EQ(crsh_thread_state_init(&state, CRSH_CPU_TYPE_X86_64), CRSH_ERR_NONE);
    const char* names[] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "r8", "r9",
                           "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs", "fs", "gs"};
    ASSERT_EQ(crsh_thread_state_get_reg_count(&state), std::size(names));
    for (crsh_regnum_t i = 0; i < std::size(names); ++i)
        EXPECT_STREQ(crsh_thread_state_get_reg_name(&state, i), names[i]);

    // The ABI's numbers: 16 is the return address, 6 rbp, 7 rsp, 3 rbx, 12 r12; flags have none.
    struct Pair {
        std::uint64_t dwarf;
        crsh_regnum_t index;
    };
    for (Pair pair : {Pair{16, CRSH_REG_IP}, Pair{6, CRSH_REG_FP}, Pair{7, CRSH_REG_SP}, Pair{0, CRSH_X86_64_RAX},
                      Pair{1, CRSH_X86_64_RDX}, Pair{3, CRSH_X86_64_RBX}, Pair{5, CRSH_X86_64_RDI},
                      Pair{12, CRSH_X86_64_R12}}) {
        crsh_regnum_t index = 99;
        std::uint64_t dwarf = 99;
        ASSERT_TRUE(crsh_thread_state_map_dwarf_reg(&state, pair.dwarf, &index));
        EXPECT_EQ(index, pair.index);
        ASSERT_TRUE(crsh_thread_state_map_reg_to_dwarf(&state, pair.index, &dwarf));
        EXPECT_EQ(dwarf, pair.dwarf);
    }
    std::uint64_t dwarf = 0;
    EXPECT_FALSE(crsh_thread_state_map_reg_to_dwarf(&state, CRSH_X86_64_RFLAGS, &dwarf));
    crsh_regnum_t index = 0;
    EXPECT_FALSE(crsh_thread_state_map_dwarf_reg(&state, 17, &index));

    for (crsh_regnum_t i = 0; i < CRSH_X86_64_REG_COUNT; ++i)
        crsh_thread_state_set_reg(&state, i, 100 + i);
    crsh_thread_state_clear_volatile_regs(&state);
    for (crsh_regnum_t i = 0; i < CRSH_X86_64_REG_COUNT; ++i) {
        bool calleeSaved = i == CRSH_REG_FP || i == CRSH_X86_64_RBX || (i >= CRSH_X86_64_R12 && i <= CRSH_X86_64_R15);
        EXPECT_EQ(crsh_thread_state_has_reg(&state, i), calleeSaved) << names[i];
    }
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_X86_64_R15), 100u + CRSH_X86_64_R15);
}

TEST(CrashThreadStateX86_64, ASignalsMachineContext)
{
    mcontext_t context{};
    for (int i = 0; i < NGREG; ++i)
        context.gregs[i] = 1000 + i;
    context.gregs[REG_CSGSFS] = 0x0000'0011'0022'0033; // fs, gs, cs from the high end down
    crsh_thread_state state;
    crsh_thread_state_mcontext_init(&state, &context);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_REG_IP), 1000u + REG_RIP);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_REG_FP), 1000u + REG_RBP);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_REG_SP), 1000u + REG_RSP);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_X86_64_RAX), 1000u + REG_RAX);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_X86_64_RSI), 1000u + REG_RSI);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, crsh_x86_64_r(8)), 1000u + REG_R8);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_X86_64_R15), 1000u + REG_R15);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_X86_64_RFLAGS), 1000u + REG_EFL);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_X86_64_CS), 0x33u);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_X86_64_GS), 0x22u);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_X86_64_FS), 0x11u);
    for (crsh_regnum_t i = 0; i < CRSH_X86_64_REG_COUNT; ++i)
        EXPECT_TRUE(crsh_thread_state_has_reg(&state, i));
}

struct Captured {
    crsh_thread_state state;
    std::uint64_t caller; // the second frame's pc, walked while the frames are still live
};

crsh_error_t keep(crsh_thread_state* state, void* context)
{
    auto* captured = static_cast<Captured*>(context);
    crsh_thread_state_copy(&captured->state, state);
    crsh_frame_cursor cursor;
    if (crsh_frame_cursor_init(&cursor, crsh_async_task_self(), state, nullptr) == CRSH_FRAME_ERR_NONE &&
        crsh_frame_cursor_next(&cursor) == CRSH_FRAME_ERR_NONE && crsh_frame_cursor_next(&cursor) == CRSH_FRAME_ERR_NONE)
        (void)crsh_frame_cursor_get_reg(&cursor, CRSH_REG_IP, &captured->caller);
    crsh_frame_cursor_free(&cursor);
    return CRSH_ERR_INVALID_DATA; // handed back as the capture's result
}

struct CaptureSite {
    std::uint64_t frame;
    std::uint64_t returnAddress;
    crsh_error_t result;
};

__attribute__((noinline)) CaptureSite captureHere(Captured* captured)
{
    CaptureSite site{reinterpret_cast<std::uint64_t>(__builtin_frame_address(0)),
                     reinterpret_cast<std::uint64_t>(__builtin_return_address(0)), CRSH_ERR_NONE};
    site.result = crsh_async_thread_state_current(keep, captured);
    asm volatile("" ::: "memory");
    return site;
}

TEST(CrashThreadStateX86_64, TheCallingThreadsCapture)
{
    Captured captured{};
    CaptureSite site = captureHere(&captured);
    EXPECT_EQ(site.result, CRSH_ERR_INVALID_DATA);
    const crsh_thread_state& state = captured.state;

    // rip is inside captureHere, right after the call; rbp is its frame; rsp is below it.
    std::uint64_t rip = crsh_thread_state_get_reg(&state, CRSH_REG_IP);
    EXPECT_GT(rip, reinterpret_cast<std::uint64_t>(&captureHere));
    EXPECT_LT(rip, reinterpret_cast<std::uint64_t>(&captureHere) + 512);
    EXPECT_EQ(crsh_thread_state_get_reg(&state, CRSH_REG_FP), site.frame);
    EXPECT_LT(crsh_thread_state_get_reg(&state, CRSH_REG_SP), site.frame);
    EXPECT_TRUE(crsh_thread_state_has_reg(&state, CRSH_X86_64_RBX));
    EXPECT_TRUE(crsh_thread_state_has_reg(&state, CRSH_X86_64_R15));
    EXPECT_FALSE(crsh_thread_state_has_reg(&state, CRSH_X86_64_RAX));

    // The frame-pointer chain goes on from there to captureHere's caller.
    EXPECT_EQ(captured.caller, site.returnAddress);
}

} // namespace
