// The public entry points on the main run loop as the client thread: open codes of remote
// notifications by launch and application state, the once-only set-up, the badge range, tags before
// registration, locations and the endpoints file.
#include "PushTest.h"

#include "push/PULSEPushConfigController.h"
#include "push/PULSEService.h"

#include "support/RunLoopWait.h"

#include "platform/application/Application.h"
#include "platform/formats/PropertyList.h"
#include "platform/runloop/RunLoop.h"

#include <fstream>

namespace {

using namespace pushtest;
using platform::Dictionary;
using platform::Value;
using push::PULSEService;

constexpr const char* kKey = "0123456789abcdef01234567";

class Service : public PushTest {
protected:
    Service() {
        platform::Application::shared().resetForTesting();
        PULSEService::resetForTesting(platform::RunLoop::currentShared());
    }
    ~Service() override {
        PULSEService::resetForTesting(nullptr);
        platform::Application::shared().resetForTesting();
    }
    void drainPosted() {
        bool done = false;
        platform::RunLoop::main().perform([&] { platform::RunLoop::main().perform([&] { done = true; }); });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return done; }));
    }
    static Dictionary payload(Value messageId) {
        Dictionary d;
        d.set("aps", Dictionary{});
        if (!messageId.isNull())
            d.set("_p_msgid", std::move(messageId));
        return d;
    }
    void setState(platform::ApplicationState state) { platform::Application::shared().setApplicationState(state); }
    int reports(int code) { return countLines("report result: " + std::to_string(code) + " "); }
    int allReports() { return countLines("remote info:"); }
};

TEST_F(Service, OpenCodesFollowLaunchAndState) {
    setState(platform::ApplicationState::Inactive);
    Dictionary options;
    options.set(platform::kApplicationLaunchOptionsRemoteNotificationKey, payload(Value("77")));
    PULSEService::setupWithOption(options, kKey, "test", false);
    EXPECT_EQ(reports(PULSEService::kOpenLaunch), 1);

    // The launching notification delivered again is not reported twice; a different one is.
    setState(platform::ApplicationState::Active);
    PULSEService::handleRemoteNotification(payload(Value(std::int64_t{77})));
    EXPECT_EQ(allReports(), 1);
    PULSEService::handleRemoteNotification(payload(Value(std::int64_t{77})));
    EXPECT_EQ(reports(PULSEService::kOpenActive), 1);

    setState(platform::ApplicationState::Background);
    PULSEService::handleRemoteNotification(payload(Value("78")));
    EXPECT_EQ(reports(PULSEService::kOpenInBackground), 1);

    // Opened from the background: inactive after entering the background gives 2002 until active again.
    setState(platform::ApplicationState::Active);
    platform::Application::shared().enterBackground();
    EXPECT_TRUE(PULSEService::sharedService().isFromBackground());
    setState(platform::ApplicationState::Inactive);
    PULSEService::handleRemoteNotification(payload(Value("79")));
    EXPECT_EQ(reports(PULSEService::kOpenFromBackground), 1);
    setState(platform::ApplicationState::Background);
    platform::Application::shared().enterForeground();
    EXPECT_FALSE(PULSEService::sharedService().isFromBackground());
    setState(platform::ApplicationState::Inactive);
    PULSEService::handleRemoteNotification(payload(Value("80")));
    EXPECT_EQ(reports(PULSEService::kOpenActive), 2);

    // Empty payloads are not reported; ones without or with a malformed id are.
    PULSEService::handleRemoteNotification(Dictionary{});
    EXPECT_EQ(allReports(), 5);
    PULSEService::handleRemoteNotification(payload(Value()));
    PULSEService::handleRemoteNotification(payload(Value("abc")));
    EXPECT_EQ(allReports(), 7);
    drainPosted();
}

TEST_F(Service, LaunchWithoutRemoteEntryReportsNothingAndLaterOnesCount) {
    setState(platform::ApplicationState::Active);
    PULSEService::setupWithOption(Dictionary{}, kKey, "test", false);
    EXPECT_EQ(allReports(), 0);
    // No launch id: the first later notification without an id is still reported.
    PULSEService::handleRemoteNotification(payload(Value()));
    EXPECT_EQ(reports(PULSEService::kOpenActive), 1);
    drainPosted();
}

TEST_F(Service, SetUpRunsOnceAndRefusesBadKeys) {
    PULSEService::setupWithOption(Dictionary{}, "bad key!", "test", false);
    EXPECT_EQ(countLines("方法的参数值"), 1);
    PULSEService::setupWithOption(Dictionary{}, kKey, "test", false);
    EXPECT_EQ(countLines("Pulse SDK Version:2.1.0--build:346"), 0);
    drainPosted();

    PULSEService::resetForTesting(platform::RunLoop::currentShared());
    PULSEService::setupWithOption(Dictionary{});
    EXPECT_EQ(countLines("找不到pushConfig.plist文件"), 1);
    EXPECT_EQ(countLines("获取push配置文件信息失败"), 1);
    drainPosted();
}

TEST_F(Service, BannerOnceThenTheClientIsSetUpOnItsThread) {
    PULSEService::setupWithOption(Dictionary{}, kKey, "test", false);
    PULSEService::setupWithOption(Dictionary{}, "fedcba9876543210fedcba98", "other", true);
    EXPECT_EQ(countLines("Pulse SDK Version:2.1.0--build:346"), 1);
    EXPECT_EQ(countLines(std::string("AppKey:") + kKey), 1);
    // Nothing reached the client yet: it is set up on its own thread, in call order.
    EXPECT_EQ(push::PULSEClientController::sharedClient().pushConfig(), nullptr);
    drainPosted();
    ASSERT_NE(push::PULSEClientController::sharedClient().pushConfig(), nullptr);
    EXPECT_EQ(push::PULSEClientController::sharedClient().pushConfig()->applicationKey(), kKey);
    EXPECT_EQ(push::PULSEClientController::sharedClient().systemVersion(), platform::Device::current().systemVersion());
}

TEST_F(Service, BadgeRangeLocationAndTagsBeforeRegistration) {
    EXPECT_TRUE(PULSEService::setBadge(0));
    EXPECT_TRUE(PULSEService::setBadge(PULSEService::kMaxBadge));
    EXPECT_FALSE(PULSEService::setBadge(100000));
    EXPECT_FALSE(PULSEService::setBadge(-1));

    PULSEService::setLocation(std::nullopt);
    EXPECT_EQ(countLines("参数location不能为空"), 1);
    EXPECT_EQ(PULSEService::registrationID(), "");

    installIdentity(kKey);
    PULSEService::setTagsInBackground(platform::ArchiveSet{"a"}, "x");
    drainPosted();
    EXPECT_EQ(countLines("app not registed, give up set tag:{(a)} alias:x"), 1);

    struct NoCallbacks : push::PULSETagAliasCallbackTarget {
        push::PULSETagAliasCallback tagAliasCallbackNamed(const std::string&) override { return {}; }
    };
    PULSEService::setTags(platform::ArchiveValue(), "x", std::string("done"), std::make_shared<NoCallbacks>());
    PULSEService::setTags(platform::ArchiveValue(), "x", std::nullopt, std::make_shared<NoCallbacks>());
    PULSEService::setTags(platform::ArchiveValue(), "x", std::string("done"), nullptr);
    EXPECT_EQ(countLines("setTagsAlias callback selector NOT found"), 1);
    EXPECT_EQ(countLines("due to nil callback selector"), 1);
    EXPECT_EQ(countLines("due to nil target"), 1);
    drainPosted();
    EXPECT_EQ(countLines("app not registed, give up set tag:(null) alias:x"), 3);
}

TEST_F(Service, PlatformRegistrationByVersion) {
    auto& application = platform::Application::shared();
    platform::Device::current().setSystemVersion("7.1");
    PULSEService::registerForRemoteNotificationTypes(platform::kUserNotificationTypeBadge, std::nullopt);
    EXPECT_EQ(application.enabledRemoteNotificationTypes(), platform::kUserNotificationTypeBadge);
    EXPECT_EQ(application.currentUserNotificationSettingsTypes(), 0u);
    application.resetForTesting();
    platform::Device::current().setSystemVersion("8.0");
    PULSEService::registerForRemoteNotificationTypes(platform::kUserNotificationTypeAlert, std::nullopt);
    EXPECT_TRUE(application.isRegisteredForRemoteNotifications());
    EXPECT_EQ(application.currentUserNotificationSettingsTypes(), platform::kUserNotificationTypeAlert);
}

class Endpoints : public PushTest {
protected:
    std::string write(const Dictionary& plist) {
        const std::string path = m_home.root() + "/PushEndpoints.plist";
        EXPECT_TRUE(platform::PropertyList::writeFile(Value(plist), path, platform::PropertyList::Format::XML));
        return path;
    }
};

TEST_F(Endpoints, FileEntriesReplaceOnlyTheirKeys) {
    Dictionary plist;
    plist.set("ConnectHost", "127.0.0.1");
    plist.set("ConnectPort", std::int64_t{7100});
    plist.set("DefaultReportAddress", "127.0.0.1:9100");
    plist.set("LookupPorts", platform::Array{Value(std::int64_t{19100}), Value(std::int64_t{8100})});
    plist.set("StatisticsURL", "http://127.0.0.1:8200/v2/report");
    ASSERT_TRUE(push::PULSEEndpoints::loadFile(write(plist)));
    const auto e = push::PULSEEndpoints::shared();
    EXPECT_EQ(e.connectHost, (push::PULSEHostPort{"127.0.0.1", 7100}));
    EXPECT_EQ(e.defaultReportAddress, (push::PULSEHostPort{"127.0.0.1", 9100}));
    EXPECT_EQ(e.lookupPorts[1], 8100);
    EXPECT_EQ(e.statisticsURL, "http://127.0.0.1:8200/v2/report");
    EXPECT_EQ(e.userURL, push::PULSEEndpoints::builtIn().userURL);
}

TEST_F(Endpoints, MalformedOrOversizedFilesChangeNothing) {
    const auto before = push::PULSEEndpoints::shared();
    for (const auto& [key, value] : {std::pair{"ConnectPort", Value(std::int64_t{70000})},
                                     std::pair{"DefaultConnectAddress", Value("127.0.0.1")},
                                     std::pair{"DefaultConnectAddress", Value("127.0.0.1:80x")},
                                     std::pair{"LookupHosts", Value(platform::Array{Value("a")})},
                                     std::pair{"UserURL", Value(std::int64_t{1})}}) {
        Dictionary plist;
        plist.set("ConnectHost", "127.0.0.1");
        plist.set(key, value);
        EXPECT_FALSE(push::PULSEEndpoints::loadFile(write(plist))) << key;
    }
    EXPECT_FALSE(push::PULSEEndpoints::loadFile(m_home.root() + "/missing.plist"));
    const std::string big = m_home.root() + "/big.plist";
    std::ofstream(big) << std::string(push::PULSEEndpoints::kMaxFileBytes + 1, ' ');
    EXPECT_FALSE(push::PULSEEndpoints::loadFile(big));
    EXPECT_EQ(push::PULSEEndpoints::shared(), before);
}

} // namespace
