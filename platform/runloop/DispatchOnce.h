// Once-only initialisation, thread-safe: the first caller runs the block, concurrent callers wait for
// it, later callers return at once. Function-local statics do the same and are preferred in new code.
#pragma once

#include <mutex>
#include <utility>

namespace platform {

using OnceFlag = std::once_flag;

template <class F>
void dispatchOnce(OnceFlag& flag, F&& block) {
    std::call_once(flag, std::forward<F>(block));
}

} // namespace platform
