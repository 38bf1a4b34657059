#include "plugins/LaunchNavigator.h"

#include "platform/core/Log.h"
#include "platform/device/Geocoder.h"
#include "platform/formats/JSON.h"

#include <array>
#include <charconv>
#include <cmath>
#include <utility>

namespace plugins {

namespace {

constexpr const char* kLogTag = "LaunchNavigator[native]";
constexpr std::size_t kNavigateArguments = 10;

// The app keys in the order availableApps checks them, with their launcher identifiers.
constexpr std::array<std::pair<const char*, HYBMapApp>, 14> kApps = {{
    {"apple_maps", HYBMapAppAppleMaps},
    {"citymapper", HYBMapAppCitymapper},
    {"google_maps", HYBMapAppGoogleMaps},
    {"navigon", HYBMapAppNavigon},
    {"transit_app", HYBMapAppTheTransitApp},
    {"tomtom", HYBMapAppTomTom},
    {"uber", HYBMapAppUber},
    {"waze", HYBMapAppWaze},
    {"yandex", HYBMapAppYandex},
    {"sygic", HYBMapAppSygic},
    {"here_maps", HYBMapAppHereMaps},
    {"moovit", HYBMapAppMoovit},
    {"iosamap", HYBMapAppAmap},
    {"baidumap", HYBMapAppBaidu},
}};

std::string unexpectedAppName(const platform::Value& key) { return "Unexpected app name: " + key.description(); }

bool equals(const platform::Value& value, std::string_view text) {
    const std::string* string = value.getString();
    return string && *string == text;
}

// A name argument: none when null-like, else its text.
std::optional<std::string> nameOf(const platform::Value& value) {
    if (LaunchNavigator::isNull(value))
        return std::nullopt;
    return value.isString() ? *value.getString() : value.description();
}

std::optional<double> finiteNumber(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// "latitude,longitude": the first two parts of the text split at commas, each a finite number.
std::optional<platform::LocationCoordinate> parseCoordinates(std::string_view text) {
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos)
        return std::nullopt;
    const std::string_view rest = text.substr(comma + 1);
    const std::optional<double> latitude = finiteNumber(text.substr(0, comma));
    const std::optional<double> longitude = finiteNumber(rest.substr(0, rest.find(',')));
    if (!latitude || !longitude)
        return std::nullopt;
    return platform::LocationCoordinate{*latitude, *longitude};
}

// The extras for the launcher: string values as they are, numbers and booleans as their JSON text;
// other kinds are left out (and logged).
platform::Dictionary launcherExtras(const platform::Dictionary& parsed) {
    platform::Dictionary extras;
    for (const std::string& key : parsed.keys()) {
        const platform::Value& value = parsed[key];
        if (value.isString())
            extras.set(key, value);
        else if (value.isNumber() || value.isBool())
            extras.set(key, platform::JSON::write(value).valueOr(value.description()));
        else
            platform::Log::write(std::string(kLogTag) + ": extras value of \"" + key + "\" is not a string, number or boolean; left out");
    }
    return extras;
}

} // namespace

void LaunchNavigator::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<LaunchNavigator>("LaunchNavigator");
    (void)registered;
}

const runtime::HYBActionTable& LaunchNavigator::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<LaunchNavigator>({
        {"navigate", &LaunchNavigator::navigate},
        {"isAppAvailable", &LaunchNavigator::isAppAvailable},
        {"availableApps", &LaunchNavigator::availableApps},
    });
    return table;
}

// ---- page actions ----

void LaunchNavigator::navigate(const runtime::HYBInvokedUrlCommand& command) {
    if (m_command)
        answer(runtime::HYBCommandStatus::Error, "Navigation replaced by a newer navigate call");
    m_command = command;
    ++m_navigation;

    const platform::Array& args = command.arguments();
    if (args.size() < kNavigateArguments) {
        answer(runtime::HYBCommandStatus::Error, platform::formatString("navigate expects %zu arguments, got %zu", kNavigateArguments, args.size()));
        return;
    }
    m_state = NavigationState{args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7],
                              command.argumentAtIndex(8, false).boolValue(), args[9], {}, {}};
    m_debugEnabled = m_state.enableDebug;
    if (m_debugEnabled)
        HYBMapLauncher::enableDebugLogging();
    logDebug("Called navigate() with args: destination=" + m_state.destination.description() + "; destType=" +
             m_state.destType.description() + "; destName=" + m_state.destName.description() + "; start=" + m_state.start.description() +
             "; startType=" + m_state.startType.description() + "; startName=" + m_state.startName.description() +
             "; appName=" + m_state.appName.description() + "; transportMode=" + m_state.transportMode.description() +
             "; extras=" + m_state.extras.description());

    const std::optional<HYBMapApp> app = mapAppName_lnToCmm(m_state.appName);
    if (!app) {
        answer(runtime::HYBCommandStatus::Error, unexpectedAppName(m_state.appName));
        return;
    }
    if (!HYBMapLauncher::isMapAppInstalled(*app)) {
        answer(runtime::HYBCommandStatus::Error, m_state.appName.description() + " is not installed on the device");
        return;
    }
    if (!m_state.destination.isString()) {
        sendPluginError("Missing destination argument");
        return;
    }
    getDest([this] {
        if (equals(m_state.startType, "none"))
            launchApp();
        else
            getStart([this] { launchApp(); });
    });
}

void LaunchNavigator::isAppAvailable(const runtime::HYBInvokedUrlCommand& command) {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate)
        return;
    const platform::Value key = command.argumentAtIndex(0);
    const std::optional<HYBMapApp> app = mapAppName_lnToCmm(key);
    delegate->sendPluginResult(app ? runtime::HYBPluginResult::messageAsBool(runtime::HYBCommandStatus::Ok, HYBMapLauncher::isMapAppInstalled(*app))
                                   : runtime::HYBPluginResult::messageAsString(runtime::HYBCommandStatus::Error, unexpectedAppName(key)),
                               command.callbackId());
}

void LaunchNavigator::availableApps(const runtime::HYBInvokedUrlCommand& command) {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate)
        return;
    platform::Dictionary apps;
    for (const auto& [key, app] : kApps)
        apps.set(key, HYBMapLauncher::isMapAppInstalled(app));
    delegate->sendPluginResult(runtime::HYBPluginResult::messageAsDictionary(runtime::HYBCommandStatus::Ok, std::move(apps)),
                               command.callbackId());
}

// ---- the steps of a navigation ----

platform::Geocoder::Completion LaunchNavigator::whileCurrent(std::string nothingFound, Failure fail,
                                                             std::function<void(LaunchNavigator&, const std::vector<platform::Placemark>&)> found) {
    return [weak = weak_from_this(), navigation = m_navigation, nothingFound = std::move(nothingFound), fail = std::move(fail),
            found = std::move(found)](const std::vector<platform::Placemark>& places, const std::optional<platform::Error>& error) {
        auto self = std::static_pointer_cast<LaunchNavigator>(weak.lock());
        if (!self || !self->m_command || self->m_navigation != navigation)
            return;
        if (error)
            fail(error->localizedDescription());
        else if (places.empty())
            fail(nothingFound);
        else
            found(*self, places);
    };
}

void LaunchNavigator::getDest(Continuation next) {
    const std::string& destination = *m_state.destination.getString();
    Success success = [this, next = std::move(next)](Place place) {
        const std::optional<std::string> name = nameOf(m_state.destName);
        place.item.setName(name ? name : place.placemark.name());
        m_destMapItem = std::move(place.item);
        m_state.destPlacemark = std::move(place.placemark);
        next();
    };
    Failure fail = [this](const std::string& message) { sendPluginError(message); };
    if (equals(m_state.destType, "coords"))
        reverseGeocode(destination, std::move(success), std::move(fail));
    else
        geocode(destination, std::move(success), std::move(fail));
}

void LaunchNavigator::getStart(Continuation next) {
    const std::string* start = m_state.start.getString();
    if (!start) {
        sendPluginError("Missing start argument");
        return;
    }
    Success success = [this, next = std::move(next)](Place place) {
        const std::optional<std::string> name = nameOf(m_state.startName);
        place.item.setName(name ? name : place.placemark.name());
        m_startMapItem = std::move(place.item);
        m_state.startPlacemark = std::move(place.placemark);
        next();
    };
    Failure fail = [this](const std::string& message) { sendPluginError(message); };
    if (equals(m_state.startType, "coords"))
        reverseGeocode(*start, std::move(success), std::move(fail));
    else
        geocode(*start, std::move(success), std::move(fail));
}

void LaunchNavigator::geocode(const std::string& address, Success success, Failure fail) {
    logDebug("Attempting to geocode address: " + address);
    platform::Geocoder::create()->geocodeAddressString(
        address, whileCurrent("No coordinates found for given address", std::move(fail),
                              [address, success = std::move(success)](LaunchNavigator& self, const std::vector<platform::Placemark>& found) {
                                  const platform::LocationCoordinate coordinate = found.front().coordinate();
                                  self.logDebug("Geocoded address '" + address + "' to coord '" + coordsToString(coordinate) + "'");
                                  platform::Placemark placemark(coordinate, found.front().addressDictionary());
                                  success({platform::MapItem(placemark), placemark});
                              }));
}

void LaunchNavigator::reverseGeocode(const std::string& coords, Success success, Failure fail) {
    const std::optional<platform::LocationCoordinate> coordinate = parseCoordinates(coords);
    if (!coordinate) {
        fail("Invalid coordinates '" + coords + "': expected latitude,longitude");
        return;
    }
    logDebug("Attempting to reverse geocode coords: " + coords);
    platform::Geocoder::create()->reverseGeocodeLocation(
        platform::Location(*coordinate, platform::Date{}),
        whileCurrent("No address found at given coordinates", std::move(fail),
                     [coordinate = *coordinate, success = std::move(success)](LaunchNavigator& self, const std::vector<platform::Placemark>& found) {
                         const std::string address = getAddressFromPlacemark(found.back());
                         self.logDebug("Reverse geocoded coords '" + coordsToString(coordinate) + "' to address '" + address + "'");
                         platform::MapItem item{platform::Placemark(coordinate, {})};
                         item.setName(address);
                         success({std::move(item), platform::Placemark(coordinate, found.back().addressDictionary())});
                     }));
}

void LaunchNavigator::launchApp() {
    const HYBMapApp app = *mapAppName_lnToCmm(m_state.appName);
    const platform::Placemark& dest = m_state.destPlacemark;
    std::string line = "Using " + m_state.appName.description() + " to navigate to " + getAddressFromPlacemark(dest) + " [" +
                       coordsToString(dest.coordinate()) + "]";
    if (std::optional<std::string> name = nameOf(m_state.destName))
        line += " (" + *name + ")";
    line += " from ";

    std::optional<HYBMapPoint> start;
    if (equals(m_state.startType, "none")) {
        line += " current location";
        start = HYBMapPoint::currentLocation();
    } else {
        const platform::Placemark& from = m_state.startPlacemark;
        line += " " + getAddressFromPlacemark(from) + " [" + coordsToString(from.coordinate()) + "]";
        if (std::optional<std::string> name = nameOf(m_state.startName))
            line += " (" + *name + ")";
        start = HYBMapPoint::mapPointWithMapItem(*m_startMapItem, m_startMapItem->name(), getAddressFromPlacemark(from), from.coordinate());
    }
    const HYBMapPoint end =
        HYBMapPoint::mapPointWithMapItem(*m_destMapItem, m_destMapItem->name(), getAddressFromPlacemark(dest), dest.coordinate());

    std::optional<platform::Dictionary> extras;
    if (!isNull(m_state.extras)) {
        const std::string text = m_state.extras.isString() ? *m_state.extras.getString() : m_state.extras.description();
        platform::Result<platform::Value> parsed = platform::JSON::parse(text);
        if (!parsed.ok()) {
            logError("Failed to parse extras parameter as valid JSON");
        } else if (const platform::Dictionary* object = parsed->getDictionary()) {
            extras = launcherExtras(*object);
            line += " - extras=" + text;
        } else {
            sendPluginError("Extras parameter must be a JSON object");
            return;
        }
    }
    logDebug(line);
    const std::optional<std::string> mode =
        m_state.transportMode.isString() ? std::optional<std::string>(*m_state.transportMode.getString()) : std::nullopt;
    HYBMapLauncher::launchMapApp(app, *start, end, mode, extras);
    answer(runtime::HYBCommandStatus::Ok);
}

// ---- answers and logging ----

void LaunchNavigator::answer(runtime::HYBCommandStatus status, platform::Value message) {
    if (!m_command)
        return;
    const runtime::HYBInvokedUrlCommand command = std::move(*m_command);
    m_command.reset();
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->sendPluginResult(runtime::HYBPluginResult(status, std::move(message)), command.callbackId());
}

void LaunchNavigator::sendPluginError(const std::string& message) {
    logError(message);
    answer(runtime::HYBCommandStatus::Error, message);
}

void LaunchNavigator::logDebug(const std::string& message) {
    if (!m_debugEnabled)
        return;
    platform::Log::write(std::string(kLogTag) + ": " + message);
    std::string script = "console.log(";
    platform::JSON::appendQuoted(script, std::string(kLogTag) + ": " + message);
    executeGlobalJavascript(script + ")");
}

void LaunchNavigator::logError(const std::string& message) {
    platform::Log::write(std::string(kLogTag) + " ERROR: " + message);
    if (!m_debugEnabled)
        return;
    std::string script = "console.error(";
    platform::JSON::appendQuoted(script, std::string(kLogTag) + ": " + message);
    executeGlobalJavascript(script + ")");
}

void LaunchNavigator::executeGlobalJavascript(std::string script) {
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->evalJs(std::move(script));
}

// ---- helpers ----

std::optional<HYBMapApp> LaunchNavigator::mapAppName_lnToCmm(const platform::Value& key) {
    for (const auto& [name, app] : kApps) {
        if (equals(key, name))
            return app;
    }
    return std::nullopt;
}

std::optional<std::string> LaunchNavigator::mapAppName_cmmToLn(HYBMapApp app) {
    for (const auto& [name, id] : kApps) {
        if (id == app)
            return name;
    }
    return std::nullopt;
}

std::string LaunchNavigator::getAddressFromPlacemark(const platform::Placemark& placemark) {
    std::string address;
    for (const std::optional<std::string>& field : {placemark.subThoroughfare(), placemark.thoroughfare(), placemark.locality(),
                                                    placemark.subAdministrativeArea(), placemark.administrativeArea(),
                                                    placemark.postalCode(), placemark.country()}) {
        if (field)
            address += *field + ", ";
    }
    return address;
}

std::string LaunchNavigator::coordsToString(platform::LocationCoordinate coordinate) {
    return platform::formatString("%g, %g", coordinate.latitude, coordinate.longitude);
}

bool LaunchNavigator::isNull(const platform::Value& value) {
    return value.isNull() || equals(value, "") || equals(value, "<null>");
}

} // namespace plugins
