#include "push/PULSEThread.h"

#include <future>

#include "platform/runloop/RunLoopThread.h"
#include "platform/runloop/Timer.h"

#include <thread>

namespace push {

namespace {

struct DefaultInstances {
    std::mutex mutex;
    std::shared_ptr<PULSEThread> normal;
    std::shared_ptr<PULSEThread> alive;
};

DefaultInstances& defaultInstances() {
    static DefaultInstances instances;
    return instances;
}

} // namespace

std::shared_ptr<PULSEThread> PULSEThread::initWithRunLoopMode(PULSERunLoopMode mode) {
    return std::shared_ptr<PULSEThread>(new PULSEThread(mode));
}

PULSEThread::PULSEThread(PULSERunLoopMode mode) : m_mode(mode) {}

PULSEThread::~PULSEThread() {
    std::unique_ptr<platform::RunLoopThread> thread = std::move(m_runLoopThread);
    if (!thread)
        return;
    if (m_runLoop && m_runLoop->isCurrent()) {
        // The last owner let go on the thread itself, which cannot join itself.
        thread->requestExit();
        std::thread([thread = std::move(thread)]() mutable { thread.reset(); }).detach();
        return;
    }
    thread.reset(); // requests exit and joins
}

void PULSEThread::setThreadName(Name name) {
    Name copy = name ? std::make_shared<const std::string>(*name) : nullptr;
    {
        std::lock_guard lock(m_mutex);
        m_threadName = std::move(name);
    }
    setPlatformName(std::move(copy));
}

PULSEThread::Name PULSEThread::threadName() const {
    std::lock_guard lock(m_mutex);
    return m_threadName;
}

PULSEThread::Name PULSEThread::platformName() const {
    std::lock_guard lock(m_mutex);
    return m_platformName;
}

void PULSEThread::setPlatformName(Name name) {
    std::shared_ptr<platform::RunLoop> loop;
    {
        std::lock_guard lock(m_mutex);
        m_platformName = name;
        loop = m_runLoop;
    }
    if (loop)
        loop->perform([text = name ? *name : std::string()] { platform::setCurrentThreadName(text); });
}

bool PULSEThread::hasThreadName() const {
    std::lock_guard lock(m_mutex);
    return m_hasThreadName;
}

void PULSEThread::setHasThreadName(bool value) {
    std::lock_guard lock(m_mutex);
    m_hasThreadName = value;
}

bool PULSEThread::hasType() const {
    std::lock_guard lock(m_mutex);
    return m_hasType;
}

void PULSEThread::setHasType(bool value) {
    std::lock_guard lock(m_mutex);
    m_hasType = value;
}

std::uint64_t PULSEThread::type() const {
    std::lock_guard lock(m_mutex);
    return m_type;
}

void PULSEThread::setType(std::uint64_t value) {
    std::lock_guard lock(m_mutex);
    m_type = value;
}

std::unique_ptr<PULSEThreadBuilder> PULSEThread::builder(PULSERunLoopMode mode) {
    return std::make_unique<PULSEThreadBuilder>(mode);
}

std::unique_ptr<PULSEThreadBuilder> PULSEThread::builderWithPrototype(const std::shared_ptr<PULSEThread>& prototype) {
    auto builder = PULSEThread::builder(static_cast<PULSERunLoopMode>(prototype->type()));
    builder->mergeFrom(prototype);
    return builder;
}

std::unique_ptr<PULSEThreadBuilder> PULSEThread::toBuilder() {
    return builderWithPrototype(shared_from_this());
}

std::shared_ptr<PULSEThread> PULSEThread::defaultNormalModeInstance() {
    auto& defaults = defaultInstances();
    std::lock_guard lock(defaults.mutex);
    return defaults.normal;
}

std::shared_ptr<PULSEThread> PULSEThread::defaultAliveModeInstance() {
    auto& defaults = defaultInstances();
    std::lock_guard lock(defaults.mutex);
    return defaults.alive;
}

void PULSEThread::normalModeInitialize() {
    auto thread = initWithRunLoopMode(PULSERunLoopMode::Normal);
    auto& defaults = defaultInstances();
    std::lock_guard lock(defaults.mutex);
    defaults.normal = std::move(thread);
}

void PULSEThread::aliveModeinitialize() {
    auto thread = initWithRunLoopMode(PULSERunLoopMode::Alive);
    auto& defaults = defaultInstances();
    std::lock_guard lock(defaults.mutex);
    defaults.alive = std::move(thread);
}

void PULSEThread::resetDefaultInstancesForTesting() {
    std::shared_ptr<PULSEThread> normal;
    std::shared_ptr<PULSEThread> alive;
    {
        auto& defaults = defaultInstances();
        std::lock_guard lock(defaults.mutex);
        normal = std::move(defaults.normal);
        alive = std::move(defaults.alive);
    }
    // Released here, outside the lock (an alive one joins its thread).
}

bool PULSEThread::isEqual(const PULSEThread& other) const {
    if (this == &other)
        return true;
    return threadName() == other.threadName() && type() == other.type();
}

void PULSEThread::start() {
    std::unique_lock lock(m_mutex);
    if (m_started)
        return;
    m_started = true;
    const std::string name = m_platformName ? *m_platformName : std::string();
    if (m_mode == PULSERunLoopMode::Normal) {
        lock.unlock();
        // No entry of its own: the thread ends at once.
        std::thread([name] { platform::setCurrentThreadName(name); }).join();
        return;
    }
    m_runLoopThread = std::make_unique<platform::RunLoopThread>(name);
    m_runLoop = m_runLoopThread->sharedRunLoop();
    lock.unlock();
    clientThreadMain();
}

bool PULSEThread::isStarted() const {
    std::lock_guard lock(m_mutex);
    return m_started;
}

std::shared_ptr<platform::RunLoop> PULSEThread::runLoop() const {
    std::lock_guard lock(m_mutex);
    return m_runLoop;
}

void PULSEThread::clientThreadMain() {
    // The platform thread already turns its loop until told to exit; the keep-alive timer is the first
    // thing it runs, so the loop always has a source of its own.
    invokeMethodWithTarget([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        auto& loop = platform::RunLoop::current();
        self->m_keepAliveTimer = loop.scheduleRepeatingTimer(platform::Clock::current().now(),
                                                             platform::seconds(kKeepAliveInterval),
                                                             [](platform::Timer&) {});
    });
}

bool PULSEThread::invokeMethodWithTarget(std::function<void()> block) {
    auto loop = runLoop();
    if (!loop)
        return false;
    // The loop may take several posts in one turn: once the thread closed, the rest are dropped, as
    // they would be by a thread that has exited.
    loop->perform([weak = weak_from_this(), block = std::move(block)] {
        auto self = weak.lock();
        if (self && !self->m_closed.load(std::memory_order_acquire))
            block();
    });
    return true;
}

void PULSEThread::closeMySelf() {
    invokeMethodWithTarget([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->close();
    });
}

void PULSEThread::finish(std::chrono::milliseconds drainLimit) {
    std::unique_ptr<platform::RunLoopThread> thread;
    std::shared_ptr<platform::RunLoop> loop;
    {
        std::lock_guard lock(m_mutex);
        if (!m_runLoopThread || !m_runLoop || m_runLoop->isCurrent())
            return;
        thread = std::move(m_runLoopThread);
        loop = m_runLoop;
    }
    auto drained = std::make_shared<std::promise<void>>();
    std::future<void> drainedFuture = drained->get_future();
    loop->perform([weak = weak_from_this(), drained] {
        if (auto self = weak.lock())
            self->m_closed.store(true, std::memory_order_release);
        drained->set_value();
    });
    (void)drainedFuture.wait_for(drainLimit);
    // Each stop ends the innermost turn of the loop; a thread waiting inside a nested turn needs one
    // more for each level it is in.
    std::future<void> joined = std::async(std::launch::async, [&thread] { thread->join(); });
    do
        thread->requestExit();
    while (joined.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready);
}

void PULSEThread::close() {
    auto loop = runLoop();
    if (!loop || !loop->isCurrent())
        return;
    m_closed.store(true, std::memory_order_release);
    if (m_keepAliveTimer) {
        m_keepAliveTimer->invalidate();
        m_keepAliveTimer.reset();
    }
    loop->stop();
}

PULSEThreadBuilder::PULSEThreadBuilder(PULSERunLoopMode mode) : m_resultThread(PULSEThread::initWithRunLoopMode(mode)) {}

PULSEThreadBuilder& PULSEThreadBuilder::setThreadName(PULSEThread::Name name) {
    m_resultThread->setHasThreadName(true);
    m_resultThread->setThreadName(name);
    m_resultThread->setPlatformName(name ? std::make_shared<const std::string>(*name) : nullptr);
    return *this;
}

PULSEThreadBuilder& PULSEThreadBuilder::clearThreadName() {
    m_resultThread->setHasThreadName(false);
    m_resultThread->setThreadName(PULSEThread::Name());
    return *this;
}

std::shared_ptr<PULSEThread> PULSEThreadBuilder::build() {
    if (!checkInitialized())
        return nullptr;
    m_resultThread->start();
    return m_resultThread;
}

platform::Status PULSEThreadBuilder::checkInitialized() const {
    if (m_resultThread && !m_resultThread->isInitialized())
        return platform::Error("UninitializedMessage", 0);
    return {};
}

PULSEThreadBuilder& PULSEThreadBuilder::clear() {
    auto old = m_resultThread;
    old->closeMySelf();
    m_resultThread = PULSEThread::initWithRunLoopMode(static_cast<PULSERunLoopMode>(old->type()));
    return *this;
}

std::unique_ptr<PULSEThreadBuilder> PULSEThreadBuilder::clone() const {
    return PULSEThread::builderWithPrototype(m_resultThread);
}

std::shared_ptr<PULSEThread> PULSEThreadBuilder::defaultInstance() const {
    return m_resultThread->type() == 1 ? PULSEThread::defaultAliveModeInstance()
                                       : PULSEThread::defaultNormalModeInstance();
}

PULSEThreadBuilder& PULSEThreadBuilder::mergeFrom(const std::shared_ptr<PULSEThread>& thread) {
    if (!thread || thread == defaultInstance())
        return *this;
    if (thread->hasThreadName())
        setThreadName(thread->threadName());
    return *this;
}

} // namespace push
