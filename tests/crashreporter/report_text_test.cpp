// The text rendering of reports: the fixed layout, "???" for what a report lacks, register lines,
// sorted images, and a hand-built report against a stored text.
#include "crashreporter/CRCrashReportTextFormatter.h"

#include "crashreporter/CRCrashReporter.h"

#include "ReportBuilder.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <limits>
#include <iterator>
#include <sstream>

namespace {

using crashtest::ReportBuilder;

std::string render(const ReportBuilder& builder)
{
    platform::Result<CRCrashReport> report = CRCrashReport::initWithData(builder.bytes());
    if (!report.ok()) {
        ADD_FAILURE() << report.error().localizedDescription();
        return {};
    }
    return CRCrashReportTextFormatter::stringValueForCrashReport(report.value(), CRCrashReportTextFormatiOS);
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

bool hasLine(const std::string& text, const std::string& line)
{
    for (const std::string& l : lines(text))
        if (l == line)
            return true;
    return false;
}

// A report with everything: 64-bit ARM images listed in load order, two threads, an exception with
// frames, a frame outside every image, symbols with and without the "_" prefix.
void fill(ReportBuilder& builder)
{
    builder.addReportInfo({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
    builder.system.os_build = builder.text("13E238");
    builder.addMachineInfo("iPhone8,1", builder.processor(0x0100000C, 0));
    builder.addProcessInfo("Demo", 321, "/var/containers/Demo.app/Demo");
    Crsh__CrashReport__Thread* main = builder.addThread(0, false);
    builder.setFrames(main, {builder.frame(0x100004010, "_mach_msg_trap", 0x100004000)});
    Crsh__CrashReport__Thread* crashed = builder.addThread(1, true);
    builder.setFrames(crashed, {builder.frame(0x100000f20, "_crashHere", 0x100000f00), builder.frame(0x100000f80),
                                builder.frame(0x7777)});
    builder.setRegisters(crashed, {{"x0", 0}, {"x1", 0x1}, {"x2", 0x2}, {"x3", 0x3}, {"fp", 0x16fdff000}, {"pc", 0x100000f20}});
    builder.setUUID(builder.addImage(0x100004000, 0x2000, "/usr/lib/libsystem.dylib", builder.processor(0x0100000C, 0)),
                    {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99});
    builder.setUUID(builder.addImage(0x100000000, 0x4000, "/var/containers/Demo.app/Demo", builder.processor(0x0100000C, 0)),
                    {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE});
    builder.addImage(0x100008000, 0, "/usr/lib/empty.dylib", builder.processor(0x0100000C, 13));
    builder.addException("NSRangeException", "index 3 beyond bounds", {builder.frame(0x100000f40, "_throwIt", 0x100000f30)});
}

TEST(CrashReportText, AHandBuiltReportRendersAsTheStoredText)
{
    ReportBuilder builder;
    fill(builder);
    const std::string text = render(builder);
    const std::string golden = std::string(CRASH_TEST_SOURCE_DIR) + "/fixtures/report_golden.txt";
    if (std::getenv("HYB_UPDATE_GOLDEN") != nullptr)
        std::ofstream(golden, std::ios::binary) << text;
    std::ifstream in(golden, std::ios::binary);
    const std::string expected{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(text, expected);
}

TEST(CrashReportText, WhatTheReportLacksIsShownAsQuestionMarks)
{
    ReportBuilder builder;
    Crsh__CrashReport__Thread* thread = builder.addThread(0, false);
    builder.setFrames(thread, {builder.frame(0x9000)});
    builder.addImage(0x1000, 0x1000, "/one");
    builder.system.timestamp = 0;
    const std::string text = render(builder);
    EXPECT_TRUE(hasLine(text, "Incident Identifier: ???"));
    EXPECT_TRUE(hasLine(text, "Hardware Model:      ???"));
    EXPECT_TRUE(hasLine(text, "Process:         ??? [???]"));
    EXPECT_TRUE(hasLine(text, "Path:            ???"));
    EXPECT_TRUE(hasLine(text, "Parent Process:  ??? [???]"));
    EXPECT_TRUE(hasLine(text, "Date/Time:       ???"));
    EXPECT_TRUE(hasLine(text, "OS Version:      iPhone OS 9.3 (??" "?)"));
    // No image with a processor and an unknown architecture: the 64-bit layout.
    EXPECT_TRUE(hasLine(text, "Code Type:       Unknown (6)"));
    // A frame in no image: "???", base 0, offset 0.
    EXPECT_TRUE(hasLine(text, "0   ???                                 0x0000000000009000 0x0 + 0")) << text;
    // Nothing crashed: no "Crashed Thread" line and no register block.
    EXPECT_EQ(text.find("Crashed Thread"), std::string::npos);
    EXPECT_EQ(text.find("Thread State"), std::string::npos);
    EXPECT_EQ(text.find("Application Specific Information"), std::string::npos);
}

// A report whose other threads could not be read says why, after the crashed thread's number; one that
// does not say, or says it in bytes that are not text, has no such line.
TEST(CrashReportText, TheNoteOnBareThreadsFollowsTheCrashedThread)
{
    ReportBuilder builder;
    Crsh__CrashReport__ReportInfo* info = builder.addReportInfo({});
    info->has_uuid = 0;
    builder.addThread(0, true);
    builder.addThread(1, false);
    builder.addImage(0x1000, 0x1000, "/one");
    info->threads_note = builder.text("not stopped: tracing was refused; listed without registers or frames");
    std::string text = render(builder);
    EXPECT_NE(text.find("Crashed Thread:  0\nOther Threads:   not stopped: tracing was refused; listed without "
                        "registers or frames\n\n"),
              std::string::npos)
        << text;
    info->threads_note = nullptr;
    EXPECT_EQ(render(builder).find("Other Threads:"), std::string::npos);
    info->threads_note = builder.text("bad \xFF");
    text = render(builder);
    EXPECT_EQ(text.find("Other Threads:"), std::string::npos) << text;
}

TEST(CrashReportText, AnExceptionWithoutFramesHasNoBacktrace)
{
    ReportBuilder builder;
    crashtest::addMinimalParts(builder);
    builder.addException("E", "why");
    const std::string text = render(builder);
    EXPECT_TRUE(hasLine(text, "Application Specific Information:"));
    EXPECT_TRUE(hasLine(text, "*** Terminating app due to uncaught exception 'E', reason: 'why'"));
    EXPECT_EQ(text.find("Last Exception Backtrace"), std::string::npos);
}

std::vector<std::pair<std::string, std::uint64_t>> registers(std::size_t count)
{
    std::vector<std::pair<std::string, std::uint64_t>> result;
    for (std::size_t i = 0; i < count; ++i)
        result.emplace_back("x" + std::to_string(i), i);
    return result;
}

std::vector<std::string> registerBlock(const std::string& text)
{
    std::vector<std::string> all = lines(text);
    std::vector<std::string> block;
    bool inBlock = false;
    for (const std::string& line : all) {
        if (line.find("Thread State:") != std::string::npos) {
            inBlock = true;
            continue;
        }
        if (inBlock && line.empty())
            break;
        if (inBlock)
            block.push_back(line);
    }
    return block;
}

TEST(CrashReportText, RegistersGoFourToALine)
{
    ReportBuilder builder;
    Crsh__CrashReport__Thread* thread = builder.addThread(0, true);
    builder.addImage(0x1000, 0x1000, "/one", builder.processor(0x0100000C, 0));
    builder.setRegisters(thread, registers(4));
    std::vector<std::string> block = registerBlock(render(builder));
    ASSERT_EQ(block.size(), 1u);
    EXPECT_EQ(block[0], "    x0: 0x0000000000000000     x1: 0x0000000000000001     x2: 0x0000000000000002     x3: "
                        "0x0000000000000003 ");

    ReportBuilder more;
    thread = more.addThread(0, true);
    more.addImage(0x1000, 0x1000, "/one", more.processor(0x0100000C, 0));
    more.setRegisters(thread, registers(34));
    block = registerBlock(render(more));
    ASSERT_EQ(block.size(), 9u);
    EXPECT_EQ(block[8], "   x32: 0x0000000000000020    x33: 0x0000000000000021 ");

    // 32-bit ARM: 8 digits, and r12 is shown as "ip".
    ReportBuilder arm;
    thread = arm.addThread(0, true);
    arm.addMachineInfo(nullptr, arm.processor(12, 9));
    arm.addImage(0x1000, 0x1000, "/one", arm.processor(12, 9));
    arm.setRegisters(thread, {{"r12", 0xC}});
    const std::string armText = render(arm);
    block = registerBlock(armText);
    ASSERT_EQ(block.size(), 1u);
    EXPECT_EQ(block[0], "    ip: 0x0000000c ");
    EXPECT_TRUE(hasLine(armText, "Thread 0 crashed with ARM Thread State:"));
    EXPECT_TRUE(hasLine(armText, "    0x1000 -     0x1fff  one armv7  <??" "?> /one")) << armText;
}

TEST(CrashReportText, ImageEndsNeverWrap)
{
    ReportBuilder builder;
    builder.addThread(0, false);
    builder.addImage(0xFFFFFFFFFFFFF000ull, 0x2000, "/top", builder.processor(0x01000007, 3));
    builder.addImage(0x2000, 0, "/empty", builder.processor(0x01000007, 3));
    const std::string text = render(builder);
    EXPECT_TRUE(hasLine(text, "            0x2000 -             0x2000  empty x86_64  <??" "?> /empty")) << text;
    EXPECT_TRUE(hasLine(text, "0xfffffffffffff000 - 0xffffffffffffffff  top x86_64  <??" "?> /top")) << text;
}

TEST(CrashReportText, ASymbolStartingAboveThePcPrintsANegativeOffset)
{
    ReportBuilder builder;
    Crsh__CrashReport__Thread* thread = builder.addThread(0, false);
    builder.setFrames(thread, {builder.frame(0x1010, "_late", 0x1020)});
    builder.addImage(0x1000, 0x1000, "/lib/one", builder.processor(0x01000007, 3));
    EXPECT_TRUE(hasLine(render(builder), "0   one                                 0x0000000000001010 late + -16"));
}

TEST(CrashReportText, ALiveReportOfThisThreadRenders)
{
    hybtest::TempHome home;
    platform::Result<std::unique_ptr<CRCrashReporter>> reporter = CRCrashReporter::init();
    ASSERT_TRUE(reporter.ok());
    platform::Result<platform::Bytes> bytes = reporter.value()->generateLiveReport();
    ASSERT_TRUE(bytes.ok());
    platform::Result<CRCrashReport> report = CRCrashReport::initWithData(bytes.value());
    ASSERT_TRUE(report.ok()) << report.error().localizedDescription();
    CRCrashReportTextFormatter formatter(CRCrashReportTextFormatiOS, CRCrashReportStringEncodingUTF8);
    platform::Bytes rendered = formatter.formatReport(report.value());
    const std::string text(rendered.begin(), rendered.end());
    EXPECT_TRUE(hasLine(text, "Report Version:  104"));
    EXPECT_TRUE(hasLine(text, "Exception Type:  SIGTRAP"));
    EXPECT_TRUE(hasLine(text, "Code Type:       X86-64"));
    // The image lines come sorted by their base address.
    std::vector<std::uint64_t> bases;
    bool images = false;
    for (const std::string& line : lines(text)) {
        if (line == "Binary Images:") {
            images = true;
            continue;
        }
        if (images && !line.empty())
            bases.push_back(std::stoull(line.substr(0, 18), nullptr, 16));
    }
    ASSERT_FALSE(bases.empty());
    EXPECT_TRUE(std::is_sorted(bases.begin(), bases.end()));
}

TEST(CrashReportText, TheASCIIEncodingReplacesOtherCharacters)
{
    ReportBuilder builder;
    crashtest::addMinimalParts(builder);
    builder.application.identifier = builder.text("caf\xC3\xA9");
    platform::Result<CRCrashReport> report = CRCrashReport::initWithData(builder.bytes());
    ASSERT_TRUE(report.ok());
    platform::Bytes ascii = CRCrashReportTextFormatter(CRCrashReportTextFormatiOS, CRCrashReportStringEncodingASCII)
                                .formatReport(report.value());
    const std::string text(ascii.begin(), ascii.end());
    EXPECT_TRUE(hasLine(text, "Identifier:      caf?"));
}

// Stores a number the enumeration does not name, as a damaged report's unpacked field holds it.
template <typename Enumeration>
void storeNumber(Enumeration& field, std::int32_t number)
{
    static_assert(sizeof field == sizeof number);
    std::memcpy(&field, &number, sizeof number);
}

// Values no writer makes: enumerations outside their lists, timestamps beyond any calendar.
TEST(CrashReportText, NumbersOutsideTheirRangesRenderAsUnknown)
{
    for (std::int32_t number : {-1, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()}) {
        ReportBuilder builder;
        builder.addThread(0, false);
        Crsh__CrashReport__Processor* odd = builder.processor(0x01000007, 3);
        storeNumber(odd->encoding, number); // neither encoding: this image does not decide the code type
        builder.addImage(0x1000, 0x1000, "/one", odd);
        storeNumber(builder.system.operating_system, number);
        storeNumber(builder.system.architecture, number);
        builder.addMachineInfo("model", builder.processor(12, 0));
        storeNumber(builder.machine.processor->encoding, number);
        const std::string text = render(builder);
        const std::string unknown = "Unknown (" + std::to_string(number) + ")";
        EXPECT_TRUE(hasLine(text, "OS Version:      " + unknown + " 9.3 (??" "?)")) << text;
        EXPECT_TRUE(hasLine(text, "Code Type:       " + unknown)) << text;
        EXPECT_NE(text.find(" one ??" "?  <??" "?> /one"), std::string::npos) << text;
    }

    // A date whose year the calendar cannot hold (beyond 2^31 years) is unknown; one before 1970 is a date.
    for (const auto& [timestamp, shown] :
         std::vector<std::pair<std::int64_t, std::string>>{{std::numeric_limits<std::int64_t>::max(), "???"},
                                                            {std::numeric_limits<std::int64_t>::min(), "???"},
                                                            {100000000000000000, "???"},
                                                            {-1, "1969-12-31 23:59:59 +0000"}}) {
        ReportBuilder builder;
        builder.addThread(0, false);
        builder.addImage(0x1000, 0x1000, "/one");
        builder.system.timestamp = timestamp;
        EXPECT_TRUE(hasLine(render(builder), "Date/Time:       " + shown)) << timestamp;
    }
}

} // namespace
