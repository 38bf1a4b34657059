// Renders a decoded crash report as the conventional plain-text crash log: the header block, the
// exception, every thread's backtrace, the crashed thread's registers and the binary images. Every label,
// column width and separator is fixed, for people and for the symbolication tools that read this layout.
#pragma once

#include "crashreporter/CRCrashReport.h"

#include <cstdint>
#include <string>

enum CRCrashReportTextFormat : std::int32_t {
    CRCrashReportTextFormatiOS = 0, // the one layout
};

// The encodings formatReport can produce (the platform's numbers).
enum CRCrashReportStringEncoding : unsigned {
    CRCrashReportStringEncodingASCII = 1, // characters outside ASCII become "?"
    CRCrashReportStringEncodingUTF8 = 4,
};

class CRCrashReportTextFormatter {
public:
    CRCrashReportTextFormatter(CRCrashReportTextFormat textFormat, CRCrashReportStringEncoding stringEncoding)
        : m_textFormat(textFormat), m_stringEncoding(stringEncoding)
    {
    }

    // The text in the formatter's encoding. Never fails.
    platform::Bytes formatReport(const CRCrashReport& report) const;

    static std::string stringValueForCrashReport(const CRCrashReport& report, CRCrashReportTextFormat textFormat);

private:
    static std::string formatStackFrame(const CRCrashReportStackFrameInfo& frame, std::size_t frameIndex,
                                        const CRCrashReport& report, bool lp64);

    CRCrashReportTextFormat m_textFormat;
    CRCrashReportStringEncoding m_stringEncoding;
};
