#include "platform/system/Locale.h"

#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"

#include <cstdlib>
#include <mutex>
#include <optional>

namespace platform {
namespace {

std::mutex& localeMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<std::string>& setIdentifier() {
    static std::optional<std::string> identifier;
    return identifier;
}

std::string environmentIdentifier() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return Locale::identifierFromEnvironmentValue(value);
    }
    return Locale::identifierFromEnvironmentValue("");
}

void change(std::optional<std::string> identifier) {
    std::string before;
    std::string after;
    {
        std::lock_guard lock(localeMutex());
        before = setIdentifier() ? *setIdentifier() : environmentIdentifier();
        setIdentifier() = std::move(identifier);
        after = setIdentifier() ? *setIdentifier() : environmentIdentifier();
    }
    if (before != after)
        NotificationCenter::defaultCenter().post(kCurrentLocaleDidChangeNotification);
}

} // namespace

std::string Locale::identifierFromEnvironmentValue(const std::string& value) {
    std::string identifier = value.substr(0, value.find_first_of(".@"));
    if (identifier.empty() || identifier == "C" || identifier == "POSIX")
        return "en_US";
    return identifier;
}

std::string Locale::currentIdentifier() {
    std::lock_guard lock(localeMutex());
    return setIdentifier() ? *setIdentifier() : environmentIdentifier();
}

void Locale::setCurrentIdentifier(std::string identifier) { change(std::move(identifier)); }

void Locale::resetToEnvironment() { change(std::nullopt); }

} // namespace platform
