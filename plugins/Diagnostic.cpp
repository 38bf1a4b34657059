#include "plugins/Diagnostic.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/device/ImagePickerSources.h"
#include "platform/device/InterfaceAddresses.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"


#include <utility>

namespace plugins {

namespace {

using platform::AuthorizationStatus;
using platform::PermissionKind;
using runtime::HYBCommandStatus;
using runtime::HYBPluginResult;

constexpr const char* kAlwaysUsageKey = "NSLocationAlwaysUsageDescription";
constexpr const char* kWhenInUseUsageKey = "NSLocationWhenInUseUsageDescription";
constexpr const char* kFirstVersionWithSettings = "8.0";

struct BluetoothWord {
    const char* word;
    const char* console;
};

BluetoothWord bluetoothWordOf(platform::BluetoothManagerState state) {
    switch (state) {
    case platform::BluetoothManagerState::Resetting:
        return {"resetting", "The connection with the system service was momentarily lost, update imminent."};
    case platform::BluetoothManagerState::Unsupported: return {"unsupported", "The platform doesn't support Bluetooth Low Energy."};
    case platform::BluetoothManagerState::Unauthorized: return {"unauthorized", "The app is not authorized to use Bluetooth Low Energy."};
    case platform::BluetoothManagerState::PoweredOff: return {"powered_off", "Bluetooth is currently powered off."};
    case platform::BluetoothManagerState::PoweredOn: return {"powered_on", "Bluetooth is currently powered on and available to use."};
    case platform::BluetoothManagerState::Unknown: break;
    }
    return {"unknown", "State unknown, update imminent."};
}

// A word as the log's "%@" prints it ("(null)" for none).
std::string printed(const std::optional<std::string>& word) { return word.value_or("(null)"); }

HYBPluginResult intResult(bool yes) { return HYBPluginResult::messageAsInt(HYBCommandStatus::Ok, yes ? 1 : 0); }

// The answer of a request that tells whether access was granted, logged as "<console>: 1" or ": 0".
std::function<HYBPluginResult(AuthorizationStatus)> grantedAnswer(const char* console) {
    return [console](AuthorizationStatus status) {
        const bool granted = status == AuthorizationStatus::Authorized;
        platform::Log::write(platform::formatString("%s: %d", console, granted ? 1 : 0));
        return intResult(granted);
    };
}

bool offersUserNotificationSettings() {
    return platform::isVersionAtLeast(platform::Device::current().systemVersion(), kFirstVersionWithSettings);
}

// The notification types the user allows: the notification settings' types from 8.0, else the enabled
// remote-notification types.
unsigned notificationTypes() {
    const platform::Application& application = platform::Application::shared();
    return offersUserNotificationSettings() ? application.currentUserNotificationSettingsTypes()
                                            : application.enabledRemoteNotificationTypes();
}

// The process-wide address book: made on first use, released when a Diagnostic goes away. Main thread.
enum class AddressBookReference { None, Made, Refused };
AddressBookReference g_addressBook = AddressBookReference::None;

} // namespace

Diagnostic::~Diagnostic() {
    if (m_locationManager)
        m_locationManager->setDelegate({});
    g_addressBook = AddressBookReference::None;
}

void Diagnostic::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<Diagnostic>("Diagnostic");
    (void)registered;
}

const runtime::HYBActionTable& Diagnostic::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<Diagnostic>({
        {"isLocationAvailable", &Diagnostic::isLocationAvailable},
        {"isLocationEnabled", &Diagnostic::isLocationEnabled},
        {"isLocationAuthorized", &Diagnostic::isLocationAuthorized},
        {"getLocationAuthorizationStatus", &Diagnostic::getLocationAuthorizationStatus},
        {"requestLocationAuthorization", &Diagnostic::requestLocationAuthorization},
        {"isCameraAvailable", &Diagnostic::isCameraAvailable},
        {"isCameraPresent", &Diagnostic::isCameraPresent},
        {"isCameraAuthorized", &Diagnostic::isCameraAuthorized},
        {"getCameraAuthorizationStatus", &Diagnostic::getCameraAuthorizationStatus},
        {"requestCameraAuthorization", &Diagnostic::requestCameraAuthorization},
        {"isCameraRollAuthorized", &Diagnostic::isCameraRollAuthorized},
        {"getCameraRollAuthorizationStatus", &Diagnostic::getCameraRollAuthorizationStatus},
        {"requestCameraRollAuthorization", &Diagnostic::requestCameraRollAuthorization},
        {"isWifiAvailable", &Diagnostic::isWifiAvailable},
        {"isBluetoothAvailable", &Diagnostic::isBluetoothAvailable},
        {"getBluetoothState", &Diagnostic::getBluetoothState},
        {"switchToSettings", &Diagnostic::switchToSettings},
        {"isMicrophoneAuthorized", &Diagnostic::isMicrophoneAuthorized},
        {"getMicrophoneAuthorizationStatus", &Diagnostic::getMicrophoneAuthorizationStatus},
        {"requestMicrophoneAuthorization", &Diagnostic::requestMicrophoneAuthorization},
        {"isRemoteNotificationsEnabled", &Diagnostic::isRemoteNotificationsEnabled},
        {"getRemoteNotificationTypes", &Diagnostic::getRemoteNotificationTypes},
        {"isRegisteredForRemoteNotifications", &Diagnostic::isRegisteredForRemoteNotifications},
        {"getAddressBookAuthorizationStatus", &Diagnostic::getAddressBookAuthorizationStatus},
        {"isAddressBookAuthorized", &Diagnostic::isAddressBookAuthorized},
        {"requestAddressBookAuthorization", &Diagnostic::requestAddressBookAuthorization},
        {"getCalendarAuthorizationStatus", &Diagnostic::getCalendarAuthorizationStatus},
        {"isCalendarAuthorized", &Diagnostic::isCalendarAuthorized},
        {"requestCalendarAuthorization", &Diagnostic::requestCalendarAuthorization},
        {"getRemindersAuthorizationStatus", &Diagnostic::getRemindersAuthorizationStatus},
        {"isRemindersAuthorized", &Diagnostic::isRemindersAuthorized},
        {"requestRemindersAuthorization", &Diagnostic::requestRemindersAuthorization},
    });
    return table;
}

void Diagnostic::pluginInitialize() {
    m_locationRequestCallbackId.reset();
    // The registry owns plug-ins through a shared_ptr; both managers hold their delegate weakly.
    std::shared_ptr<Diagnostic> self = std::static_pointer_cast<Diagnostic>(weak_from_this().lock());
    m_locationManager = platform::LocationManager::create();
    m_locationManager->setDelegate(std::weak_ptr<platform::LocationManagerDelegate>(self));
    m_bluetoothManager = platform::BluetoothCentralManager::create(
        std::weak_ptr<platform::BluetoothCentralManagerDelegate>(self), platform::DispatchQueue::main(),
        platform::Dictionary{{platform::kBluetoothCentralManagerOptionShowPowerAlertKey, false}});
    // The manager tells only of changes: the state it starts in is taken here.
    didUpdateState(*m_bluetoothManager);
}

// --- Answers

void Diagnostic::send(HYBPluginResult result, const std::optional<std::string>& callbackId) {
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), callbackId);
}

void Diagnostic::sendInt(bool yes, const std::optional<std::string>& callbackId) { send(intResult(yes), callbackId); }

void Diagnostic::sendWord(const std::optional<std::string>& word, const std::optional<std::string>& callbackId) {
    send(word ? HYBPluginResult::messageAsString(HYBCommandStatus::Ok, *word) : HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok),
         callbackId);
}

bool Diagnostic::isAuthorized(PermissionKind kind) {
    return platform::Permissions::shared().status(kind) == AuthorizationStatus::Authorized;
}

void Diagnostic::sendStatusWord(PermissionKind kind, const char* console, const runtime::HYBInvokedUrlCommand& command) {
    const std::optional<std::string> word = getAuthorizationStatusAsString(platform::Permissions::shared().status(kind));
    platform::Log::write(console + printed(word));
    sendWord(word, command.callbackId());
}

void Diagnostic::request(PermissionKind kind, const runtime::HYBInvokedUrlCommand& command,
                         std::function<HYBPluginResult(AuthorizationStatus)> answer) {
    // The completion comes on a background thread; it reaches the page through the delegate, which
    // takes answers from any thread.
    platform::Permissions::shared().request(
        kind, [delegate = std::weak_ptr<runtime::HYBCommandDelegate>(commandDelegate()), callbackId = command.callbackId(),
               answer = std::move(answer)](AuthorizationStatus status) {
            HYBPluginResult result = answer(status);
            if (std::shared_ptr<runtime::HYBCommandDelegate> target = delegate.lock())
                target->sendPluginResult(std::move(result), callbackId);
        });
}

void Diagnostic::jsCallback(std::string script) {
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->evalJs(std::move(script));
}

// --- Location

bool Diagnostic::isLocationAuthorized() const {
    const std::optional<std::string> word = getLocationAuthorizationStatusAsString(platform::LocationManager::authorizationStatus());
    return word == "authorized" || word == "authorized_when_in_use";
}

std::optional<std::string> Diagnostic::getLocationAuthorizationStatusAsString(AuthorizationStatus status) {
    switch (status) {
    case AuthorizationStatus::NotDetermined: return "not_determined";
    case AuthorizationStatus::Restricted:
    case AuthorizationStatus::Denied: return "denied";
    case AuthorizationStatus::Authorized: return "authorized";
    case AuthorizationStatus::AuthorizedWhenInUse: return "authorized_when_in_use";
    }
    return std::nullopt;
}

void Diagnostic::isLocationAvailable(const runtime::HYBInvokedUrlCommand& command) {
    const bool available = platform::LocationManager::locationServicesEnabled() && isLocationAuthorized();
    platform::Log::write(available ? "Location is available." : "Location is not available.");
    sendInt(available, command.callbackId());
}

void Diagnostic::isLocationEnabled(const runtime::HYBInvokedUrlCommand& command) {
    const bool enabled = platform::LocationManager::locationServicesEnabled();
    platform::Log::write(enabled ? "Location setting is enabled" : "Location setting is disabled");
    sendInt(enabled, command.callbackId());
}

void Diagnostic::isLocationAuthorized(const runtime::HYBInvokedUrlCommand& command) {
    const bool authorized = isLocationAuthorized();
    platform::Log::write(authorized ? "This app is authorized to use location." : "This app is not authorized to use location.");
    sendInt(authorized, command.callbackId());
}

void Diagnostic::getLocationAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command) {
    const std::optional<std::string> word = getLocationAuthorizationStatusAsString(platform::LocationManager::authorizationStatus());
    platform::Log::write("Location authorization status is: " + printed(word));
    sendWord(word, command.callbackId());
}

void Diagnostic::requestLocationAuthorization(const runtime::HYBInvokedUrlCommand& command) {
    if (m_locationManager && platform::LocationManager::respondsToAuthorizationRequests()) {
        const bool always = command.argumentAtIndex(0, false).boolValue();
        const char* usageKey = always ? kAlwaysUsageKey : kWhenInUseUsageKey;
        if (platform::Application::shared().objectForInfoDictionaryKey(usageKey).isNull()) {
            // Without the usage description the system never asks, so no word would ever come: say why
            // now instead of keeping a callback open for nothing.
            send(HYBPluginResult::messageAsString(HYBCommandStatus::Error, std::string("For iOS 8 and above, your app must have a value for ") +
                                                                               usageKey + " in its Info.plist"),
                 command.callbackId());
            return;
        }
        if (always)
            m_locationManager->requestAlwaysAuthorization();
        else
            m_locationManager->requestWhenInUseAuthorization();
        platform::Log::write(always ? "Requesting location authorization: always" : "Requesting location authorization: when in use");
    }
    m_locationRequestCallbackId = command.callbackId();
    HYBPluginResult pending;
    pending.setKeepCallbackAsBool(true);
    send(std::move(pending), command.callbackId());
}

void Diagnostic::didChangeAuthorizationStatus(platform::LocationManager&, AuthorizationStatus status) {
    const std::optional<std::string> word = getLocationAuthorizationStatusAsString(status);
    platform::Log::write("Location authorization status changed to: " + printed(word));
    if (std::optional<std::string> callbackId = std::exchange(m_locationRequestCallbackId, std::nullopt))
        sendWord(word, callbackId);
    jsCallback(platform::formatString("hybrid.plugins.diagnostic._onLocationStateChange(\"%s\");", printed(word).c_str()));
}

// --- Camera and photo library

bool Diagnostic::isCameraPresent() const {
    const bool present = platform::ImagePickerSources::isSourceTypeAvailable(platform::ImagePickerSourceType::Camera);
    platform::Log::write(present ? "Camera available" : "Camera unavailable");
    return present;
}

bool Diagnostic::isCameraAuthorized() const { return isAuthorized(PermissionKind::VideoCapture); }

std::optional<std::string> Diagnostic::getAuthorizationStatusAsString(AuthorizationStatus status) {
    switch (status) {
    case AuthorizationStatus::NotDetermined: return "not_determined";
    case AuthorizationStatus::Restricted:
    case AuthorizationStatus::Denied: return "denied";
    case AuthorizationStatus::Authorized: return "authorized";
    case AuthorizationStatus::AuthorizedWhenInUse: break;
    }
    return std::nullopt;
}

std::optional<std::string> Diagnostic::getCameraRollAuthorizationStatus() const {
    return getAuthorizationStatusAsString(platform::Permissions::shared().status(PermissionKind::PhotoLibrary));
}

void Diagnostic::isCameraAvailable(const runtime::HYBInvokedUrlCommand& command) {
    sendInt(isCameraPresent() && isCameraAuthorized(), command.callbackId());
}

void Diagnostic::isCameraPresent(const runtime::HYBInvokedUrlCommand& command) { sendInt(isCameraPresent(), command.callbackId()); }

void Diagnostic::isCameraAuthorized(const runtime::HYBInvokedUrlCommand& command) { sendInt(isCameraAuthorized(), command.callbackId()); }

void Diagnostic::getCameraAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command) {
    sendStatusWord(PermissionKind::VideoCapture, "Camera authorization status is: ", command);
}

void Diagnostic::requestCameraAuthorization(const runtime::HYBInvokedUrlCommand& command) {
    request(PermissionKind::VideoCapture, command, [](AuthorizationStatus status) {
        const bool granted = status == AuthorizationStatus::Authorized;
        platform::Log::write(granted ? "Granted access to camera" : "Not granted access to camera");
        return intResult(granted);
    });
}

void Diagnostic::isCameraRollAuthorized(const runtime::HYBInvokedUrlCommand& command) {
    sendInt(getCameraRollAuthorizationStatus() == "authorized", command.callbackId());
}

void Diagnostic::getCameraRollAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command) {
    const std::optional<std::string> word = getCameraRollAuthorizationStatus();
    platform::Log::write("Camera Roll authorization status is: " + printed(word));
    sendWord(word, command.callbackId());
}

void Diagnostic::requestCameraRollAuthorization(const runtime::HYBInvokedUrlCommand& command) {
    request(PermissionKind::PhotoLibrary, command, [](AuthorizationStatus status) {
        const std::optional<std::string> word = getAuthorizationStatusAsString(status);
        return word ? HYBPluginResult::messageAsString(HYBCommandStatus::Ok, *word) : HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok);
    });
}

// --- Wi-Fi and Bluetooth

bool Diagnostic::connectedToWifi() {
    const auto addresses = platform::InterfaceAddresses::list();
    return addresses && platform::InterfaceAddresses::isWifiConnected(*addresses);
}

void Diagnostic::isWifiAvailable(const runtime::HYBInvokedUrlCommand& command) {
    const bool connected = connectedToWifi();
    if (connected)
        platform::Log::write("Wifi ON");
    sendInt(connected, command.callbackId());
}

void Diagnostic::isBluetoothAvailable(const runtime::HYBInvokedUrlCommand& command) { sendInt(m_bluetoothEnabled, command.callbackId()); }

void Diagnostic::getBluetoothState(const runtime::HYBInvokedUrlCommand& command) {
    platform::Log::write("Bluetooth state is: " + m_bluetoothState);
    sendWord(m_bluetoothState, command.callbackId());
}

void Diagnostic::didUpdateState(platform::BluetoothCentralManager& manager) {
    const BluetoothWord state = bluetoothWordOf(manager.state());
    platform::Log::write(std::string("Bluetooth state changed: ") + state.console);
    m_bluetoothState = state.word;
    m_bluetoothEnabled = m_bluetoothState == "powered_on";
    jsCallback(platform::formatString("hybrid.plugins.diagnostic._onBluetoothStateChange(\"%s\");", state.word));
}

// --- Settings

void Diagnostic::switchToSettings(const runtime::HYBInvokedUrlCommand& command) {
    if (!offersUserNotificationSettings()) {
        send(HYBPluginResult::messageAsString(HYBCommandStatus::Error, "Not supported below iOS 8"), command.callbackId());
        return;
    }
    if (!platform::Application::shared().openURL(platform::kApplicationOpenSettingsURLString)) {
        send(HYBPluginResult::messageAsString(HYBCommandStatus::Error,
                                              std::string("Could not open the settings page ") + platform::kApplicationOpenSettingsURLString),
             command.callbackId());
        return;
    }
    send(HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok), command.callbackId());
}

// --- Microphone

void Diagnostic::isMicrophoneAuthorized(const runtime::HYBInvokedUrlCommand& command) {
    sendInt(platform::Permissions::shared().recordPermission() == platform::RecordPermission::Granted, command.callbackId());
}

void Diagnostic::getMicrophoneAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command) {
    std::optional<std::string> word;
    switch (platform::Permissions::shared().recordPermission()) {
    case platform::RecordPermission::Undetermined: word = "not_determined"; break;
    case platform::RecordPermission::Denied: word = "denied"; break;
    case platform::RecordPermission::Granted: word = "granted"; break;
    }
    platform::Log::write("Microphone authorization status is: " + printed(word));
    sendWord(word, command.callbackId());
}

void Diagnostic::requestMicrophoneAuthorization(const runtime::HYBInvokedUrlCommand& command) {
    request(PermissionKind::Microphone, command, [](AuthorizationStatus status) {
        const bool granted = platform::Permissions::recordPermissionFor(status) == platform::RecordPermission::Granted;
        platform::Log::write(platform::formatString("HAs access to microphone: %d", granted ? 1 : 0));
        return intResult(granted);
    });
}

// --- Remote notifications

void Diagnostic::isRemoteNotificationsEnabled(const runtime::HYBInvokedUrlCommand& command) {
    const platform::Application& application = platform::Application::shared();
    const bool enabled = offersUserNotificationSettings()
                             ? application.isRegisteredForRemoteNotifications() && application.currentUserNotificationSettingsTypes() != 0
                             : application.enabledRemoteNotificationTypes() != 0;
    sendInt(enabled, command.callbackId());
}

void Diagnostic::getRemoteNotificationTypes(const runtime::HYBInvokedUrlCommand& command) {
    const unsigned types = notificationTypes();
    auto flag = [types](unsigned bit) { return platform::Value((types & bit) ? "1" : "0"); };
    const platform::Dictionary answer{
        {"alert", flag(platform::kUserNotificationTypeAlert)},
        {"badge", flag(platform::kUserNotificationTypeBadge)},
        {"sound", flag(platform::kUserNotificationTypeSound)},
    };
    send(HYBPluginResult::messageAsString(HYBCommandStatus::Ok, objectToJsonString(answer)), command.callbackId());
}

void Diagnostic::isRegisteredForRemoteNotifications(const runtime::HYBInvokedUrlCommand& command) {
    const bool registered = offersUserNotificationSettings() ? platform::Application::shared().isRegisteredForRemoteNotifications()
                                                             : platform::Application::shared().enabledRemoteNotificationTypes() != 0;
    sendInt(registered, command.callbackId());
}

std::string Diagnostic::objectToJsonString(const platform::Value& object) {
    return platform::JSON::writePretty(object).valueOr(std::string());
}

// --- Address book, calendar, reminders

bool Diagnostic::addressBook() {
    if (g_addressBook == AddressBookReference::None)
        g_addressBook = platform::Permissions::shared().isAddressBookAvailable() ? AddressBookReference::Made : AddressBookReference::Refused;
    return g_addressBook == AddressBookReference::Made;
}

void Diagnostic::getAddressBookAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command) {
    sendStatusWord(PermissionKind::AddressBook, "Address book authorization status is: ", command);
}

void Diagnostic::isAddressBookAuthorized(const runtime::HYBInvokedUrlCommand& command) {
    sendInt(isAuthorized(PermissionKind::AddressBook), command.callbackId());
}

void Diagnostic::requestAddressBookAuthorization(const runtime::HYBInvokedUrlCommand& command) {
    if (!addressBook()) {
        // Without an address book there is nobody to ask: access is not granted.
        platform::Log::write("Access request to address book: 0");
        sendInt(false, command.callbackId());
        return;
    }
    request(PermissionKind::AddressBook, command, grantedAnswer("Access request to address book"));
}

void Diagnostic::getCalendarAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command) {
    sendStatusWord(PermissionKind::Events, "Calendar event authorization status is: ", command);
}

void Diagnostic::isCalendarAuthorized(const runtime::HYBInvokedUrlCommand& command) {
    sendInt(isAuthorized(PermissionKind::Events), command.callbackId());
}

void Diagnostic::requestCalendarAuthorization(const runtime::HYBInvokedUrlCommand& command) {
    request(PermissionKind::Events, command, grantedAnswer("Access request to calendar events"));
}

void Diagnostic::getRemindersAuthorizationStatus(const runtime::HYBInvokedUrlCommand& command) {
    sendStatusWord(PermissionKind::Reminders, "Reminders authorization status is: ", command);
}

void Diagnostic::isRemindersAuthorized(const runtime::HYBInvokedUrlCommand& command) {
    sendInt(isAuthorized(PermissionKind::Reminders), command.callbackId());
}

void Diagnostic::requestRemindersAuthorization(const runtime::HYBInvokedUrlCommand& command) {
    request(PermissionKind::Reminders, command, grantedAnswer("Access request to reminders"));
}

} // namespace plugins
