#include "crashreporter/CRCrashHostInfo.h"

#include "crashreporter/crsh_sysctl.h"
#include "platform/core/Log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Reads decimal digits at text[*at]; false when there are none.
bool scanNumber(const std::string& text, std::size_t* at, unsigned* value)
{
    std::size_t start = *at;
    unsigned number = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
        number = number * 10 + static_cast<unsigned>(text[*at] - '0');
        ++*at;
    }
    if (*at == start)
        return false;
    *value = number;
    return true;
}

bool scanDot(const std::string& text, std::size_t* at)
{
    if (*at >= text.size() || text[*at] != '.')
        return false;
    ++*at;
    return true;
}

} // namespace

std::optional<CRCrashHostInfo> CRCrashHostInfo::currentHostInfo()
{
    char* release = crsh_sysctl_string("kern.osrelease");
    if (release == nullptr) {
        int error = errno;
        platform::Log::writef("Failed to fetch kern.osrelease value %d: %s", error, std::strerror(error));
        return std::nullopt;
    }
    CRCrashHostInfo info = initWithRelease(release);
    std::free(release);
    return info;
}

CRCrashHostInfo CRCrashHostInfo::initWithRelease(const std::string& release)
{
    CRCrashHostInfo info;
    CRCrashDarwinVersion& version = info.m_darwinVersion;
    std::size_t at = 0;
    bool complete = scanNumber(release, &at, &version.major) && scanDot(release, &at) &&
                    scanNumber(release, &at, &version.minor) && scanDot(release, &at) &&
                    scanNumber(release, &at, &version.revision);
    if (!complete)
        platform::Log::writef("Unexpected kern.osrelease string format: %s", release.c_str());
    return info;
}

CRCrashMachExceptionPortSet CRCrashMachExceptionPortSet::initWithSet(std::vector<CRCrashMachExceptionPort> set)
{
    if (set.size() > CRSH_EXC_TYPES_COUNT)
        platform::internalInconsistency(platform::formatString("Set size of %lu exceeds EXC_TYPES_COUNT (%lu)",
                                                               static_cast<unsigned long>(set.size()),
                                                               static_cast<unsigned long>(CRSH_EXC_TYPES_COUNT)));
    CRCrashMachExceptionPortSet portSet;
    crsh_exception_port_set& plain = portSet.m_asyncSafeRepresentation;
    for (const CRCrashMachExceptionPort& port : set) {
        plain.masks[plain.count] = port.mask();
        plain.ports[plain.count] = port.server_port();
        plain.behaviors[plain.count] = port.behavior();
        plain.flavors[plain.count] = port.flavor();
        ++plain.count;
    }
    portSet.m_stateSet = std::move(set);
    return portSet;
}

CRCrashMachExceptionPortSet
CRCrashMachExceptionPortSet::initWithAsyncSafeRepresentation(const crsh_exception_port_set& representation)
{
    if (representation.count > CRSH_EXC_TYPES_COUNT)
        platform::internalInconsistency(platform::formatString("Count of %lu exceeds EXC_TYPES_COUNT (%lu)",
                                                               static_cast<unsigned long>(representation.count),
                                                               static_cast<unsigned long>(CRSH_EXC_TYPES_COUNT)));
    CRCrashMachExceptionPortSet portSet;
    for (std::uint32_t i = 0; i < representation.count; ++i)
        portSet.m_stateSet.emplace_back(representation.ports[i], representation.masks[i], representation.behaviors[i],
                                        representation.flavors[i]);
    portSet.m_asyncSafeRepresentation = representation;
    return portSet;
}
