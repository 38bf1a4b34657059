#include "RecordingLogger.h"

#include "platform/runloop/DispatchQueue.h"
#include "pushlog/PULSELog.h"
#include "support/EventWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <latch>
#include <thread>
#include <vector>

using namespace pushlog;
using pushlog::testing::logLine;
using pushlog::testing::RecordingLogger;

namespace {

class Core : public ::testing::Test {
protected:
    void SetUp() override { pushlog::testing::resetLoggers(); }
    void TearDown() override { pushlog::testing::resetLoggers(); }
};

void logEveryFlag() {
    for (std::uint64_t flag : {1, 2, 4, 8, 16})
        logLine(flag, ("flag " + std::to_string(flag)).c_str());
}

} // namespace

TEST_F(Core, LevelMasksFilterFlags) {
    auto off = std::make_shared<RecordingLogger>();
    auto info = std::make_shared<RecordingLogger>();
    auto all = std::make_shared<RecordingLogger>();
    auto verbose = std::make_shared<RecordingLogger>();
    auto onlyVerbose = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(off, PULSELogLevelOff);
    PULSELog::addLogger(info, PULSELogLevelInfo);
    PULSELog::addLogger(all);
    PULSELog::addLogger(verbose, PULSELogLevelVerbose);
    PULSELog::addLogger(onlyVerbose, 16);
    logEveryFlag();
    EXPECT_TRUE(off->lines().empty());
    EXPECT_EQ(info->lines(), (std::vector<std::string>{"flag 1", "flag 2", "flag 4"}));
    EXPECT_EQ(all->lines().size(), 5u);
    EXPECT_EQ(verbose->lines().size(), 5u);
    EXPECT_EQ(onlyVerbose->lines(), (std::vector<std::string>{"flag 16"}));
}

TEST_F(Core, LoggerAddedTwiceIsRegisteredOnceAtTheLastLevel) {
    auto logger = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(logger, PULSELogLevelError);
    PULSELog::addLogger(logger, PULSELogLevelWarning);
    logLine(PULSELogFlagWarning, "once");
    EXPECT_EQ(logger->lines(), (std::vector<std::string>{"once"}));
    EXPECT_EQ(PULSELog::allLoggers().size(), 1u);
    PULSELog::removeLogger(logger);
    logLine(PULSELogFlagError, "gone");
    EXPECT_EQ(logger->lines().size(), 1u);
    (void)logger->logFormatter(); // waits for the logger's queue, where willRemoveLogger ran
    EXPECT_EQ(logger->added(), 1);
    EXPECT_EQ(logger->removed(), 1);
}

TEST_F(Core, RemoveThenAddTakesEffectInOrder) {
    auto logger = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(logger, PULSELogLevelError);
    PULSELog::removeLogger(logger);
    PULSELog::addLogger(logger, PULSELogLevelInfo);
    logLine(PULSELogFlagInfo, "info");
    EXPECT_EQ(logger->lines(), (std::vector<std::string>{"info"}));
}

TEST_F(Core, NullLoggersAndFormatsAreIgnoredAndEmptyRegistryReturns) {
    PULSELog::addLogger(nullptr);
    PULSELog::removeLogger(nullptr);
    PULSELog::log(false, 31, 1, 0, __FILE__, __func__, __LINE__, platform::Value(), nullptr);
    logLine(PULSELogFlagError, "nobody listens");
    PULSELog::flushLog();
    EXPECT_TRUE(PULSELog::allLoggers().empty());
    auto stranger = std::make_shared<RecordingLogger>();
    PULSELog::removeLogger(stranger);
    PULSELog::flushLog();
    EXPECT_EQ(stranger->removed(), 0);
}

namespace {

// A logger that finishes its work only after a while of busy work, to show that a synchronous log call
// waits for it.
class SlowLogger : public PULSEAbstractLogger {
public:
    void logMessage(const PULSELogMessage&) override {
        for (int i = 0; i < 2000; ++i)
            std::this_thread::yield();
        finished.fetch_add(1);
    }
    std::atomic<int> finished{0};
};

} // namespace

TEST_F(Core, SynchronousLogReturnsAfterEveryLoggerWrote) {
    auto a = std::make_shared<SlowLogger>();
    auto b = std::make_shared<SlowLogger>();
    auto c = std::make_shared<SlowLogger>();
    PULSELog::addLogger(a);
    PULSELog::addLogger(b);
    PULSELog::addLogger(c, PULSELogLevelOff);
    for (int i = 1; i <= 20; ++i) {
        logLine(PULSELogFlagDebug, "slow");
        ASSERT_EQ(a->finished.load(), i);
        ASSERT_EQ(b->finished.load(), i);
    }
    EXPECT_EQ(c->finished.load(), 0);
}

TEST_F(Core, AsynchronousMessagesArriveInOrderAndFlushWaitsForThem) {
    auto a = std::make_shared<RecordingLogger>();
    auto b = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(a);
    PULSELog::addLogger(b);
    for (int i = 0; i < 300; ++i)
        PULSELog::log(true, 31, 8, 0, __FILE__, __func__, __LINE__, platform::Value(), "%d", i);
    PULSELog::flushLog();
    const auto lines = a->lines();
    ASSERT_EQ(lines.size(), 300u);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(lines[static_cast<std::size_t>(i)], std::to_string(i));
    EXPECT_EQ(b->lines(), lines);
    EXPECT_GE(a->flushes(), 1);
}

TEST_F(Core, AllLoggersInRegistrationOrder) {
    auto a = std::make_shared<RecordingLogger>();
    auto b = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(b);
    PULSELog::addLogger(a);
    const auto loggers = PULSELog::allLoggers();
    ASSERT_EQ(loggers.size(), 2u);
    EXPECT_EQ(loggers[0], b);
    EXPECT_EQ(loggers[1], a);
}

namespace {

class UpperFormatter : public PULSELogFormatter {
public:
    LogText formatLogMessage(const PULSELogMessage& message) override {
        std::string upper = message.message();
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return makeLogText(upper);
    }
    void didAddToLogger(PULSELogger&) override { ++attached; }
    void willRemoveFromLogger(PULSELogger&) override { --attached; }
    std::atomic<int> attached{0};
};

} // namespace

TEST_F(Core, FormatterChangeTakesItsPlaceAmongMessages) {
    auto logger = std::make_shared<RecordingLogger>();
    auto upper = std::make_shared<UpperFormatter>();
    PULSELog::addLogger(logger);
    PULSELog::log(true, 31, 8, 0, "f", "g", 1, platform::Value(), "before");
    logger->setLogFormatter(upper);
    PULSELog::log(true, 31, 8, 0, "f", "g", 1, platform::Value(), "after");
    PULSELog::flushLog();
    EXPECT_EQ(logger->lines(), (std::vector<std::string>{"before", "AFTER"}));
    EXPECT_EQ(logger->logFormatter(), upper);
    EXPECT_EQ(upper->attached.load(), 1);
    logger->setLogFormatter(nullptr);
    EXPECT_EQ(logger->logFormatter(), nullptr);
    EXPECT_EQ(upper->attached.load(), 0);
}

TEST_F(Core, MessageCarriesCallerSideFacts) {
    auto logger = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(logger);
    auto queue = platform::DispatchQueue::createSerial("test.caller");
    queue->sync([] { logLine(PULSELogFlagInfo, "from a queue"); });
    logLine(PULSELogFlagInfo, "from the test thread");
    const auto messages = logger->messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].queueLabel(), "test.caller");
    EXPECT_EQ(messages[0].fileName(), "RecordingLogger");
    EXPECT_EQ(messages[0].level(), 31u);
    EXPECT_FALSE(messages[0].threadID().empty());
    EXPECT_EQ(messages[1].message(), "from the test thread");
}

TEST_F(Core, LoggerKnowsWhereItRuns) {
    struct WhereLogger : PULSEAbstractLogger {
        void logMessage(const PULSELogMessage&) override {
            onLoggingQueue = isOnGlobalLoggingQueue();
            onOwnQueue = isOnInternalLoggerQueue();
        }
        std::atomic<bool> onLoggingQueue{false}, onOwnQueue{false};
    };
    auto logger = std::make_shared<WhereLogger>();
    EXPECT_FALSE(logger->isOnInternalLoggerQueue());
    EXPECT_FALSE(logger->isOnGlobalLoggingQueue());
    PULSELog::addLogger(logger);
    logLine(PULSELogFlagError, "where");
    EXPECT_TRUE(logger->onOwnQueue.load());
    EXPECT_EQ(logger->loggerQueue()->label(), "PULSEAbstractLogger");
}

TEST_F(Core, MessagesNoLoggerTakesCostNoQueueWork) {
    const auto& queue = PULSELog::loggingQueue();
    auto errors = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(errors, PULSELogLevelError);
    // Taken at once: the registration is still on its way, yet a message logged after it must reach it.
    PULSELog::log(true, 31, PULSELogFlagError, 0, "f", "g", 1, platform::Value(), "early");
    PULSELog::flushLog();
    EXPECT_EQ(errors->lines(), (std::vector<std::string>{"early"}));

    const std::uint64_t before = queue->submissionCount();
    logLine(PULSELogFlagDebug, "nobody");
    PULSELog::log(true, 31, PULSELogFlagVerbose, 0, "f", "g", 1, platform::Value(), "nobody");
    PULSELog::log(true, "nobody", 31, PULSELogFlagInfo, 0, "f", "g", 1, platform::Value());
    EXPECT_EQ(queue->submissionCount(), before);

    // Lowering a level, or removing the logger, lowers what is taken once that change has run.
    PULSELog::addLogger(errors, PULSELogLevelOff);
    PULSELog::flushLog();
    const std::uint64_t lowered = queue->submissionCount();
    logLine(PULSELogFlagError, "nobody");
    EXPECT_EQ(queue->submissionCount(), lowered);
    EXPECT_EQ(errors->lines().size(), 1u);
}

TEST_F(Core, ASynchronousMessageComesAfterTheAsynchronousOnesBeforeIt) {
    auto all = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(all);
    std::vector<std::string> expected;
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 7; ++i) {
            const std::string text = "async " + std::to_string(round) + "." + std::to_string(i);
            PULSELog::log(true, 31, PULSELogFlagInfo, 0, "f", "g", 1, platform::Value(), "%s", text.c_str());
            expected.push_back(text);
        }
        const std::string text = "sync " + std::to_string(round);
        PULSELog::log(false, 31, PULSELogFlagError, 0, "f", "g", 1, platform::Value(), "%s", text.c_str());
        expected.push_back(text);
        // Synchronous: everything before it, and it, has arrived when the call returns.
        ASSERT_EQ(all->lines().size(), expected.size()) << round;
    }
    EXPECT_EQ(all->lines(), expected);
}

// A thread's scope holds its asynchronous lines until it ends, or until the thread queues anything else.
TEST_F(Core, ABatchScopeHoldsItsThreadsLinesAndKeepsTheirOrder) {
    auto all = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(all);
    const auto info = [](const std::string& text) {
        PULSELog::log(true, 31, PULSELogFlagInfo, 0, "f", "g", 1, platform::Value(), "%s", text.c_str());
    };
    {
        const PULSELogBatchScope outer;
        info("held 1");
        {
            const PULSELogBatchScope inner;
            info("held 2");
        }
        // Still held: another thread's flush does not wait for them.
        std::thread([] { PULSELog::flushLog(); }).join();
        EXPECT_TRUE(all->lines().empty());
        // A synchronous line of the same thread comes after them.
        PULSELog::log(false, 31, PULSELogFlagError, 0, "f", "g", 1, platform::Value(), "%s", "error 3");
        EXPECT_EQ(all->lines(), (std::vector<std::string>{"held 1", "held 2", "error 3"}));
        info("held 4");
        // A setting change goes after the line before it.
        all->setLogFormatter(std::make_shared<UpperFormatter>());
        info("held 5");
        for (int i = 0; i < 300; ++i) // past 256 they go on by themselves
            info("many");
    }
    PULSELog::flushLog();
    const auto lines = all->lines();
    ASSERT_EQ(lines.size(), 305u);
    EXPECT_EQ(lines[3], "held 4");
    EXPECT_EQ(lines[4], "HELD 5");
    EXPECT_EQ(lines[304], "MANY");
}

// A deferred text is made once, by the first logger that reads it, and only when some logger takes it.
TEST_F(Core, ADeferredTextIsMadeOnceByALogger) {
    std::atomic<int> made{0};
    const auto maker = [&made] {
        ++made;
        return std::string("made later");
    };
    PULSELog::logDeferred(true, 31, PULSELogFlagDebug, 0, "f", "g", 1, platform::Value(), maker);
    PULSELog::flushLog();
    EXPECT_EQ(made.load(), 0); // nobody takes debug lines: nothing made, nothing queued

    auto first = std::make_shared<RecordingLogger>();
    auto second = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(first);
    PULSELog::addLogger(second);
    for (int i = 0; i < 20; ++i)
        PULSELog::logDeferred(true, 31, PULSELogFlagDebug, 0, "f", "g", 1, platform::Value(), maker);
    PULSELog::flushLog();
    EXPECT_EQ(made.load(), 20);
    EXPECT_EQ(first->lines(), std::vector<std::string>(20, "made later"));
    EXPECT_EQ(second->lines(), std::vector<std::string>(20, "made later"));
    // A logger that kept the messages still reads their text once the core is done with them.
    PULSELog::log(false, 31, PULSELogFlagError, 0, "f", "g", 1, platform::Value(), "%s", "after");
    for (const PULSELogMessage& message : first->messages())
        if (message.flag() == PULSELogFlagDebug) {
            EXPECT_EQ(message.message(), "made later");
        }
}

TEST_F(Core, AsynchronousBatchesKeepTheirPlaceAmongFormatterChangesAndLevels) {
    auto all = std::make_shared<RecordingLogger>();
    auto errors = std::make_shared<RecordingLogger>();
    auto upper = std::make_shared<UpperFormatter>();
    PULSELog::addLogger(all);
    PULSELog::addLogger(errors, PULSELogLevelError);
    std::vector<std::string> expectedAll, expectedErrors;
    bool shouting = false;
    for (int i = 0; i < 400; ++i) {
        if (i % 37 == 0) {
            shouting = !shouting;
            all->setLogFormatter(shouting ? std::shared_ptr<PULSELogFormatter>(upper) : nullptr);
        }
        const std::uint64_t flag = i % 3 == 0 ? PULSELogFlagError : PULSELogFlagDebug;
        const std::string text = "line " + std::to_string(i) + " x";
        PULSELog::log(true, 31, flag, 0, "f", "g", 1, platform::Value(), "%s", text.c_str());
        std::string shown = text;
        if (shouting)
            for (char& c : shown)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        expectedAll.push_back(shown);
        if (flag == PULSELogFlagError)
            expectedErrors.push_back(text);
    }
    PULSELog::flushLog();
    EXPECT_EQ(all->lines(), expectedAll);
    EXPECT_EQ(errors->lines(), expectedErrors);
}

namespace {

// Holds its first message until the caller has logged a given number of messages, and records how many
// messages the caller had logged but the logger not yet handled whenever it starts on a batch.
class GateLogger : public PULSEAbstractLogger {
public:
    explicit GateLogger(std::atomic<int>& logged) : m_logged(logged) {}
    void logMessages(std::span<const PULSELogMessage> messages, std::uint64_t level) override {
        if (handled == 0)
            for (int seen = m_logged.load(); seen < 1000; seen = m_logged.load())
                m_logged.wait(seen);
        maxWaiting = std::max(maxWaiting.load(), m_logged.load() - handled);
        PULSEAbstractLogger::logMessages(messages, level);
    }
    void logMessage(const PULSELogMessage&) override { ++handled; }
    int handled = 0; // on the logger's queue
    std::atomic<int> maxWaiting{0};

private:
    std::atomic<int>& m_logged;
};

} // namespace

TEST_F(Core, AtMostAThousandMessagesWait) {
    std::atomic<int> logged{0};
    auto logger = std::make_shared<GateLogger>(logged);
    PULSELog::addLogger(logger);
    std::thread caller([&] {
        for (int i = 0; i < 3000; ++i) {
            PULSELog::log(true, 31, PULSELogFlagInfo, 0, "f", "g", 1, platform::Value(), "%d", i);
            logged.fetch_add(1);
            logged.notify_all();
        }
    });
    caller.join();
    PULSELog::flushLog();
    // The logger held the first message until 1000 had been logged; the 1001st caller could not return
    // before that message was delivered, so exactly 1000 were waiting then, and never more.
    EXPECT_EQ(logger->maxWaiting.load(), 1000);
    EXPECT_EQ(logger->handled, 3000);
}

namespace {

// Holds every delivery until it is opened.
class ClosedLogger : public PULSEAbstractLogger {
public:
    explicit ClosedLogger(std::shared_future<void> opened) : m_opened(std::move(opened)) {}
    void logMessages(std::span<const PULSELogMessage> messages, std::uint64_t level) override {
        m_opened.wait();
        PULSEAbstractLogger::logMessages(messages, level);
    }
    void logMessage(const PULSELogMessage&) override { ++handled; }
    int handled = 0; // on the logger's queue

private:
    std::shared_future<void> m_opened;
};

} // namespace

// Threads whose batch scopes hold more lines between them than the bound all get through: none waits at
// the bound holding units of lines it has not queued.
TEST_F(Core, BatchScopesWaitingAtTheBoundTogetherAllGoOn) {
    std::promise<void> open;
    auto logger = std::make_shared<ClosedLogger>(open.get_future().share());
    PULSELog::addLogger(logger);
    const auto info = [] { PULSELog::log(true, 31, PULSELogFlagInfo, 0, "f", "g", 1, platform::Value(), "%s", "line"); };
    info(); // its delivery waits, holding one unit
    constexpr int kThreads = 8;
    constexpr int kLines = 255; // 2,040 lines for 999 units, each thread's queued together as its scope ends
    std::atomic<int> finished{0};
    std::latch together(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            {
                const PULSELogBatchScope scope;
                for (int i = 0; i < kLines; ++i)
                    info();
                together.arrive_and_wait();
            }
            finished.fetch_add(1);
        });
    // They reach the bound: each has either queued all its lines or waits for room.
    EXPECT_TRUE(hybtest::pollUntil([&] { return finished.load() + PULSELog::callersWaitingForRoom() == kThreads; }));
    EXPECT_LT(finished.load(), kThreads);
    open.set_value();
    if (!hybtest::pollUntil([&] { return finished.load() == kThreads; })) {
        ADD_FAILURE() << "threads still waiting at the bound: " << kThreads - finished.load();
        std::abort(); // they can never be joined
    }
    for (std::thread& thread : threads)
        thread.join();
    PULSELog::flushLog();
    EXPECT_EQ(logger->handled, 1 + kThreads * kLines);
}

TEST(PerClassLevels, RegistryDecidesMembership) {
    static std::uint64_t level = 7;
    PULSELog::registerClass({"TestClassWithLevel", [] { return level; }, [](std::uint64_t l) { level = l; }});
    PULSELog::registerClass({"TestClassWithoutSetter", [] { return std::uint64_t{3}; }, nullptr});
    EXPECT_EQ(PULSELog::levelForClassWithName("TestClassWithLevel"), 7u);
    PULSELog::setLevel(15, "TestClassWithLevel");
    EXPECT_EQ(level, 15u);
    EXPECT_EQ(PULSELog::levelForClassWithName("TestClassWithoutSetter"), PULSELogLevelAll);
    EXPECT_EQ(PULSELog::levelForClassWithName("NoSuchClass"), PULSELogLevelAll);
    PULSELog::setLevel(1, "NoSuchClass");
    const auto names = PULSELog::registeredClassNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "TestClassWithLevel"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "TestClassWithoutSetter"), 0);
}
