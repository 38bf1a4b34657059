// The serial queue type loggers are called on.
#pragma once

#include <memory>

namespace platform { class DispatchQueue; }

namespace pushlog {

using QueueRef = std::shared_ptr<platform::DispatchQueue>;

} // namespace pushlog
