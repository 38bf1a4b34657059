#include "platform/ui/NavigationController.h"

#include "platform/application/Application.h"
#include "platform/runloop/RunLoop.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>

namespace platform {

namespace {

// The navigation controller's view: lays its content out when its size changes.
class NavigationView : public View {
public:
    NavigationView(Rect frame, std::weak_ptr<NavigationController> owner) : View(frame), m_owner(std::move(owner)) {}

protected:
    void layoutSubviews() override {
        if (auto owner = m_owner.lock())
            owner->layoutContent();
    }

private:
    std::weak_ptr<NavigationController> m_owner;
};

// The edge swipe that pops; here only its enabled flag is kept.
class EdgePopGestureRecognizer : public GestureRecognizer {
public:
    void touchesBegan(const TouchSet&) override {}
    void touchesMoved(const TouchSet&) override {}
    void touchesEnded(const TouchSet&) override {}
};

} // namespace

std::shared_ptr<NavigationController> NavigationController::create(const std::shared_ptr<ViewController>& root) {
    auto nav = std::make_shared<NavigationController>();
    if (root)
        nav->setViewControllers({root}, false);
    return nav;
}

NavigationController::NavigationController() : m_popGesture(std::make_shared<EdgePopGestureRecognizer>()) {}

const std::shared_ptr<NavigationBar>& NavigationController::navigationBar() {
    if (!m_bar) {
        m_bar = std::make_shared<NavigationBar>(Rect(0, 0, Screen::main().bounds().width(), kBarHeight));
        m_bar->setAutoresizingMask(kAutoresizingFlexibleWidth);
        std::weak_ptr<ViewController> weak = weak_from_this();
        m_bar->setBackAction([weak] {
            if (auto nav = std::static_pointer_cast<NavigationController>(weak.lock()))
                nav->popViewController(true);
        });
    }
    return m_bar;
}

const std::shared_ptr<Toolbar>& NavigationController::toolbar() {
    if (!m_toolbar) {
        m_toolbar = std::make_shared<Toolbar>(Rect(0, 0, Screen::main().bounds().width(), kBarHeight));
        m_toolbar->setHidden(m_toolbarHidden);
    }
    return m_toolbar;
}

void NavigationController::loadView() {
    auto view = std::make_shared<NavigationView>(Screen::main().bounds(), std::static_pointer_cast<NavigationController>(shared_from_this()));
    view->addSubview(navigationBar());
    view->addSubview(toolbar());
    m_bar->setHidden(m_barHidden);
    setView(view);
    if (auto top = topViewController())
        view->insertSubviewBelow(top->view(), m_bar);
    syncBarItems();
    layoutContent();
}

double NavigationController::barTop() const {
    if (Application::shared().isStatusBarHidden() || !isViewLoaded())
        return 0;
    auto& view = const_cast<NavigationController*>(this)->view();
    auto root = view->rootView();
    if (root == view)
        return kStatusBarHeight;  // not shown yet: as it will be, full screen
    return view->convertPointTo(Point{}, nullptr).y <= 0 ? kStatusBarHeight : 0;
}

Rect NavigationController::contentFrame(const ViewController& controller) const {
    auto& view = const_cast<NavigationController*>(this)->view();
    Rect b = view->bounds();
    double top = b.minY(), bottom = b.maxY();
    unsigned edges = controller.edgesForExtendedLayout();
    if (!m_barHidden && (!(edges & kRectEdgeTop) || !m_bar->isTranslucent()))
        top = b.minY() + barTop() + kBarHeight;
    if (!m_toolbarHidden && (!(edges & kRectEdgeBottom) || !m_toolbar->isTranslucent()))
        bottom = b.maxY() - kBarHeight;
    return Rect(b.minX(), top, b.width(), std::max(0.0, bottom - top));
}

void NavigationController::layoutContent() {
    if (!isViewLoaded())
        return;
    Rect b = view()->bounds();
    double top = barTop();
    m_bar->setStatusBarExtension(top);
    if (!m_barHidden)
        m_bar->setFrame(Rect(b.minX(), b.minY() + top, b.width(), kBarHeight));
    if (!m_toolbarHidden)
        m_toolbar->setFrame(Rect(b.minX(), b.maxY() - kBarHeight, b.width(), kBarHeight));
    if (auto c = topViewController(); c && c->isViewLoaded())
        c->view()->setFrame(contentFrame(*c));
}

void NavigationController::syncBarItems() {
    std::vector<std::shared_ptr<NavigationItem>> items;
    for (const auto& c : m_stack)
        items.push_back(c->navigationItem());
    navigationBar()->setItems(std::move(items));
}

std::shared_ptr<ViewController> NavigationController::visibleViewController() {
    if (auto presented = presentedViewController())
        return presented->topPresentedViewController();
    return topViewController();
}

void NavigationController::transition(const std::shared_ptr<ViewController>& from, const std::shared_ptr<ViewController>& to,
                                      bool forward, bool animated, std::vector<std::shared_ptr<ViewController>> leaving) {
    auto self = std::static_pointer_cast<NavigationController>(shared_from_this());
    bool onScreen = m_onScreen;
    syncBarItems();
    if (from == to) {
        for (const auto& c : leaving)
            c->removeFromParentViewController();
        return;
    }
    // The keyboard belongs to the screen that brought it up: it goes as that screen starts to leave.
    if (from && from->isViewLoaded())
        from->view()->endEditing(true);
    if (isViewLoaded() && to) {
        to->view()->setFrame(contentFrame(*to));
        view()->insertSubviewBelow(to->view(), m_bar);
    }
    if (onScreen) {
        if (from)
            from->viewWillDisappear(animated);
        if (to) {
            to->viewWillAppear(animated);
            if (auto d = delegate())
                d->willShowViewController(*self, *to, animated);
        }
    }
    std::weak_ptr<NavigationController> weak = self;
    auto done = [weak, from, to, forward, animated, onScreen, leaving = std::move(leaving)] {
        auto nav = weak.lock();
        if (from && from->isViewLoaded() && (!nav || nav->topViewController() != from))
            from->view()->removeFromSuperview();
        if (onScreen && from)
            from->viewDidDisappear(animated);
        if (onScreen && to)
            to->viewDidAppear(animated);
        if (forward && to && nav)
            to->didMoveToParentViewController(nav);
        for (const auto& c : leaving)
            c->removeFromParentViewController();
        if (nav && nav->isViewLoaded())
            nav->layoutContent();
        if (onScreen && to && nav)
            if (auto d = nav->delegate())
                d->didShowViewController(*nav, *to, animated);
    };
    if (!onScreen) {  // nothing to show: done at once
        done();
        return;
    }
    if (!animated || !isViewLoaded() || !to) {
        RunLoop::main().perform(std::move(done));
        return;
    }
    // The slide: the new view comes in from the side it belongs to; the old one moves a third aside.
    double w = view()->bounds().width();
    Rect toFrame = to->view()->frame();
    to->view()->setFrame(toFrame.offsetBy(forward ? w : -w / 3, 0));
    std::shared_ptr<View> fromView = from && from->isViewLoaded() ? from->view() : nullptr;
    Rect fromFrame = fromView ? fromView->frame() : Rect{};
    ViewAnimation::animate(kNavigationTransitionDuration, 0, kAnimationOptionCurveEaseInOut, [&] {
        to->view()->setFrame(toFrame);
        if (fromView)
            fromView->setFrame(fromFrame.offsetBy(forward ? -w / 3 : w, 0));
    }, [done = std::move(done), fromView, fromFrame](bool) {
        done();
        if (fromView)
            fromView->setFrame(fromFrame);  // back in place for when it shows again
    });
}

void NavigationController::pushViewController(const std::shared_ptr<ViewController>& controller, bool animated) {
    if (!controller || std::find(m_stack.begin(), m_stack.end(), controller) != m_stack.end())
        return;  // pushing a controller twice is refused, as on the platform
    auto from = topViewController();
    addChildViewController(controller);
    m_stack.push_back(controller);
    transition(from, controller, true, animated, {});
}

std::shared_ptr<ViewController> NavigationController::popViewController(bool animated) {
    if (m_stack.size() < 2)
        return nullptr;
    auto popped = popToViewController(m_stack[m_stack.size() - 2], animated);
    return popped.empty() ? nullptr : popped.front();
}

std::vector<std::shared_ptr<ViewController>> NavigationController::popToRootViewController(bool animated) {
    if (m_stack.empty())
        return {};
    return popToViewController(m_stack.front(), animated);
}

std::vector<std::shared_ptr<ViewController>> NavigationController::popToViewController(const std::shared_ptr<ViewController>& controller,
                                                                                         bool animated) {
    auto it = std::find(m_stack.begin(), m_stack.end(), controller);
    if (it == m_stack.end() || it + 1 == m_stack.end())
        return {};
    std::vector<std::shared_ptr<ViewController>> popped(it + 1, m_stack.end());
    auto from = m_stack.back();
    m_stack.erase(it + 1, m_stack.end());
    for (const auto& c : popped)
        if (c != from) {
            c->willMoveToParentViewController(nullptr);
            if (c->isViewLoaded())
                c->view()->removeFromSuperview();
        }
    from->willMoveToParentViewController(nullptr);
    transition(from, controller, false, animated, popped);
    return popped;
}

void NavigationController::setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool animated) {
    std::vector<std::shared_ptr<ViewController>> unique;
    for (auto& c : controllers)
        if (c && std::find(unique.begin(), unique.end(), c) == unique.end())
            unique.push_back(std::move(c));
    auto from = topViewController();
    std::vector<std::shared_ptr<ViewController>> leaving;
    for (const auto& c : m_stack)
        if (std::find(unique.begin(), unique.end(), c) == unique.end()) {
            leaving.push_back(c);
            if (c != from && c->isViewLoaded())
                c->view()->removeFromSuperview();
        }
    bool forward = !from || std::find(unique.begin(), unique.end(), from) != unique.end() || unique.size() >= m_stack.size();
    for (const auto& c : unique)
        if (c->parentViewController().get() != this)
            addChildViewController(c);
    m_stack = std::move(unique);
    transition(from, topViewController(), forward, animated, std::move(leaving));
}

void NavigationController::setNavigationBarHidden(bool hidden, bool animated) {
    if (hidden == m_barHidden)
        return;
    m_barHidden = hidden;
    if (!isViewLoaded()) {
        navigationBar()->setHidden(hidden);
        return;
    }
    Rect shown(view()->bounds().minX(), view()->bounds().minY() + barTop(), view()->bounds().width(), kBarHeight);
    Rect above = shown.offsetBy(0, -(shown.maxY() - view()->bounds().minY()));
    if (!animated) {
        m_bar->setHidden(hidden);
        layoutContent();
        return;
    }
    if (!hidden) {
        m_bar->setFrame(above);
        m_bar->setHidden(false);
    }
    std::weak_ptr<NavigationBar> bar = m_bar;
    ViewAnimation::animate(kModalTransitionDuration, [&] {
        m_bar->setFrame(hidden ? above : shown);
        layoutContent();
    }, [this, bar, weak = weak_from_this()](bool) {
        auto self = weak.lock();
        if (!self || !m_barHidden)
            return;
        if (auto b = bar.lock())
            b->setHidden(true);
    });
}

void NavigationController::setToolbarHidden(bool hidden, bool animated) {
    if (hidden == m_toolbarHidden)
        return;
    m_toolbarHidden = hidden;
    toolbar();
    if (!isViewLoaded()) {
        m_toolbar->setHidden(hidden);
        return;
    }
    Rect b = view()->bounds();
    Rect shown(b.minX(), b.maxY() - kBarHeight, b.width(), kBarHeight);
    Rect below = shown.offsetBy(0, kBarHeight);
    if (!animated) {
        m_toolbar->setHidden(hidden);
        layoutContent();
        return;
    }
    if (!hidden) {
        m_toolbar->setFrame(below);
        m_toolbar->setHidden(false);
    }
    ViewAnimation::animate(kModalTransitionDuration, [&] {
        m_toolbar->setFrame(hidden ? below : shown);
        layoutContent();
    }, [this, weak = weak_from_this()](bool) {
        if (auto self = weak.lock(); self && m_toolbarHidden)
            m_toolbar->setHidden(true);
    });
}

void NavigationController::viewWillAppear(bool animated) {
    m_onScreen = true;
    layoutContent();
    if (auto top = topViewController()) {
        top->viewWillAppear(animated);
        if (auto d = delegate())
            d->willShowViewController(*this, *top, animated);
    }
}

void NavigationController::viewDidAppear(bool animated) {
    if (auto top = topViewController()) {
        top->viewDidAppear(animated);
        if (auto d = delegate())
            d->didShowViewController(*this, *top, animated);
    }
}

void NavigationController::viewWillDisappear(bool animated) {
    if (auto top = topViewController())
        top->viewWillDisappear(animated);
}

void NavigationController::viewDidDisappear(bool animated) {
    m_onScreen = false;
    if (auto top = topViewController())
        top->viewDidDisappear(animated);
}

} // namespace platform
