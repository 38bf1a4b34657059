#include "platform/ui/ViewController.h"

#include "platform/RunLoop.h"
#include "platform/ui/Screen.h"

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
    if (auto window = rootOf(view())) {
        shown->setFrame(window->bounds());
        window->addSubview(shown);
    }
    controller->viewWillAppear(animated);
    viewWillDisappear(animated);

    std::weak_ptr<ViewController> weakSelf = self;
    RunLoop::main().perform([weakSelf, controller, animated, completion = std::move(completion)] {
        controller->m_transitioning = false;
        controller->viewDidAppear(animated);
        if (auto presenter = weakSelf.lock()) {
            presenter->m_transitioning = false;
            presenter->viewDidDisappear(animated);
        }
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
    RunLoop::main().perform([weakSelf, chain = std::move(chain), top, animated, completion = std::move(completion)] {
        for (const auto& c : chain)
            if (c->isViewLoaded())
                c->view()->removeFromSuperview();
        top->m_transitioning = false;
        top->viewDidDisappear(animated);
        if (auto presenter = weakSelf.lock()) {
            presenter->m_transitioning = false;
            presenter->viewDidAppear(animated);
        }
        if (completion)
            completion();
    });
}

} // namespace platform
