// Items of navigation bars and toolbars: a title, an image or a custom view, or a system item (done,
// cancel, flexible and fixed space among them), with a style, an enabled flag, a tint and one
// target-action. Bars turn items into views; a tap on an item's view calls its action. A button made
// for an item answers touches within 44 x 44 points around its centre, however small it is.
//
// Guarantees: main thread only. The target is held weakly: a freed target's action is skipped.
#pragma once

#include "platform/core/Color.h"
#include "platform/ui/Image.h"
#include "platform/ui/View.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

enum class BarButtonItemStyle { Plain = 0, Bordered = 1, Done = 2 };
// The platform's numbers.
enum class BarButtonSystemItem {
    Done = 0, Cancel = 1, Edit = 2, Save = 3, Add = 4, FlexibleSpace = 5, FixedSpace = 6,
    Compose = 7, Reply = 8, Action = 9, Organize = 10, Bookmarks = 11, Search = 12, Refresh = 13,
    Stop = 14, Camera = 15, Trash = 16, Play = 17, Pause = 18, Rewind = 19, FastForward = 20,
};
// The two bar styles, the platform's numbers.
enum class BarStyle { Default = 0, Black = 1 };

class BarButtonItem : public std::enable_shared_from_this<BarButtonItem> {
public:
    using Action = std::function<void(BarButtonItem& sender)>;

    static std::shared_ptr<BarButtonItem> withTitle(const std::string& title, BarButtonItemStyle style = BarButtonItemStyle::Plain);
    static std::shared_ptr<BarButtonItem> withImage(Image::Ptr image, BarButtonItemStyle style = BarButtonItemStyle::Plain);
    static std::shared_ptr<BarButtonItem> withCustomView(std::shared_ptr<View> view);
    // Done and Save are in the done style; spaces have no view.
    static std::shared_ptr<BarButtonItem> system(BarButtonSystemItem item);
    static std::shared_ptr<BarButtonItem> flexibleSpace() { return system(BarButtonSystemItem::FlexibleSpace); }
    static std::shared_ptr<BarButtonItem> fixedSpace(double width);

    const std::string& title() const { return m_title; }
    void setTitle(const std::string& title) { m_title = title; }
    Image::Ptr image() const { return m_image; }
    void setImage(Image::Ptr image) { m_image = std::move(image); }
    const std::shared_ptr<View>& customView() const { return m_customView; }
    void setCustomView(std::shared_ptr<View> view) { m_customView = std::move(view); }
    BarButtonItemStyle style() const { return m_style; }
    void setStyle(BarButtonItemStyle style) { m_style = style; }
    std::optional<BarButtonSystemItem> systemItem() const { return m_systemItem; }
    bool isFlexibleSpace() const { return m_systemItem == BarButtonSystemItem::FlexibleSpace; }
    bool isFixedSpace() const { return m_systemItem == BarButtonSystemItem::FixedSpace; }
    // A fixed space's width (negative pulls its neighbours closer); 0 for other items: their own size.
    double width() const { return m_width; }
    void setWidth(double width) { if (std::isfinite(width)) m_width = width; }
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }
    std::optional<Color> tintColor() const { return m_tint; }
    void setTintColor(std::optional<Color> tint) { m_tint = std::move(tint); }
    int tag() const { return m_tag; }
    void setTag(int tag) { m_tag = tag; }

    void setTarget(std::weak_ptr<void> target, Action action);
    // What a tap does: the action, when the item is enabled and its target lives.
    void performAction();

    // The view a bar shows for the item: its custom view, or a button (nullptr for spaces). Made once.
    std::shared_ptr<View> viewForBar();

private:
    BarButtonItem() = default;

    std::string m_title;
    Image::Ptr m_image;
    std::shared_ptr<View> m_customView;
    std::shared_ptr<View> m_button;
    BarButtonItemStyle m_style = BarButtonItemStyle::Plain;
    std::optional<BarButtonSystemItem> m_systemItem;
    double m_width = 0;
    bool m_enabled = true;
    std::optional<Color> m_tint;
    int m_tag = 0;
    std::weak_ptr<void> m_target;
    Action m_action;
};

// Lays items out along a bar of `width`: `margin` at each end, `spacing` between two items that are not
// spaces, fixed spaces their width, flexible spaces sharing what is left equally. When the items are
// wider than the bar, the widest title and picture buttons narrow to one common width until they fit
// (custom views keep theirs). Answers each item's x and width (spaces included), in order.
std::vector<std::pair<double, double>> layoutBarItems(const std::vector<std::shared_ptr<BarButtonItem>>& items, double width,
                                                      double margin, double spacing);

} // namespace platform
