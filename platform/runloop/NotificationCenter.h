// Notification centres: a default one for the process and private ones (the push client keeps its own).
//
// Guarantees:
// - Thread: every call from any thread.
// - post() delivers synchronously on the posting thread, to the matching observations in the order they
//   were added, and returns when all have run. An observation removed while a post is under way is not
//   called after its removal returned (unless it is running at that moment on another thread).
// - Matching: an observation with an empty name gets every name; one with a sender filter gets only
//   posts whose object is that sender. Senders and observers are identities (opaque pointers), never
//   dereferenced.
// - Block observations with a queue are delivered on that queue; the post waits for them (inline when the
//   poster already runs on that queue). Without a queue they run on the posting thread.
// - Observers may add and remove observations (also their own) from inside a delivery.
// - Ownership: the centre keeps the callbacks; removeObserver(observer) (an owner does it at its
//   destruction) or removeObservation(token) releases them.
#pragma once

#include "platform/runloop/Notification.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class DispatchQueue;

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    // Identifies one block observation (for removeObservation); 0 is never used.
    using Token = std::uint64_t;

    static NotificationCenter& defaultCenter();

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // Adds an observation for `observer` (the identity removeObserver takes). Empty name: any name;
    // sender nullptr: any sender.
    void addObserver(const void* observer, std::string name, const void* sender, Handler handler);
    // Adds a block observation, delivered on `queue` (nullptr: on the posting thread).
    Token addObserver(std::string name, const void* sender, std::shared_ptr<DispatchQueue> queue, Handler handler);

    // Removes every observation of the observer.
    void removeObserver(const void* observer);
    // Removes the observer's observations for a name (and, when given, a sender).
    void removeObserver(const void* observer, const std::string& name, const void* sender = nullptr);
    void removeObservation(Token token);

    void post(const Notification& notification);
    void post(std::string name, const void* sender = nullptr, Dictionary userInfo = {});

private:
    struct Observation;
    std::mutex m_mutex;
    std::vector<std::shared_ptr<Observation>> m_observations;
    Token m_nextToken = 1;
};

} // namespace platform
