// The device file: every key reaches the platform's device services, and bad files name the fault.
#include "support/SourceTree.h"
#include "app/DeviceFile.h"

#include "platform/application/Application.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/files/FileManager.h"
#include "platform/ui/Screen.h"
#include "support/DeviceServices.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

using namespace platform;
using app::DeviceFile;

namespace {

class DeviceFileTest : public ::testing::Test {
protected:
    DeviceFileTest() { reset(); }
    ~DeviceFileTest() override { reset(); }
    static void reset() {
        hybtest::resetDeviceServices();
        Screen::main().resetToDefaults();
        Application::shared().resetForTesting();
    }

    // The error text of a file that must be refused.
    static std::string refusal(std::string_view text) {
        auto file = DeviceFile::parse(text);
        EXPECT_FALSE(file.ok()) << text;
        return file.ok() ? std::string() : file.error().localizedDescription();
    }

    hybtest::TempHome m_home;  // seed pictures land in its photo library
};

} // namespace

TEST_F(DeviceFileTest, TheSampleSetsPermissionsAPositionAndPlaces) {
    auto sample = DeviceFile::read(hybtest::sourcePath("app/device.json"));
    ASSERT_TRUE(sample.ok()) << sample.error().localizedDescription();
    sample->apply();
    EXPECT_EQ(Device::current().systemVersion(), "9.0");
    EXPECT_EQ(Screen::main().bounds(), Rect(0, 0, 375, 667));
    EXPECT_EQ(Permissions::shared().status(PermissionKind::Location), AuthorizationStatus::AuthorizedWhenInUse);
    ASSERT_TRUE(LocationSimulator::shared().currentLocation());
    EXPECT_EQ(LocationSimulator::shared().currentLocation()->coordinate(), (LocationCoordinate{52.5163, 13.3777}));
    EXPECT_GE(GeocoderPlaces::shared().places().size(), 3u);
    for (PermissionKind kind : {PermissionKind::VideoCapture, PermissionKind::PhotoLibrary, PermissionKind::AddressBook})
        EXPECT_EQ(Permissions::shared().status(kind), AuthorizationStatus::Authorized);
    // The sample page's request buttons have something to ask.
    for (PermissionKind kind : {PermissionKind::Events, PermissionKind::Reminders})
        EXPECT_EQ(Permissions::shared().status(kind), AuthorizationStatus::NotDetermined);
    EXPECT_EQ(Permissions::shared().recordPermission(), RecordPermission::Undetermined);
    EXPECT_EQ(BluetoothCentralManager::simulatedState(), BluetoothManagerState::PoweredOn);
    EXPECT_EQ(Telephony::currentRadioAccessTechnology(), kRadioAccessTechnologyLTE);
    EXPECT_TRUE(PlatformClasses::isPresent(kAdvertisingIdentifierManagerClassName));
    EXPECT_TRUE(Application::shared().canOpenURL("comgooglemaps://"));
}

TEST_F(DeviceFileTest, EveryKeyReachesItsService) {
    auto file = DeviceFile::parse(R"({
      "system": {"version": "7.1", "idiom": "pad", "model": "Tablet"},
      "screen": {"width": 768, "height": 1024, "scale": 1},
      "location": {"servicesEnabled": false, "authorization": "denied", "answer": "always",
                   "position": {"latitude": -33.86, "longitude": 151.21, "altitude": null, "horizontalAccuracy": 65,
                                "verticalAccuracy": 10, "course": 270, "speed": 3.5},
                   "route": {"points": [[1, 2, 40], [3, 4]], "interval": 5, "repeat": true},
                   "places": [{"name": "Opera House", "latitude": -33.857, "longitude": 151.215, "locality": "Sydney",
                               "postalCode": "2000", "countryCode": "AU"}]},
      "permissions": {"camera": {"status": "restricted", "present": false}, "photoLibrary": {"answer": "denied"},
                      "microphone": {"status": "undetermined", "answer": "denied"},
                      "addressBook": {"status": "not_determined", "available": false},
                      "events": {"status": "denied"}, "reminders": {"status": "authorized"}},
      "bluetooth": "powered_off",
      "radio": "CDMAEVDORevB",
      "advertising": {"present": false, "identifier": "00000000-0000-0000-0000-000000000000", "trackingEnabled": false},
      "wifiInterface": "wlan9",
      "installedSchemes": ["http", "waze"],
      "classes": {"UIPopoverController": false, "AVCaptureSession": true}
    })");
    ASSERT_TRUE(file.ok()) << file.error().localizedDescription();
    file->apply();

    EXPECT_EQ(Device::current().systemVersion(), "7.1");
    EXPECT_EQ(Device::current().userInterfaceIdiom(), UserInterfaceIdiom::Pad);
    EXPECT_EQ(Device::current().model(), "Tablet");
    EXPECT_EQ(Screen::main().bounds(), Rect(0, 0, 768, 1024));
    EXPECT_EQ(Screen::main().scale(), 1);

    EXPECT_FALSE(LocationSimulator::shared().servicesEnabled());
    EXPECT_EQ(Permissions::shared().status(PermissionKind::Location), AuthorizationStatus::Denied);
    auto position = LocationSimulator::shared().currentLocation();
    ASSERT_TRUE(position);
    EXPECT_EQ(position->coordinate(), (LocationCoordinate{-33.86, 151.21}));
    EXPECT_TRUE(std::isnan(position->altitude()));
    EXPECT_EQ(position->horizontalAccuracy(), 65);
    EXPECT_EQ(position->verticalAccuracy(), 10);
    EXPECT_EQ(position->course(), 270);
    EXPECT_EQ(position->speed(), 3.5);
    EXPECT_TRUE(LocationSimulator::shared().isReplayingRoute());
    auto places = GeocoderPlaces::shared().places();
    ASSERT_EQ(places.size(), 1u);
    EXPECT_EQ(places[0].name(), "Opera House");
    EXPECT_EQ(places[0].locality(), "Sydney");
    EXPECT_EQ(places[0].postalCode(), "2000");
    EXPECT_EQ(places[0].addressDictionary()[kAddressCountryCodeKey], Value("AU"));
    // The answer set for location: a request while not determined gets "always".
    Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::NotDetermined);
    Permissions::shared().requestLocation(false);
    EXPECT_EQ(Permissions::shared().status(PermissionKind::Location), kAuthorizationStatusAuthorizedAlways);

    EXPECT_EQ(Permissions::shared().status(PermissionKind::VideoCapture), AuthorizationStatus::Restricted);
    EXPECT_FALSE(ImagePickerSources::isSourceTypeAvailable(ImagePickerSourceType::Camera));
    EXPECT_EQ(Permissions::shared().status(PermissionKind::PhotoLibrary), AuthorizationStatus::NotDetermined);
    EXPECT_EQ(Permissions::shared().recordPermission(), RecordPermission::Undetermined);
    EXPECT_FALSE(Permissions::shared().isAddressBookAvailable());
    EXPECT_EQ(Permissions::shared().status(PermissionKind::Events), AuthorizationStatus::Denied);
    EXPECT_EQ(Permissions::shared().status(PermissionKind::Reminders), AuthorizationStatus::Authorized);
    Permissions::shared().request(PermissionKind::PhotoLibrary, {});
    Permissions::shared().request(PermissionKind::Microphone, {});
    EXPECT_EQ(Permissions::shared().status(PermissionKind::PhotoLibrary), AuthorizationStatus::Denied);
    EXPECT_EQ(Permissions::shared().recordPermission(), RecordPermission::Denied);

    EXPECT_EQ(BluetoothCentralManager::simulatedState(), BluetoothManagerState::PoweredOff);
    EXPECT_EQ(Telephony::currentRadioAccessTechnology(), kRadioAccessTechnologyCDMAEVDORevB);
    EXPECT_FALSE(PlatformClasses::isPresent(kAdvertisingIdentifierManagerClassName));
    EXPECT_EQ(AdvertisingIdentifierManager::shared().advertisingIdentifier(), kZeroAdvertisingIdentifier);
    EXPECT_FALSE(AdvertisingIdentifierManager::shared().isAdvertisingTrackingEnabled());
    EXPECT_EQ(InterfaceAddresses::wifiInterfaceName(), "wlan9");
    EXPECT_TRUE(Application::shared().canOpenURL("waze://"));
    EXPECT_FALSE(Application::shared().canOpenURL("https://example.org"));
    EXPECT_FALSE(PlatformClasses::isPresent(kPopoverControllerClassName));
    EXPECT_TRUE(PlatformClasses::isPresent(kCaptureSessionClassName));
}

TEST_F(DeviceFileTest, TheSampleHasTwoCamerasWithCodeCardsAndSeedsTheLibraryOnce) {
    auto sample = DeviceFile::read(hybtest::sourcePath("app/device.json"));
    ASSERT_TRUE(sample.ok()) << sample.error().localizedDescription();
    sample->apply();
    auto cameras = CaptureDevice::devices(kMediaTypeVideo);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0]->position(), CaptureDevicePosition::Back);
    ASSERT_TRUE(cameras[0]->frameSource());
    EXPECT_TRUE(cameras[0]->frameSource()->hasFrames());
    EXPECT_EQ(cameras[1]->frameRate(), 15);
    EXPECT_FALSE(CaptureDevice::inputCreationFails());
    ASSERT_EQ(PhotoLibrary().assets()->size(), 2u);
    EXPECT_EQ(PhotoLibrary().assets()->at(0).filename(), "Seed-1.PNG");
    sample->apply();  // seeds already there are not added again
    EXPECT_EQ(PhotoLibrary().assets()->size(), 2u);
}

TEST_F(DeviceFileTest, CamerasFramesAndSeedsReadRelativePathsAndLogWhatCannotBeRead) {
    const std::string folder = m_home.root() + "/device";
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(folder, true));
    ASSERT_TRUE(Image::solidColor(Color::white(), {8, 6})->writePNG(folder + "/white.png"));
    {
        std::ofstream(folder + "/device.json") << R"({"cameras": [{"position": "front", "frames": "white.png", "width": 64, "height": 48},
                                                                  {"position": "back", "frames": "missing.jpg"}],
                                                      "cameraInputFails": true,
                                                      "photoLibrary": {"seeds": ["white.png", "missing.png", "ean13:4006381333931"]}})";
    }
    auto file = DeviceFile::read(folder + "/device.json");
    ASSERT_TRUE(file.ok()) << file.error().localizedDescription();
    hybtest::LogCapture log;
    file->apply();
    auto cameras = CaptureDevice::devices(kMediaTypeVideo);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0]->position(), CaptureDevicePosition::Front);
    EXPECT_EQ(cameras[0]->frameWidth(), 64);
    EXPECT_TRUE(cameras[0]->frameSource()->hasFrames());
    EXPECT_FALSE(cameras[1]->frameSource()->hasFrames());
    EXPECT_TRUE(CaptureDevice::inputCreationFails());
    auto items = *PhotoLibrary().assets();
    ASSERT_EQ(items.size(), 2u);  // the missing seed is left out
    EXPECT_EQ(items[0].filename(), "Seed-1.PNG");
    EXPECT_EQ(items[1].filename(), "Seed-3.PNG");
    EXPECT_EQ(log.lines().size(), 2u);  // one line per unreadable picture
    EXPECT_TRUE(log.contains("missing.jpg"));
    EXPECT_TRUE(log.contains("missing.png"));

    // No cameras at all.
    auto none = DeviceFile::parse(R"({"cameras": []})");
    ASSERT_TRUE(none.ok());
    none->apply();
    EXPECT_EQ(CaptureDevice::defaultDevice(kMediaTypeVideo), nullptr);
    EXPECT_FALSE(ImagePickerSources::isSourceTypeAvailable(ImagePickerSourceType::Camera));
}

TEST_F(DeviceFileTest, RadioNamesAndAnEmptyFile) {
    ASSERT_TRUE(DeviceFile::parse(R"({"radio": "none"})").ok());
    auto empty = DeviceFile::parse("{}");
    ASSERT_TRUE(empty.ok());
    empty->apply();
    EXPECT_EQ(Device::current().systemVersion(), "9.0");
    EXPECT_EQ(Telephony::currentRadioAccessTechnology(), "");
    for (const std::string& technology : Telephony::radioAccessTechnologies()) {
        const std::string name = technology.substr(std::string("CTRadioAccessTechnology").size());
        auto file = DeviceFile::parse(R"({"radio": ")" + name + "\"}");
        ASSERT_TRUE(file.ok()) << name;
        file->apply();
        EXPECT_EQ(Telephony::currentRadioAccessTechnology(), technology);
    }
}

TEST_F(DeviceFileTest, BadFilesNameTheKeyAndConfigureNothing) {
    const std::pair<const char*, const char*> cases[] = {
        {"[]", "expected an object, found an array"},
        {R"({"bogus": 1})", "\"bogus\": unknown key"},
        {R"({"system": {"version": 9}})", "\"system.version\": expected a string, found a number"},
        {R"({"system": {"version": "nine"}})", "\"system.version\": expected a version"},
        {R"({"system": {"idiom": "watch"}})", "\"system.idiom\": expected one of \"phone\", \"pad\", found \"watch\""},
        {R"({"system": {"build": "x"}})", "\"system.build\": unknown key"},
        {R"({"screen": {"width": 0}})", "\"screen.width\": expected a number from 1 to 10000"},
        {R"({"screen": {"scale": "2"}})", "\"screen.scale\": expected a number, found a string"},
        {R"({"location": {"servicesEnabled": 1}})", "\"location.servicesEnabled\": expected true or false, found a number"},
        {R"({"location": {"authorization": "authorized"}})", "\"location.authorization\": expected one of"},
        {R"({"location": {"position": {"latitude": 91, "longitude": 0}}})", "\"location.position.latitude\": expected a number from -90 to 90"},
        {R"({"location": {"position": {"latitude": 1}}})", "\"location.position.longitude\": missing"},
        {R"({"location": {"position": {"latitude": 1, "longitude": 2, "heading": 3}}})", "\"location.position.heading\": unknown key"},
        {R"({"location": {"route": {"points": []}}})", "\"location.route.points\": expected a non-empty array"},
        {R"({"location": {"route": {"points": [[1, 2], [3]]}}})", "\"location.route.points[1]\": expected [latitude, longitude]"},
        {R"({"location": {"route": {"points": [[1, 2, 3, 4]]}}})", "\"location.route.points[0]\": expected [latitude, longitude]"},
        {R"({"location": {"route": {"points": [[1, 2, "high"]]}}})", "\"location.route.points[0][2]\": expected a number, found a string"},
        {R"({"location": {"route": {"points": [[1, 2]], "interval": 0}}})", "\"location.route.interval\": expected a number from 0.1"},
        {R"({"location": {"places": [{"name": "a", "latitude": 1, "longitude": 2}, {"name": 5, "latitude": 1, "longitude": 2}]}})",
         "\"location.places[1].name\": expected a string, found a number"},
        {R"({"location": {"places": {}}})", "\"location.places\": expected an array, found an object"},
        {R"({"permissions": {"camera": "authorized"}})", "\"permissions.camera\": expected an object, found a string"},
        {R"({"permissions": {"camera": {"answer": "not_determined"}}})", "\"permissions.camera.answer\": expected one of"},
        {R"({"permissions": {"microphone": {"status": "authorized"}}})", "\"permissions.microphone.status\": expected one of \"undetermined\""},
        {R"({"permissions": {"events": {"available": true}}})", "\"permissions.events.available\": unknown key"},
        {R"({"permissions": {"camera": {"present": 1}}})", "\"permissions.camera.present\": expected true or false"},
        {R"({"permissions": {"contacts": {}}})", "\"permissions.contacts\": unknown key"},
        {R"({"bluetooth": true})", "\"bluetooth\": expected one of \"unknown\""},
        {R"({"radio": "5G"})", "\"radio\": expected one of \"none\", \"GPRS\""},
        {R"({"advertising": {"identifier": "not-a-uuid"}})", "\"advertising.identifier\": expected a UUID"},
        {R"({"wifiInterface": "../../etc"})", "\"wifiInterface\": expected an interface name"},
        {R"({"installedSchemes": ["http", "ht tp"]})", "\"installedSchemes[1]\": expected a URL scheme"},
        {R"({"installedSchemes": "http"})", "\"installedSchemes\": expected an array of schemes, found a string"},
        {R"({"classes": {"NoSuchClass": true}})", "\"classes.NoSuchClass\": unknown key"},
        {R"({"classes": {"UIPopoverController": "no"}})", "\"classes.UIPopoverController\": expected true or false"},
        {R"({"cameras": {}})", "\"cameras\": expected an array of cameras, found an object"},
        {R"({"cameras": [{"position": "side"}]})", "\"cameras[0].position\": expected one of \"back\", \"front\""},
        {R"({"cameras": [{"position": "back"}, {"position": "back"}]})", "\"cameras[1].position\": a second camera at the same position"},
        {R"({"cameras": [{"frames": 7}]})", "\"cameras[0].frames\": expected a string, found a number"},
        {R"({"cameras": [{"frameRate": 0}]})", "\"cameras[0].frameRate\": expected a number from 1 to 120"},
        {R"({"cameras": [{"width": 100000}]})", "\"cameras[0].width\": expected a number from 16 to 4096"},
        {R"({"cameras": [{"zoom": 2}]})", "\"cameras[0].zoom\": unknown key"},
        {R"({"cameraInputFails": "yes"})", "\"cameraInputFails\": expected true or false"},
        {R"({"photoLibrary": {"seeds": "qr:x"}})", "\"photoLibrary.seeds\": expected an array of at most 64 pictures"},
        {R"({"photoLibrary": {"seeds": [1]}})", "\"photoLibrary.seeds[0]\": expected a string"},
        {R"({"photoLibrary": {"albums": []}})", "\"photoLibrary.albums\": unknown key"},
    };
    for (const auto& [text, message] : cases) {
        const std::string refused = refusal(text);
        EXPECT_NE(refused.find(message), std::string::npos) << text << "\n  gave: " << refused;
    }

    // A fault after good keys configures nothing: parse applies nothing by itself and gives no file.
    EXPECT_FALSE(DeviceFile::parse(R"({"system": {"version": "5.0"}, "radio": "6G"})").ok());
    EXPECT_EQ(Device::current().systemVersion(), "9.0");
    EXPECT_EQ(Telephony::currentRadioAccessTechnology(), "");
}

TEST_F(DeviceFileTest, SyntaxErrorsGiveTheLineAndColumnAndSizesAreBounded) {
    const std::string refused = refusal("{\n  \"system\": {\"version\": \"9.0\"},\n  \"radio\": LTE\n}");
    EXPECT_NE(refused.find("line 3, column "), std::string::npos) << refused;
    EXPECT_NE(refusal("").find("line 1, column 1"), std::string::npos);
    EXPECT_NE(refusal("{\"a\": \"\xff\"}").find("not valid JSON"), std::string::npos);

    std::string huge = "{\"installedSchemes\": [";
    while (huge.size() <= DeviceFile::kMaxBytes)
        huge += "\"http\",";
    huge += "\"http\"]}";
    EXPECT_NE(refusal(huge).find("larger than"), std::string::npos);

    auto missing = DeviceFile::read("/nonexistent/device.json");
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error().localizedDescription().find("cannot open"), std::string::npos);
}
