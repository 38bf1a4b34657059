// The push client's free functions: device and network facts, clocks, identifiers, digests and
// encodings, JSON, gzip, notifications on the main queue, IPv4 socket addresses, the device-info
// dictionary of several reports, and (PULSEBufferReaders.h) the readers of received packets.
//
// Guarantees:
// - Any thread. Every result is a new value owned by the caller.
// - Facts the platform does not have come back as fixed texts, never as nothing: "-1" (carrier name,
//   network and country codes, system version, language), "Not Found" (Wi-Fi SSID and BSSID), "" (the
//   application version), 0 (network type, carrier code).
// - Results that can fail are optional: JSON and gzip failures give nothing (JSON with an error line).
#pragma once

#include "push/PULSEBufferReaders.h"

#include "platform/core/Crypto.h"
#include "platform/core/Value.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace push {

// Reachability status (read from the client's network status source).
enum PULSENetworkStatus : int { kPULSENotReachable = 0, kPULSEReachableViaWiFi = 2, kPULSEReachableViaWWAN = 3 };

inline constexpr const char* kPULSESDKVersionCode = "20100";
inline constexpr const char* kPULSENotFound = "Not Found";
inline constexpr const char* kPULSEUnknown = "-1";

// ---- network facts ----
std::string PULSECarrierName();
std::string PULSEMobileNetworkCode();
std::string PULSEMobileCountryCode();
std::string PULSEWiFiBSSID();
std::string PULSEWiFiSSID();
// 1, 2 or 3 for exactly "中国移动", "中国联通", "中国电信"; else 0.
int PULSECarrierCode(std::string_view carrierName);
// 4 on Wi-Fi, the carrier code on a mobile network, else 0 (the address lookup sends it).
int PULSENetworkType(std::string_view carrierName);
// "NetworkUnknown" (-1), "NotReachable" (0), "ReachableViaWiFi" (2), "ReachableViaWWAN" (3), else "".
std::string PULSENetworkStatusName(int status);

// ---- time ----
// Seconds since 1970 of Clock::current()'s wall time, with microseconds.
double PULSECurrentTime();
// PULSECurrentTime plus the session's server-time correction: the clock of every time stamp.
double PULSECorrectedTime();
// The local date "yyyy-MM-dd" and time "HH:mm:ss" of a time in seconds since 1970.
void PULSEDateAndTimeStrings(std::int64_t secondsSince1970, std::string& date, std::string& time);
// The local time zone's offset in whole hours: "+8", "+5", "0", "-5".
std::string PULSETimeZoneOffset();
// The same text for an offset in seconds east of GMT (truncated toward zero; "+" from one hour east).
std::string PULSETimeZoneOffsetText(long secondsEastOfGMT);

// ---- device and application ----
std::string PULSEDeviceModel();       // "hw.machine", at most 127 characters
std::string PULSEScreenResolution();  // "320x480", "640x960", "640x1136" on phones; "2048x1536" on pads
std::string PULSESystemVersion();
std::string PULSELanguage();          // the first of "AppleLanguages"
std::string PULSEAppVersion();        // "CFBundleShortVersionString", "" when absent
std::string PULSESDKVersion();        // "2.1.0"
std::uint32_t PULSESDKVersionNumber(); // 0x20100
// Hex digits (upper-case A-F) to a number; nothing else is checked, and "" gives 0.
std::uint32_t PULSEHexStringToInt(std::string_view text);
// The eleven-key device-info dictionary, built anew on every call.
platform::Dictionary PULSEDeviceInfo();

// ---- identifiers ----
// "iPhone" and nine pairs of "0" and a random lower-case hex digit: 24 characters.
std::string PULSERandomDeviceID();

// ---- digests, encodings, JSON, gzip ----
// MD5 of the text's bytes up to the first zero byte, as 32 lower-case hex characters.
std::string md5HexString(std::string_view text);
std::string PULSEMD5Data(platform::ByteSpan bytes);
std::string PULSEBase64String(platform::ByteSpan bytes);
// gzip (zlib, default level, window bits 31) in 16 KiB output steps; empty input comes back empty;
// nothing when the compressor fails.
std::optional<platform::Bytes> gzipCompressData(platform::ByteSpan bytes);
// The parsed object or array; nothing for empty input, and nothing with the error line
// "trans data to obj with error:%ld" for anything else that is not one.
std::optional<platform::Value> PULSEJSONObject(platform::ByteSpan bytes);
// The compact JSON of an object or array; nothing with "serialization unknown type" for anything JSON
// cannot hold.
std::optional<platform::Bytes> PULSEJSONData(const platform::Value& object);

// ---- notifications ----
// Runs the block later on the main queue. Blocks handed over here run in the order they were handed
// over, from whatever threads; those that wait together run in one main-queue block (one wake-up of
// the main thread for a burst of pushed messages rather than one each).
void PULSEPerformOnMainQueue(std::function<void()> block);
// While one lives on a thread, the blocks that thread hands to PULSEPerformOnMainQueue are held, and the
// outermost one hands them all over as it ends (the notifications of every packet of one read, for one
// wake-up of the main thread).
class PULSEMainQueueBatch {
public:
    PULSEMainQueueBatch();
    ~PULSEMainQueueBatch();
    PULSEMainQueueBatch(const PULSEMainQueueBatch&) = delete;
    PULSEMainQueueBatch& operator=(const PULSEMainQueueBatch&) = delete;
};
// Logs a debug line (the user information is described only when some logger takes debug lines) and
// returns; the notification (no sender) is posted on the default centre later, on the main queue
// (PULSEPerformOnMainQueue). Two posts from one thread keep their order.
void PULSEPostNotificationWithUserInfo(const std::string& name, std::optional<platform::Dictionary> userInfo);
void PULSEPostNotification(const std::string& name);

// ---- socket address ----
using PULSESockAddr = std::array<std::uint8_t, 16>;
// The 16 bytes of an IPv4 socket address: length 16, family 2, the port big-endian, the address, zeros.
// "localhost" and "loopback" are 127.0.0.1; any other host must be a numeric IPv4 address (inet_addr
// rules); host names are not resolved. Nothing for "", a name, or "255.255.255.255".
std::optional<PULSESockAddr> PULSESocketAddress(std::string_view host, std::uint32_t port);

} // namespace push
