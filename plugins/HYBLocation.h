// The page's "Geolocation" service: the device position once (getLocation) or continuously (addWatch,
// clearWatch), from one location tracking that one-shot requests and watches share.
//
// Guarantees:
// - Main thread: actions, the location manager's callbacks (the manager is made in pluginInitialize on
//   the main thread) and every answer.
// - Tracking runs while someone waits for a position: the first position answers every waiting one-shot
//   request and stops tracking when no watch is left; watches get every position with their callback kept.
//   A request in the other accuracy mode restarts the tracking in that mode: high accuracy is a 5 m
//   filter with the best accuracy, low accuracy a 10 m filter with three-kilometre accuracy.
// - Positions are {"timestamp" (ms since 1970), "velocity", "altitudeAccuracy", "accuracy", "heading",
//   "altitude", "latitude", "longitude"}; failures are Error {"code", "message"}: 1 when the services are
//   off or not allowed, 2 when the position is unavailable. A failure ends the waiting one-shot requests;
//   watches stay registered and keep their page callbacks.
// - While the system has not decided on access, a request asks for it (when-in-use when the Info.plist
//   names a when-in-use usage description, else always when it names that one); with neither key it
//   logs a warning and stays unanswered until the authorisation changes.
// - A page reset (a new page in the web view), clearWatch of the last watch and stopLocation stop it.
// Made by the name "HYBLocation" once registerClass() ran.
#pragma once

#include "platform/device/LocationManager.h"
#include "plugins/HYBLocationData.h"
#include "runtime/HYBPlugin.h"

#include <memory>
#include <optional>
#include <string>

namespace plugins {

class HYBLocation : public runtime::HYBPlugin, public platform::LocationManagerDelegate {
public:
    using HYBPlugin::HYBPlugin;
    ~HYBLocation() override;

    static void registerClass();

    void pluginInitialize() override;
    void onReset() override;

    // Page actions.
    // 0: high accuracy (read as the platform reads a boolean).
    void getLocation(const runtime::HYBInvokedUrlCommand& command);
    // 0: watch id (a string, or a number keyed by its text), 1: high accuracy.
    void addWatch(const runtime::HYBInvokedUrlCommand& command);
    // 0: watch id. No answer.
    void clearWatch(const runtime::HYBInvokedUrlCommand& command);
    // No answer.
    void stopLocation(const runtime::HYBInvokedUrlCommand& command);

    // Location-manager callbacks.
    void didUpdateToLocation(platform::LocationManager& manager, const platform::Location& newLocation,
                             const std::optional<platform::Location>& oldLocation) override;
    void didFailWithError(platform::LocationManager& manager, const platform::Error& error) override;
    void didChangeAuthorizationStatus(platform::LocationManager& manager, platform::AuthorizationStatus status) override;

    bool isAuthorized() const;
    bool isLocationServicesEnabled() const;
    // Starts (or restarts) tracking in the given mode, or asks for access, or fails every waiting one.
    void startLocation(bool highAccuracy);
    void stopTracking();
    // Answers one callback with the last position (or the code-2 error object when there is none yet).
    void returnLocationInfo(const std::optional<std::string>& callbackId, bool keepCallback);
    // Fails every waiting one-shot request (which ends them) and every watch (which stays).
    void returnLocationError(unsigned code, const std::optional<std::string>& message);

    bool isLocationStarted() const { return m_locationStarted; }
    bool isHighAccuracyEnabled() const { return m_highAccuracyEnabled; }
    const HYBLocationData* locationData() const { return m_locationData.get(); }
    const std::shared_ptr<platform::LocationManager>& locationManager() const { return m_locationManager; }

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBLocation"; }

private:
    HYBLocationData& data();
    void send(runtime::HYBPluginResult result, const std::optional<std::string>& callbackId);

    bool m_locationStarted = false;
    bool m_highAccuracyEnabled = false;
    std::unique_ptr<HYBLocationData> m_locationData;
    std::shared_ptr<platform::LocationManager> m_locationManager;
};

} // namespace plugins
