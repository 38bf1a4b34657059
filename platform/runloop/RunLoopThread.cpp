#include "platform/runloop/RunLoopThread.h"

#include "platform/runloop/ThreadHooks.h"

#include <future>

#include <pthread.h>

namespace platform {

void setCurrentThreadName(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

std::string currentThreadName() {
    char buffer[32] = {};
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    return buffer;
}

RunLoopThread::RunLoopThread(std::string name) : m_name(std::move(name)) {
    std::promise<std::shared_ptr<RunLoop>> ready;
    auto loopFuture = ready.get_future();
    m_thread = std::thread([this, &ready] {
        setCurrentThreadName(m_name);
        enterPlatformThread();
        std::shared_ptr<RunLoop> loop = RunLoop::currentShared();
        // Ready once the loop turns: a virtual clock then finds the thread serving its timers.
        loop->perform([&ready, loop] { ready.set_value(loop); });
        loop->run();
    });
    m_loop = loopFuture.get();
}

RunLoopThread::~RunLoopThread() {
    requestExit();
    join();
}

void RunLoopThread::requestExit() {
    m_loop->stop();
}

void RunLoopThread::join() {
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace platform
