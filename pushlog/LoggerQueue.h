// The serial queue type loggers are called on.
#pragma once

#include "platform/runloop/DispatchQueue.h"

#include <memory>

namespace pushlog {

using QueueRef = std::shared_ptr<platform::DispatchQueue>;

} // namespace pushlog
