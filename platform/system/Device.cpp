#include "platform/system/Device.h"

#include "platform/system/Bundle.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>

namespace platform {

namespace {
constexpr const char* kDefaultSystemVersion = "9.0";

std::string machineIdText() {
    std::ifstream in("/etc/machine-id");
    std::string id;
    if (in)
        std::getline(in, id);
    if (id.empty()) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) == 0)
            id = host;
    }
    return id;
}

// A stable 128-bit digest (two FNV-1a 64 passes with different offsets) printed as a version-4-shaped
// UUID. Not cryptographic: it only has to be stable and unlikely to collide between vendors.
std::string uuidFromText(const std::string& text) {
    auto fnv = [&](std::uint64_t hash) {
        for (unsigned char c : text) {
            hash ^= c;
            hash *= 0x100000001b3ULL;
        }
        return hash;
    };
    std::uint64_t hi = fnv(0xcbf29ce484222325ULL);
    std::uint64_t lo = fnv(0x84222325cbf29ce4ULL ^ hi);
    hi = (hi & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;
    lo = (lo & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(hi >> 32),
                  static_cast<unsigned>((hi >> 16) & 0xFFFF), static_cast<unsigned>(hi & 0xFFFF),
                  static_cast<unsigned>(lo >> 48), static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFULL));
    return buf;
}

std::string vendorOf(const std::string& bundleIdentifier) {
    auto dot = bundleIdentifier.rfind('.');
    return dot == std::string::npos ? bundleIdentifier : bundleIdentifier.substr(0, dot);
}
} // namespace

Device& Device::current() {
    static Device device;
    return device;
}

Device::Device() : m_systemVersion(kDefaultSystemVersion) {}

std::string Device::name() const {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return "localhost";
    return host;
}

std::string Device::model() const {
    std::lock_guard lock(m_mutex);
    if (!m_model.empty())
        return m_model;
    return m_idiom == UserInterfaceIdiom::Pad ? "iPad" : "iPhone";
}

std::string Device::localizedModel() const { return model(); }

std::string Device::systemName() const { return "iOS"; }

std::string Device::systemVersion() const {
    std::lock_guard lock(m_mutex);
    return m_systemVersion;
}

UserInterfaceIdiom Device::userInterfaceIdiom() const {
    std::lock_guard lock(m_mutex);
    return m_idiom;
}

std::string Device::identifierForVendor() const {
    std::lock_guard lock(m_mutex);
    if (!m_vendorId.empty())
        return m_vendorId;
    std::string domain = m_vendorDomain.empty() ? Bundle::main().bundleIdentifier() : m_vendorDomain;
    return uuidFromText(machineIdText() + "/" + vendorOf(domain));
}

bool Device::isMultitaskingSupported() const { return true; }

std::string Device::machine() const {
    {
        std::lock_guard lock(m_mutex);
        if (!m_machine.empty())
            return m_machine;
    }
    struct utsname u {};
    if (uname(&u) != 0)
        return {};
    return u.machine;
}

void Device::setSystemVersion(std::string version) {
    std::lock_guard lock(m_mutex);
    m_systemVersion = std::move(version);
}

void Device::setModel(std::string model) {
    std::lock_guard lock(m_mutex);
    m_model = std::move(model);
}

void Device::setUserInterfaceIdiom(UserInterfaceIdiom idiom) {
    std::lock_guard lock(m_mutex);
    m_idiom = idiom;
}

void Device::setIdentifierForVendor(std::string uuid) {
    std::lock_guard lock(m_mutex);
    m_vendorId = std::move(uuid);
}

void Device::setVendorDomain(std::string bundleIdentifier) {
    std::lock_guard lock(m_mutex);
    m_vendorDomain = std::move(bundleIdentifier);
}

void Device::setMachine(std::string machine) {
    std::lock_guard lock(m_mutex);
    m_machine = std::move(machine);
}

void Device::resetToDefaults() {
    std::lock_guard lock(m_mutex);
    m_systemVersion = kDefaultSystemVersion;
    m_model.clear();
    m_idiom = UserInterfaceIdiom::Phone;
    m_vendorId.clear();
    m_vendorDomain.clear();
    m_machine.clear();
}

} // namespace platform
