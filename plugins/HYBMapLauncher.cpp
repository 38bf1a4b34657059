#include "plugins/HYBMapLauncher.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/text/PercentEscaping.h"
#include "plugins/HYBLocationConverter.h"

#include <array>
#include <atomic>

namespace plugins {

namespace {

std::atomic<bool> g_debugLogging{false};

constexpr std::array<const char*, 14> kSchemes = {
    nullptr,          "citymapper://", "comgooglemaps://", "navigon://",    "transit://",        "waze://",        "yandexnavi://",
    "uber://",        "tomtomhome://", "com.sygic.aura://", "here-route://", "moovit://",         "iosamap://",     "baidumap://",
};

// The platform's legacy escaping of a whole URL, except that the name is escaped so that "&", "=", "#"
// and "+" in it stay inside its parameter. Escaping works byte by byte, so a name without those
// characters gives the same text as escaping the whole URL at once.
std::string escapeName(std::string_view name) { return platform::addPercentEscapes(name, "", "&=#+"); }

std::string escapeWithName(std::string_view before, std::string_view name, std::string_view after) {
    return platform::addPercentEscapes(before) + escapeName(name) + platform::addPercentEscapes(after);
}

std::string text(const std::optional<std::string>& value) { return value.value_or("(null)"); }

std::string describe(const platform::MapItem& item) {
    if (item.isCurrentLocation())
        return "<MapItem current location>";
    const platform::LocationCoordinate c = item.placemark().coordinate();
    return platform::formatString("<MapItem \"%s\" at %f,%f>", text(item.name()).c_str(), c.latitude, c.longitude);
}

std::string describe(const platform::Dictionary& extras) {
    std::string out = "{";
    for (const std::string& key : extras.keys())
        out += (out.size() > 1 ? "; " : " ") + key + " = " + extras[key].description();
    return out + (out.size() > 1 ? " }" : "}");
}

std::string valueText(const platform::Value& value) { return value.isString() ? *value.getString() : value.description(); }

bool open(const std::string& url) {
    HYBMapLauncher::logDebugURI(url);
    return platform::Application::shared().openURL(url);
}

bool launchAppleMaps(const HYBMapPoint& start, const HYBMapPoint& end, const std::optional<std::string>& mode,
                     const std::optional<platform::Dictionary>& extras) {
    if (!platform::MapItem::respondsToOpenMaps()) {
        std::string url = platform::formatString("http://%s/maps?saddr=%s&daddr=%s", HYBMapLauncher::kWebMapHost,
                                                 HYBMapLauncher::googleMapsStringForMapPoint(&start).c_str(),
                                                 HYBMapLauncher::googleMapsStringForMapPoint(&end).c_str());
        if (extras)
            url += HYBMapLauncher::extrasToQueryParams(*extras);
        return open(url);
    }
    const char* modeValue = platform::kMapsLaunchOptionsDirectionsModeDriving;
    if (mode == "walking")
        modeValue = platform::kMapsLaunchOptionsDirectionsModeWalking;
    else if (mode == "transit")
        modeValue = platform::kMapsLaunchOptionsDirectionsModeTransit;
    platform::Dictionary options{{platform::kMapsLaunchOptionsDirectionsModeKey, modeValue}};
    if (extras) {
        for (const std::string& key : extras->keys())
            options.set(key, (*extras)[key]);
    }
    const platform::LocationCoordinate startGcj = HYBLocationConverter::wgs84ToGcj02(start.coordinate());
    HYBMapLauncher::logDebug(platform::formatString(
        "Launching Apple Maps: destAddress=%s; destLatLon=%f,%f; destName=%s; startAddress=%s; startLatLon=%f,%f; startName=%s; "
        "directionsMode=%s; extras=%s",
        text(end.address()).c_str(), end.coordinate().latitude, end.coordinate().longitude, text(end.name()).c_str(),
        text(start.address()).c_str(), startGcj.latitude, startGcj.longitude, text(start.name()).c_str(), mode ? modeValue : "(null)",
        extras ? describe(*extras).c_str() : "(null)"));
    platform::MapItem startItem = start.mapItemStart();
    platform::MapItem endItem = end.mapItem();
    platform::Log::write("start.mk = " + describe(startItem) + ",end.mk = " + describe(endItem));
    return platform::MapItem::openMaps({std::move(startItem), std::move(endItem)}, std::move(options));
}

// The parameter names hold "[" and "]", which may not stand in a URL unescaped (the platform would
// refuse the URL and Uber could never open): they go escaped, which query readers decode alike.
bool launchUber(const HYBMapPoint& start, const HYBMapPoint& end, const std::optional<platform::Dictionary>& extras) {
    const std::string prefix = *HYBMapLauncher::urlPrefixForMapApp(HYBMapAppUber);
    const platform::LocationCoordinate s = start.coordinate(), e = end.coordinate();
    std::string url;
    if (start.isCurrentLocation()) {
        url = escapeWithName(platform::formatString("%s?action=setPickup&pickup=my_location&dropoff[latitude]=%f&dropoff[longitude]=%f"
                                                    "&dropoff[nickname]=",
                                                    prefix.c_str(), e.latitude, e.longitude),
                             text(end.name()), "");
    } else {
        url = escapeWithName(platform::formatString("%s?action=setPickup&pickup[latitude]=%f&pickup[longitude]=%f&pickup[nickname]=",
                                                    prefix.c_str(), s.latitude, s.longitude),
                             text(start.name()),
                             platform::formatString("&dropoff[latitude]=%f&dropoff[longitude]=%f&dropoff[nickname]=", e.latitude, e.longitude)) +
              escapeName(text(end.name()));
    }
    if (extras)
        url += HYBMapLauncher::extrasToQueryParams(*extras);
    return open(url);
}

bool launchAmap(const HYBMapPoint& end) {
    const platform::Value displayName = platform::Application::shared().objectForInfoDictionaryKey("CFBundleDisplayName");
    platform::Log::write(displayName.description());
    const platform::LocationCoordinate e = end.coordinate();
    const std::string url = escapeWithName(
        platform::formatString("%snavi?sourceApplication=%s&poiname=", HYBMapLauncher::urlPrefixForMapApp(HYBMapAppAmap)->c_str(),
                               displayName.isNull() ? "(null)" : valueText(displayName).c_str()),
        text(end.name()), platform::formatString("&lat=%f&lon=%f&dev=0&style=2", e.latitude, e.longitude));
    return open(url);
}

bool launchBaidu(const HYBMapPoint& end, const std::optional<std::string>& mode) {
    const platform::LocationCoordinate e = end.coordinate();
    const std::string url =
        escapeWithName(platform::formatString("baidumap://map/direction?origin={{我的位置}}&destination=latlng:%f,%f|name=", e.latitude,
                                              e.longitude),
                       text(end.name()), "&mode=" + mode.value_or("driving") + "&coord_type=gcj02");
    return open(url);
}

} // namespace

bool HYBMapLauncher::isMapAppInstalled(HYBMapApp app) {
    if (app == HYBMapAppAppleMaps)
        return true;
    const std::optional<std::string> prefix = urlPrefixForMapApp(app);
    return prefix && platform::Application::shared().canOpenURL(*prefix);
}

bool HYBMapLauncher::launchMapApp(HYBMapApp app, const HYBMapPoint& end) { return launchMapApp(app, end, std::nullopt); }

bool HYBMapLauncher::launchMapApp(HYBMapApp app, const HYBMapPoint& end, const std::optional<std::string>& directionsMode) {
    return launchMapApp(app, HYBMapPoint::currentLocation(), end, directionsMode);
}

bool HYBMapLauncher::launchMapApp(HYBMapApp app, const HYBMapPoint& start, const HYBMapPoint& end) {
    return launchMapApp(app, start, end, std::nullopt);
}

bool HYBMapLauncher::launchMapApp(HYBMapApp app, const HYBMapPoint& start, const HYBMapPoint& end,
                                 const std::optional<std::string>& directionsMode, const std::optional<platform::Dictionary>& extras) {
    if (!isMapAppInstalled(app))
        return false;
    platform::Log::writef(" end = %f, end = %f", end.coordinate().latitude, end.coordinate().longitude);
    switch (app) {
    case HYBMapAppAppleMaps:
        return launchAppleMaps(start, end, directionsMode, extras);
    case HYBMapAppGoogleMaps: {
        std::string url = *urlPrefixForMapApp(app) + "?saddr=" + googleMapsStringForMapPoint(&start) +
                          "&daddr=" + googleMapsStringForMapPoint(&end);
        if (directionsMode)
            url += "&directionsmode=" + *directionsMode;
        if (extras)
            url += extrasToQueryParams(*extras);
        return open(url);
    }
    case HYBMapAppUber:
        return launchUber(start, end, extras);
    case HYBMapAppAmap:
        return launchAmap(end);
    case HYBMapAppBaidu:
        return launchBaidu(end, directionsMode);
    default:
        return false;
    }
}

std::optional<std::string> HYBMapLauncher::urlPrefixForMapApp(HYBMapApp app) {
    const int index = static_cast<int>(app);
    if (index < 1 || index >= static_cast<int>(kSchemes.size()))
        return std::nullopt;
    return std::string(kSchemes[static_cast<std::size_t>(index)]);
}

std::string HYBMapLauncher::urlEncode(std::string_view text) { return platform::escapeURLComponent(text); }

std::string HYBMapLauncher::extrasToQueryParams(const platform::Dictionary& extras) {
    std::string out;
    for (const std::string& key : extras.keys())
        out += "&" + key + "=" + urlEncode(valueText(extras[key]));
    return out;
}

std::string HYBMapLauncher::googleMapsStringForMapPoint(const HYBMapPoint* point) {
    if (!point)
        return {};
    const platform::LocationCoordinate c = HYBLocationConverter::wgs84ToGcj02(point->coordinate());
    if (point->isCurrentLocation() && c.latitude == 0 && c.longitude == 0)
        return {};
    return platform::formatString("%f,%f", c.latitude, c.longitude);
}

void HYBMapLauncher::enableDebugLogging() {
    g_debugLogging = true;
    logDebug("Debug logging enabled");
}

bool HYBMapLauncher::isDebugLoggingEnabled() { return g_debugLogging; }

void HYBMapLauncher::logDebug(std::string_view message) {
    if (g_debugLogging)
        platform::Log::write("HYBMapLauncher: " + std::string(message));
}

void HYBMapLauncher::logDebugURI(std::string_view uri) { logDebug("Launching URI: " + std::string(uri)); }

} // namespace plugins
