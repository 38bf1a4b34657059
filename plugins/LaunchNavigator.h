// The page's "Navigation" service: starts directions in a navigation app installed on the device and
// tells which such apps are installed.
//
// Guarantees:
// - Main thread; geocoder answers arrive on the main run loop.
// - navigate takes ten arguments (see navigate()); the destination, and the start unless its type is
//   "none", are turned into map items with the platform geocoder (coordinates "lat,lon" are reverse-
//   geocoded and keep their own position), then handed to HYBMapLauncher. It answers OK once the launch
//   was requested, whatever the app answered, or Error with a message.
// - Every call gets exactly one answer. One navigation at a time: a navigate that arrives while an
//   earlier one still waits for the geocoder answers the earlier one with Error, and the geocoder's
//   late answers for it are dropped.
// - Debug and error lines go to the log and, while debugging is on, to the page's console as one
//   script string literal (quotes, backslashes and line breaks escaped).
// Made by the name "LaunchNavigator" once registerClass() ran.
#pragma once

#include "platform/device/Geocoder.h"
#include "platform/device/MapItem.h"
#include "platform/device/Placemark.h"
#include "plugins/HYBMapLauncher.h"
#include "runtime/HYBPlugin.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plugins {

class LaunchNavigator : public runtime::HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;

    static void registerClass();

    // The page action "navigate": destination, destination type ("coords" or an address), destination
    // name, start, start type ("none", "coords" or an address), start name, app key, transport mode,
    // debug switch, extras (text of a JSON object of strings, or null). All ten, null where empty.
    void navigate(const runtime::HYBInvokedUrlCommand& command);
    // The page action "isAppAvailable": argument 0 is an app key; OK with a boolean.
    void isAppAvailable(const runtime::HYBInvokedUrlCommand& command);
    // The page action "availableApps": OK with each of the 14 app keys to a boolean.
    void availableApps(const runtime::HYBInvokedUrlCommand& command);

    // The launcher's identifier of an app key; none for a value that is not one of the 14 keys.
    static std::optional<HYBMapApp> mapAppName_lnToCmm(const platform::Value& key);
    // The key of an identifier; none outside 0-13.
    static std::optional<std::string> mapAppName_cmmToLn(HYBMapApp app);
    // The placemark's address fields, each followed by ", " (the empty string when it has none).
    static std::string getAddressFromPlacemark(const platform::Placemark& placemark);
    // "%g, %g" of latitude and longitude.
    static std::string coordsToString(platform::LocationCoordinate coordinate);
    // No value, null, the empty string and the text "<null>".
    static bool isNull(const platform::Value& value);

    bool debugEnabled() const { return m_debugEnabled; }

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "LaunchNavigator"; }

private:
    struct Place {
        platform::MapItem item;
        platform::Placemark placemark;
    };
    // What one navigate asked for; replaced by each navigate.
    struct NavigationState {
        platform::Value destination, destType, destName, start, startType, startName, appName, transportMode;
        bool enableDebug = false;
        platform::Value extras;
        platform::Placemark destPlacemark, startPlacemark;
    };
    using Continuation = std::function<void()>;
    using Success = std::function<void(Place)>;
    using Failure = std::function<void(const std::string& message)>;

    void getDest(Continuation next);
    void getStart(Continuation next);
    void geocode(const std::string& address, Success success, Failure fail);
    void reverseGeocode(const std::string& coords, Success success, Failure fail);
    void launchApp();
    // The geocoder's completion for the current navigation: an error fails with its description, no
    // places with `nothingFound`, places go to `found`. Dropped once the navigation was answered.
    platform::Geocoder::Completion whileCurrent(std::string nothingFound, Failure fail,
                                                std::function<void(LaunchNavigator&, const std::vector<platform::Placemark>&)> found);

    void answer(runtime::HYBCommandStatus status, platform::Value message = {});
    void sendPluginError(const std::string& message);
    void logDebug(const std::string& message);
    void logError(const std::string& message);
    void executeGlobalJavascript(std::string script);

    bool m_debugEnabled = false;
    // The navigation waiting for its answer (hybrid_command), and its number.
    std::optional<runtime::HYBInvokedUrlCommand> m_command;
    std::uint64_t m_navigation = 0;
    NavigationState m_state;
    std::optional<platform::MapItem> m_startMapItem;
    std::optional<platform::MapItem> m_destMapItem;
};

} // namespace plugins
