// The start screen: splash or loading box, the init command, the upgrade prompt, analytics start and
// tracking, and the road on to the order screen (a double registered by name) and the user-information screen.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCHttpsConnect.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCInitViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCUserInfoViewController.h"
#include "cardpay/tracker/YLUniTracker.h"
#include "platform/application/Application.h"
#include "platform/device/Reachability.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/system/Device.h"
#include "platform/system/UserDefaults.h"
#include "platform/ui/Layer.h"
#include "platform/ui/Window.h"
#include "support/CardPayTestServer.h"
#include "support/RunLoopWait.h"
#include "support/Snapshot.h"
#include "support/TempHome.h"

#include "CardPayFixture.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Rect;

namespace {

// Stands in for a screen the start screen opens; records how it was made and shown.
class ScreenDouble : public BCBaseViewController {
public:
    ScreenDouble(int mode = 0, bool root = false) : payMode(mode), isRoot(root) {}
    void viewWillAppear(bool animated) override { appearedAnimated.push_back(animated); }
    int payMode;
    bool isRoot;
    std::vector<bool> appearedAnimated;
};
// The user-information screen itself, recording how it was shown.
class RecordingUserInfo : public BCUserInfoViewController {
public:
    void viewWillAppear(bool animated) override {
        BCUserInfoViewController::viewWillAppear(animated);
        appearedAnimated.push_back(animated);
    }
    std::vector<bool> appearedAnimated;
};

class CardPayStart : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        BCOrderScreenRegistry::shared().registerClass<ScreenDouble>(std::string(kOrderScreenClass));
        BCScreenRegistry::shared().registerClass<RecordingUserInfo>(std::string(kUserInfoScreenClass));
        const platform::Dictionary replies = sampleReplies();
        m_init = replies["init"].dictionaryOrEmpty();
    }
    void TearDown() override {
        platform::Reachability::setOverrideFlags(std::nullopt);
        BCOrderScreenRegistry::shared().unregisterClass(kOrderScreenClass);
        BCScreenRegistry::shared().unregisterClass(kUserInfoScreenClass);
        CardPayRoadFixture::TearDown();
    }

    // The init reply with `changes` applied.
    void replyInit(std::initializer_list<std::pair<std::string, platform::Value>> changes) {
        platform::Dictionary reply = m_init;
        for (const auto& [key, value] : changes)
            reply.set(key, value);
        m_server.setReply("init", reply);
    }

    std::shared_ptr<BCInitViewController> start() {
        auto screen = std::make_shared<BCInitViewController>();
        present(screen);
        return screen;
    }

    std::shared_ptr<ScreenDouble> top() const { return std::dynamic_pointer_cast<ScreenDouble>(m_nav->topViewController()); }
    bool waitForTop() { return hybtest::runMainUntil([&] { return top() != nullptr; }); }
    static bool loggedIn() {
        const auto& calls = YLUniTracker::recordedCalls();
        return !calls.empty() && calls.back().operation == "trackEvent" && *calls.back().arguments[0].getString() == "_login";
    }
    static std::vector<std::string> operations() {
        std::vector<std::string> names;
        for (const auto& call : YLUniTracker::recordedCalls())
            names.push_back(call.operation == "trackEvent" ? *call.arguments[0].getString() : call.operation);
        return names;
    }

    platform::Dictionary m_init;
};

} // namespace

TEST_F(CardPayStart, LoadingBoxInsteadOfSplashStillSendsInit) {
    for (const char* value : {"No", "NO"}) {
        BCDataContainer::instance()->setBundleConfig(platform::Dictionary{{"StandardPluginLoading", value}});
        m_server.setFault("init", testsupport::CardPayTestServer::Fault::Hold);
        const std::size_t before = m_server.commands("init").size();
        auto screen = start();
        EXPECT_FALSE(screen->logoView()) << value;
        ASSERT_TRUE(screen->mAlertView());
        EXPECT_TRUE(screen->mAlertView()->isLoadingStyle());
        EXPECT_EQ(screen->mAlertView()->messageLabel()->text(), BCLocale::instance()->getStringById(13015));
        EXPECT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("init").size() == before + 1; }));
        m_root->dismissViewController(false);
        m_server.releaseHeldReplies();
        m_server.setFault("init", testsupport::CardPayTestServer::Fault::None);
    }
}

TEST_F(CardPayStart, InitValues) {
    auto& defaults = platform::UserDefaults::standard();
    ASSERT_TRUE(defaults.set("BCPayPluginClient", platform::Value("YES")).ok());
    platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable);
    auto screen = start();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("init").size() == 1; }));
    auto init = m_server.commands("init")[0].params;
    EXPECT_EQ(init["networkMode"], platform::Value("wifi"));
    EXPECT_EQ(init["terminalType"], platform::Value("1"));
    EXPECT_EQ(init["terminalVersion"], platform::Value("3.3.0"));
    EXPECT_EQ(init["tn"], platform::Value("201712010001"));
    EXPECT_EQ(screen->versionLabel()->text(), "3.3.0");
    ASSERT_TRUE(waitForTop());  // the plug-in client's version is reported too
    const auto& calls = YLUniTracker::recordedCalls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[2].operation, "setVersionWithCode");
    EXPECT_EQ(calls[2].arguments, (platform::Array{"3.3.0", "BCPayPluginClient"}));

    m_root->dismissViewController(false);
    ASSERT_TRUE(defaults.set("BCPayPluginClient", platform::Value("yes")).ok());
    platform::Reachability::setOverrideFlags(0);
    start();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("init").size() == 2; }));
    init = m_server.commands("init")[1].params;
    EXPECT_EQ(init["networkMode"], platform::Value("noNet"));
    EXPECT_EQ(init["terminalType"], platform::Value("2"));

    m_root->dismissViewController(false);
    platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsIsWWAN);
    start();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("init").size() == 3; }));
    EXPECT_EQ(m_server.commands("init")[2].params["networkMode"], platform::Value("mobile"));
}

TEST_F(CardPayStart, InitUidFromTheVendorIdElseTheStoredUserIdElseNothing) {
    auto& device = platform::Device::current();
    const std::string version = device.systemVersion();
    const auto uidSent = [&](std::size_t count) {
        start();
        EXPECT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("init").size() == count; }));
        m_root->dismissViewController(false);
        return m_server.commands("init").back().params["uid"];
    };
    EXPECT_EQ(uidSent(1), platform::Value(""));
    ASSERT_TRUE(BCUtils::writeUserIdToFile("stored-7", "UserId"));
    EXPECT_EQ(uidSent(2), platform::Value("stored-7"));
    device.setSystemVersion("6.1");  // the vendor id is read before system 7 only
    device.setIdentifierForVendor("6F1C2A3B-0000-4000-8000-000000000001");
    EXPECT_EQ(uidSent(3), platform::Value("6F1C2A3B-0000-4000-8000-000000000001"));
    device.setSystemVersion(version);
}

TEST_F(CardPayStart, NoUpgradeStartsTrackingAndOpensTheOrderScreen) {
    start();
    ASSERT_TRUE(waitForTop());
    EXPECT_EQ(top()->payMode, 101);
    EXPECT_TRUE(top()->isRoot);
    EXPECT_EQ(top()->appearedAnimated, std::vector<bool>{true});
    const std::vector<std::string> expected{"setLogEnabled", "setVersionWithCode", "sessionStarted", "tn",
                                            "merch_id", "package_version", "basic_info"};
    EXPECT_EQ(operations(), expected);
    const auto& calls = YLUniTracker::recordedCalls();
    EXPECT_EQ(calls[0].arguments, (platform::Array{false}));
    EXPECT_EQ(calls[1].arguments, (platform::Array{"3.3.0", "BCPayPluginCheckeCode"}));
    EXPECT_EQ(calls[2].arguments, (platform::Array{"3F9B2C71E4D08A56B1C7E92D40F6A3B8", "898310048990001"}));
}

TEST_F(CardPayStart, PayModeOfTheOrderScreen) {
    BCMPService::storageUserDefaultPayMode("2");
    start();
    ASSERT_TRUE(waitForTop());
    EXPECT_EQ(top()->payMode, 100);  // the stored default pay mode
    m_root->dismissViewController(false);

    // "01" limits the road to card pay, whatever the user id and the default pay mode.
    BCMPService::storageUserDefaultPayMode("1");
    replyInit({{"sup_pay_method", "01"}, {"user_id", "u-10086"}});
    start();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return loggedIn(); }));
    m_clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return std::dynamic_pointer_cast<RecordingUserInfo>(m_nav->topViewController()) != nullptr; }));
    auto order = std::dynamic_pointer_cast<ScreenDouble>(m_nav->viewControllers().at(1));
    EXPECT_EQ(order->payMode, 100);
}

TEST_F(CardPayStart, UserRoadWaitsForTheUserInformation) {
    replyInit({{"user_id", "u-10086"}});
    auto screen = start();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("getuserinfo").size() == 1; }));
    EXPECT_EQ(m_server.commands("getuserinfo")[0].params["user_id"], platform::Value("u-10086"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return loggedIn(); }));
    EXPECT_EQ(YLUniTracker::recordedCalls().back().arguments[2], (platform::Value(platform::Dictionary{{"sysid", "u-10086"}})));
    EXPECT_FALSE(screen->mAlertView());
    m_clock.advance(std::chrono::milliseconds(590));
    turns(10);
    EXPECT_EQ(m_nav->viewControllers().size(), 1u);
    m_clock.advance(std::chrono::milliseconds(20));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_nav->viewControllers().size() == 3; }));
    auto order = std::dynamic_pointer_cast<ScreenDouble>(m_nav->viewControllers()[1]);
    auto user = std::dynamic_pointer_cast<RecordingUserInfo>(m_nav->viewControllers()[2]);
    ASSERT_TRUE(order && user);
    EXPECT_EQ(order->payMode, 101);
    EXPECT_EQ(order->appearedAnimated, std::vector<bool>{false});
    EXPECT_EQ(user->appearedAnimated, std::vector<bool>{true});
}

TEST_F(CardPayStart, UpgradeAnswers) {
    // Optional, cancelled: on to the order screen without an analytics session.
    replyInit({{"update_info", platform::Dictionary{{"url", "https://example.com/new"}, {"desc", "Better"}, {"force", "0"}}}});
    auto screen = start();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen->mNeedUpgrade(); }));
    EXPECT_FALSE(screen->mForceUpGrade());
    EXPECT_EQ(screen->mAlertView()->messageLabel()->text(), "Better");
    screen->mAlertView()->buttonCancelClicked();
    ASSERT_TRUE(waitForTop());
    EXPECT_TRUE(YLUniTracker::recordedCalls().empty());
    m_root->dismissViewController(false);

    // Compulsory, OK: the new version's address is opened and the road ends with "cancel".
    replyInit({{"update_info", platform::Dictionary{{"url", "https://example.com/new"}, {"desc", "Must"}, {"force", "1"}}}});
    screen = start();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen->mForceUpGrade(); }));
    screen->mAlertView()->buttonOKClicked();
    m_clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_host->results.empty(); }));
    EXPECT_EQ(*m_host->results[0]["code"].getString(), "cancel");
    const auto opened = platform::Application::shared().openedURLs();
    ASSERT_FALSE(opened.empty());
    EXPECT_EQ(opened.back(), "https://example.com/new");
}

// The start screen has no other way out than the box's OK: a failed init ends the road with "fail".
TEST_F(CardPayStart, FailedInitEndsWithFailOnOK) {
    m_server.setFault("init", testsupport::CardPayTestServer::Fault::HTTP500);
    start();
    ASSERT_TRUE(road().waitUntil([&] { return road().alertBox() != nullptr; }, "the failure's box"));
    EXPECT_EQ(road().alertMessage(), BCLocale::instance()->getStringById(12002));
    EXPECT_TRUE(m_host->results.empty());
    EXPECT_TRUE(YLUniTracker::recordedCalls().empty());  // no analytics session without an init answer
    ASSERT_TRUE(road().tap(BCLocale::instance()->getStringById(10001)));
    ASSERT_TRUE(road().waitUntil([&] { return !m_host->results.empty(); }, "the road's result"));
    EXPECT_EQ(*m_host->results[0]["code"].getString(), "fail");
}

TEST_F(CardPayStart, CompulsoryUpgradeCancelledEndsTheRoad) {
    replyInit({{"update_info", platform::Dictionary{{"url", "https://example.com/new"}, {"force", "1"}}}});
    auto screen = start();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen->mForceUpGrade(); }));
    screen->mAlertView()->buttonCancelClicked();
    m_clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_host->results.empty(); }));
    EXPECT_EQ(*m_host->results[0]["code"].getString(), "cancel");
    EXPECT_EQ(m_nav->viewControllers().size(), 1u);
}

TEST_F(CardPayStart, UnregisteredOrderScreenLeavesTheStartScreen) {
    BCOrderScreenRegistry::shared().unregisterClass(kOrderScreenClass);
    auto screen = start();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !YLUniTracker::recordedCalls().empty(); }));
    turns(10);
    EXPECT_EQ(m_nav->topViewController(), screen);
}

TEST_F(CardPayStart, RotationLaysTheSplashOutAgain) {
    m_server.setFault("init", testsupport::CardPayTestServer::Fault::Hold);
    auto screen = start();
    const platform::Size logo = screen->logoView()->frame().size;
    BCDataContainer::instance()->setToRotationSize({667, 375});
    for (int i = 0; i < 2; ++i)  // a second call for the same turn lands on the same frames
        screen->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0);
    m_clock.advance(1.0);
    EXPECT_EQ(screen->backGroundView()->frame(), Rect(0, 0, 667, 375));
    EXPECT_EQ(screen->logoView()->frame().size, logo);
    EXPECT_EQ(screen->logoView()->frame().midX(), 667 / 2.0);
    EXPECT_EQ(screen->loadingView()->frame(), Rect((667 - 22) / 2.0, screen->logoView()->frame().maxY() + 12, 22, 22));
    EXPECT_EQ(screen->versionLabel()->frame(), Rect(0, 375 - 88, 667, 44));
}

TEST_F(CardPayStart, Pictures) {
    m_server.setFault("init", testsupport::CardPayTestServer::Fault::Hold);
    auto screen = start();
    screen->loadingView()->layer()->removeAllAnimations();
    hybtest::expectSnapshot(*m_nav->view(), "start_splash");
    m_root->dismissViewController(false);

    BCDataContainer::instance()->setBundleConfig(platform::Dictionary{{"StandardPluginLoading", "no"}});
    screen = start();
    screen->mAlertView()->loadingImageView()->layer()->removeAllAnimations();
    hybtest::expectSnapshot(*m_nav->view(), "start_loading_box");
}

TEST_F(CardPayStart, RoadOpensOverTheHostAndEnds) {
    BCDataContainer::destory();
    m_nav.reset();
    auto host = std::make_shared<platform::ViewController>();
    EXPECT_FALSE(BCPayRoad::start(host, "201712010001", m_server.url(), m_host));  // not in a window
    EXPECT_FALSE(BCPayRoad::start(m_root, "", m_server.url(), m_host));
    m_window->setBackgroundColor(platform::Color::fromRGBA255(9, 8, 7));

    auto navigation = BCPayRoad::start(m_root, "201712010002", m_server.url(), m_host, platform::Dictionary{{"StandardPluginLoading", "no"}});
    ASSERT_TRUE(navigation);
    m_nav = navigation;
    ASSERT_TRUE(road().settle());  // the animated presentation
    EXPECT_EQ(m_root->presentedViewController(), navigation);
    EXPECT_TRUE(std::dynamic_pointer_cast<BCInitViewController>(navigation->viewControllers().at(0)));
    const auto container = BCDataContainer::instance();
    EXPECT_EQ(container->rootViewController(), m_root);
    EXPECT_EQ(container->windowColor(), platform::Color::fromRGBA255(9, 8, 7));
    ASSERT_TRUE(waitForTop());
    EXPECT_EQ(m_server.commands("init").at(0).params["tn"], platform::Value("201712010002"));

    top()->exitWithResult("cancel");
    ASSERT_TRUE(road().waitUntil([&] { return !m_host->results.empty(); }, "the road's result"));
    EXPECT_EQ(*m_host->results[0]["code"].getString(), "cancel");
    ASSERT_TRUE(road().settle());
    EXPECT_EQ(road().topScreen(), m_root);  // the host shows again
}
