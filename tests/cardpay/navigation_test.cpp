// The payment screens' navigation controller, bar and label.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/views/BCNavController.h"
#include "cardpay/views/BCLabel.h"
#include "cardpay/views/BCPullListView.h"
#include "platform/application/Application.h"
#include "platform/system/Device.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/ViewRenderer.h"
#include "platform/ui/Window.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace cardpay;
using platform::InterfaceOrientation;
using platform::Rect;

namespace {

// A screen that records what the navigation controller tells it.
class Screen : public platform::ViewController, public BCNavScreen {
public:
    std::shared_ptr<BCPullListView> pullListView() const override { return pull; }
    void keyBoardWillChangeFrame(const platform::Notification&) override { ++keyboardFrames; }
    void keyboareWillHide(const platform::Notification&) override { ++keyboardHides; }
    void willRotateToInterfaceOrientation(InterfaceOrientation, double) override { ++rotations; }
    std::shared_ptr<BCPullListView> pull;
    int keyboardFrames = 0;
    int keyboardHides = 0;
    int rotations = 0;
};

class CardPayNavigation : public ::testing::Test {
protected:
    void SetUp() override {
        BCDataContainer::destory();
        platform::Device::current().resetToDefaults();
        platform::Application::shared().setStatusBarOrientation(InterfaceOrientation::Portrait);
    }
    void TearDown() override {
        platform::Device::current().resetToDefaults();
        platform::Application::shared().setStatusBarOrientation(InterfaceOrientation::Portrait);
        BCDataContainer::destory();
    }
};

void post(const char* name) { platform::NotificationCenter::defaultCenter().post(name); }

} // namespace

TEST_F(CardPayNavigation, OrientationsOfPhoneAndTablet) {
    auto nav = BCNavController::initWithRootViewController(std::make_shared<Screen>());
    EXPECT_EQ(nav->supportedInterfaceOrientations(), 2u);
    EXPECT_TRUE(nav->shouldAutorotateToInterfaceOrientation(InterfaceOrientation::Portrait));
    EXPECT_FALSE(nav->shouldAutorotateToInterfaceOrientation(InterfaceOrientation::LandscapeLeft));
    EXPECT_EQ(nav->preferredStatusBarStyle(), platform::StatusBarStyle::LightContent);

    platform::Device::current().setUserInterfaceIdiom(platform::UserInterfaceIdiom::Pad);
    BCDataContainer::instance()->setDefaultOrientation(InterfaceOrientation::LandscapeRight);
    EXPECT_EQ(nav->supportedInterfaceOrientations(), 1u << 3);
    EXPECT_TRUE(nav->shouldAutorotateToInterfaceOrientation(InterfaceOrientation::LandscapeRight));
    EXPECT_FALSE(nav->shouldAutorotateToInterfaceOrientation(InterfaceOrientation::Portrait));
}

TEST_F(CardPayNavigation, KeyboardAndRotation) {
    BCDataContainer::instance()->apply({{"mOrderInfoArray", platform::Array{platform::Dictionary{{"label", "a"}, {"value", "b"}}}}});
    auto bottom = std::make_shared<Screen>();
    auto top = std::make_shared<Screen>();
    top->pull = std::make_shared<BCPullListView>(Rect(0, 0, 375, 0), std::weak_ptr<BCPullListViewDelegate>(), 0);
    auto nav = BCNavController::initWithRootViewController(bottom);
    nav->view(); // loads: the controller observes the keyboard from now on
    nav->pushViewController(top, false);

    post("UIKeyboardWillChangeFrameNotification");
    EXPECT_FALSE(top->pull->isUserInteractionEnabled());
    EXPECT_EQ(top->keyboardFrames, 1);
    post("UIKeyboardDidShowNotification");
    EXPECT_TRUE(top->pull->isUserInteractionEnabled());
    EXPECT_TRUE(nav->isKeyboardShowing());
    post("UIKeyboardWillHideNotification");
    EXPECT_EQ(top->keyboardHides, 1);
    post("UIKeyboardDidHideNotification");
    EXPECT_FALSE(nav->isKeyboardShowing());

    // During a rotation the screen hears nothing, yet the header takes touches again.
    nav->willRotateToInterfaceOrientation(InterfaceOrientation::LandscapeLeft, 0.3);
    EXPECT_EQ(bottom->rotations, 1);
    EXPECT_EQ(top->rotations, 1);
    post("UIKeyboardWillChangeFrameNotification");
    EXPECT_FALSE(top->pull->isUserInteractionEnabled());
    post("UIKeyboardDidShowNotification");
    EXPECT_TRUE(top->pull->isUserInteractionEnabled());
    post("UIKeyboardWillHideNotification");
    EXPECT_EQ(top->keyboardFrames, 1);
    EXPECT_EQ(top->keyboardHides, 1);
    EXPECT_FALSE(nav->isKeyboardShowing());
    nav->didRotateFromInterfaceOrientation(InterfaceOrientation::Portrait);
    EXPECT_FALSE(nav->isOrientating());

    // A turn within the same family reaches no screen.
    nav->willRotateToInterfaceOrientation(InterfaceOrientation::PortraitUpsideDown, 0.3);
    EXPECT_EQ(top->rotations, 1);
}

TEST_F(CardPayNavigation, BarWithSpinnerTitleLogoAndLeftButton) {
    auto target = std::make_shared<int>();
    int taps = 0;
    BCNavigationBar spinning(Rect(0, 20, 375, 44), std::nullopt, "Cancel", target, [&] { ++taps; }, false);
    ASSERT_TRUE(spinning.loadingIndicator());
    EXPECT_EQ(spinning.loadingIndicator()->frame(), Rect((375 - 22) / 2.0, 11, 22, 22));
    EXPECT_TRUE(spinning.loadingIndicator()->isAnimating());
    EXPECT_FALSE(spinning.barTitle());
    spinning.resetBarTitle("Order");
    EXPECT_FALSE(spinning.loadingIndicator());
    ASSERT_TRUE(spinning.barTitle());
    EXPECT_EQ(spinning.barTitle()->text(), "Order");
    EXPECT_EQ(spinning.barTitle()->frame(), Rect(0, 0, 375, 44));

    const Rect logo = spinning.logoImage()->frame();
    EXPECT_DOUBLE_EQ(logo.size.height, 20);
    EXPECT_DOUBLE_EQ(logo.origin.x, 375 - logo.size.width - 5);
    EXPECT_DOUBLE_EQ(logo.origin.y, 12);

    ASSERT_TRUE(spinning.leftButton());
    EXPECT_EQ(spinning.leftButton()->frame(), Rect(0, 0, 80, 44));
    EXPECT_EQ(spinning.leftButton()->imageForState(0), BCImageManager::instance()->imageNamed(20003));
    spinning.leftButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(taps, 1);
    EXPECT_EQ(spinning.backgroundColor(), platform::Color::fromRGBA255(92, 163, 218));

    BCNavigationBar back(Rect(0, 20, 375, 44), std::string("Order"), "  Back", target, [] {}, true);
    EXPECT_EQ(back.leftButton()->imageForState(0), BCImageManager::instance()->imageNamed(20002));
    back.leftButton()->layoutIfNeeded();
    EXPECT_EQ(back.leftButton()->imageView()->frame(), Rect(15, (44 - 20) / 2.0, 12, 20));  // the back arrow is 12 x 20

    // A long title ends in an ellipsis between the left button's place and the logo, centred: the label
    // spans the bar, its text keeps the same room free on both sides.
    BCNavigationBar longTitle(Rect(0, 20, 375, 44), std::string(200, 'W'), "  Back", target, [] {}, true);
    const auto title = longTitle.barTitle();
    EXPECT_EQ(title->frame(), Rect(0, 0, 375, 44));
    const double side = std::max(80.0, longTitle.logoImage()->frame().size.width + 10);
    EXPECT_DOUBLE_EQ(title->leftTextInset(), side);
    EXPECT_DOUBLE_EQ(title->rightTextInset(), side);
    const Rect text = title->textRectForBounds(title->bounds(), 1);
    EXPECT_GE(text.minX(), longTitle.leftButton()->frame().maxX());
    EXPECT_LE(text.maxX(), longTitle.logoImage()->frame().minX());
    EXPECT_EQ(title->lineBreakMode(), platform::LineBreakMode::TruncateTail);
    EXPECT_EQ(title->numberOfLines(), 1);

    // Without a live target or without an action there is no left button.
    EXPECT_FALSE(BCNavigationBar(Rect(0, 0, 375, 44), std::string("T"), "", std::weak_ptr<void>(), [] {}, true).leftButton());
    EXPECT_FALSE(BCNavigationBar(Rect(0, 0, 375, 44), std::string("T"), "", target, nullptr, true).leftButton());

    // The configuration list's colour.
    BCDataContainer::instance()->setBundleConfig(platform::Dictionary{{"NavigationBarColors", "FF0000"}});
    EXPECT_EQ(BCNavigationBar::createBackgroundColor(), platform::Color::fromRGBA255(255, 0, 0));
    BCDataContainer::instance()->setBundleConfig(platform::Dictionary{{"NavigationBarColors", "red"}});
    EXPECT_EQ(BCNavigationBar::createBackgroundColor(), platform::Color::fromRGBA255(92, 163, 218));
}

TEST(CardPayLabel, VerticalAlignmentPlacesTheTextBand) {
    BCLabel label(Rect(0, 0, 200, 100));
    label.setText("Bottom line");
    label.setNumberOfLines(1);
    EXPECT_EQ(label.verticalAlignment(), BCLabel::Middle);
    const Rect middle = label.textRectForBounds(label.bounds(), 1);
    EXPECT_NEAR(middle.origin.y, (100 - middle.size.height) / 2, 1e-9);
    label.setVerticalAlignment(BCLabel::Top);
    EXPECT_EQ(label.textRectForBounds(label.bounds(), 1).origin.y, 0);
    label.setVerticalAlignment(BCLabel::Bottom);
    const Rect bottom = label.textRectForBounds(label.bounds(), 1);
    EXPECT_NEAR(bottom.origin.y + bottom.size.height, 100, 1e-9);

    // Drawn at the bottom: ink in the last band, none in the top half.
    label.setBackgroundColor(platform::Color::white());
    auto image = platform::ViewRenderer::renderImage(label, 1);
    ASSERT_TRUE(image.ok());
    auto inkInRows = [&](int from, int to) {
        for (int y = from; y < to; ++y)
            for (int x = 0; x < 200; ++x)
                if ((*image)->pixelAt(x, y).red < 0.5)
                    return true;
        return false;
    };
    EXPECT_FALSE(inkInRows(0, 50));
    EXPECT_TRUE(inkInRows(static_cast<int>(bottom.origin.y), 100));
}

TEST_F(CardPayNavigation, BarRotationIsOneNamedAnimation) {
    platform::ViewAnimation::clearRecords();
    BCNavigationBar bar(Rect(0, 20, 375, 44), std::nullopt, "", std::weak_ptr<void>(), nullptr, false);
    bar.setFrame(Rect(0, 20, 667, 44)); // the screen sets the bar's new width first
    bar.willRotateToInterfaceOrientation(InterfaceOrientation::LandscapeLeft, 0.4);
    ASSERT_EQ(platform::ViewAnimation::records().size(), 1u);
    EXPECT_EQ(platform::ViewAnimation::records()[0].name, "BaseView");
    EXPECT_EQ(platform::ViewAnimation::records()[0].duration, 0.4);
    EXPECT_EQ(bar.loadingIndicator()->frame(), Rect((667 - 22) / 2.0, 11, 22, 22));
    EXPECT_DOUBLE_EQ(bar.logoImage()->frame().origin.x, 667 - bar.logoImage()->frame().size.width - 5);
}

TEST_F(CardPayNavigation, TheWindowRotatesATabletRoadOnlyToTheHostsOrientation) {
    // An application that allows every orientation; the road narrows it.
    hybtest::TempHome home;
    home.writeBundleFile("Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>UISupportedInterfaceOrientations</key><array>
<string>UIInterfaceOrientationPortrait</string><string>UIInterfaceOrientationLandscapeLeft</string>
<string>UIInterfaceOrientationLandscapeRight</string></array></dict></plist>)");
    auto screen = std::make_shared<Screen>();
    auto nav = BCNavController::initWithRootViewController(screen);
    auto window = platform::Window::create(Rect(0, 0, 375, 667));
    window->setRootViewController(nav);
    window->makeKeyAndVisible();
    EXPECT_FALSE(window->rotateTo(InterfaceOrientation::LandscapeLeft)); // a phone stays upright
    EXPECT_EQ(screen->rotations, 0);

    platform::Device::current().setUserInterfaceIdiom(platform::UserInterfaceIdiom::Pad);
    BCDataContainer::instance()->setDefaultOrientation(InterfaceOrientation::LandscapeLeft);
    EXPECT_FALSE(window->rotateTo(InterfaceOrientation::LandscapeRight));
    EXPECT_TRUE(window->rotateTo(InterfaceOrientation::LandscapeLeft));
    EXPECT_EQ(screen->rotations, 1);
    EXPECT_FALSE(nav->isOrientating());
    const platform::Size turned = BCDataContainer::instance()->toRotationSize();
    EXPECT_GT(turned.width, turned.height);
}
