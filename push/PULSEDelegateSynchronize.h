// The synchronous wait: code on a thread with a run loop starts an asynchronous operation and waits for
// its outcome by identifier, while the thread's run loop keeps turning.
//
//     Value address = PULSEDelegateSynchronize::runMethodBlockThread(
//         [&] { resolver.start(); },          // its outcome arrives later through the run loop
//         onSuccess, onFailure, "dnsIdentifier", 2.0);
//     ...and where the outcome arrives: PULSEDelegateSynchronize::continueThread(true, result, "dnsIdentifier");
//
// Guarantees:
// - The method callback runs first; only then is the wait registered (state waiting) with its time-out
//   timer (60 s for a time-out of 0) on Clock::current(). An outcome must therefore arrive through the
//   run loop, never from inside the method callback itself: reported there it finds no wait, is refused
//   (false) and the wait runs to its time-out. Every outcome source of the client reports from a run-loop
//   callout (a perform request with delay 0 at the least).
// - While waiting, the calling thread's run loop turns in slices of 0.1 s (RunLoop::runOnce), so fd
//   events, timers and perform requests go on; a callout may start a nested wait with another
//   identifier, which ends before the outer one goes on.
// - The first state the loop reads after a slice decides: succeeded gives the result (possibly null) and
//   calls the success callback with it; failed or timed out gives null and calls the failure callback
//   with null; entries removed meanwhile (clearIdentifier) give null and call nothing. Afterwards the
//   identifier has no entries and can be used again; a report for it answers false.
// - Thread: waits run on the thread whose run loop delivers the outcome (the client thread). The
//   entries are guarded by a lock, so reports and clearIdentifier from other threads are safe, but they
//   are seen only when the waiting loop next wakes. Callbacks run on the waiting thread, outside the lock.
#pragma once

#include "platform/core/Value.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace platform {
class Timer;
}

namespace push {

class PULSEDelegateSynchronize {
public:
    using MethodBlock = std::function<void()>;
    using ResultBlock = std::function<void(const platform::Value& result)>;

    enum State : int { kNone = 0, kWaiting = 1, kSucceeded = 2, kFailed = 3, kTimedOut = 4 };
    static constexpr double kSliceSeconds = 0.1;
    static constexpr double kDefaultTimeoutSeconds = 60.0;

    PULSEDelegateSynchronize(const PULSEDelegateSynchronize&) = delete;
    PULSEDelegateSynchronize& operator=(const PULSEDelegateSynchronize&) = delete;

    // Runs the method callback, then waits (see above). The result on success, else null.
    static platform::Value runMethodBlockThread(MethodBlock method, ResultBlock succeed, ResultBlock failed,
                                                const std::string& identifier, double timeoutSeconds);
    static platform::Value runMethodBlockThread(MethodBlock method, double timeoutSeconds, const std::string& identifier);

    // Ends the identifier's wait as succeeded (with the result; null leaves none) or failed, and stops its
    // timer. False, changing nothing, when the identifier has no wait.
    static bool continueThread(bool succeeded, platform::Value result, const std::string& identifier);
    // Removes the identifier's entries.
    static void resetWithIdentifier(const std::string& identifier);
    // Stops the identifier's timer, then removes its entries: a running wait ends with no callback.
    static void clearIdentifier(const std::string& identifier);

    // The identifier's state (kNone without entries).
    static State stateForIdentifier(const std::string& identifier);
    // The process is ending: every wait, running or started later, ends as timed out at its next slice.
    static void abandonAllWaits();
    // Forgets every entry and the abandonment (tests).
    static void resetForTesting();

private:
    // The entries of one identifier: its flag, result, timer and callbacks.
    struct Wait {
        std::uint64_t serial = 0; // tells this wait's timer from an earlier one's
        State flag = kNone;
        platform::Value result; // null: no result entry
        std::shared_ptr<platform::Timer> timer;
        ResultBlock succeedBlock;
        ResultBlock failedBlock;
    };

    PULSEDelegateSynchronize() = default;
    static PULSEDelegateSynchronize& shared();
    void runTimeout(const std::string& identifier, std::uint64_t serial);

    std::mutex m_mutex;
    std::unordered_map<std::string, Wait> m_waits;
    std::uint64_t m_nextSerial = 1;
    std::atomic<bool> m_abandoned{false};
};

} // namespace push
