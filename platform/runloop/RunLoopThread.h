// A named thread that turns its own run loop until told to exit (the push client's network thread).
//
// Guarantees:
// - The constructor returns once the thread runs and its loop exists; runLoop() is valid from then on
//   until the RunLoopThread is destroyed.
// - Work reaches the thread only by posting to its run loop (perform, timers); FIFO, the caller never
//   waits.
// - requestExit() (any thread) makes run() return after the current callout; the thread then ends.
//   The destructor requests exit and joins (never call it on the thread itself).
// - The thread name is cut to the 15 bytes the kernel keeps; name() returns the full text.
#pragma once

#include "platform/runloop/RunLoop.h"

#include <string>
#include <thread>

namespace platform {

class RunLoopThread {
public:
    explicit RunLoopThread(std::string name);
    ~RunLoopThread();
    RunLoopThread(const RunLoopThread&) = delete;
    RunLoopThread& operator=(const RunLoopThread&) = delete;

    const std::string& name() const { return m_name; }
    RunLoop& runLoop() const { return *m_loop; }
    // The loop for holders that may outlive this object (posts to it then reach nobody).
    std::shared_ptr<RunLoop> sharedRunLoop() const { return m_loop; }
    void requestExit();
    // Waits for the thread to end (after requestExit()). Safe to call twice.
    void join();

private:
    std::string m_name;
    std::shared_ptr<RunLoop> m_loop;
    std::thread m_thread;
};

// Sets the calling thread's name as the system shows it (cut to 15 bytes).
void setCurrentThreadName(const std::string& name);
// The calling thread's name as the system keeps it.
std::string currentThreadName();

} // namespace platform
