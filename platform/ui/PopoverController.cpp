#include "platform/ui/PopoverController.h"

#include "platform/ui/Overlay.h"
#include "platform/ui/ViewAnimation.h"

namespace platform {

namespace {
std::vector<std::shared_ptr<PopoverController>>& shownPopovers() {
    static std::vector<std::shared_ptr<PopoverController>> popovers;
    return popovers;
}
} // namespace

std::shared_ptr<PopoverController> PopoverController::create(std::shared_ptr<ViewController> content) {
    auto popover = std::shared_ptr<PopoverController>(new PopoverController());
    popover->m_content = std::move(content);
    return popover;
}

void PopoverController::setPopoverContentSize(Size size, bool) {
    if (std::isfinite(size.width) && std::isfinite(size.height) && size.width > 0 && size.height > 0)
        m_contentSize = size;
}

Rect PopoverController::popoverFrame() const { return m_box ? m_box->frame() : Rect{}; }

void PopoverController::presentPopoverFromRect(Rect rect, View& view, unsigned permittedArrowDirections, bool animated) {
    auto anchorWindow = std::dynamic_pointer_cast<Window>(view.rootView());
    if (!anchorWindow)
        return;
    if (m_window)
        dismiss(false, false);
    auto self = shared_from_this();
    shownPopovers().push_back(self);
    m_window = overlay::makeWindow();
    Rect screen = m_window->bounds();
    Rect inWindow = view.convertRectTo(overlay::sanitized(rect), anchorWindow.get());
    Rect target = overlay::clampedInto(
        inWindow.offsetBy(anchorWindow->frame().minX() - m_window->frame().minX(), anchorWindow->frame().minY() - m_window->frame().minY()),
        screen);
    auto backdrop = std::make_shared<overlay::Backdrop>(screen, false);
    std::weak_ptr<PopoverController> weak = self;
    backdrop->onTap = [weak] {
        if (auto p = weak.lock())
            p->dismiss(true, true);
    };
    m_window->addSubview(backdrop);

    overlay::Placement placement = overlay::place(m_contentSize, target, screen, permittedArrowDirections);
    auto box = std::make_shared<overlay::Box>(placement.frame);
    box->setArrow(placement.direction, placement.tip);
    m_direction = placement.direction;
    if (m_content) {
        auto container = std::make_shared<View>(box->contentRect());
        container->setClipsToBounds(true);
        container->layer()->setCornerRadius(overlay::kBoxCornerRadius);
        container->layer()->setMasksToBounds(true);
        const auto& content = m_content->view();
        content->setFrame(container->bounds());
        container->addSubview(content);
        box->addSubview(container);
    }
    m_box = box;
    m_window->addSubview(box);
    if (m_content)
        m_content->viewWillAppear(animated);
    if (animated) {
        m_window->setAlpha(0);
        std::shared_ptr<Window> window = m_window;
        ViewAnimation::animate(overlay::kFadeDuration, 0, kAnimationOptionAllowUserInteraction, [&] { window->setAlpha(1); },
                               [content = m_content](bool) {
                                   if (content)
                                       content->viewDidAppear(true);
                               });
    } else if (m_content) {
        m_content->viewDidAppear(false);
    }
}

void PopoverController::dismissPopoverAnimated(bool animated) { dismiss(animated, false); }

void PopoverController::dismiss(bool animated, bool byTapOutside) {
    if (!m_window)
        return;
    auto self = shared_from_this();
    std::shared_ptr<Window> window = std::move(m_window);
    m_box.reset();
    m_direction = kPopoverArrowDirectionUnknown;
    std::erase(shownPopovers(), self);
    if (m_content)
        m_content->viewWillDisappear(animated);
    auto finish = [self, window, animated, byTapOutside] {
        window->setHidden(true);
        if (self->m_content && self->m_content->isViewLoaded() && !self->m_window)
            self->m_content->view()->removeFromSuperview();
        if (self->m_content)
            self->m_content->viewDidDisappear(animated);
        if (byTapOutside)
            if (auto d = self->delegate())
                d->popoverControllerDidDismissPopover(*self);
    };
    overlay::dismiss(animated, overlay::kFadeDuration, [&] { window->setAlpha(0); }, std::move(finish));
}

} // namespace platform
