#include "platform/runloop/RunLoop.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

using Events = std::vector<std::string>;

// Records its callbacks into a shared list, prefixed with its name.
class Recording : public ViewController {
public:
    Recording(std::string name, Events& events) : m_name(std::move(name)), m_events(events) {}

    void viewDidLoad() override { log("didLoad"); }
    void viewWillAppear(bool) override { log("willAppear"); }
    void viewDidAppear(bool) override { log("didAppear"); }
    void viewWillDisappear(bool) override { log("willDisappear"); }
    void viewDidDisappear(bool) override { log("didDisappear"); }
    InterfaceOrientationMask supportedInterfaceOrientations() override { return mask; }
    void willRotateToInterfaceOrientation(InterfaceOrientation o, double) override { log("willRotate" + std::to_string(static_cast<int>(o))); }
    void viewWillTransitionToSize(Size size, TransitionCoordinator& c) override {
        log("transition" + std::to_string(static_cast<int>(size.width)));
        c.animateAlongsideTransition([this] { log("alongside"); }, [this] { log("transitionDone"); });
    }
    void didRotateFromInterfaceOrientation(InterfaceOrientation o) override { log("didRotate" + std::to_string(static_cast<int>(o))); }
    void willAnimateRotationToInterfaceOrientation(InterfaceOrientation o, double) override {
        log("willAnimate" + std::to_string(static_cast<int>(o)));
    }

    InterfaceOrientationMask mask = kInterfaceOrientationMaskAll;

private:
    void log(const std::string& what) { m_events.push_back(m_name + "." + what); }
    std::string m_name;
    Events& m_events;
};

void drainMainLoop() {
    while (RunLoop::main().runOnce(std::chrono::milliseconds(0)) == RunLoop::RunResult::Handled) {
    }
}

class ViewControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = Window::create(Screen::main().bounds());
        root = std::make_shared<Recording>("A", events);
        window->setRootViewController(root);
        window->makeKeyAndVisible();
        drainMainLoop();
        events.clear();
    }

    Events events;
    std::shared_ptr<Window> window;
    std::shared_ptr<Recording> root;
};

} // namespace

TEST_F(ViewControllerTest, PresentAndDismissRunTheirCompletionsAfterTheAppearanceCallbacks) {
    VirtualClock clock;
    clock.install();
    auto b = std::make_shared<Recording>("B", events);
    ASSERT_TRUE(root->presentViewController(b, true, [&] { events.push_back("presented"); }));
    events.push_back("returned");
    EXPECT_EQ(root->presentedViewController(), b);
    EXPECT_EQ(b->presentingViewController(), root);
    EXPECT_EQ(b->view()->frame().minY(), 0) << "the model is final at once";
    clock.advance(kModalTransitionDuration / 2);
    EXPECT_EQ(events.back(), "returned") << "the animation runs on the clock";
    EXPECT_NEAR(b->view()->presentation(clock.now()).center.y, window->bounds().height(), 1) << "half way up";
    clock.advance(kModalTransitionDuration / 2);
    EXPECT_EQ(events, (Events{"B.didLoad", "B.willAppear", "A.willDisappear", "returned", "B.didAppear", "A.didDisappear", "presented"}));
    EXPECT_TRUE(b->view()->isDescendantOf(*window));

    events.clear();
    b->dismissViewController(true, [&] { events.push_back("dismissed"); });  // forwarded to the presenter
    EXPECT_EQ(root->presentedViewController(), nullptr);
    clock.advance(kModalTransitionDuration);
    EXPECT_EQ(events, (Events{"B.willDisappear", "A.willAppear", "B.didDisappear", "A.didAppear", "dismissed"}));
    EXPECT_EQ(b->view()->superview(), nullptr);
}

TEST_F(ViewControllerTest, OnePresentationAtATime) {
    auto b = std::make_shared<Recording>("B", events);
    auto c = std::make_shared<Recording>("C", events);
    bool secondRan = false;
    ASSERT_TRUE(root->presentViewController(b, false));
    EXPECT_FALSE(root->presentViewController(c, false, [&] { secondRan = true; })) << "already presenting";
    EXPECT_FALSE(b->presentViewController(c, false)) << "b is still appearing";
    drainMainLoop();
    EXPECT_TRUE(b->presentViewController(c, false));
    drainMainLoop();
    EXPECT_FALSE(secondRan);
    EXPECT_EQ(root->topPresentedViewController(), c);

    // Dismissing from the root takes the whole chain away.
    bool done = false;
    root->dismissViewController(false, [&] { done = true; });
    drainMainLoop();
    EXPECT_TRUE(done);
    EXPECT_EQ(root->presentedViewController(), nullptr);
    EXPECT_EQ(c->presentingViewController(), nullptr);

    bool nothing = false;
    root->dismissViewController(false, [&] { nothing = true; });
    drainMainLoop();
    EXPECT_TRUE(nothing) << "dismissing with nothing presented still completes";
}

TEST_F(ViewControllerTest, RotationAsksTheTopControllerAndCallsBackInOrder) {
    // The application allows every orientation (as an Info.plist listing them all would).
    Window::setApplicationOrientationMaskProvider([](const Window&) { return kInterfaceOrientationMaskAll; });
    root->mask = kInterfaceOrientationMaskPortrait;
    EXPECT_FALSE(window->rotateTo(InterfaceOrientation::LandscapeLeft));
    EXPECT_TRUE(events.empty());

    root->mask = kInterfaceOrientationMaskAll;
    Rect before = window->bounds();
    ASSERT_TRUE(window->rotateTo(InterfaceOrientation::LandscapeLeft));
    EXPECT_EQ(events, (Events{"A.willRotate4", "A.transition" + std::to_string(static_cast<int>(before.height())), "A.alongside",
                              "A.willAnimate4", "A.didRotate1", "A.transitionDone"}));
    EXPECT_EQ(window->bounds().width(), before.height());
    EXPECT_EQ(root->view()->bounds().width(), before.height());
    EXPECT_EQ(root->interfaceOrientation(), InterfaceOrientation::LandscapeLeft);
}

TEST(View, SubviewsMoveBetweenParentsWithoutCycles) {
    auto a = std::make_shared<View>(Rect{0, 0, 100, 100});
    auto b = std::make_shared<View>(Rect{0, 0, 50, 50});
    auto child = std::make_shared<View>(Rect{0, 0, 10, 10});
    child->setAutoresizingMask(kAutoresizingFlexibleWidth);
    a->addSubview(child);
    b->addSubview(child);
    EXPECT_TRUE(a->subviews().empty());
    EXPECT_EQ(child->superview(), b);
    child->addSubview(b);  // b is an ancestor: refused
    EXPECT_TRUE(child->subviews().empty());
    b->setFrame(Rect{0, 0, 80, 50});
    EXPECT_EQ(child->frame().width(), 40);
    child->removeFromSuperview();
    EXPECT_EQ(child->superview(), nullptr);
}
