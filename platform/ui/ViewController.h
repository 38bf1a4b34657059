// A minimal view controller: a lazily loaded view, appearance callbacks, modal presentation with
// completion, and the orientation questions and callbacks. The navigation controller and the rest of
// the view system come later and build on this class.
//
// Guarantees:
// - Main thread only.
// - `view()` loads the view on first use: `loadView` (default: a view with the main screen's bounds),
//   then `viewDidLoad`.
// - Presentation order. present(B) from A: B.viewWillAppear, A.viewWillDisappear, then on a later turn
//   of the main run loop B.viewDidAppear, A.viewDidDisappear, completion. dismiss: B.viewWillDisappear,
//   A.viewWillAppear, then on a later turn B.viewDidDisappear, A.viewDidAppear, completion. The links
//   (presented, presenting) change at the start, so the completion sees the final tree.
// - A controller presents one controller at a time: presenting while it already presents, or while a
//   transition is running, is refused (returns false, the completion never runs), as the platform does.
// - Dismissing with nothing presented calls the completion on a later turn and changes nothing.
// - An animated presentation or dismissal runs as a view animation on the platform clock
//   (kModalTransitionDuration, in its modalTransitionStyle); the "did" callbacks come with its
//   completion. Without animation they come on a later turn of the main run loop.
// - A presented controller is owned by its presenter; the presenter is held weakly.
// - Child controllers are owned by their parent; the parent is held weakly.
// - After each presentation and dismissal, and on setNeedsStatusBarAppearanceUpdate, the application's
//   status-bar style and hidden flag follow the controller at the top of the key window's presentation
//   chain (for the hidden flag, through childViewControllerForStatusBarHidden).
#pragma once

#include "platform/core/Geometry.h"
#include "platform/system/InterfaceOrientation.h"
#include "platform/ui/View.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// What a size transition offers: blocks to run alongside and after it. The stand-in runs the
// "alongside" blocks at once and the completions when the transition ends.
class TransitionCoordinator {
public:
    using Block = std::function<void()>;
    void animateAlongsideTransition(Block alongside, Block completion);
    double transitionDuration() const { return m_duration; }

private:
    friend class Window;
    explicit TransitionCoordinator(double duration) : m_duration(duration) {}
    double m_duration;
    std::vector<Block> m_completions;
};

class NavigationController;
class NavigationItem;

enum class ModalTransitionStyle { CoverVertical = 0, FlipHorizontal = 1, CrossDissolve = 2, PartialCurl = 3 };
inline constexpr double kModalTransitionDuration = 0.3;

// Which edges a controller's view extends under bars at; the platform's bits.
enum RectEdge : unsigned { kRectEdgeNone = 0, kRectEdgeTop = 1, kRectEdgeLeft = 2, kRectEdgeBottom = 4, kRectEdgeRight = 8, kRectEdgeAll = 15 };

enum class StatusBarStyle;

enum class ModalPresentationStyle { FullScreen = 0, PageSheet = 1, FormSheet = 2, CurrentContext = 3, Custom = 4, OverFullScreen = 5, OverCurrentContext = 6 };

class ViewController : public std::enable_shared_from_this<ViewController> {
public:
    using Completion = std::function<void()>;

    ViewController();
    virtual ~ViewController();
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    const std::shared_ptr<View>& view();
    bool isViewLoaded() const { return m_view != nullptr; }
    void setView(std::shared_ptr<View> view) { m_view = std::move(view); }

    // Presentation.
    bool presentViewController(const std::shared_ptr<ViewController>& controller, bool animated, Completion completion = {});
    // Dismisses what this controller presents or, when it presents nothing, itself from its presenter.
    void dismissViewController(bool animated, Completion completion = {});
    std::shared_ptr<ViewController> presentedViewController() const { return m_presented; }
    std::shared_ptr<ViewController> presentingViewController() const { return m_presenting.lock(); }
    std::shared_ptr<ViewController> parentViewController() const { return m_parent.lock(); }
    void setParentViewController(const std::shared_ptr<ViewController>& parent) { m_parent = parent; }
    ModalPresentationStyle modalPresentationStyle() const { return m_modalPresentationStyle; }
    void setModalPresentationStyle(ModalPresentationStyle style) { m_modalPresentationStyle = style; }
    bool isBeingTransitioned() const { return m_transitioning; }
    ModalTransitionStyle modalTransitionStyle() const { return m_modalTransitionStyle; }
    void setModalTransitionStyle(ModalTransitionStyle style) { m_modalTransitionStyle = style; }

    // The title; the navigation item shows it unless the item has a title of its own.
    const std::string& title() const { return m_title; }
    void setTitle(const std::string& title);
    // Made on first use.
    const std::shared_ptr<NavigationItem>& navigationItem();
    // The navigation controller this controller (or an ancestor) is in, if any.
    std::shared_ptr<NavigationController> navigationController() const;

    // Child controllers: addChildViewController calls the child's willMoveToParentViewController; the
    // container calls didMoveToParentViewController when it has placed the view.
    // removeFromParentViewController calls didMoveToParentViewController(nullptr).
    void addChildViewController(const std::shared_ptr<ViewController>& child);
    void removeFromParentViewController();
    const std::vector<std::shared_ptr<ViewController>>& childViewControllers() const { return m_children; }
    virtual void willMoveToParentViewController(const std::shared_ptr<ViewController>& /*parent*/) {}
    virtual void didMoveToParentViewController(const std::shared_ptr<ViewController>& /*parent*/) {}

    // Status bar (override). setNeedsStatusBarAppearanceUpdate applies the answers.
    virtual StatusBarStyle preferredStatusBarStyle();
    virtual bool prefersStatusBarHidden() { return false; }
    virtual std::shared_ptr<ViewController> childViewControllerForStatusBarHidden() { return nullptr; }
    void setNeedsStatusBarAppearanceUpdate();
    // Applies the status-bar answers of the key window's top controller to the application.
    static void updateStatusBarAppearance();

    unsigned edgesForExtendedLayout() const { return m_edgesForExtendedLayout; }
    void setEdgesForExtendedLayout(unsigned edges) { m_edgesForExtendedLayout = edges & kRectEdgeAll; }

    // Appearance callbacks (override; the base does nothing).
    virtual void loadView();
    virtual void viewDidLoad() {}
    virtual void viewWillAppear(bool /*animated*/) {}
    virtual void viewDidAppear(bool /*animated*/) {}
    virtual void viewWillDisappear(bool /*animated*/) {}
    virtual void viewDidDisappear(bool /*animated*/) {}
    virtual void viewDidUnload() {}
    virtual void didReceiveMemoryWarning() {}

    // Orientation questions (override). Defaults: autorotate, every orientation but upside-down, and
    // for the older single question, portrait only.
    virtual bool shouldAutorotate() { return true; }
    virtual InterfaceOrientationMask supportedInterfaceOrientations() { return kInterfaceOrientationMaskAllButUpsideDown; }
    virtual bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) { return o == InterfaceOrientation::Portrait; }
    // Orientation callbacks, in this order during a rotation.
    virtual void willRotateToInterfaceOrientation(InterfaceOrientation /*to*/, double /*duration*/) {}
    virtual void viewWillTransitionToSize(Size /*size*/, TransitionCoordinator& /*coordinator*/) {}
    virtual void didRotateFromInterfaceOrientation(InterfaceOrientation /*from*/) {}
    // Inside the rotation, after the new frame is set (between willRotate and didRotate).
    virtual void willAnimateRotationToInterfaceOrientation(InterfaceOrientation /*to*/, double /*duration*/) {}
    // The orientation to present this controller in (default: the present one).
    virtual InterfaceOrientation preferredInterfaceOrientationForPresentation() { return m_orientation; }
    InterfaceOrientation interfaceOrientation() const { return m_orientation; }

    // The controller at the top of this one's presentation chain (itself when it presents nothing).
    std::shared_ptr<ViewController> topPresentedViewController();

protected:
    // Runs the "did" half of a transition: after the animation of `view` (in `style`) when animated,
    // else on a later turn. `appearing` tells the direction. Used by containers too.
    static void runTransition(const std::shared_ptr<View>& view, Rect shownFrame, bool appearing, bool animated,
                              ModalTransitionStyle style, std::function<void()> done);

private:
    friend class Window;
    void setInterfaceOrientation(InterfaceOrientation o) { m_orientation = o; }

    std::shared_ptr<View> m_view;
    std::shared_ptr<ViewController> m_presented;
    std::weak_ptr<ViewController> m_presenting;
    std::weak_ptr<ViewController> m_parent;
    ModalPresentationStyle m_modalPresentationStyle = ModalPresentationStyle::FullScreen;
    InterfaceOrientation m_orientation = InterfaceOrientation::Portrait;
    bool m_transitioning = false;
    ModalTransitionStyle m_modalTransitionStyle = ModalTransitionStyle::CoverVertical;
    std::string m_title;
    std::shared_ptr<NavigationItem> m_navigationItem;
    std::vector<std::shared_ptr<ViewController>> m_children;
    unsigned m_edgesForExtendedLayout = kRectEdgeAll;
};

} // namespace platform
