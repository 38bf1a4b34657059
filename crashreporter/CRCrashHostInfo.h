// The host's kernel version, and the exception-port records of the crash reporter in the form that
// survives on this platform.
//
// The phone platform installs its exception server through per-task and per-thread exception ports and
// keeps the ports in force before it in a set that crash-time code can read. Linux has no exception ports,
// so only the portable part exists here: the records as plain numbers and the set's fixed-size plain form
// with its conversion in both directions. Nothing fetches, swaps or references ports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The system's number of exception types: the most ports a set can hold.
constexpr std::size_t CRSH_EXC_TYPES_COUNT = 13;

struct CRCrashDarwinVersion {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned revision = 0;
    friend bool operator==(const CRCrashDarwinVersion&, const CRCrashDarwinVersion&) = default;
};

class CRCrashHostInfo {
public:
    // The running kernel's version from "kern.osrelease"; none (and a log line) when it cannot be read.
    static std::optional<CRCrashHostInfo> currentHostInfo();
    // Scans major.minor.revision from a release text; a text that stops early is logged
    // ("Unexpected kern.osrelease string format: ...") and keeps what was read, the rest 0.
    static CRCrashHostInfo initWithRelease(const std::string& release);

    CRCrashDarwinVersion darwinVersion() const { return m_darwinVersion; }

private:
    CRCrashDarwinVersion m_darwinVersion;
};

class CRCrashMachExceptionPort {
public:
    CRCrashMachExceptionPort(std::uint32_t serverPort, std::uint32_t mask, std::uint32_t behavior, std::uint32_t flavor)
        : m_port(serverPort), m_mask(mask), m_behavior(behavior), m_flavor(flavor)
    {
    }
    std::uint32_t server_port() const { return m_port; }
    std::uint32_t mask() const { return m_mask; }
    std::uint32_t behavior() const { return m_behavior; }
    std::uint32_t flavor() const { return m_flavor; }
    friend bool operator==(const CRCrashMachExceptionPort&, const CRCrashMachExceptionPort&) = default;

private:
    std::uint32_t m_port;
    std::uint32_t m_mask;
    std::uint32_t m_behavior;
    std::uint32_t m_flavor;
};

// The set's plain form, readable in crash context.
struct crsh_exception_port_set {
    std::uint32_t count;
    std::uint32_t masks[CRSH_EXC_TYPES_COUNT];
    std::uint32_t ports[CRSH_EXC_TYPES_COUNT];
    std::uint32_t behaviors[CRSH_EXC_TYPES_COUNT];
    std::uint32_t flavors[CRSH_EXC_TYPES_COUNT];
};

class CRCrashMachExceptionPortSet {
public:
    // More than CRSH_EXC_TYPES_COUNT ports is a fatal assertion.
    static CRCrashMachExceptionPortSet initWithSet(std::vector<CRCrashMachExceptionPort> set);
    // A count above CRSH_EXC_TYPES_COUNT is a fatal assertion.
    static CRCrashMachExceptionPortSet initWithAsyncSafeRepresentation(const crsh_exception_port_set& representation);

    const std::vector<CRCrashMachExceptionPort>& set() const { return m_stateSet; }
    const crsh_exception_port_set& asyncSafeRepresentation() const { return m_asyncSafeRepresentation; }
    std::vector<CRCrashMachExceptionPort>::const_iterator begin() const { return m_stateSet.begin(); }
    std::vector<CRCrashMachExceptionPort>::const_iterator end() const { return m_stateSet.end(); }

private:
    std::vector<CRCrashMachExceptionPort> m_stateSet;
    crsh_exception_port_set m_asyncSafeRepresentation{};
};
