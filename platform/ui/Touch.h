// Touches and the gesture recognisers that take them. A touch belongs to the view the hit test found
// when it began; it reports its location in any view's coordinates, its phase and its tap count.
//
// Guarantees: main thread only. Touches are made by the event dispatcher (TouchDriver); a recogniser
// holds its view weakly and its targets weakly.
#pragma once

#include "platform/core/Geometry.h"
#include "platform/runloop/Clock.h"

#include <functional>
#include <memory>
#include <vector>

namespace platform {

class View;
class Window;

enum class TouchPhase { Began = 0, Moved = 1, Stationary = 2, Ended = 3, Cancelled = 4 };

class Touch {
public:
    Touch(const std::shared_ptr<Window>& window, const std::shared_ptr<View>& view, Point inWindow, int tapCount);

    TouchPhase phase() const { return m_phase; }
    int tapCount() const { return m_tapCount; }
    Clock::TimePoint timestamp() const { return m_timestamp; }
    std::shared_ptr<View> view() const { return m_view.lock(); }
    std::shared_ptr<Window> window() const { return m_window.lock(); }
    // The location in `view`'s bounds coordinates (nullptr: the window's).
    Point locationInView(const View* view) const;
    Point previousLocationInView(const View* view) const;

private:
    friend class TouchDriver;
    std::weak_ptr<Window> m_window;
    std::weak_ptr<View> m_view;
    Point m_location;          // in the window
    Point m_previousLocation;  // in the window
    TouchPhase m_phase = TouchPhase::Began;
    int m_tapCount;
    Clock::TimePoint m_timestamp;
};

using TouchSet = std::vector<std::shared_ptr<Touch>>;

enum class GestureRecognizerState { Possible = 0, Began = 1, Changed = 2, Ended = 3, Cancelled = 4, Failed = 5 };

// A recogniser watches the touches that begin in its view or the view's subviews. When it recognises
// its gesture it calls its targets; with cancelsTouchesInView (the default) the hit view then gets
// touchesCancelled instead of touchesEnded.
class GestureRecognizer : public std::enable_shared_from_this<GestureRecognizer> {
public:
    using Action = std::function<void(GestureRecognizer& sender)>;

    virtual ~GestureRecognizer() = default;

    // The action runs while `target` lives; a freed target is skipped.
    void addTarget(std::weak_ptr<void> target, Action action);
    void removeTarget(const void* target);

    std::shared_ptr<View> view() const { return m_view.lock(); }
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    bool cancelsTouchesInView() const { return m_cancelsTouchesInView; }
    void setCancelsTouchesInView(bool cancels) { m_cancelsTouchesInView = cancels; }
    GestureRecognizerState state() const { return m_state; }
    Point locationInView(const View* view) const;

    // Called by the dispatcher for touches in the view; subclasses decide the state.
    virtual void touchesBegan(const TouchSet& touches) = 0;
    virtual void touchesMoved(const TouchSet& touches) = 0;
    virtual void touchesEnded(const TouchSet& touches) = 0;
    virtual void touchesCancelled(const TouchSet& touches);
    // Back to Possible after a gesture ended or failed.
    virtual void reset();

protected:
    // Sets the state; Ended (recognised) and Began/Changed call the targets.
    void setState(GestureRecognizerState state);
    std::shared_ptr<Touch> m_lastTouch;

private:
    friend class View;
    std::weak_ptr<View> m_view;
    bool m_enabled = true;
    bool m_cancelsTouchesInView = true;
    GestureRecognizerState m_state = GestureRecognizerState::Possible;
    std::vector<std::pair<std::weak_ptr<void>, Action>> m_targets;
};

// A tap: the touch ends within 10 points of where it began, as the `numberOfTapsRequired`th tap of a
// quick series (the touch's tap count).
class TapGestureRecognizer : public GestureRecognizer {
public:
    static constexpr double kAllowableMovement = 10;

    int numberOfTapsRequired() const { return m_taps; }
    void setNumberOfTapsRequired(int taps) { m_taps = taps < 1 ? 1 : taps; }

    void touchesBegan(const TouchSet& touches) override;
    void touchesMoved(const TouchSet& touches) override;
    void touchesEnded(const TouchSet& touches) override;

private:
    int m_taps = 1;
    Point m_start;
};

} // namespace platform
