// A spinner: twelve spokes turning once a second on the platform clock while it animates. Styles, the
// platform's numbers: 0 large white (37 points), 1 white and 2 gray (20 points). The view takes the
// style's size when made with a style; a larger frame centres the spinner.
//
// Guarantees: main thread only. With hidesWhenStopped (the default) the view is hidden while stopped.
#pragma once

#include "platform/runloop/Clock.h"
#include "platform/ui/View.h"

#include <optional>

namespace platform {

enum class ActivityIndicatorViewStyle { WhiteLarge = 0, White = 1, Gray = 2 };

class ActivityIndicatorView : public View {
public:
    explicit ActivityIndicatorView(ActivityIndicatorViewStyle style = ActivityIndicatorViewStyle::White);

    ActivityIndicatorViewStyle style() const { return m_style; }
    void setStyle(ActivityIndicatorViewStyle style);
    // The spokes' colour (the style's white or gray unless set).
    Color color() const;
    void setColor(std::optional<Color> color) { m_color = std::move(color); setNeedsDisplay(); }

    void startAnimating();
    void stopAnimating();
    bool isAnimating() const { return m_startedAt.has_value(); }
    bool hidesWhenStopped() const { return m_hidesWhenStopped; }
    void setHidesWhenStopped(bool hides);

    static double sideFor(ActivityIndicatorViewStyle style) { return style == ActivityIndicatorViewStyle::WhiteLarge ? 37 : 20; }
    // The leading spoke (0-11) at `now`: 0 while stopped.
    int leadingSpoke(Clock::TimePoint now) const;

    Size sizeThatFits(Size size) const override;
    void drawRect(Rect rect) override;

private:
    ActivityIndicatorViewStyle m_style;
    std::optional<Color> m_color;
    std::optional<Clock::TimePoint> m_startedAt;
    bool m_hidesWhenStopped = true;
};

} // namespace platform
