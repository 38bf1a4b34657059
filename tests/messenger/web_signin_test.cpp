// The web sign-in used when the messaging app is not installed: the page over the caller's controller,
// the loopback sign-in pages in the headless web view, their redirects back into the application through
// its own scheme, the cancel question, and pictures of the page and the question.
#include "MessengerFixture.h"

#include "messenger/MXUIWebViewControll.h"
#include "messenger/MessengerApiUtil.h"
#include "messenger/WapAuthHandler.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/Screen.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/ViewRenderer.h"
#include "platform/ui/Window.h"
#include "platform/web/HeadlessWebView.h"
#include "support/LogCapture.h"
#include "support/RunLoopWait.h"
#include "support/SignInService.h"
#include "support/Snapshot.h"

#include <gtest/gtest.h>

using namespace messenger;

namespace {

// Hands every URL opened into the application to the client; notes what the sign-in looked like when
// the response came.
class SignInDelegate : public platform::ApplicationDelegate, public messengertest::RecordingDelegate {
public:
    bool openURL(platform::Application&, const std::string& url, const std::string&, const platform::Value&) override {
        return MXApi::handleOpenURL(url, this);
    }
    void onResp(const std::shared_ptr<BaseResp>& resp) override {
        RecordingDelegate::onResp(resp);
        pageOpenAtResponse.push_back(root && root->presentedViewController() != nullptr);
        runningAtResponse.push_back(WapAuthHandler::shareWapAuthHandlerInstance()->isRunning());
    }
    std::shared_ptr<platform::ViewController> root;
    std::vector<bool> pageOpenAtResponse;
    std::vector<bool> runningAtResponse;
};

class WebSignInTest : public messengertest::MessengerTest {
protected:
    WebSignInTest() {
        m_clock.install();
        platform::Screen::main().setBounds(platform::Rect(0, 0, 320, 480));
        m_home.writeBundleFile("Info.plist", R"(<?xml version="1.0"?><plist version="1.0"><dict>
<key>CFBundleURLTypes</key><array><dict><key>CFBundleURLSchemes</key><array><string>mxabc</string></array></dict></array>
</dict></plist>)");
        m_window = platform::Window::create(platform::Screen::main().bounds());
        m_window->setBackgroundColor(platform::Color::white());
        m_root = std::make_shared<platform::ViewController>();
        m_window->setRootViewController(m_root);
        m_window->makeKeyAndVisible();
        m_delegate->root = m_root;
        platform::Application::shared().setDelegate(m_delegate);
        WapAuthHandler::setServiceURL(m_service.baseURL());
        MXApi::registerApp(std::string("mxabc"));
    }
    ~WebSignInTest() override {
        handler()->endWapAuth();
        m_clock.advance(1);
        WapAuthHandler::setServiceURL(WapAuthHandler::kDefaultServiceURL);
        platform::Application::shared().setDelegate(nullptr);
        platform::Screen::main().resetToDefaults();
        EXPECT_EQ(m_service.problems(), std::vector<std::string>{});
    }

    static std::shared_ptr<WapAuthHandler> handler() { return WapAuthHandler::shareWapAuthHandlerInstance(); }
    static std::shared_ptr<SendAuthReq> request(const std::string& state) {
        auto req = std::make_shared<SendAuthReq>();
        req->scope = "snsapi_userinfo";
        req->state = state;
        return req;
    }
    // Begins the web sign-in and lets the page appear and its first load start.
    void begin(const std::string& state = "st-1") {
        ASSERT_FALSE(MXApi::isMXAppInstalled());
        ASSERT_TRUE(MXApi::sendAuthReq(request(state), m_root, m_delegate.get()));
        EXPECT_TRUE(handler()->isRunning());
        m_clock.advance(0.5);
    }
    platform::HeadlessWebView* webView() const {
        auto controller = handler()->getWebViewController();
        return dynamic_cast<platform::HeadlessWebView*>(controller->webView().get());
    }
    bool pageShown() const { return m_root->presentedViewController() != nullptr; }
    // What the screen shows: the key window with the overlay windows above it.
    void expectScreen(const std::string& name) {
        hybtest::expectScreenSnapshot(m_window->frame(), name);
    }

    platform::VirtualClock m_clock;
    testsupport::SignInService m_service;
    std::shared_ptr<platform::Window> m_window;
    std::shared_ptr<platform::ViewController> m_root;
    std::shared_ptr<SignInDelegate> m_delegate = std::make_shared<SignInDelegate>();
};

TEST_F(WebSignInTest, WithoutTheMessagingAppTheWebPagesSignInAndTheResponseCarriesTheirCode) {
    begin("st-1");
    ASSERT_TRUE(pageShown());
    auto navigation = std::dynamic_pointer_cast<platform::NavigationController>(m_root->presentedViewController());
    ASSERT_TRUE(navigation);
    EXPECT_EQ(navigation->topViewController(), handler()->getWebViewController());

    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_delegate->resps.empty(); }));
    ASSERT_EQ(m_delegate->resps.size(), 1u);
    auto resp = std::dynamic_pointer_cast<SendAuthResp>(m_delegate->resps[0]);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->errCode, 0);
    EXPECT_EQ(resp->code, std::optional<std::string>("web-code-1"));
    EXPECT_EQ(resp->state, std::optional<std::string>("st-1"));
    EXPECT_EQ(m_delegate->pageOpenAtResponse, std::vector<bool>{false}) << "the page closes before the response";
    EXPECT_EQ(m_delegate->runningAtResponse, std::vector<bool>{false});

    const std::string uid = std::to_string(handler()->timeStamp());
    EXPECT_EQ(m_service.queries(testsupport::SignInService::kMobileCheckPath), std::vector<std::string>{"appid=mxabc&uid=" + uid});
    EXPECT_EQ(m_service.queries(testsupport::SignInService::kSmsAuthorizePath),
              std::vector<std::string>{"appid=mxabc&redirect_uri=mxabc%3A%2F%2Foauth&response_type=code&scope=snsapi_userinfo&state=st-1&uid=" +
                                       uid + "&ticket=T" + uid + "&lang=zh_CN"});
    m_clock.advance(0.5);
    EXPECT_FALSE(pageShown());
    EXPECT_FALSE(handler()->endWapAuth()) << "nothing runs any more";
}

// The request's texts are escaped in the SMS page's query: a state holding "&", "=" or "#" cannot add
// arguments (a second appid) or end the query.
TEST_F(WebSignInTest, AStateHoldingQuerySyntaxReachesTheSmsPageEscaped) {
    begin("a&appid=evil#b");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_service.queries(testsupport::SignInService::kSmsAuthorizePath).empty(); }));
    const std::string query = m_service.queries(testsupport::SignInService::kSmsAuthorizePath)[0];
    EXPECT_NE(query.find("&state=a%26appid%3Devil%23b&uid="), std::string::npos) << query;
    EXPECT_EQ(query.find("appid=evil"), std::string::npos) << query;
}

// An app id that is no URL scheme name, or longer than 128 characters, is refused by registerApp with
// an error line; a sign-in, an app URL or a sign-in request never carries it.
TEST_F(WebSignInTest, AnAppIdThatIsNoSchemeNameIsRefusedBeforeAnyURL) {
    hybtest::LogCapture log;
    const std::string longest(MessengerApiUtil::kMaxAppIdLength, 'm');
    for (const std::string& bad : {std::string("mx/../x"), std::string("mx?a=b"), std::string("mx&uid=1"), std::string("9mx"),
                                   std::string("m x"), std::string(""), std::string("mx\xC3\xA9"), longest + "m"}) {
        EXPECT_FALSE(MXApi::registerApp(bad)) << bad;
        EXPECT_EQ(MXApi::appId(), std::optional<std::string>("mxabc")) << "the registered id stays";
        EXPECT_FALSE(MessengerApiUtil::getMessengerUrl(bad)) << bad;
        EXPECT_FALSE(handler()->beginWapAuth(request("s"), m_root, bad, m_delegate.get())) << bad;
    }
    EXPECT_TRUE(log.contains("registerApp refused: the app id must be 1 to 128 characters"));
    EXPECT_TRUE(log.contains("sendAuthReq refused: the app id must be"));
    EXPECT_TRUE(MessengerApiUtil::isAppId(longest));
    EXPECT_TRUE(MessengerApiUtil::isAppId("mx1.a-b+c"));
    EXPECT_EQ(MessengerApiUtil::getMessengerUrl(std::string("mx1.a-b+c")), std::optional<std::string>("messenger://app/mx1.a-b+c/"));
    EXPECT_FALSE(pageShown());
}

// A "wapoauth" URL whose arguments pass the bound is refused and no page is loaded with them.
TEST_F(WebSignInTest, AnOverlongWapoauthURLIsRefused) {
    hybtest::LogCapture log;
    begin();
    EXPECT_TRUE(handler()->handleWapOAuthOpenUrl("mxabc://wapoauth?" + std::string(MXApi::kMaxArgumentLength + 1, 'a')));
    EXPECT_TRUE(log.contains("wapoauth refused: its arguments are 1025 bytes long"));
}

TEST_F(WebSignInTest, ContinuingKeepsThePageAndLeavingAnswersMinusTwoAndClosesIt) {
    m_service.server().route(testsupport::SignInService::kMobileCheckPath, testsupport::Reply::text(200, "<p>check</p>", "text/html"));
    begin();
    auto cancel = handler()->getWebViewController()->navigationItem()->leftBarButtonItem();
    ASSERT_TRUE(cancel);
    EXPECT_EQ(cancel->title(), "取消");
    EXPECT_EQ(cancel->style(), platform::BarButtonItemStyle::Bordered);
    platform::TouchDriver::tap(*cancel->viewForBar());
    auto alert = handler()->cancelAlert();
    ASSERT_TRUE(alert && alert->isVisible());
    EXPECT_EQ(alert->title(), "");
    EXPECT_EQ(alert->message(), "取消后将退出本次登录");
    EXPECT_EQ(alert->buttonTitleAtIndex(alert->cancelButtonIndex()), "继续登录");
    EXPECT_EQ(alert->buttonTitleAtIndex(alert->firstOtherButtonIndex()), "退出登录");

    platform::TouchDriver::tap(*alert->buttonViews()[static_cast<std::size_t>(alert->cancelButtonIndex())]);
    m_clock.advance(1);
    EXPECT_TRUE(m_delegate->resps.empty());
    EXPECT_TRUE(pageShown());
    EXPECT_TRUE(handler()->isRunning());

    handler()->cancelWapOAuth();
    alert = handler()->cancelAlert();
    platform::TouchDriver::tap(*alert->buttonViews()[static_cast<std::size_t>(alert->firstOtherButtonIndex())]);
    ASSERT_EQ(m_delegate->resps.size(), 1u);
    auto resp = std::dynamic_pointer_cast<SendAuthResp>(m_delegate->resps[0]);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->errCode, -2);
    EXPECT_FALSE(handler()->isRunning());
    m_clock.advance(1);
    EXPECT_FALSE(pageShown());
    EXPECT_EQ(m_delegate->resps.size(), 1u);
}

TEST_F(WebSignInTest, WapoauthURLsThatAreNotTheRunningSignInsAreNotTaken) {
    EXPECT_FALSE(handler()->handleWapOAuthOpenUrl("mxabc://wapoauth?ticket=1")) << "no sign-in runs";
    EXPECT_FALSE(MXApi::handleOpenURL("mxabc://wapoauth?ticket=1", m_delegate.get()));
    // A return URL while idle is an ordinary sign-in answer; there is no page to close.
    EXPECT_TRUE(MXApi::handleOpenURL("mxabc://oauth?code=late", m_delegate.get()));
    EXPECT_EQ(m_delegate->resps.size(), 1u);
    EXPECT_FALSE(handler()->isRunning());
    m_delegate->resps.clear();

    m_service.server().route(testsupport::SignInService::kMobileCheckPath, testsupport::Reply::text(200, "<p>check</p>", "text/html"));
    begin();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return webView() && !webView()->isLoading() && webView()->location().find("mobilecheck") != std::string::npos; }));
    EXPECT_FALSE(webView()->isHidden()) << "shown once a page has loaded";
    EXPECT_FALSE(handler()->handleWapOAuthOpenUrl("mxabc://wapoauth?")) << "nothing after the prefix";
    EXPECT_FALSE(handler()->handleWapOAuthOpenUrl("other://wapoauth?ticket=1"));
    EXPECT_FALSE(handler()->handleWapOAuthOpenUrl("mxabc://wapoauthticket=1"));
    EXPECT_TRUE(handler()->isRunning());
    EXPECT_TRUE(m_delegate->resps.empty());
}

TEST_F(WebSignInTest, APageThatFailsToLoadStaysUntilTheUserLeaves) {
    WapAuthHandler::setServiceURL("http://127.0.0.1:1"); // nothing listens there
    begin();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return webView() && !webView()->isLoading(); }));
    m_clock.advance(1);
    EXPECT_TRUE(pageShown());
    // No page drawn: the screen's own white ground, not a hole onto what lies below.
    EXPECT_TRUE(webView()->isHidden());
    EXPECT_EQ(handler()->getWebViewController()->view()->backgroundColor(), std::optional<platform::Color>(platform::Color::white()));
    EXPECT_TRUE(handler()->isRunning());
    EXPECT_TRUE(m_delegate->resps.empty());
    handler()->cancelWapOAuth();
    auto alert = handler()->cancelAlert();
    alert->dismissWithClickedButtonIndex(alert->firstOtherButtonIndex(), false);
    EXPECT_TRUE(handler()->isRunning()) << "a dismissal without a tap is no answer";
    handler()->cancelWapOAuth();
    alert = handler()->cancelAlert();
    platform::TouchDriver::tap(*alert->buttonViews()[static_cast<std::size_t>(alert->firstOtherButtonIndex())]);
    EXPECT_FALSE(handler()->isRunning());
    ASSERT_EQ(m_delegate->resps.size(), 1u);
    EXPECT_EQ(m_delegate->resps[0]->errCode, -2);
}

TEST_F(WebSignInTest, ANewSignInEndsTheRunningOneAndLeavingAtOnceStillClosesThePage) {
    m_service.server().route(testsupport::SignInService::kMobileCheckPath, testsupport::Reply::text(200, "<p>check</p>", "text/html"));
    ASSERT_TRUE(MXApi::sendAuthReq(request("one"), m_root, m_delegate.get()));
    auto first = m_root->presentedViewController();
    const std::uint64_t firstUid = handler()->timeStamp();
    ASSERT_TRUE(MXApi::sendAuthReq(request("two"), m_root, m_delegate.get())); // before the first page appeared
    m_clock.advance(1);
    m_clock.advance(1);
    ASSERT_TRUE(pageShown());
    EXPECT_NE(m_root->presentedViewController(), first) << "the second sign-in's page";
    EXPECT_TRUE(m_delegate->resps.empty()) << "ending a sign-in answers nobody";
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_service.queries(testsupport::SignInService::kMobileCheckPath).size() == 1; }));
    EXPECT_EQ(m_service.queries(testsupport::SignInService::kMobileCheckPath)[0].find(std::to_string(firstUid)), std::string::npos)
        << "the first sign-in's delayed load never ran";
    EXPECT_TRUE(handler()->endWapAuth());
    m_clock.advance(1);
    EXPECT_FALSE(pageShown());
}

TEST_F(WebSignInTest, TheLeftBarButtonCanBeHiddenAndShownAgain) {
    auto controller = handler()->getWebViewController();
    handler()->onHiddenLeftBar();
    EXPECT_FALSE(controller->navigationItem()->leftBarButtonItem());
    handler()->onShowLeftBar();
    EXPECT_EQ(controller->navigationItem()->leftBarButtonItem()->title(), "取消");
    EXPECT_EQ(WapAuthHandler::parseURLParams("a=1&b=2").at("b"), "2");
}

TEST_F(WebSignInTest, PicturesOfTheSignInPageAndItsCancelQuestion) {
    m_service.server().route(testsupport::SignInService::kMobileCheckPath, testsupport::Reply::text(200, "<p>check</p>", "text/html"));
    begin();
    m_clock.advance(1);
    expectScreen("web_signin_page");
    handler()->cancelWapOAuth();
    m_clock.advance(1);
    expectScreen("web_signin_cancel_alert");
}

} // namespace
