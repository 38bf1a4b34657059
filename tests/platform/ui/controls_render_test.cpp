#include "platform/runloop/VirtualClock.h"
#include "platform/ui/ActivityIndicatorView.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/Label.h"
#include "platform/ui/NavigationBar.h"
#include "platform/ui/Toolbar.h"
#include "platform/ui/ViewRenderer.h"

#include "support/Snapshot.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

std::shared_ptr<View> canvas(double width, double height, Color color = Color::white()) {
    auto root = std::make_shared<View>(Rect(0, 0, width, height));
    root->setBackgroundColor(color);
    return root;
}

// A 16-point square badge: a filled circle.
Image::Ptr badge(Color color) {
    auto ctx = ImageContext::begin({16, 16}, 2);
    GraphicsContext& g = ctx->context();
    g.setFillColor(color);
    g.fillEllipse(Rect(1, 1, 14, 14));
    return ctx->end();
}

} // namespace

TEST(ControlsRenderTest, ButtonsInEachState) {
    auto root = canvas(320, 170);
    const std::pair<const char*, unsigned> states[] = {{"Normal", kControlStateNormal},
                                                       {"Highlighted", kControlStateHighlighted},
                                                       {"Disabled", kControlStateDisabled},
                                                       {"Selected", kControlStateSelected}};
    double y = 10;
    for (auto [name, state] : states) {
        // A system button, a custom one with a background and an image per state.
        auto system = Button::create(ButtonType::System, Rect(10, y, 130, 30));
        system->setTitle(std::string(name), kControlStateNormal);
        auto custom = Button::create(ButtonType::Custom, Rect(150, y, 160, 30));
        custom->setTitle("确定 " + std::string(name), kControlStateNormal);
        custom->setTitle("按下", kControlStateHighlighted);
        custom->setBackgroundImage(Image::solidColor(Color::fromRGBA255(52, 120, 246)), kControlStateNormal);
        custom->setBackgroundImage(Image::solidColor(Color::fromRGBA255(30, 70, 150)), kControlStateHighlighted);
        custom->setBackgroundImage(Image::solidColor(Color::grey(0.75)), kControlStateDisabled);
        custom->setImage(badge(Color::white()), kControlStateNormal);
        custom->setImage(badge(Color::fromRGBA255(250, 210, 0)), kControlStateSelected);
        custom->setTitleEdgeInsets({0, 6, 0, 0});
        custom->layer()->setCornerRadius(6);
        custom->layer()->setMasksToBounds(true);
        for (auto& b : {std::static_pointer_cast<Button>(system), custom}) {
            b->setHighlighted(state & kControlStateHighlighted);
            b->setEnabled(!(state & kControlStateDisabled));
            b->setSelected(state & kControlStateSelected);
            root->addSubview(b);
        }
        y += 40;
    }
    hybtest::expectSnapshot(*root, "buttons_states");
}

TEST(ControlsRenderTest, ButtonAlignmentAndInsets) {
    auto root = canvas(200, 110);
    const ContentHorizontalAlignment alignments[] = {ContentHorizontalAlignment::Left, ContentHorizontalAlignment::Center,
                                                     ContentHorizontalAlignment::Right};
    double y = 5;
    for (auto a : alignments) {
        auto b = Button::create(ButtonType::System, Rect(10, y, 180, 30));
        b->setTitle("Align", kControlStateNormal);
        b->setImage(badge(Color::fromRGBA255(220, 40, 40)), kControlStateNormal);
        b->setContentHorizontalAlignment(a);
        b->setContentEdgeInsets({0, 10, 0, 10});
        b->setBackgroundColor(Color::grey(0.93));
        root->addSubview(b);
        y += 35;
    }
    hybtest::expectSnapshot(*root, "buttons_alignment");
    auto left = std::static_pointer_cast<Button>(root->subviews()[0]);
    EXPECT_EQ(left->imageRectForContentRect(left->contentRectForBounds(left->bounds())).minX(), 10);
}

TEST(ControlsRenderTest, Spinners) {
    VirtualClock clock;
    clock.install();
    auto root = canvas(150, 60, Color::grey(0.2));
    auto light = canvas(50, 60, Color::white());
    light->setFrame(Rect(100, 0, 50, 60));
    root->addSubview(light);
    auto large = std::make_shared<ActivityIndicatorView>(ActivityIndicatorViewStyle::WhiteLarge);
    auto white = std::make_shared<ActivityIndicatorView>(ActivityIndicatorViewStyle::White);
    auto gray = std::make_shared<ActivityIndicatorView>(ActivityIndicatorViewStyle::Gray);
    EXPECT_EQ(large->frame().size, (Size{37, 37}));
    EXPECT_EQ(gray->frame().size, (Size{20, 20}));
    large->setCenter(Point{30, 30});
    white->setCenter(Point{75, 30});
    gray->setCenter(Point{25, 30});
    root->addSubview(large);
    root->addSubview(white);
    light->addSubview(gray);
    EXPECT_TRUE(large->isHidden()) << "hidden while stopped";
    for (auto& s : {large, white, gray})
        s->startAnimating();
    clock.advance(0.25);  // three spokes on
    EXPECT_EQ(large->leadingSpoke(clock.now()), 3);
    white->stopAnimating();
    white->setHidesWhenStopped(false);
    EXPECT_FALSE(white->isAnimating());
    EXPECT_FALSE(white->isHidden());
    hybtest::expectSnapshot(*root, "spinners");
    clock.uninstall();
}

TEST(ControlsRenderTest, PlainAndTransparentToolbars) {
    auto root = canvas(320, 108, Color::fromRGBA255(40, 44, 52));
    auto plain = std::make_shared<Toolbar>(Rect(0, 0, 320, 0));
    plain->sizeToFit();
    auto caption = std::make_shared<Label>(Rect(0, 0, 120, 21));
    caption->setText("选择城市");
    caption->setTextAlignment(TextAlignment::Center);
    plain->setItems({BarButtonItem::system(BarButtonSystemItem::Cancel), BarButtonItem::flexibleSpace(),
                     BarButtonItem::withCustomView(caption), BarButtonItem::flexibleSpace(),
                     BarButtonItem::system(BarButtonSystemItem::Done)});
    root->addSubview(plain);

    // Transparent: a clear background and shadow, white items over what lies behind.
    auto clear = std::make_shared<Toolbar>(Rect(0, 54, 320, 44));
    clear->setBarStyle(BarStyle::Black);
    clear->setBackgroundImage(Image::solidColor(Color::clear()), BarPosition::Any);
    clear->setShadowImage(Image::solidColor(Color::clear()), BarPosition::Any);
    clear->setTintColor(Color::white());
    auto title = std::make_shared<Label>(Rect(0, 0, 200, 21));
    title->setText("Scan a code");
    title->setTextColor(Color::white());
    auto close = BarButtonItem::withTitle("Close");
    clear->setItems({BarButtonItem::fixedSpace(-10), close, BarButtonItem::flexibleSpace(), BarButtonItem::withCustomView(title)});
    root->addSubview(clear);
    hybtest::expectSnapshot(*root, "toolbars_plain_transparent");
    EXPECT_EQ(close->viewForBar()->frame().minX(), 2);
    EXPECT_EQ(title->frame().maxX(), 320 - 12);
}

TEST(ControlsRenderTest, NavigationBarWithTitleAndBackItem) {
    auto root = canvas(320, 70);
    auto bar = std::make_shared<NavigationBar>(Rect(0, 20, 320, 0));
    bar->sizeToFit();
    bar->setStatusBarExtension(20);
    auto home = std::make_shared<NavigationItem>("订单");
    auto details = std::make_shared<NavigationItem>("Order details");
    details->setRightBarButtonItem(BarButtonItem::system(BarButtonSystemItem::Done));
    bar->setItems({home, details});
    root->addSubview(bar);
    EXPECT_EQ(bar->frame().height(), 44);
    EXPECT_EQ(bar->backItem(), home);
    hybtest::expectSnapshot(*root, "navigation_bar_title_back");
    EXPECT_EQ(bar->backButton()->currentTitle(), "订单");
    EXPECT_NEAR(bar->titleLabel()->frame().midX(), 160, 0.5) << "the title is centred in the bar";

    // Without a navigation controller, the back button pops the bar's own item.
    bar->layoutIfNeeded();
    bar->backButton()->sendActionsForControlEvents(kControlEventTouchUpInside);
    EXPECT_EQ(bar->topItem(), home);
    EXPECT_EQ(bar->backButton()->superview(), nullptr);
}
