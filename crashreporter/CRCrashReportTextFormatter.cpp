#include "crashreporter/CRCrashReportTextFormatter.h"

#include "platform/core/Log.h"
#include "platform/files/FileManager.h"
#include "platform/text/Format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace {

// The platform's formatting with "%@" (Log.h's printf-style formatString is another overload).
std::string format(std::string_view spec, std::initializer_list<platform::FormatArgument> arguments)
{
    return platform::formatString(spec, arguments);
}

constexpr const char* kUnknown = "???";
constexpr std::int32_t kTypeEncodingMach = 1;
constexpr std::uint64_t kCpuX86 = 7, kCpuX86_64 = 0x01000007, kCpuArm = 12, kCpuArm64 = 0x0100000C, kCpuPpc = 18;

std::string orUnknown(const CRCrashReportText& text)
{
    return text ? *text : kUnknown;
}

std::string osName(std::int32_t operatingSystem)
{
    switch (operatingSystem) {
    case 0:
    case 2:
        return "Mac OS X";
    case 1:
        return "iPhone OS";
    default:
        return format("Unknown (%d)", {operatingSystem});
    }
}

struct CodeType {
    std::string name;
    bool lp64;
};

// The first image with a known processor decides; else the system's architecture.
CodeType codeTypeOf(const CRCrashReport& report)
{
    for (const CRCrashReportBinaryImageInfo& image : report.images()) {
        const std::optional<CRCrashReportProcessorInfo>& code = image.codeType();
        if (!code || code->typeEncoding() != kTypeEncodingMach)
            continue;
        switch (code->type()) {
        case kCpuX86_64:
            return {"X86-64", true};
        case kCpuArm64:
            return {"ARM-64", true};
        case kCpuX86:
            return {"X86", false};
        case kCpuArm:
            return {"ARM", false};
        case kCpuPpc:
            return {"PPC", false};
        default:
            break;
        }
    }
    const std::int32_t architecture = report.systemInfo().architecture();
    switch (architecture) {
    case 0:
        return {"X86", false};
    case 1:
        return {"X86-64", true};
    case 2:
    case 5:
        return {"ARM", false};
    case 3:
        return {"PPC", false};
    default:
        return {format("Unknown (%d)", {architecture}), true};
    }
}

std::string architectureName(const std::optional<CRCrashReportProcessorInfo>& code)
{
    if (!code || code->typeEncoding() != kTypeEncodingMach)
        return kUnknown;
    switch (code->type()) {
    case kCpuX86_64:
        return "x86_64";
    case kCpuX86:
        return "i386";
    case kCpuArm:
        switch (code->subtype()) {
        case 6:
            return "armv6";
        case 9:
            return "armv7";
        case 11:
            return "armv7s";
        default:
            return "arm-unknown";
        }
    case kCpuArm64:
        switch (code->subtype()) {
        case 0:
            return "arm64";
        case 13:
            return "armv8";
        default:
            return "arm64-unknown";
        }
    case kCpuPpc:
        return "powerpc";
    default:
        return kUnknown;
    }
}

CRCrashReportText lastComponent(const CRCrashReportText& path)
{
    if (!path)
        return std::nullopt;
    return platform::lastPathComponent(*path);
}

// Whether the platform can write the date as a calendar date: a timestamp from a damaged report may lie
// beyond any year.
bool hasCalendarText(const platform::Date& date)
{
    const double seconds = std::floor(date.secondsSince1970);
    if (!std::isfinite(seconds) || seconds < -9.2e18 || seconds > 9.2e18)
        return false;
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    return gmtime_r(&t, &tm) != nullptr;
}

// The platform's text of a UUID: upper-case digit groups of 8, 4, 4, 4 and 12.
std::string uuidText(const std::array<std::uint8_t, 16>& uuid)
{
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        std::snprintf(pair, sizeof pair, "%02X", uuid[i]);
        text += pair;
    }
    return text;
}

} // namespace

std::string CRCrashReportTextFormatter::formatStackFrame(const CRCrashReportStackFrameInfo& frame,
                                                         std::size_t frameIndex, const CRCrashReport& report, bool lp64)
{
    const std::uint64_t pc = frame.instructionPointer();
    CRCrashReportText imageText = std::string(kUnknown);
    std::uint64_t base = 0;
    std::uint64_t offset = 0;
    if (const CRCrashReportBinaryImageInfo* image = report.imageForAddress(pc)) {
        imageText = lastComponent(image->imageName());
        base = image->imageBaseAddress();
        offset = pc - base;
    }
    std::string detail;
    if (const std::optional<CRCrashReportSymbolInfo>& symbol = frame.symbolInfo()) {
        CRCrashReportText name = symbol->symbolName();
        if (name && name->size() >= 2 && (*name)[0] == '_') {
            const std::int32_t os = report.systemInfo().operatingSystem();
            if (os == 0 || os == 1 || os == 2)
                name = name->substr(1);
            else
                platform::Log::write("Symbol prefix rules are unknown for this OS!");
        }
        detail = format("%@ + %lld", {name, static_cast<std::int64_t>(pc - symbol->startAddress())});
    } else {
        detail = format("0x%llx + %lld", {base, static_cast<std::int64_t>(offset)});
    }
    return format("%-4ld%-35S 0x%0*llx %@\n",
                        {static_cast<std::int64_t>(frameIndex), imageText, lp64 ? 16 : 8, pc, detail});
}

std::string CRCrashReportTextFormatter::stringValueForCrashReport(const CRCrashReport& report, CRCrashReportTextFormat)
{
    std::string text;
    const CodeType codeType = codeTypeOf(report);
    const std::optional<CRCrashReportMachineInfo>& machine = report.machineInfo();
    const std::optional<CRCrashReportProcessInfo>& process = report.processInfo();

    text += format("Incident Identifier: %@\n", {report.uuidRef() ? uuidText(*report.uuidRef()) : kUnknown});
    // The report carries no device key: the line shows that, as every other missing value.
    text += format("CrashReporter Key:   %@\n", {kUnknown});
    text += format("Hardware Model:      %@\n", {machine ? orUnknown(machine->modelName()) : kUnknown});
    if (process) {
        text += format("Process:         %@ [%@]\n", {orUnknown(process->processName()), process->processID()});
        text += format("Path:            %@\n", {orUnknown(process->processPath())});
    } else {
        text += format("Process:         %@ [%@]\n", {kUnknown, kUnknown});
        text += format("Path:            %@\n", {kUnknown});
    }
    text += format("Identifier:      %@\n", {report.applicationInfo().applicationIdentifier()});
    text += format("Version:         %@\n", {report.applicationInfo().applicationVersion()});
    text += format("Code Type:       %@\n", {codeType.name});
    if (process)
        text += format("Parent Process:  %@ [%@]\n",
                             {orUnknown(process->parentProcessName()), process->parentProcessID()});
    else
        text += format("Parent Process:  %@ [%@]\n", {kUnknown, kUnknown});
    text += "\n";

    const CRCrashReportSystemInfo& system = report.systemInfo();
    if (system.timestamp() && hasCalendarText(*system.timestamp()))
        text += format("Date/Time:       %@\n", {platform::Value(*system.timestamp())});
    else
        text += format("Date/Time:       %@\n", {kUnknown});
    text += format("OS Version:      %@ %@ (%@)\n", {osName(system.operatingSystem()),
                                                          system.operatingSystemVersion(),
                                                          orUnknown(system.operatingSystemBuild())});
    text += "Report Version:  104\n\n";

    const CRCrashReportSignalInfo& signal = report.signalInfo();
    text += format("Exception Type:  %@\n", {signal.name()});
    text += format("Exception Codes: %@ at 0x%llx\n", {signal.code(), signal.address()});
    const std::vector<CRCrashReportThreadInfo>& threads = report.threads();
    auto firstCrashed = std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t.crashed(); });
    if (firstCrashed != threads.end())
        text += format("Crashed Thread:  %ld\n", {firstCrashed->threadNumber()});
    if (report.threadsNote())
        text += format("Other Threads:   %@\n", {*report.threadsNote()});
    text += "\n";

    if (const std::optional<CRCrashReportExceptionInfo>& exception = report.exceptionInfo()) {
        text += "Application Specific Information:\n";
        text += format("*** Terminating app due to uncaught exception '%@', reason: '%@'\n",
                             {exception->exceptionName(), exception->exceptionReason()});
        text += "\n";
        if (exception->stackFrames() && !exception->stackFrames()->empty()) {
            text += "Last Exception Backtrace:\n";
            for (std::size_t i = 0; i < exception->stackFrames()->size(); ++i)
                text += formatStackFrame((*exception->stackFrames())[i], i, report, codeType.lp64);
            text += "\n";
        }
    }

    const CRCrashReportThreadInfo* lastCrashed = nullptr;
    for (const CRCrashReportThreadInfo& thread : threads) {
        if (thread.crashed()) {
            text += format("Thread %ld Crashed:\n", {thread.threadNumber()});
            lastCrashed = &thread;
        } else {
            text += format("Thread %ld:\n", {thread.threadNumber()});
        }
        for (std::size_t i = 0; i < thread.stackFrames().size(); ++i)
            text += formatStackFrame(thread.stackFrames()[i], i, report, codeType.lp64);
        text += "\n";
    }

    if (lastCrashed != nullptr) {
        text += format("Thread %ld crashed with %@ Thread State:\n", {lastCrashed->threadNumber(), codeType.name});
        const bool armNames = machine && machine->processorInfo() &&
                              machine->processorInfo()->typeEncoding() == kTypeEncodingMach &&
                              (machine->processorInfo()->type() & 0xFFFFFF) == kCpuArm;
        const char* registerFormat = codeType.lp64 ? "%6s: 0x%016llx " : "%6s: 0x%08llx ";
        const std::vector<CRCrashReportRegisterInfo>& registers = lastCrashed->registers();
        for (std::size_t i = 0; i < registers.size(); ++i) {
            CRCrashReportText name = registers[i].registerName();
            if (armNames && name == "r12")
                name = "ip";
            text += format(registerFormat, {name, registers[i].registerValue()});
            if (i % 4 == 3)
                text += "\n";
        }
        if (registers.size() % 4 != 0)
            text += "\n";
        text += "\n";
    }

    text += "Binary Images:\n";
    std::vector<const CRCrashReportBinaryImageInfo*> images;
    for (const CRCrashReportBinaryImageInfo& image : report.images())
        images.push_back(&image);
    std::stable_sort(images.begin(), images.end(),
                     [](const auto* a, const auto* b) { return a->imageBaseAddress() < b->imageBaseAddress(); });
    // The platform's format reads "%18#llx": flags may follow the width there, not in ours.
    const char* imageFormat = codeType.lp64 ? "%#18llx - %#18llx %@%@ %@  <%@> %@\n"
                                            : "%#10llx - %#10llx %@%@ %@  <%@> %@\n";
    const CRCrashReportText processPath = process ? process->processPath() : std::nullopt;
    for (const CRCrashReportBinaryImageInfo* image : images) {
        const std::uint64_t base = image->imageBaseAddress();
        const std::uint64_t size = image->imageSize();
        std::uint64_t end = base;
        if (size != 0)
            end = size - 1 > std::numeric_limits<std::uint64_t>::max() - base ? std::numeric_limits<std::uint64_t>::max()
                                                                                : base + (size - 1);
        const bool isProcess = processPath && image->imageName() == processPath;
        text += format(imageFormat, {base, end, isProcess ? "+" : " ", lastComponent(image->imageName()),
                                           architectureName(image->codeType()),
                                           image->imageUUID() ? *image->imageUUID() : kUnknown, image->imageName()});
    }
    return text;
}

platform::Bytes CRCrashReportTextFormatter::formatReport(const CRCrashReport& report) const
{
    const std::string text = stringValueForCrashReport(report, m_textFormat);
    platform::Bytes bytes;
    bytes.reserve(text.size());
    if (m_stringEncoding == CRCrashReportStringEncodingASCII) {
        // One "?" per character outside ASCII (a UTF-8 lead byte starts one; continuation bytes do not).
        for (unsigned char c : text) {
            if (c < 0x80)
                bytes.push_back(c);
            else if ((c & 0xC0) != 0x80)
                bytes.push_back('?');
        }
        return bytes;
    }
    bytes.assign(text.begin(), text.end());
    return bytes;
}
