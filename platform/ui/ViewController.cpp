#include "platform/ui/ViewController.h"

#include "platform/application/Application.h"
#include "platform/runloop/RunLoop.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/Window.h"

namespace platform {

namespace {
// The window (root of the view tree) that shows a view, or nullptr.
std::shared_ptr<View> rootOf(const std::shared_ptr<View>& view) {
    if (!view)
        return nullptr;
    std::shared_ptr<View> root = view;
    while (auto parent = root->superview())
        root = parent;
    return root == view ? nullptr : root;
}
} // namespace

void TransitionCoordinator::animateAlongsideTransition(Block alongside, Block completion) {
    if (alongside)
        alongside();
    if (completion)
        m_completions.push_back(std::move(completion));
}

ViewController::ViewController() = default;

ViewController::~ViewController() = default;

const std::shared_ptr<View>& ViewController::view() {
    if (!m_view) {
        loadView();
        if (!m_view)
            m_view = std::make_shared<View>(Screen::main().bounds());
        viewDidLoad();
    }
    return m_view;
}

void ViewController::loadView() { m_view = std::make_shared<View>(Screen::main().bounds()); }

std::shared_ptr<ViewController> ViewController::topPresentedViewController() {
    std::shared_ptr<ViewController> top = shared_from_this();
    while (top->m_presented)
        top = top->m_presented;
    return top;
}

bool ViewController::presentViewController(const std::shared_ptr<ViewController>& controller, bool animated, Completion completion) {
    if (!controller || controller.get() == this || m_presented || m_transitioning || controller->m_transitioning ||
        controller->presentingViewController())
        return false;
    std::shared_ptr<ViewController> self = shared_from_this();
    m_presented = controller;
    controller->m_presenting = self;
    m_transitioning = controller->m_transitioning = true;
    controller->m_orientation = m_orientation;

    const std::shared_ptr<View>& shown = controller->view();
    auto window = rootOf(view());
    if (window) {
        shown->setFrame(window->bounds());
        window->addSubview(shown);
    }
    controller->viewWillAppear(animated);
    viewWillDisappear(animated);

    std::weak_ptr<ViewController> weakSelf = self;
    runTransition(window ? shown : nullptr, window ? window->bounds() : Rect{}, true, animated, controller->modalTransitionStyle(),
                  [weakSelf, controller, animated, completion = std::move(completion)] {
                      controller->m_transitioning = false;
                      controller->viewDidAppear(animated);
                      if (auto presenter = weakSelf.lock()) {
                          presenter->m_transitioning = false;
                          presenter->viewDidDisappear(animated);
                      }
                      updateStatusBarAppearance();
                      if (completion)
                          completion();
                  });
    return true;
}

void ViewController::dismissViewController(bool animated, Completion completion) {
    if (!m_presented) {
        if (auto presenter = presentingViewController()) {
            presenter->dismissViewController(animated, std::move(completion));
            return;
        }
        if (completion)
            RunLoop::main().perform(std::move(completion));
        return;
    }
    if (m_transitioning || m_presented->m_transitioning)
        return;

    // The whole chain above this controller goes; the top one is the one seen to disappear.
    std::shared_ptr<ViewController> dismissed = m_presented;
    std::shared_ptr<ViewController> top = dismissed->topPresentedViewController();
    std::vector<std::shared_ptr<ViewController>> chain;
    for (auto c = dismissed; c; c = c->m_presented)
        chain.push_back(c);
    for (const auto& c : chain) {
        c->m_presenting.reset();
        c->m_presented.reset();
    }
    m_presented.reset();
    m_transitioning = top->m_transitioning = true;

    top->viewWillDisappear(animated);
    viewWillAppear(animated);

    std::weak_ptr<ViewController> weakSelf = shared_from_this();
    std::shared_ptr<View> leaving = top->isViewLoaded() && rootOf(top->view()) ? top->view() : nullptr;
    Rect shownFrame = leaving ? leaving->frame() : Rect{};
    runTransition(leaving, shownFrame, false, animated, top->modalTransitionStyle(),
                  [weakSelf, chain = std::move(chain), top, animated, shownFrame, leaving, completion = std::move(completion)] {
                      for (const auto& c : chain)
                          if (c->isViewLoaded())
                              c->view()->removeFromSuperview();
                      if (leaving) {  // as it was, for a later presentation
                          leaving->setAlpha(1);
                          leaving->setFrame(shownFrame);
                      }
                      top->m_transitioning = false;
                      top->viewDidDisappear(animated);
                      if (auto presenter = weakSelf.lock()) {
                          presenter->m_transitioning = false;
                          presenter->viewDidAppear(animated);
                      }
                      updateStatusBarAppearance();
                      if (completion)
                          completion();
                  });
}

void ViewController::runTransition(const std::shared_ptr<View>& view, Rect shownFrame, bool appearing, bool animated,
                                   ModalTransitionStyle style, std::function<void()> done) {
    if (!animated) {
        RunLoop::main().perform(std::move(done));
        return;
    }
    auto finish = [done = std::move(done)](bool) { done(); };  // cancelled or not, the transition ends
    if (!view) {
        ViewAnimation::animate(kModalTransitionDuration, {}, finish);
        return;
    }
    switch (style) {
    case ModalTransitionStyle::CoverVertical: {
        Rect below = shownFrame.offsetBy(0, shownFrame.height());
        if (appearing)
            view->setFrame(below);
        ViewAnimation::animate(kModalTransitionDuration, 0, kAnimationOptionCurveEaseInOut,
                               [&] { view->setFrame(appearing ? shownFrame : below); }, finish);
        break;
    }
    case ModalTransitionStyle::CrossDissolve:
        if (appearing)
            view->setAlpha(0);
        ViewAnimation::animate(kModalTransitionDuration, 0, kAnimationOptionCurveEaseInOut, [&] { view->setAlpha(appearing ? 1 : 0); },
                               finish);
        break;
    default:
        ViewAnimation::transition(*view, kModalTransitionDuration,
                                  appearing ? kAnimationOptionTransitionFlipFromRight : kAnimationOptionTransitionFlipFromLeft, {}, finish);
        break;
    }
}

void ViewController::setTitle(const std::string& title) { m_title = title; }

const std::shared_ptr<NavigationItem>& ViewController::navigationItem() {
    if (!m_navigationItem) {
        m_navigationItem = std::make_shared<NavigationItem>();
        m_navigationItem->m_controller = weak_from_this();
    }
    return m_navigationItem;
}

std::shared_ptr<NavigationController> ViewController::navigationController() const {
    for (auto c = parentViewController(); c; c = c->parentViewController())
        if (auto nav = std::dynamic_pointer_cast<NavigationController>(c))
            return nav;
    return nullptr;
}

void ViewController::addChildViewController(const std::shared_ptr<ViewController>& child) {
    if (!child || child.get() == this)
        return;
    auto self = shared_from_this();
    if (child->parentViewController() == self)
        return;
    child->removeFromParentViewController();
    child->willMoveToParentViewController(self);
    m_children.push_back(child);
    child->m_parent = self;
}

void ViewController::removeFromParentViewController() {
    auto parent = parentViewController();
    if (!parent)
        return;
    auto self = shared_from_this();  // the parent may hold the last reference
    std::erase(parent->m_children, self);
    m_parent.reset();
    didMoveToParentViewController(nullptr);
}

StatusBarStyle ViewController::preferredStatusBarStyle() { return StatusBarStyle::Default; }

void ViewController::setNeedsStatusBarAppearanceUpdate() { updateStatusBarAppearance(); }

void ViewController::updateStatusBarAppearance() {
    auto window = Window::keyWindow();
    auto root = window ? window->rootViewController() : nullptr;
    if (!root)
        return;
    auto top = root->topPresentedViewController();
    auto forHidden = top;
    for (int depth = 0; depth < 64; ++depth) {  // a child naming its parent must not loop
        auto child = forHidden->childViewControllerForStatusBarHidden();
        if (!child || child == forHidden)
            break;
        forHidden = child;
    }
    Application& app = Application::shared();
    app.setStatusBarStyle(top->preferredStatusBarStyle());
    app.setStatusBarHidden(forHidden->prefersStatusBarHidden());
}

} // namespace platform
