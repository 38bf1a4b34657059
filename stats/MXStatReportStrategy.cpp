#include "stats/MXStatReportStrategy.h"

#include "stats/MXStatConfig.h"
#include "stats/MXStatLog.h"
#include "stats/MXStatReachability.h"

#include "platform/runloop/Clock.h"
#include "platform/system/UserDefaults.h"

#include <cmath>

namespace stats {

MXStatReportStrategy::MXStatReportStrategy(std::shared_ptr<MXStatStoreProtocol> store,
                                           std::shared_ptr<MXStatDispatcherProtocol> dispatcher)
    : m_store(std::move(store)),
      m_dispatcher(std::move(dispatcher)),
      m_apiQueue(platform::DispatchQueue::createSerial(kMXStatAPIQueueLabel)) {}

void MXStatReportStrategy::reportEvent(std::shared_ptr<MXStatEvent> event) {
    // The step is captured by value (three shared handles) rather than this, so a queued step never
    // outlives what it calls.
    m_apiQueue->async([step = *this, event = std::move(event)] { step.reportEventByStrategy(event); });
}

void MXStatReportStrategy::reportEventByStrategy(const std::shared_ptr<MXStatEvent>& event) const {
    m_apiQueue->assertIsCurrent();
    const MXStatConfig& config = MXStatConfig::getInstance();
    if (!config.statEnable() || !event)
        return;
    std::int32_t strategy = event->isRealTime ? MXStatReportInstant : config.reportStrategy();

    // One reading of the flags answers both questions.
    auto reachability = MXStatReachability::reachabilityForInternetConnection();
    const platform::ReachabilityFlags flags = reachability ? reachability->reachabilityFlags() : 0;
    const bool reachable = reachability && reachability->isReachableWithFlags(flags);
    const bool viaWiFi = MXStatReachability::isReachableViaWiFiWithFlags(flags);

    if (strategy != MXStatReportWiFiOnlyNoStore && !reachable) {
        MXStatLog("Store event since no active network.");
        store(event);
        return;
    }
    if (strategy == MXStatReportWiFiOnlyNoStore && !viaWiFi) {
        MXStatDebugLog("Disard event since no active wifi network.");
        return;
    }
    if (strategy != MXStatReportWiFiOnlyNoStore && config.smartReporting() && viaWiFi)
        strategy = MXStatReportInstant;

    switch (strategy) {
    case MXStatReportInstant:
        sendWhenNothingStored(event);
        return;
    case MXStatReportBatch:
        storeThenCheckBatch(event);
        return;
    case MXStatReportAtLaunch:
    case MXStatReportDeveloper:
        store(event);
        return;
    case MXStatReportWiFiInstant:
        if (viaWiFi)
            sendWhenNothingStored(event);
        else
            store(event);
        return;
    case MXStatReportPeriodic:
        store(event);
        checkPeriod();
        return;
    case MXStatReportWiFiOnlyNoStore:
        m_dispatcher->sendEvent(event, [](bool, const std::shared_ptr<MXStatEvent>&) {});
        return;
    default:
        MXStatLog("Not supported report strategy:%d", strategy);
        return;
    }
}

void MXStatReportStrategy::store(const std::shared_ptr<MXStatEvent>& event) const {
    m_store->storeEvent(event, false, [] {});
}

void MXStatReportStrategy::sendWhenNothingStored(const std::shared_ptr<MXStatEvent>& event) const {
    std::shared_ptr<MXStatStoreProtocol> store = m_store;
    if (store->storedEventCount() != 0) {
        // Stored events go first: this one joins them and everything is flushed.
        store->storeEvent(event, false, [store] { store->sendCachedEvents(-1); });
        return;
    }
    m_dispatcher->sendEvent(event, [store](bool success, const std::shared_ptr<MXStatEvent>& sent) {
        if (!success) {
            store->storeEvent(sent, true, [] {});
            return;
        }
        if (store->storedEventCount() != 0)
            store->sendCachedEvents(-1);
    });
}

void MXStatReportStrategy::storeThenCheckBatch(const std::shared_ptr<MXStatEvent>& event) const {
    std::shared_ptr<MXStatStoreProtocol> store = m_store;
    store->storeEvent(event, false, [store] {
        const std::uint32_t batch = MXStatConfig::getInstance().minBatchReportCount();
        const std::uint32_t stored = store->storedEventCount();
        if (stored >= batch)
            store->sendCachedEvents(static_cast<std::int32_t>(batch));
        else
            MXStatDebugLog("Stored event count:%d", static_cast<int>(stored));
    });
}

void MXStatReportStrategy::checkPeriod() const {
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    const std::int64_t sentAt = defaults.integer(kMXStatDataSentTimeKey);
    const auto now = static_cast<std::int64_t>(std::floor(platform::Clock::current().wallNow().secondsSince1970));
    const std::int64_t period = static_cast<std::int64_t>(MXStatConfig::getInstance().sendPeriodMinutes()) * 60;
    // A time in the future was saved under a clock that has since been set back: it counts as never sent,
    // or nothing would be sent until the clock caught up with it.
    if (sentAt != 0 && sentAt <= now) {
        if (now - sentAt < period)
            return;
        m_store->sendCachedEvents(-1);
    }
    auto saved = defaults.set(kMXStatDataSentTimeKey, now);
    if (saved.ok())
        saved = defaults.synchronize();
    if (!saved.ok())
        MXStatLog("[WARN]Cannot save %s: %s", kMXStatDataSentTimeKey, saved.error().localizedDescription().c_str());
}

} // namespace stats
