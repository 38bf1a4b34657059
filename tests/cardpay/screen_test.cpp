// The screen frame: failures, server alert boxes, the exit, the notice bars, the Next button, the
// form handling, and the web page screen.
#include "cardpay/cells/BCInputCells.h"
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCHttpsConnect.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/tracker/YLUniTracker.h"
#include "cardpay/views/BCCheckBoxViews.h"
#include "platform/runloop/Notification.h"
#include "support/CardPayTestServer.h"
#include "support/Snapshot.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/screens/BCBaseViewController.h"
#include "cardpay/screens/BCWebViewController.h"
#include "platform/application/Application.h"
#include "platform/system/Device.h"
#include "platform/web/HeadlessWebView.h"
#include "platform/web/ScriptedPage.h"
#include "platform/text/URL.h"
#include "platform/net/URLError.h"
#include "platform/net/URLRequest.h"
#include "platform/system/UserDefaults.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/TextField.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/ViewRenderer.h"
#include "platform/ui/Window.h"
#include "cardpay/cells/BCPointCell.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include "CardPayFixture.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace cardpay;
using platform::Rect;

namespace {

class Screen : public BCBaseViewController {
public:
    Screen() = default;
    int defaults = 0;
};

using Host = cardpaytest::HostRecorder;

class CardPayScreen : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        m_clock.install();
        BCDataContainer::destory();
        BCDataContainer::instance()->setResultDelegate(m_host);
        m_window = platform::Window::create(Rect(0, 0, 375, 667));
        m_root = std::make_shared<platform::ViewController>();
        m_window->setRootViewController(m_root);
        m_window->makeKeyAndVisible();
    }
    void TearDown() override {
        m_server.releaseHeldReplies();
        BCMPService::releaseCommon();
        BCHttpsConnect::releaseInstance();
        BCDataContainer::destory();
    }

    // The road talks to the loopback payment server from now on.
    bool openRoad() {
        auto scenario = testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
        if (!scenario.ok())
            return false;
        m_server.setScenario(*scenario);
        BCDataContainer::instance()->setMTN(std::string("201712010001"));
        BCHttpsConnect::instance()->setServerURL(m_server.url());
        return true;
    }

    // A screen in a navigation controller presented over the host's root.
    std::shared_ptr<Screen> present() {
        auto screen = std::make_shared<Screen>();
        m_nav = BCNavController::initWithRootViewController(screen);
        BCDataContainer::instance()->setRootViewController(m_root);
        m_root->presentViewController(m_nav, false);
        hybtest::runMainUntil([&] { return !m_nav->isBeingTransitioned(); });
        screen->view();
        return screen;
    }

    platform::VirtualClock m_clock;
    std::shared_ptr<Host> m_host = std::make_shared<Host>();
    std::shared_ptr<platform::Window> m_window;
    std::shared_ptr<platform::ViewController> m_root;
    std::shared_ptr<BCNavController> m_nav;
    testsupport::CardPayTestServer m_server;
};

} // namespace

TEST_F(CardPayScreen, FailureTypes) {
    auto screen = present();
    for (int type : {2005, 2099}) {
        screen->comunicateToBCMPDidFailWithErrorType(type, "x");
        EXPECT_FALSE(screen->mAlertView()) << type;
    }
    screen->comunicateToBCMPDidFailWithErrorType(2001, std::nullopt);
    ASSERT_TRUE(screen->mAlertView());
    EXPECT_EQ(screen->mAlertView()->messageLabel() ? screen->mAlertView()->messageLabel()->text() : "", "");
    EXPECT_TRUE(screen->navigationController()->interactivePopGestureRecognizer() == nullptr ||
                !screen->navigationController()->interactivePopGestureRecognizer()->isEnabled());
    screen->mAlertView()->buttonOKClicked();
    EXPECT_FALSE(screen->mAlertView());

    screen->comunicateToBCMPDidFailWithErrorType(2003, std::nullopt);
    screen->mAlertView()->buttonOKClicked();
    EXPECT_FALSE(screen->mClientMustBeTerminated());
    EXPECT_TRUE(m_root->presentedViewController());

    screen->comunicateToBCMPDidFailWithErrorType(2002, std::nullopt);
    screen->mAlertView()->buttonOKClicked();
    m_clock.advance(std::chrono::seconds(1));  // the animated dismissal
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_host->results.empty(); }));
    EXPECT_EQ(m_host->results[0], (platform::Dictionary{{"code", "fail"}, {"data", ""}}));
    EXPECT_FALSE(m_root->presentedViewController());
}

TEST_F(CardPayScreen, ExitOnceWithoutAnimationForPluginClient) {
    auto& defaults = platform::UserDefaults::standard();
    ASSERT_TRUE(defaults.set("BCPayPluginClient", platform::Value("YES")).ok());
    ASSERT_TRUE(defaults.set("BCPayPluginCheckeCode", platform::Value("1234")).ok());
    BCDataContainer::instance()->setBundleConfig(platform::Dictionary{{"StandardPluginLoading", "No"}});
    BCDataContainer::instance()->setRootViewControllerPresentationStyle(2);
    BCDataContainer::instance()->setWindowColor(platform::Color::fromRGBA255(1, 2, 3));
    auto screen = present();
    std::weak_ptr<BCNavController> nav = m_nav;
    m_nav.reset();
    screen->exitWithResult("cancel");
    screen->exitWithResult("success");  // a double tap: ignored
    EXPECT_EQ(defaults.string("BCPayPluginClient"), "");
    EXPECT_EQ(defaults.string("BCPayPluginCheckeCode"), "");
    EXPECT_EQ(m_root->modalPresentationStyle(), platform::ModalPresentationStyle::FormSheet);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_host->results.empty(); }));
    EXPECT_EQ(m_host->results.size(), 1u);
    EXPECT_EQ(*m_host->results[0]["code"].getString(), "cancel");
    EXPECT_EQ(m_window->backgroundColor(), platform::Color::fromRGBA255(1, 2, 3));
    screen.reset();
    EXPECT_TRUE(nav.expired());
}

TEST_F(CardPayScreen, ServerAlertBoxes) {
    auto container = BCDataContainer::instance();
    container->setOpenAlertBox(platform::Dictionary{{"title", "open"}, {"func", platform::Dictionary{{"label", "Go"}, {"action", "init"}}}});
    container->setTempAlertBox(platform::Dictionary{{"title", "temp"}});
    container->setExpiredAlertBox(platform::Dictionary{{"title", "expired"}});
    auto screen = present();
    auto second = std::make_shared<Screen>();
    m_nav->pushViewController(second, false);
    second->view();
    second->handleAlertBoxWithDefaultAction([] {});
    ASSERT_TRUE(second->mAlertView());
    EXPECT_EQ(second->mAlertView()->titleLabel()->text(), "open");
    EXPECT_FALSE(container->openAlertBox());
    EXPECT_FALSE(container->expiredAlertBox());
    EXPECT_FALSE(container->tempAlertBox());
    second->mAlertView()->buttonOKClicked();
    EXPECT_EQ(m_nav->viewControllers().size(), 1u);

    // No action: the default runs later, on the main run loop.
    int defaults = 0;
    container->setTempAlertBox(platform::Dictionary{{"title", "temp"}});
    screen->handleAlertBoxWithDefaultAction([&] { ++defaults; });
    screen->mAlertView()->buttonOKClicked();
    EXPECT_EQ(defaults, 0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return defaults == 1; }));
}

TEST_F(CardPayScreen, LayoutWithAndWithoutNoticeBars) {
    BCDataContainer::instance()->apply({{"warningInfo", 5}, {"ADString", platform::Array{}}});  // not texts: no bars
    auto plain = present();
    EXPECT_FALSE(plain->barBackgroundView());
    const double below = plain->addOrderViewWithStyle(0);
    EXPECT_EQ(below, plain->pullListView()->frame().size.height);
    EXPECT_EQ(plain->pullListView()->frame().origin.y, 0);
    m_root->dismissViewController(false);
    hybtest::runMainUntil([&] { return !m_root->presentedViewController(); });

    BCDataContainer::instance()->apply({{"warningInfo", "Mind the gap"}, {"ADString", "Half price today"}});
    auto screen = present();
    ASSERT_TRUE(screen->barBackgroundView() && screen->adBar() && screen->warningBar());
    const double warning = screen->warningBar()->frame().size.height;
    EXPECT_EQ(screen->adBar()->frame().origin.y, warning);
    EXPECT_EQ(screen->barBackgroundView()->frame().size.height, warning + screen->adBar()->frame().size.height);
    const double y = screen->addOrderViewWithStyle(0);
    EXPECT_EQ(y - screen->pullListView()->frame().size.height, screen->barBackgroundView()->frame().maxY());
    screen->mScrollView()->setContentSize({375, 2000});
    screen->mScrollView()->setContentOffset({0, warning + 30});
    EXPECT_EQ(screen->barBackgroundView()->frame().origin.y, 30);
    EXPECT_EQ(screen->mScrollView()->subviews().back(), screen->barBackgroundView());
    screen->mScrollView()->setContentOffset({0, warning / 2});
    EXPECT_EQ(screen->barBackgroundView()->frame().origin.y, 0);
}

// A keyboard that scrolled the body to a field gives the offset back when it goes: both notice bars show
// whole below the screen's bar again, in a short body and in a long one.
TEST_F(CardPayScreen, TheKeyboardGivesBackTheOffsetItTook) {
    BCDataContainer::instance()->apply({{"warningInfo", "Mind the gap"}, {"ADString", "Half price today"}});
    auto screen = present();
    ASSERT_TRUE(screen->warningBar() && screen->adBar());
    const double warning = screen->warningBar()->frame().size.height;
    screen->addOrderViewWithStyle(0);
    for (const double content : {700.0, 2000.0}) {
        screen->mScrollView()->setContentOffset({0, 0});
        screen->mScrollView()->setContentSize({375, content});
        auto field = std::make_shared<platform::TextField>(Rect(12, 560, 351, 44));
        field->setDelegate(std::static_pointer_cast<platform::TextFieldDelegate>(screen));
        screen->mScrollView()->addSubview(field);
        ASSERT_TRUE(field->becomeFirstResponder());
        // Scrolled (animated, on the clock) past the first bar.
        ASSERT_TRUE(hybtest::runMainUntil([&] {
            m_clock.advance(0.05);
            return screen->mScrollView()->contentOffset().y > warning;
        })) << content;
        ASSERT_TRUE(field->resignFirstResponder());
        EXPECT_EQ(screen->mScrollView()->contentOffset().y, 0) << content;
        m_clock.advance(1);
        hybtest::runMainUntil([&] { return !platform::ViewAnimation::isAnimating(*screen->mScrollView()); });
        EXPECT_EQ(screen->mScrollView()->contentOffset().y, 0) << content;
        EXPECT_EQ(screen->mScrollView()->frame(), screen->scrollViewFrame());
        const Rect bar = screen->warningBar()->convertRectTo(screen->warningBar()->bounds(), nullptr);
        const Rect body = screen->view()->convertRectTo(screen->mScrollView()->frame(), nullptr);
        EXPECT_EQ(bar.minY(), body.minY()) << content;
        EXPECT_EQ(screen->barBackgroundView()->frame(), screen->barBackgroundViewFrame());
        field->removeFromSuperview();
    }
    hybtest::expectSnapshot(*screen->view(), "frame_bars_after_keyboard");
}

TEST_F(CardPayScreen, PointsFieldTyping) {
    auto screen = present();
    auto field = std::make_shared<platform::TextField>(Rect(0, 0, 200, 44));
    field->setTag(BCBaseViewController::kPointsTag);
    field->setDelegate(std::static_pointer_cast<platform::TextFieldDelegate>(screen));
    screen->view()->addSubview(field);
    BCDataContainer::instance()->setMaxCanUsePoint(0);
    for (const char* key : {"1", ".", "2", "3", "4"})
        field->insertText(key);
    EXPECT_EQ(field->text(), "1.23");
    field->insertText("x");
    EXPECT_EQ(field->text(), "1.23");
    field->setText("");
    BCDataContainer::instance()->setMaxCanUsePoint(12.5);
    field->insertText("1");
    field->insertText("3");
    EXPECT_EQ(field->text(), "12.50");
}

TEST_F(CardPayScreen, FailureTrackingByCommandAndPayType) {
    ASSERT_TRUE(openRoad());
    auto& server = m_server;
    for (const char* cmd : {"rules", "bindcardrules", "getuserinfo", "pay", "sms"})
        server.setEnvelope(cmd, platform::Dictionary{{"resp", "01"}, {"msg", "boom"}});
    auto screen = present();
    ASSERT_TRUE(screen->service());
    struct Case {
        std::function<void(BCMPServiceConsumption&)> post;
        const char* card;
        const char* login;
    };
    const std::vector<Case> cases{
        {[](auto& s) { s.postRulesRequestWithFlag("0", "4111", "1", "1"); }, "bankpay_cardNO_fail", "loginpay_cardNO_fail"},
        {[](auto& s) { s.postBindCardRulesRequestWithParams(""); }, "bankpay_cardNO_fail", "loginpay_cardNO_fail"},
        {[](auto& s) { s.postGetUserInfoRequestWithParams(""); }, "login_fail", "login_fail"},
        {[](auto& s) { s.postRequestWithCmd("pay", ""); }, "bankpay_fail", "loginpay_fail"},
        {[](auto& s) { s.postSmsRequestWithFlag("0", ""); }, "bankpay_fail", "loginpay_fail"},
    };
    for (long long payType : {101, 100}) {
        BCDataContainer::instance()->setPayType(payType);
        for (const auto& c : cases) {
            YLUniTracker::resetRecord();
            c.post(*screen->service());
            ASSERT_TRUE(hybtest::runMainUntil([&] { return screen->mAlertView() != nullptr; }));
            ASSERT_EQ(YLUniTracker::recordedCalls().size(), 1u);
            const auto& call = YLUniTracker::recordedCalls()[0];
            EXPECT_EQ(call.arguments[0], platform::Value(payType == 101 ? c.card : c.login));
            EXPECT_EQ(call.arguments[2], platform::Value(platform::Dictionary{{"errorDesc", "boom"}}));
            EXPECT_EQ(screen->mAlertView()->messageLabel()->text(), "boom");
            screen->dismissAlertView();
        }
    }
    // A failure without a message tracks nothing, though the last command was a tracked one.
    YLUniTracker::resetRecord();
    screen->comunicateToBCMPDidFailWithErrorType(2001, std::nullopt);
    EXPECT_TRUE(YLUniTracker::recordedCalls().empty());
    EXPECT_EQ(screen->mAlertView()->messageLabel()->text(), "");
}

TEST_F(CardPayScreen, NextButtonStateImages) {
    auto screen = present();
    screen->addBtnNextWithTitle("Next", Rect(12, 300, 351, 44), false, *screen->mScrollView());
    auto next = screen->mBtnNext();
    EXPECT_FALSE(next->isEnabled());
    EXPECT_EQ(next->titleColorForState(platform::kControlStateHighlighted), platform::Color::white());
    EXPECT_EQ(next->backgroundImageForState(platform::kControlStateNormal)->size().width, 10);
    EXPECT_EQ(next->layer()->cornerRadius(), 4);

    BCDataContainer::instance()->setBundleConfig(platform::Dictionary{});
    screen->addBtnNextWithTitle("Next", Rect(12, 300, 351, 44), true, *screen->mScrollView());
    next = screen->mBtnNext();
    EXPECT_TRUE(next->isEnabled());
    EXPECT_EQ(next->backgroundImageForState(platform::kControlStateNormal), BCImageManager::instance()->imageNamed(20012));
    EXPECT_EQ(next->backgroundImageForState(platform::kControlStateDisabled), BCImageManager::instance()->imageNamed(20014));
    EXPECT_EQ(next->titleColorForState(platform::kControlStateHighlighted), platform::Color::fromRGBA255(217, 164, 38));
    EXPECT_EQ(next->titleColorForState(platform::kControlStateDisabled), platform::Color::fromRGBA255(255, 229, 167));
}

namespace {

std::shared_ptr<BCPaymentElementsView> addForm(const std::shared_ptr<Screen>& screen, platform::Array elements) {
    auto form = std::make_shared<BCPaymentElementsView>(Rect(0, 0, 375, 0), elements, screen);
    screen->mScrollView()->addSubview(form);
    screen->setPaymentElementsView(form);
    screen->initTextFieldArray();
    screen->addBtnNextWithTitle("Next", Rect(12, 400, 351, 44), true, *screen->mScrollView());
    return form;
}

std::shared_ptr<BCBaseCell> cellAt(const std::shared_ptr<BCPaymentElementsView>& form, std::size_t i) {
    return std::static_pointer_cast<BCBaseCell>(form->elementArray().at(i));
}

} // namespace

TEST_F(CardPayScreen, NextButtonFollowsTheForm) {
    auto screen = present();
    auto form = addForm(screen, platform::Array{platform::Dictionary{{"type", "text"}, {"name", "remark"}, {"placeholder", "Remark"}},
                                                platform::Dictionary{{"type", "point"}, {"name", "points"}}});
    auto remark = cellAt(form, 0)->textField();
    auto points = cellAt(form, 1)->textField();
    ASSERT_EQ(points->tag(), BCBaseViewController::kPointsTag);
    EXPECT_FALSE(screen->canEnableNextButton());
    remark->becomeFirstResponder();
    remark->insertText("a");  // the last empty cell (points aside) gets its first character
    EXPECT_TRUE(screen->mBtnNext()->isEnabled());
    EXPECT_TRUE(screen->canEnableNextButton());  // only the points cell is empty
    remark->deleteBackward();
    EXPECT_FALSE(screen->mBtnNext()->isEnabled());

    remark->insertText("b");
    screen->mBtnNext()->setEnabled(true);
    points->becomeFirstResponder();
    points->insertText("5");
    points->deleteBackward();
    EXPECT_TRUE(screen->mBtnNext()->isEnabled());

    // The delayed check of a cleared field does not touch a screen that is gone.
    remark->setText("");
    screen->checkTextFieldClear(*remark);
    m_root->dismissViewController(false);
    m_nav.reset();
    std::weak_ptr<Screen> weak = screen;
    form.reset();
    remark.reset();
    points.reset();
    screen.reset();
    m_clock.advance(1.0);
    EXPECT_TRUE(weak.expired());
}

TEST_F(CardPayScreen, PasswordFieldKeyboardAndAgreement) {
    BCDataContainer::instance()->setMMessageBlock(std::string("4111111111111111"));
    auto screen = present();
    auto form = addForm(screen, platform::Array{platform::Dictionary{{"type", "pwd"}, {"name", "pin"}}});
    auto pin = std::static_pointer_cast<BCPasswordCell>(cellAt(form, 0));
    pin->keyboard()->setRandomSeed(1);
    const auto ordered = pin->keyboard()->keyDigits();
    screen->textFieldDidBeginEditing(*pin->textField());
    EXPECT_NE(pin->keyboard()->keyDigits(), ordered);
    EXPECT_EQ(pin->textField()->superview()->layer()->borderColor(), BCUtils::focusedTextFieldBorderColor());
    pin->keyboard()->digitKey(1)->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(pin->keyboard()->keptDigitCount(), 1u);
    screen->textFieldShouldClear(*pin->textField());
    EXPECT_EQ(pin->keyboard()->keptDigitCount(), 0u);

    // Keyboard avoidance: nothing after end-editing with no focus; with focus the view shrinks.
    const Rect resting = screen->mScrollView()->frame();
    screen->textFieldShouldEndEditing(*pin->textField());
    const platform::Notification frameChange{"UIKeyboardWillChangeFrameNotification", nullptr,
        platform::Dictionary{{platform::kKeyboardFrameEndUserInfoKey, platform::Dictionary{{"x", 0.0}, {"y", 451.0}, {"width", 375.0}, {"height", 216.0}}},
                             {platform::kKeyboardAnimationDurationUserInfoKey, 0.25}}};
    screen->keyBoardWillChangeFrame(frameChange);
    EXPECT_EQ(screen->mScrollView()->frame(), resting);
    screen->textFieldDidBeginEditing(*pin->textField());
    screen->keyBoardWillChangeFrame(frameChange);
    EXPECT_EQ(screen->mScrollView()->frame().size.height, BCUtils::displayHeight() - BCUtils::statusBarHeight() - 44 - 216);
    screen->keyboareWillHide(frameChange);
    EXPECT_EQ(screen->mScrollView()->frame(), resting);

    // A complete form is still blocked by an unticked agreement box, with the box's own message.
    for (int d = 0; d < 6; ++d)
        pin->keyboard()->digitKey(d)->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    auto optional = std::make_shared<BCCheckBoxView>(Rect(0, 500, 375, 40), platform::Dictionary{{"label", "News"}, {"checked", "1"}},
                                                     std::weak_ptr<BCCheckBoxDelegate>());
    optional->setTag(BCBaseViewController::kAgreementTag);
    screen->mScrollView()->addSubview(optional);
    EXPECT_TRUE(screen->checkPaymentParams());  // an optional box asks nothing
    optional->removeFromSuperview();
    auto box = std::make_shared<BCCheckBoxView>(Rect(0, 500, 375, 40),
        platform::Dictionary{{"label", "I agree"}, {"checked", "1"}, {"required", "1"}, {"error_info", "Please accept the terms"}},
        std::weak_ptr<BCCheckBoxDelegate>());
    box->setTag(BCBaseViewController::kAgreementTag);
    screen->mScrollView()->addSubview(box);
    EXPECT_FALSE(screen->checkPaymentParams());
    ASSERT_TRUE(screen->mAlertView());
    EXPECT_EQ(screen->mAlertView()->messageLabel()->text(), "Please accept the terms");
    box->removeFromSuperview();
    EXPECT_TRUE(screen->checkPaymentParams());
}

TEST_F(CardPayScreen, WebPageScreen) {
    auto page = std::make_shared<platform::ScriptedPage>();
    page->setRedirect(m_server.url("/moved.html"), m_server.url("/pages/banks.html"));
    platform::WebView::setFactory([page](Rect frame) { return platform::HeadlessWebView::create(frame, page); });
    auto screen = present();

    auto web = BCWebViewController::initWithUrl(m_server.url("/pages/terms.html"), "Terms");
    m_nav->pushViewController(web, false);
    web->view();
    ASSERT_TRUE(web->navigationBar() && web->webView());
    EXPECT_TRUE(web->navigationBar()->loadingIndicator());
    EXPECT_EQ(web->webView()->frame().origin.y, BCUtils::viewControllerBoundsOriginY() + 44);
    EXPECT_FALSE(web->barBackgroundView());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return web->navigationBar()->barTitle() != nullptr; }));
    EXPECT_EQ(web->navigationBar()->barTitle()->text(), "Terms");

    auto moved = BCWebViewController::initWithUrl(m_server.url("/moved.html"), "Moved");
    m_nav->pushViewController(moved, false);
    moved->view();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !moved->webView()->isLoading() && moved->webView()->request(); }));
    // Led to another page of the web: its end stops the spinner all the same.
    ASSERT_TRUE(moved->navigationBar()->barTitle());
    EXPECT_EQ(moved->navigationBar()->barTitle()->text(), "Moved");

    // Opened without a title: the page's own; a page that fails to load: the network alert, no spinner.
    page->setAnswer("document.title", "Supported banks");
    auto untitled = BCWebViewController::initWithUrl(m_server.url("/pages/banks.html"), "");
    m_nav->pushViewController(untitled, false);
    untitled->view();
    EXPECT_TRUE(untitled->webView()->isHidden()) << "no page drawn yet: the screen's own ground";
    ASSERT_TRUE(hybtest::runMainUntil([&] { return untitled->navigationBar()->barTitle() != nullptr; }));
    EXPECT_EQ(untitled->navigationBar()->barTitle()->text(), "Supported banks");
    EXPECT_FALSE(untitled->mAlertView());
    // The alert says what happened: another try is asked for only where it may go otherwise.
    struct Failure {
        const char* path;
        platform::Error error;
        int text;
    };
    const Failure failures[] = {
        {"/down.html", platform::makeURLError(platform::kURLErrorCannotConnectToHost, "down", ""), 12002},
        {"/slow.html", platform::makeURLError(platform::kURLErrorTimedOut, "slow", ""), 12002},
        {"/notes.txt", platform::Error(platform::kWebKitErrorDomain, platform::kWebKitErrorFrameLoadInterrupted, "an attachment"), 12021},
        {"/loop.html", platform::makeURLError(platform::kURLErrorHTTPTooManyRedirects, "loop", ""), 12022},
        {"/port.html", platform::Error(platform::kWebKitErrorDomain, platform::kWebKitErrorCannotUseRestrictedPort, "port"), 12022},
    };
    for (const Failure& failure : failures) {
        page->setFailure(m_server.url(failure.path), failure.error);
        auto down = BCWebViewController::initWithUrl(m_server.url(failure.path), "Down");
        m_nav->pushViewController(down, false);
        down->view();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return down->navigationBar()->barTitle() != nullptr; })) << failure.path;
        EXPECT_FALSE(down->navigationBar()->loadingIndicator());
        ASSERT_TRUE(down->mAlertView());
        EXPECT_EQ(down->mAlertView()->messageLabel()->text(), BCLocale::instance()->getStringById(failure.text)) << failure.path;
        EXPECT_EQ(down->navigationBar()->barTitle()->text(), "Down");
        EXPECT_TRUE(down->webView()->isHidden());  // no page to show: the screen's own ground, not a hole
        if (failure.text == 12021)
            hybtest::expectSnapshot(*down->view(), "web_page_download");
    }

    // Neither the screen nor the page titled (a blank title is none), or a page that failed before its
    // title was read: the page's host, never an empty bar.
    struct Untitled {
        const char* path;
        const char* title;
        bool fails;
    };
    for (const Untitled& c : {Untitled{"/pages/bare.html", "", false}, Untitled{"/pages/gone.html", " \n ", true}}) {
        page->setAnswer("document.title", c.fails ? "Supported banks" : " \t\n ");
        if (c.fails)
            page->setFailure(m_server.url(c.path), platform::makeURLError(platform::kURLErrorCannotConnectToHost, "down", ""));
        auto bare = BCWebViewController::initWithUrl(m_server.url(c.path), c.title);
        m_nav->pushViewController(bare, false);
        bare->view();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return bare->navigationBar()->barTitle() != nullptr; })) << c.path;
        EXPECT_EQ(bare->navigationBar()->barTitle()->text(), "127.0.0.1") << c.path;
        EXPECT_EQ(bare->webView()->isHidden(), c.fails) << c.path;
        EXPECT_EQ(bare->mAlertView() != nullptr, c.fails) << c.path;
    }
    page->setAnswer("document.title", "Supported banks");

    // A load stopped without a fault (the page stops itself, say) and followed by none: the title, no alert.
    page->setFailure(m_server.url("/stopped.html"), platform::makeURLError(platform::kURLErrorCancelled, "cancelled", ""));
    auto stopped = BCWebViewController::initWithUrl(m_server.url("/stopped.html"), "Stopped");
    m_nav->pushViewController(stopped, false);
    stopped->view();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !stopped->webView()->isLoading(); }));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return stopped->navigationBar()->barTitle() != nullptr; }));
    EXPECT_EQ(stopped->navigationBar()->barTitle()->text(), "Stopped");
    EXPECT_FALSE(stopped->navigationBar()->loadingIndicator());
    EXPECT_FALSE(stopped->mAlertView());

    auto broken = BCWebViewController::initWithUrl("not a url", "Broken");
    m_nav->pushViewController(broken, false);
    broken->view();
    EXPECT_FALSE(broken->webView()->request());
    // Nothing to load, so nothing will end: the title and the error at once, no spinner left turning.
    ASSERT_TRUE(broken->navigationBar()->barTitle());
    EXPECT_EQ(broken->navigationBar()->barTitle()->text(), "Broken");
    EXPECT_FALSE(broken->navigationBar()->loadingIndicator());
    ASSERT_TRUE(broken->mAlertView());
    EXPECT_EQ(broken->mAlertView()->messageLabel()->text(), BCLocale::instance()->getStringById(12022));

    broken->navigationBar()->leftButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_nav->topViewController() == stopped; }));
    platform::WebView::setFactory({});
}

TEST_F(CardPayScreen, OnlyWebAddressesAreOpened) {
    EXPECT_TRUE(BCUtils::isWebAddress("http://127.0.0.1/a.html"));
    EXPECT_TRUE(BCUtils::isWebAddress("HTTPS://example.invalid/"));
    for (const char* other : {"file:///etc/passwd", "FILE:///etc/passwd", "javascript:alert(1)", "data:text/html,<p>x</p>",
                              "about:blank", "ftp://127.0.0.1/", "http:relative", "/etc/passwd", "", "not a url"})
        EXPECT_FALSE(BCUtils::isWebAddress(other)) << other;

    const std::string dir = m_home.root();
    { std::ofstream(dir + "/secret.html") << "<p>secret</p>"; }
    auto page = std::make_shared<platform::ScriptedPage>();
    page->setRedirect(m_server.url("/to-file.html"), "file://" + dir + "/secret.html");
    platform::WebView::setFactory([page](Rect frame) { return platform::HeadlessWebView::create(frame, page); });
    auto screen = present();

    // A server address of another scheme: the road's error, nothing pushed.
    for (const std::string& address : {"file://" + dir + "/secret.html", std::string("javascript:alert(1)")}) {
        screen->openWebPage(address, "Terms");
        EXPECT_EQ(m_nav->topViewController(), screen) << address;
        ASSERT_TRUE(screen->mAlertView());
        EXPECT_EQ(screen->mAlertView()->messageLabel()->text(), BCLocale::instance()->getStringById(12022));
        screen->dismissAlertView();
    }
    // The page itself loads nothing but web addresses, and a page that leads elsewhere is stopped.
    auto direct = BCWebViewController::initWithUrl("file://" + dir + "/secret.html", "Secret");
    m_nav->pushViewController(direct, false);
    direct->view();
    EXPECT_FALSE(direct->webView()->request());
    auto redirected = BCWebViewController::initWithUrl(m_server.url("/to-file.html"), "Redirected");
    m_nav->pushViewController(redirected, false);
    redirected->view();
    // The refusal ends the load: the spinner stops, the error alert shows, the empty page is opaque.
    ASSERT_TRUE(hybtest::runMainUntil([&] { return redirected->navigationBar()->barTitle() != nullptr; }));
    EXPECT_FALSE(redirected->webView()->isLoading());
    const platform::URLRequest* loaded = redirected->webView()->request();
    EXPECT_TRUE(!loaded || !loaded->url() || loaded->url()->scheme() != "file");
    EXPECT_FALSE(redirected->navigationBar()->loadingIndicator());
    ASSERT_TRUE(redirected->mAlertView());
    EXPECT_EQ(redirected->mAlertView()->messageLabel()->text(), BCLocale::instance()->getStringById(12022));
    EXPECT_EQ(redirected->webView()->backgroundColor(), std::optional<platform::Color>(platform::Color::white()));
    // The screen covers what lies below the road wherever it shows no page: drawn for a host that shows
    // each engine's widget below the native views, it leaves no hole that the host's page could show through.
    auto context = platform::ImageContext::begin({375, 667}, 1);
    platform::ViewRenderer::render(*redirected->view(), context->context().cairo(), platform::ViewRenderer::WebViews::Clear);
    const auto picture = context->end();
    const Rect area = redirected->webView()->frame();
    for (const platform::Point at : {area.center(), platform::Point{area.minX() + 2, area.minY() + 2}})
        EXPECT_EQ(picture->pixelAt(static_cast<int>(at.x), static_cast<int>(at.y)).alpha, 1.0) << at.x << "," << at.y;
    hybtest::expectSnapshot(*redirected->view(), "web_page_refused");
    // A page that showed, then a load led somewhere refused on its way: no page is left drawn, so the web
    // view goes as well.
    auto shown = BCWebViewController::initWithUrl(m_server.url("/pages/terms.html"), "Terms");
    m_nav->pushViewController(shown, false);
    shown->view();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return shown->navigationBar()->barTitle() != nullptr; }));
    EXPECT_FALSE(shown->webView()->isHidden());
    shown->webView()->loadRequest(platform::URLRequest(*platform::URL::fromString(m_server.url("/to-file.html"))));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return shown->mAlertView() != nullptr && !shown->webView()->isLoading(); }));
    EXPECT_TRUE(shown->webView()->isHidden());
    EXPECT_EQ(shown->navigationBar()->barTitle()->text(), "Terms");
    platform::WebView::setFactory({});
}

TEST_F(CardPayScreen, FailureEnablesTheSmsButtonAgain) {
    auto screen = present();
    auto form = addForm(screen, platform::Array{platform::Dictionary{{"type", "sms"}, {"name", "sms"}}});
    auto sms = std::static_pointer_cast<BCSmsCodeCell>(cellAt(form, 0));
    for (int type : {2005, 2099}) {
        screen->smsCodeSucceed();
        EXPECT_FALSE(sms->mBtnSmsCode()->isEnabled());
        screen->comunicateToBCMPDidFailWithErrorType(type, std::nullopt);
        EXPECT_TRUE(sms->mBtnSmsCode()->isEnabled()) << type;
        EXPECT_FALSE(screen->mAlertView());
    }
}

TEST_F(CardPayScreen, Pictures) {
    auto container = BCDataContainer::instance();
    container->apply({{"warningInfo", "Card payments are slow tonight."}, {"ADString", "Pay by card and get 5% back today."},
                      {"mOrderInfoArray", platform::Array{platform::Dictionary{{"label", "Merchant"}, {"value", "Sample Shop"}},
                                                          platform::Dictionary{{"label", "Amount"}, {"value", "128.00"}}}}});
    auto screen = present();
    screen->addOrderViewWithStyle(1);
    hybtest::expectSnapshot(*screen->view(), "frame_bars_and_order");
    screen->showAlertViewWithMessage(std::string("Network Error, Please Retry."));
    hybtest::expectSnapshot(*screen->view(), "frame_error_alert");
    screen->showLoadingAlertView();
    screen->mAlertView()->loadingImageView()->layer()->removeAllAnimations();
    hybtest::expectSnapshot(*screen->view(), "frame_loading_box");

    auto web = BCWebViewController::initWithUrl(m_server.url("/pages/terms.html"), "User Agreement");
    m_nav->pushViewController(web, false);
    web->view();
    web->navigationBar()->loadingIndicator()->stopAnimating();  // a still picture
    web->navigationBar()->loadingIndicator()->setHidden(false);
    hybtest::expectSnapshot(*web->view(), "web_page_loading");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return web->navigationBar()->barTitle() != nullptr; }));
    hybtest::expectSnapshot(*web->view(), "web_page_title");
}

TEST_F(CardPayScreen, PointsCellGrowthMovesWhatLiesBelow) {
    BCDataContainer::instance()->setMaxCanUsePoint(500);
    auto screen = present();
    auto form = addForm(screen, platform::Array{platform::Dictionary{{"type", "point"}, {"name", "points"}}});
    auto cell = std::static_pointer_cast<BCPointCell>(cellAt(form, 0));
    screen->mScrollView()->setContentSize({375, 600});
    const double nextY = screen->mBtnNext()->frame().origin.y;
    const double formY = form->frame().origin.y;
    screen->pointCellKeyPathChanged(*cell, 30);
    EXPECT_EQ(screen->mBtnNext()->frame().origin.y, nextY + 30);
    EXPECT_EQ(form->frame().origin.y, formY);
    EXPECT_EQ(screen->mScrollView()->contentSize().height, 630);

    BCDataContainer::instance()->setPointCell(nullptr);  // no points cell on the road: nothing moves
    screen->pointCellKeyPathChanged(*cell, 30);
    EXPECT_EQ(screen->mBtnNext()->frame().origin.y, nextY + 30);
}

TEST_F(CardPayScreen, RotationLaysTheFrameOutOnce) {
    auto screen = present();
    screen->addBtnNextWithTitle("Next", Rect(12, 300, 351, 44), true, *screen->mScrollView());
    screen->showLoadingAlertView();
    const Rect scroll = screen->mScrollView()->frame();
    BCDataContainer::instance()->setToRotationSize({667, 375});
    const double d = BCUtils::rotatedOffset();
    ASSERT_EQ(d, 667 - 375);
    for (int i = 0; i < 2; ++i)  // the transition and the older callback may both come
        screen->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0);
    EXPECT_EQ(screen->mScrollView()->frame(), Rect(scroll.origin.x, scroll.origin.y, 667, scroll.size.height - d));
    EXPECT_EQ(screen->scrollViewFrame(), screen->mScrollView()->frame());
    EXPECT_EQ(screen->mBtnNext()->frame().size.width, 351 + d);
    EXPECT_EQ(screen->statusBarBackgroundView()->frame().size.width, 375 + d);
    EXPECT_EQ(screen->mAlertView()->frame().size.width, 667);
}

TEST_F(CardPayScreen, AgreementPageAndSmsRequest) {
    auto screen = present();
    BCDataContainer::instance()->setPayType(101);
    YLUniTracker::resetRecord();
    screen->checkBoxHref(m_server.url("/nowhere/terms.html"), "用户协议");
    ASSERT_EQ(YLUniTracker::recordedCalls().size(), 1u);
    EXPECT_EQ(YLUniTracker::recordedCalls()[0].arguments[0], platform::Value("bankpay_open_user_protocol"));
    auto web = std::dynamic_pointer_cast<BCWebViewController>(m_nav->topViewController());
    ASSERT_TRUE(web);
    EXPECT_EQ(web->webViewUrl(), m_server.url("/nowhere/terms.html"));
    EXPECT_EQ(web->barTitle(), "用户协议");

    BCDataContainer::instance()->setBcPayPrefix(std::string("up_"));
    YLUniTracker::resetRecord();
    screen->checkBoxHref("file:///nowhere/rates.html", "Rates");  // another title is not tracked
    EXPECT_TRUE(YLUniTracker::recordedCalls().empty());

    // The SMS request checks the form first: an empty phone number shows the form's message.
    auto form = addForm(screen, platform::Array{platform::Dictionary{{"type", "Mobile"}, {"name", "mobile"}, {"placeholder", "Phone"}}});
    screen->smsCodeAction();
    ASSERT_EQ(YLUniTracker::recordedCalls().size(), 1u);
    EXPECT_EQ(YLUniTracker::recordedCalls()[0].arguments[0], platform::Value("up_click_get_msg"));
    ASSERT_TRUE(screen->mAlertView());
    EXPECT_FALSE(screen->mAlertView()->isLoadingStyle());
}

TEST_F(CardPayScreen, PresentationOverTheCurrentContext) {
    auto screen = present();
    auto modal = std::make_shared<platform::ViewController>();
    screen->viewControllerPresentModalViewController(m_nav, modal);
    EXPECT_EQ(modal->modalPresentationStyle(), platform::ModalPresentationStyle::OverCurrentContext);
    EXPECT_EQ(m_nav->presentedViewController(), modal);
}

TEST_F(CardPayScreen, ServerAlertBoxActionPostsATemporaryCommand) {
    ASSERT_TRUE(openRoad());
    m_server.setReply("otherpay", platform::Dictionary{});
    BCDataContainer::instance()->setTempAlertBox(
        platform::Dictionary{{"text", "Try the other way?"}, {"func", platform::Dictionary{{"label", "Yes"}, {"action", "otherpay"}}}});
    auto screen = present();
    screen->handleAlertBoxWithDefaultAction({});
    screen->mAlertView()->buttonOKClicked();
    ASSERT_TRUE(screen->mAlertView());
    EXPECT_TRUE(screen->mAlertView()->isLoadingStyle());
    EXPECT_EQ(screen->service()->currentCMD(), kBCCmdTemp);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_server.commands("otherpay").empty(); }));
}

TEST_F(CardPayScreen, WindowRotationReachesTheFrameOnce) {
    m_home.writeBundleFile("Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>UISupportedInterfaceOrientations</key><array>
<string>UIInterfaceOrientationPortrait</string><string>UIInterfaceOrientationLandscapeLeft</string>
<string>UIInterfaceOrientationLandscapeRight</string></array></dict></plist>)");
    platform::Device::current().setUserInterfaceIdiom(platform::UserInterfaceIdiom::Pad);
    BCDataContainer::instance()->setDefaultOrientation(platform::InterfaceOrientation::LandscapeLeft);
    auto screen = present();
    const Rect scroll = screen->mScrollView()->frame();
    const double d = BCUtils::rotatedOffset();  // before the turn: the long side less the short one
    ASSERT_GT(d, 0);
    EXPECT_TRUE(m_window->rotateTo(platform::InterfaceOrientation::LandscapeLeft));
    m_clock.advance(1.0);
    EXPECT_EQ(screen->mScrollView()->frame().size.width, scroll.size.width + d);
    EXPECT_EQ(screen->mScrollView()->frame().size.height, scroll.size.height - d);
    platform::Device::current().resetToDefaults();
    platform::Application::shared().setStatusBarOrientation(platform::InterfaceOrientation::Portrait);
}
