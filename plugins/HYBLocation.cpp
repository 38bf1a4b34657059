#include "plugins/HYBLocation.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"

#include <cmath>

namespace plugins {

namespace {

constexpr const char* kServicesDisabled = "Location services are disabled.";
constexpr const char* kWhenInUseUsageKey = "NSLocationWhenInUseUsageDescription";
constexpr const char* kAlwaysUsageKey = "NSLocationAlwaysUsageDescription";

constexpr unsigned kPermissionDenied = 1;
constexpr unsigned kPositionUnavailable = 2;

// JSON has no NaN or infinity (a fix's altitude is NaN when unknown): such a number travels as null, so
// the position still reaches the page.
platform::Value number(double value) {
    return std::isfinite(value) ? platform::Value(value) : platform::Value();
}

platform::Dictionary positionMessage(const platform::Location& location) {
    return platform::Dictionary{
        {"timestamp", number(location.timestamp().secondsSince1970 * 1000)},
        {"velocity", number(location.speed())},
        {"altitudeAccuracy", number(location.verticalAccuracy())},
        {"accuracy", number(location.horizontalAccuracy())},
        {"heading", number(location.course())},
        {"altitude", number(location.altitude())},
        {"latitude", number(location.coordinate().latitude)},
        {"longitude", number(location.coordinate().longitude)},
    };
}

runtime::HYBPluginResult errorResult(unsigned code, const std::optional<std::string>& message) {
    return runtime::HYBPluginResult::messageAsDictionary(runtime::HYBCommandStatus::Error,
                                                         platform::Dictionary{{"code", code}, {"message", message.value_or("")}});
}

// A watch id is a text; a number stands for its decimal text, so clearWatch(5) ends addWatch(5).
std::optional<std::string> watchIdOf(const platform::Value& value) {
    if (const std::string* text = value.getString())
        return *text;
    if (value.isNumber())
        return value.description();
    return std::nullopt;
}

} // namespace

HYBLocation::~HYBLocation() {
    if (m_locationManager)
        m_locationManager->setDelegate({});
}

void HYBLocation::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<HYBLocation>("HYBLocation");
    (void)registered;
}

const runtime::HYBActionTable& HYBLocation::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<HYBLocation>({
        {"getLocation", &HYBLocation::getLocation},
        {"addWatch", &HYBLocation::addWatch},
        {"clearWatch", &HYBLocation::clearWatch},
        {"stopLocation", &HYBLocation::stopLocation},
    });
    return table;
}

void HYBLocation::pluginInitialize() {
    m_locationManager = platform::LocationManager::create();
    // The registry owns plug-ins through a shared_ptr; the manager holds its delegate weakly.
    if (std::shared_ptr<runtime::HYBPlugin> self = weak_from_this().lock())
        m_locationManager->setDelegate(std::weak_ptr<platform::LocationManagerDelegate>(std::static_pointer_cast<HYBLocation>(self)));
}

void HYBLocation::onReset() {
    stopTracking();
    if (m_locationManager)
        m_locationManager->stopUpdatingHeading();
}

HYBLocationData& HYBLocation::data() {
    if (!m_locationData)
        m_locationData = std::make_unique<HYBLocationData>();
    return *m_locationData;
}

void HYBLocation::send(runtime::HYBPluginResult result, const std::optional<std::string>& callbackId) {
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), callbackId);
}

// --- Actions

void HYBLocation::getLocation(const runtime::HYBInvokedUrlCommand& command) {
    const bool highAccuracy = command.argumentAtIndex(0, false).boolValue();
    if (!isLocationServicesEnabled()) {
        send(errorResult(kPermissionDenied, kServicesDisabled), command.callbackId());
        return;
    }
    HYBLocationData& waiting = data();
    if (!m_locationStarted || m_highAccuracyEnabled != highAccuracy) {
        if (command.callbackId())
            waiting.locationCallbacks.push_back(*command.callbackId());
        startLocation(highAccuracy);
    } else {
        returnLocationInfo(command.callbackId(), false);
    }
}

void HYBLocation::addWatch(const runtime::HYBInvokedUrlCommand& command) {
    const std::optional<std::string> watchId = watchIdOf(command.argumentAtIndex(0));
    if (!watchId) {
        platform::Log::write("Geolocation.addWatch called without a watch id; no watch was added.");
        return;
    }
    const bool highAccuracy = command.argumentAtIndex(1, false).boolValue();
    data().watchCallbacks.insert_or_assign(*watchId, command.callbackId());
    if (!isLocationServicesEnabled()) {
        send(errorResult(kPermissionDenied, kServicesDisabled), command.callbackId());
        return;
    }
    if (!m_locationStarted || m_highAccuracyEnabled != highAccuracy)
        startLocation(highAccuracy);
}

void HYBLocation::clearWatch(const runtime::HYBInvokedUrlCommand& command) {
    const std::optional<std::string> watchId = watchIdOf(command.argumentAtIndex(0));
    if (!watchId) {
        platform::Log::write("Geolocation.clearWatch called without a watch id; no watch was removed.");
        return;
    }
    if (!m_locationData || m_locationData->watchCallbacks.erase(*watchId) == 0)
        return;
    if (m_locationData->watchCallbacks.empty())
        stopTracking();
}

void HYBLocation::stopLocation(const runtime::HYBInvokedUrlCommand& /*command*/) { stopTracking(); }

// --- Tracking

bool HYBLocation::isAuthorized() const {
    using platform::AuthorizationStatus;
    const AuthorizationStatus status = platform::LocationManager::authorizationStatus();
    if (platform::LocationManager::respondsToAuthorizationRequests())
        return status == AuthorizationStatus::NotDetermined || status == AuthorizationStatus::Authorized
               || status == AuthorizationStatus::AuthorizedWhenInUse;
    return status == AuthorizationStatus::Authorized || status == AuthorizationStatus::NotDetermined;
}

bool HYBLocation::isLocationServicesEnabled() const { return platform::LocationManager::locationServicesEnabled(); }

void HYBLocation::startLocation(bool highAccuracy) {
    if (!isLocationServicesEnabled()) {
        returnLocationError(kPermissionDenied, "Location services are not enabled.");
        return;
    }
    if (!isAuthorized()) {
        if (platform::LocationManager::authorizationStatus() == platform::AuthorizationStatus::Restricted)
            returnLocationError(kPermissionDenied, "Application's use of location services is restricted.");
        else
            returnLocationError(kPermissionDenied, std::nullopt);
        return;
    }
    if (!m_locationManager)
        return;
    if (platform::LocationManager::authorizationStatus() == platform::AuthorizationStatus::NotDetermined
        && platform::LocationManager::respondsToAuthorizationRequests()) {
        // Tracking starts when the user has answered (didChangeAuthorizationStatus).
        m_highAccuracyEnabled = highAccuracy;
        const platform::Application& application = platform::Application::shared();
        if (!application.objectForInfoDictionaryKey(kWhenInUseUsageKey).isNull())
            m_locationManager->requestWhenInUseAuthorization();
        else if (!application.objectForInfoDictionaryKey(kAlwaysUsageKey).isNull())
            m_locationManager->requestAlwaysAuthorization();
        else
            platform::Log::write("[Warning] No NSLocationAlwaysUsageDescription or NSLocationWhenInUseUsageDescription key is "
                                 "defined in the Info.plist file.");
        return;
    }
    m_locationManager->stopUpdatingLocation();
    if (highAccuracy) {
        m_locationManager->setDistanceFilter(5);
        m_locationManager->setDesiredAccuracy(platform::kLocationAccuracyBest);
    } else {
        m_locationManager->setDistanceFilter(10);
        m_locationManager->setDesiredAccuracy(platform::kLocationAccuracyThreeKilometers);
    }
    m_locationManager->startUpdatingLocation();
    m_locationStarted = true;
    m_highAccuracyEnabled = highAccuracy;
}

void HYBLocation::stopTracking() {
    if (!m_locationStarted || !isLocationServicesEnabled() || !m_locationManager)
        return;
    m_locationManager->stopUpdatingLocation();
    m_locationStarted = false;
    m_highAccuracyEnabled = false;
}

// --- Answers

void HYBLocation::returnLocationInfo(const std::optional<std::string>& callbackId, bool keepCallback) {
    if (!m_locationData)
        return;
    if (!m_locationData->locationInfo) {
        send(runtime::HYBPluginResult::messageToErrorObject(runtime::HYBCommandStatus::Error, kPositionUnavailable), callbackId);
        return;
    }
    runtime::HYBPluginResult result =
        runtime::HYBPluginResult::messageAsDictionary(runtime::HYBCommandStatus::Ok, positionMessage(*m_locationData->locationInfo));
    result.setKeepCallbackAsBool(keepCallback);
    send(std::move(result), callbackId);
}

void HYBLocation::returnLocationError(unsigned code, const std::optional<std::string>& message) {
    if (!m_locationData)
        return;
    const runtime::HYBPluginResult result = errorResult(code, message);
    std::vector<std::string> waiting = std::move(m_locationData->locationCallbacks);
    m_locationData->locationCallbacks.clear();
    for (const std::string& callbackId : waiting)
        send(result, callbackId);
    // A watch outlives a failure: its page callback is kept for the positions that follow.
    runtime::HYBPluginResult kept = result;
    kept.setKeepCallbackAsBool(true);
    const auto watches = m_locationData->watchCallbacks;
    for (const auto& [watchId, callbackId] : watches)
        send(kept, callbackId);
}

// --- Location manager

void HYBLocation::didUpdateToLocation(platform::LocationManager& /*manager*/, const platform::Location& newLocation,
                                      const std::optional<platform::Location>& /*oldLocation*/) {
    HYBLocationData& current = data();
    current.locationInfo = newLocation;
    std::vector<std::string> waiting = std::move(current.locationCallbacks);
    current.locationCallbacks.clear();
    for (const std::string& callbackId : waiting)
        returnLocationInfo(callbackId, false);
    if (current.watchCallbacks.empty()) {
        stopTracking();
        return;
    }
    const auto watches = current.watchCallbacks;
    for (const auto& [watchId, callbackId] : watches)
        returnLocationInfo(callbackId, true);
}

void HYBLocation::didFailWithError(platform::LocationManager& manager, const platform::Error& error) {
    const platform::Value& reason = error.userInfo["NSLocalizedFailureReason"];
    platform::Log::write("locationManager::didFailWithError " + (reason.isNull() ? error.localizedDescription() : reason.description()));
    if (m_locationData && m_locationStarted)
        returnLocationError(error.code == platform::kLocationErrorDenied ? kPermissionDenied : kPositionUnavailable,
                            error.localizedDescription());
    // Code 0 (the position is not known for now) passes; any other failure ends the updates.
    if (error.code != platform::kLocationErrorLocationUnknown) {
        manager.stopUpdatingLocation();
        m_locationStarted = false;
    }
}

void HYBLocation::didChangeAuthorizationStatus(platform::LocationManager& /*manager*/, platform::AuthorizationStatus /*status*/) {
    if (!m_locationStarted)
        startLocation(m_highAccuracyEnabled);
}

} // namespace plugins
