// A point for directions: a coordinate (WGS-84) with a name and an address, or the device's current
// location. A short-lived value made for one launch.
//
// Guarantees: a plain value, main thread. name() answers "Current Location" for the current location.
// mapItem() and mapItemStart() build a fresh platform map item on each call (a stored item is kept but
// never read back): the current-location item, or an item on a placemark at the coordinate (converted
// to GCJ-02 for mapItemStart) without address, named after the point.
#pragma once

#include "platform/device/Location.h"
#include "platform/device/MapItem.h"

#include <optional>
#include <string>

namespace plugins {

class HYBMapPoint {
public:
    using Coordinate = platform::LocationCoordinate;

    static HYBMapPoint currentLocation();
    static HYBMapPoint mapPointWithCoordinate(Coordinate coordinate);
    static HYBMapPoint mapPointWithName(std::optional<std::string> name, Coordinate coordinate);
    static HYBMapPoint mapPointWithName(std::optional<std::string> name, std::optional<std::string> address, Coordinate coordinate);
    static HYBMapPoint mapPointWithAddress(std::optional<std::string> address, Coordinate coordinate);
    static HYBMapPoint mapPointWithMapItem(platform::MapItem mapItem, std::optional<std::string> name,
                                          std::optional<std::string> address, Coordinate coordinate);

    bool isCurrentLocation() const { return m_isCurrentLocation; }
    void setIsCurrentLocation(bool isCurrentLocation) { m_isCurrentLocation = isCurrentLocation; }
    Coordinate coordinate() const { return m_coordinate; }
    void setCoordinate(Coordinate coordinate) { m_coordinate = coordinate; }
    std::optional<std::string> name() const;
    void setName(std::optional<std::string> name) { m_name = std::move(name); }
    const std::optional<std::string>& address() const { return m_address; }
    void setAddress(std::optional<std::string> address) { m_address = std::move(address); }

    platform::MapItem mapItem() const;
    void setMapItem(platform::MapItem item) { m_mapItem = std::move(item); }
    platform::MapItem mapItemStart() const;
    void setMapItemStart(platform::MapItem item) { m_mapItemStart = std::move(item); }

private:
    platform::MapItem itemAt(Coordinate coordinate) const;

    bool m_isCurrentLocation = false;
    Coordinate m_coordinate;
    std::optional<std::string> m_name;
    std::optional<std::string> m_address;
    std::optional<platform::MapItem> m_mapItem;
    std::optional<platform::MapItem> m_mapItemStart;
};

} // namespace plugins
