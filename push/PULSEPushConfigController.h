// The three settings that identify the application to the push service: the application key (kept
// lower-cased), the distribution channel and the configured push environment (0 not configured,
// 1 development, 2 production). Filled from the "PushConfig.plist" property list (loadWithUrl) or from
// the values the application passes (setAppKey).
//
// Failure handling: a refused configuration answers false after one PULSEAlert line naming the setting
// and pointing at the developer guide (kPULSEDeveloperGuideAddress); the object may then be partly
// filled, and the caller drops or keeps it.
//
// Thread: not locked; filled once at set-up, read afterwards.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace push {

// Where the alerts send the developer for help.
inline constexpr const char* kPULSEDeveloperGuideAddress = "https://pulse.invalid/docs/sdk-integration";
// The channel when none is configured: one character, the control code 0x10.
inline constexpr const char* kPULSEDefaultChannel = "\x10";

class PULSEPushConfigController {
public:
    static constexpr const char* kAppKeyKey = "APP_KEY";
    static constexpr const char* kChannelKey = "CHANNEL";
    static constexpr const char* kApsForProductionKey = "APS_FOR_PRODUCTION";

    // The configuration file at a path (none: the no-URL error). True when the key was accepted.
    bool loadWithUrl(const std::optional<std::string>& path);
    // Values from the application. True when the key was accepted.
    bool setAppKey(const std::optional<std::string>& appKey, const std::optional<std::string>& channel,
                   bool apsProduction);

    // True for a string of ASCII letters and digits only (the empty string included).
    static bool isValidAppKey(const platform::Value& key);
    static std::string lowerCase(std::string_view text);

    const std::string& applicationKey() const { return m_applicationKey; }
    // The channel; kPULSEDefaultChannel when none was given (empty before any load).
    const std::string& pushChanel() const { return m_pushChanel; }
    std::int32_t configApsEnvironment() const { return m_configApsEnvironment; }

private:
    bool acceptKey(const platform::Value& key);
    void takeChannel(const platform::Value& channel);

    std::string m_applicationKey;
    std::string m_pushChanel;
    std::int32_t m_configApsEnvironment = 0;
};

} // namespace push
