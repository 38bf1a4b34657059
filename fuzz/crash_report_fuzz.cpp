// Report files are read back from disk, written by an earlier process: arbitrary bytes through the
// reader, and whatever decodes through the text formatter. No crash, no sanitizer report.
// Corpus: fuzz/corpus/crash_report_fuzz/ (a live report of this machine, from corpus_writer).
#include "crashreporter/CRCrashReportTextFormatter.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The reporter refuses larger pending reports before reading them.
    if (size > 262144)
        return 0;
    platform::Result<CRCrashReport> report = CRCrashReport::initWithData(platform::Bytes(data, data + size));
    if (!report.ok())
        return 0;
    const platform::Bytes text =
        CRCrashReportTextFormatter(CRCrashReportTextFormatiOS, CRCrashReportStringEncodingUTF8).formatReport(report.value());
    volatile std::size_t length = text.size();
    (void)length;
    return 0;
}
