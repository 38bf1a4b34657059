// The home of one running transfer: its connection callbacks and its own follow-up work run here one at a
// time and in the order they were posted, as operations of the plug-in's shared operation queue (which
// runs the operations of different transfers side by side).
//
// Guarantees:
// - post() from any thread; never runs the work inline.
// - Work posted here never overlaps other work posted here, and runs in posting order; so a download's
//   bytes reach its file in the order they arrived.
// - The executor keeps itself alive while work is queued.
#pragma once

#include "platform/runloop/OperationQueue.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace transfer {

class TransferExecutor : public std::enable_shared_from_this<TransferExecutor> {
public:
    explicit TransferExecutor(std::shared_ptr<platform::OperationQueue> queue) : m_queue(std::move(queue)) {}

    void post(std::function<void()> work);
    // The "run this there" function URL connections take.
    std::function<void(std::function<void()>)> asDeliveryTarget();

private:
    void drain();

    const std::shared_ptr<platform::OperationQueue> m_queue;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_work;
    bool m_scheduled = false;
};

} // namespace transfer
