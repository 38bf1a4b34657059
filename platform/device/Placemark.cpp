#include "platform/device/Placemark.h"

namespace platform {

Placemark::Placemark(LocationCoordinate coordinate, Dictionary addressDictionary)
    : m_location(Location(coordinate, Date{})), m_address(std::move(addressDictionary)) {}

std::optional<std::string> Placemark::field(const char* key) const {
    if (const std::string* text = m_address[key].getString())
        return *text;
    return std::nullopt;
}

} // namespace platform
