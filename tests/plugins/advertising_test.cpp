// The AdvertisingIdentifier service: the identifiers and the tracking choice, the zero identifier, and
// platforms without the advertising-identifier class.
#include "PluginFixture.h"

#include "platform/system/Device.h"
#include "plugins/AppleAdvertising.h"

namespace {

using pluginstest::PluginTest;
using runtime::HYBCommandStatus;

constexpr const char* kIdentifier = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kVendor = "0F8FAD5B-D9CB-469F-A165-70867728950E";

class AdvertisingTest : public PluginTest<plugins::AppleAdvertising> {
protected:
    AdvertisingTest() {
        m_log->backgroundRunsOnQueue = true;
        platform::Device::current().setIdentifierForVendor(kVendor);
    }
    // Runs one action and returns its answer (from the background runner).
    pluginstest::Answer ask(const std::string& action) {
        const std::size_t before = answers().size();
        call(action);
        EXPECT_TRUE(waitForAnswers(before + 1)) << action;
        if (answers().size() <= before)
            return {};
        EXPECT_FALSE(answers().back().onMainThread);
        EXPECT_FALSE(answers().back().result.keepCallback());
        return answers().back();
    }
};

TEST_F(AdvertisingTest, TheIdentifiersAndTheTrackingChoice) {
    ASSERT_TRUE(platform::AdvertisingIdentifierManager::shared().setAdvertisingIdentifier(kIdentifier));
    platform::AdvertisingIdentifierManager::shared().setAdvertisingTrackingEnabled(false);
    EXPECT_EQ(ask("getIDFA").message(), platform::Value(kIdentifier));
    EXPECT_EQ(ask("getIDFV").message(), platform::Value(kVendor));
    pluginstest::Answer tracking = ask("isTrackingEnabled");
    EXPECT_EQ(tracking.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(tracking.message(), platform::Value(false));
    pluginstest::Answer all = ask("getTracking");
    EXPECT_EQ(all.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(all.message(), platform::Value(platform::Dictionary{{"idfa", kIdentifier}, {"idfv", kVendor}, {"trackingEnabled", false}}));
}

TEST_F(AdvertisingTest, TheZeroIdentifierIsNoIdentifier) {
    ASSERT_TRUE(platform::AdvertisingIdentifierManager::shared().setAdvertisingIdentifier(platform::kZeroAdvertisingIdentifier));
    pluginstest::Answer idfa = ask("getIDFA");
    EXPECT_EQ(idfa.status(), HYBCommandStatus::Error);
    EXPECT_TRUE(idfa.message().isNull());
    pluginstest::Answer all = ask("getTracking");
    EXPECT_EQ(all.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(all.message().dictionaryOrEmpty()["idfa"], platform::Value(""));
    EXPECT_EQ(all.message().dictionaryOrEmpty()["idfv"], platform::Value(kVendor));
    EXPECT_EQ(all.message().dictionaryOrEmpty()["trackingEnabled"], platform::Value(true));
}

TEST_F(AdvertisingTest, WithoutTheAdvertisingClassEveryActionFails) {
    ASSERT_TRUE(platform::PlatformClasses::setPresent(platform::kAdvertisingIdentifierManagerClassName, false));
    for (const char* action : {"getIDFA", "getIDFV", "isTrackingEnabled", "getTracking"}) {
        pluginstest::Answer answer = ask(action);
        EXPECT_EQ(answer.status(), HYBCommandStatus::Error) << action;
        EXPECT_TRUE(answer.message().isNull()) << action;
    }
}

} // namespace
