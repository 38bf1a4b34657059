#include "platform/runloop/OperationQueue.h"

#include "platform/core/Log.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"

#include <algorithm>

namespace platform {
namespace {

thread_local const OperationQueue* t_runningQueue = nullptr;

} // namespace

OperationQueue::OperationQueue(std::string name, std::shared_ptr<DispatchQueue> target, int maxConcurrent)
    : m_name(std::move(name)), m_target(std::move(target)), m_maxConcurrent(maxConcurrent) {}

std::shared_ptr<OperationQueue> OperationQueue::create(std::string name) {
    return std::shared_ptr<OperationQueue>(
        new OperationQueue(std::move(name), DispatchQueue::global(), activeProcessorCount()));
}

const std::shared_ptr<OperationQueue>& OperationQueue::main() {
    static auto* queue = new std::shared_ptr<OperationQueue>(new OperationQueue("main", DispatchQueue::main(), 1));
    return *queue;
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    if (m_target->kind() == DispatchQueue::Kind::Main)
        return; // the main queue runs one at a time
    std::lock_guard lock(m_mutex);
    m_maxConcurrent = count > 0 ? count : activeProcessorCount();
    startReadyLocked();
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(m_mutex);
    return m_maxConcurrent;
}

std::shared_ptr<Operation> OperationQueue::addOperation(std::function<void()> block) {
    auto operation = std::make_shared<Operation>([block = std::move(block)](Operation&) { block(); });
    addOperation(operation);
    return operation;
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
    std::lock_guard lock(m_mutex);
    m_waiting.push_back(std::move(operation));
    startReadyLocked();
}

void OperationQueue::startReadyLocked() {
    while (!m_waiting.empty() && static_cast<int>(m_running.size()) < m_maxConcurrent) {
        auto operation = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_running.push_back(operation);
        m_target->async([self = shared_from_this(), operation] { self->run(operation); });
    }
}

void OperationQueue::run(const std::shared_ptr<Operation>& operation) {
    if (!operation->isCancelled() && operation->m_block) {
        const OperationQueue* outer = t_runningQueue;
        t_runningQueue = this;
        operation->m_block(*operation);
        t_runningQueue = outer;
    }
    operation->m_block = nullptr;
    operation->m_finished = true;
    std::lock_guard lock(m_mutex);
    m_running.erase(std::find(m_running.begin(), m_running.end(), operation));
    startReadyLocked();
    if (m_running.empty() && m_waiting.empty())
        m_idle.notify_all();
}

void OperationQueue::cancelAllOperations() {
    std::lock_guard lock(m_mutex);
    for (auto& operation : m_waiting)
        operation->cancel();
    for (auto& operation : m_running)
        operation->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    if (t_runningQueue == this || (m_target->kind() == DispatchQueue::Kind::Main && RunLoop::isMainThread()))
        internalInconsistency("waiting for operation queue \"" + m_name + "\" from its own thread would never return");
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [&] { return m_running.empty() && m_waiting.empty(); });
}

std::size_t OperationQueue::operationCount() const {
    std::lock_guard lock(m_mutex);
    return m_running.size() + m_waiting.size();
}

std::function<void(std::function<void()>)> OperationQueue::asDeliveryTarget() {
    return [self = shared_from_this()](std::function<void()> work) { self->addOperation(std::move(work)); };
}

} // namespace platform
