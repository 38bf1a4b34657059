// Paces the progress answers a plug-in sends to the page: at most one per kInterval, plus the final one
// (100%) whenever it comes. Each answer is a script evaluation in the page, so one per network chunk or
// per zip entry would flood it (a 1 GiB download arrives in some 65,000 chunks).
//
// Guarantees:
// - The first progress always goes; then at most one per kInterval of Clock::current() (tests drive it
//   with a VirtualClock); a final progress always goes.
// - Not thread-safe: it lives on the home of the work it paces.
#pragma once

#include "platform/runloop/Clock.h"

#include <chrono>
#include <optional>

namespace runtime {

class HYBProgressPacer {
public:
    static constexpr std::chrono::milliseconds kInterval{50};

    // Whether a progress answer may go now; records it as sent when so.
    bool shouldSend(bool isFinal) {
        const platform::Clock::TimePoint now = platform::Clock::current().now();
        if (!isFinal && m_lastSent && now - *m_lastSent < kInterval)
            return false;
        m_lastSent = now;
        return true;
    }

private:
    std::optional<platform::Clock::TimePoint> m_lastSent;
};

} // namespace runtime
