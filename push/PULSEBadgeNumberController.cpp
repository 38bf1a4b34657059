#include "push/PULSEBadgeNumberController.h"

#include "push/PULSEFileCacheController.h"
#include "push/PULSELogging.h"
#include "push/PULSEReportKinds.h"

#include "platform/runloop/RunLoop.h"

namespace push {

void PULSEBadgeNumberController::setBadge(std::int64_t value) {
    if (m_badgeValue && *m_badgeValue == value && m_isSendingLock)
        return;
    m_isSendingLock = true;
    stopDelayTimer(false);
    auto report = std::make_shared<PULSEBadgeNumberReportRequest>(weak_from_this());
    report->setBadgeNumber(static_cast<std::uint32_t>(value));
    m_badgeValue = value;
    m_badgeReport = report;
    report->send();
}

void PULSEBadgeNumberController::startDelaySendBadge(const std::shared_ptr<PULSEBadgeNumberReportRequest>& report) {
    if (!report || report != m_badgeReport)
        return;
    if (m_delaySendIntervalIndex >= std::size(kDelays)) {
        PULSE_LOG_WARN("send badge count too more");
        return;
    }
    stopDelayTimer(true);
    const double delay = kDelays[m_delaySendIntervalIndex++];
    auto timer = std::make_shared<std::weak_ptr<platform::Timer>>();
    std::weak_ptr<PULSEBadgeNumberController> weak = weak_from_this();
    *timer = platform::RunLoop::current().scheduleTimer(platform::seconds(delay), [weak, timer] {
        if (auto self = weak.lock())
            self->doSendReport(*timer);
    });
    m_delaySendTimer = *timer;
}

void PULSEBadgeNumberController::doSendReport(const std::weak_ptr<platform::Timer>& timer) {
    if (timer.lock() != m_delaySendTimer.lock() || !m_badgeReport)
        return;
    m_isSendingLock = true;
    // A re-send is a new send: numbered afresh, or the session's in-flight guard would refuse it.
    m_badgeReport->setReportFlag(std::nullopt);
    m_badgeReport->send();
}

void PULSEBadgeNumberController::stopDelayTimer(bool keep, const std::shared_ptr<PULSEBadgeNumberReportRequest>& report) {
    if (report && report == m_badgeReport)
        stopDelayTimer(keep);
}

void PULSEBadgeNumberController::stopDelayTimer(bool keep) {
    if (!keep) {
        m_badgeValue.reset();
        m_badgeReport.reset();
        m_delaySendIntervalIndex = 0;
    }
    if (auto timer = m_delaySendTimer.lock(); timer && timer->isValid())
        timer->invalidate();
}

void PULSEBadgeNumberController::becomeActive() {
    auto store = PULSEFileCacheController::shareInstanceWithType(PULSEFileCacheController::kCacheTypeCache);
    if (!store)
        return;
    const auto stored = store->objectForKey(kStoredBadgeKey);
    if (const auto* value = stored.getInteger())
        setBadge(*value);
}

void PULSEBadgeNumberController::willInactive() {
    if (auto store = PULSEFileCacheController::shareInstanceWithType(PULSEFileCacheController::kCacheTypeCache))
        store->setObject(m_badgeValue ? platform::ArchiveValue(*m_badgeValue) : platform::ArchiveValue(), kStoredBadgeKey);
    m_isSendingLock = false;
    stopDelayTimer(false);
}

void PULSEBadgeNumberController::startSendSelfToSpaceAddress(const std::shared_ptr<PULSEBadgeNumberReportRequest>& report) {
    if (!report || report != m_badgeReport)
        return;
    m_isSendingLock = true;
    report->send();
}

} // namespace push
