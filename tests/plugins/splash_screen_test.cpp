#include "InterfaceFixture.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/TouchDriver.h"
#include "plugins/HYBSplashScreen.h"
#include "runtime/HYBHandleOpenURL.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace platform;
using plugins::HYBSplashScreen;

namespace {

class SplashScreenTest : public pluginstest::InterfaceTest<HYBSplashScreen> {
protected:
    void writeImage(const std::string& file, Size points, Color color) {
        Image::Ptr image = Image::solidColor(color, Size{points.width * 2, points.height * 2}, 1);
        const Bytes png = image->pngData().value();
        m_home.writeBundleFile(file, std::string(png.begin(), png.end()));
    }
    void pageLoaded() { NotificationCenter::defaultCenter().post(runtime::kHYBPageDidLoadNotification, m_webView.get()); }
    bool splashUp() { return plugin().imageView() && plugin().imageView()->superview() == controller->view(); }

    static std::string name(InterfaceOrientation orientation, InterfaceOrientationMask mask, const HYBSplashScreen::Device& device) {
        pluginstest::RootController delegate;
        delegate.mask = mask;
        return HYBSplashScreen::getImageName(orientation, delegate, device);
    }
};

HYBSplashScreen::Device phone(bool s568, bool s667, bool s736) { return {true, false, s568, s667, s736, true}; }
HYBSplashScreen::Device pad() { return {false, true, false, false, false, true}; }

constexpr InterfaceOrientationMask kPortraitOnly = 2;
constexpr InterfaceOrientationMask kLandscapeOnly = 8 | 16;
constexpr InterfaceOrientationMask kBoth = 2 | 8 | 16;

} // namespace

TEST_F(SplashScreenTest, TheImageNameFollowsScreenOrientationsAndDevice) {
    const auto portrait = InterfaceOrientation::Portrait;
    const auto landscape = InterfaceOrientation::LandscapeLeft;
    EXPECT_EQ(name(portrait, kBoth, phone(true, false, false)), "Default-568h");
    EXPECT_EQ(name(portrait, kBoth, phone(false, true, false)), "Default-667h");
    EXPECT_EQ(name(portrait, kPortraitOnly, phone(false, false, true)), "Default-736h");
    EXPECT_EQ(name(portrait, kLandscapeOnly, phone(false, false, true)), "Default-Landscape-736h");
    EXPECT_EQ(name(landscape, kBoth, phone(false, false, true)), "Default-Landscape-736h");
    EXPECT_EQ(name(portrait, kBoth, phone(false, false, true)), "Default-736h");
    EXPECT_EQ(name(landscape, kBoth, pad()), "Default-Landscape");
    EXPECT_EQ(name(InterfaceOrientation::LandscapeRight, kBoth, pad()), "Default-Landscape");
    EXPECT_EQ(name(portrait, kBoth, pad()), "Default-Portrait");
    EXPECT_EQ(name(portrait, kLandscapeOnly, pad()), "Default-Landscape");
    EXPECT_EQ(name(landscape, kPortraitOnly, pad()), "Default-Portrait");
    EXPECT_EQ(name(portrait, kBoth, phone(false, false, false)), "Default");

    // The device flags come from the idiom and the longer side of the screen.
    Screen::main().setBounds(Rect(0, 0, 414, 736));
    HYBSplashScreen::Device device = HYBSplashScreen::getCurrentDevice();
    EXPECT_TRUE(device.phone && device.screen736 && device.retina);
    EXPECT_FALSE(device.pad || device.screen568 || device.screen667);
    Screen::main().setBounds(Rect(0, 0, 568.9, 320));  // landscape, truncated
    EXPECT_TRUE(HYBSplashScreen::getCurrentDevice().screen568);
    Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::Pad);
    device = HYBSplashScreen::getCurrentDevice();
    EXPECT_TRUE(device.pad);
    EXPECT_FALSE(device.phone || device.screen568);

    // The bundle's own launch image name loses its extension.
    m_home.writeBundleFile("Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>UILaunchImageFile</key><string>Launch.png</string></dict></plist>)");
    EXPECT_EQ(name(portrait, kBoth, phone(true, false, false)), "Launch-568h");
}

TEST_F(SplashScreenTest, TheSplashCoversThePageUntilItHasLoaded) {
    writeImage("Default-568h@2x.png", Size{320, 568}, Color::fromRGBA255(20, 90, 160));
    start();
    ASSERT_TRUE(splashUp());
    EXPECT_TRUE(plugin().isVisible());
    EXPECT_EQ(plugin().curImageName(), "Default-568h");
    EXPECT_EQ(plugin().imageView()->frame(), Rect(0, 0, 320, 568)) << "a full-screen image keeps its place";
    ASSERT_TRUE(plugin().activityView());
    EXPECT_EQ(plugin().activityView()->superview(), controller->view()) << "above the image";
    EXPECT_EQ(controller->view()->subviews().back(), plugin().activityView());
    EXPECT_EQ(plugin().activityView()->center(), Point(160, 284));
    EXPECT_EQ(plugin().activityView()->style(), ActivityIndicatorViewStyle::Gray);

    // Touches do not reach the page while it is up.
    std::shared_ptr<View> hit = TouchDriver::tapAt(window, Point{160, 100});
    EXPECT_TRUE(!hit || !hit->isDescendantOf(*controller->view()));

    // No fade by default: the load removes it at once and the page takes touches again.
    pageLoaded();
    EXPECT_FALSE(plugin().isVisible());
    EXPECT_FALSE(plugin().imageView());
    EXPECT_FALSE(plugin().curImageName());
    EXPECT_TRUE(controller->view()->isUserInteractionEnabled());
    EXPECT_EQ(TouchDriver::tapAt(window, Point{160, 100}), m_webView->hitTest(Point{160, 100}));

    // Another web view's page load is not ours.
    call("show");
    auto other = HeadlessWebView::create();
    NotificationCenter::defaultCenter().post(runtime::kHYBPageDidLoadNotification, other.get());
    EXPECT_TRUE(splashUp());
}

TEST_F(SplashScreenTest, AutoHideFalseKeepsTheSplashUntilThePageHidesIt) {
    m_log->preferences.set("autohidesplashscreen", "false");
    m_log->preferences.set("showsplashscreenspinner", "false");
    m_log->preferences.set("topactivityindicator", "whiteLarge");
    hybtest::LogCapture log;
    start();
    EXPECT_TRUE(log.contains("WARNING: The splashscreen image named Default-568h was not found"));
    ASSERT_TRUE(plugin().imageView());
    EXPECT_FALSE(plugin().activityView()->superview()) << "no spinner";
    EXPECT_EQ(plugin().activityView()->style(), ActivityIndicatorViewStyle::WhiteLarge);
    pageLoaded();
    settle();
    EXPECT_TRUE(splashUp());
    call("hide");
    EXPECT_FALSE(plugin().imageView());
    call("hide");  // already hidden: nothing
    EXPECT_FALSE(plugin().isVisible());
    EXPECT_TRUE(answers().empty()) << "the actions never answer";
}

TEST_F(SplashScreenTest, FadesFollowTheFadePreferences) {
    // Fade on without a duration: 0.25 s.
    m_log->preferences.set("fadesplashscreen", "true");
    start();
    EXPECT_EQ(plugin().fadeDuration(), 0.25);
    pageLoaded();
    ASSERT_FALSE(ViewAnimation::records().empty());
    EXPECT_EQ(ViewAnimation::records().back(), (AnimationRecord{"transition", 0.25, 0, 0}));
    EXPECT_TRUE(plugin().imageView()) << "still fading";
    EXPECT_EQ(plugin().imageView()->alpha(), 0);
    settle(0.3);
    EXPECT_FALSE(plugin().imageView());
    EXPECT_TRUE(controller->view()->isUserInteractionEnabled());

    // The duration alone does not fade; nor do a duration that is not a number or a negative one.
    m_log->preferences = {};
    m_log->preferences.set("fadesplashscreenduration", "2");
    EXPECT_EQ(plugin().fadeDuration(), 0);
    m_log->preferences.set("fadesplashscreen", "YES");
    EXPECT_EQ(plugin().fadeDuration(), 2);
    m_log->preferences.set("fadesplashscreenduration", "slow");
    EXPECT_EQ(plugin().fadeDuration(), 0);
    m_log->preferences.set("fadesplashscreenduration", "-1");
    EXPECT_EQ(plugin().fadeDuration(), 0);
    m_log->preferences.set("fadesplashscreenduration", "nan");
    EXPECT_EQ(plugin().fadeDuration(), 0);
}

TEST_F(SplashScreenTest, ShowDuringAFadeKeepsTheSplashAndLaterCallsStillWork) {
    m_log->preferences.set("fadesplashscreen", "true");
    m_log->preferences.set("fadesplashscreenduration", "1");
    start();
    call("hide");
    settle(0.5);
    call("show");  // mid-fade
    EXPECT_TRUE(splashUp());
    settle(2);
    ASSERT_TRUE(splashUp()) << "the fade's end keeps the views while visible";
    EXPECT_EQ(plugin().imageView()->alpha(), 1);
    EXPECT_EQ(plugin().activityView()->alpha(), 1);
    EXPECT_FALSE(controller->view()->isUserInteractionEnabled());

    call("hide");
    settle(2);
    EXPECT_FALSE(plugin().imageView());
    call("show");
    EXPECT_TRUE(splashUp());
    EXPECT_EQ(plugin().imageView()->alpha(), 1);
}

TEST_F(SplashScreenTest, TheImageFillsTheViewAndFollowsItsSize) {
    auto expectFrame = [&](Rect expected) {
        const Rect frame = plugin().imageView()->frame();
        EXPECT_NEAR(frame.origin.x, expected.origin.x, 1e-9);
        EXPECT_NEAR(frame.origin.y, expected.origin.y, 1e-9);
        EXPECT_NEAR(frame.size.width, expected.size.width, 1e-9);
        EXPECT_NEAR(frame.size.height, expected.size.height, 1e-9);
    };
    // An image of the screen's size keeps its place whatever the view.
    writeImage("Default-568h@2x.png", Size{320, 568}, Color::fromRGBA255(200, 40, 40));
    start();
    controller->view()->setFrame(Rect(0, 0, 320, 600));
    expectFrame(Rect(0, 0, 320, 568));

    // A smaller image is scaled to fill the view, keeping its aspect, and follows the view's size.
    call("hide");
    writeImage("Default-568h@2x.png", Size{160, 284}, Color::fromRGBA255(200, 40, 40));
    controller->view()->setFrame(Rect(0, 0, 320, 568));
    call("show");
    expectFrame(Rect(0, 0, 320, 568));
    controller->view()->setFrame(Rect(0, 0, 320, 600));  // taller: by the height
    expectFrame(Rect(0, 0, 160 * 600 / 284.0, 600));
    controller->view()->setBounds(Rect(0, 0, 400, 568));  // wider: by the width
    expectFrame(Rect(0, 0, 400, 284 * 400 / 160.0));

    // A phone in landscape turns the image a quarter.
    Window::setApplicationOrientationMaskProvider([](const Window&) { return kInterfaceOrientationMaskAll; });
    ASSERT_TRUE(window->rotateTo(InterfaceOrientation::LandscapeLeft, 0));
    Window::setApplicationOrientationMaskProvider({});
    Screen::main().setBounds(Rect(0, 0, 568, 320));
    controller->view()->setFrame(Rect(0, 0, 568, 320));
    EXPECT_EQ(plugin().curImageName(), "Default-568h");
    EXPECT_NE(plugin().imageView()->transform(), AffineTransform());
    expectFrame(Rect(0, 0, 568, 320));
    EXPECT_NEAR(plugin().imageView()->bounds().size.width, 320, 1e-9) << "the image itself stays upright in its bounds";

    // Gone views are not observed any more.
    call("hide");
    controller->view()->setFrame(Rect(0, 0, 320, 568));
    EXPECT_FALSE(plugin().curImageName());
}

TEST_F(SplashScreenTest, SplashImageWithSpinner) {
    // The launch image: a band of colour over a lighter ground, so the snapshot shows where it is.
    std::unique_ptr<ImageContext> context = ImageContext::begin(Size{320, 568}, 2);
    GraphicsContext& g = context->context();
    g.setFillColor(Color::fromRGBA255(236, 242, 250));
    g.fillRect(Rect(0, 0, 320, 568));
    g.setFillColor(Color::fromRGBA255(30, 110, 200));
    g.fillRect(Rect(0, 120, 320, 100));
    const Bytes png = context->end()->pngData().value();
    m_home.writeBundleFile("Default-568h@2x.png", std::string(png.begin(), png.end()));
    start();
    m_webView->setBackgroundColor(Color::white());
    settle(0.25);
    expectScreen("splash_screen");
}
