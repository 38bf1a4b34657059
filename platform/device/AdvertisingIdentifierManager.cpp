#include "platform/device/AdvertisingIdentifierManager.h"

#include "platform/text/Text.h"

#include <cctype>

namespace platform {

AdvertisingIdentifierManager& AdvertisingIdentifierManager::shared() {
    static auto* manager = new AdvertisingIdentifierManager; // read from any thread until exit
    return *manager;
}

AdvertisingIdentifierManager::AdvertisingIdentifierManager() : m_identifier(newUUIDString()) {}

std::string AdvertisingIdentifierManager::advertisingIdentifier() const {
    std::lock_guard lock(m_mutex);
    return m_identifier;
}

bool AdvertisingIdentifierManager::isAdvertisingTrackingEnabled() const {
    std::lock_guard lock(m_mutex);
    return m_trackingEnabled;
}

Status AdvertisingIdentifierManager::setAdvertisingIdentifier(std::string_view uuid) {
    if (!isUUIDText(uuid))
        return Error(kCocoaErrorDomain, 0, "not a UUID: \"" + std::string(uuid.substr(0, 64)) + "\"");
    std::string upper(uuid);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::lock_guard lock(m_mutex);
    m_identifier = std::move(upper);
    return {};
}

void AdvertisingIdentifierManager::setAdvertisingTrackingEnabled(bool enabled) {
    std::lock_guard lock(m_mutex);
    m_trackingEnabled = enabled;
}

void AdvertisingIdentifierManager::resetToDefaults() {
    std::string fresh = newUUIDString();
    std::lock_guard lock(m_mutex);
    m_identifier = std::move(fresh);
    m_trackingEnabled = true;
}

bool AdvertisingIdentifierManager::isUUIDText(std::string_view text) {
    if (text.size() != 36)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

} // namespace platform
