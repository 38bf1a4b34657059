// A place: a location, a name and an address dictionary with the platform's address keys. The address
// fields read from that dictionary. A plain value.
#pragma once

#include "platform/core/Value.h"
#include "platform/device/Location.h"

#include <optional>
#include <string>

namespace platform {

// Keys of an address dictionary (the platform's address-book keys).
inline constexpr const char* kAddressNameKey = "Name";
inline constexpr const char* kAddressThoroughfareKey = "Thoroughfare";
inline constexpr const char* kAddressSubThoroughfareKey = "SubThoroughfare";
inline constexpr const char* kAddressStreetKey = "Street";
inline constexpr const char* kAddressCityKey = "City";
inline constexpr const char* kAddressSubAdministrativeAreaKey = "SubAdministrativeArea";
inline constexpr const char* kAddressStateKey = "State";
inline constexpr const char* kAddressZIPKey = "ZIP";
inline constexpr const char* kAddressCountryKey = "Country";
inline constexpr const char* kAddressCountryCodeKey = "CountryCode";

class Placemark {
public:
    Placemark() = default;
    // A placemark at a coordinate with an address dictionary (may be empty), as map items are made.
    Placemark(LocationCoordinate coordinate, Dictionary addressDictionary);

    const std::optional<Location>& location() const { return m_location; }
    LocationCoordinate coordinate() const { return m_location ? m_location->coordinate() : LocationCoordinate{}; }
    const Dictionary& addressDictionary() const { return m_address; }

    // Each answers the dictionary's text for its key, or nullopt.
    std::optional<std::string> name() const { return field(kAddressNameKey); }
    std::optional<std::string> thoroughfare() const { return field(kAddressThoroughfareKey); }
    std::optional<std::string> subThoroughfare() const { return field(kAddressSubThoroughfareKey); }
    std::optional<std::string> locality() const { return field(kAddressCityKey); }
    std::optional<std::string> subAdministrativeArea() const { return field(kAddressSubAdministrativeAreaKey); }
    std::optional<std::string> administrativeArea() const { return field(kAddressStateKey); }
    std::optional<std::string> postalCode() const { return field(kAddressZIPKey); }
    std::optional<std::string> country() const { return field(kAddressCountryKey); }

    friend bool operator==(const Placemark&, const Placemark&) = default;

private:
    std::optional<std::string> field(const char* key) const;

    std::optional<Location> m_location;
    Dictionary m_address;
};

} // namespace platform
