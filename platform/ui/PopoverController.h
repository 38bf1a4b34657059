// A popover (pad): a content controller's view in a box with an arrow pointing at a rectangle of a view,
// in a window of its own above the others. A tap outside the box dismisses it, and only then is the
// delegate told popoverControllerDidDismissPopover.
//
// Guarantees:
// - Main thread only. A shown popover keeps itself alive until dismissed; the delegate is held weakly.
// - The rectangle (it may come from a page) is made sane first: components that are not finite read as
//   0, negative sizes turn positive, and it is moved into the window. Arrow directions outside the four
//   bits are ignored; none (0) counts as any.
#pragma once

#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

#include <memory>

namespace platform {

enum PopoverArrowDirection : unsigned {
    kPopoverArrowDirectionUp = 1,
    kPopoverArrowDirectionDown = 2,
    kPopoverArrowDirectionLeft = 4,
    kPopoverArrowDirectionRight = 8,
    kPopoverArrowDirectionAny = 15,
    kPopoverArrowDirectionUnknown = 0xFFFFFFFFu,
};

class PopoverController;

class PopoverControllerDelegate {
public:
    virtual ~PopoverControllerDelegate() = default;
    virtual void popoverControllerDidDismissPopover(PopoverController&) {}
};

class PopoverController : public std::enable_shared_from_this<PopoverController> {
public:
    static std::shared_ptr<PopoverController> create(std::shared_ptr<ViewController> content);

    const std::shared_ptr<ViewController>& contentViewController() const { return m_content; }
    void setContentViewController(std::shared_ptr<ViewController> content) { m_content = std::move(content); }
    // The content's size (320 x 480 unless set); sizes that are not finite or not positive are ignored.
    Size popoverContentSize() const { return m_contentSize; }
    void setPopoverContentSize(Size size, bool animated = false);
    std::shared_ptr<PopoverControllerDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<PopoverControllerDelegate>& delegate) { m_delegate = delegate; }

    // `rect` is in `view`'s coordinates; the view must be in a window (else nothing shows).
    void presentPopoverFromRect(Rect rect, View& view, unsigned permittedArrowDirections, bool animated);
    void dismissPopoverAnimated(bool animated);
    bool isPopoverVisible() const { return m_window != nullptr; }
    // The direction chosen when shown; unknown while hidden.
    unsigned popoverArrowDirection() const { return m_direction; }
    std::shared_ptr<Window> window() const { return m_window; }
    // The box (arrow included) in window coordinates while shown.
    Rect popoverFrame() const;

private:
    PopoverController() = default;
    void dismiss(bool animated, bool byTapOutside);

    std::shared_ptr<ViewController> m_content;
    Size m_contentSize{320, 480};
    std::weak_ptr<PopoverControllerDelegate> m_delegate;
    std::shared_ptr<Window> m_window;
    std::shared_ptr<View> m_box;
    unsigned m_direction = kPopoverArrowDirectionUnknown;
};

} // namespace platform
