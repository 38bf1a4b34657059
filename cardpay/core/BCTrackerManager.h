// The core's tracking facade: forwards page and event tracking to the analytics client unchanged.
// `isTrack` answers whether the analytics session may be started (the server's tracker flag is "0" or
// absent); the forwarding never consults it. Main thread only.
#pragma once

#include "platform/core/Value.h"

#include <string>

namespace cardpay {

class BCTrackerManager {
public:
    BCTrackerManager() = delete;

    static bool isTrack();
    static void trackPageBegin(const std::string& page);
    static void trackPageEnd(const std::string& page);
    static void trackEvent(const std::string& name);
    // Forwards with no label.
    static void trackEvent(const std::string& name, const platform::Dictionary& parameters);
};

} // namespace cardpay
