// The page's "Diagnostic" service: whether the device's services (location, camera, photo library,
// microphone, remote notifications, address book, calendar events, reminders, Wi-Fi, Bluetooth) are
// there, switched on and permitted for this application; permission requests; the application's page in
// the system settings.
//
// Guarantees:
// - Main thread: actions, the location manager's and the Bluetooth manager's callbacks (both managers are
//   made in pluginInitialize on the main thread, the Bluetooth one with the main queue).
// - "is" actions answer OK with 1 or 0, "get" actions OK with a status word: "not_determined", "denied",
//   "authorized" ("authorized_when_in_use" for location, "granted" for the microphone). A status outside
//   those answers OK without a message (get) or 0 (is).
// - Permission requests (camera, microphone, photo library, address book, calendar, reminders) answer
//   once, from the permission store's completion on a background thread, through sendPluginResult.
// - requestLocationAuthorization answers no result with the callback kept; the status word follows on
//   that callback when the authorisation changes. Only the last request waits: a second request before a
//   change replaces the first, whose callback never hears the word. From system 8.0, a request whose
//   usage description ("NSLocationAlwaysUsageDescription" or "NSLocationWhenInUseUsageDescription") is
//   missing from the Info.plist answers Error with the text naming that key and keeps no callback.
// - Page events, by script through the command delegate: every change of the location authorisation
//   calls hybrid.plugins.diagnostic._onLocationStateChange("<word>"), and the Bluetooth state
//   hybrid.plugins.diagnostic._onBluetoothStateChange("<word>") once at start and at every change.
// Made by the name "Diagnostic" once registerClass() ran.
#pragma once

#include "platform/device/AuthorizationStatus.h"
#include "platform/device/BluetoothCentralManager.h"
#include "platform/device/LocationManager.h"
#include "platform/device/Permissions.h"
#include "runtime/HYBPlugin.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace plugins {

class Diagnostic : public runtime::HYBPlugin,
                   public platform::LocationManagerDelegate,
                   public platform::BluetoothCentralManagerDelegate {
public:
    using HYBPlugin::HYBPlugin;
    ~Diagnostic() override;

    static void registerClass();

    void pluginInitialize() override;

    // ---- page actions (no arguments unless said) ----
    void isLocationAvailable(const runtime::HYBInvokedUrlCommand& command);
    void isLocationEnabled(const runtime::HYBInvokedUrlCommand& command);
    void isLocationAuthorized(const runtime::HYBInvokedUrlCommand& command);
    void getLocationAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command);
    // 0: "always" when true (read as the platform reads a boolean), else "when in use".
    void requestLocationAuthorization(const runtime::HYBInvokedUrlCommand& command);
    void isCameraAvailable(const runtime::HYBInvokedUrlCommand& command);
    void isCameraPresent(const runtime::HYBInvokedUrlCommand& command);
    void isCameraAuthorized(const runtime::HYBInvokedUrlCommand& command);
    void getCameraAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command);
    void requestCameraAuthorization(const runtime::HYBInvokedUrlCommand& command);
    void isCameraRollAuthorized(const runtime::HYBInvokedUrlCommand& command);
    void getCameraRollAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command);
    void requestCameraRollAuthorization(const runtime::HYBInvokedUrlCommand& command);
    void isWifiAvailable(const runtime::HYBInvokedUrlCommand& command);
    void isBluetoothAvailable(const runtime::HYBInvokedUrlCommand& command);
    void getBluetoothState(const runtime::HYBInvokedUrlCommand& command);
    void switchToSettings(const runtime::HYBInvokedUrlCommand& command);
    void isMicrophoneAuthorized(const runtime::HYBInvokedUrlCommand& command);
    void getMicrophoneAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command);
    void requestMicrophoneAuthorization(const runtime::HYBInvokedUrlCommand& command);
    void isRemoteNotificationsEnabled(const runtime::HYBInvokedUrlCommand& command);
    // OK with the pretty JSON text of {"alert", "badge", "sound"}, each "1" or "0".
    void getRemoteNotificationTypes(const runtime::HYBInvokedUrlCommand& command);
    void isRegisteredForRemoteNotifications(const runtime::HYBInvokedUrlCommand& command);
    void getAddressBookAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command);
    void isAddressBookAuthorized(const runtime::HYBInvokedUrlCommand& command);
    void requestAddressBookAuthorization(const runtime::HYBInvokedUrlCommand& command);
    void getCalendarAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command);
    void isCalendarAuthorized(const runtime::HYBInvokedUrlCommand& command);
    void requestCalendarAuthorization(const runtime::HYBInvokedUrlCommand& command);
    void getRemindersAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command);
    void isRemindersAuthorized(const runtime::HYBInvokedUrlCommand& command);
    void requestRemindersAuthorization(const runtime::HYBInvokedUrlCommand& command);

    // ---- the managers' callbacks ----
    void didChangeAuthorizationStatus(platform::LocationManager& manager, platform::AuthorizationStatus status) override;
    void didUpdateState(platform::BluetoothCentralManager& manager) override;

    // ---- what the actions are made of ----
    bool isLocationAuthorized() const;
    // The location word, or nothing for a status outside the table.
    static std::optional<std::string> getLocationAuthorizationStatusAsString(platform::AuthorizationStatus status);
    // The word of the camera, photo library, address book, calendar and reminders.
    static std::optional<std::string> getAuthorizationStatusAsString(platform::AuthorizationStatus status);
    bool isCameraPresent() const;
    bool isCameraAuthorized() const;
    std::optional<std::string> getCameraRollAuthorizationStatus() const;
    // An "en0" entry with an IPv4 address that is not a loopback; false when the list cannot be read.
    static bool connectedToWifi();
    // Pretty-printed JSON text ("" for what JSON cannot hold).
    static std::string objectToJsonString(const platform::Value& object);
    // Evaluates page script through the command delegate.
    void jsCallback(std::string script);
    // The process-wide address book, made on first use; false when the platform refused to make it.
    static bool addressBook();

    const std::optional<std::string>& locationRequestCallbackId() const { return m_locationRequestCallbackId; }
    const std::string& bluetoothState() const { return m_bluetoothState; }
    bool isBluetoothEnabled() const { return m_bluetoothEnabled; }
    const std::shared_ptr<platform::BluetoothCentralManager>& bluetoothManager() const { return m_bluetoothManager; }

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "Diagnostic"; }

private:
    void send(runtime::HYBPluginResult result, const std::optional<std::string>& callbackId);
    void sendInt(bool yes, const std::optional<std::string>& callbackId);
    // OK with the word, or OK without a message when there is none.
    void sendWord(const std::optional<std::string>& word, const std::optional<std::string>& callbackId);
    static bool isAuthorized(platform::PermissionKind kind);
    // Logs the console text with the kind's word and answers the word.
    void sendStatusWord(platform::PermissionKind kind, const char* console, const runtime::HYBInvokedUrlCommand& command);
    // Asks the permission store; `answer` forms the result from the user's answer (on a background thread).
    void request(platform::PermissionKind kind, const runtime::HYBInvokedUrlCommand& command,
                 std::function<runtime::HYBPluginResult(platform::AuthorizationStatus)> answer);

    std::shared_ptr<platform::LocationManager> m_locationManager;
    std::optional<std::string> m_locationRequestCallbackId;
    std::shared_ptr<platform::BluetoothCentralManager> m_bluetoothManager;
    std::string m_bluetoothState;
    bool m_bluetoothEnabled = false;
};

} // namespace plugins
