// What the geolocation plug-in keeps between positions: the last position, the one-shot requests waiting
// for the next one, and the running watches. Main thread only (it belongs to its HYBLocation).
#pragma once

#include "platform/device/Location.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace plugins {

struct HYBLocationData {
    // The last position received.
    std::optional<platform::Location> locationInfo;
    // Callback ids of the one-shot requests waiting for the next position, in arrival order.
    std::vector<std::string> locationCallbacks;
    // Watch id -> the callback id of the watch (none when the page sent none).
    std::map<std::string, std::optional<std::string>> watchCallbacks;
};

} // namespace plugins
