// The Diagnostic service: status words and their edge cases, permission requests answered from other
// threads, the location request's kept callback and page events, Bluetooth events, Wi-Fi, remote
// notifications and the settings page.
#include "PluginFixture.h"

#include "platform/application/Application.h"
#include "platform/device/ImagePickerSources.h"
#include "platform/system/Device.h"
#include "plugins/Diagnostic.h"
#include "support/LogCapture.h"

#include <net/if.h>

namespace {

using platform::AuthorizationStatus;
using platform::InterfaceAddress;
using platform::PermissionKind;
using pluginstest::PluginTest;
using runtime::HYBCommandStatus;

constexpr const char* kInfoPlistStart = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>";
constexpr const char* kInfoPlistEnd = "</dict></plist>";

class DiagnosticTest : public PluginTest<plugins::Diagnostic> {
protected:
    DiagnosticTest() { platform::Application::shared().resetForTesting(); }
    ~DiagnosticTest() override { platform::Application::shared().resetForTesting(); }

    // Runs one action and returns its only answer's message (failing the test when it did not answer once).
    platform::Value ask(const std::string& action, platform::Array arguments = {}) {
        const std::size_t before = answers().size();
        call(action, std::move(arguments));
        EXPECT_EQ(answers().size(), before + 1) << action;
        if (answers().size() != before + 1)
            return platform::Value("<no answer>");
        EXPECT_EQ(answers().back().status(), HYBCommandStatus::Ok) << action;
        return answers().back().message();
    }
    void writeUsageKeys(const std::string& keys) { m_home.writeBundleFile("Info.plist", kInfoPlistStart + keys + kInfoPlistEnd); }

    hybtest::LogCapture m_logged;
};

const platform::Value kYes(1);
const platform::Value kNo(0);

TEST_F(DiagnosticTest, LocationServicesOffAnswerZeroWhateverTheAuthorisationAndWhenInUseCountsAsAuthorised) {
    plugin();
    for (AuthorizationStatus status : {AuthorizationStatus::Authorized, AuthorizationStatus::AuthorizedWhenInUse}) {
        platform::Permissions::shared().setStatus(PermissionKind::Location, status);
        platform::LocationSimulator::shared().setServicesEnabled(false);
        EXPECT_EQ(ask("isLocationAvailable"), kNo);
        EXPECT_EQ(ask("isLocationEnabled"), kNo);
        EXPECT_EQ(ask("isLocationAuthorized"), kYes);
        platform::LocationSimulator::shared().setServicesEnabled(true);
        EXPECT_EQ(ask("isLocationAvailable"), kYes);
        EXPECT_EQ(ask("isLocationEnabled"), kYes);
    }
    EXPECT_TRUE(m_logged.contains("Location is not available."));
    EXPECT_TRUE(m_logged.contains("Location setting is disabled"));
    EXPECT_TRUE(m_logged.contains("This app is authorized to use location."));

    const std::pair<AuthorizationStatus, const char*> words[] = {
        {AuthorizationStatus::NotDetermined, "not_determined"}, {AuthorizationStatus::Restricted, "denied"},
        {AuthorizationStatus::Denied, "denied"}, {AuthorizationStatus::Authorized, "authorized"},
        {AuthorizationStatus::AuthorizedWhenInUse, "authorized_when_in_use"}};
    for (const auto& [status, word] : words) {
        platform::Permissions::shared().setStatus(PermissionKind::Location, status);
        EXPECT_EQ(ask("getLocationAuthorizationStatus"), platform::Value(word));
        EXPECT_TRUE(m_logged.contains(std::string("Location authorization status is: ") + word));
    }
    EXPECT_EQ(ask("isLocationAuthorized"), kYes);
    platform::Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::Denied);
    EXPECT_EQ(ask("isLocationAvailable"), kNo);
    EXPECT_EQ(ask("isLocationAuthorized"), kNo);
}

TEST_F(DiagnosticTest, TheMicrophoneIsGrantedAndTheOtherServicesAuthorised) {
    auto& permissions = platform::Permissions::shared();
    permissions.setStatus(PermissionKind::Microphone, AuthorizationStatus::Authorized);
    EXPECT_EQ(ask("getMicrophoneAuthorizationStatus"), platform::Value("granted"));
    EXPECT_EQ(ask("isMicrophoneAuthorized"), kYes);
    permissions.setStatus(PermissionKind::Microphone, AuthorizationStatus::Restricted);
    EXPECT_EQ(ask("getMicrophoneAuthorizationStatus"), platform::Value("denied"));
    EXPECT_EQ(ask("isMicrophoneAuthorized"), kNo);
    permissions.setStatus(PermissionKind::Microphone, AuthorizationStatus::NotDetermined);
    EXPECT_EQ(ask("getMicrophoneAuthorizationStatus"), platform::Value("not_determined"));
    EXPECT_TRUE(m_logged.contains("Microphone authorization status is: not_determined"));

    struct Service {
        PermissionKind kind;
        const char* get;
        const char* is;
        const char* console;
    };
    const Service services[] = {
        {PermissionKind::VideoCapture, "getCameraAuthorizationStatus", "isCameraAuthorized", "Camera authorization status is: "},
        {PermissionKind::PhotoLibrary, "getCameraRollAuthorizationStatus", "isCameraRollAuthorized", "Camera Roll authorization status is: "},
        {PermissionKind::AddressBook, "getAddressBookAuthorizationStatus", "isAddressBookAuthorized", "Address book authorization status is: "},
        {PermissionKind::Events, "getCalendarAuthorizationStatus", "isCalendarAuthorized", "Calendar event authorization status is: "},
        {PermissionKind::Reminders, "getRemindersAuthorizationStatus", "isRemindersAuthorized", "Reminders authorization status is: "},
    };
    for (const Service& service : services) {
        permissions.setStatus(service.kind, AuthorizationStatus::Authorized);
        EXPECT_EQ(ask(service.get), platform::Value("authorized")) << service.get;
        EXPECT_EQ(ask(service.is), kYes) << service.is;
        EXPECT_TRUE(m_logged.contains(std::string(service.console) + "authorized"));
        permissions.setStatus(service.kind, AuthorizationStatus::Restricted);
        EXPECT_EQ(ask(service.get), platform::Value("denied"));
        EXPECT_EQ(ask(service.is), kNo);
        // A status outside the table: OK without a message, and not authorised.
        permissions.setStatus(service.kind, AuthorizationStatus::AuthorizedWhenInUse);
        EXPECT_TRUE(ask(service.get).isNull()) << service.get;
        EXPECT_EQ(ask(service.is), kNo);
        EXPECT_TRUE(m_logged.contains(std::string(service.console) + "(null)"));
    }
}

TEST_F(DiagnosticTest, TheCameraIsAvailableWhenPresentAndAuthorised) {
    platform::Permissions::shared().setStatus(PermissionKind::VideoCapture, AuthorizationStatus::Authorized);
    EXPECT_EQ(ask("isCameraPresent"), kYes);
    EXPECT_EQ(ask("isCameraAvailable"), kYes);
    EXPECT_TRUE(m_logged.contains("Camera available"));
    platform::ImagePickerSources::setSourceTypeAvailable(platform::ImagePickerSourceType::Camera, false);
    EXPECT_EQ(ask("isCameraPresent"), kNo);
    EXPECT_EQ(ask("isCameraAvailable"), kNo);
    EXPECT_EQ(ask("isCameraAuthorized"), kYes);
    EXPECT_TRUE(m_logged.contains("Camera unavailable"));
}

TEST_F(DiagnosticTest, NotificationTypesAreThePrettyJSONOfThreeFlags) {
    auto& application = platform::Application::shared();
    application.registerUserNotificationSettings(platform::kUserNotificationTypeAlert | platform::kUserNotificationTypeSound);
    EXPECT_EQ(ask("getRemoteNotificationTypes"), platform::Value("{\n  \"alert\" : \"1\",\n  \"badge\" : \"0\",\n  \"sound\" : \"1\"\n}"));
    // From 8.0 enabled needs the registration as well as some type.
    EXPECT_EQ(ask("isRemoteNotificationsEnabled"), kNo);
    EXPECT_EQ(ask("isRegisteredForRemoteNotifications"), kNo);
    application.registerForRemoteNotifications();
    EXPECT_EQ(ask("isRemoteNotificationsEnabled"), kYes);
    EXPECT_EQ(ask("isRegisteredForRemoteNotifications"), kYes);

    // Below 8.0 the enabled remote-notification types decide.
    platform::Device::current().setSystemVersion("7.1");
    EXPECT_EQ(ask("isRemoteNotificationsEnabled"), kNo);
    EXPECT_EQ(ask("isRegisteredForRemoteNotifications"), kNo);
    application.registerForRemoteNotificationTypes(platform::kUserNotificationTypeBadge);
    EXPECT_EQ(ask("isRemoteNotificationsEnabled"), kYes);
    EXPECT_EQ(ask("isRegisteredForRemoteNotifications"), kYes);
    EXPECT_EQ(ask("getRemoteNotificationTypes"), platform::Value("{\n  \"alert\" : \"0\",\n  \"badge\" : \"1\",\n  \"sound\" : \"0\"\n}"));
}

TEST_F(DiagnosticTest, WifiNeedsAnEn0WithAnIPv4AddressThatIsNoLoopback) {
    auto entry = [](const char* name, InterfaceAddress::Family family, const char* address, unsigned flags) {
        return InterfaceAddress{name, family, address, flags};
    };
    const unsigned up = IFF_UP | IFF_RUNNING;
    platform::InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{
        entry("lo", InterfaceAddress::Family::IPv4, "127.0.0.1", up | IFF_LOOPBACK),
        entry("en0", InterfaceAddress::Family::IPv6, "fe80::1", up),
        entry("en1", InterfaceAddress::Family::IPv4, "10.0.0.2", up)});
    EXPECT_EQ(ask("isWifiAvailable"), kNo);
    platform::InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{entry("en0", InterfaceAddress::Family::IPv4, "127.0.0.2", up | IFF_LOOPBACK)});
    EXPECT_EQ(ask("isWifiAvailable"), kNo);
    EXPECT_FALSE(m_logged.contains("Wifi ON"));
    platform::InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{
        entry("en0", InterfaceAddress::Family::IPv6, "fe80::1", up), entry("en0", InterfaceAddress::Family::IPv4, "192.168.1.20", up)});
    EXPECT_EQ(ask("isWifiAvailable"), kYes);
    EXPECT_TRUE(m_logged.contains("Wifi ON"));
    platform::InterfaceAddresses::setReadFailure(true);
    EXPECT_EQ(ask("isWifiAvailable"), kNo);
}

TEST_F(DiagnosticTest, ALocationRequestKeepsItsCallbackUntilTheStatusChangesAndFiresThePageEvent) {
    writeUsageKeys("<key>NSLocationWhenInUseUsageDescription</key><string>To show where you are.</string>");
    plugin();
    call("requestLocationAuthorization", {false}, "request");
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::NoResult);
    EXPECT_TRUE(answers()[0].result.keepCallback());
    EXPECT_EQ(plugin().locationRequestCallbackId(), "request");
    EXPECT_TRUE(m_logged.contains("Requesting location authorization: when in use"));

    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(answers()[1].status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answers()[1].message(), platform::Value("authorized_when_in_use"));
    EXPECT_EQ(answers()[1].callbackId, "request");
    EXPECT_FALSE(answers()[1].result.keepCallback());
    EXPECT_FALSE(plugin().locationRequestCallbackId());
    EXPECT_EQ(scripts().back(), "hybrid.plugins.diagnostic._onLocationStateChange(\"authorized_when_in_use\");");
    EXPECT_TRUE(m_logged.contains("Location authorization status changed to: authorized_when_in_use"));

    // A later change reaches the page, but no callback waits for it.
    platform::Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::Denied);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return scripts().back().find("\"denied\"") != std::string::npos; }));
    EXPECT_EQ(answers().size(), 2u);
}

TEST_F(DiagnosticTest, AnAlwaysRequestNeedsItsOwnUsageDescription) {
    writeUsageKeys("<key>NSLocationWhenInUseUsageDescription</key><string>To show where you are.</string>");
    call("requestLocationAuthorization", {"YES"}, "always");
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::Error);
    EXPECT_EQ(answers()[0].message(),
              platform::Value("For iOS 8 and above, your app must have a value for NSLocationAlwaysUsageDescription in its Info.plist"));
    EXPECT_FALSE(answers()[0].result.keepCallback());
    EXPECT_FALSE(plugin().locationRequestCallbackId());
    // No request was made.
    EXPECT_EQ(platform::Permissions::shared().status(PermissionKind::Location), AuthorizationStatus::NotDetermined);

    writeUsageKeys("<key>NSLocationAlwaysUsageDescription</key><string>To guide you.</string>");
    call("requestLocationAuthorization", {true}, "always");
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_EQ(answers()[2].message(), platform::Value("authorized"));
    EXPECT_TRUE(m_logged.contains("Requesting location authorization: always"));
}

TEST_F(DiagnosticTest, ASecondLocationRequestBeforeAChangeReplacesTheFirst) {
    writeUsageKeys("<key>NSLocationWhenInUseUsageDescription</key><string>To show where you are.</string>");
    platform::Permissions::shared().setHoldsRequests(true);
    call("requestLocationAuthorization", {}, "first");
    call("requestLocationAuthorization", {}, "second");
    ASSERT_TRUE(platform::Permissions::shared().answerPendingRequests(PermissionKind::Location, AuthorizationStatus::Denied));
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_EQ(answers()[2].callbackId, "second");
    EXPECT_EQ(answers()[2].message(), platform::Value("denied"));
    EXPECT_EQ(answers().size(), 3u);
    EXPECT_EQ(scripts().back(), "hybrid.plugins.diagnostic._onLocationStateChange(\"denied\");");
}

TEST_F(DiagnosticTest, BelowSystem8TheRequestOnlyWaitsForAChange) {
    platform::Device::current().setSystemVersion("7.1");
    call("requestLocationAuthorization", {true}, "old");
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::NoResult);
    EXPECT_FALSE(m_logged.contains("Requesting location authorization"));
    platform::Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::Authorized);
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(answers()[1].callbackId, "old");
    EXPECT_EQ(answers()[1].message(), platform::Value("authorized"));
}

TEST_F(DiagnosticTest, TheBluetoothEventFiresAtStartAndOnEachChange) {
    platform::BluetoothCentralManager::setSimulatedState(platform::BluetoothManagerState::PoweredOff);
    plugin();
    ASSERT_EQ(scripts().size(), 1u);
    EXPECT_EQ(scripts()[0], "hybrid.plugins.diagnostic._onBluetoothStateChange(\"powered_off\");");
    EXPECT_TRUE(m_logged.contains("Bluetooth state changed: Bluetooth is currently powered off."));
    // Made without the power alert.
    EXPECT_EQ(platform::BluetoothCentralManager::powerAlertCount(), 0u);
    EXPECT_EQ(ask("isBluetoothAvailable"), kNo);
    EXPECT_EQ(ask("getBluetoothState"), platform::Value("powered_off"));

    platform::BluetoothCentralManager::setSimulatedState(platform::BluetoothManagerState::PoweredOn);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return scripts().size() == 2; }));
    EXPECT_EQ(scripts()[1], "hybrid.plugins.diagnostic._onBluetoothStateChange(\"powered_on\");");
    EXPECT_EQ(ask("isBluetoothAvailable"), kYes);
    EXPECT_EQ(ask("getBluetoothState"), platform::Value("powered_on"));
    EXPECT_TRUE(m_logged.contains("Bluetooth state is: powered_on"));

    platform::BluetoothCentralManager::setSimulatedState(platform::BluetoothManagerState::Resetting);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return scripts().size() == 3; }));
    EXPECT_EQ(plugin().bluetoothState(), "resetting");
    EXPECT_TRUE(m_logged.contains("The connection with the system service was momentarily lost, update imminent."));
}

TEST_F(DiagnosticTest, RequestCompletionsFromOtherThreadsReachThePageOnce) {
    auto& permissions = platform::Permissions::shared();
    permissions.setAnswer(PermissionKind::VideoCapture, AuthorizationStatus::Authorized);
    permissions.setAnswer(PermissionKind::Microphone, AuthorizationStatus::Denied);
    permissions.setAnswer(PermissionKind::PhotoLibrary, AuthorizationStatus::Restricted);
    permissions.setAnswer(PermissionKind::AddressBook, AuthorizationStatus::Authorized);
    permissions.setAnswer(PermissionKind::Events, AuthorizationStatus::Denied);
    permissions.setAnswer(PermissionKind::Reminders, AuthorizationStatus::Authorized);
    const std::pair<const char*, platform::Value> expected[] = {
        {"requestCameraAuthorization", kYes},     {"requestMicrophoneAuthorization", kNo},
        {"requestCameraRollAuthorization", platform::Value("denied")}, {"requestAddressBookAuthorization", kYes},
        {"requestCalendarAuthorization", kNo},    {"requestRemindersAuthorization", kYes}};
    for (const auto& [action, value] : expected)
        call(action, {}, action);
    ASSERT_TRUE(waitForAnswers(6));
    for (const auto& [action, value] : expected) {
        auto answer = std::find_if(answers().begin(), answers().end(), [&](const auto& a) { return a.callbackId == action; });
        ASSERT_NE(answer, answers().end()) << action;
        EXPECT_FALSE(answer->onMainThread) << action;
        EXPECT_EQ(answer->status(), HYBCommandStatus::Ok);
        EXPECT_EQ(answer->message(), value) << action;
    }
    for (const char* line : {"Granted access to camera", "HAs access to microphone: 0", "Access request to address book: 1",
                             "Access request to calendar events: 0", "Access request to reminders: 1"})
        EXPECT_TRUE(m_logged.contains(line)) << line;
    // Decided now: a second request answers the stored status without asking.
    call("requestMicrophoneAuthorization", {}, "again");
    ASSERT_TRUE(waitForAnswers(7));
    EXPECT_EQ(answers()[6].message(), kNo);
}

TEST_F(DiagnosticTest, WithoutAnAddressBookTheRequestIsNotGranted) {
    platform::Permissions::shared().setAddressBookAvailable(false);
    EXPECT_EQ(ask("requestAddressBookAuthorization"), kNo);
    EXPECT_EQ(platform::Permissions::shared().status(PermissionKind::AddressBook), AuthorizationStatus::NotDetermined);
    EXPECT_TRUE(m_logged.contains("Access request to address book: 0"));
}

TEST_F(DiagnosticTest, SwitchToSettingsOpensTheSettingsURLFromSystem8) {
    EXPECT_TRUE(ask("switchToSettings").isNull());
    EXPECT_EQ(platform::Application::shared().openedURLs(), std::vector<std::string>{"app-settings:"});

    platform::Application::shared().removeInstalledScheme("app-settings");
    call("switchToSettings");
    EXPECT_EQ(answers().back().status(), HYBCommandStatus::Error);
    EXPECT_EQ(answers().back().message(), platform::Value("Could not open the settings page app-settings:"));

    platform::Device::current().setSystemVersion("7.1");
    call("switchToSettings");
    EXPECT_EQ(answers().back().status(), HYBCommandStatus::Error);
    EXPECT_EQ(answers().back().message(), platform::Value("Not supported below iOS 8"));
    EXPECT_EQ(platform::Application::shared().openedURLs().size(), 1u);
}

} // namespace
