#include "platform/application/Application.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/system/Bundle.h"
#include "platform/system/FoundationVersion.h"
#include "platform/ui/KeyboardManager.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/Screen.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/Window.h"

#include "support/Snapshot.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

using Events = std::vector<std::string>;

class Recording : public ViewController {
public:
    Recording(std::string name, Events& events) : m_name(std::move(name)), m_events(events) { setTitle(m_name); }

    void viewWillAppear(bool) override { log("willAppear"); }
    void viewDidAppear(bool) override { log("didAppear"); }
    void viewWillDisappear(bool) override { log("willDisappear"); }
    void viewDidDisappear(bool) override { log("didDisappear"); }
    void didMoveToParentViewController(const std::shared_ptr<ViewController>& parent) override { log(parent ? "moved" : "left"); }
    StatusBarStyle preferredStatusBarStyle() override { return style; }
    bool prefersStatusBarHidden() override { return hidden; }

    StatusBarStyle style = StatusBarStyle::Default;
    bool hidden = false;

private:
    void log(const std::string& what) { m_events.push_back(m_name + "." + what); }
    std::string m_name;
    Events& m_events;
};

class RecordingDelegate : public NavigationControllerDelegate {
public:
    explicit RecordingDelegate(Events& events) : m_events(events) {}
    void willShowViewController(NavigationController&, ViewController& c, bool) override { m_events.push_back("willShow " + c.title()); }
    void didShowViewController(NavigationController&, ViewController& c, bool) override { m_events.push_back("didShow " + c.title()); }

private:
    Events& m_events;
};

class NavigationTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock.install();
        Application::shared().resetForTesting();
        window = Window::create(Screen::main().bounds());
        a = std::make_shared<Recording>("A", events);
        nav = NavigationController::create(a);
        delegate = std::make_shared<RecordingDelegate>(events);
        nav->setDelegate(delegate);
        window->setRootViewController(nav);
        window->makeKeyAndVisible();
        clock.advance(0);
    }
    void TearDown() override {
        clock.uninstall();
        Application::shared().resetForTesting();
    }

    VirtualClock clock;
    Events events;
    std::shared_ptr<Window> window;
    std::shared_ptr<Recording> a;
    std::shared_ptr<NavigationController> nav;
    std::shared_ptr<RecordingDelegate> delegate;
};

} // namespace

TEST_F(NavigationTest, PushPopPresentAndDismissInTheAppearanceOrder) {
    EXPECT_EQ(events, (Events{"A.moved", "A.willAppear", "willShow A", "A.didAppear", "didShow A"}));
    events.clear();

    auto b = std::make_shared<Recording>("B", events);
    nav->pushViewController(b, true);
    EXPECT_EQ(events, (Events{"A.willDisappear", "B.willAppear", "willShow B"}));
    EXPECT_EQ(nav->topViewController(), b);
    EXPECT_EQ(b->navigationController(), nav);
    clock.advance(kNavigationTransitionDuration - 0.05);
    EXPECT_EQ(events.size(), 3u) << "the slide runs on the clock";
    clock.advance(0.05);
    EXPECT_EQ(events, (Events{"A.willDisappear", "B.willAppear", "willShow B", "A.didDisappear", "B.didAppear", "B.moved", "didShow B"}));
    EXPECT_EQ(a->view()->superview(), nullptr);

    events.clear();
    auto c = std::make_shared<Recording>("C", events);
    ASSERT_TRUE(b->presentViewController(c, true));
    clock.advance(kModalTransitionDuration);
    EXPECT_EQ(events, (Events{"C.willAppear", "B.willDisappear", "C.didAppear", "B.didDisappear"}));
    EXPECT_EQ(nav->visibleViewController(), nav->topViewController()) << "presented from the child, not the navigation controller";

    events.clear();
    c->dismissViewController(false);
    clock.advance(0);
    EXPECT_EQ(events, (Events{"C.willDisappear", "B.willAppear", "C.didDisappear", "B.didAppear"}));

    events.clear();
    EXPECT_EQ(nav->popViewController(false), b);
    EXPECT_EQ(events, (Events{"B.willDisappear", "A.willAppear", "willShow A"}));
    clock.advance(0);
    EXPECT_EQ(events, (Events{"B.willDisappear", "A.willAppear", "willShow A", "B.didDisappear", "A.didAppear", "B.left", "didShow A"}));
    EXPECT_EQ(b->parentViewController(), nullptr);
    EXPECT_EQ(nav->popViewController(false), nullptr) << "the root stays";

    events.clear();
    nav->presentViewController(c, false);
    clock.advance(0);
    EXPECT_EQ(events, (Events{"C.willAppear", "A.willDisappear", "C.didAppear", "A.didDisappear"}))
        << "the navigation controller passes its appearance on to its top controller";
    EXPECT_EQ(nav->visibleViewController(), c);
    nav->dismissViewController(false);
    clock.advance(0);
}

// The keyboard belongs to the screen that brought it up: it goes as soon as that screen starts to leave,
// pushed over or popped, not after the slide.
TEST_F(NavigationTest, TheLeavingScreenTakesItsKeyboardAlong) {
    auto b = std::make_shared<Recording>("B", events);
    for (const auto& leaving : {std::static_pointer_cast<ViewController>(a), std::static_pointer_cast<ViewController>(b)}) {
        auto field = std::make_shared<TextField>(Rect(10, 10, 200, 30));
        leaving->view()->addSubview(field);
        ASSERT_TRUE(field->becomeFirstResponder());
        ASSERT_TRUE(KeyboardManager::shared().isVisible());
        if (leaving == a)
            nav->pushViewController(b, true);
        else
            nav->popViewController(true);
        EXPECT_FALSE(field->isFirstResponder()) << leaving->title();
        EXPECT_FALSE(KeyboardManager::shared().isVisible()) << leaving->title();
        clock.advance(kNavigationTransitionDuration);
    }
    EXPECT_EQ(nav->topViewController(), a);
}

TEST_F(NavigationTest, PopToRootAndReplacingTheStack) {
    auto b = std::make_shared<Recording>("B", events);
    auto c = std::make_shared<Recording>("C", events);
    auto d = std::make_shared<Recording>("D", events);
    nav->pushViewController(b, false);
    nav->pushViewController(b, false);  // twice: refused
    nav->pushViewController(c, false);
    nav->pushViewController(d, false);
    clock.advance(0);
    EXPECT_EQ(nav->viewControllers().size(), 4u);
    events.clear();

    auto popped = nav->popToViewController(b, false);
    EXPECT_EQ(popped, (std::vector<std::shared_ptr<ViewController>>{c, d}));
    clock.advance(0);
    EXPECT_EQ(events, (Events{"D.willDisappear", "B.willAppear", "willShow B", "D.didDisappear", "B.didAppear", "C.left", "D.left",
                              "didShow B"}))
        << "the controller in between goes without appearance callbacks";
    EXPECT_TRUE(nav->popToViewController(c, false).empty()) << "not in the stack";

    popped = nav->popToRootViewController(false);
    EXPECT_EQ(popped, std::vector<std::shared_ptr<ViewController>>{b});
    clock.advance(0);
    EXPECT_EQ(nav->topViewController(), a);

    events.clear();
    nav->setViewControllers({c, nullptr, d, c}, false);
    clock.advance(0);
    EXPECT_EQ(nav->viewControllers(), (std::vector<std::shared_ptr<ViewController>>{c, d}));
    EXPECT_EQ(a->parentViewController(), nullptr);
    EXPECT_EQ(nav->childViewControllers().size(), 2u);
    EXPECT_EQ(events.front(), "A.willDisappear");
    EXPECT_TRUE(d->view()->isDescendantOf(*window));
    EXPECT_EQ(nav->navigationBar()->backItem()->title(), "C");
}

TEST_F(NavigationTest, TheBarShowsTheTitleAndABackButtonThatPops) {
    auto bar = nav->navigationBar();
    EXPECT_EQ(bar->frame(), Rect(0, 20, 375, 44)) << "under the status-bar area";
    EXPECT_EQ(a->view()->frame(), window->bounds()) << "extends under the translucent bar";
    auto b = std::make_shared<Recording>("B", events);
    b->setEdgesForExtendedLayout(kRectEdgeNone);
    nav->pushViewController(b, false);
    clock.advance(0);
    window->layoutIfNeeded();
    EXPECT_EQ(b->view()->frame(), Rect(0, 64, 375, 667 - 64));
    EXPECT_EQ(bar->topItem(), b->navigationItem());
    EXPECT_EQ(bar->titleLabel()->text(), "B");
    ASSERT_TRUE(bar->backButton());
    EXPECT_EQ(bar->backButton()->currentTitle(), "A");

    a->navigationItem()->setBackBarButtonItem(BarButtonItem::withTitle("Home"));
    bar->reloadItems();
    EXPECT_EQ(bar->backButton()->currentTitle(), "Home");
    window->layoutIfNeeded();
    TouchDriver::tap(*bar->backButton());
    clock.advance(kNavigationTransitionDuration);
    EXPECT_EQ(nav->topViewController(), a);

    nav->setNavigationBarHidden(true, true);
    EXPECT_FALSE(bar->isHidden()) << "slides away first";
    clock.advance(kModalTransitionDuration);
    EXPECT_TRUE(bar->isHidden());
    EXPECT_TRUE(nav->isNavigationBarHidden());
    EXPECT_TRUE(nav->interactivePopGestureRecognizer()->isEnabled());
    nav->interactivePopGestureRecognizer()->setEnabled(false);
    EXPECT_FALSE(nav->interactivePopGestureRecognizer()->isEnabled());
    EXPECT_TRUE(nav->isToolbarHidden());
    nav->setToolbarHidden(false);
    EXPECT_FALSE(nav->toolbar()->isHidden());
    EXPECT_EQ(nav->toolbar()->frame(), Rect(0, 667 - 44, 375, 44));
}

TEST_F(NavigationTest, TheStatusBarFollowsTheTopController) {
    auto shown = std::make_shared<Recording>("S", events);
    shown->style = StatusBarStyle::LightContent;
    shown->hidden = true;
    nav->presentViewController(shown, false);
    clock.advance(0);
    EXPECT_EQ(Application::shared().statusBarStyle(), StatusBarStyle::LightContent);
    EXPECT_TRUE(Application::shared().isStatusBarHidden());
    shown->hidden = false;
    shown->setNeedsStatusBarAppearanceUpdate();
    EXPECT_FALSE(Application::shared().isStatusBarHidden());
    nav->dismissViewController(false);
    clock.advance(0);
    EXPECT_EQ(Application::shared().statusBarStyle(), StatusBarStyle::Default);

    // The hidden flag may come from a child.
    class Container : public ViewController {
    public:
        std::shared_ptr<ViewController> childViewControllerForStatusBarHidden() override { return child; }
        std::shared_ptr<ViewController> child;
    };
    auto container = std::make_shared<Container>();
    auto child = std::make_shared<Recording>("K", events);
    child->hidden = true;
    container->addChildViewController(child);
    container->child = child;
    EXPECT_EQ(child->parentViewController(), container);
    nav->presentViewController(container, false);
    clock.advance(0);
    EXPECT_TRUE(Application::shared().isStatusBarHidden());
    child->removeFromParentViewController();
    EXPECT_TRUE(container->childViewControllers().empty());
    EXPECT_EQ(events.back(), "K.left");
    nav->dismissViewController(false);
    clock.advance(0);
}

TEST(ToolbarTest, ItemsAreLaidOutWithFixedAndFlexibleSpaces) {
    auto toolbar = std::make_shared<Toolbar>(Rect(0, 0, 320, 0));
    toolbar->sizeToFit();
    EXPECT_EQ(toolbar->frame().size, (Size{320, 44}));
    auto caption = std::make_shared<View>(Rect(0, 0, 100, 20));
    auto cancel = BarButtonItem::system(BarButtonSystemItem::Cancel);
    auto done = BarButtonItem::system(BarButtonSystemItem::Done);
    EXPECT_EQ(done->style(), BarButtonItemStyle::Done);
    toolbar->setItems({BarButtonItem::fixedSpace(-10), cancel, BarButtonItem::flexibleSpace(), BarButtonItem::withCustomView(caption),
                       BarButtonItem::flexibleSpace(), done});
    toolbar->layoutIfNeeded();
    Rect c = cancel->viewForBar()->frame(), d = done->viewForBar()->frame();
    EXPECT_EQ(c.minX(), kBarMargin - 10) << "the negative space pulls the first item towards the edge";
    EXPECT_EQ(d.maxX(), 320 - kBarMargin);
    EXPECT_DOUBLE_EQ(caption->frame().minX() - c.maxX(), d.minX() - caption->frame().maxX()) << "flexible spaces share equally";
    EXPECT_EQ(caption->frame().midY(), 22);

    auto frames = layoutBarItems({cancel, done}, 320, 12, 8);
    EXPECT_EQ(frames[1].first, 12 + c.width() + 8) << "adjacent items are 8 apart";

    auto owner = std::make_shared<int>(0);
    int fired = 0;
    done->setTarget(owner, [&](BarButtonItem&) { ++fired; });
    done->performAction();
    done->setEnabled(false);
    done->performAction();
    done->setEnabled(true);
    owner.reset();
    done->performAction();
    EXPECT_EQ(fired, 1);
}

TEST(PlatformFactsTest, LocalizedStringsAndTheBaseLibraryVersion) {
    EXPECT_EQ(Bundle::main().localizedString("Videos", ""), "Videos") << "no table: the key";
    EXPECT_GT(foundationVersionNumber(), 993.0);
    setFoundationVersionNumber(993.0);
    EXPECT_EQ(foundationVersionNumber(), 993.0);
    setFoundationVersionNumber(std::nan(""));
    EXPECT_EQ(foundationVersionNumber(), 993.0);
    setFoundationVersionNumber(kDefaultFoundationVersionNumber);
}

// A bar's item buttons lay out once: the main loop falls quiet instead of laying them out on every turn.
TEST(BarItemButtonTest, ButtonsSettleAfterTheirLayout) {
    Application::shared().resetForTesting();
    auto window = Window::create(Screen::main().bounds());
    auto top = std::make_shared<ViewController>();
    auto item = BarButtonItem::withTitle("取消", BarButtonItemStyle::Bordered);
    item->setTintColor(Color::fromRGBA255(200, 0, 0));
    top->navigationItem()->setLeftBarButtonItem(item);
    top->navigationItem()->setRightBarButtonItem(BarButtonItem::system(BarButtonSystemItem::Done));
    auto nav = NavigationController::create(top);
    window->setRootViewController(nav);
    window->makeKeyAndVisible();
    int handled = 0;
    for (int turn = 0; turn < 100; ++turn)
        if (RunLoop::main().runOnce(std::chrono::milliseconds(20)) == RunLoop::RunResult::Handled)
            ++handled;
    EXPECT_LT(handled, 20) << "something keeps asking for another layout";
    EXPECT_TRUE(item->viewForBar()->superview()) << "the item is shown";
    Application::shared().resetForTesting();
}
