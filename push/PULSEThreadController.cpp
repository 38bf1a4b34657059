#include "push/PULSEThreadController.h"

namespace push {

PULSEThreadController& PULSEThreadController::shareThreadInstance() {
    static PULSEThreadController controller;
    return controller;
}

bool PULSEThreadController::addThread(std::shared_ptr<PULSEThread> thread) {
    if (!thread)
        return false;
    const PULSEThread::Name name = thread->platformName();
    if (!name)
        return false;
    std::shared_ptr<PULSEThread> replaced;
    std::lock_guard lock(m_mutex);
    auto& slot = m_threadQueue[*name];
    replaced = std::exchange(slot, std::move(thread));
    return true;
}

bool PULSEThreadController::deleteThread(const std::shared_ptr<PULSEThread>& thread) {
    const PULSEThread::Name name = thread ? thread->platformName() : nullptr;
    if (!name)
        return false;
    std::shared_ptr<PULSEThread> stored;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_threadQueue.find(*name);
        if (it == m_threadQueue.end())
            return false;
        stored = std::move(it->second);
        m_threadQueue.erase(it);
    }
    stored->closeMySelf();
    return true;
}

std::shared_ptr<PULSEThread> PULSEThreadController::getThreadWithName(const std::string& name) const {
    std::lock_guard lock(m_mutex);
    auto it = m_threadQueue.find(name);
    return it == m_threadQueue.end() ? nullptr : it->second;
}

void PULSEThreadController::resetForTesting() {
    std::map<std::string, std::shared_ptr<PULSEThread>> threads;
    {
        std::lock_guard lock(m_mutex);
        threads.swap(m_threadQueue);
    }
    for (auto& [name, thread] : threads)
        thread->closeMySelf();
}

} // namespace push
