#include "plugins/HYBMapPoint.h"

#include "plugins/HYBLocationConverter.h"

namespace plugins {

HYBMapPoint HYBMapPoint::currentLocation() {
    HYBMapPoint point;
    point.m_isCurrentLocation = true;
    return point;
}

HYBMapPoint HYBMapPoint::mapPointWithCoordinate(Coordinate coordinate) {
    return mapPointWithName(std::nullopt, std::nullopt, coordinate);
}

HYBMapPoint HYBMapPoint::mapPointWithName(std::optional<std::string> name, Coordinate coordinate) {
    return mapPointWithName(std::move(name), std::nullopt, coordinate);
}

HYBMapPoint HYBMapPoint::mapPointWithName(std::optional<std::string> name, std::optional<std::string> address, Coordinate coordinate) {
    HYBMapPoint point;
    point.m_name = std::move(name);
    point.m_address = std::move(address);
    point.m_coordinate = coordinate;
    return point;
}

HYBMapPoint HYBMapPoint::mapPointWithAddress(std::optional<std::string> address, Coordinate coordinate) {
    return mapPointWithName(std::nullopt, std::move(address), coordinate);
}

HYBMapPoint HYBMapPoint::mapPointWithMapItem(platform::MapItem mapItem, std::optional<std::string> name,
                                           std::optional<std::string> address, Coordinate coordinate) {
    HYBMapPoint point = mapPointWithName(std::move(name), std::move(address), coordinate);
    point.setMapItem(std::move(mapItem));
    return point;
}

std::optional<std::string> HYBMapPoint::name() const {
    if (m_isCurrentLocation)
        return "Current Location";
    return m_name;
}

platform::MapItem HYBMapPoint::itemAt(Coordinate coordinate) const {
    if (m_isCurrentLocation)
        return platform::MapItem::forCurrentLocation();
    platform::MapItem item{platform::Placemark(coordinate, {})};
    item.setName(name());
    return item;
}

platform::MapItem HYBMapPoint::mapItem() const { return itemAt(m_coordinate); }

platform::MapItem HYBMapPoint::mapItemStart() const { return itemAt(HYBLocationConverter::wgs84ToGcj02(m_coordinate)); }

} // namespace plugins
