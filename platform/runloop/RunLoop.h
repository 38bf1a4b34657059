// Run loops: one per thread, turning that thread's sources (perform requests, timers, file
// descriptors). The main run loop sits on GLib's default GMainContext, where the web engine runs, so
// turning it also serves the engine and turning the engine's loop serves it.
//
// Guarantees:
// - Ownership: a thread's run loop is made on first use of RunLoop::current() and lives until the
//   thread ends, or longer while someone holds it through currentShared() (RunLoopThread does). Work
//   posted to the loop of a thread that has ended is never run. The main run loop lives for the whole
//   process. A plain RunLoop reference handed to another thread is valid while the owning thread lives.
// - Thread: perform(), performAfterDelay(), scheduleTimer(), stop() and wakeUp() may be called from any
//   thread. run(), runOnce() and addFdSource() only on the loop's own thread.
// - Order: perform requests run in the order they were made (FIFO across all posting threads), never
//   inline in the caller, and the caller never waits. performAfterDelay with a delay of 0 (or less) joins
//   the same queue: it runs on the next turn, after the work already queued. The main queue of
//   DispatchQueue posts into the main run loop's queue, so main-queue async and perform-on-main are one
//   FIFO.
// - Re-entrancy: runOnce() may be called from inside any callout (a timer, a perform request, an fd
//   callback); nested turns fire timers, fd events and perform requests as usual. A source that is in
//   its callout is not re-entered.
// - Time: deadlines and timers use Clock::current(); under a VirtualClock a waiting loop sleeps until
//   the clock is advanced.
// - Holding: while holdPerformsAndTimers() is in force, turns of the loop's context serve every other
//   source (fd sources of GLib, the web engine's messages) but run no perform request and fire no timer;
//   they wait, in order, until the last hold ends. A synchronous wait that must not run the program's own
//   work (the web engine's script evaluation) turns the context under a hold.
#pragma once

#include "platform/runloop/Clock.h"
#include "platform/runloop/FdSource.h"
#include "platform/runloop/Timer.h"

#include <functional>
#include <memory>

typedef struct _GMainContext GMainContext;

namespace platform {

class RunLoopCore;

class RunLoop {
public:
    enum class RunResult {
        Handled,  // at least one source was handled
        TimedOut, // the deadline passed with nothing handled
        Stopped,  // stop() was called and nothing was handled
    };

    // The main thread's run loop (GLib's default context).
    static RunLoop& main();
    // The calling thread's run loop, made on first use; main() on the main thread.
    static RunLoop& current();
    // The calling thread's run loop as a shared reference, for holders on other threads.
    static std::shared_ptr<RunLoop> currentShared();
    static bool isMainThread();

    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    bool isCurrent() const;
    bool isMain() const;
    // Debug builds: a logged abort unless the caller runs on this loop's thread. Release: nothing.
    void assertIsCurrent() const {
#ifndef NDEBUG
        if (!isCurrent())
            failNotCurrent();
#endif
    }

    // Queues a block to run on this loop's thread (FIFO, never inline, the caller does not wait).
    void perform(std::function<void()> block);
    // Runs a block on this loop after a delay; 0 or less is the same as perform().
    void performAfterDelay(Duration delay, std::function<void()> block);
    void performAfterDelay(double delaySeconds, std::function<void()> block) {
        performAfterDelay(seconds(delaySeconds), std::move(block));
    }

    // A one-shot timer that fires after the delay.
    std::shared_ptr<Timer> scheduleTimer(Duration delay, std::function<void()> callback);
    // A repeating timer: first at firstFire (may lie in the past: fires at once), then every interval.
    std::shared_ptr<Timer> scheduleRepeatingTimer(Clock::TimePoint firstFire, Duration interval, Timer::Callback callback);
    // A repeating timer whose first firing is one interval from now.
    std::shared_ptr<Timer> scheduleRepeatingTimer(Duration interval, Timer::Callback callback);

    // Watches a descriptor on this loop (call on the loop's thread). A callback left empty starts
    // disabled; a given one starts enabled.
    std::unique_ptr<FdSource> addFdSource(int fd, FdSource::Callback onReadable, FdSource::Callback onWritable);

    // Turns the loop until one source was handled or the deadline passed. Re-entrant.
    RunResult runOnce(Clock::TimePoint deadline);
    RunResult runOnce(Duration timeout) { return runOnce(Clock::current().now() + timeout); }
    // Turns the loop until stop(). Nested run() calls are allowed; stop() ends the innermost one.
    void run();
    // Makes the innermost run() return (from any thread).
    void stop();
    // Wakes the loop's thread from its wait (from any thread).
    void wakeUp();

    // Holds perform requests and timers back (see the header comment); holds nest. Loop's thread only.
    void holdPerformsAndTimers();
    void releasePerformsAndTimers();

    GMainContext* context() const;
    RunLoopCore& core() const { return *m_core; }

private:
    friend class FdSource;
    RunLoop(GMainContext* context, bool isMain);
    [[noreturn]] void failNotCurrent() const;
    static const std::shared_ptr<RunLoop>& mainShared();

    std::shared_ptr<RunLoopCore> m_core;
};

} // namespace platform
