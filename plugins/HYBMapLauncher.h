// Tells whether a navigation app can be opened on the device and opens it with directions from one map
// point to another.
//
// Guarantees:
// - Main thread. Class-only: the one state is the debug flag, off until enableDebugLogging() turns it on
//   for the rest of the process.
// - An app counts as installed when the platform can open its scheme; Apple Maps (0) always is. An
//   identifier outside the table is never installed and never launched.
// - launchMapApp answers the platform's answer to the open request, false when nothing was opened
//   (not installed, or an app without a launch form).
// - Only Google Maps and the web map page get GCJ-02 coordinates (and the start map item of Apple
//   Maps); the other apps get the points' own coordinates.
// - A point's name inside the URLs of Uber, Amap and Baidu Maps is escaped so that "&", "=", "#" and
//   "+" cannot add or change parameters; otherwise the URLs keep their apps' forms.
#pragma once

#include "platform/core/Value.h"
#include "plugins/HYBMapPoint.h"

#include <optional>
#include <string>
#include <string_view>

namespace plugins {

// The navigation apps (an integer: identifiers outside 0-13 are accepted and answer "not installed").
enum HYBMapApp : int {
    HYBMapAppAppleMaps = 0,
    HYBMapAppCitymapper = 1,
    HYBMapAppGoogleMaps = 2,
    HYBMapAppNavigon = 3,
    HYBMapAppTheTransitApp = 4,
    HYBMapAppWaze = 5,
    HYBMapAppYandex = 6,
    HYBMapAppUber = 7,
    HYBMapAppTomTom = 8,
    HYBMapAppSygic = 9,
    HYBMapAppHereMaps = 10,
    HYBMapAppMoovit = 11,
    HYBMapAppAmap = 12,
    HYBMapAppBaidu = 13,
};

class HYBMapLauncher {
public:
    // The host of the web map page Apple Maps falls back to where the platform cannot open map items.
    static constexpr const char* kWebMapHost = "maps.google.com";

    static bool isMapAppInstalled(HYBMapApp app);

    // Directions from the current location when no start is given; extras are string keys to string
    // values (a value of another kind is used as its text).
    static bool launchMapApp(HYBMapApp app, const HYBMapPoint& end);
    static bool launchMapApp(HYBMapApp app, const HYBMapPoint& end, const std::optional<std::string>& directionsMode);
    static bool launchMapApp(HYBMapApp app, const HYBMapPoint& start, const HYBMapPoint& end);
    static bool launchMapApp(HYBMapApp app, const HYBMapPoint& start, const HYBMapPoint& end,
                             const std::optional<std::string>& directionsMode,
                             const std::optional<platform::Dictionary>& extras = std::nullopt);

    // The scheme whose openability decides availability ("comgooglemaps://"), or none.
    static std::optional<std::string> urlPrefixForMapApp(HYBMapApp app);
    // Full component escaping: also "!*'();:@&=+$,/?%#[]".
    static std::string urlEncode(std::string_view text);
    // "&key=escaped value" for each entry, in the dictionary's order; keys are not escaped.
    static std::string extrasToQueryParams(const platform::Dictionary& extras);
    // "%f,%f" of the point's GCJ-02 coordinate; empty for no point and for the current location at (0, 0).
    static std::string googleMapsStringForMapPoint(const HYBMapPoint* point);

    static void enableDebugLogging();
    static bool isDebugLoggingEnabled();
    static void logDebug(std::string_view message);
    static void logDebugURI(std::string_view uri);
};

} // namespace plugins
