// The decoded crash report as a tree of small immutable values, one class per message of the report
// format. Texts of the report that are not valid UTF-8 read as absent (std::nullopt), as the platform's
// strings read them.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using CRCrashReportText = std::optional<std::string>;

class CRCrashReportSystemInfo {
public:
    CRCrashReportSystemInfo(std::int32_t operatingSystem, CRCrashReportText operatingSystemVersion,
                            CRCrashReportText operatingSystemBuild, std::int32_t architecture,
                            std::optional<platform::Date> timestamp)
        : m_operatingSystem(operatingSystem), m_operatingSystemVersion(std::move(operatingSystemVersion)),
          m_operatingSystemBuild(std::move(operatingSystemBuild)), m_architecture(architecture), m_timestamp(timestamp)
    {
    }
    std::int32_t operatingSystem() const { return m_operatingSystem; }
    const CRCrashReportText& operatingSystemVersion() const { return m_operatingSystemVersion; }
    const CRCrashReportText& operatingSystemBuild() const { return m_operatingSystemBuild; }
    std::int32_t architecture() const { return m_architecture; }
    const std::optional<platform::Date>& timestamp() const { return m_timestamp; }

private:
    std::int32_t m_operatingSystem;
    CRCrashReportText m_operatingSystemVersion;
    CRCrashReportText m_operatingSystemBuild;
    std::int32_t m_architecture;
    std::optional<platform::Date> m_timestamp;
};

class CRCrashReportProcessorInfo {
public:
    CRCrashReportProcessorInfo(std::int32_t typeEncoding, std::uint64_t type, std::uint64_t subtype)
        : m_typeEncoding(typeEncoding), m_type(type), m_subtype(subtype)
    {
    }
    std::int32_t typeEncoding() const { return m_typeEncoding; }
    std::uint64_t type() const { return m_type; }
    std::uint64_t subtype() const { return m_subtype; }

private:
    std::int32_t m_typeEncoding;
    std::uint64_t m_type;
    std::uint64_t m_subtype;
};

class CRCrashReportMachineInfo {
public:
    CRCrashReportMachineInfo(CRCrashReportText modelName, std::optional<CRCrashReportProcessorInfo> processorInfo,
                             std::uint64_t processorCount, std::uint64_t logicalProcessorCount)
        : m_modelName(std::move(modelName)), m_processorInfo(processorInfo), m_processorCount(processorCount),
          m_logicalProcessorCount(logicalProcessorCount)
    {
    }
    const CRCrashReportText& modelName() const { return m_modelName; }
    const std::optional<CRCrashReportProcessorInfo>& processorInfo() const { return m_processorInfo; }
    std::uint64_t processorCount() const { return m_processorCount; }
    std::uint64_t logicalProcessorCount() const { return m_logicalProcessorCount; }

private:
    CRCrashReportText m_modelName;
    std::optional<CRCrashReportProcessorInfo> m_processorInfo;
    std::uint64_t m_processorCount;
    std::uint64_t m_logicalProcessorCount;
};

class CRCrashReportApplicationInfo {
public:
    CRCrashReportApplicationInfo(CRCrashReportText applicationIdentifier, CRCrashReportText applicationVersion)
        : m_applicationIdentifier(std::move(applicationIdentifier)), m_applicationVersion(std::move(applicationVersion))
    {
    }
    const CRCrashReportText& applicationIdentifier() const { return m_applicationIdentifier; }
    const CRCrashReportText& applicationVersion() const { return m_applicationVersion; }

private:
    CRCrashReportText m_applicationIdentifier;
    CRCrashReportText m_applicationVersion;
};

class CRCrashReportProcessInfo {
public:
    CRCrashReportProcessInfo(CRCrashReportText processName, std::uint64_t processID, CRCrashReportText processPath,
                             std::optional<platform::Date> processStartTime, CRCrashReportText parentProcessName,
                             std::uint64_t parentProcessID, bool native)
        : m_processName(std::move(processName)), m_processID(processID), m_processPath(std::move(processPath)),
          m_processStartTime(processStartTime), m_parentProcessName(std::move(parentProcessName)),
          m_parentProcessID(parentProcessID), m_native(native)
    {
    }
    const CRCrashReportText& processName() const { return m_processName; }
    std::uint64_t processID() const { return m_processID; }
    const CRCrashReportText& processPath() const { return m_processPath; }
    const std::optional<platform::Date>& processStartTime() const { return m_processStartTime; }
    const CRCrashReportText& parentProcessName() const { return m_parentProcessName; }
    std::uint64_t parentProcessID() const { return m_parentProcessID; }
    bool native() const { return m_native; }

private:
    CRCrashReportText m_processName;
    std::uint64_t m_processID;
    CRCrashReportText m_processPath;
    std::optional<platform::Date> m_processStartTime;
    CRCrashReportText m_parentProcessName;
    std::uint64_t m_parentProcessID;
    bool m_native;
};

class CRCrashReportSignalInfo {
public:
    CRCrashReportSignalInfo(CRCrashReportText name, CRCrashReportText code, std::uint64_t address)
        : m_name(std::move(name)), m_code(std::move(code)), m_address(address)
    {
    }
    const CRCrashReportText& name() const { return m_name; }
    const CRCrashReportText& code() const { return m_code; }
    std::uint64_t address() const { return m_address; }

private:
    CRCrashReportText m_name;
    CRCrashReportText m_code;
    std::uint64_t m_address;
};

class CRCrashReportMachExceptionInfo {
public:
    CRCrashReportMachExceptionInfo(std::uint64_t type, std::vector<std::uint64_t> codes)
        : m_type(type), m_codes(std::move(codes))
    {
    }
    std::uint64_t type() const { return m_type; }
    const std::vector<std::uint64_t>& codes() const { return m_codes; }

private:
    std::uint64_t m_type;
    std::vector<std::uint64_t> m_codes;
};

class CRCrashReportSymbolInfo {
public:
    CRCrashReportSymbolInfo(CRCrashReportText symbolName, std::uint64_t startAddress, std::uint64_t endAddress)
        : m_symbolName(std::move(symbolName)), m_startAddress(startAddress), m_endAddress(endAddress)
    {
    }
    const CRCrashReportText& symbolName() const { return m_symbolName; }
    std::uint64_t startAddress() const { return m_startAddress; }
    std::uint64_t endAddress() const { return m_endAddress; } // 0 when unknown

private:
    CRCrashReportText m_symbolName;
    std::uint64_t m_startAddress;
    std::uint64_t m_endAddress;
};

class CRCrashReportStackFrameInfo {
public:
    CRCrashReportStackFrameInfo(std::uint64_t instructionPointer, std::optional<CRCrashReportSymbolInfo> symbolInfo)
        : m_instructionPointer(instructionPointer), m_symbolInfo(std::move(symbolInfo))
    {
    }
    std::uint64_t instructionPointer() const { return m_instructionPointer; }
    const std::optional<CRCrashReportSymbolInfo>& symbolInfo() const { return m_symbolInfo; }

private:
    std::uint64_t m_instructionPointer;
    std::optional<CRCrashReportSymbolInfo> m_symbolInfo;
};

class CRCrashReportRegisterInfo {
public:
    CRCrashReportRegisterInfo(CRCrashReportText registerName, std::uint64_t registerValue)
        : m_registerName(std::move(registerName)), m_registerValue(registerValue)
    {
    }
    const CRCrashReportText& registerName() const { return m_registerName; }
    std::uint64_t registerValue() const { return m_registerValue; }

private:
    CRCrashReportText m_registerName;
    std::uint64_t m_registerValue;
};

class CRCrashReportThreadInfo {
public:
    CRCrashReportThreadInfo(std::int64_t threadNumber, std::vector<CRCrashReportStackFrameInfo> stackFrames,
                            bool crashed, std::vector<CRCrashReportRegisterInfo> registers)
        : m_threadNumber(threadNumber), m_stackFrames(std::move(stackFrames)), m_crashed(crashed),
          m_registers(std::move(registers))
    {
    }
    std::int64_t threadNumber() const { return m_threadNumber; }
    const std::vector<CRCrashReportStackFrameInfo>& stackFrames() const { return m_stackFrames; }
    bool crashed() const { return m_crashed; }
    const std::vector<CRCrashReportRegisterInfo>& registers() const { return m_registers; }

private:
    std::int64_t m_threadNumber;
    std::vector<CRCrashReportStackFrameInfo> m_stackFrames;
    bool m_crashed;
    std::vector<CRCrashReportRegisterInfo> m_registers;
};

class CRCrashReportBinaryImageInfo {
public:
    // The UUID's bytes become 2 lower-case hexadecimal digits each; none: no UUID.
    CRCrashReportBinaryImageInfo(std::optional<CRCrashReportProcessorInfo> codeType, std::uint64_t baseAddress,
                                 std::uint64_t size, CRCrashReportText name,
                                 const std::optional<std::vector<std::uint8_t>>& uuid)
        : m_codeType(codeType), m_imageBaseAddress(baseAddress), m_imageSize(size), m_imageName(std::move(name))
    {
        if (uuid) {
            static constexpr char kDigits[] = "0123456789abcdef";
            std::string text;
            for (std::uint8_t byte : *uuid) {
                text += kDigits[byte >> 4];
                text += kDigits[byte & 0xF];
            }
            m_imageUUID = std::move(text);
        }
    }
    const std::optional<CRCrashReportProcessorInfo>& codeType() const { return m_codeType; }
    std::uint64_t imageBaseAddress() const { return m_imageBaseAddress; }
    std::uint64_t imageSize() const { return m_imageSize; }
    const CRCrashReportText& imageName() const { return m_imageName; }
    bool hasImageUUID() const { return m_imageUUID.has_value(); }
    const CRCrashReportText& imageUUID() const { return m_imageUUID; }

private:
    std::optional<CRCrashReportProcessorInfo> m_codeType;
    std::uint64_t m_imageBaseAddress;
    std::uint64_t m_imageSize;
    CRCrashReportText m_imageName;
    CRCrashReportText m_imageUUID;
};

class CRCrashReportExceptionInfo {
public:
    // Without frames: stackFrames() is none (not an empty list).
    CRCrashReportExceptionInfo(CRCrashReportText exceptionName, CRCrashReportText reason)
        : m_exceptionName(std::move(exceptionName)), m_exceptionReason(std::move(reason))
    {
    }
    CRCrashReportExceptionInfo(CRCrashReportText exceptionName, CRCrashReportText reason,
                               std::vector<CRCrashReportStackFrameInfo> stackFrames)
        : m_exceptionName(std::move(exceptionName)), m_exceptionReason(std::move(reason)),
          m_stackFrames(std::move(stackFrames))
    {
    }
    const CRCrashReportText& exceptionName() const { return m_exceptionName; }
    const CRCrashReportText& exceptionReason() const { return m_exceptionReason; }
    const std::optional<std::vector<CRCrashReportStackFrameInfo>>& stackFrames() const { return m_stackFrames; }

private:
    CRCrashReportText m_exceptionName;
    CRCrashReportText m_exceptionReason;
    std::optional<std::vector<CRCrashReportStackFrameInfo>> m_stackFrames;
};
