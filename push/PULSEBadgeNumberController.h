// The application's badge value, told to the push service so that it counts from it: one report in
// flight, a repeated value dropped while its report is pending, re-sends of a report after 40, 100, 200
// and 300 s (one-shot timers on the run loop of the calling thread), and the pending value carried
// across inactive periods under "pulse_user_default_badge_number" in the cache store.
//
// Thread: the client thread (the HTTP statistics session, the report requests and the timers live
// there). "Lock" is the logical send flag only.
#pragma once

#include "platform/runloop/Timer.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace push {

class PULSEBadgeNumberReportRequest;

class PULSEBadgeNumberController : public std::enable_shared_from_this<PULSEBadgeNumberController> {
public:
    static constexpr const char* kStoredBadgeKey = "pulse_user_default_badge_number";
    static constexpr double kDelays[4] = {40.0, 100.0, 200.0, 300.0};

    void setBadge(std::int64_t value);
    // Schedules the next re-send of the current report (four at most).
    void startDelaySendBadge(const std::shared_ptr<PULSEBadgeNumberReportRequest>& report);
    // The response's verdict on a report: only the current one counts.
    void stopDelayTimer(bool keep, const std::shared_ptr<PULSEBadgeNumberReportRequest>& report);
    void becomeActive();
    void willInactive();
    void startSendSelfToSpaceAddress(const std::shared_ptr<PULSEBadgeNumberReportRequest>& report);

    bool isSendingLock() const { return m_isSendingLock; }
    void setIsSendingLock(bool lock) { m_isSendingLock = lock; }
    const std::optional<std::int64_t>& badgeValue() const { return m_badgeValue; }
    const std::shared_ptr<PULSEBadgeNumberReportRequest>& badgeReport() const { return m_badgeReport; }
    std::uint64_t delaySendIntervalIndex() const { return m_delaySendIntervalIndex; }

private:
    void stopDelayTimer(bool keep);
    void doSendReport(const std::weak_ptr<platform::Timer>& timer);

    bool m_isSendingLock = false;
    std::weak_ptr<platform::Timer> m_delaySendTimer;
    std::uint64_t m_delaySendIntervalIndex = 0;
    std::optional<std::int64_t> m_badgeValue;
    std::shared_ptr<PULSEBadgeNumberReportRequest> m_badgeReport;
};

} // namespace push
