// The exception server's portable part: the exception-to-signal table and the choice of the earlier port.
#include "crashreporter/crsh_mach_exception.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct Mapping {
    std::uint32_t type;
    std::uint64_t firstCode;
    int signo;
    int code;
};

TEST(MachException, TypesAndFirstCodesMapToTheTablesSignals)
{
    const Mapping table[] = {
        {CRSH_EXC_BAD_ACCESS, 1, 11, 1},     // SIGSEGV / SEGV_MAPERR
        {CRSH_EXC_BAD_ACCESS, 2, 10, 2},     // protection failure: SIGBUS / BUS_ADRERR
        {CRSH_EXC_BAD_ACCESS, 0, 10, 2},     //
        {CRSH_EXC_BAD_INSTRUCTION, 1, 4, 0}, // SIGILL
        {CRSH_EXC_ARITHMETIC, 1, 8, 0},      // SIGFPE
        {CRSH_EXC_EMULATION, 1, 7, 0},       // SIGEMT
        {CRSH_EXC_SOFTWARE, 0x10000, 12, 0}, // SIGSYS
        {CRSH_EXC_SOFTWARE, 0x10001, 13, 0}, // SIGPIPE
        {CRSH_EXC_SOFTWARE, 0x10003, 9, 0},  // SIGKILL
        {CRSH_EXC_SOFTWARE, 0x10002, 6, 0},  // anything else: SIGABRT
        {CRSH_EXC_SOFTWARE, 7, 6, 0},        //
        {CRSH_EXC_BREAKPOINT, 1, 5, 1},      // SIGTRAP / TRAP_BRKPT
    };
    for (const Mapping& row : table) {
        const std::uint64_t codes[] = {row.firstCode, 0xDEADBEEF000ull};
        crsh_mach_siginfo info{-1, -1, 0};
        ASSERT_TRUE(crsh_mach_exception_get_siginfo(row.type, codes, 2, &info)) << row.type << "/" << row.firstCode;
        EXPECT_EQ(info.signo, row.signo) << row.type << "/" << row.firstCode;
        EXPECT_EQ(info.code, row.code) << row.type << "/" << row.firstCode;
        EXPECT_EQ(info.address, 0xDEADBEEF000ull); // always the second code
    }
}

TEST(MachException, OneCodeOrAnUnmappedTypeHasNoSignal)
{
    const std::uint64_t codes[] = {1, 0x1000, 3};
    crsh_mach_siginfo info{-1, -1, 7};
    EXPECT_FALSE(crsh_mach_exception_get_siginfo(CRSH_EXC_BAD_ACCESS, codes, 1, &info));
    EXPECT_FALSE(crsh_mach_exception_get_siginfo(CRSH_EXC_BAD_ACCESS, codes, 0, &info));
    EXPECT_FALSE(crsh_mach_exception_get_siginfo(CRSH_EXC_GUARD, codes, 3, &info));
    EXPECT_FALSE(crsh_mach_exception_get_siginfo(0, codes, 2, &info));
    EXPECT_FALSE(crsh_mach_exception_get_siginfo(7, codes, 2, &info));
    EXPECT_EQ(info.signo, -1); // untouched
    // More than two codes is fine: the first two decide.
    EXPECT_TRUE(crsh_mach_exception_get_siginfo(CRSH_EXC_BAD_ACCESS, codes, 3, &info));
    EXPECT_EQ(info.address, 0x1000u);
}

crsh_exception_port_set portSet(std::initializer_list<CRCrashMachExceptionPort> ports)
{
    return CRCrashMachExceptionPortSet::initWithSet(ports).asyncSafeRepresentation();
}

constexpr std::uint32_t bit(std::uint32_t type)
{
    return 1u << type;
}

TEST(MachException, TheFirstValidPortWhoseMaskHoldsTheTypeIsChosen)
{
    const crsh_exception_port_set set = portSet({
        {CRSH_MACH_PORT_NULL, bit(CRSH_EXC_BAD_ACCESS), CRSH_EXCEPTION_DEFAULT, 1}, // null: skipped
        {CRSH_MACH_PORT_DEAD, bit(CRSH_EXC_BAD_ACCESS), CRSH_EXCEPTION_DEFAULT, 1}, // dead: skipped
        {0x103, bit(CRSH_EXC_ARITHMETIC), CRSH_EXCEPTION_DEFAULT, 1},               // other type
        {0x104, bit(CRSH_EXC_BAD_ACCESS) | bit(CRSH_EXC_SOFTWARE), CRSH_EXCEPTION_STATE, 4},
        {0x105, bit(CRSH_EXC_BAD_ACCESS), CRSH_EXCEPTION_STATE_IDENTITY, 4},
    });
    std::size_t index = 99;
    ASSERT_EQ(crsh_mach_exception_forward_port(&set, CRSH_EXC_BAD_ACCESS, &index), CRSH_KERN_SUCCESS);
    EXPECT_EQ(index, 3u);
    ASSERT_EQ(crsh_mach_exception_forward_port(&set, CRSH_EXC_ARITHMETIC, &index), CRSH_KERN_SUCCESS);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(crsh_mach_exception_forward_port(&set, CRSH_EXC_BREAKPOINT, &index), CRSH_KERN_FAILURE);
    // A type beyond the mask's width has no bit.
    EXPECT_EQ(crsh_mach_exception_forward_port(&set, 40, &index), CRSH_KERN_FAILURE);
    const crsh_exception_port_set none{};
    EXPECT_EQ(crsh_mach_exception_forward_port(&none, CRSH_EXC_BAD_ACCESS, &index), CRSH_KERN_FAILURE);
}

TEST(MachException, AnEarlierPortAskingForWideCodesOrOfAnotherKindIsNotForwardedTo)
{
    const crsh_exception_port_set wide = portSet({
        {0x101, bit(CRSH_EXC_BAD_ACCESS), CRSH_EXCEPTION_DEFAULT | CRSH_MACH_EXCEPTION_CODES, 1},
        {0x102, bit(CRSH_EXC_BAD_ACCESS), CRSH_EXCEPTION_DEFAULT, 1}, // not reached: the first match decides
    });
    std::size_t index = 99;
    EXPECT_EQ(crsh_mach_exception_forward_port(&wide, CRSH_EXC_BAD_ACCESS, &index), CRSH_KERN_FAILURE);
    EXPECT_EQ(index, 99u);
    const crsh_exception_port_set unknown = portSet({{0x101, bit(CRSH_EXC_BAD_ACCESS), 9, 1}});
    EXPECT_EQ(crsh_mach_exception_forward_port(&unknown, CRSH_EXC_BAD_ACCESS, &index), CRSH_KERN_FAILURE);

    // A plain record whose count says more than it can hold is read up to its arrays' end.
    crsh_exception_port_set overfull = portSet({{0x101, bit(CRSH_EXC_SOFTWARE), CRSH_EXCEPTION_DEFAULT, 1}});
    overfull.count = 1000;
    EXPECT_EQ(crsh_mach_exception_forward_port(&overfull, CRSH_EXC_BAD_ACCESS, &index), CRSH_KERN_FAILURE);
    EXPECT_EQ(crsh_mach_exception_forward_port(&overfull, CRSH_EXC_SOFTWARE, &index), CRSH_KERN_SUCCESS);
    EXPECT_EQ(index, 0u);
}

} // namespace
