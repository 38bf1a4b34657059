// A toolbar: a 44-point bar of items (see BarButtonItem), in a bar style, translucent or not, with a
// tint for its items, a bar tint for its background, and a background and shadow image per bar
// position. A clear background image and a clear shadow image make it transparent.
//
// Items are laid out with 12-point margins, 8 points between two items that are not spaces, fixed spaces
// their width (negative widths pull neighbours closer) and flexible spaces sharing the rest equally;
// each item's view is centred vertically. Buttons too wide for the bar together narrow and cut their
// titles, so that every item stays on it (see layoutBarItems).
//
// Guarantees: main thread only.
#pragma once

#include "platform/ui/BarButtonItem.h"
#include "platform/ui/View.h"

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

enum class BarPosition { Any = 0, Bottom = 1, Top = 2, TopAttached = 3 };
enum class BarMetrics { Default = 0, Compact = 1 };

inline constexpr double kBarHeight = 44;
inline constexpr double kBarMargin = 12;
inline constexpr double kBarItemSpacing = 8;

// What every bar has: a style, translucency, and a bar tint for its background.
class Bar : public View {
public:
    explicit Bar(Rect frame) : View(frame) { setOpaque(false); }

    BarStyle barStyle() const { return m_barStyle; }
    void setBarStyle(BarStyle style) { m_barStyle = style; }
    bool isTranslucent() const { return m_translucent; }
    void setTranslucent(bool translucent) { m_translucent = translucent; }
    std::optional<Color> barTintColor() const { return m_barTint; }
    void setBarTintColor(std::optional<Color> color) { m_barTint = std::move(color); }

    // Its width, 44 points high.
    Size sizeThatFits(Size size) const override;

protected:
    BarStyle m_barStyle = BarStyle::Default;
    bool m_translucent = true;
    std::optional<Color> m_barTint;
};

class Toolbar : public Bar {
public:
    explicit Toolbar(Rect frame = {});
    void setBackgroundImage(Image::Ptr image, BarPosition position, BarMetrics metrics = BarMetrics::Default);
    // The image for the position (falling back to Any).
    Image::Ptr backgroundImage(BarPosition position, BarMetrics metrics = BarMetrics::Default) const;
    void setShadowImage(Image::Ptr image, BarPosition position);
    Image::Ptr shadowImage(BarPosition position) const;
    // Where the bar is (a toolbar at the bottom unless told otherwise).
    BarPosition barPosition() const { return m_position; }
    void setBarPosition(BarPosition position) { m_position = position; }

    const std::vector<std::shared_ptr<BarButtonItem>>& items() const { return m_items; }
    void setItems(std::vector<std::shared_ptr<BarButtonItem>> items, bool animated = false);

    void drawRect(Rect rect) override;

protected:
    void layoutSubviews() override;

private:
    std::map<std::pair<BarPosition, BarMetrics>, Image::Ptr> m_backgrounds;
    std::map<BarPosition, Image::Ptr> m_shadows;
    BarPosition m_position = BarPosition::Bottom;
    std::vector<std::shared_ptr<BarButtonItem>> m_items;
    std::vector<std::shared_ptr<View>> m_itemViews;
};

namespace bars {
// Private to platform/ui: the background every bar draws: the image when set, else the bar tint, else the
// style's colour (translucent bars slightly see-through); then the shadow (the image, or a hairline)
// along the edge that faces the content (`shadowBelow`: the bottom edge). `extendUp` points of the
// background are drawn above the bounds (the status-bar area).
void drawBackground(Rect bounds, double extendUp, BarStyle style, bool translucent, const std::optional<Color>& barTint,
                    const Image::Ptr& background, const Image::Ptr& shadow, bool shadowBelow);
} // namespace bars

} // namespace platform
