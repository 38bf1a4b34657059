// Waiting for what must happen (work ending on its own, a request reaching a server, a thread entering
// its wait), with a bound against a hang only: a test waits for the event itself, never for a time, and a
// loaded machine only makes it wait longer.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>

namespace hybtest {

// Polls the condition, every millisecond, until it holds: true; false once `limit` has passed first.
inline bool pollUntil(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(120)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs the work on a thread of its own and waits for it to end: true when it ended within `limit`. When it
// has not, `release` is called to free what it waits at (opening a FIFO's other end, say), again every
// tenth of a second until the work has ended: false.
inline bool endsWithinHangBound(const std::function<void()>& work, const std::function<void()>& release,
                                std::chrono::seconds limit = std::chrono::seconds(120)) {
    std::packaged_task<void()> task(work);
    std::future<void> ended = task.get_future();
    std::thread thread(std::move(task));
    const bool inTime = ended.wait_for(limit) == std::future_status::ready;
    while (ended.wait_for(std::chrono::milliseconds(inTime ? 0 : 100)) != std::future_status::ready)
        if (release)
            release();
    thread.join();
    return inTime;
}

// Whether a thread of this process is in the system call right now (with this first argument, when one is
// given), as the kernel reports it.
inline bool inSystemCall(pid_t thread, long number, std::optional<unsigned long> firstArgument = std::nullopt) {
    std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/syscall");
    long called = -1;
    std::string argument;
    if (!(in >> called) || called != number)
        return false;
    return !firstArgument || (in >> argument && std::stoul(argument, nullptr, 16) == *firstArgument);
}

} // namespace hybtest
