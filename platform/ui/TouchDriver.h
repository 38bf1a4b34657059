// Delivers touches to views, as the platform's event system does, without a display: tests (and any
// code that replays input) press, move and release fingers at points of a window.
//
// Dispatch: the point goes to the front-most shown window that contains it (by window level); its hit
// test picks the view. The gesture recognisers of that view and its ancestors see the touch first; then
// the view gets touchesBegan/Moved/Ended (touchesCancelled when a recogniser that cancels touches took
// the gesture). While a view with exclusiveTouch holds a touch, no other touch begins, and an exclusive
// view gets no touch while others are down.
//
// Guarantees: main thread only. Taps in quick succession (0.35 s on the platform clock, 10 points apart
// at most) count up the touch's tap count.
#pragma once

#include "platform/core/Geometry.h"
#include "platform/ui/Touch.h"

#include <memory>

namespace platform {

class View;
class Window;

class TouchDriver {
public:
    static constexpr double kMultiTapInterval = 0.35;

    // A press and release at the view's centre. Answers the view that was hit (nullptr: none, or the
    // view is not in a shown window).
    static std::shared_ptr<View> tap(View& view);
    // A press and release at `point` in the window's coordinates.
    static std::shared_ptr<View> tapAt(const std::shared_ptr<Window>& window, Point point);

    // A finger down at `point` of the window; nullptr when no view takes it.
    static std::shared_ptr<Touch> press(const std::shared_ptr<Window>& window, Point point);
    // The finger moves to `point` in the coordinates of the window it went down in.
    static void move(const std::shared_ptr<Touch>& touch, Point point);
    static void release(const std::shared_ptr<Touch>& touch);
    // The system took the touch away (a call came in, say).
    static void cancel(const std::shared_ptr<Touch>& touch);

private:
    static void finish(const std::shared_ptr<Touch>& touch, bool cancelled);
};

} // namespace platform
