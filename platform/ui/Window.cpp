#include "platform/ui/Window.h"

#include "platform/runloop/RunLoop.h"

#include <algorithm>

namespace platform {

namespace {
std::weak_ptr<Window>& keyWindowSlot() {
    static std::weak_ptr<Window> slot;
    return slot;
}

Window::OrientationMaskProvider& maskProvider() {
    static Window::OrientationMaskProvider provider;
    return provider;
}
std::vector<std::weak_ptr<Window>>& allWindows() {
    static std::vector<std::weak_ptr<Window>> windows;
    return windows;
}
} // namespace

std::shared_ptr<Window> Window::create(Rect frame) {
    auto window = std::shared_ptr<Window>(new Window(frame));
    auto& all = allWindows();
    std::erase_if(all, [](const auto& w) { return w.expired(); });
    all.push_back(window);
    return window;
}

std::vector<std::shared_ptr<Window>> Window::visibleWindows() {
    std::vector<std::shared_ptr<Window>> shown;
    for (const auto& weak : allWindows())
        if (auto w = weak.lock(); w && !w->isHidden())
            shown.push_back(std::move(w));
    std::stable_sort(shown.begin(), shown.end(), [](const auto& a, const auto& b) { return a->windowLevel() < b->windowLevel(); });
    return shown;
}

Window::Window(Rect frame) : View(frame) { setHidden(true); }

Window::~Window() = default;

void Window::setRootViewController(std::shared_ptr<ViewController> controller) {
    if (controller == m_rootViewController)
        return;
    if (m_rootViewController && m_rootViewController->isViewLoaded())
        m_rootViewController->view()->removeFromSuperview();
    m_rootViewController = std::move(controller);
    if (!m_rootViewController)
        return;
    const std::shared_ptr<View>& view = m_rootViewController->view();
    view->setFrame(bounds());
    view->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
    addSubview(view);
    m_rootViewController->setInterfaceOrientation(m_orientation);
}

void Window::makeKeyWindow() { keyWindowSlot() = std::static_pointer_cast<Window>(shared_from_this()); }

void Window::makeKeyAndVisible() {
    bool wasHidden = isHidden();
    setHidden(false);
    makeKeyWindow();
    if (!wasHidden || !m_rootViewController)
        return;
    std::shared_ptr<ViewController> root = m_rootViewController;
    root->viewWillAppear(false);
    RunLoop::main().perform([root] { root->viewDidAppear(false); });
}

bool Window::isKeyWindow() const { return keyWindowSlot().lock().get() == this; }

std::shared_ptr<Window> Window::keyWindow() { return keyWindowSlot().lock(); }

void Window::setApplicationOrientationMaskProvider(OrientationMaskProvider provider) { maskProvider() = std::move(provider); }

bool Window::rotateTo(InterfaceOrientation orientation, double duration) {
    if (!m_rootViewController || orientation == InterfaceOrientation::Unknown || orientation == m_orientation)
        return false;
    std::shared_ptr<ViewController> top = m_rootViewController->topPresentedViewController();
    InterfaceOrientationMask appMask = maskProvider() ? maskProvider()(*this) : kInterfaceOrientationMaskAll;
    if (!top->shouldAutorotate() || !(top->supportedInterfaceOrientations() & maskFor(orientation)) ||
        !(appMask & maskFor(orientation)))
        return false;

    std::vector<std::shared_ptr<ViewController>> chain;
    for (auto c = m_rootViewController; c; c = c->presentedViewController())
        chain.push_back(c);

    InterfaceOrientation old = m_orientation;
    Size size = bounds().size;
    if (isLandscape(old) != isLandscape(orientation))
        size = Size{size.height, size.width};
    TransitionCoordinator coordinator(duration);

    for (const auto& c : chain)
        c->willRotateToInterfaceOrientation(orientation, duration);
    for (const auto& c : chain)
        c->viewWillTransitionToSize(size, coordinator);
    m_orientation = orientation;
    setFrame(Rect(frame().origin, size));
    for (const auto& c : chain) {
        c->setInterfaceOrientation(orientation);
        if (c->isViewLoaded() && c->view()->superview().get() == this)
            c->view()->setFrame(bounds());
    }
    for (const auto& c : chain)
        c->willAnimateRotationToInterfaceOrientation(orientation, duration);
    for (const auto& c : chain)
        c->didRotateFromInterfaceOrientation(old);
    for (auto& completion : coordinator.m_completions)
        completion();
    return true;
}

} // namespace platform
