#include "platform/runloop/RunLoop.h"

#include "platform/core/Log.h"
#include "platform/runloop/RunLoopCore.h"


namespace platform {
namespace {

// A thread's own loop. Others may share it (RunLoopThread, currentShared()); the thread drops its
// reference when it ends.
struct ThreadLoop {
    std::shared_ptr<RunLoop> loop;
    ~ThreadLoop() {
        if (loop)
            g_main_context_pop_thread_default(loop->context());
    }
};

thread_local ThreadLoop t_loop;

} // namespace

RunLoop::RunLoop(GMainContext* context, bool isMain) : m_core(std::make_shared<RunLoopCore>(context, isMain)) {
    m_core->attach();
}

RunLoop::~RunLoop() = default;

bool RunLoop::isMainThread() {
    return mainShared()->isCurrent();
}

const std::shared_ptr<RunLoop>& RunLoop::mainShared() {
    // Lives for the whole process: work may be posted to it until the very end.
    static auto* loop = new std::shared_ptr<RunLoop>(new RunLoop(g_main_context_default(), true));
    return *loop;
}

RunLoop& RunLoop::main() {
    return *mainShared();
}

std::shared_ptr<RunLoop> RunLoop::currentShared() {
    if (isMainThread())
        return mainShared();
    if (!t_loop.loop) {
        GMainContext* context = g_main_context_new();
        // GLib-based work started on this thread (GIO) attaches to the thread's own loop.
        g_main_context_push_thread_default(context);
        t_loop.loop.reset(new RunLoop(context, false));
        g_main_context_unref(context);
    }
    return t_loop.loop;
}

RunLoop& RunLoop::current() {
    if (isMainThread())
        return main();
    if (!t_loop.loop)
        currentShared();
    return *t_loop.loop;
}

bool RunLoop::isCurrent() const {
    return m_core->isCurrent();
}

void RunLoop::failNotCurrent() const {
    internalInconsistency(isMain() ? "called off the main thread" : "called off the thread of its run loop");
}

bool RunLoop::isMain() const {
    return m_core->isMain();
}

void RunLoop::perform(std::function<void()> block) {
    m_core->perform(std::move(block));
}

void RunLoop::performAfterDelay(Duration delay, std::function<void()> block) {
    if (delay <= Duration::zero()) {
        m_core->perform(std::move(block));
        return;
    }
    m_core->addTimer(Clock::current().now() + delay, Duration::zero(), false,
                     [block = std::move(block)](Timer&) { block(); });
}

std::shared_ptr<Timer> RunLoop::scheduleTimer(Duration delay, std::function<void()> callback) {
    return m_core->addTimer(Clock::current().now() + delay, Duration::zero(), false,
                            [callback = std::move(callback)](Timer&) { callback(); });
}

std::shared_ptr<Timer> RunLoop::scheduleRepeatingTimer(Clock::TimePoint firstFire, Duration interval,
                                                       Timer::Callback callback) {
    return m_core->addTimer(firstFire, interval, true, std::move(callback));
}

std::shared_ptr<Timer> RunLoop::scheduleRepeatingTimer(Duration interval, Timer::Callback callback) {
    return m_core->addTimer(Clock::current().now() + interval, interval, true, std::move(callback));
}

std::unique_ptr<FdSource> RunLoop::addFdSource(int fd, FdSource::Callback onReadable, FdSource::Callback onWritable) {
    return std::unique_ptr<FdSource>(new FdSource(*this, fd, std::move(onReadable), std::move(onWritable)));
}

RunLoop::RunResult RunLoop::runOnce(Clock::TimePoint deadline) {
    bool stopped = false;
    if (m_core->runOnce(deadline, stopped))
        return RunResult::Handled;
    return stopped ? RunResult::Stopped : RunResult::TimedOut;
}

void RunLoop::run() {
    m_core->run();
}

void RunLoop::stop() {
    m_core->requestStop();
}

void RunLoop::wakeUp() {
    m_core->wakeUp();
}

void RunLoop::holdPerformsAndTimers() {
    assertIsCurrent();
    m_core->hold();
}

void RunLoop::releasePerformsAndTimers() {
    assertIsCurrent();
    m_core->release();
}

GMainContext* RunLoop::context() const {
    return m_core->context();
}

} // namespace platform
