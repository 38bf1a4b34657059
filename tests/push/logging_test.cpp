// How the push client's lines reach the loggers: errors and warnings wait until every logger has them;
// info and debug lines are handed over and the caller goes on, in order with the others.
#include "PushTest.h"

#include "push/PULSELogging.h"

#include "pushlog/PULSEAbstractLogger.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// A logger that holds every message until it is opened.
class GateLogger : public pushlog::PULSEAbstractLogger {
public:
    GateLogger() : PULSEAbstractLogger("test.gate") {}
    void logMessage(const pushlog::PULSELogMessage& message) override {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_open; });
        m_texts.push_back(message.message());
    }
    void open() {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }
    std::vector<std::string> texts() const {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
    std::vector<std::string> m_texts;
};

class PushLogging : public pushtest::PushTest {};

TEST_F(PushLogging, ErrorsWaitForTheLoggersAndDebugLinesDoNot) {
    auto gate = std::make_shared<GateLogger>();
    pushlog::PULSELog::addLogger(gate);
    // The logger is shut: a debug and an info line are handed over all the same.
    PULSE_LOG_DEBUG("debug %d", 1);
    PULSE_LOG_INFO("info %d", 2);
    std::atomic<bool> errorReturned{false};
    std::thread failing([&] {
        PULSE_LOG_ERROR("error %d", 3);
        errorReturned = true;
    });
    // The error waits behind the lines before it and its own delivery; nothing arrives while shut.
    EXPECT_FALSE(errorReturned.load());
    EXPECT_TRUE(gate->texts().empty());
    gate->open();
    failing.join();
    EXPECT_TRUE(errorReturned.load());
    EXPECT_EQ(gate->texts(), (std::vector<std::string>{"debug 1", "info 2", "error 3"}));
    PULSE_LOG_WARN("warning %d", 4);
    EXPECT_EQ(gate->texts().back(), "warning 4"); // synchronous: there when the call returns
    pushlog::PULSELog::removeLogger(gate);
    pushlog::PULSELog::flushLog();
}

} // namespace
