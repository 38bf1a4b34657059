#include "crashreporter/CRCrashReport.h"

#include "crashreporter/crsh.pb-c.h"
#include "platform/system/Bundle.h"
#include "platform/text/Format.h"
#include "platform/text/TextEncoding.h"

#include <sys/statfs.h>
#include <sys/sysinfo.h>

#include <cstring>
#include <memory>

namespace {

using platform::Result;

struct MessageDeleter {
    void operator()(Crsh__CrashReport* report) const { crsh__crash_report__free_unpacked(report, nullptr); }
};
using Message = std::unique_ptr<Crsh__CrashReport, MessageDeleter>;

// An invalid-report error whose text goes through the main bundle's strings lookup.
platform::Error invalid(const std::string& text)
{
    return crsh_reporter_error(CRCrashReporterErrorCrashReportInvalid, platform::Bundle::main().localizedString(text));
}

// One of the texts used as it stands.
platform::Error invalidFixed(const char* text)
{
    return crsh_reporter_error(CRCrashReporterErrorCrashReportInvalid, text);
}

CRCrashReportText text(const char* bytes)
{
    if (bytes == nullptr)
        return std::nullopt;
    return platform::decodeUTF8(bytes);
}

// The number an enumeration field holds. The unpacker stores whatever number the report has, also one the
// enumeration does not name (-1, 2^31 - 1): read as the enumeration type, such a value is undefined, so the
// field's bytes are read as the plain integer they are.
template <typename Enumeration>
std::int32_t enumerationValue(const Enumeration& field)
{
    static_assert(sizeof(Enumeration) == sizeof(std::int32_t));
    std::int32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

std::optional<platform::Date> dateSince1970(std::int64_t seconds)
{
    return platform::Date{static_cast<double>(seconds)};
}

// Extracts an optional part into `into` when the message has it; the extractor's error when it fails.
template <class T, class Part, class Extract>
std::optional<platform::Error> extractPresent(const Part* part, Extract extract, std::optional<T>& into)
{
    if (part == nullptr)
        return std::nullopt;
    Result<T> extracted = extract(part);
    if (!extracted)
        return extracted.error();
    into = std::move(extracted.value());
    return std::nullopt;
}

} // namespace

class CRCrashReportDecoder {
public:
    static Result<Message> decodeCrashData(const platform::Bytes& data)
    {
        if (data.size() <= 8)
            return invalid("Could not decode truncated crash log");
        if (std::memcmp(data.data(), "crshlog", 7) != 0)
            return invalid("Could not decode invalid crash log header");
        if (data[7] != 1)
            return invalid(platform::formatString(
                platform::Bundle::main().localizedString("Could not decode unsupported crash report version: %d"),
                {static_cast<int>(data[7])}));
        Message message(crsh__crash_report__unpack(nullptr, data.size() - 8, data.data() + 8));
        if (!message)
            return invalid("An unknown error occured decoding the crash report");
        return message;
    }

    static Result<CRCrashReportSystemInfo> extractSystemInfo(const Crsh__CrashReport__SystemInfo* info)
    {
        if (info == nullptr)
            return invalid("Crash report is missing System Information section");
        if (info->os_version == nullptr)
            return invalid("Crash report is missing System Information OS version field");
        std::optional<platform::Date> timestamp;
        if (info->timestamp != 0)
            timestamp = dateSince1970(info->timestamp);
        return CRCrashReportSystemInfo(enumerationValue(info->operating_system), text(info->os_version),
                                       text(info->os_build), enumerationValue(info->architecture), timestamp);
    }

    static Result<CRCrashReportProcessorInfo> extractProcessorInfo(const Crsh__CrashReport__Processor* info)
    {
        if (info == nullptr)
            return invalid("Crash report is missing processor info section");
        return CRCrashReportProcessorInfo(enumerationValue(info->encoding), info->type, info->subtype);
    }

    static Result<CRCrashReportMachineInfo> extractMachineInfo(const Crsh__CrashReport__MachineInfo* info)
    {
        if (info == nullptr)
            return invalid("Crash report is missing Machine Information section");
        std::optional<CRCrashReportProcessorInfo> processor;
        if (std::optional<platform::Error> failed = extractPresent(info->processor, extractProcessorInfo, processor))
            return *failed;
        return CRCrashReportMachineInfo(text(info->model), processor, info->processor_count,
                                        info->logical_processor_count);
    }

    static Result<CRCrashReportApplicationInfo> extractApplicationInfo(const Crsh__CrashReport__ApplicationInfo* info)
    {
        if (info == nullptr)
            return invalid("Crash report is missing Application Information section");
        if (info->identifier == nullptr)
            return invalid("Crash report is missing Application Information app identifier field");
        if (info->version == nullptr)
            return invalid("Crash report is missing Application Information app version field");
        return CRCrashReportApplicationInfo(text(info->identifier), text(info->version));
    }

    static Result<CRCrashReportProcessInfo> extractProcessInfo(const Crsh__CrashReport__ProcessInfo* info)
    {
        if (info == nullptr)
            return invalid("Crash report is missing Process Information section");
        std::optional<platform::Date> start;
        if (info->has_start_time)
            start = platform::Date{static_cast<double>(info->start_time)};
        return CRCrashReportProcessInfo(text(info->process_name), info->process_id, text(info->process_path), start,
                                        text(info->parent_process_name), info->parent_process_id, info->native != 0);
    }

    static Result<CRCrashReportSymbolInfo> extractSymbolInfo(const Crsh__CrashReport__Symbol* info)
    {
        if (info == nullptr)
            return invalid("Crash report is missing symbol information");
        return CRCrashReportSymbolInfo(text(info->name), info->start_address,
                                       info->has_end_address ? info->end_address : 0);
    }

    static Result<CRCrashReportStackFrameInfo> extractStackFrameInfo(const Crsh__CrashReport__Thread__StackFrame* info)
    {
        if (info == nullptr)
            return invalid("Crash report is missing stack frame information");
        std::optional<CRCrashReportSymbolInfo> symbol;
        if (std::optional<platform::Error> failed = extractPresent(info->symbol, extractSymbolInfo, symbol))
            return *failed;
        return CRCrashReportStackFrameInfo(info->pc, std::move(symbol));
    }

    static Result<std::vector<CRCrashReportStackFrameInfo>> extractFrames(Crsh__CrashReport__Thread__StackFrame* const* frames,
                                                                          std::size_t count)
    {
        std::vector<CRCrashReportStackFrameInfo> result;
        result.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            Result<CRCrashReportStackFrameInfo> frame = extractStackFrameInfo(frames[i]);
            if (!frame)
                return frame.error();
            result.push_back(std::move(frame.value()));
        }
        return result;
    }

    static Result<std::vector<CRCrashReportThreadInfo>> extractThreadInfo(const Crsh__CrashReport* report)
    {
        if (report->n_threads == 0)
            return invalid("Crash report is missing thread state information");
        std::vector<CRCrashReportThreadInfo> threads;
        threads.reserve(report->n_threads);
        for (std::size_t i = 0; i < report->n_threads; ++i) {
            const Crsh__CrashReport__Thread* thread = report->threads[i];
            Result<std::vector<CRCrashReportStackFrameInfo>> frames = extractFrames(thread->frames, thread->n_frames);
            if (!frames)
                return frames.error();
            std::vector<CRCrashReportRegisterInfo> registers;
            registers.reserve(thread->n_registers);
            for (std::size_t r = 0; r < thread->n_registers; ++r) {
                const Crsh__CrashReport__Thread__RegisterValue* value = thread->registers[r];
                if (value->name == nullptr)
                    return invalidFixed("Missing register name in register value");
                registers.emplace_back(text(value->name), value->value);
            }
            threads.emplace_back(thread->thread_number, std::move(frames.value()), thread->crashed != 0,
                                 std::move(registers));
        }
        return threads;
    }

    static Result<std::vector<CRCrashReportBinaryImageInfo>> extractImageInfo(const Crsh__CrashReport* report)
    {
        if (report->n_binary_images == 0)
            return invalid("Crash report is missing binary image information");
        std::vector<CRCrashReportBinaryImageInfo> images;
        images.reserve(report->n_binary_images);
        for (std::size_t i = 0; i < report->n_binary_images; ++i) {
            const Crsh__CrashReport__BinaryImage* image = report->binary_images[i];
            if (image->name == nullptr)
                return invalidFixed("Missing image name in image record");
            std::optional<CRCrashReportProcessorInfo> codeType;
            if (std::optional<platform::Error> failed = extractPresent(image->code_type, extractProcessorInfo, codeType))
                return *failed;
            std::optional<std::vector<std::uint8_t>> uuid;
            if (image->has_uuid)
                uuid = std::vector<std::uint8_t>(image->uuid.data, image->uuid.data + image->uuid.len);
            images.emplace_back(codeType, image->base_address, image->size, text(image->name), uuid);
        }
        return images;
    }

    static Result<CRCrashReportExceptionInfo> extractExceptionInfo(const Crsh__CrashReport__Exception* info)
    {
        if (info == nullptr)
            return invalid("Crash report is missing Exception Information section");
        if (info->name == nullptr)
            return invalid("Crash report is missing exception name field");
        if (info->reason == nullptr)
            return invalid("Crash report is missing exception reason field");
        if (info->n_frames == 0)
            return CRCrashReportExceptionInfo(text(info->name), text(info->reason));
        Result<std::vector<CRCrashReportStackFrameInfo>> frames = extractFrames(info->frames, info->n_frames);
        if (!frames)
            return frames.error();
        return CRCrashReportExceptionInfo(text(info->name), text(info->reason), std::move(frames.value()));
    }

    static Result<CRCrashReportSignalInfo> extractSignalInfo(const Crsh__CrashReport__Signal* info)
    {
        if (info == nullptr)
            return invalid("Crash report is missing Signal Information section");
        if (info->name == nullptr)
            return invalid("Crash report is missing signal name field");
        if (info->code == nullptr)
            return invalid("Crash report is missing signal code field");
        return CRCrashReportSignalInfo(text(info->name), text(info->code), info->address);
    }

    static Result<CRCrashReportMachExceptionInfo> extractMachExceptionInfo(
        const Crsh__CrashReport__Signal__MachException* info)
    {
        if (info == nullptr)
            return invalid("Crash report is missing Mach Exception Information section");
        if (info->n_codes >= 256)
            return invalid("Crash report includes too many Mach Exception codes");
        return CRCrashReportMachExceptionInfo(info->type,
                                              std::vector<std::uint64_t>(info->codes, info->codes + info->n_codes));
    }

    static Result<CRCrashReport> decode(const platform::Bytes& data)
    {
        Result<Message> decoded = decodeCrashData(data);
        if (!decoded)
            return decoded.error();
        const Crsh__CrashReport* message = decoded.value().get();

        std::optional<std::array<std::uint8_t, 16>> uuid;
        if (message->report_info != nullptr && message->report_info->has_uuid) {
            if (message->report_info->uuid.len != 16)
                return invalidFixed("Report UUID value is not a standard 16 bytes");
            uuid.emplace();
            std::memcpy(uuid->data(), message->report_info->uuid.data, 16);
        }
        Result<CRCrashReportSystemInfo> system = extractSystemInfo(message->system_info);
        if (!system)
            return system.error();
        std::optional<CRCrashReportMachineInfo> machine;
        if (std::optional<platform::Error> failed = extractPresent(message->machine_info, extractMachineInfo, machine))
            return *failed;
        Result<CRCrashReportApplicationInfo> application = extractApplicationInfo(message->application_info);
        if (!application)
            return application.error();
        std::optional<CRCrashReportProcessInfo> process;
        if (std::optional<platform::Error> failed = extractPresent(message->process_info, extractProcessInfo, process))
            return *failed;
        Result<CRCrashReportSignalInfo> signal = extractSignalInfo(message->signal);
        if (!signal)
            return signal.error();
        std::optional<CRCrashReportMachExceptionInfo> mach;
        if (std::optional<platform::Error> failed =
                extractPresent(message->signal->mach_exception, extractMachExceptionInfo, mach))
            return *failed;
        Result<std::vector<CRCrashReportThreadInfo>> threads = extractThreadInfo(message);
        if (!threads)
            return threads.error();
        Result<std::vector<CRCrashReportBinaryImageInfo>> images = extractImageInfo(message);
        if (!images)
            return images.error();
        std::optional<CRCrashReportExceptionInfo> exception;
        if (std::optional<platform::Error> failed = extractPresent(message->exception, extractExceptionInfo, exception))
            return *failed;

        CRCrashReport report(std::move(system.value()), std::move(application.value()), std::move(signal.value()));
        report.m_uuid = uuid;
        if (message->report_info != nullptr)
            report.m_threadsNote = text(message->report_info->threads_note);
        report.m_machineInfo = std::move(machine);
        report.m_processInfo = std::move(process);
        report.m_machExceptionInfo = std::move(mach);
        report.m_threads = std::move(threads.value());
        report.m_images = std::move(images.value());
        report.m_exceptionInfo = std::move(exception);
        report.m_freeMemeory = platform::formatString("%@", {CRCrashReport::availableMemory()});
        report.m_freeSpace = platform::formatString("%@", {CRCrashReport::freeDiskSpace()});
        return report;
    }
};

platform::Result<CRCrashReport> CRCrashReport::initWithData(const platform::Bytes& data)
{
    return CRCrashReportDecoder::decode(data);
}

const CRCrashReportBinaryImageInfo* CRCrashReport::imageForAddress(std::uint64_t address) const
{
    for (const CRCrashReportBinaryImageInfo& image : m_images) {
        // address - base < size holds exactly when base <= address < base + size, also where base + size
        // would pass the top of the address range.
        if (address >= image.imageBaseAddress() && address - image.imageBaseAddress() < image.imageSize())
            return &image;
    }
    return nullptr;
}

double CRCrashReport::availableMemory()
{
    struct sysinfo info {};
    if (sysinfo(&info) != 0)
        return 9223372036854775808.0;
    return static_cast<double>(info.freeram) * info.mem_unit / 1024 / 1024;
}

double CRCrashReport::freeDiskSpace()
{
    struct statfs status {};
    if (statfs("/var", &status) != 0)
        return 0.0;
    return static_cast<double>(static_cast<std::uint64_t>(status.f_bsize) * status.f_bfree / 1048576);
}
