// The push client's threads: a thread object that is named and started through a builder, and whose
// alive mode keeps its own run loop turning (the client thread, which carries the client's sockets,
// timers and look-ups).
//
// Guarantees:
// - A thread is made unstarted; build() (or start()) starts it. Normal mode (0) makes a plain thread that
//   ends at once: it only serves as a named thread object. Alive mode (1) runs a run loop on a
//   platform::RunLoopThread, with a repeating keep-alive timer of 1000 s, until closeMySelf().
// - Work reaches an alive thread only by posting to its run loop (invokeMethodWithTarget, runLoop());
//   posts keep their order and never wait.
// - Names: a thread keeps the name object it was given (two threads compare equal only when they hold
//   the very same name object) and gives the system thread a copy of its text.
// - Thread: every method from any thread. Destroying a started alive thread asks it to exit and joins it;
//   when the last owner lets go on the thread itself, the join happens on a helper thread.
#pragma once

#include "platform/core/Error.h"
#include "platform/runloop/RunLoop.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {
class RunLoopThread;
class Timer;
} // namespace platform

namespace push {

enum class PULSERunLoopMode : std::uint64_t { Normal = 0, Alive = 1 };

class PULSEThreadBuilder;

class PULSEThread : public std::enable_shared_from_this<PULSEThread> {
public:
    using Name = std::shared_ptr<const std::string>;
    static constexpr double kKeepAliveInterval = 1000.0;

    // A new thread of that mode, not started.
    static std::shared_ptr<PULSEThread> initWithRunLoopMode(PULSERunLoopMode mode);
    ~PULSEThread();
    PULSEThread(const PULSEThread&) = delete;
    PULSEThread& operator=(const PULSEThread&) = delete;

    PULSERunLoopMode runLoopMode() const { return m_mode; }

    // Keeps the name object and gives the system thread a copy of its text.
    void setThreadName(Name name);
    void setThreadName(std::string name) { setThreadName(std::make_shared<const std::string>(std::move(name))); }
    Name threadName() const;
    // The name the system thread was given (the registry's key); null once cleared.
    Name platformName() const;
    void setPlatformName(Name name);

    bool hasThreadName() const;
    void setHasThreadName(bool value);
    bool hasType() const;
    void setHasType(bool value);
    std::uint64_t type() const;
    void setType(std::uint64_t value);

    static std::unique_ptr<PULSEThreadBuilder> builder(PULSERunLoopMode mode);
    // A builder of the prototype's type as mode (nothing sets a type, so normal mode) with its name.
    static std::unique_ptr<PULSEThreadBuilder> builderWithPrototype(const std::shared_ptr<PULSEThread>& prototype);
    std::unique_ptr<PULSEThreadBuilder> toBuilder();

    // Process-wide default instances: null until the matching initializer made one.
    static std::shared_ptr<PULSEThread> defaultNormalModeInstance();
    static std::shared_ptr<PULSEThread> defaultAliveModeInstance();
    static void normalModeInitialize();
    static void aliveModeinitialize();
    static void resetDefaultInstancesForTesting();

    bool isInitialized() const { return true; }
    // The same object, or the very same name object and equal types.
    bool isEqual(const PULSEThread& other) const;

    // Starts the thread (once; later calls do nothing).
    void start();
    bool isStarted() const;
    // The alive thread's run loop once started, null otherwise. Work posted after the thread ended is
    // never run.
    std::shared_ptr<platform::RunLoop> runLoop() const;

    // Runs the block on this thread's run loop without waiting. False when the thread has no run loop
    // (normal mode, not started): the block is dropped. Blocks that come due after close() (or after
    // the thread object is gone) are dropped too.
    bool invokeMethodWithTarget(std::function<void()> block);
    // Asks the thread to perform close() on itself, after the work already posted.
    void closeMySelf();
    // On the thread itself: stops the keep-alive timer and ends the run loop, so the thread exits.
    void close();
    // Ends an alive thread from another thread and returns once it has ended: the work already posted
    // runs first (waited for at most `drainLimit`), later work is dropped, and a loop turned inside a
    // wait is stopped until the thread's own run has returned. Does nothing on the thread itself or for
    // a thread without a run loop.
    void finish(std::chrono::milliseconds drainLimit);

private:
    explicit PULSEThread(PULSERunLoopMode mode);
    void clientThreadMain();

    const PULSERunLoopMode m_mode;
    mutable std::mutex m_mutex;
    Name m_threadName;
    Name m_platformName;
    bool m_hasThreadName = false;
    bool m_hasType = false;
    std::uint64_t m_type = 0;
    bool m_started = false;
    std::atomic<bool> m_closed{false};
    std::unique_ptr<platform::RunLoopThread> m_runLoopThread;
    std::shared_ptr<platform::RunLoop> m_runLoop;
    // Touched only on the thread itself.
    std::shared_ptr<platform::Timer> m_keepAliveTimer;
};

// Makes and starts threads: PULSEThread::builder(PULSERunLoopMode::Alive)->setThreadName("x").build().
// A builder belongs to the thread that uses it.
class PULSEThreadBuilder {
public:
    explicit PULSEThreadBuilder(PULSERunLoopMode mode);

    PULSEThreadBuilder& setThreadName(PULSEThread::Name name);
    PULSEThreadBuilder& setThreadName(std::string name) {
        return setThreadName(std::make_shared<const std::string>(std::move(name)));
    }
    PULSEThreadBuilder& clearThreadName();
    bool hasThreadName() const { return m_resultThread->hasThreadName(); }
    PULSEThread::Name threadName() const { return m_resultThread->threadName(); }
    bool hasType() const { return m_resultThread->hasType(); }
    std::uint64_t type() const { return m_resultThread->type(); }

    // Starts the result thread and returns it; null when it is not initialised (never the case).
    std::shared_ptr<PULSEThread> build();
    std::shared_ptr<PULSEThread> buildPartial() const { return m_resultThread; }
    std::shared_ptr<PULSEThread> internalGetResult() const { return m_resultThread; }
    // An "UninitializedMessage" error when the result is not initialised.
    platform::Status checkInitialized() const;

    // Closes the result thread and starts over with a new one whose mode is the old one's type.
    PULSEThreadBuilder& clear();
    std::unique_ptr<PULSEThreadBuilder> clone() const;
    std::shared_ptr<PULSEThread> defaultInstance() const;
    // Takes the thread's name when it has one set (unless it is the default instance).
    PULSEThreadBuilder& mergeFrom(const std::shared_ptr<PULSEThread>& thread);

private:
    std::shared_ptr<PULSEThread> m_resultThread;
};

} // namespace push
