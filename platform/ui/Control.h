// Controls: views that answer touches with target-actions per control event, and have the states
// normal, highlighted, disabled and selected.
//
// Guarantees:
// - Main thread only.
// - Targets are held weakly: the action of a target freed before the event is skipped, never called.
//   Actions run in the order they were added.
// - A control tracks the touch it is the hit view of: touch-down when it begins, highlighted while the
//   finger is inside its bounds, touch-up-inside or touch-up-outside when it ends, touch-cancel (and no
//   longer highlighted) when it is cancelled. A disabled control sends nothing and passes its touches on
//   to its superview.
#pragma once

#include "platform/ui/View.h"

#include <functional>
#include <memory>
#include <vector>

namespace platform {

// The platform's state bits.
enum ControlState : unsigned {
    kControlStateNormal = 0,
    kControlStateHighlighted = 1,
    kControlStateDisabled = 2,
    kControlStateSelected = 4,
};

// The platform's event bits.
enum ControlEvents : unsigned {
    kControlEventTouchDown = 1u << 0,
    kControlEventTouchDownRepeat = 1u << 1,
    kControlEventTouchDragInside = 1u << 2,
    kControlEventTouchDragOutside = 1u << 3,
    kControlEventTouchDragEnter = 1u << 4,
    kControlEventTouchDragExit = 1u << 5,
    kControlEventTouchUpInside = 1u << 6,
    kControlEventTouchUpOutside = 1u << 7,
    kControlEventTouchCancel = 1u << 8,
    kControlEventValueChanged = 1u << 12,
    kControlEventEditingDidBegin = 1u << 16,
    kControlEventEditingChanged = 1u << 17,
    kControlEventEditingDidEnd = 1u << 18,
    kControlEventEditingDidEndOnExit = 1u << 19,
    kControlEventAllTouchEvents = 0x00000FFFu,
    kControlEventAllEditingEvents = 0x000F0000u,
    kControlEventAllEvents = 0xFFFFFFFFu,
};

// How a control places its content; the platform's numbers.
enum class ContentHorizontalAlignment { Center = 0, Left = 1, Right = 2, Fill = 3 };
enum class ContentVerticalAlignment { Center = 0, Top = 1, Bottom = 2, Fill = 3 };

class Control : public View {
public:
    using Action = std::function<void(Control& sender)>;

    explicit Control(Rect frame = {});

    bool isEnabled() const { return m_enabled; }
    virtual void setEnabled(bool enabled) { m_enabled = enabled; setNeedsDisplay(); }
    bool isSelected() const { return m_selected; }
    virtual void setSelected(bool selected) { m_selected = selected; setNeedsDisplay(); }
    bool isHighlighted() const { return m_highlighted; }
    virtual void setHighlighted(bool highlighted) { m_highlighted = highlighted; setNeedsDisplay(); }
    bool isTracking() const { return m_tracking != nullptr; }
    // The state bits of the flags (normal 0 when none is set).
    unsigned state() const;

    // `action` runs for each of `events` while `target` lives.
    void addTarget(std::weak_ptr<void> target, Action action, unsigned events);
    // The platform's form: a member function of the target.
    template <class T>
    void addTarget(const std::shared_ptr<T>& target, void (T::*method)(Control&), unsigned events) {
        std::weak_ptr<T> weak = target;
        addTarget(std::weak_ptr<void>(target), [weak, method](Control& sender) {
            if (auto t = weak.lock())
                ((*t).*method)(sender);
        }, events);
    }
    // Removes the target's actions for `events` (a nullptr target: every target's).
    void removeTarget(const void* target, unsigned events = kControlEventAllEvents);
    // The events some live target listens to.
    unsigned allControlEvents() const;
    // Runs the actions of every live target registered for any of `events`.
    void sendActionsForControlEvents(unsigned events);

    void touchesBegan(const TouchSet& touches) override;
    void touchesMoved(const TouchSet& touches) override;
    void touchesEnded(const TouchSet& touches) override;
    void touchesCancelled(const TouchSet& touches) override;

private:
    bool touchInside(const Touch& touch) const;

    struct Entry {
        std::weak_ptr<void> target;
        Action action;
        unsigned events;
    };
    std::vector<Entry> m_actions;
    std::shared_ptr<Touch> m_tracking;
    bool m_enabled = true;
    bool m_selected = false;
    bool m_highlighted = false;
};

} // namespace platform
