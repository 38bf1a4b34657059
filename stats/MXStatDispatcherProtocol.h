// What the strategy step needs of the statistics upload: sending one event at once.
#pragma once

#include "stats/MXStatEvent.h"

#include <functional>
#include <memory>

namespace stats {

class MXStatDispatcherProtocol {
public:
    // (success, the event that was given to send); called on the upload queue.
    using Completion = std::function<void(bool success, const std::shared_ptr<MXStatEvent>& sent)>;

    virtual ~MXStatDispatcherProtocol() = default;

    virtual void sendEvent(std::shared_ptr<MXStatEvent> event, Completion completion) = 0;
};

} // namespace stats
