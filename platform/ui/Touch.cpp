#include "platform/ui/Touch.h"

#include "platform/ui/TouchDriver.h"
#include "platform/ui/View.h"
#include "platform/ui/Window.h"

#include <algorithm>
#include <cmath>

namespace platform {

Touch::Touch(const std::shared_ptr<Window>& window, const std::shared_ptr<View>& view, Point inWindow, int tapCount)
    : m_window(window), m_view(view), m_location(inWindow), m_previousLocation(inWindow), m_tapCount(tapCount),
      m_timestamp(Clock::current().now()) {}

Point Touch::locationInView(const View* view) const {
    auto window = m_window.lock();
    if (!view || !window)
        return m_location;
    return view->convertPointFrom(m_location, window.get());
}

Point Touch::previousLocationInView(const View* view) const {
    auto window = m_window.lock();
    if (!view || !window)
        return m_previousLocation;
    return view->convertPointFrom(m_previousLocation, window.get());
}

void GestureRecognizer::addTarget(std::weak_ptr<void> target, Action action) {
    if (action)
        m_targets.emplace_back(std::move(target), std::move(action));
}

void GestureRecognizer::removeTarget(const void* target) {
    std::erase_if(m_targets, [&](const auto& entry) {
        auto t = entry.first.lock();
        return !t || t.get() == target;
    });
}

void GestureRecognizer::setEnabled(bool enabled) {
    m_enabled = enabled;
    if (!enabled && m_state != GestureRecognizerState::Possible)
        reset();
}

Point GestureRecognizer::locationInView(const View* view) const {
    return m_lastTouch ? m_lastTouch->locationInView(view) : Point{};
}

void GestureRecognizer::touchesCancelled(const TouchSet&) { setState(GestureRecognizerState::Cancelled); }

void GestureRecognizer::reset() {
    m_state = GestureRecognizerState::Possible;
    m_lastTouch.reset();
}

void GestureRecognizer::setState(GestureRecognizerState state) {
    m_state = state;
    if (state != GestureRecognizerState::Began && state != GestureRecognizerState::Changed && state != GestureRecognizerState::Ended)
        return;
    auto self = shared_from_this();
    auto targets = m_targets;  // an action may change the targets
    for (const auto& [weak, action] : targets)
        if (auto target = weak.lock())
            action(*this);
}

void TapGestureRecognizer::touchesBegan(const TouchSet& touches) {
    if (touches.empty())
        return;
    m_lastTouch = touches.front();
    m_start = m_lastTouch->locationInView(nullptr);
}

void TapGestureRecognizer::touchesMoved(const TouchSet& touches) {
    if (touches.empty() || state() != GestureRecognizerState::Possible)
        return;
    m_lastTouch = touches.front();
    Point p = m_lastTouch->locationInView(nullptr);
    if (std::hypot(p.x - m_start.x, p.y - m_start.y) > kAllowableMovement)
        setState(GestureRecognizerState::Failed);
}

void TapGestureRecognizer::touchesEnded(const TouchSet& touches) {
    if (touches.empty() || state() != GestureRecognizerState::Possible)
        return;
    m_lastTouch = touches.front();
    if (m_lastTouch->tapCount() == numberOfTapsRequired())
        setState(GestureRecognizerState::Ended);
}

// ---- Dispatch ----

namespace {

struct Active {
    std::shared_ptr<Touch> touch;
    std::vector<std::shared_ptr<GestureRecognizer>> recognizers;
};

struct DispatchState {
    std::vector<Active> active;
    // The last tap, for tap counts.
    Point lastTapPoint;
    Clock::TimePoint lastTapTime;
    int lastTapCount = 0;
    bool hasLastTap = false;
};

DispatchState& dispatchState() {
    static DispatchState* s = new DispatchState;  // never destroyed: views may outlive the exit's destructors
    return *s;
}

Active* find(const std::shared_ptr<Touch>& touch) {
    for (auto& a : dispatchState().active)
        if (a.touch == touch)
            return &a;
    return nullptr;
}

} // namespace

void TouchDriver::finish(const std::shared_ptr<Touch>& touch, bool cancelled) {
    Active* found = find(touch);
    if (!found)
        return;
    Active active = *found;
    std::erase_if(dispatchState().active, [&](const Active& a) { return a.touch == touch; });
    TouchSet set{touch};
    touch->m_timestamp = Clock::current().now();
    bool taken = false;
    for (const auto& r : active.recognizers) {
        if (!r->isEnabled())
            continue;
        if (cancelled)
            r->touchesCancelled(set);
        else
            r->touchesEnded(set);
        taken = taken || (r->state() == GestureRecognizerState::Ended && r->cancelsTouchesInView());
    }
    for (const auto& r : active.recognizers)
        r->reset();
    touch->m_phase = cancelled || taken ? TouchPhase::Cancelled : TouchPhase::Ended;
    if (auto view = touch->view()) {
        if (touch->m_phase == TouchPhase::Cancelled)
            view->touchesCancelled(set);
        else
            view->touchesEnded(set);
    }
}

std::shared_ptr<Touch> TouchDriver::press(const std::shared_ptr<Window>& window, Point point) {
    if (!window || !std::isfinite(point.x) || !std::isfinite(point.y))
        return nullptr;
    // The point on the screen, then the front-most window there.
    Point onScreen{point.x - window->bounds().minX() + window->frame().minX(), point.y - window->bounds().minY() + window->frame().minY()};
    auto windows = Window::visibleWindows();
    std::shared_ptr<Window> target;
    std::shared_ptr<View> hit;
    Point inTarget;
    for (auto it = windows.rbegin(); it != windows.rend() && !hit; ++it) {
        Point local{onScreen.x - (*it)->frame().minX(), onScreen.y - (*it)->frame().minY()};
        if (auto v = (*it)->hitTest(Point{local.x + (*it)->bounds().minX(), local.y + (*it)->bounds().minY()})) {
            target = *it;
            hit = std::move(v);
            inTarget = Point{local.x + target->bounds().minX(), local.y + target->bounds().minY()};
        }
    }
    if (!hit)
        return nullptr;

    DispatchState& s = dispatchState();
    bool exclusiveHeld = std::any_of(s.active.begin(), s.active.end(), [](const Active& a) {
        auto v = a.touch->view();
        return v && v->isExclusiveTouch();
    });
    if (exclusiveHeld || (hit->isExclusiveTouch() && !s.active.empty()))
        return nullptr;

    Clock::TimePoint now = Clock::current().now();
    int tapCount = 1;
    if (s.hasLastTap && std::chrono::duration<double>(now - s.lastTapTime).count() <= kMultiTapInterval &&
        std::hypot(inTarget.x - s.lastTapPoint.x, inTarget.y - s.lastTapPoint.y) <= TapGestureRecognizer::kAllowableMovement)
        tapCount = s.lastTapCount + 1;
    auto touch = std::make_shared<Touch>(target, hit, inTarget, tapCount);

    Active active{touch, {}};
    for (auto v = hit; v; v = v->superview())
        for (const auto& r : v->gestureRecognizers())
            if (r->isEnabled())
                active.recognizers.push_back(r);
    s.active.push_back(active);
    TouchSet set{touch};
    for (const auto& r : active.recognizers)
        r->touchesBegan(set);
    hit->touchesBegan(set);
    return touch;
}

void TouchDriver::move(const std::shared_ptr<Touch>& touch, Point point) {
    Active* active = touch ? find(touch) : nullptr;
    if (!active || !std::isfinite(point.x) || !std::isfinite(point.y))
        return;
    auto recognizers = active->recognizers;
    touch->m_previousLocation = touch->m_location;
    touch->m_location = point;
    touch->m_phase = TouchPhase::Moved;
    touch->m_timestamp = Clock::current().now();
    TouchSet set{touch};
    for (const auto& r : recognizers)
        if (r->isEnabled())
            r->touchesMoved(set);
    if (auto view = touch->view())
        view->touchesMoved(set);
}

void TouchDriver::release(const std::shared_ptr<Touch>& touch) {
    if (!touch || !find(touch))
        return;
    DispatchState& s = dispatchState();
    s.hasLastTap = true;
    s.lastTapPoint = touch->m_location;
    s.lastTapTime = Clock::current().now();
    s.lastTapCount = touch->tapCount();
    finish(touch, false);
}

void TouchDriver::cancel(const std::shared_ptr<Touch>& touch) { finish(touch, true); }

std::shared_ptr<View> TouchDriver::tapAt(const std::shared_ptr<Window>& window, Point point) {
    auto touch = press(window, point);
    if (!touch)
        return nullptr;
    auto view = touch->view();
    release(touch);
    return view;
}

std::shared_ptr<View> TouchDriver::tap(View& view) {
    auto window = std::dynamic_pointer_cast<Window>(view.rootView());
    if (!window || window->isHidden())
        return nullptr;
    Point centre = view.convertPointTo(view.bounds().center(), window.get());
    return tapAt(window, centre);
}

} // namespace platform
