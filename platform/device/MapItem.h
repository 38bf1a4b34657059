// Map items: the device's current location, or a place (a placemark) with a name; and opening the maps
// with items and launch options.
//
// Guarantees:
// - Values; the record of opened maps is guarded (any thread).
// - openMaps records the items and options, like Application::openURL records URLs, and answers true.
//   Whether the map-item class offers the call is configurable (setOpenMapsAvailable); where it does
//   not, callers take another path and openMaps answers false without recording.
#pragma once

#include "platform/core/Value.h"
#include "platform/device/Placemark.h"

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Launch options: the directions-mode key and its values.
inline constexpr const char* kMapsLaunchOptionsDirectionsModeKey = "MKLaunchOptionsDirectionsModeKey";
inline constexpr const char* kMapsLaunchOptionsDirectionsModeDriving = "MKLaunchOptionsDirectionsModeDriving";
inline constexpr const char* kMapsLaunchOptionsDirectionsModeWalking = "MKLaunchOptionsDirectionsModeWalking";
inline constexpr const char* kMapsLaunchOptionsDirectionsModeTransit = "MKLaunchOptionsDirectionsModeTransit";

class MapItem {
public:
    struct MapsLaunch {
        std::vector<MapItem> items;
        Dictionary launchOptions;
    };

    static MapItem forCurrentLocation();
    // An item on a place, named after it.
    explicit MapItem(Placemark placemark);

    bool isCurrentLocation() const { return m_isCurrentLocation; }
    const Placemark& placemark() const { return m_placemark; }
    const std::optional<std::string>& name() const { return m_name; }
    void setName(std::optional<std::string> name) { m_name = std::move(name); }

    static bool respondsToOpenMaps();
    static void setOpenMapsAvailable(bool available);
    static bool openMaps(std::vector<MapItem> items, Dictionary launchOptions);
    static std::vector<MapsLaunch> openedMaps();
    static void clearOpenedMaps();
    // Available, nothing recorded.
    static void resetToDefaults();

    friend bool operator==(const MapItem&, const MapItem&) = default;

private:
    MapItem() = default;

    bool m_isCurrentLocation = false;
    Placemark m_placemark;
    std::optional<std::string> m_name;
};

} // namespace platform
