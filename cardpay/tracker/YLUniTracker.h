// The analytics client as the payment screens see it: a session start, the client's own logging switch,
// the version reported, and page and event tracking. This build records the calls, in order and with
// their arguments, in a process-wide record that tests read and reset; nothing is stored or uploaded.
// The record keeps the last kMaxRecordedCalls calls (older ones are let go), so that it does not grow
// for the life of the process.
//
// Thread: main thread only, like the screens that call it.
#pragma once

#include "platform/core/Value.h"

#include <optional>
#include <string>
#include <vector>

namespace cardpay {

// One call: the operation's name ("sessionStarted", "setLogEnabled", "setVersionWithCode",
// "trackPageBegin", "trackPageEnd", "trackEvent") and its arguments as given (an absent label or
// dictionary as null).
struct YLUniTrackerCall {
    std::string operation;
    platform::Array arguments;
    friend bool operator==(const YLUniTrackerCall&, const YLUniTrackerCall&) = default;
};

class YLUniTracker {
public:
    static constexpr std::size_t kMaxRecordedCalls = 1000;

    YLUniTracker() = delete;

    static void sessionStarted(const std::string& appKey, const std::string& channelId);
    static void setLogEnabled(bool enabled);
    static void setVersionWithCode(const std::string& code, const std::string& name);
    static void trackPageBegin(const std::string& page);
    static void trackPageEnd(const std::string& page);
    static void trackEvent(const std::string& name);
    static void trackEvent(const std::string& name, const std::optional<std::string>& label,
                           const std::optional<platform::Dictionary>& parameters);

    // The record.
    static const std::vector<YLUniTrackerCall>& recordedCalls();
    static void resetRecord();
};

} // namespace cardpay
