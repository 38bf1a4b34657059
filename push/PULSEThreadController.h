// The registry of the push client's threads by name.
//
// Thread: every method from any thread (the map is guarded by a lock: the public API registers the
// client thread on the main thread, the client looks it up on its own).
#pragma once

#include "push/PULSEThread.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace push {

class PULSEThreadController {
public:
    static PULSEThreadController& shareThreadInstance();

    // Stores the thread under its platform name, replacing any thread of that name. False for a null
    // thread or one without a platform name.
    bool addThread(std::shared_ptr<PULSEThread> thread);
    // Closes the thread stored under the thread's platform name (not necessarily the argument) and
    // removes the entry. False when the thread has no platform name or nothing is stored under it.
    bool deleteThread(const std::shared_ptr<PULSEThread>& thread);
    std::shared_ptr<PULSEThread> getThreadWithName(const std::string& name) const;

    // Closes and forgets every thread (tests).
    void resetForTesting();

private:
    PULSEThreadController() = default;

    mutable std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<PULSEThread>> m_threadQueue;
};

} // namespace push
