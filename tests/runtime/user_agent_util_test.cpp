#include "runtime/HYBUserAgentUtil.h"

#include "platform/runloop/RunLoop.h"
#include "platform/system/Device.h"
#include "platform/system/Locale.h"
#include "platform/system/UserDefaults.h"

#include "support/LogCapture.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <vector>

using namespace runtime;

namespace {

// The lock is process-wide: every test starts and ends with it free, and reads tokens relative to the
// first one it is given.
class HYBUserAgentUtilTest : public hybtest::TempHomeTest {
protected:
    void SetUp() override { ASSERT_EQ(HYBUserAgentUtil::currentToken(), 0); }
    void TearDown() override {
        EXPECT_EQ(HYBUserAgentUtil::currentToken(), 0);
        EXPECT_EQ(HYBUserAgentUtil::waiterCount(), 0u);
        platform::Device::current().resetToDefaults();
        platform::Locale::resetToEnvironment();
    }
};

// Runs what waits on the main run loop.
void turnMainLoop() {
    while (platform::RunLoop::main().runOnce(std::chrono::milliseconds(0)) == platform::RunLoop::RunResult::Handled) {
    }
}

} // namespace

TEST_F(HYBUserAgentUtilTest, WaitersGetTheLockFirstComeFirstServedWithGrowingTokens) {
    hybtest::LogCapture log;
    std::int64_t first = 0, second = 0, third = 0;
    std::vector<std::string> order;
    HYBUserAgentUtil::acquireLock([&](std::int64_t token) { first = token; order.push_back("first"); });
    ASSERT_GT(first, 0); // ran at once: the lock was free
    HYBUserAgentUtil::acquireLock([&](std::int64_t token) { second = token; order.push_back("second"); });
    HYBUserAgentUtil::acquireLock([&](std::int64_t token) { third = token; order.push_back("third"); });
    EXPECT_EQ(order, std::vector<std::string>{"first"});
    EXPECT_EQ(HYBUserAgentUtil::waiterCount(), 2u);

    std::int64_t nothing = 0;
    HYBUserAgentUtil::releaseLock(nothing); // holds nothing: changes nothing
    EXPECT_EQ(HYBUserAgentUtil::currentToken(), first);

    const std::int64_t base = first;
    HYBUserAgentUtil::releaseLock(first);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, base + 1);
    EXPECT_TRUE(log.contains("Gave lock " + std::to_string(base + 1)));
    HYBUserAgentUtil::releaseLock(second);
    EXPECT_EQ(third, base + 2);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "third"}));
    HYBUserAgentUtil::releaseLock(third);
    EXPECT_EQ(HYBUserAgentUtil::currentToken(), 0);

    std::int64_t again = 0;
    HYBUserAgentUtil::acquireLock([&](std::int64_t token) { again = token; });
    EXPECT_EQ(again, base + 3); // tokens are never reused
    HYBUserAgentUtil::releaseLock(again);
}

TEST_F(HYBUserAgentUtilTest, AHolderWaitingAgainWithTheSameFieldKeepsItsNewToken) {
    std::int64_t field = 0;
    HYBUserAgentUtil::acquireLock([&](std::int64_t token) { field = token; });
    const std::int64_t firstToken = field;
    HYBUserAgentUtil::acquireLock([&](std::int64_t token) { field = token; }); // its next load
    HYBUserAgentUtil::releaseLock(field);
    EXPECT_EQ(field, firstToken + 1);
    EXPECT_EQ(HYBUserAgentUtil::currentToken(), field);
    HYBUserAgentUtil::releaseLock(field);
    EXPECT_EQ(field, 0);
}

TEST_F(HYBUserAgentUtilTest, TheHolderSetsTheProcessWideUserAgent) {
    std::int64_t token = 0;
    HYBUserAgentUtil::acquireLock([&](std::int64_t granted) {
        token = granted;
        HYBUserAgentUtil::setUserAgent("Mine (42)", granted);
    });
    EXPECT_EQ(platform::UserDefaults::standard().string("UserAgent"), "Mine (42)");
    EXPECT_TRUE(platform::UserDefaults::standard().persistentDomain()["UserAgent"].isNull()); // not persisted
    HYBUserAgentUtil::releaseLock(token);
}

TEST_F(HYBUserAgentUtilTest, ThePlatformUserAgentIsMeasuredOnceAndStoredForModelSystemAndLocale) {
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    platform::Locale::setCurrentIdentifier("de_DE");
    HYBUserAgentUtil::onAppLocaleDidChange(); // forget what an earlier test cached
    const std::string measured = HYBUserAgentUtil::originalUserAgent();
    EXPECT_FALSE(measured.empty());
    // Stored after the caller's turn (its page's load starts first); the cache answers meanwhile.
    EXPECT_FALSE(defaults.string(kHYBUserAgentKey));
    EXPECT_EQ(HYBUserAgentUtil::originalUserAgent(), measured);
    turnMainLoop();
    const std::string version = platform::Device::current().model() + " " + platform::Device::current().systemVersion() + " de_DE";
    EXPECT_EQ(defaults.string(kHYBUserAgentKey), measured);
    EXPECT_EQ(defaults.string(kHYBUserAgentVersionKey), version);

    // A stored agent for the same model, system and locale is reused without measuring.
    ASSERT_TRUE(defaults.set(kHYBUserAgentKey, "Stored Agent").ok());
    HYBUserAgentUtil::onAppLocaleDidChange();
    EXPECT_EQ(HYBUserAgentUtil::originalUserAgent(), "Stored Agent");

    // A locale change clears the cache, and the new version text makes it measure again.
    platform::Locale::setCurrentIdentifier("fr_FR");
    EXPECT_EQ(HYBUserAgentUtil::originalUserAgent(), measured);
    turnMainLoop();
    EXPECT_EQ(defaults.string(kHYBUserAgentKey), measured);
    EXPECT_EQ(defaults.string(kHYBUserAgentVersionKey),
              platform::Device::current().model() + " " + platform::Device::current().systemVersion() + " fr_FR");
}

TEST_F(HYBUserAgentUtilTest, AnAgentMeasuredForAHomeIsNotStoredInTheNextOne) {
    platform::Locale::setCurrentIdentifier("it_IT");
    HYBUserAgentUtil::onAppLocaleDidChange();
    const std::string measured = HYBUserAgentUtil::originalUserAgent();
    {
        hybtest::TempHome next;
        turnMainLoop();
        EXPECT_FALSE(platform::UserDefaults::standard().string(kHYBUserAgentKey));
        EXPECT_FALSE(platform::UserDefaults::standard().string(kHYBUserAgentVersionKey));
    }
    EXPECT_FALSE(platform::UserDefaults::standard().string(kHYBUserAgentKey)) << "the write was dropped, not kept for later";
    EXPECT_EQ(HYBUserAgentUtil::originalUserAgent(), measured);
}
