#include "crashreporter/CRCrashHostInfo.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

namespace {

TEST(CrashHostInfo, TheKernelReleaseGivesTheVersion)
{
    hybtest::LogCapture log;
    EXPECT_EQ(CRCrashHostInfo::initWithRelease("14.0.0").darwinVersion(), (CRCrashDarwinVersion{14, 0, 0}));
    EXPECT_EQ(CRCrashHostInfo::initWithRelease("6.1.0-18-amd64").darwinVersion(), (CRCrashDarwinVersion{6, 1, 0}));
    EXPECT_TRUE(log.lines().empty());

    EXPECT_EQ(CRCrashHostInfo::initWithRelease("14").darwinVersion(), (CRCrashDarwinVersion{14, 0, 0}));
    EXPECT_TRUE(log.contains("Unexpected kern.osrelease string format: 14"));
    log.clear();
    EXPECT_EQ(CRCrashHostInfo::initWithRelease("15.2").darwinVersion(), (CRCrashDarwinVersion{15, 2, 0}));
    EXPECT_EQ(CRCrashHostInfo::initWithRelease("").darwinVersion(), (CRCrashDarwinVersion{}));
    EXPECT_EQ(log.lines().size(), 2u);

    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    std::optional<CRCrashHostInfo> current = CRCrashHostInfo::currentHostInfo();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->darwinVersion(), CRCrashHostInfo::initWithRelease(system.release).darwinVersion());
}

TEST(CrashHostInfo, PortSetsConvertToThePlainFormAndBack)
{
    std::vector<CRCrashMachExceptionPort> ports;
    for (std::uint32_t i = 0; i < CRSH_EXC_TYPES_COUNT; ++i)
        ports.emplace_back(100 + i, 1u << i, 0x80000001u + i, 4 + i);
    CRCrashMachExceptionPortSet set = CRCrashMachExceptionPortSet::initWithSet(ports);
    const crsh_exception_port_set& plain = set.asyncSafeRepresentation();
    ASSERT_EQ(plain.count, CRSH_EXC_TYPES_COUNT);
    EXPECT_EQ(plain.ports[12], 112u);
    EXPECT_EQ(plain.masks[3], 8u);
    EXPECT_EQ(plain.behaviors[0], 0x80000001u);
    EXPECT_EQ(plain.flavors[5], 9u);

    CRCrashMachExceptionPortSet back = CRCrashMachExceptionPortSet::initWithAsyncSafeRepresentation(plain);
    EXPECT_EQ(back.set(), ports);
    std::size_t seen = 0;
    for (const CRCrashMachExceptionPort& port : back)
        EXPECT_EQ(port, ports[seen++]);
    EXPECT_EQ(seen, CRSH_EXC_TYPES_COUNT);

    EXPECT_EQ(CRCrashMachExceptionPortSet::initWithSet({}).asyncSafeRepresentation().count, 0u);
}

TEST(CrashHostInfoDeathTest, SetsLargerThanTheTypeCountAreFatal)
{
    std::vector<CRCrashMachExceptionPort> ports(CRSH_EXC_TYPES_COUNT + 1, CRCrashMachExceptionPort(1, 2, 3, 4));
    EXPECT_DEATH(CRCrashMachExceptionPortSet::initWithSet(ports), "Set size of 14 exceeds EXC_TYPES_COUNT \\(13\\)");
    crsh_exception_port_set plain{};
    plain.count = 14;
    EXPECT_DEATH(CRCrashMachExceptionPortSet::initWithAsyncSafeRepresentation(plain),
                 "Count of 14 exceeds EXC_TYPES_COUNT \\(13\\)");
}

} // namespace
