#include "platform/device/PlatformClasses.h"

#include <algorithm>
#include <mutex>
#include <set>

namespace platform {

namespace {
struct Removed {
    std::mutex mutex;
    std::set<std::string, std::less<>> names;
};

Removed& removed() {
    static auto* shared = new Removed; // read from any thread until exit
    return *shared;
}
} // namespace

const std::vector<std::string>& PlatformClasses::knownNames() {
    static const std::vector<std::string> names{kAdvertisingIdentifierManagerClassName, kCaptureSessionClassName,
                                                kPopoverControllerClassName};
    return names;
}

bool PlatformClasses::isKnown(std::string_view name) {
    const auto& names = knownNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool PlatformClasses::isPresent(std::string_view name) {
    if (!isKnown(name))
        return false;
    std::lock_guard lock(removed().mutex);
    return removed().names.find(name) == removed().names.end();
}

bool PlatformClasses::setPresent(std::string_view name, bool present) {
    if (!isKnown(name))
        return false;
    std::lock_guard lock(removed().mutex);
    if (present) {
        auto it = removed().names.find(name);
        if (it != removed().names.end())
            removed().names.erase(it);
    } else {
        removed().names.emplace(name);
    }
    return true;
}

void PlatformClasses::resetToDefaults() {
    std::lock_guard lock(removed().mutex);
    removed().names.clear();
}

} // namespace platform
