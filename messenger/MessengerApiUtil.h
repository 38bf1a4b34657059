// The messaging-app client's helpers: the URLs it opens, the three escaping sets of its command texts,
// Base64, the system-version test and the binary property lists of the pasteboard message.
//
// Guarantees:
// - Failures are nullopt or false, never an exception.
// - Main thread (the version test's cache and the URL opening are not guarded).
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace messenger {

inline constexpr const char* kMessengerScheme = "messenger";
inline constexpr const char* kMessengerApiVersion = "1.6";

class MessengerApiUtil {
public:
    // An app id is also the application's own URL scheme: 1 to kMaxAppIdLength characters, a letter
    // then letters, digits, "+", "-" or "." (so that it can stand in a URL's path unescaped).
    static constexpr std::size_t kMaxAppIdLength = 128;
    static bool isAppId(std::string_view appId);
    // isAppId, with an error line naming the call refused when it is not one.
    static bool checkAppId(const std::optional<std::string>& appId, std::string_view call);

    // "messenger://app/<appId>/"; nothing without an app id, or for one that is not (isAppId).
    static std::optional<std::string> getMessengerUrl(const std::optional<std::string>& appId);
    // The base URL followed by the command text (when non-empty); nothing when the result is no URL.
    static std::optional<std::string> getMessengerUrl(const std::optional<std::string>& appId, std::string_view extraUrl);
    // Whether the URL text begins with "<appId>://".
    static bool isAppOpenUrl(std::string_view url, std::string_view appId);

    // Argument escaping: also "!*'();:@&=+$,/?%#[]".
    static std::string escapingForURLArgument(std::string_view text);
    // Argument-only escaping: leaves ";/?:@=&$-_.+!*'(),%".
    static std::string escapingForURLArgumentOnly(std::string_view text);
    // URL encoding: also ":/?#[]@!$ &'()*+,;=\"<>%{}|\\^~`".
    static std::string encodeUrl(std::string_view text);
    // "+" as a blank, then percent-decoding; nothing for broken escapes.
    static std::optional<std::string> unescapingFromURLArgument(std::string_view text);
    // "+" as a blank, every "\x" or "\X" as "%", then percent-decoding; nothing for broken escapes.
    static std::optional<std::string> encodeByJsonAndUrlEncode(std::string_view text);

    // Standard Base64 of a text's UTF-8 bytes / of data; nothing for empty input.
    static std::optional<std::string> encodeBase64(std::string_view text);
    static std::optional<std::string> nsDataEncodeBase64(const platform::Bytes& data);
    // Whole groups of four characters (a trailing partial group is ignored); nothing for empty or invalid
    // input, or (for the text form) bytes that are not UTF-8.
    static std::optional<platform::Bytes> decodeWithBase64(std::string_view text);
    static std::optional<std::string> decodeBase64(std::string_view text);

    // Whether the system version is above 6.9 (read once, then cached).
    static bool isiOS7plus();

    // A binary property list; nothing, said in the log, for a value a property list cannot hold.
    static std::optional<platform::Bytes> dataFromPropertyList(const platform::Value& plist);
    // The value of a property list's bytes; nothing for bytes that are not one.
    static std::optional<platform::Value> propertyListFromData(std::string_view data);

    // "<scheme>://" and opening it; whether it can be opened.
    static std::string getAppUrl(std::string_view scheme);
    static bool launchApp(std::string_view scheme);
    static bool isAppInstalledWithoutCatchException(std::string_view scheme);
    static bool isAppInstalledWithCatchException(std::string_view scheme);
    // "<scheme>://platformId=messenger", then "/<args>" when args are non-empty.
    static std::string getAppUrlWithPlatformId(std::string_view scheme, std::string_view otherArgs = {});
    // The "version" stored on the pasteboard "messenger_sdk_infomation" (an item of at most
    // kMaxSDKInformationBytes, judged before it is read); else "1.0" when "messenger://" can be opened;
    // else "".
    static std::string getSDKVersion();
    static constexpr std::uint64_t kMaxSDKInformationBytes = 64u << 10;

    // Forgets the cached version test (tests switch system versions).
    static void resetForTesting();
};

} // namespace messenger
