// What the strategy step and the store need of the statistics upload: sending one event at once, or a
// batch of stored rows.
#pragma once

#include "stats/MXStatEvent.h"
#include "stats/MXStatStoreEvent.h"

#include <functional>
#include <memory>
#include <vector>

namespace stats {

class MXStatDispatcherProtocol {
public:
    // (success, the event that was given to send); called on the upload queue.
    using Completion = std::function<void(bool success, const std::shared_ptr<MXStatEvent>& sent)>;

    virtual ~MXStatDispatcherProtocol() = default;

    // (success, the rows that were given to send); called on the upload queue.
    using BatchCompletion = std::function<void(bool success, const std::vector<MXStatStoreEvent>& sent)>;

    virtual void sendEvent(std::shared_ptr<MXStatEvent> event, Completion completion) = 0;
    // Sends the rows' contents as one JSON array.
    virtual void send(std::vector<MXStatStoreEvent> events, BatchCompletion completion) = 0;
};

} // namespace stats
