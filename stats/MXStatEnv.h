// The device and application facts every statistics event carries, gathered once per process.
#pragma once

#include <optional>
#include <string>

namespace stats {

inline constexpr const char* kMXStatSDKVersion = "1.4.6";

struct MXStatEnv {
    std::string platform;     // the system's name
    std::string os_version;   // the system's version
    std::string language;     // the first preferred language
    std::string resolution;   // main-screen pixels, "750x1334"
    std::string deviceid;     // the SharedUDID, or ""
    std::string mccmnc;       // carrier's mobile country and network codes, or "" without a carrier
    std::string timezone;     // the system's time-zone name
    std::string app_version;  // "CFBundleShortVersionString", else "CFBundleVersion", else "unknown"
    std::string sdk_version = kMXStatSDKVersion;
    std::string devicename;   // the hardware machine name
    std::string modulename;   // the device's model
    std::optional<std::string> ifa;  // never set
    std::optional<std::string> ifv;  // the vendor id, from system version 6.0 on
    std::optional<std::string> wf;   // never set

    // Reads every fact now. The device id comes from the keychain, else from the SharedUDID protocol
    // (then saved to the keychain).
    static MXStatEnv collect();
    // The facts that need no keychain or pasteboard: everything but deviceid.
    static MXStatEnv collectDeviceFacts();

    static std::string appVersionOfBundle();
    static std::string carrierCodes();
};

} // namespace stats
