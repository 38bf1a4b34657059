#include "platform/runloop/NotificationCenter.h"

#include "platform/runloop/DispatchQueue.h"

#include <atomic>

namespace platform {

struct NotificationCenter::Observation {
    const void* observer;
    Token token;
    std::string name;
    const void* sender;
    std::shared_ptr<DispatchQueue> queue;
    Handler handler;
    std::atomic<bool> removed{false};
};

NotificationCenter& NotificationCenter::defaultCenter() {
    static auto* center = new NotificationCenter; // observers may remove themselves during exit
    return *center;
}

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

void NotificationCenter::addObserver(const void* observer, std::string name, const void* sender, Handler handler) {
    auto observation = std::make_shared<Observation>();
    observation->observer = observer;
    observation->token = 0;
    observation->name = std::move(name);
    observation->sender = sender;
    observation->handler = std::move(handler);
    std::lock_guard lock(m_mutex);
    m_observations.push_back(std::move(observation));
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* sender,
                                                          std::shared_ptr<DispatchQueue> queue, Handler handler) {
    auto observation = std::make_shared<Observation>();
    observation->observer = nullptr;
    observation->name = std::move(name);
    observation->sender = sender;
    observation->queue = std::move(queue);
    observation->handler = std::move(handler);
    std::lock_guard lock(m_mutex);
    observation->token = m_nextToken++;
    m_observations.push_back(observation);
    return observation->token;
}

void NotificationCenter::removeObserver(const void* observer) {
    if (!observer)
        return;
    std::vector<std::shared_ptr<Observation>> removed; // released outside the lock
    std::lock_guard lock(m_mutex);
    std::erase_if(m_observations, [&](const std::shared_ptr<Observation>& o) {
        if (o->observer != observer)
            return false;
        o->removed = true;
        removed.push_back(o);
        return true;
    });
}

void NotificationCenter::removeObserver(const void* observer, const std::string& name, const void* sender) {
    if (!observer)
        return;
    std::vector<std::shared_ptr<Observation>> removed;
    std::lock_guard lock(m_mutex);
    std::erase_if(m_observations, [&](const std::shared_ptr<Observation>& o) {
        if (o->observer != observer || (!name.empty() && o->name != name) || (sender && o->sender != sender))
            return false;
        o->removed = true;
        removed.push_back(o);
        return true;
    });
}

void NotificationCenter::removeObservation(Token token) {
    std::vector<std::shared_ptr<Observation>> removed;
    std::lock_guard lock(m_mutex);
    std::erase_if(m_observations, [&](const std::shared_ptr<Observation>& o) {
        if (token == 0 || o->token != token)
            return false;
        o->removed = true;
        removed.push_back(o);
        return true;
    });
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Observation>> matching;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& o : m_observations) {
            if (!o->name.empty() && o->name != notification.name)
                continue;
            if (o->sender && o->sender != notification.object)
                continue;
            matching.push_back(o);
        }
    }
    for (const auto& o : matching) {
        if (o->removed)
            continue;
        if (!o->queue || o->queue->isCurrent()) {
            o->handler(notification);
            continue;
        }
        o->queue->sync([&] {
            if (!o->removed)
                o->handler(notification);
        });
    }
}

void NotificationCenter::post(std::string name, const void* sender, Dictionary userInfo) {
    post(Notification{std::move(name), sender, std::move(userInfo)});
}

} // namespace platform
