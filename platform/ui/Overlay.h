// Private to platform/ui: what alerts, action sheets and popovers share. Main thread only.
//
// - An overlay window covers the screen at the alert level, above every other window.
// - A backdrop fills it (dimmed or clear) and reports taps that reach it (outside the box).
// - A box is a rounded white panel, optionally with an arrow on one side pointing at a rectangle.
// - Rectangles from outside (a page, a plug-in's options) are made sane before use.
#pragma once

#include "platform/ui/Button.h"
#include "platform/ui/View.h"
#include "platform/ui/Window.h"

#include <functional>
#include <memory>
#include <string>

namespace platform::overlay {

inline constexpr double kDimAlpha = 0.4;
inline constexpr double kBoxCornerRadius = 13;
inline constexpr double kArrowHeight = 13;
inline constexpr double kArrowWidth = 26;
inline constexpr double kScreenMargin = 10;
inline constexpr double kFadeDuration = 0.2;
inline constexpr double kSlideDuration = 0.3;

// A shown window at the alert level over the whole screen.
std::shared_ptr<Window> makeWindow();

// Fills the overlay; a touch that ends on it (not on the box) calls onTap.
class Backdrop : public View {
public:
    Backdrop(Rect frame, bool dimmed);
    std::function<void()> onTap;
    void touchesBegan(const TouchSet&) override {}
    void touchesMoved(const TouchSet&) override {}
    void touchesEnded(const TouchSet&) override;
    void touchesCancelled(const TouchSet&) override {}
};

// The arrow's side, as a direction bit (see PopoverArrowDirection); 0: no arrow.
class Box : public View {
public:
    explicit Box(Rect frame);
    unsigned arrowDirection() const { return m_arrow; }
    // `tip` is the arrow's point, in this view's coordinates.
    void setArrow(unsigned direction, Point tip);
    // Where content goes: the bounds less the arrow's side.
    Rect contentRect() const;
    void drawRect(Rect rect) override;

private:
    unsigned m_arrow = 0;
    Point m_tip;
};

// Where a box with an arrow goes: the content's size plus the arrow, beside `target`, within `bounds` less
// the screen margin. The first permitted direction (up, down, left, right; 0 counts as any) whose side
// has room for the content wins; else the one with the most room, the content cut to fit.
struct Placement {
    Rect frame;        // the box, arrow included, in the bounds' coordinates
    unsigned direction = 0;
    Point tip;         // the arrow's tip, in the box's coordinates
};
Placement place(Size content, Rect target, Rect bounds, unsigned permitted);

// A plain full-width button of a box or sheet: the title centred, a hairline above it.
std::shared_ptr<Button> makeRowButton(const std::string& title, const Font& font, const Color& color, std::function<void()> onTap);

// Ends a shown overlay: with animation, `animations` run over `duration` on the clock and then `finish`
// (also when the animation is cut short); without, `finish` runs at once.
void dismiss(bool animated, double duration, const std::function<void()>& animations, std::function<void()> finish);

// A rectangle made sane for placement within `bounds`: components that are not finite read as 0,
// negative sizes are made positive, and the result is moved and cut to lie within the bounds.
Rect clampedInto(Rect rect, Rect bounds);
// Components that are not finite read as 0; negative sizes are made positive.
Rect sanitized(Rect rect);

} // namespace platform::overlay
