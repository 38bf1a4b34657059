// Interim: the clock and the global queue the system log uses until platform/ has its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>

namespace platform::systemlog_glue {

inline std::pair<std::int64_t, std::int64_t> wallClockNow() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch()).count();
    return {ns / 1000000000, ns % 1000000000};
}

inline void postToGlobalQueue(std::function<void()> task) { std::thread(std::move(task)).detach(); }

} // namespace platform::systemlog_glue
