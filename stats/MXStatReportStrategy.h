// The report strategy step: for each event the API queues, decides on the API queue "MessengerAnalysis",
// one event at a time and in queueing order, whether it is sent at once, stored (and maybe flushed) or
// dropped, by MXStatConfig's reportStrategy, the event's real-time flag and the network's reachability.
//
// Guarantees:
// - Thread: reportEvent() from any thread; it never runs the step inline. reportEventByStrategy() only
//   on the API queue.
// - The store and the dispatcher are called through their protocols; neither is called with the API
//   queue's work waiting on them (every call hands work on and returns).
// - Strategy 7 (Wi-Fi only, no store) loses an event whose upload fails; a strategy outside 1-7 drops
//   the event with "Not supported report strategy:%d".
// - Every "now" is the wall time of platform::Clock::current(); the period of strategy 5 is kept under
//   the user-defaults key "MST_SDK_DATA_SENT_TS"; a time saved there that lies in the future (the clock
//   was set back since) counts as never sent, so the period starts again from now.
#pragma once

#include "stats/MXStatDispatcherProtocol.h"
#include "stats/MXStatEvent.h"
#include "stats/MXStatStoreProtocol.h"

#include "platform/runloop/DispatchQueue.h"

#include <memory>

namespace stats {

inline constexpr const char* kMXStatAPIQueueLabel = "MessengerAnalysis";
inline constexpr const char* kMXStatDataSentTimeKey = "MST_SDK_DATA_SENT_TS";

class MXStatReportStrategy {
public:
    // The store and the dispatcher live as long as the client (they are process-wide).
    MXStatReportStrategy(std::shared_ptr<MXStatStoreProtocol> store, std::shared_ptr<MXStatDispatcherProtocol> dispatcher);

    const std::shared_ptr<platform::DispatchQueue>& apiQueue() const { return m_apiQueue; }

    // The queueing step's hand-off: runs reportEventByStrategy for the event on the API queue.
    void reportEvent(std::shared_ptr<MXStatEvent> event);

    // On the API queue.
    void reportEventByStrategy(const std::shared_ptr<MXStatEvent>& event) const;

private:
    void sendWhenNothingStored(const std::shared_ptr<MXStatEvent>& event) const;
    void storeThenCheckBatch(const std::shared_ptr<MXStatEvent>& event) const;
    void checkPeriod() const;
    void store(const std::shared_ptr<MXStatEvent>& event) const;

    const std::shared_ptr<MXStatStoreProtocol> m_store;
    const std::shared_ptr<MXStatDispatcherProtocol> m_dispatcher;
    const std::shared_ptr<platform::DispatchQueue> m_apiQueue;
};

} // namespace stats
