// What alerts and action sheets share: a list of button titles with a cancel index, a weakly held
// delegate told clickedButtonAtIndex, willDismissWithButtonIndex and didDismissWithButtonIndex, and the
// window they show in while visible. A shown overlay keeps itself alive until it is dismissed.
//
// Guarantees: main thread only. dismissWithClickedButtonIndex passes any index to the delegate unchanged
// and touches no button; dismissing an overlay that is not shown (or already going) does nothing.
#pragma once

#include "platform/ui/Window.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

namespace overlay {
// See Overlay.cpp.
std::shared_ptr<Window> makeWindow();
void dismiss(bool animated, double duration, const std::function<void()>& animations, std::function<void()> finish);
} // namespace overlay

// Self provides dismissDuration() and animateOut(window) (what a dismissal animates).
template <class Self, class Delegate>
class ButtonOverlay : public std::enable_shared_from_this<Self> {
public:
    std::shared_ptr<Delegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<Delegate>& delegate) { m_delegate = delegate; }

    long addButtonWithTitle(const std::string& title) {
        m_buttons.push_back(title);
        return static_cast<long>(m_buttons.size()) - 1;
    }
    long numberOfButtons() const { return static_cast<long>(m_buttons.size()); }
    // "" outside the buttons.
    std::string buttonTitleAtIndex(long index) const { return validIndex(index) ? m_buttons[static_cast<std::size_t>(index)] : std::string(); }
    long cancelButtonIndex() const { return m_cancelIndex; }
    // -1 (or any index outside the buttons) for none.
    void setCancelButtonIndex(long index) { m_cancelIndex = index; }

    bool isVisible() const { return m_window != nullptr; }
    // The window while shown (for drawing and tapping in tests).
    std::shared_ptr<Window> window() const { return m_window; }
    // The button views while shown, by index (nullptr for a button not shown).
    std::vector<std::shared_ptr<View>> buttonViews() const { return m_buttonViews; }

    void dismissWithClickedButtonIndex(long index, bool animated) {
        if (!m_window || m_dismissing)
            return;
        std::shared_ptr<Self> self = this->shared_from_this();
        m_dismissing = true;
        // An overlay that takes the keyboard (an alert's text field) gives it back as it starts to go.
        m_window->endEditing(true);
        if (auto d = delegate())
            d->willDismissWithButtonIndex(*self, index);
        auto finish = [self, index] {
            ButtonOverlay& base = *self;
            if (base.m_window)
                base.m_window->setHidden(true);
            base.m_window.reset();
            base.m_buttonViews.clear();
            std::erase(shown(), self);
            if (auto d = base.delegate())
                d->didDismissWithButtonIndex(*self, index);
        };
        std::shared_ptr<Window> window = m_window;
        overlay::dismiss(animated, self->dismissDuration(), [&] { self->animateOut(*window); }, std::move(finish));
    }

protected:
    bool validIndex(long i) const { return i >= 0 && i < numberOfButtons(); }
    bool isDismissing() const { return m_dismissing; }
    // The overlays of this kind shown now (going ones included), oldest first.
    static const std::vector<std::shared_ptr<Self>>& showing() { return shown(); }

    // Starts showing in a new overlay window; false when already shown.
    bool beginShowing() {
        if (m_window)
            return false;
        shown().push_back(this->shared_from_this());
        m_dismissing = false;
        m_window = overlay::makeWindow();
        m_buttonViews.assign(m_buttons.size(), nullptr);
        return true;
    }

    // A tap on button `index` (or outside, for the cancel index): the delegate hears of it, then the
    // overlay goes with that index.
    void tapped(long index) {
        std::shared_ptr<Self> self = this->shared_from_this();
        if (auto d = delegate())
            d->clickedButtonAtIndex(*self, index);
        if (m_window && !m_dismissing)
            dismissWithClickedButtonIndex(index, true);
    }

    std::vector<std::string> m_buttons;
    long m_cancelIndex = -1;
    std::shared_ptr<Window> m_window;
    std::vector<std::shared_ptr<View>> m_buttonViews;

private:
    static std::vector<std::shared_ptr<Self>>& shown() {
        static auto* overlays = new std::vector<std::shared_ptr<Self>>;  // never destroyed: see ViewAnimation
        return *overlays;
    }
    std::weak_ptr<Delegate> m_delegate;
    bool m_dismissing = false;
};

} // namespace platform
