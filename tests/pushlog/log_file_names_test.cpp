#include "pushlog/LogFileNames.h"

#include <gtest/gtest.h>

using namespace pushlog;

TEST(LogFileNames, DatedNameInUTC) {
    // 2026-12-06 11:45:52 UTC
    EXPECT_EQ(logFileNameForDate("app", platform::Date{1796557552.4}), "app 2026-12-06 11-45.log");
    EXPECT_EQ(logFileDateText(platform::Date{0}), "1970-01-01 00-00");
}

TEST(LogFileNames, AttemptsInsertCounterBeforeExtension) {
    EXPECT_EQ(logFileNameForAttempt("app 2026-12-06 11-45.log", 1), "app 2026-12-06 11-45.log");
    EXPECT_EQ(logFileNameForAttempt("app 2026-12-06 11-45.log", 2), "app 2026-12-06 11-45 2.log");
    EXPECT_EQ(logFileNameForAttempt("app 2026-12-06 11-45.log", 3), "app 2026-12-06 11-45 3.log");
    EXPECT_EQ(logFileNameForAttempt("noext", 2), "noext 2");
}

TEST(LogFileNames, AcceptAndRejectList) {
    EXPECT_TRUE(isLogFileName("app 2026-12-06 11-45.log", "app"));
    EXPECT_TRUE(isLogFileName("app 2026-12-06 11-45 2.log", "app"));
    EXPECT_FALSE(isLogFileName("app 2026-12-06.log", "app"));         // middle part too short
    EXPECT_FALSE(isLogFileName("app 2026-12-06 11-45.txt", "app"));   // wrong ending
    EXPECT_FALSE(isLogFileName("other 2026-12-06 11-45.log", "app")); // wrong beginning
    EXPECT_FALSE(isLogFileName("app 2026-12-06 xx-45.log", "app"));   // date does not parse
    EXPECT_FALSE(isLogFileName("app 2026-13-06 11-45.log", "app"));   // no such month
    EXPECT_FALSE(isLogFileName("app 2026-12-06 11-45 2 3.log", "app")); // five pieces
    EXPECT_FALSE(isLogFileName("app", "app"));
    EXPECT_FALSE(isLogFileName(".log", ""));
    EXPECT_TRUE(isLogFileName(" 2026-12-06 11-45.log", ""));
}

TEST(LogFileNames, PruneByCount) {
    std::vector<LogFileFacts> six(6, LogFileFacts{10, true});
    six[0].archived = false;
    EXPECT_EQ(firstLogFileToDelete(six, 0, 5), std::optional<std::size_t>(5));
    EXPECT_EQ(firstLogFileToDelete(six, 0, 7), std::nullopt);
    std::vector<LogFileFacts> nine(9, LogFileFacts{10, true});
    EXPECT_EQ(firstLogFileToDelete(nine, 0, 7), std::optional<std::size_t>(7));
    EXPECT_EQ(firstLogFileToDelete(nine, 0, 0), std::nullopt); // both limits 0
}

TEST(LogFileNames, PruneByQuota) {
    const std::vector<LogFileFacts> files = {{0, false}, {1000, true}, {1500, true}, {800, true}, {900, true}};
    EXPECT_EQ(firstLogFileToDelete(files, 3000, 5), std::optional<std::size_t>(3));
    EXPECT_EQ(firstLogFileToDelete(files, 3000, 0), std::optional<std::size_t>(3));
    EXPECT_EQ(firstLogFileToDelete(files, 3000, 2), std::optional<std::size_t>(2));
    // The newest file alone over the quota: kept while unarchived, deleted when archived.
    const std::vector<LogFileFacts> big = {{5000, false}, {10, true}};
    EXPECT_EQ(firstLogFileToDelete(big, 3000, 5), std::optional<std::size_t>(1));
    const std::vector<LogFileFacts> bigArchived = {{5000, true}, {10, true}};
    EXPECT_EQ(firstLogFileToDelete(bigArchived, 3000, 5), std::optional<std::size_t>(0));
    EXPECT_EQ(firstLogFileToDelete({}, 3000, 5), std::nullopt);
}
