#include "plugins/CMMapPoint.h"

#include "plugins/JZLocationConverter.h"

namespace plugins {

CMMapPoint CMMapPoint::currentLocation() {
    CMMapPoint point;
    point.m_isCurrentLocation = true;
    return point;
}

CMMapPoint CMMapPoint::mapPointWithCoordinate(Coordinate coordinate) {
    return mapPointWithName(std::nullopt, std::nullopt, coordinate);
}

CMMapPoint CMMapPoint::mapPointWithName(std::optional<std::string> name, Coordinate coordinate) {
    return mapPointWithName(std::move(name), std::nullopt, coordinate);
}

CMMapPoint CMMapPoint::mapPointWithName(std::optional<std::string> name, std::optional<std::string> address, Coordinate coordinate) {
    CMMapPoint point;
    point.m_name = std::move(name);
    point.m_address = std::move(address);
    point.m_coordinate = coordinate;
    return point;
}

CMMapPoint CMMapPoint::mapPointWithAddress(std::optional<std::string> address, Coordinate coordinate) {
    return mapPointWithName(std::nullopt, std::move(address), coordinate);
}

CMMapPoint CMMapPoint::mapPointWithMapItem(platform::MapItem mapItem, std::optional<std::string> name,
                                           std::optional<std::string> address, Coordinate coordinate) {
    CMMapPoint point = mapPointWithName(std::move(name), std::move(address), coordinate);
    point.setMapItem(std::move(mapItem));
    return point;
}

std::optional<std::string> CMMapPoint::name() const {
    if (m_isCurrentLocation)
        return "Current Location";
    return m_name;
}

platform::MapItem CMMapPoint::itemAt(Coordinate coordinate) const {
    if (m_isCurrentLocation)
        return platform::MapItem::forCurrentLocation();
    platform::MapItem item{platform::Placemark(coordinate, {})};
    item.setName(name());
    return item;
}

platform::MapItem CMMapPoint::mapItem() const { return itemAt(m_coordinate); }

platform::MapItem CMMapPoint::mapItemStart() const { return itemAt(JZLocationConverter::wgs84ToGcj02(m_coordinate)); }

} // namespace plugins
