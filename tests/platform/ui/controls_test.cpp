#include "platform/runloop/RunLoop.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Button.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/ViewRenderer.h"
#include "platform/ui/Window.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

using Events = std::vector<std::string>;

void drainMainLoop() {
    while (RunLoop::main().runOnce(std::chrono::milliseconds(0)) == RunLoop::RunResult::Handled) {
    }
}

std::shared_ptr<Window> shownWindow(Rect frame = Rect(0, 0, 320, 480)) {
    auto window = Window::create(frame);
    window->makeKeyAndVisible();
    return window;
}

// Records the control events it gets, by name.
struct EventLog {
    Events events;
    std::shared_ptr<int> owner = std::make_shared<int>(0);  // the target's lifetime

    void watch(Control& control) {
        const std::pair<unsigned, const char*> names[] = {
            {kControlEventTouchDown, "down"},           {kControlEventTouchUpInside, "upInside"},
            {kControlEventTouchUpOutside, "upOutside"}, {kControlEventTouchCancel, "cancel"},
            {kControlEventTouchDragExit, "exit"},       {kControlEventTouchDragEnter, "enter"},
            {kControlEventValueChanged, "value"}};
        for (auto [event, name] : names)
            control.addTarget(owner, [this, name = std::string(name)](Control&) { events.push_back(name); }, event);
    }
};

// A view that records the touches delivered to it.
class TouchRecorder : public View {
public:
    using View::View;
    void touchesBegan(const TouchSet&) override { events.push_back("began"); }
    void touchesMoved(const TouchSet&) override { events.push_back("moved"); }
    void touchesEnded(const TouchSet&) override { events.push_back("ended"); }
    void touchesCancelled(const TouchSet&) override { events.push_back("cancelled"); }
    Events events;
};

} // namespace

TEST(ControlTest, ATapReachesTouchUpInsideOnlyWhenTheControlCanBeTouched) {
    struct Case {
        const char* name;
        std::function<void(Window&, View& container, Button&)> setUp;
        bool fires;
    };
    const Case cases[] = {
        {"plain", [](Window&, View&, Button&) {}, true},
        {"disabled", [](Window&, View&, Button& b) { b.setEnabled(false); }, false},
        {"hidden", [](Window&, View&, Button& b) { b.setHidden(true); }, false},
        {"hidden ancestor", [](Window&, View& c, Button&) { c.setHidden(true); }, false},
        {"alpha 0.009", [](Window&, View&, Button& b) { b.setAlpha(0.009); }, false},
        {"alpha 0.01", [](Window&, View&, Button& b) { b.setAlpha(0.01); }, true},
        {"no interaction", [](Window&, View&, Button& b) { b.setUserInteractionEnabled(false); }, false},
        {"ancestor without interaction", [](Window&, View& c, Button&) { c.setUserInteractionEnabled(false); }, false},
        {"centre outside the clipping container",
         [](Window&, View& c, Button& b) {
             c.setClipsToBounds(true);
             b.setFrame(Rect(90, 10, 40, 40));
         },
         false},
        {"turned container", [](Window&, View& c, Button&) { c.setTransform(AffineTransform::rotation(0.5)); }, true},
        {"window hidden", [](Window& w, View&, Button&) { w.setHidden(true); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto window = shownWindow();
        auto container = std::make_shared<View>(Rect(20, 20, 100, 100));
        auto button = Button::create(ButtonType::System, Rect(10, 10, 60, 30));
        container->addSubview(button);
        window->addSubview(container);
        EventLog log;
        log.watch(*button);
        c.setUp(*window, *container, *button);
        TouchDriver::tap(*button);
        EXPECT_EQ(std::count(log.events.begin(), log.events.end(), "upInside"), c.fires ? 1 : 0);
        EXPECT_FALSE(button->isHighlighted());
    }
}

TEST(ControlTest, AControlTracksItsTouchAndAReleaseOutsideGivesTouchUpOutside) {
    auto window = shownWindow();
    auto button = Button::create(ButtonType::System, Rect(10, 10, 100, 40));
    window->addSubview(button);
    EventLog log;
    log.watch(*button);

    auto touch = TouchDriver::press(window, Point{50, 30});
    ASSERT_TRUE(touch);
    EXPECT_TRUE(button->isHighlighted());
    EXPECT_EQ(button->state(), kControlStateHighlighted);
    TouchDriver::move(touch, Point{300, 300});
    EXPECT_FALSE(button->isHighlighted());
    TouchDriver::move(touch, Point{20, 20});
    EXPECT_TRUE(button->isHighlighted());
    TouchDriver::move(touch, Point{200, 30});
    TouchDriver::release(touch);
    EXPECT_EQ(log.events, (Events{"down", "exit", "enter", "exit", "upOutside"}));

    log.events.clear();
    touch = TouchDriver::press(window, Point{50, 30});
    TouchDriver::cancel(touch);
    EXPECT_EQ(log.events, (Events{"down", "cancel"}));
    EXPECT_FALSE(button->isHighlighted());
}

TEST(ControlTest, TargetsAreHeldWeaklyAndActionsRunInOrder) {
    auto button = Button::create(ButtonType::Custom);
    Events events;
    auto kept = std::make_shared<int>(1);
    auto freed = std::make_shared<int>(2);
    button->addTarget(kept, [&](Control&) { events.push_back("kept"); }, kControlEventTouchUpInside | kControlEventValueChanged);
    button->addTarget(freed, [&](Control&) { events.push_back("freed"); }, kControlEventTouchUpInside);
    button->addTarget(kept, [&](Control&) { events.push_back("second"); }, kControlEventTouchUpInside);
    freed.reset();
    button->sendActionsForControlEvents(kControlEventTouchUpInside);
    EXPECT_EQ(events, (Events{"kept", "second"}));
    EXPECT_EQ(button->allControlEvents(), kControlEventTouchUpInside | kControlEventValueChanged);

    button->removeTarget(kept.get(), kControlEventTouchUpInside);
    events.clear();
    button->sendActionsForControlEvents(kControlEventTouchUpInside | kControlEventValueChanged);
    EXPECT_EQ(events, Events{"kept"});

    struct Target {
        void fire(Control&) { ++fired; }
        int fired = 0;
    };
    auto target = std::make_shared<Target>();
    button->addTarget(target, &Target::fire, kControlEventEditingChanged);
    button->sendActionsForControlEvents(kControlEventEditingChanged);
    EXPECT_EQ(target->fired, 1);
}

TEST(ControlTest, ButtonStatesFallBackToNormal) {
    auto button = Button::create(ButtonType::Custom);
    button->setTitle("Normal", kControlStateNormal);
    button->setTitle("Pressed", kControlStateHighlighted);
    button->setTitleColor(Color::black(), kControlStateNormal);
    EXPECT_EQ(button->titleForState(kControlStateSelected), "Normal");
    button->setHighlighted(true);
    EXPECT_EQ(button->currentTitle(), "Pressed");
    EXPECT_EQ(button->currentTitleColor(), Color::black());
    button->setHighlighted(false);
    button->setEnabled(false);
    EXPECT_EQ(button->state(), kControlStateDisabled);
    EXPECT_EQ(button->currentTitle(), "Normal");

    auto system = Button::create(ButtonType::System);
    system->setTitle("OK", kControlStateNormal);
    system->sizeToFit();
    EXPECT_EQ(system->frame().size.height, 30);
    EXPECT_EQ(system->frame().size.width, std::ceil(TextLayout::singleLineWidth("OK", Font::systemFont(15))));
    system->setContentEdgeInsets({5, 8, 5, 8});
    system->sizeToFit();
    EXPECT_EQ(system->frame().size.width, std::ceil(TextLayout::singleLineWidth("OK", Font::systemFont(15))) + 16);
}

TEST(TouchTest, ATapGestureRecognizerTakesTheTapFromItsView) {
    auto window = shownWindow();
    auto view = std::make_shared<TouchRecorder>(Rect(0, 0, 200, 200));
    window->addSubview(view);
    auto tap = std::make_shared<TapGestureRecognizer>();
    auto owner = std::make_shared<int>(0);
    int recognised = 0;
    Point where;
    tap->addTarget(owner, [&](GestureRecognizer& g) {
        ++recognised;
        where = g.locationInView(view.get());
    });
    view->addGestureRecognizer(tap);
    EXPECT_EQ(tap->view(), view);

    TouchDriver::tap(*view);
    EXPECT_EQ(recognised, 1);
    EXPECT_EQ(where, (Point{100, 100}));
    EXPECT_EQ(view->events, (Events{"began", "cancelled"}));

    view->events.clear();
    tap->setCancelsTouchesInView(false);
    auto touch = TouchDriver::press(window, Point{10, 10});
    TouchDriver::move(touch, Point{60, 10});  // too far for a tap
    TouchDriver::release(touch);
    EXPECT_EQ(recognised, 1);
    EXPECT_EQ(view->events, (Events{"began", "moved", "ended"}));

    tap->setEnabled(false);
    TouchDriver::tap(*view);
    EXPECT_EQ(recognised, 1);

    // A double tap: the second tap of a quick series.
    VirtualClock clock;
    clock.install();
    tap->setEnabled(true);
    tap->setNumberOfTapsRequired(2);
    TouchDriver::tapAt(window, Point{50, 50});
    EXPECT_EQ(recognised, 1);
    clock.advance(0.2);
    TouchDriver::tapAt(window, Point{52, 50});
    EXPECT_EQ(recognised, 2);
    clock.advance(1);
    TouchDriver::tapAt(window, Point{50, 50});
    EXPECT_EQ(recognised, 2) << "a lone tap after a pause";
    owner.reset();
    clock.advance(0.1);
    TouchDriver::tapAt(window, Point{50, 50});
    EXPECT_EQ(recognised, 2) << "the freed target is skipped";
}

TEST(TouchTest, ExclusiveTouchKeepsOtherTouchesOut) {
    auto window = shownWindow();
    auto left = std::make_shared<TouchRecorder>(Rect(0, 0, 100, 100));
    auto right = std::make_shared<TouchRecorder>(Rect(100, 0, 100, 100));
    window->addSubview(left);
    window->addSubview(right);
    left->setExclusiveTouch(true);
    auto first = TouchDriver::press(window, Point{50, 50});
    EXPECT_EQ(TouchDriver::press(window, Point{150, 50}), nullptr);
    TouchDriver::release(first);
    auto second = TouchDriver::press(window, Point{150, 50});
    ASSERT_TRUE(second);
    EXPECT_EQ(TouchDriver::press(window, Point{50, 50}), nullptr) << "an exclusive view waits until others are up";
    TouchDriver::release(second);
    EXPECT_EQ(left->events, (Events{"began", "ended"}));
    EXPECT_EQ(right->events, (Events{"began", "ended"}));
}

TEST(TouchTest, TheFrontMostWindowTakesTheTouch) {
    auto window = shownWindow();
    auto under = std::make_shared<TouchRecorder>(Rect(0, 0, 320, 480));
    window->addSubview(under);
    auto alertWindow = Window::create(Rect(0, 0, 320, 480));
    alertWindow->setWindowLevel(kWindowLevelAlert);
    auto over = std::make_shared<TouchRecorder>(Rect(0, 0, 100, 100));
    alertWindow->addSubview(over);
    alertWindow->setHidden(false);
    EXPECT_EQ(TouchDriver::tap(*under), alertWindow) << "a window is a view: it takes what its subviews do not";
    EXPECT_EQ(TouchDriver::tapAt(window, Point{50, 50}), over);
    EXPECT_TRUE(under->events.empty());
    EXPECT_EQ(over->events, (Events{"began", "ended"}));
    alertWindow->setHidden(true);
    EXPECT_EQ(TouchDriver::tap(*under), under);
}

// ---- Animations ----

class AnimationTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock.install();
        window = shownWindow();
        view = std::make_shared<View>(Rect(0, 0, 100, 100));
        window->addSubview(view);
        ViewAnimation::clearRecords();
    }
    void TearDown() override { clock.uninstall(); }

    VirtualClock clock;
    std::shared_ptr<Window> window;
    std::shared_ptr<View> view;
    Events events;
};

TEST_F(AnimationTest, ModelValuesChangeAtOnceAndTheRendererDrawsTheInBetween) {
    window->setBackgroundColor(Color::white());
    view->setBackgroundColor(Color::black());
    ViewAnimation::animate(1, 0, kAnimationOptionCurveLinear, [&] {
        view->setCenter(Point{250, 50});
        view->setAlpha(0.5);
    });
    EXPECT_EQ(view->center(), (Point{250, 50}));
    EXPECT_EQ(view->alpha(), 0.5);
    EXPECT_TRUE(ViewAnimation::isAnimating(*view));
    clock.advance(0.5);
    View::Presentation p = view->presentation(clock.now());
    EXPECT_DOUBLE_EQ(p.center.x, 150);
    EXPECT_DOUBLE_EQ(p.alpha, 0.75);
    auto image = ViewRenderer::renderImage(*window, 1).value();
    EXPECT_NEAR(image->pixelAt(150, 50).red, 0.25, 0.02) << "black at three quarters over white";
    EXPECT_EQ(image->pixelAt(40, 50), Color::white()) << "no longer there";
    clock.advance(0.5);
    EXPECT_FALSE(ViewAnimation::isAnimating(*view));
    EXPECT_EQ(view->presentation(clock.now()).center, (Point{250, 50}));
}

TEST_F(AnimationTest, CompletionsRunAfterDelayPlusDurationInEndTimeOrder) {
    auto other = std::make_shared<View>(Rect(0, 0, 10, 10));
    window->addSubview(other);
    ViewAnimation::animate(1, 0.5, 0, [&] { view->setAlpha(0); }, [&](bool f) { events.push_back(std::string("a") + (f ? "+" : "-")); });
    ViewAnimation::animate(0.5, 0, kAnimationOptionCurveEaseIn, [&] { other->setAlpha(0); },
                           [&](bool f) { events.push_back(std::string("b") + (f ? "+" : "-")); });
    ViewAnimation::animate(1.5, 0, 0, [] {}, [&](bool f) { events.push_back(std::string("c") + (f ? "+" : "-")); });
    ViewAnimation::animate(0.25, 0.25, 0, [] {}, [&](bool f) { events.push_back(std::string("d") + (f ? "+" : "-")); });
    drainMainLoop();
    EXPECT_TRUE(events.empty());
    clock.advance(0.49);
    EXPECT_TRUE(events.empty());
    clock.advance(0.01);
    EXPECT_EQ(events, (Events{"b+", "d+"})) << "ties in start order";
    clock.advance(0.99);
    EXPECT_EQ(events.size(), 2u);
    clock.advance(0.01);
    EXPECT_EQ(events, (Events{"b+", "d+", "a+", "c+"}));
    EXPECT_EQ(ViewAnimation::records(),
              (std::vector<AnimationRecord>{{"", 1, 0.5, 0}, {"", 0.5, 0, kAnimationOptionCurveEaseIn}, {"", 1.5, 0, 0}, {"", 0.25, 0.25, 0}}));
}

TEST_F(AnimationTest, CancelledAnimationsCompleteWithFinishedFalse) {
    auto log = [&](std::string name) { return [this, name](bool f) { events.push_back(name + (f ? "+" : "-")); }; };
    auto child = std::make_shared<View>(Rect(0, 0, 10, 10));
    view->addSubview(child);
    ViewAnimation::animate(1, [&] { child->setAlpha(0); }, log("leftWindow"));
    ViewAnimation::animate(1, [&] { view->setCenter(Point{10, 10}); }, log("replaced"));
    ViewAnimation::animate(1, [&] { view->setCenter(Point{20, 20}); }, log("replacing"));
    auto third = std::make_shared<View>(Rect(0, 0, 10, 10));
    window->addSubview(third);
    ViewAnimation::animate(1, [&] { third->setTransform(AffineTransform::scale(2, 2)); }, log("removed"));
    ViewAnimation::animate(1, 0, kAnimationOptionRepeat | kAnimationOptionAutoreverse, [&] { third->setBackgroundColor(Color::black()); third->setBackgroundColor(Color::white()); }, log("repeating"));

    view->removeFromSuperview();  // child goes with it
    third->layer()->removeAllAnimations();
    EXPECT_TRUE(events.empty()) << "completions run on a later turn";
    clock.advance(0);
    EXPECT_EQ(events, (Events{"replaced-", "replacing-", "leftWindow-", "removed-", "repeating-"}));
    clock.advance(10);
    EXPECT_EQ(events.size(), 5u) << "each completion runs once";
}

TEST_F(AnimationTest, BeginFromCurrentStateStartsWhereTheViewIsDrawn) {
    ViewAnimation::animate(1, 0, kAnimationOptionCurveLinear, [&] { view->setCenter(Point{150, 50}); });
    clock.advance(0.5);  // drawn at x = 100
    ViewAnimation::animate(1, 0, kAnimationOptionCurveLinear | kAnimationOptionBeginFromCurrentState,
                           [&] { view->setCenter(Point{50, 50}); });
    EXPECT_DOUBLE_EQ(view->presentation(clock.now()).center.x, 100);
    clock.advance(0.5);
    EXPECT_DOUBLE_EQ(view->presentation(clock.now()).center.x, 75);
}

TEST_F(AnimationTest, NamedAnimationsAndTransitionsAreRecorded) {
    bool stopped = false;
    ViewAnimation::beginAnimations("slide");
    ViewAnimation::setAnimationDuration(0.3);
    ViewAnimation::setAnimationDelay(0.1);
    ViewAnimation::setAnimationCurve(AnimationCurve::EaseOut);
    ViewAnimation::setAnimationDidStop([&](bool finished) { stopped = finished; });
    view->setFrame(Rect(0, 0, 50, 50));
    ViewAnimation::commitAnimations();
    ViewAnimation::commitAnimations();  // nothing open: ignored
    bool transitioned = false;
    ViewAnimation::transition(*view, 0.5, kAnimationOptionTransitionCrossDissolve, [&] { view->setHidden(true); },
                              [&](bool finished) { transitioned = finished; });
    EXPECT_TRUE(view->isHidden());
    clock.advance(0.4);
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(transitioned);
    clock.advance(0.1);
    EXPECT_TRUE(transitioned);
    EXPECT_EQ(ViewAnimation::records(), (std::vector<AnimationRecord>{{"slide", 0.3, 0.1, kAnimationOptionCurveEaseOut},
                                                                      {"transition", 0.5, 0, kAnimationOptionTransitionCrossDissolve}}));
}

TEST_F(AnimationTest, TouchesPassAnimatingViewsUnlessTheyAllowInteraction) {
    auto button = Button::create(ButtonType::System, Rect(0, 0, 100, 100));
    window->addSubview(button);
    EventLog log;
    log.watch(*button);
    ViewAnimation::animate(1, [&] { button->setAlpha(0.5); });
    TouchDriver::tap(*button);
    EXPECT_TRUE(log.events.empty());
    ViewAnimation::animate(1, 0, kAnimationOptionAllowUserInteraction, [&] { button->setAlpha(0.6); });
    TouchDriver::tap(*button);
    EXPECT_EQ(log.events, (Events{"down", "upInside"}));
}

TEST(CurveTest, CurvesRunFromZeroToOne) {
    for (unsigned curve : {kAnimationOptionCurveEaseInOut, kAnimationOptionCurveEaseIn, kAnimationOptionCurveEaseOut, kAnimationOptionCurveLinear}) {
        EXPECT_NEAR(ViewAnimation::curveValue(curve, 0), 0, 1e-6);
        EXPECT_NEAR(ViewAnimation::curveValue(curve, 1), 1, 1e-6);
    }
    EXPECT_LT(ViewAnimation::curveValue(kAnimationOptionCurveEaseIn, 0.5), 0.5);
    EXPECT_GT(ViewAnimation::curveValue(kAnimationOptionCurveEaseOut, 0.5), 0.5);
    EXPECT_NEAR(ViewAnimation::curveValue(kAnimationOptionCurveEaseInOut, 0.5), 0.5, 1e-6);
}
