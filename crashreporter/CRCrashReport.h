// A crash report read back: the file's header is checked, its message unpacked with protobuf-c, and
// every section converted into the info values of CRCrashReportInfo.h, failing with a specific message at
// the first missing required piece. A report file comes from disk, written by an earlier process: nothing
// in it is trusted.
//
// Errors are in "CRCrashReporterErrorDomain", code 2 (invalid report); their texts pass through the main
// bundle's strings lookup, except the four fixed ones.
#pragma once

#include "crashreporter/CRCrashReportInfo.h"
#include "crashreporter/CRCrashReporterError.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CRCrashReport {
public:
    static platform::Result<CRCrashReport> initWithData(const platform::Bytes& data);

    const CRCrashReportSystemInfo& systemInfo() const { return m_systemInfo; }
    const std::optional<CRCrashReportMachineInfo>& machineInfo() const { return m_machineInfo; }
    const CRCrashReportApplicationInfo& applicationInfo() const { return m_applicationInfo; }
    const std::optional<CRCrashReportProcessInfo>& processInfo() const { return m_processInfo; }
    const CRCrashReportSignalInfo& signalInfo() const { return m_signalInfo; }
    const std::optional<CRCrashReportMachExceptionInfo>& machExceptionInfo() const { return m_machExceptionInfo; }
    const std::vector<CRCrashReportThreadInfo>& threads() const { return m_threads; }
    const std::vector<CRCrashReportBinaryImageInfo>& images() const { return m_images; }
    const std::optional<CRCrashReportExceptionInfo>& exceptionInfo() const { return m_exceptionInfo; }
    // The report's UUID; none when the report has none.
    const std::optional<std::array<std::uint8_t, 16>>& uuidRef() const { return m_uuid; }
    // Why the threads besides the crashed one are listed without registers or frames; none when they are
    // not (or the report does not say).
    const CRCrashReportText& threadsNote() const { return m_threadsNote; }

    bool hasMachineInfo() const { return m_machineInfo.has_value(); }
    bool hasProcessInfo() const { return m_processInfo.has_value(); }
    bool hasExceptionInfo() const { return m_exceptionInfo.has_value(); }

    // The first image, in report order, with base <= address < base + size (compared without wrapping);
    // none when no image holds it.
    const CRCrashReportBinaryImageInfo* imageForAddress(std::uint64_t address) const;

    // Free memory of the reading machine in megabytes; 2^63 when it cannot be read.
    static double availableMemory();
    // Free space of the file system at "/var" in megabytes (whole megabytes); 0 when it cannot be read.
    static double freeDiskSpace();

    // The two figures as decimal text, taken when the report was decoded.
    const std::string& freeMemeory() const { return m_freeMemeory; }
    void setFreeMemeory(std::string text) { m_freeMemeory = std::move(text); }
    const std::string& freeSpace() const { return m_freeSpace; }
    void setFreeSpace(std::string text) { m_freeSpace = std::move(text); }

private:
    CRCrashReport(CRCrashReportSystemInfo systemInfo, CRCrashReportApplicationInfo applicationInfo,
                  CRCrashReportSignalInfo signalInfo)
        : m_systemInfo(std::move(systemInfo)), m_applicationInfo(std::move(applicationInfo)),
          m_signalInfo(std::move(signalInfo))
    {
    }
    friend class CRCrashReportDecoder;

    CRCrashReportSystemInfo m_systemInfo;
    std::optional<CRCrashReportMachineInfo> m_machineInfo;
    CRCrashReportApplicationInfo m_applicationInfo;
    std::optional<CRCrashReportProcessInfo> m_processInfo;
    CRCrashReportSignalInfo m_signalInfo;
    std::optional<CRCrashReportMachExceptionInfo> m_machExceptionInfo;
    std::vector<CRCrashReportThreadInfo> m_threads;
    std::vector<CRCrashReportBinaryImageInfo> m_images;
    std::optional<CRCrashReportExceptionInfo> m_exceptionInfo;
    std::optional<std::array<std::uint8_t, 16>> m_uuid;
    CRCrashReportText m_threadsNote;
    std::string m_freeMemeory;
    std::string m_freeSpace;
};
