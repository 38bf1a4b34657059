#include "StatsTest.h"

#include "stats/MXStatHelper.h"
#include "stats/MXStatKeyChain.h"
#include "stats/MXStatPasteboard.h"
#include "stats/MXStatSharedUDID.h"

#include "platform/device/InterfaceAddresses.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/system/Locale.h"
#include "platform/system/UserDefaults.h"

#include <net/if.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>

using namespace stats;
using namespace statstest;

namespace {

class HelperTest : public StatsTest {
protected:
    std::uint32_t now() const { return static_cast<std::uint32_t>(m_clock.wallNow().secondsSince1970); }
};

// Local days follow TZ while alive.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ"))
            m_previous = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (m_previous)
            ::setenv("TZ", m_previous->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> m_previous;
};

TEST_F(HelperTest, CompanyDomainDropsTheLastComponent) {
    EXPECT_EQ(MXStatPasteboard::companyDomainOf("a.b.c"), "a.b");
    EXPECT_EQ(MXStatPasteboard::companyDomainOf("abc"), "abc");
    EXPECT_EQ(MXStatPasteboard::companyDomainOf("a.b."), "a.b");
    EXPECT_EQ(MXStatPasteboard::companyDomainOf("a.a"), "a");
    EXPECT_EQ(MXStatPasteboard::companyDomainOf(".abc"), "");
    EXPECT_EQ(MXStatPasteboard::getCompanyDomain(), "org.example");

    writeInfoPlist(m_home, {{"CFBundleIdentifier", 42}});
    EXPECT_EQ(MXStatPasteboard::getCompanyDomain(), "");
    EXPECT_FALSE(MXStatPasteboard::set("k", "v"));
    EXPECT_EQ(MXStatPasteboard::get("k"), std::nullopt);
    writeInfoPlist(m_home, {});
    EXPECT_EQ(MXStatPasteboard::getCompanyDomain(), "");
}

TEST_F(HelperTest, EnvironmentGathersTheDeviceFacts) {
    platform::Device::current().setMachine("iPhone9,1");
    platform::UserDefaults::standard().set("AppleLanguages", platform::Array{"zh-Hans", "en"}).ok();
    platform::TimeZone::setSystemName("Asia/Shanghai");
    MXStatHelper helper;
    const MXStatEnv& env = helper.getEnv();
    EXPECT_EQ(env.platform, "iOS");
    EXPECT_EQ(env.os_version, "9.0");
    EXPECT_EQ(env.language, "zh-Hans");
    EXPECT_EQ(env.resolution, "750x1334");
    EXPECT_EQ(env.mccmnc, "");
    EXPECT_EQ(env.timezone, "Asia/Shanghai");
    EXPECT_EQ(env.app_version, "2.1");
    EXPECT_EQ(env.sdk_version, "1.4.6");
    EXPECT_EQ(env.devicename, "iPhone9,1");
    EXPECT_EQ(env.modulename, "iPhone");
    EXPECT_EQ(env.ifv, std::optional<std::string>(platform::Device::current().identifierForVendor()));
    EXPECT_EQ(env.ifa, std::nullopt);
    EXPECT_EQ(env.wf, std::nullopt);
    // The device id came from the SharedUDID protocol and is now kept in the company's keychain item.
    EXPECT_EQ(env.deviceid.size(), 40u);
    EXPECT_EQ(MXStatHelper::getSharedUDID(), std::optional<std::string>(env.deviceid));
}

TEST_F(HelperTest, EnvironmentFallsBackForMissingOrMistypedFacts) {
    platform::Device::current().setSystemVersion("5.1");
    platform::UserDefaults::standard().set("AppleLanguages", platform::Array{1, 2}).ok();
    platform::Locale::setCurrentIdentifier("de_DE");
    writeInfoPlist(m_home, {{"CFBundleIdentifier", "org.example.stats"}, {"CFBundleShortVersionString", 3},
                            {"CFBundleVersion", "301"}});
    MXStatEnv env = MXStatEnv::collectDeviceFacts();
    EXPECT_EQ(env.language, "de-DE");
    EXPECT_EQ(env.app_version, "301");
    EXPECT_EQ(env.ifv, std::nullopt);

    writeInfoPlist(m_home, {{"CFBundleIdentifier", "org.example.stats"}});
    platform::UserDefaults::standard().remove("AppleLanguages").ok();
    env = MXStatEnv::collectDeviceFacts();
    EXPECT_EQ(env.app_version, "unknown");
    EXPECT_EQ(env.language, "de-DE");
    platform::Locale::resetToEnvironment();
}

TEST_F(HelperTest, CarrierCodesNeedBothCodes) {
    EXPECT_EQ(MXStatEnv::carrierCodes(), "");
    platform::NetworkInfo::current().setCarrier(platform::NetworkInfo::Carrier{"Carrier", "460", std::nullopt});
    EXPECT_EQ(MXStatEnv::carrierCodes(), "");
    platform::NetworkInfo::current().setCarrier(platform::NetworkInfo::Carrier{"Carrier", "460", "00"});
    EXPECT_EQ(MXStatEnv::carrierCodes(), "46000");
}

TEST_F(HelperTest, TheStoredDeviceIdWins) {
    const std::string stored = "0123456789abcdefABCDEF0123456789abcdef01";
    ASSERT_TRUE(MXStatKeyChain::save("org.example", platform::Dictionary{{"mstsharedudid", stored}}));
    MXStatHelper helper;
    EXPECT_EQ(helper.getEnv().deviceid, stored);
    // The protocol was not asked: nothing was written to user defaults.
    EXPECT_TRUE(platform::UserDefaults::standard().object("SharedUDID").isNull());
}

TEST_F(HelperTest, AStoredDeviceIdThatIsNoIdIsReplacedByTheProtocols) {
    for (const std::string& notAnId : {std::string("stored-id"), std::string(39, 'a'), std::string(41, 'a'), std::string(40, 'z')}) {
        SCOPED_TRACE(notAnId);
        ASSERT_TRUE(MXStatKeyChain::save("org.example", platform::Dictionary{{"mstsharedudid", notAnId}, {"xgtoken", "push-token"}}));
        EXPECT_EQ(MXStatHelper::getSharedUDID(), std::nullopt);
        const MXStatEnv env = MXStatEnv::collect();
        EXPECT_EQ(env.deviceid, MXStatSharedUDID::value());
        EXPECT_EQ(MXStatHelper::getSharedUDID(), std::optional<std::string>(env.deviceid));
        EXPECT_EQ(MXStatHelper().getXGDeviceToken(), std::optional<std::string>("push-token"));
    }
}

TEST_F(HelperTest, SavingTheDeviceIdKeepsThePushToken) {
    ASSERT_TRUE(MXStatKeyChain::save("org.example", platform::Dictionary{{"xgtoken", "push-token"}}));
    MXStatHelper helper;
    EXPECT_EQ(helper.getXGDeviceToken(), std::optional<std::string>("push-token"));
    EXPECT_EQ(MXStatHelper::getSharedUDID(), std::optional<std::string>(helper.getEnv().deviceid));

    // A company item that is not a dictionary reads as none, and is replaced when an id is saved.
    ASSERT_TRUE(MXStatKeyChain::save("org.example", platform::Value("garbage")));
    EXPECT_EQ(helper.getXGDeviceToken(), std::nullopt);
    EXPECT_EQ(MXStatHelper::getSharedUDID(), std::nullopt);
    MXStatHelper::saveSharedUDID("");
    EXPECT_EQ(MXStatKeyChain::load("org.example"), std::optional<platform::Value>("garbage"));
    // Only a well-formed id is stored.
    MXStatHelper::saveSharedUDID("new-id");
    EXPECT_EQ(MXStatKeyChain::load("org.example"), std::optional<platform::Value>("garbage"));
    const std::string id(40, 'e');
    MXStatHelper::saveSharedUDID(id);
    EXPECT_EQ(MXStatHelper::getSharedUDID(), std::optional<std::string>(id));
}

TEST_F(HelperTest, UserTypeOnTheSameAndAnotherLocalDay) {
    ScopedTimeZone zone("CST-8"); // UTC+8: 22:13 UTC is 06:13 of the next local day
    auto store = std::make_shared<RecordingStore>();
    MXStatHelper helper;
    EXPECT_EQ(helper.getUser(), std::nullopt); // no store yet
    helper.setStore(store);
    EXPECT_EQ(helper.getUser(), std::nullopt); // the store has no user
    EXPECT_EQ(store->userLoads(), 1);

    // Tagged at 01:00 UTC of the same UTC day, which is the previous local day.
    const std::uint32_t tagged = now() - (22 * 3600 + 13 * 60 + 20) + 3600;
    store->setUser(MXStatUser{"uid-1", MXStatUserTypeNew, "2.1", tagged});
    auto user = helper.getUser();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->userType, MXStatUserTypeReturning);
    EXPECT_EQ(user->tagTime, now());
    ASSERT_EQ(store->storedUsers().size(), 1u);
    EXPECT_EQ(store->storedUsers()[0], *user);

    // Later the same local day: nothing changes, and the held user is not loaded again.
    m_clock.advance(3600.0);
    user = helper.getUser();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->userType, MXStatUserTypeReturning);
    EXPECT_EQ(user->tagTime, now() - 3600);
    EXPECT_EQ(store->storedUsers().size(), 1u);
    EXPECT_EQ(store->userLoads(), 2);
}

TEST_F(HelperTest, UserOfTheSameLocalDayKeepsItsType) {
    ScopedTimeZone zone("CST-8");
    auto store = std::make_shared<RecordingStore>();
    store->setUser(MXStatUser{"uid-1", MXStatUserTypeNew, "2.1", now() - 3600});
    MXStatHelper helper;
    helper.setStore(store);
    auto user = helper.getUser();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->userType, MXStatUserTypeNew);
    EXPECT_TRUE(store->storedUsers().empty());
}

TEST_F(HelperTest, AnApplicationVersionChangeAddsTwoOnce) {
    auto store = std::make_shared<RecordingStore>();
    store->setUser(MXStatUser{"uid-1", MXStatUserTypeNew, "2.0", now()});
    MXStatHelper helper;
    helper.setStore(store);
    auto user = helper.getUser();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->userType, MXStatUserTypeAppVersionChanged);
    EXPECT_EQ(user->appVer, "2.1");
    EXPECT_EQ(store->storedUsers().size(), 1u);
    user = helper.getUser();
    EXPECT_EQ(user->userType, MXStatUserTypeAppVersionChanged);
    EXPECT_EQ(store->storedUsers().size(), 1u);
}

TEST_F(HelperTest, MacAddressOfTheWiFiInterfaceOrWhatFailed) {
    platform::InterfaceHardwareAddress::setOverride(
        std::map<std::string, platform::InterfaceHardwareAddress::Address>{{"en0", {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xef}}});
    EXPECT_EQ(MXStatHelper::getMacAddress(), "00:1A:2B:C3:D4:EF");
    platform::InterfaceHardwareAddress::setOverride(std::map<std::string, platform::InterfaceHardwareAddress::Address>{});
    EXPECT_EQ(MXStatHelper::getMacAddress(), "if_nametoindex failure");
    EXPECT_TRUE(m_log.contains("Error: if_nametoindex failure"));
    // Every event asks; the failure is logged once while it lasts, and again when it comes back.
    const auto failureLines = [this] {
        const auto lines = m_log.lines();
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.find("Error: if_nametoindex failure") != std::string::npos; });
    };
    for (int i = 0; i < 1000; ++i)
        MXStatHelper::getMacAddress();
    EXPECT_EQ(failureLines(), 1);
    platform::InterfaceHardwareAddress::setOverride(
        std::map<std::string, platform::InterfaceHardwareAddress::Address>{{"en0", {0, 1, 2, 3, 4, 5}}});
    MXStatHelper::getMacAddress();
    platform::InterfaceHardwareAddress::setOverride(std::map<std::string, platform::InterfaceHardwareAddress::Address>{});
    MXStatHelper::getMacAddress();
    EXPECT_EQ(failureLines(), 2);
}

TEST_F(HelperTest, WiFiIsAvailableWithAnIPv4AddressOnEn0) {
    using platform::InterfaceAddress;
    const InterfaceAddress loopback{"lo", InterfaceAddress::Family::IPv4, "127.0.0.1", IFF_UP | IFF_LOOPBACK};
    platform::InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{loopback});
    EXPECT_FALSE(MXStatHelper::isWiFiAvailable());
    platform::InterfaceAddresses::setOverride(
        std::vector<InterfaceAddress>{loopback, {"en0", InterfaceAddress::Family::IPv6, "fe80::1", IFF_UP}});
    EXPECT_FALSE(MXStatHelper::isWiFiAvailable());
    platform::InterfaceAddresses::setOverride(
        std::vector<InterfaceAddress>{loopback, {"en0", InterfaceAddress::Family::IPv4, "192.168.1.9", IFF_UP}});
    EXPECT_TRUE(MXStatHelper::isWiFiAvailable());
    platform::InterfaceAddresses::setReadFailure(true);
    EXPECT_FALSE(MXStatHelper::isWiFiAvailable());
}

TEST_F(HelperTest, WiFiTextNeedsBothNames) {
    MXStatHelper helper;
    EXPECT_EQ(helper.fetchSSIDInfo(), R"({"ss":"Not Found","bs":"Not Found"})");
    platform::NetworkInfo::current().setCurrentWiFiNetwork(platform::NetworkInfo::WiFiNetwork{"Home", std::nullopt});
    EXPECT_EQ(helper.fetchSSIDInfo(), R"({"ss":"Not Found","bs":"Not Found"})");
    platform::NetworkInfo::current().setCurrentWiFiNetwork(platform::NetworkInfo::WiFiNetwork{"Home \"5G\"", "aa:bb:cc:dd:ee:ff"});
    EXPECT_EQ(helper.fetchSSIDInfo(), R"({"ss":"Home \"5G\"","bs":"aa:bb:cc:dd:ee:ff"})");
}

TEST_F(HelperTest, JsonOfWhatJsonCannotHoldIsEmpty) {
    EXPECT_EQ(MXStatHelper::getJson(platform::Dictionary{{"a", 1}, {"b", "x"}}), R"({"a":1,"b":"x"})");
    EXPECT_EQ(MXStatHelper::getJson(platform::Dictionary{{"data", platform::Bytes{1, 2}}}), "");
    EXPECT_TRUE(m_log.contains("error json format"));
}

TEST_F(HelperTest, KillSwitchEventIndexAndMid) {
    MXStatConfig::getInstance().setDebugEnable(true);
    MXStatHelper helper;
    EXPECT_FALSE(helper.checkMSTEnable());
    EXPECT_TRUE(m_log.contains("MST is not enabled , because of the online config"));
    helper.setMSTEnableFlag(true);
    EXPECT_TRUE(helper.checkMSTEnable());

    MXStatHelper::setCurrentIndex(142);
    MXStatHelper::setCurrentIndex(0);
    EXPECT_TRUE(m_log.contains("Warning:set idx failed!"));
    EXPECT_EQ(MXStatHelper::currentIndex(), 142u);

    EXPECT_EQ(helper.getMid(), "0");
    helper.saveMid("mid-7");
    EXPECT_EQ(helper.getMid(), "mid-7");
    EXPECT_TRUE(platform::Pasteboard::withName("org.example", false)->isPersistent());
}

} // namespace

namespace {

// The held user is shared by the API, store and upload queues.
TEST_F(HelperTest, TheUserIsReadWholeFromSeveralQueues) {
    auto store = std::make_shared<RecordingStore>();
    store->setUser(MXStatUser{"uid-1", MXStatUserTypeNew, "2.0", now()});
    MXStatHelper helper;
    helper.setStore(store);
    std::vector<std::shared_ptr<platform::DispatchQueue>> queues;
    for (const char* label : {"MessengerAnalysis", "StatStore", "HttpDispatcher"})
        queues.push_back(platform::DispatchQueue::createSerial(label));
    std::atomic<int> wrong{0};
    for (int round = 0; round < 50; ++round) {
        for (auto& queue : queues) {
            queue->async([&] {
                auto user = helper.getUser();
                if (!user || user->uid != "uid-1" || user->appVer != "2.1" || user->userType != MXStatUserTypeAppVersionChanged)
                    ++wrong;
            });
        }
    }
    for (auto& queue : queues)
        queue->sync([] {});
    EXPECT_EQ(wrong.load(), 0);
    // Whichever queue came first brought the type up to date; the others found it done.
    EXPECT_EQ(store->storedUsers().size(), 1u);
}

} // namespace
