// The keyboard: shown while a view is first responder, hidden when none is. It posts the platform's
// keyboard notifications on the default centre and shows the responder's input view and accessory in
// the keyboard area, a window at the bottom of the screen. The system keyboard itself is not drawn: the
// desktop's keyboard types for it.
//
// Notifications, in order: on showing, "UIKeyboardWillChangeFrameNotification" and
// "UIKeyboardWillShowNotification", then "UIKeyboardDidShowNotification" once the 0.25-second animation
// ran on the platform clock; on hiding, will-change, "UIKeyboardWillHideNotification" and, 0.25 s
// later, "UIKeyboardDidHideNotification". Moving between responders with keyboards of other heights
// posts will-change, will-show and did-show with the new frame; with the same height nothing. The user
// info holds kKeyboardFrameEndUserInfoKey (a dictionary "x", "y", "width", "height"; read it with
// endFrame()) and kKeyboardAnimationDurationUserInfoKey (seconds).
//
// The end frame: the bottom 216 points of the screen on a phone, 264 on a pad, or the input view's own
// height when the responder has one; plus the accessory view's height.
//
// Main thread only.
#pragma once

#include "platform/core/Geometry.h"
#include "platform/runloop/Notification.h"

#include <memory>
#include <optional>

namespace platform {

class Timer;
class View;
class Window;

inline constexpr double kWindowLevelKeyboard = 2100;  // above alerts, whose text fields it serves

class KeyboardManager {
public:
    static constexpr double kAnimationDuration = 0.25;
    static constexpr double kPhoneHeight = 216;
    static constexpr double kPadHeight = 264;

    static KeyboardManager& shared();

    bool isVisible() const { return m_visible; }
    // The keyboard's frame in screen coordinates while visible (the last one otherwise).
    Rect frame() const { return m_frame; }
    // The keyboard area (nullptr until a responder had an input or accessory view).
    std::shared_ptr<Window> window() const { return m_window; }

    // The end frame carried by a keyboard notification.
    static std::optional<Rect> endFrame(const Notification& notification);

    // Called by the view tree after a change of first responder (nullptr: none is left).
    void responderChanged(View* responder);

private:
    KeyboardManager() = default;
    void post(const char* name) const;
    void showArea(View& responder);
    void hideArea();

    bool m_visible = false;
    Rect m_frame;
    std::shared_ptr<Timer> m_pending;  // the did-show or did-hide to come
    std::shared_ptr<Window> m_window;
};

} // namespace platform
