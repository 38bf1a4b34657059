// The device file: a JSON file that says what the simulated device reports (hybridhost --device FILE;
// the sample is app/device.json). Keys, all optional:
//
//   "system":      {"version": "9.0", "idiom": "phone" | "pad", "model": "iPhone"}
//   "screen":      {"width": 375, "height": 667, "scale": 2}            (points; the window takes that size)
//   "location":    {"servicesEnabled": true,
//                   "authorization": "not_determined" | "restricted" | "denied" | "always" | "when_in_use",
//                   "answer": "grant" | "restricted" | "denied" | "always" | "when_in_use",
//                   "position": {"latitude", "longitude", "altitude" (number or null), "horizontalAccuracy",
//                                "verticalAccuracy", "course", "speed"},
//                   "route": {"points": [[latitude, longitude(, altitude)], ...], "interval": seconds,
//                             "repeat": false}  (fixes 5 m accurate, altitudes 10 m, with the course and
//                             speed of each leg; see platform/device/LocationSimulator.h),
//                   "places": [{"name", "latitude", "longitude", "subThoroughfare", "thoroughfare", "locality",
//                               "subAdministrativeArea", "administrativeArea", "postalCode", "country",
//                               "countryCode"}]}
//   "permissions": {"camera" | "photoLibrary" | "addressBook" | "events" | "reminders":
//                      {"status": "not_determined" | "restricted" | "denied" | "authorized",
//                       "answer": "restricted" | "denied" | "authorized"}  ("addressBook" also "available": bool,
//                                                                          "camera" also "present": bool),
//                   "microphone": {"status": "undetermined" | "denied" | "granted", "answer": "denied" | "granted"}}
//   "bluetooth":   "unknown" | "resetting" | "unsupported" | "unauthorized" | "powered_off" | "powered_on"
//   "radio":       "none" | "GPRS" | "Edge" | "WCDMA" | "HSDPA" | "HSUPA" | "CDMA1x" | "CDMAEVDORev0" |
//                  "CDMAEVDORevA" | "CDMAEVDORevB" | "eHRPD" | "LTE"
//   "advertising": {"present": true, "identifier": "UUID", "trackingEnabled": true}
//   "wifiInterface": "wlan0"  (the local interface reported as "en0", the Wi-Fi the network plug-in and
//                              the diagnostics report; "" for none, any other connection then counts as
//                              the mobile network; absent: the first wireless one that is up with IPv4,
//                              else the first wired one)
//   "installedSchemes": ["http", "https", ...]  (what Application::canOpenURL answers yes to)
//   "classes":     {"<platform class name>": false, ...}  (which run-time looked-up classes are present)
//   "cameras":     [{"position": "back" | "front", "frames": FRAMES, "frameRate": 1-120, "width": 16-4096,
//                    "height": 16-4096}]  ([] for none; absent: a back and a front camera without frames).
//                  FRAMES is "qr:TEXT" or "ean13:DIGITS" (a test card with that code), a PNG or JPEG file,
//                  or a folder of them shown in turn (see platform/device/FrameSource.h); a camera whose
//                  frames cannot be read gives none, with one log line.
//   "cameraInputFails": false  (true: making a camera input fails, as when the device refuses it)
//   "photoLibrary": {"seeds": ["qr:TEXT" | "ean13:DIGITS" | "picture.jpg", ...]}  (at most 64 pictures,
//                  added as "Seed-1", "Seed-2"... to the application's photo library when it is first
//                  used, unless already there; a picture that cannot be read is left out with a log line)
//
// Guarantees:
// - parse() only reads: a file that is not JSON (the message gives the line and column), a value of the
//   wrong type or out of range, or an unknown key gives an error naming the key (as a path such as
//   "location.places[1].latitude"), and nothing is configured. Files above kMaxBytes are refused unread.
// - apply() (main thread, before the application launches) configures the platform's device services
//   from what was read; keys that are absent leave their defaults.
#pragma once

#include "platform/core/Error.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

class DeviceFile {
public:
    static constexpr std::size_t kMaxBytes = 1 << 20;

    // Relative paths (camera frames, seed pictures) are taken from `baseFolder`; read() uses the file's own.
    static platform::Result<DeviceFile> parse(std::string_view text, const std::string& baseFolder = "");
    static platform::Result<DeviceFile> read(const std::string& path);

    void apply() const;

private:
    friend class DeviceFileReader;
    std::vector<std::function<void()>> m_steps;
};

} // namespace app
