#include "platform/runloop/DispatchQueue.h"
#include "pushlog/PULSEContextBlacklistFilterLogFormatter.h"
#include "pushlog/PULSEContextWhitelistFilterLogFormatter.h"
#include "pushlog/PULSEDispatchQueueLogFormatter.h"
#include "pushlog/PULSEMultiFormatter.h"

#include <gtest/gtest.h>

#include <optional>
#include <pthread.h>
#include <thread>

using namespace pushlog;

namespace {

PULSELogMessage messageWithContext(std::int64_t context, const char* text = "text") {
    return PULSELogMessage(text, 31, 8, context, "f", "g", 1, {}, 0, platform::Date{0});
}

// A message built on a queue of the given label by a thread of the given name (none: unnamed).
PULSELogMessage messageOnQueue(const std::string& label, std::optional<std::string> threadName) {
    std::optional<PULSELogMessage> made;
    std::thread worker([&] {
        pthread_setname_np(pthread_self(), threadName ? threadName->c_str() : "");
        if (label.empty()) {
            made.emplace(messageWithContext(0));
            return;
        }
        auto queue = platform::DispatchQueue::createSerial(label);
        queue->sync([&] { made.emplace(messageWithContext(0)); });
    });
    worker.join();
    return *made;
}

} // namespace

TEST(LogMessage, AThreadKeepsTheNameItHadAtItsFirstMessage) {
    std::optional<PULSELogMessage> first, second;
    std::thread worker([&] {
        pthread_setname_np(pthread_self(), "first name");
        first.emplace(messageWithContext(0));
        pthread_setname_np(pthread_self(), "renamed");
        second.emplace(messageWithContext(0));
    });
    worker.join();
    EXPECT_EQ(first->threadName(), std::optional<std::string>("first name"));
    EXPECT_EQ(second->threadName(), std::optional<std::string>("first name"));
}

TEST(QueueLabelFormatter, LabelsReplacementsAndThreads) {
    PULSEDispatchQueueLogFormatter formatter;
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(messageOnQueue("com.apple.main-thread", std::nullopt)), "main");
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(messageOnQueue("my.queue", "worker")), "my.queue");
    // A shared system queue says nothing: the thread's name, else its id.
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(messageOnQueue("com.apple.root.default-priority", "worker")),
              "worker");
    const PULSELogMessage unnamed = messageOnQueue("com.apple.root.high-priority", std::nullopt);
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(unnamed), unnamed.threadID());
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(messageOnQueue("", "worker")), "worker");

    formatter.setReplacementString("mine", "my.queue");
    EXPECT_EQ(formatter.replacementStringForQueueLabel("my.queue"), std::optional<std::string>("mine"));
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(messageOnQueue("my.queue", std::nullopt)), "mine");
    formatter.setReplacementString(std::nullopt, "my.queue");
    EXPECT_EQ(formatter.replacementStringForQueueLabel("my.queue"), std::nullopt);
}

TEST(QueueLabelFormatter, LengthsAndLine) {
    PULSEDispatchQueueLogFormatter formatter;
    const PULSELogMessage onMain = messageOnQueue("com.apple.main-thread", std::nullopt);
    formatter.setMinQueueLength(8);
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(onMain), "main    ");
    formatter.setMaxQueueLength(3);
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(onMain), "mai");
    formatter.setMinQueueLength(0);
    formatter.setMaxQueueLength(0);
    setenv("TZ", "UTC", 1);
    tzset();
    const PULSELogMessage dated = onMain.withMessage(makeLogText("hi"));
    const PULSELogMessage at("hi", 31, 8, 0, "f", "g", 1, {}, 0, platform::Date{1462353302.117});
    EXPECT_EQ(formatter.stringFromDate(at.timestamp()), "2016-05-04 09:15:02:117");
    const std::string line = *formatter.formatLogMessage(dated);
    EXPECT_EQ(line, "1970-01-01 00:00:00:000 [main] hi");
}

TEST(ContextFilters, WhitelistAndBlacklist) {
    PULSEContextWhitelistFilterLogFormatter whitelist;
    PULSEContextBlacklistFilterLogFormatter blacklist;
    const PULSELogMessage five = messageWithContext(5);
    EXPECT_EQ(whitelist.formatLogMessage(five), nullptr);            // empty whitelist drops everything
    EXPECT_EQ(blacklist.formatLogMessage(five), five.messageText()); // empty blacklist passes everything
    whitelist.addToWhitelist(5);
    blacklist.addToBlacklist(5);
    EXPECT_EQ(whitelist.formatLogMessage(five), five.messageText());
    EXPECT_EQ(blacklist.formatLogMessage(five), nullptr);
    EXPECT_TRUE(whitelist.isOnWhitelist(5));
    EXPECT_EQ(whitelist.whitelist(), std::vector<std::uint64_t>{5});
    // Contexts compare as unsigned numbers: -1 is the largest.
    whitelist.addToWhitelist(static_cast<std::uint64_t>(-1));
    EXPECT_NE(whitelist.formatLogMessage(messageWithContext(-1)), nullptr);
    whitelist.removeFromWhitelist(5);
    blacklist.removeFromBlacklist(5);
    EXPECT_EQ(whitelist.formatLogMessage(five), nullptr);
    EXPECT_TRUE(blacklist.blacklist().empty());
}

TEST(MultiFormatter, ChainsAndStopsAtNull) {
    auto multi = std::make_shared<PULSEMultiFormatter>();
    const PULSELogMessage message = messageWithContext(7, "chained");
    EXPECT_EQ(multi->formatLogMessage(message), message.messageText()); // no formatters: the text itself

    auto whitelist = std::make_shared<PULSEContextWhitelistFilterLogFormatter>();
    whitelist->addToWhitelist(7);
    auto queueLabel = std::make_shared<PULSEDispatchQueueLogFormatter>();
    multi->addFormatter(whitelist);
    multi->addFormatter(queueLabel);
    const LogText line = multi->formatLogMessage(message);
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->ends_with("] chained")) << *line;
    EXPECT_EQ(multi->formatLogMessage(messageWithContext(8)), nullptr);

    multi->addFormatter(queueLabel);
    EXPECT_EQ(multi->formatters().size(), 3u);
    multi->removeFormatter(queueLabel); // every occurrence
    EXPECT_EQ(multi->formatters().size(), 1u);
    EXPECT_FALSE(multi->isFormattingWithFormatter(queueLabel));
    EXPECT_TRUE(multi->isFormattingWithFormatter(whitelist));
    multi->removeAllFormatters();
    EXPECT_TRUE(multi->formatters().empty());
}

TEST(MultiFormatter, EachStepSeesThePreviousLine) {
    struct Append : PULSELogFormatter {
        explicit Append(std::string s) : suffix(std::move(s)) {}
        LogText formatLogMessage(const PULSELogMessage& m) override { return makeLogText(m.message() + suffix); }
        std::string suffix;
    };
    auto multi = std::make_shared<PULSEMultiFormatter>();
    multi->addFormatter(std::make_shared<Append>("-a"));
    multi->addFormatter(std::make_shared<Append>("-b"));
    EXPECT_EQ(*multi->formatLogMessage(messageWithContext(0, "x")), "x-a-b");
}
