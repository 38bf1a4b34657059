#include "push/PULSEDelegateSynchronize.h"

#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"

namespace push {

PULSEDelegateSynchronize& PULSEDelegateSynchronize::shared() {
    static PULSEDelegateSynchronize instance;
    return instance;
}

platform::Value PULSEDelegateSynchronize::runMethodBlockThread(MethodBlock method, ResultBlock succeed,
                                                               ResultBlock failed, const std::string& identifier,
                                                               double timeoutSeconds) {
    auto& self = shared();
    if (method)
        method();

    platform::RunLoop& loop = platform::RunLoop::current();
    const double timeout = timeoutSeconds == 0 ? kDefaultTimeoutSeconds : timeoutSeconds;
    std::uint64_t serial;
    {
        std::lock_guard lock(self.m_mutex);
        serial = self.m_nextSerial++;
    }
    auto timer = loop.scheduleTimer(platform::seconds(timeout),
                                    [identifier, serial] { shared().runTimeout(identifier, serial); });
    {
        std::lock_guard lock(self.m_mutex);
        Wait& wait = self.m_waits[identifier];
        wait.serial = serial;
        wait.flag = kWaiting;
        wait.timer = timer;
        if (succeed)
            wait.succeedBlock = std::move(succeed);
        if (failed)
            wait.failedBlock = std::move(failed);
    }

    while (stateForIdentifier(identifier) == kWaiting && !self.m_abandoned.load(std::memory_order_acquire))
        loop.runOnce(platform::seconds(kSliceSeconds));

    Wait ended;
    {
        std::lock_guard lock(self.m_mutex);
        if (auto it = self.m_waits.find(identifier); it != self.m_waits.end()) {
            ended = std::move(it->second);
            self.m_waits.erase(it);
        }
    }
    if (ended.flag == kWaiting)
        ended.flag = kTimedOut; // abandoned
    // Our own timer too: entries removed meanwhile may have taken theirs with them.
    timer->invalidate();
    if (ended.timer)
        ended.timer->invalidate();

    switch (ended.flag) {
    case kFailed:
    case kTimedOut:
        if (ended.failedBlock)
            ended.failedBlock(platform::Value());
        return platform::Value();
    case kSucceeded:
        if (ended.succeedBlock)
            ended.succeedBlock(ended.result);
        return ended.result;
    default:
        return platform::Value();
    }
}

platform::Value PULSEDelegateSynchronize::runMethodBlockThread(MethodBlock method, double timeoutSeconds,
                                                               const std::string& identifier) {
    return runMethodBlockThread(std::move(method), nullptr, nullptr, identifier, timeoutSeconds);
}

bool PULSEDelegateSynchronize::continueThread(bool succeeded, platform::Value result, const std::string& identifier) {
    auto& self = shared();
    std::shared_ptr<platform::Timer> timer;
    {
        std::lock_guard lock(self.m_mutex);
        auto it = self.m_waits.find(identifier);
        if (it == self.m_waits.end())
            return false;
        Wait& wait = it->second;
        wait.flag = succeeded ? kSucceeded : kFailed;
        wait.result = std::move(result);
        timer = wait.timer;
    }
    if (timer)
        timer->invalidate();
    return true;
}

void PULSEDelegateSynchronize::resetWithIdentifier(const std::string& identifier) {
    auto& self = shared();
    Wait removed; // callbacks and their captures are released outside the lock
    std::lock_guard lock(self.m_mutex);
    if (auto it = self.m_waits.find(identifier); it != self.m_waits.end()) {
        removed = std::move(it->second);
        self.m_waits.erase(it);
    }
}

void PULSEDelegateSynchronize::clearIdentifier(const std::string& identifier) {
    auto& self = shared();
    std::shared_ptr<platform::Timer> timer;
    {
        std::lock_guard lock(self.m_mutex);
        if (auto it = self.m_waits.find(identifier); it != self.m_waits.end())
            timer = it->second.timer;
    }
    if (timer && timer->isValid())
        timer->invalidate();
    resetWithIdentifier(identifier);
}

PULSEDelegateSynchronize::State PULSEDelegateSynchronize::stateForIdentifier(const std::string& identifier) {
    auto& self = shared();
    std::lock_guard lock(self.m_mutex);
    auto it = self.m_waits.find(identifier);
    return it == self.m_waits.end() ? kNone : it->second.flag;
}

void PULSEDelegateSynchronize::abandonAllWaits() { shared().m_abandoned.store(true, std::memory_order_release); }

void PULSEDelegateSynchronize::resetForTesting() {
    auto& self = shared();
    self.m_abandoned.store(false, std::memory_order_release);
    std::unordered_map<std::string, Wait> waits;
    {
        std::lock_guard lock(self.m_mutex);
        waits.swap(self.m_waits);
    }
    for (auto& [identifier, wait] : waits) {
        if (wait.timer)
            wait.timer->invalidate();
    }
}

void PULSEDelegateSynchronize::runTimeout(const std::string& identifier, std::uint64_t serial) {
    // A one-shot timer is spent once it fired. Only the wait it belongs to times out: a stale timer must
    // not make up an entry.
    std::lock_guard lock(m_mutex);
    auto it = m_waits.find(identifier);
    if (it != m_waits.end() && it->second.serial == serial)
        it->second.flag = kTimedOut;
}

} // namespace push
