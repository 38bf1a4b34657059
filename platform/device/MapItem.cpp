#include "platform/device/MapItem.h"

#include <mutex>

namespace platform {

namespace {
struct MapsRecord {
    std::mutex mutex;
    bool available = true;
    std::vector<MapItem::MapsLaunch> launches;
};

MapsRecord& record() {
    static auto* maps = new MapsRecord; // read by tests from any thread until exit
    return *maps;
}
} // namespace

MapItem MapItem::forCurrentLocation() {
    MapItem item;
    item.m_isCurrentLocation = true;
    return item;
}

MapItem::MapItem(Placemark placemark) : m_placemark(std::move(placemark)), m_name(m_placemark.name()) {}

bool MapItem::respondsToOpenMaps() {
    std::lock_guard lock(record().mutex);
    return record().available;
}

void MapItem::setOpenMapsAvailable(bool available) {
    std::lock_guard lock(record().mutex);
    record().available = available;
}

bool MapItem::openMaps(std::vector<MapItem> items, Dictionary launchOptions) {
    std::lock_guard lock(record().mutex);
    if (!record().available)
        return false;
    record().launches.push_back({std::move(items), std::move(launchOptions)});
    return true;
}

std::vector<MapItem::MapsLaunch> MapItem::openedMaps() {
    std::lock_guard lock(record().mutex);
    return record().launches;
}

void MapItem::clearOpenedMaps() {
    std::lock_guard lock(record().mutex);
    record().launches.clear();
}

void MapItem::resetToDefaults() {
    std::lock_guard lock(record().mutex);
    record().available = true;
    record().launches.clear();
}

} // namespace platform
