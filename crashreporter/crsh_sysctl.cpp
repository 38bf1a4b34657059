#include "crashreporter/crsh_sysctl.h"

#include "crashreporter/crsh_async.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The Mach CPU numbers of the running architecture.
#if defined(__x86_64__)
constexpr std::int32_t kCPUType = 0x01000007;
constexpr std::int32_t kCPUSubtype = 3;
#elif defined(__aarch64__)
constexpr std::int32_t kCPUType = 0x0100000C;
constexpr std::int32_t kCPUSubtype = 0;
#else
constexpr std::int32_t kCPUType = -1;
constexpr std::int32_t kCPUSubtype = -1;
#endif

// Copies a value out as sysctlbyname does: with no buffer, only its size; into a buffer too small, ENOMEM.
int copyOut(const void* value, std::size_t size, void* buffer, std::size_t* length)
{
    if (buffer == nullptr) {
        *length = size;
        return 0;
    }
    if (*length < size) {
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(buffer, value, size);
    *length = size;
    return 0;
}

int readValue(const char* name, void* buffer, std::size_t* length)
{
    std::string_view key = name != nullptr ? name : "";
    utsname system{};
    if (key == "kern.osversion" || key == "kern.osrelease" || key == "hw.machine") {
        if (uname(&system) != 0)
            return -1;
        const char* text = key == "kern.osversion" ? system.version
                         : key == "kern.osrelease" ? system.release
                                                   : system.machine;
        return copyOut(text, std::strlen(text) + 1, buffer, length);
    }
    std::int32_t number;
    if (key == "hw.cputype") {
        number = kCPUType;
    } else if (key == "hw.cpusubtype") {
        number = kCPUSubtype;
    } else if (key == "hw.physicalcpu_max" || key == "hw.logicalcpu_max") {
        number = static_cast<std::int32_t>(sysconf(_SC_NPROCESSORS_CONF));
    } else if (key == "sysctl.proc_native") {
        number = 1;
    } else {
        errno = ENOENT;
        return -1;
    }
    return copyOut(&number, sizeof number, buffer, length);
}

} // namespace

char* crsh_sysctl_string(const char* name)
{
    for (;;) {
        std::size_t length = 0;
        if (readValue(name, nullptr, &length) != 0)
            return nullptr;
        // One more byte keeps the copy terminated whatever the value holds.
        char* value = static_cast<char*>(std::calloc(length + 1, 1));
        if (value == nullptr) {
            errno = ENOMEM;
            return nullptr;
        }
        if (readValue(name, value, &length) == 0)
            return value;
        int failure = errno;
        std::free(value);
        errno = failure;
        if (failure != ENOMEM)
            return nullptr;
        // The value grew between the two calls: ask its size again.
    }
}

bool crsh_sysctl_int(const char* name, std::int32_t* result)
{
    std::int32_t value = 0;
    std::size_t length = sizeof value;
    if (readValue(name, &value, &length) != 0)
        return false;
    *result = value;
    return true;
}

std::size_t crsh_sysctl_valid_utf8_bytes(const std::uint8_t* bytes, std::size_t length)
{
    std::size_t count = 0;
    if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        count = 3;
    while (count < length) {
        std::uint8_t lead = bytes[count];
        if (lead == 0)
            break;
        std::size_t continuation;
        if (lead < 0x80)
            continuation = 0;
        else if ((lead & 0xE0) == 0xC0)
            continuation = 1;
        else if ((lead & 0xF0) == 0xE0)
            continuation = 2;
        else if ((lead & 0xF8) == 0xF0)
            continuation = 3;
        else
            break;
        if (continuation >= length - count)
            break;
        std::size_t i = 1;
        while (i <= continuation && (bytes[count + i] & 0xC0) == 0x80)
            ++i;
        if (i <= continuation)
            break;
        count += continuation + 1;
    }
    return count;
}

std::size_t crsh_sysctl_valid_utf8_bytes(const char* string)
{
    return crsh_sysctl_valid_utf8_bytes(reinterpret_cast<const std::uint8_t*>(string), std::strlen(string));
}

char* crsh_strdup_utf8(const char* text)
{
    if (text == nullptr)
        return nullptr;
    const std::size_t length = std::strlen(text);
    const std::size_t capacity = 3 * length + 1; // each byte may become a three-byte replacement
    auto* copy = static_cast<char*>(std::malloc(capacity));
    if (copy != nullptr)
        (void)crsh_async_utf8_sanitize(copy, capacity, text, length);
    return copy;
}
