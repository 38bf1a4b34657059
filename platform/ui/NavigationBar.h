// The navigation bar and its items. A navigation item carries what the bar shows for one controller: a
// title (the controller's title unless set) or a title view, left and right items, and the back item
// the next controller's bar shows. The bar keeps a stack of items and shows the top one: the title
// centred in bold, the left items (or, with an item below the top one, a back button with a chevron and
// that item's back title: its back item's title, else its title, else "Back"), and the right items.
//
// The bar is 44 points high; its background may reach up into the status-bar area above it
// (statusBarExtension). A tap on the back button calls the bar's back action.
//
// Guarantees: main thread only.
#pragma once

#include "platform/ui/BarButtonItem.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"
#include "platform/ui/Toolbar.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class ViewController;

class NavigationItem {
public:
    NavigationItem() = default;
    explicit NavigationItem(std::string title) : m_title(std::move(title)) {}

    // Its own title, else its controller's.
    std::string title() const;
    void setTitle(std::optional<std::string> title) { m_ownTitle = title.has_value(); m_title = title.value_or(""); }
    const std::shared_ptr<View>& titleView() const { return m_titleView; }
    void setTitleView(std::shared_ptr<View> view) { m_titleView = std::move(view); }

    std::vector<std::shared_ptr<BarButtonItem>> leftBarButtonItems() const { return m_left; }
    void setLeftBarButtonItems(std::vector<std::shared_ptr<BarButtonItem>> items) { m_left = std::move(items); std::erase(m_left, nullptr); }
    std::shared_ptr<BarButtonItem> leftBarButtonItem() const { return m_left.empty() ? nullptr : m_left.front(); }
    void setLeftBarButtonItem(std::shared_ptr<BarButtonItem> item) { setLeftBarButtonItems(item ? std::vector{item} : std::vector<std::shared_ptr<BarButtonItem>>{}); }
    std::vector<std::shared_ptr<BarButtonItem>> rightBarButtonItems() const { return m_right; }
    void setRightBarButtonItems(std::vector<std::shared_ptr<BarButtonItem>> items) { m_right = std::move(items); std::erase(m_right, nullptr); }
    std::shared_ptr<BarButtonItem> rightBarButtonItem() const { return m_right.empty() ? nullptr : m_right.front(); }
    void setRightBarButtonItem(std::shared_ptr<BarButtonItem> item) { setRightBarButtonItems(item ? std::vector{item} : std::vector<std::shared_ptr<BarButtonItem>>{}); }
    // The item the bar shows as the back button when this item is below the top one.
    const std::shared_ptr<BarButtonItem>& backBarButtonItem() const { return m_back; }
    void setBackBarButtonItem(std::shared_ptr<BarButtonItem> item) { m_back = std::move(item); }
    bool hidesBackButton() const { return m_hidesBackButton; }
    void setHidesBackButton(bool hides) { m_hidesBackButton = hides; }

    // The title of the back button that leads back to this item.
    std::string backTitle() const;

private:
    friend class ViewController;
    std::weak_ptr<ViewController> m_controller;
    std::string m_title;
    bool m_ownTitle = false;
    std::shared_ptr<View> m_titleView;
    std::vector<std::shared_ptr<BarButtonItem>> m_left, m_right;
    std::shared_ptr<BarButtonItem> m_back;
    bool m_hidesBackButton = false;
};

class NavigationBar : public Bar {
public:
    static constexpr double kTitleFontSize = 17;

    explicit NavigationBar(Rect frame = {});
    Image::Ptr backgroundImage(BarMetrics metrics = BarMetrics::Default) const;
    void setBackgroundImage(Image::Ptr image, BarMetrics metrics = BarMetrics::Default);
    Image::Ptr shadowImage() const { return m_shadow; }
    void setShadowImage(Image::Ptr image) { m_shadow = std::move(image); }
    // Points of background drawn above the bar (the status-bar area), 0 or 20.
    double statusBarExtension() const { return m_extension; }
    void setStatusBarExtension(double points) { m_extension = std::isfinite(points) ? std::max(0.0, points) : 0; }

    // The item stack.
    const std::vector<std::shared_ptr<NavigationItem>>& items() const { return m_items; }
    void setItems(std::vector<std::shared_ptr<NavigationItem>> items, bool animated = false);
    void pushNavigationItem(const std::shared_ptr<NavigationItem>& item, bool animated = false);
    std::shared_ptr<NavigationItem> popNavigationItem(bool animated = false);
    std::shared_ptr<NavigationItem> topItem() const { return m_items.empty() ? nullptr : m_items.back(); }
    std::shared_ptr<NavigationItem> backItem() const { return m_items.size() < 2 ? nullptr : m_items[m_items.size() - 2]; }

    // What a tap on the back button does (the navigation controller pops); without one, the bar pops
    // its own top item.
    void setBackAction(std::function<void()> action) { m_backAction = std::move(action); }
    // The back button (shown with a back item; nullptr before the first layout).
    std::shared_ptr<Button> backButton() const { return m_backButton; }
    // The label of the top item's title.
    std::shared_ptr<Label> titleLabel() const { return m_titleLabel; }
    // Rebuilds the shown views from the top item (after its title or items changed).
    void reloadItems();

    void drawRect(Rect rect) override;

protected:
    void layoutSubviews() override;

private:
    void backTapped();

    Image::Ptr m_background;
    Image::Ptr m_compactBackground;
    Image::Ptr m_shadow;
    double m_extension = 0;
    std::vector<std::shared_ptr<NavigationItem>> m_items;
    std::function<void()> m_backAction;
    std::shared_ptr<Button> m_backButton;
    std::shared_ptr<Label> m_titleLabel;
    std::vector<std::shared_ptr<View>> m_shown;  // the top item's views
    std::vector<std::shared_ptr<BarButtonItem>> m_shownLeft, m_shownRight;
};

} // namespace platform
