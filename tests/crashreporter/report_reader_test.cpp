// Reading reports back: the header and unpack checks, every section's requirements, values at the edges,
// and the info values' own conversions.
#include "crashreporter/CRCrashReport.h"

#include "ReportBuilder.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using crashtest::ReportBuilder;

std::string failure(const platform::Bytes& bytes)
{
    platform::Result<CRCrashReport> report = CRCrashReport::initWithData(bytes);
    if (report.ok())
        return "<decoded>";
    EXPECT_EQ(report.error().domain, CRCrashReporterErrorDomain);
    EXPECT_EQ(report.error().code, CRCrashReporterErrorCrashReportInvalid);
    return report.error().localizedDescription();
}

TEST(CrashReportReader, TheHeaderIsCheckedBeforeTheMessage)
{
    EXPECT_EQ(failure({'c', 'r', 's', 'h', 'l', 'o', 'g', 1}), "Could not decode truncated crash log");
    EXPECT_EQ(failure({}), "Could not decode truncated crash log");
    EXPECT_EQ(failure({'c', 'r', 's', 'h', 'l', 'o', 'x', 1, 0}), "Could not decode invalid crash log header");
    ReportBuilder builder;
    crashtest::addMinimalParts(builder);
    EXPECT_EQ(failure(builder.bytes(2)), "Could not decode unsupported crash report version: 2");
    EXPECT_EQ(failure(builder.bytes(0)), "Could not decode unsupported crash report version: 0");
    EXPECT_EQ(failure({'c', 'r', 's', 'h', 'l', 'o', 'g', 1, 0xFF, 0xFF, 0xFF}),
              "An unknown error occured decoding the crash report");
    // Only the system information (field 1, an empty message): the required application information and
    // signal are missing, which protobuf-c refuses.
    EXPECT_EQ(failure({'c', 'r', 's', 'h', 'l', 'o', 'g', 1, 0x0A, 0x00}),
              "An unknown error occured decoding the crash report");
    // A cut report (the writer's limit, or a second fault) does not unpack either.
    platform::Bytes cut = builder.bytes();
    cut.resize(cut.size() - 3);
    EXPECT_EQ(failure(cut), "An unknown error occured decoding the crash report");
}

TEST(CrashReportReader, OptionalSectionsMayBeAbsent)
{
    ReportBuilder builder;
    crashtest::addMinimalParts(builder);
    platform::Result<CRCrashReport> report = CRCrashReport::initWithData(builder.bytes());
    ASSERT_TRUE(report.ok()) << report.error().localizedDescription();
    EXPECT_FALSE(report->uuidRef());
    EXPECT_FALSE(report->hasMachineInfo());
    EXPECT_FALSE(report->hasProcessInfo());
    EXPECT_FALSE(report->hasExceptionInfo());
    EXPECT_FALSE(report->machExceptionInfo());
    EXPECT_EQ(report->systemInfo().operatingSystem(), 1);
    EXPECT_EQ(report->systemInfo().operatingSystemVersion(), "9.3");
    EXPECT_FALSE(report->systemInfo().operatingSystemBuild());
    ASSERT_TRUE(report->systemInfo().timestamp());
    EXPECT_EQ(report->systemInfo().timestamp()->secondsSince1970, 1700000000.0);
    EXPECT_EQ(report->applicationInfo().applicationIdentifier(), "com.example.app");
    EXPECT_EQ(report->signalInfo().name(), "SIGSEGV");
    EXPECT_EQ(report->signalInfo().address(), 0x10u);
    ASSERT_EQ(report->threads().size(), 1u);
    EXPECT_FALSE(report->threads()[0].crashed());
    EXPECT_FALSE(report->freeMemeory().empty());
    EXPECT_FALSE(report->freeSpace().empty());
}

TEST(CrashReportReader, EverySectionIsConverted)
{
    ReportBuilder builder;
    builder.addReportInfo({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
    builder.addMachineInfo("Phone1,1", builder.processor(0x0100000C, 0));
    builder.addProcessInfo("app", 42, "/bin/app")->has_start_time = 1;
    builder.process.start_time = 1600000000;
    builder.system.os_build = builder.text("13E238");
    Crsh__CrashReport__Thread* thread = builder.addThread(3, true);
    builder.setFrames(thread, {builder.frame(0x1010, "_main", 0x1000), builder.frame(0x9999)});
    builder.setRegisters(thread, {{"x0", 1}, {"x1", 2}});
    builder.setUUID(builder.addImage(0x1000, 0x1000, "/bin/app", builder.processor(0x0100000C, 0)), {0xAB, 0xCD});
    builder.addException("NSRangeException", "out of range", {builder.frame(0x1020)});
    builder.setMachCodes(1, 2);
    platform::Result<CRCrashReport> report = CRCrashReport::initWithData(builder.bytes());
    ASSERT_TRUE(report.ok()) << report.error().localizedDescription();
    ASSERT_TRUE(report->uuidRef());
    EXPECT_EQ((*report->uuidRef())[15], 15);
    ASSERT_TRUE(report->machineInfo());
    EXPECT_EQ(report->machineInfo()->modelName(), "Phone1,1");
    EXPECT_EQ(report->machineInfo()->processorInfo()->type(), 0x0100000Cu);
    EXPECT_EQ(report->machineInfo()->logicalProcessorCount(), 4u);
    EXPECT_EQ(report->processInfo()->processID(), 42u);
    EXPECT_EQ(report->processInfo()->processStartTime()->secondsSince1970, 1600000000.0);
    EXPECT_EQ(report->processInfo()->parentProcessName(), "launcher");
    EXPECT_EQ(report->systemInfo().operatingSystemBuild(), "13E238");
    const CRCrashReportThreadInfo& t = report->threads()[0];
    EXPECT_EQ(t.threadNumber(), 3);
    EXPECT_TRUE(t.crashed());
    ASSERT_EQ(t.stackFrames().size(), 2u);
    EXPECT_EQ(t.stackFrames()[0].symbolInfo()->symbolName(), "_main");
    EXPECT_EQ(t.stackFrames()[0].symbolInfo()->endAddress(), 0u);
    EXPECT_FALSE(t.stackFrames()[1].symbolInfo());
    EXPECT_EQ(t.registers()[1].registerName(), "x1");
    EXPECT_EQ(report->images()[0].imageUUID(), "abcd");
    ASSERT_TRUE(report->exceptionInfo());
    ASSERT_TRUE(report->exceptionInfo()->stackFrames());
    EXPECT_EQ(report->exceptionInfo()->stackFrames()->size(), 1u);
    ASSERT_TRUE(report->machExceptionInfo());
    EXPECT_EQ(report->machExceptionInfo()->codes(), (std::vector<std::uint64_t>{0x101, 0x101}));
}

TEST(CrashReportReader, RequiredPiecesMissingFailTheWholeDecode)
{
    {
        ReportBuilder builder;
        crashtest::addMinimalParts(builder);
        builder.addReportInfo(std::vector<std::uint8_t>(15, 7));
        EXPECT_EQ(failure(builder.bytes()), "Report UUID value is not a standard 16 bytes");
    }
    {
        ReportBuilder builder;
        builder.addImage(0x1000, 0x1000, "/one");
        EXPECT_EQ(failure(builder.bytes()), "Crash report is missing thread state information");
    }
    {
        ReportBuilder builder;
        builder.addThread(0, true);
        EXPECT_EQ(failure(builder.bytes()), "Crash report is missing binary image information");
    }
    {
        ReportBuilder builder;
        crashtest::addMinimalParts(builder);
        builder.setMachCodes(1, 255);
        EXPECT_EQ(failure(builder.bytes()), "<decoded>");
        builder.setMachCodes(1, 256);
        EXPECT_EQ(failure(builder.bytes()), "Crash report includes too many Mach Exception codes");
    }
}

TEST(CrashReportReader, ValuesAtTheEdges)
{
    ReportBuilder builder;
    builder.system.timestamp = 0;
    builder.addThread(0, false);
    builder.addImage(0x5000, 0, "/empty");                                         // size 0: holds nothing
    builder.addImage(std::numeric_limits<std::uint64_t>::max() - 0xF, 0x100, "/top"); // end would wrap
    builder.addImage(0x1000, 0x5000, "/a");
    builder.addImage(0x1800, 0x100, "/b"); // overlaps /a, listed later
    builder.addException("E", "R");        // no frames
    builder.application.identifier = builder.text("bad \xC3\x28 text");
    platform::Result<CRCrashReport> report = CRCrashReport::initWithData(builder.bytes());
    ASSERT_TRUE(report.ok()) << report.error().localizedDescription();
    EXPECT_FALSE(report->systemInfo().timestamp());
    EXPECT_FALSE(report->applicationInfo().applicationIdentifier()); // not valid UTF-8: read as absent
    EXPECT_FALSE(report->exceptionInfo()->stackFrames());            // none, not an empty list
    ASSERT_NE(report->imageForAddress(0x5000), nullptr);
    EXPECT_EQ(report->imageForAddress(0x5000)->imageName(), "/a"); // the empty image at 0x5000 holds nothing
    EXPECT_EQ(report->imageForAddress(0x6000), nullptr);
    EXPECT_EQ(report->imageForAddress(0x1800)->imageName(), "/a"); // the first in report order
    ASSERT_NE(report->imageForAddress(std::numeric_limits<std::uint64_t>::max()), nullptr);
    EXPECT_EQ(report->imageForAddress(std::numeric_limits<std::uint64_t>::max())->imageName(), "/top");
    EXPECT_EQ(report->imageForAddress(0x10), nullptr);
}

TEST(CrashReportReader, ManyFramesDecode)
{
    ReportBuilder builder;
    Crsh__CrashReport__Thread* thread = builder.addThread(0, true);
    std::vector<Crsh__CrashReport__Thread__StackFrame*> frames;
    for (std::uint64_t i = 0; i < 100000; ++i)
        frames.push_back(builder.frame(0x1000 + i));
    builder.setFrames(thread, std::move(frames));
    builder.addImage(0x1000, 0x1000, "/one");
    platform::Result<CRCrashReport> report = CRCrashReport::initWithData(builder.bytes());
    ASSERT_TRUE(report.ok());
    EXPECT_EQ(report->threads()[0].stackFrames().size(), 100000u);
}

TEST(CrashReportInfo, ImageUUIDsAreLowerCaseHexadecimal)
{
    std::vector<std::uint8_t> bytes;
    for (std::uint8_t i = 0; i < 16; ++i)
        bytes.push_back(i);
    CRCrashReportBinaryImageInfo image(std::nullopt, 0, 0, std::string("/x"), bytes);
    EXPECT_TRUE(image.hasImageUUID());
    EXPECT_EQ(image.imageUUID(), "000102030405060708090a0b0c0d0e0f");
    CRCrashReportBinaryImageInfo empty(std::nullopt, 0, 0, std::string("/x"), std::vector<std::uint8_t>{});
    EXPECT_TRUE(empty.hasImageUUID());
    EXPECT_EQ(empty.imageUUID(), "");
    CRCrashReportBinaryImageInfo none(std::nullopt, 0, 0, std::string("/x"), std::nullopt);
    EXPECT_FALSE(none.hasImageUUID());
    EXPECT_FALSE(none.imageUUID());
}

TEST(CrashReportInfo, FreeMemoryAndDiskSpaceOfTheReadingMachine)
{
    EXPECT_GT(CRCrashReport::availableMemory(), 0.0);
    EXPECT_GE(CRCrashReport::freeDiskSpace(), 0.0);
}

} // namespace
