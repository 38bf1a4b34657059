#include "app/DeviceFile.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/device/AdvertisingIdentifierManager.h"
#include "platform/device/BluetoothCentralManager.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/FrameSource.h"
#include "platform/device/GeocoderPlaces.h"
#include "platform/device/ImagePickerSources.h"
#include "platform/device/InterfaceAddresses.h"
#include "platform/device/LocationSimulator.h"
#include "platform/device/Permissions.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/device/PlatformClasses.h"
#include "platform/device/Telephony.h"
#include "platform/files/FileManager.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/Clock.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/system/Device.h"
#include "platform/ui/Image.h"
#include "platform/ui/Screen.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

namespace app {

using namespace platform;

namespace {

constexpr const char* kErrorDomain = "HYBDeviceFile";
constexpr double kMaxScreenPoints = 10'000;
constexpr double kMinRouteInterval = 0.1;
constexpr double kMaxRouteInterval = 86'400;
constexpr std::size_t kMaxInterfaceName = 15;
constexpr double kHuge = std::numeric_limits<double>::max();

template <class T>
using Words = std::initializer_list<std::pair<std::string_view, T>>;

// A drawn test card's PNG, made once: by a background job queued when the card is drawn, or by the photo
// library if it asks first. The picture is let go once it is encoded (a card holds 0.7 MB of pixels,
// its PNG a few kilobytes).
class CardPNG {
public:
    explicit CardPNG(Image::Ptr card) : m_card(std::move(card)) {}
    Result<Bytes> bytes() {
        std::lock_guard lock(m_mutex);
        if (!m_png) {
            m_png = m_card->pngData();
            m_card = nullptr;
        }
        return *m_png;
    }

private:
    std::mutex m_mutex;
    Image::Ptr m_card;
    std::optional<Result<Bytes>> m_png;
};

const Words<AuthorizationStatus> kStatusWords{{"not_determined", AuthorizationStatus::NotDetermined},
                                              {"restricted", AuthorizationStatus::Restricted},
                                              {"denied", AuthorizationStatus::Denied},
                                              {"authorized", AuthorizationStatus::Authorized}};
const Words<AuthorizationStatus> kAnswerWords{{"restricted", AuthorizationStatus::Restricted},
                                              {"denied", AuthorizationStatus::Denied},
                                              {"authorized", AuthorizationStatus::Authorized}};
const Words<AuthorizationStatus> kMicrophoneStatusWords{{"undetermined", AuthorizationStatus::NotDetermined},
                                                        {"denied", AuthorizationStatus::Denied},
                                                        {"granted", AuthorizationStatus::Authorized}};
const Words<AuthorizationStatus> kMicrophoneAnswerWords{{"denied", AuthorizationStatus::Denied},
                                                        {"granted", AuthorizationStatus::Authorized}};
const Words<AuthorizationStatus> kLocationStatusWords{{"not_determined", AuthorizationStatus::NotDetermined},
                                                      {"restricted", AuthorizationStatus::Restricted},
                                                      {"denied", AuthorizationStatus::Denied},
                                                      {"always", kAuthorizationStatusAuthorizedAlways},
                                                      {"when_in_use", AuthorizationStatus::AuthorizedWhenInUse}};
// "grant" gives what the request asked for.
const Words<std::optional<AuthorizationStatus>> kLocationAnswerWords{{"grant", std::nullopt},
                                                                     {"restricted", AuthorizationStatus::Restricted},
                                                                     {"denied", AuthorizationStatus::Denied},
                                                                     {"always", kAuthorizationStatusAuthorizedAlways},
                                                                     {"when_in_use", AuthorizationStatus::AuthorizedWhenInUse}};
const Words<CaptureDevicePosition> kCameraPositionWords{{"back", CaptureDevicePosition::Back}, {"front", CaptureDevicePosition::Front}};
constexpr std::size_t kMaxSeedPictures = 64;
const Words<UserInterfaceIdiom> kIdiomWords{{"phone", UserInterfaceIdiom::Phone}, {"pad", UserInterfaceIdiom::Pad}};
const Words<BluetoothManagerState> kBluetoothWords{{"unknown", BluetoothManagerState::Unknown},
                                                   {"resetting", BluetoothManagerState::Resetting},
                                                   {"unsupported", BluetoothManagerState::Unsupported},
                                                   {"unauthorized", BluetoothManagerState::Unauthorized},
                                                   {"powered_off", BluetoothManagerState::PoweredOff},
                                                   {"powered_on", BluetoothManagerState::PoweredOn}};

// Place keys of the file and the address-dictionary keys they fill.
const std::pair<std::string_view, const char*> kPlaceFields[] = {
    {"name", kAddressNameKey},
    {"subThoroughfare", kAddressSubThoroughfareKey},
    {"thoroughfare", kAddressThoroughfareKey},
    {"locality", kAddressCityKey},
    {"subAdministrativeArea", kAddressSubAdministrativeAreaKey},
    {"administrativeArea", kAddressStateKey},
    {"postalCode", kAddressZIPKey},
    {"country", kAddressCountryKey},
    {"countryCode", kAddressCountryCodeKey},
};

const std::pair<std::string_view, PermissionKind> kPermissionKinds[] = {
    {"camera", PermissionKind::VideoCapture}, {"photoLibrary", PermissionKind::PhotoLibrary},
    {"microphone", PermissionKind::Microphone}, {"addressBook", PermissionKind::AddressBook},
    {"events", PermissionKind::Events},         {"reminders", PermissionKind::Reminders},
};

constexpr std::string_view kRadioPrefix = "CTRadioAccessTechnology";

std::string typeName(const Value& value) {
    switch (value.type()) {
    case Value::Type::Null: return "null";
    case Value::Type::Bool: return "a boolean";
    case Value::Type::Integer:
    case Value::Type::UnsignedInteger:
    case Value::Type::Double: return "a number";
    case Value::Type::String: return "a string";
    case Value::Type::Array: return "an array";
    case Value::Type::Dictionary: return "an object";
    default: return "another value";
    }
}

std::string member(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

bool isSchemeText(const std::string& scheme) {
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0])))
        return false;
    for (char c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

std::string numberText(double number) {
    if (number == std::floor(number) && std::fabs(number) < 1e15)
        return std::to_string(static_cast<long long>(number));
    return formatString("%g", number);
}

// The 1-based line and column of a byte offset.
std::pair<std::size_t, std::size_t> lineAndColumn(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    std::size_t line = 1, lineStart = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return {line, offset - lineStart + 1};
}

} // namespace

// Reads the document into steps; the first fault is kept and ends the reading.
class DeviceFileReader {
public:
    DeviceFileReader(DeviceFile& file, std::string baseFolder) : m_file(file), m_baseFolder(std::move(baseFolder)) {}

    Status read(const Value& root) {
        if (const Dictionary* top = object(root, "", {"system", "screen", "location", "permissions", "bluetooth", "radio",
                                                      "advertising", "wifiInterface", "installedSchemes", "classes",
                                                      "cameras", "cameraInputFails", "photoLibrary"})) {
            readSystem(*top);
            readScreen(*top);
            readLocation(*top);
            readPermissions(*top);
            readRadios(*top);
            readAdvertising(*top);
            readInterfacesAndApps(*top);
            readCameras(*top);
            readPhotoLibrary(*top);
        }
        if (m_error)
            return *m_error;
        return {};
    }

private:
    void step(std::function<void()> step) { m_file.m_steps.push_back(std::move(step)); }

    void fail(const std::string& path, const std::string& message) {
        if (!m_error)
            m_error = Error(kErrorDomain, 1, path.empty() ? message : "\"" + path + "\": " + message);
    }

    // The value of a key when present (and no fault yet).
    const Value* find(const Dictionary& object, std::string_view key) const {
        return m_error ? nullptr : object.find(key);
    }

    const Dictionary* object(const Value& value, const std::string& path, std::initializer_list<std::string_view> keys) {
        const Dictionary* object = value.getDictionary();
        if (!object) {
            fail(path, "expected an object, found " + typeName(value));
            return nullptr;
        }
        for (const auto& entry : *object) {
            if (std::find(keys.begin(), keys.end(), entry.key) == keys.end()) {
                fail(member(path, entry.key), "unknown key");
                return nullptr;
            }
        }
        return object;
    }

    std::optional<std::string> string(const Value& value, const std::string& path) {
        if (const std::string* text = value.getString())
            return *text;
        fail(path, "expected a string, found " + typeName(value));
        return std::nullopt;
    }

    std::optional<bool> boolean(const Value& value, const std::string& path) {
        if (const bool* flag = value.getBool())
            return *flag;
        fail(path, "expected true or false, found " + typeName(value));
        return std::nullopt;
    }

    std::optional<double> number(const Value& value, const std::string& path, double min, double max) {
        if (!value.isNumber()) {
            fail(path, "expected a number, found " + typeName(value));
            return std::nullopt;
        }
        const double number = value.doubleValue();
        if (!std::isfinite(number) || number < min || number > max) {
            if (max == kHuge)
                fail(path, min == -kHuge ? "expected a finite number" : "expected a number of at least " + numberText(min));
            else
                fail(path, "expected a number from " + numberText(min) + " to " + numberText(max));
            return std::nullopt;
        }
        return number;
    }

    template <class T>
    std::optional<T> word(const Value& value, const std::string& path, Words<T> words) {
        const std::string* text = value.getString();
        if (text) {
            for (const auto& [name, meaning] : words) {
                if (*text == name)
                    return meaning;
            }
        }
        std::string expected;
        for (const auto& entry : words)
            expected += (expected.empty() ? "\"" : ", \"") + std::string(entry.first) + "\"";
        fail(path, "expected one of " + expected + (text ? ", found \"" + text->substr(0, 64) + "\"" : ", found " + typeName(value)));
        return std::nullopt;
    }

    void readSystem(const Dictionary& top) {
        const Value* value = find(top, "system");
        const Dictionary* system = value ? object(*value, "system", {"version", "idiom", "model"}) : nullptr;
        if (!system)
            return;
        if (const Value* v = find(*system, "version")) {
            auto version = string(*v, "system.version");
            if (version && (version->empty() || version->size() > 32 || !std::isdigit(static_cast<unsigned char>((*version)[0]))))
                fail("system.version", "expected a version such as \"9.0\"");
            else if (version)
                step([version = *version] { Device::current().setSystemVersion(version); });
        }
        if (const Value* v = find(*system, "idiom")) {
            if (auto idiom = word(*v, "system.idiom", kIdiomWords))
                step([idiom = *idiom] { Device::current().setUserInterfaceIdiom(idiom); });
        }
        if (const Value* v = find(*system, "model")) {
            if (auto model = string(*v, "system.model"))
                step([model = *model] { Device::current().setModel(model); });
        }
    }

    void readScreen(const Dictionary& top) {
        const Value* value = find(top, "screen");
        const Dictionary* screen = value ? object(*value, "screen", {"width", "height", "scale"}) : nullptr;
        if (!screen)
            return;
        std::optional<double> width, height;
        if (const Value* v = find(*screen, "width"))
            width = number(*v, "screen.width", 1, kMaxScreenPoints);
        if (const Value* v = find(*screen, "height"))
            height = number(*v, "screen.height", 1, kMaxScreenPoints);
        if (width || height) {
            step([width, height] {
                const Rect bounds = Screen::main().bounds();
                Screen::main().setBounds(Rect(0, 0, width.value_or(bounds.width()), height.value_or(bounds.height())));
            });
        }
        if (const Value* v = find(*screen, "scale")) {
            if (auto scale = number(*v, "screen.scale", 1, 4))
                step([scale = *scale] { Screen::main().setScale(scale); });
        }
    }

    std::optional<LocationCoordinate> coordinate(const Dictionary& object, const std::string& path) {
        const Value* latitude = find(object, "latitude");
        const Value* longitude = find(object, "longitude");
        if (!m_error && (!latitude || !longitude)) {
            fail(member(path, latitude ? "longitude" : "latitude"), "missing");
            return std::nullopt;
        }
        auto lat = latitude ? number(*latitude, member(path, "latitude"), -90, 90) : std::nullopt;
        auto lon = longitude ? number(*longitude, member(path, "longitude"), -180, 180) : std::nullopt;
        if (!lat || !lon)
            return std::nullopt;
        return LocationCoordinate{*lat, *lon};
    }

    void readLocation(const Dictionary& top) {
        const Value* value = find(top, "location");
        const Dictionary* location =
            value ? object(*value, "location", {"servicesEnabled", "authorization", "answer", "position", "route", "places"}) : nullptr;
        if (!location)
            return;
        if (const Value* v = find(*location, "servicesEnabled")) {
            if (auto enabled = boolean(*v, "location.servicesEnabled"))
                step([enabled = *enabled] { LocationSimulator::shared().setServicesEnabled(enabled); });
        }
        if (const Value* v = find(*location, "authorization")) {
            if (auto status = word(*v, "location.authorization", kLocationStatusWords))
                step([status = *status] { Permissions::shared().setStatus(PermissionKind::Location, status); });
        }
        if (const Value* v = find(*location, "answer")) {
            if (auto answer = word(*v, "location.answer", kLocationAnswerWords))
                step([answer = *answer] { Permissions::shared().setAnswer(PermissionKind::Location, answer); });
        }
        if (const Value* v = find(*location, "position"))
            readPosition(*v, "location.position");
        if (const Value* v = find(*location, "route"))
            readRoute(*v, "location.route");
        if (const Value* v = find(*location, "places"))
            readPlaces(*v, "location.places");
    }

    void readPosition(const Value& value, const std::string& path) {
        const Dictionary* position = object(value, path, {"latitude", "longitude", "altitude", "horizontalAccuracy",
                                                          "verticalAccuracy", "course", "speed"});
        if (!position)
            return;
        auto where = coordinate(*position, path);
        double altitude = std::numeric_limits<double>::quiet_NaN();
        if (const Value* v = find(*position, "altitude"); v && !v->isNull())
            altitude = number(*v, member(path, "altitude"), -kHuge, kHuge).value_or(altitude);
        double measures[4] = {5, 10, -1, -1};
        const std::string_view names[4] = {"horizontalAccuracy", "verticalAccuracy", "course", "speed"};
        for (int i = 0; i < 4; ++i) {
            if (const Value* v = find(*position, names[i]))
                measures[i] = number(*v, member(path, names[i]), -1, kHuge).value_or(-1);
        }
        if (!where || m_error)
            return;
        step([where = *where, altitude, h = measures[0], v = measures[1], course = measures[2], speed = measures[3]] {
            LocationSimulator::shared().setCurrentLocation(Location(where, altitude, h, v, course, speed, Clock::current().wallNow()));
        });
    }

    void readRoute(const Value& value, const std::string& path) {
        const Dictionary* route = object(value, path, {"points", "interval", "repeat"});
        if (!route)
            return;
        const Value* pointsValue = find(*route, "points");
        if (!pointsValue) {
            fail(member(path, "points"), "missing");
            return;
        }
        const Array* points = pointsValue->getArray();
        if (!points || points->empty()) {
            fail(member(path, "points"), "expected a non-empty array of [latitude, longitude(, altitude)] points");
            return;
        }
        std::vector<RoutePoint> coordinates;
        for (std::size_t i = 0; i < points->size() && !m_error; ++i) {
            const std::string at = member(path, "points") + "[" + std::to_string(i) + "]";
            const Array* point = (*points)[i].getArray();
            if (!point || point->size() < 2 || point->size() > 3) {
                fail(at, "expected [latitude, longitude] or [latitude, longitude, altitude]");
                return;
            }
            auto lat = number((*point)[0], at + "[0]", -90, 90);
            auto lon = number((*point)[1], at + "[1]", -180, 180);
            RoutePoint routePoint;
            if (point->size() == 3)
                routePoint.altitude = number((*point)[2], at + "[2]", -kHuge, kHuge).value_or(routePoint.altitude);
            if (lat && lon) {
                routePoint.coordinate = {*lat, *lon};
                coordinates.push_back(routePoint);
            }
        }
        double interval = 1;
        if (const Value* v = find(*route, "interval"))
            interval = number(*v, member(path, "interval"), kMinRouteInterval, kMaxRouteInterval).value_or(interval);
        bool repeat = false;
        if (const Value* v = find(*route, "repeat"))
            repeat = boolean(*v, member(path, "repeat")).value_or(false);
        step([coordinates = std::move(coordinates), interval, repeat] {
            LocationSimulator::shared().replayRoute(coordinates, seconds(interval), repeat);
        });
    }

    void readPlaces(const Value& value, const std::string& path) {
        const Array* places = value.getArray();
        if (!places) {
            fail(path, "expected an array, found " + typeName(value));
            return;
        }
        for (std::size_t i = 0; i < places->size() && !m_error; ++i) {
            const std::string at = path + "[" + std::to_string(i) + "]";
            const Dictionary* place = object((*places)[i], at, {"name", "latitude", "longitude", "subThoroughfare", "thoroughfare",
                                                                "locality", "subAdministrativeArea", "administrativeArea",
                                                                "postalCode", "country", "countryCode"});
            if (!place)
                return;
            auto where = coordinate(*place, at);
            Dictionary address;
            for (const auto& [key, addressKey] : kPlaceFields) {
                if (const Value* v = find(*place, key)) {
                    if (auto text = string(*v, member(at, key)))
                        address.set(addressKey, *text);
                }
            }
            if (where && !m_error)
                step([placemark = Placemark(*where, std::move(address))] { GeocoderPlaces::shared().add(placemark); });
        }
    }

    void readPermissions(const Dictionary& top) {
        const Value* value = find(top, "permissions");
        const Dictionary* permissions =
            value ? object(*value, "permissions", {"camera", "photoLibrary", "microphone", "addressBook", "events", "reminders"}) : nullptr;
        if (!permissions)
            return;
        for (const auto& [name, kind] : kPermissionKinds) {
            const Value* v = find(*permissions, name);
            const std::string path = member("permissions", name);
            const bool isAddressBook = kind == PermissionKind::AddressBook;
            const bool isCamera = kind == PermissionKind::VideoCapture;
            const Dictionary* entry = !v ? nullptr
                                      : isAddressBook ? object(*v, path, {"status", "answer", "available"})
                                      : isCamera      ? object(*v, path, {"status", "answer", "present"})
                                                      : object(*v, path, {"status", "answer"});
            if (!entry)
                continue;
            const bool isMicrophone = kind == PermissionKind::Microphone;
            if (const Value* s = find(*entry, "status")) {
                if (auto status = word(*s, member(path, "status"), isMicrophone ? kMicrophoneStatusWords : kStatusWords))
                    step([kind = kind, status = *status] { Permissions::shared().setStatus(kind, status); });
            }
            if (const Value* a = find(*entry, "answer")) {
                if (auto answer = word(*a, member(path, "answer"), isMicrophone ? kMicrophoneAnswerWords : kAnswerWords))
                    step([kind = kind, answer = *answer] { Permissions::shared().setAnswer(kind, answer); });
            }
            if (const Value* a = isAddressBook ? find(*entry, "available") : nullptr) {
                if (auto available = boolean(*a, member(path, "available")))
                    step([available = *available] { Permissions::shared().setAddressBookAvailable(available); });
            }
            if (const Value* p = isCamera ? find(*entry, "present") : nullptr) {
                if (auto present = boolean(*p, member(path, "present")))
                    step([present = *present] { ImagePickerSources::setSourceTypeAvailable(ImagePickerSourceType::Camera, present); });
            }
        }
    }

    void readRadios(const Dictionary& top) {
        if (const Value* v = find(top, "bluetooth")) {
            if (auto state = word(*v, "bluetooth", kBluetoothWords))
                step([state = *state] { BluetoothCentralManager::setSimulatedState(state); });
        }
        if (const Value* v = find(top, "radio")) {
            auto name = string(*v, "radio");
            if (!name)
                return;
            std::string technology = *name == "none" ? "" : std::string(kRadioPrefix) + *name;
            const auto& all = Telephony::radioAccessTechnologies();
            if (!technology.empty() && std::find(all.begin(), all.end(), technology) == all.end()) {
                std::string expected = "\"none\"";
                for (const std::string& known : all)
                    expected += ", \"" + known.substr(kRadioPrefix.size()) + "\"";
                fail("radio", "expected one of " + expected + ", found \"" + name->substr(0, 64) + "\"");
                return;
            }
            step([technology] { (void)Telephony::setCurrentRadioAccessTechnology(technology); });
        }
    }

    void readAdvertising(const Dictionary& top) {
        const Value* value = find(top, "advertising");
        const Dictionary* advertising = value ? object(*value, "advertising", {"present", "identifier", "trackingEnabled"}) : nullptr;
        if (!advertising)
            return;
        if (const Value* v = find(*advertising, "present")) {
            if (auto present = boolean(*v, "advertising.present"))
                step([present = *present] { PlatformClasses::setPresent(kAdvertisingIdentifierManagerClassName, present); });
        }
        if (const Value* v = find(*advertising, "identifier")) {
            auto identifier = string(*v, "advertising.identifier");
            if (identifier && !AdvertisingIdentifierManager::isUUIDText(*identifier))
                fail("advertising.identifier", "expected a UUID such as \"" + std::string(kZeroAdvertisingIdentifier) + "\"");
            else if (identifier)
                step([identifier = *identifier] { (void)AdvertisingIdentifierManager::shared().setAdvertisingIdentifier(identifier); });
        }
        if (const Value* v = find(*advertising, "trackingEnabled")) {
            if (auto enabled = boolean(*v, "advertising.trackingEnabled"))
                step([enabled = *enabled] { AdvertisingIdentifierManager::shared().setAdvertisingTrackingEnabled(enabled); });
        }
    }

    void readInterfacesAndApps(const Dictionary& top) {
        if (const Value* v = find(top, "wifiInterface")) {
            auto name = string(*v, "wifiInterface");
            if (name && (name->size() > kMaxInterfaceName || name->find('/') != std::string::npos))
                fail("wifiInterface", "expected an interface name of at most 15 characters without \"/\"");
            else if (name)
                step([name = *name] { InterfaceAddresses::setWifiInterfaceName(name); });
        }
        if (const Value* v = find(top, "installedSchemes")) {
            const Array* list = v->getArray();
            if (!list) {
                fail("installedSchemes", "expected an array of schemes, found " + typeName(*v));
                return;
            }
            std::set<std::string> schemes;
            for (std::size_t i = 0; i < list->size() && !m_error; ++i) {
                const std::string at = "installedSchemes[" + std::to_string(i) + "]";
                auto scheme = string((*list)[i], at);
                if (scheme && !isSchemeText(*scheme))
                    fail(at, "expected a URL scheme (a letter, then letters, digits, \"+\", \"-\" or \".\")");
                else if (scheme)
                    schemes.insert(*scheme);
            }
            step([schemes = std::move(schemes)] { Application::shared().setInstalledSchemes(schemes); });
        }
        if (const Value* v = find(top, "classes")) {
            const Dictionary* classes = v->getDictionary();
            if (!classes) {
                fail("classes", "expected an object, found " + typeName(*v));
                return;
            }
            for (const auto& entry : *classes) {
                const std::string at = member("classes", entry.key);
                if (!PlatformClasses::isKnown(entry.key)) {
                    fail(at, "unknown key (not a platform class looked up by name)");
                    return;
                }
                if (auto present = boolean(entry.value, at))
                    step([name = entry.key, present = *present] { PlatformClasses::setPresent(name, present); });
            }
        }
    }

    void readCameras(const Dictionary& top) {
        if (const Value* v = find(top, "cameras")) {
            const Array* list = v->getArray();
            if (!list) {
                fail("cameras", "expected an array of cameras, found " + typeName(*v));
                return;
            }
            struct Camera {
                CaptureDevicePosition position;
                std::string frames;
                double rate;
                int width, height;
            };
            std::vector<Camera> cameras;
            for (std::size_t i = 0; i < list->size() && !m_error; ++i) {
                const std::string at = "cameras[" + std::to_string(i) + "]";
                const Dictionary* camera = object((*list)[i], at, {"position", "frames", "frameRate", "width", "height"});
                if (!camera)
                    return;
                Camera made{CaptureDevicePosition::Back, "", 30, 640, 480};
                if (const Value* p = find(*camera, "position")) {
                    if (auto position = word(*p, member(at, "position"), kCameraPositionWords))
                        made.position = *position;
                }
                if (const Value* f = find(*camera, "frames")) {
                    if (auto frames = string(*f, member(at, "frames")))
                        made.frames = *frames;
                }
                if (const Value* r = find(*camera, "frameRate")) {
                    if (auto rate = number(*r, member(at, "frameRate"), 1, 120))
                        made.rate = *rate;
                }
                for (auto [key, side] : {std::pair{"width", &made.width}, std::pair{"height", &made.height}}) {
                    if (const Value* d = find(*camera, key)) {
                        if (auto pixels = number(*d, member(at, key), 16, 4096))
                            *side = static_cast<int>(*pixels);
                    }
                }
                for (const Camera& earlier : cameras)
                    if (earlier.position == made.position && !m_error)
                        fail(member(at, "position"), "a second camera at the same position");
                cameras.push_back(std::move(made));
            }
            step([cameras = std::move(cameras), base = m_baseFolder] {
                std::vector<CameraConfiguration> configs;
                for (const Camera& c : cameras)
                    configs.push_back({c.position, c.frames.empty() ? nullptr : FrameSource::fromDescription(c.frames, base), c.rate,
                                       c.width, c.height});
                CaptureDevice::setCameras(std::move(configs));
            });
        }
        if (const Value* v = find(top, "cameraInputFails")) {
            if (auto fails = boolean(*v, "cameraInputFails"))
                step([fails = *fails] { CaptureDevice::setInputCreationFails(fails); });
        }
    }

    void readPhotoLibrary(const Dictionary& top) {
        const Value* value = find(top, "photoLibrary");
        const Dictionary* library = value ? object(*value, "photoLibrary", {"seeds"}) : nullptr;
        const Value* v = library ? find(*library, "seeds") : nullptr;
        if (!v)
            return;
        const Array* list = v->getArray();
        if (!list || list->size() > kMaxSeedPictures) {
            fail("photoLibrary.seeds", "expected an array of at most " + std::to_string(kMaxSeedPictures) + " pictures");
            return;
        }
        std::vector<std::string> seeds;
        for (std::size_t i = 0; i < list->size() && !m_error; ++i)
            if (auto seed = string((*list)[i], "photoLibrary.seeds[" + std::to_string(i) + "]"))
                seeds.push_back(*seed);
        step([seeds = std::move(seeds), base = m_baseFolder] {
            std::vector<PhotoLibrary::SeedPicture> pictures;
            std::vector<std::shared_ptr<CardPNG>> cards;
            for (std::size_t i = 0; i < seeds.size(); ++i)
                if (auto picture = seedPicture("Seed-" + std::to_string(i + 1), seeds[i], base, cards))
                    pictures.push_back(std::move(*picture));
            PhotoLibrary::setSeedPictures(std::move(pictures));
            // The cards' PNGs are made now, one after the other, and kept for the library.
            if (!cards.empty())
                DispatchQueue::global()->async([cards = std::move(cards)] {
                    for (const auto& card : cards)
                        (void)card->bytes();
                });
        });
    }

    // A test card ("qr:TEXT", "ean13:DIGITS"), drawn now (its PNG is made in the background: the card is
    // added to `cards`), or a PNG or JPEG file as it is; one log line when it cannot be made. The library
    // writes them when the application's home is known.
    static std::optional<PhotoLibrary::SeedPicture> seedPicture(const std::string& name, const std::string& seed,
                                                                const std::string& base,
                                                                std::vector<std::shared_ptr<CardPNG>>& cards) {
        std::optional<Error> failure;
        if (seed.starts_with("qr:") || seed.starts_with("ean13:")) {
            Result<Image::Ptr> card = FrameSource::testCard(seed);
            if (card) {
                auto png = std::make_shared<CardPNG>(*card);
                cards.push_back(png);
                return PhotoLibrary::SeedPicture{name, [png] { return png->bytes(); }, "png"};
            }
            failure = card.error();
        } else {
            const std::string path = !seed.empty() && seed.front() != '/' && !base.empty() ? base + "/" + seed : seed;
            Result<Image::Ptr> picture = Image::fromFile(path);  // checks that it is a picture within the limits
            Result<Bytes> data = picture ? FileManager::defaultManager().contentsOfRegularFile(path, static_cast<std::size_t>(DecodeLimits().maxFileBytes))
                                         : Result<Bytes>(picture.error());
            if (data) {
                auto bytes = std::make_shared<const Bytes>(std::move(*data));
                return PhotoLibrary::SeedPicture{name, [bytes] { return Result<Bytes>(*bytes); },
                                                 path.ends_with(".png") || path.ends_with(".PNG") ? "png" : "jpg"};
            }
            failure = data.error();
        }
        Log::write("Photo library seed \"" + seed.substr(0, 128) + "\" cannot be added: " + failure->localizedDescription());
        return std::nullopt;
    }

    DeviceFile& m_file;
    std::string m_baseFolder;
    std::optional<Error> m_error;
};

Result<DeviceFile> DeviceFile::parse(std::string_view text, const std::string& baseFolder) {
    if (text.size() > kMaxBytes)
        return Error(kErrorDomain, 2, "the file is larger than " + std::to_string(kMaxBytes) + " bytes");
    auto document = JSON::parse(text);
    if (!document.ok()) {
        const Error& error = document.error();
        const auto offset = error.userInfo[kJSONErrorIndexKey].integerValue();
        const auto [line, column] = lineAndColumn(text, offset < 0 ? 0 : static_cast<std::size_t>(offset));
        return Error(kErrorDomain, 3,
                     "line " + std::to_string(line) + ", column " + std::to_string(column) + ": not valid JSON (" +
                         error.localizedDescription() + ")");
    }
    DeviceFile file;
    DeviceFileReader reader(file, baseFolder);
    if (Status read = reader.read(*document); !read.ok())
        return read.error();
    return file;
}

Result<DeviceFile> DeviceFile::read(const std::string& path) {
    // A regular file only: a FIFO or device named here would be waited on for ever.
    auto bytes = FileManager::defaultManager().contentsOfRegularFile(path, kMaxBytes);
    if (!bytes) {
        const Error& error = bytes.error();
        if (error.code == FileErrorCode::ReadTooLarge)
            return Error(kErrorDomain, 2, "the file is larger than " + std::to_string(kMaxBytes) + " bytes");
        return Error(kErrorDomain, 4, "cannot open the device file: " + error.localizedDescription());
    }
    const std::size_t slash = path.rfind('/');
    return parse(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()),
                 slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash));
}

void DeviceFile::apply() const {
    for (const auto& step : m_steps)
        step();
}

} // namespace app
