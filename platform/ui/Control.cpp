#include "platform/ui/Control.h"

#include <algorithm>

namespace platform {

Control::Control(Rect frame) : View(frame) {}

unsigned Control::state() const {
    unsigned s = kControlStateNormal;
    if (m_highlighted)
        s |= kControlStateHighlighted;
    if (!m_enabled)
        s |= kControlStateDisabled;
    if (m_selected)
        s |= kControlStateSelected;
    return s;
}

void Control::addTarget(std::weak_ptr<void> target, Action action, unsigned events) {
    if (action && events)
        m_actions.push_back({std::move(target), std::move(action), events});
}

void Control::removeTarget(const void* target, unsigned events) {
    for (auto& e : m_actions) {
        auto t = e.target.lock();
        if (!target || !t || t.get() == target)
            e.events &= ~events;
    }
    std::erase_if(m_actions, [](const Entry& e) { return e.events == 0 || e.target.expired(); });
}

unsigned Control::allControlEvents() const {
    unsigned all = 0;
    for (const auto& e : m_actions)
        if (!e.target.expired())
            all |= e.events;
    return all;
}

void Control::sendActionsForControlEvents(unsigned events) {
    auto keep = shared_from_this();  // an action may remove the control
    auto actions = m_actions;         // or change the targets
    for (const auto& e : actions) {
        if (!(e.events & events))
            continue;
        if (auto target = e.target.lock())
            e.action(*this);
    }
}

bool Control::touchInside(const Touch& touch) const { return pointInside(touch.locationInView(this)); }

void Control::touchesBegan(const TouchSet& touches) {
    if (!m_enabled || touches.empty()) {
        View::touchesBegan(touches);
        return;
    }
    m_tracking = touches.front();
    setHighlighted(true);
    unsigned events = kControlEventTouchDown;
    if (m_tracking->tapCount() > 1)
        events |= kControlEventTouchDownRepeat;
    sendActionsForControlEvents(events);
}

void Control::touchesMoved(const TouchSet& touches) {
    if (!m_tracking || touches.empty() || touches.front() != m_tracking) {
        View::touchesMoved(touches);
        return;
    }
    bool inside = touchInside(*m_tracking);
    unsigned events = inside ? kControlEventTouchDragInside : kControlEventTouchDragOutside;
    if (inside != m_highlighted)
        events |= inside ? kControlEventTouchDragEnter : kControlEventTouchDragExit;
    setHighlighted(inside);
    sendActionsForControlEvents(events);
}

void Control::touchesEnded(const TouchSet& touches) {
    if (!m_tracking || touches.empty() || touches.front() != m_tracking) {
        View::touchesEnded(touches);
        return;
    }
    bool inside = touchInside(*m_tracking);
    m_tracking.reset();
    setHighlighted(false);
    sendActionsForControlEvents(inside ? kControlEventTouchUpInside : kControlEventTouchUpOutside);
}

void Control::touchesCancelled(const TouchSet& touches) {
    if (!m_tracking || touches.empty() || touches.front() != m_tracking) {
        View::touchesCancelled(touches);
        return;
    }
    m_tracking.reset();
    setHighlighted(false);
    sendActionsForControlEvents(kControlEventTouchCancel);
}

} // namespace platform
