// A navigation controller: a stack of controllers, the top one shown under a navigation bar, with an
// optional toolbar at the bottom. Subclass it freely.
//
// Appearance order, when the navigation controller is on screen:
//   push B over A: A.viewWillDisappear, B.viewWillAppear, delegate willShow(B); then, after the slide
//   (kNavigationTransitionDuration on the platform clock when animated, else on a later turn of the main
//   run loop): A.viewDidDisappear, B.viewDidAppear, B.didMoveToParentViewController, delegate didShow(B).
//   pop B back to A: B.viewWillDisappear, A.viewWillAppear, delegate willShow(A); then
//   B.viewDidDisappear, A.viewDidAppear, B.didMoveToParentViewController(nullptr), delegate didShow(A).
//   Controllers popped from under the top go without callbacks, except didMoveToParentViewController.
// The navigation controller passes its own appearance callbacks to its top controller (and tells the
// delegate willShow/didShow for it). The leaving top controller's editing ends (forced) before any of
// these: a keyboard it brought up goes as it starts to leave.
//
// Layout: the bar is 44 points high at the top; under a 20-point status-bar area when the status bar is
// shown and the navigation controller's view reaches the top of the window. The top controller's view
// fills the rest, and reaches under a translucent bar or toolbar when its edgesForExtendedLayout say so.
//
// Guarantees: main thread only. The delegate is held weakly. The root controller is never popped.
#pragma once

#include "platform/ui/NavigationBar.h"
#include "platform/ui/Toolbar.h"
#include "platform/ui/ViewController.h"

#include <memory>
#include <vector>

namespace platform {

inline constexpr double kNavigationTransitionDuration = 0.35;
inline constexpr double kStatusBarHeight = 20;

class NavigationController;

class NavigationControllerDelegate {
public:
    virtual ~NavigationControllerDelegate() = default;
    virtual void willShowViewController(NavigationController&, ViewController&, bool /*animated*/) {}
    virtual void didShowViewController(NavigationController&, ViewController&, bool /*animated*/) {}
};

class NavigationController : public ViewController {
public:
    static std::shared_ptr<NavigationController> create(const std::shared_ptr<ViewController>& root);
    NavigationController();

    void pushViewController(const std::shared_ptr<ViewController>& controller, bool animated);
    // Pops the top controller (nullptr when only the root is left).
    std::shared_ptr<ViewController> popViewController(bool animated);
    // Pop everything above the root (or above `controller`); the popped controllers, bottom first.
    std::vector<std::shared_ptr<ViewController>> popToRootViewController(bool animated);
    std::vector<std::shared_ptr<ViewController>> popToViewController(const std::shared_ptr<ViewController>& controller, bool animated);
    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return m_stack; }
    // Replaces the stack (duplicates and nulls are dropped); the new top is shown as after a push.
    void setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool animated = false);
    std::shared_ptr<ViewController> topViewController() const { return m_stack.empty() ? nullptr : m_stack.back(); }
    // What the user sees: a controller presented over the navigation controller, else the top one.
    std::shared_ptr<ViewController> visibleViewController();

    std::shared_ptr<NavigationControllerDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<NavigationControllerDelegate>& delegate) { m_delegate = delegate; }

    const std::shared_ptr<NavigationBar>& navigationBar();
    bool isNavigationBarHidden() const { return m_barHidden; }
    void setNavigationBarHidden(bool hidden, bool animated = false);
    // The edge-swipe gesture; only its enabled flag means anything here.
    const std::shared_ptr<GestureRecognizer>& interactivePopGestureRecognizer() const { return m_popGesture; }
    const std::shared_ptr<Toolbar>& toolbar();
    bool isToolbarHidden() const { return m_toolbarHidden; }
    void setToolbarHidden(bool hidden, bool animated = false);

    void loadView() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;
    void viewDidDisappear(bool animated) override;

    // Lays out the bar, the toolbar and the top controller's view.
    void layoutContent();

private:
    // Moves from `from` to `to` (either may be null) with the callbacks above.
    void transition(const std::shared_ptr<ViewController>& from, const std::shared_ptr<ViewController>& to, bool forward, bool animated,
                    std::vector<std::shared_ptr<ViewController>> leaving);
    void syncBarItems();
    Rect contentFrame(const ViewController& controller) const;
    double barTop() const;

    std::vector<std::shared_ptr<ViewController>> m_stack;
    std::weak_ptr<NavigationControllerDelegate> m_delegate;
    std::shared_ptr<NavigationBar> m_bar;
    std::shared_ptr<Toolbar> m_toolbar;
    std::shared_ptr<GestureRecognizer> m_popGesture;
    bool m_barHidden = false;
    bool m_toolbarHidden = true;
    bool m_onScreen = false;  // between viewWillAppear and viewDidDisappear
};

} // namespace platform
