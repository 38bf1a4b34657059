// A minimal retained view tree: frame and bounds, subviews, colour and a few flags. The full view system
// builds on this class later; the web view, the scroll view and the window are views.
//
// Guarantees:
// - Main thread only.
// - A view owns its subviews (shared ownership, because a view may be handed around while it is shown);
//   a subview holds its superview weakly. Adding a view that has a superview moves it.
#pragma once

#include "platform/Color.h"
#include "platform/Geometry.h"

#include <memory>
#include <optional>
#include <vector>

namespace platform {

// Autoresizing flags, the platform's numbers.
enum AutoresizingMask : unsigned {
    kAutoresizingNone = 0,
    kAutoresizingFlexibleLeftMargin = 1,
    kAutoresizingFlexibleWidth = 2,
    kAutoresizingFlexibleRightMargin = 4,
    kAutoresizingFlexibleTopMargin = 8,
    kAutoresizingFlexibleHeight = 16,
    kAutoresizingFlexibleBottomMargin = 32,
};

class View : public std::enable_shared_from_this<View> {
public:
    explicit View(Rect frame = {});
    virtual ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    Rect frame() const { return m_frame; }
    // Setting the frame keeps the bounds' origin and takes the frame's size; subviews with flexible
    // width or height follow when `autoresizesSubviews` is on.
    void setFrame(Rect frame);
    Rect bounds() const { return m_bounds; }
    void setBounds(Rect bounds);

    const std::vector<std::shared_ptr<View>>& subviews() const { return m_subviews; }
    std::shared_ptr<View> superview() const { return m_superview.lock(); }
    void addSubview(const std::shared_ptr<View>& view);
    void insertSubviewAt(const std::shared_ptr<View>& view, std::size_t index);
    void sendSubviewToBack(const std::shared_ptr<View>& view);
    void removeFromSuperview();
    bool isDescendantOf(const View& ancestor) const;

    std::optional<Color> backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(std::optional<Color> color) { m_backgroundColor = color; }
    bool isHidden() const { return m_hidden; }
    void setHidden(bool hidden) { m_hidden = hidden; }
    double alpha() const { return m_alpha; }
    void setAlpha(double alpha) { m_alpha = alpha < 0 ? 0 : (alpha > 1 ? 1 : alpha); }
    bool isUserInteractionEnabled() const { return m_userInteractionEnabled; }
    void setUserInteractionEnabled(bool enabled) { m_userInteractionEnabled = enabled; }
    unsigned autoresizingMask() const { return m_autoresizingMask; }
    void setAutoresizingMask(unsigned mask) { m_autoresizingMask = mask; }
    bool autoresizesSubviews() const { return m_autoresizesSubviews; }
    void setAutoresizesSubviews(bool on) { m_autoresizesSubviews = on; }

    // Resigns first responder status in this view and its subviews; the base view has none.
    virtual bool endEditing(bool force);

protected:
    // Called after the view moved to another superview (or none).
    virtual void didMoveToSuperview() {}
    // Called after the bounds' size changed (subviews already autoresized).
    virtual void layoutSubviews() {}

private:
    void resizeSubviews(Size oldSize);
    void detach(const View& child);

    Rect m_frame;
    Rect m_bounds;
    std::vector<std::shared_ptr<View>> m_subviews;
    std::weak_ptr<View> m_superview;
    std::optional<Color> m_backgroundColor;
    bool m_hidden = false;
    double m_alpha = 1;
    bool m_userInteractionEnabled = true;
    unsigned m_autoresizingMask = kAutoresizingNone;
    bool m_autoresizesSubviews = true;
};

} // namespace platform
