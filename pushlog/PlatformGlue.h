// Interim: the clock and the queue facts the framework reads, until platform/ has them.
#pragma once

#include "platform/Value.h"

#include <chrono>
#include <string>

namespace pushlog::glue {

inline platform::Date now() {
    return platform::Date{std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count()};
}

inline std::string currentQueueLabel() { return {}; }

} // namespace pushlog::glue
