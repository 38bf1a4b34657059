// The screen frame: failures, server alert boxes, the exit, the notice bars, the Next button, the
// form handling, and the web page screen.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/screens/BCBaseViewController.h"
#include "cardpay/screens/BCWebViewController.h"
#include "platform/HeadlessWebView.h"
#include "platform/ScriptedPage.h"
#include "platform/UserDefaults.h"
#include "platform/VirtualClock.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Window.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

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

class Host : public BCPayResultDelegate {
public:
    void bankCardPayDidFinish(const platform::Dictionary& result) override { results.push_back(result); }
    std::vector<platform::Dictionary> results;
};

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
    void TearDown() override { BCDataContainer::destory(); }

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
