// What the strategy step and the store need of the statistics upload: sending one event at once, or a
// batch of stored rows.
#pragma once

#include "stats/MXStatEvent.h"
#include "stats/MXStatStoreEvent.h"

#include <functional>
#include <memory>
#include <vector>

namespace stats {

// How a batch upload ended. Only a refusal (the collector answered, and not with success) counts against
// the rows; a collector that was not reached at all (no connection, a time-out, a connection lost before
// the reply) says nothing about them.
enum class MXStatUploadOutcome { Sent, Refused, Unreached };

class MXStatDispatcherProtocol {
public:
    // (success, the event that was given to send); called on the upload queue.
    using Completion = std::function<void(bool success, const std::shared_ptr<MXStatEvent>& sent)>;

    virtual ~MXStatDispatcherProtocol() = default;

    // (how it ended, the rows that were given to send); called on the upload queue.
    using BatchCompletion = std::function<void(MXStatUploadOutcome outcome, const std::vector<MXStatStoreEvent>& sent)>;

    virtual void sendEvent(std::shared_ptr<MXStatEvent> event, Completion completion) = 0;
    // Sends the rows' contents as one JSON array.
    virtual void send(std::vector<MXStatStoreEvent> events, BatchCompletion completion) = 0;
};

} // namespace stats
