// The retained view tree: geometry (frame, bounds, centre, transform), subviews in z-order, a layer for
// looks, layout, size fitting, conversion between views' coordinates, hit testing and observers of frame
// and bounds. Controls, the web view, the scroll view and the window are views.
//
// Guarantees:
// - Main thread only.
// - A view owns its subviews (shared ownership, because a view may be handed around while it is shown);
//   a subview holds its superview weakly. Adding a view that has a superview moves it; a view never
//   becomes its own ancestor.
// - Geometry: the frame is the centre and the bounds' size, turned by the transform about the centre;
//   with a transform other than the identity, frame() reads as the bounding box of the turned bounds.
//   Coordinates that are not finite are ignored; negative sizes read as 0. So is a transform that is
//   not finite.
// - Setting the frame keeps the bounds' origin and takes the frame's size (with a transform, only the
//   centre moves); setting the bounds keeps the centre. Subviews with flexible margins, width or height
//   follow a size change when `autoresizesSubviews` is on, then layoutSubviews runs.
// - setNeedsLayout marks the view; layout runs once per turn of the main run loop for every marked view
//   (or at once with layoutIfNeeded).
// - Observers of "frame" and "bounds" are held weakly and told after each change of that value.
#pragma once

#include "platform/core/Color.h"
#include "platform/core/Geometry.h"
#include "platform/ui/Layer.h"
#include "platform/ui/Touch.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class View;

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

// How a view's content (an image) fills its bounds; the platform's numbers.
enum class ContentMode {
    ScaleToFill = 0,
    ScaleAspectFit = 1,
    ScaleAspectFill = 2,
    Redraw = 3,
    Center = 4,
    Top = 5,
    Bottom = 6,
    Left = 7,
    Right = 8,
    TopLeft = 9,
    TopRight = 10,
    BottomLeft = 11,
    BottomRight = 12,
};

// Where content of `size` goes in `bounds` for a content mode.
Rect contentRect(ContentMode mode, Size size, Rect bounds);

// Told after an observed value ("frame", "bounds") of a view changed.
class KeyValueObserver {
public:
    virtual ~KeyValueObserver() = default;
    virtual void observeValueForKeyPath(const std::string& keyPath, View& object) = 0;
};

class View : public std::enable_shared_from_this<View> {
public:
    explicit View(Rect frame = {});
    virtual ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // Geometry.
    Rect frame() const;
    void setFrame(Rect frame);
    Rect bounds() const { return m_bounds; }
    void setBounds(Rect bounds);
    Point center() const { return m_untransformedFrame.center(); }
    void setCenter(Point center);
    AffineTransform transform() const { return m_transform; }
    void setTransform(const AffineTransform& transform);

    // The tree.
    const std::vector<std::shared_ptr<View>>& subviews() const { return m_subviews; }
    std::shared_ptr<View> superview() const { return m_superview.lock(); }
    // Subviews may be added in a subclass's constructor: until a shared pointer owns the new view they
    // cannot point back to it, and they are linked to it when it is itself added to a superview (or by
    // linkSubviews(), for a view that stays a root).
    void addSubview(const std::shared_ptr<View>& view);
    void linkSubviews();
    void insertSubviewAt(const std::shared_ptr<View>& view, std::size_t index);
    // Below (above) `sibling`; at the back (front) when `sibling` is not a subview.
    void insertSubviewBelow(const std::shared_ptr<View>& view, const std::shared_ptr<View>& sibling);
    void insertSubviewAbove(const std::shared_ptr<View>& view, const std::shared_ptr<View>& sibling);
    void bringSubviewToFront(const std::shared_ptr<View>& view);
    void sendSubviewToBack(const std::shared_ptr<View>& view);
    void removeFromSuperview();
    bool isDescendantOf(const View& ancestor) const;
    // The root of the tree (the window when shown); itself when it has no superview.
    std::shared_ptr<View> rootView();
    int tag() const { return m_tag; }
    void setTag(int tag) { m_tag = tag; }
    // This view or the first descendant (depth first, back to front) with the tag.
    std::shared_ptr<View> viewWithTag(int tag);

    // Looks.
    const std::shared_ptr<Layer>& layer() const { return m_layer; }
    std::optional<Color> backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(std::optional<Color> color);
    bool isHidden() const { return m_hidden; }
    void setHidden(bool hidden);
    double alpha() const { return m_alpha; }
    void setAlpha(double alpha);
    bool clipsToBounds() const { return m_clipsToBounds; }
    void setClipsToBounds(bool clips);
    bool isOpaque() const { return m_opaque; }
    void setOpaque(bool opaque) { m_opaque = opaque; }
    ContentMode contentMode() const { return m_contentMode; }
    void setContentMode(ContentMode mode) { m_contentMode = mode; }
    // The tint: this view's own, else its superview's, else the system blue.
    Color tintColor() const;
    void setTintColor(std::optional<Color> color) { m_tintColor = std::move(color); }

    // Touches.
    bool isUserInteractionEnabled() const { return m_userInteractionEnabled; }
    void setUserInteractionEnabled(bool enabled) { m_userInteractionEnabled = enabled; }
    bool isExclusiveTouch() const { return m_exclusiveTouch; }
    void setExclusiveTouch(bool exclusive) { m_exclusiveTouch = exclusive; }
    // Whether the point (in bounds coordinates) is inside the view.
    virtual bool pointInside(Point point) const;
    // The deepest visible, interactive view under the point (in this view's coordinates), front first;
    // nullptr when none. Hidden views, views with alpha below 0.01 and views with interaction off are
    // skipped with their subviews.
    std::shared_ptr<View> hitTest(Point point);
    // The touches of which this view is the hit view (override). The base view passes them on to its
    // superview, as the platform's responder chain does.
    virtual void touchesBegan(const TouchSet& touches);
    virtual void touchesMoved(const TouchSet& touches);
    virtual void touchesEnded(const TouchSet& touches);
    virtual void touchesCancelled(const TouchSet& touches);
    void addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer);
    void removeGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer);
    const std::vector<std::shared_ptr<GestureRecognizer>>& gestureRecognizers() const { return m_gestureRecognizers; }

    // Autoresizing and layout.
    unsigned autoresizingMask() const { return m_autoresizingMask; }
    void setAutoresizingMask(unsigned mask) { m_autoresizingMask = mask; }
    bool autoresizesSubviews() const { return m_autoresizesSubviews; }
    void setAutoresizesSubviews(bool on) { m_autoresizesSubviews = on; }
    void setNeedsLayout();
    bool needsLayout() const { return m_needsLayout; }
    // Lays this view out if it is marked, then its subviews that are.
    void layoutIfNeeded();
    // The size that suits the view within `size`; the base view keeps its own.
    virtual Size sizeThatFits(Size size) const;
    // Resizes to sizeThatFits(bounds size), keeping the frame's origin.
    void sizeToFit();

    // Conversion between this view's bounds coordinates and another view's (nullptr: the root of the
    // tree, the window when shown), through every transform on the way. Rectangles convert to the
    // bounding box of their turned corners.
    Point convertPointTo(Point point, const View* view) const;
    Point convertPointFrom(Point point, const View* view) const;
    Rect convertRectTo(Rect rect, const View* view) const;
    Rect convertRectFrom(Rect rect, const View* view) const;
    // This view's bounds coordinates to its root's.
    AffineTransform transformToRoot() const;

    // What the renderer draws at `now`: the model values, or the in-between values of running animations
    // (see ViewAnimation.h).
    struct Presentation {
        Point center;
        Size size;
        AffineTransform transform;
        double alpha = 1;
        std::optional<Color> backgroundColor;
    };
    Presentation presentation(Clock::TimePoint now) const;

    // Observers of "frame" and "bounds".
    void addObserver(const std::shared_ptr<KeyValueObserver>& observer, const std::string& keyPath);
    void removeObserver(const KeyValueObserver* observer, const std::string& keyPath);

    // What the view shows changed: a host that shows views on a display redraws on its next frame. The
    // tree calls it for changes of the tree, geometry, visibility, alpha, background, layers (their
    // looks, sublayers, animations, live pictures) and animations, and the controls for their titles,
    // texts, images and states; a view whose drawing depends on other state calls it when that changes.
    void setNeedsDisplay() { displayDidChange(); }
    // The same for changes that belong to no one view (a layer's animation).
    static void displayDidChange();
    // The host's handler of setNeedsDisplay (one per process; empty for none). It is called often and
    // must coalesce; it must not change views.
    static void setDisplayInvalidationHandler(std::function<void()> handler);

    // Draws the view's own content (above its background and layer, below its subviews) into
    // GraphicsContext::current(), in bounds coordinates. The base view draws nothing.
    virtual void drawRect(Rect rect);

    // First responder: the one view of a tree (a window) that takes the keyboard's input. Becoming it
    // asks the current one to resign first; a refusal on either side leaves things as they were. A view
    // that leaves its tree (removed, or moved into another tree) resigns it, forced, with its subviews.
    virtual bool canBecomeFirstResponder() const { return false; }
    virtual bool canResignFirstResponder() const { return true; }
    bool becomeFirstResponder();
    bool resignFirstResponder();
    bool isFirstResponder() const;
    // The first responder of this view's tree, if any.
    std::shared_ptr<View> firstResponder() const;
    // What the keyboard area shows while this view is first responder (nullptr: the system keyboard, and
    // no accessory).
    virtual std::shared_ptr<View> inputView() const { return nullptr; }
    virtual std::shared_ptr<View> inputAccessoryView() const { return nullptr; }

    // Resigns the first responder if it is this view or one of its subviews. With `force`, it resigns
    // even when it would refuse. Answers whether one resigned.
    virtual bool endEditing(bool force);

protected:
    // For views whose own layer is of another class (a gradient, a live image); nullptr gives a Layer.
    View(Rect frame, std::shared_ptr<Layer> layer);

    // Asked before (answering whether to go ahead) and told after a change of first responder status.
    // `forced` is endEditing(true): the answer is ignored.
    virtual bool willBecomeFirstResponder() { return true; }
    virtual void didBecomeFirstResponder() {}
    virtual bool willResignFirstResponder(bool /*forced*/) { return true; }
    virtual void didResignFirstResponder() {}

    // Called after the view moved to another superview (or none).
    virtual void didMoveToSuperview() {}
    // Called after the bounds' size changed (subviews already autoresized) and by layout passes.
    virtual void layoutSubviews() {}

private:
    void resizeSubviews(Size oldSize);
    void detach(const View& child);
    struct Geometry {
        Rect frame;
        Rect bounds;
        Point center;
        AffineTransform transform;
    };
    Geometry geometry() const { return {frame(), m_bounds, center(), m_transform}; }
    void geometryChanged(const Geometry& old);
    void notify(const std::string& keyPath);
    AffineTransform transformToSuperview() const;
    static void runPendingLayouts();
    static bool resign(View& view, bool forced, View* successor);
    // This view leaves its tree: the tree's first responder, when it is this view or in it, resigns
    // (forced) and the keyboard it brought up goes with it.
    void resignResponderLeavingTree();

    Rect m_untransformedFrame;  // the frame with an identity transform
    Rect m_bounds;
    AffineTransform m_transform;
    std::vector<std::shared_ptr<View>> m_subviews;
    std::weak_ptr<View> m_superview;
    bool m_subviewsUnlinked = false;  // subviews added before a shared pointer owned this view
    std::shared_ptr<Layer> m_layer;
    std::optional<Color> m_backgroundColor;
    std::optional<Color> m_tintColor;
    bool m_hidden = false;
    double m_alpha = 1;
    bool m_clipsToBounds = false;
    bool m_opaque = true;
    ContentMode m_contentMode = ContentMode::ScaleToFill;
    bool m_userInteractionEnabled = true;
    bool m_exclusiveTouch = false;
    unsigned m_autoresizingMask = kAutoresizingNone;
    bool m_autoresizesSubviews = true;
    bool m_needsLayout = false;
    bool m_layoutQueued = false;  // in the pending list of the next layout pass
    int m_tag = 0;
    std::vector<std::pair<std::weak_ptr<KeyValueObserver>, std::string>> m_observers;
    std::vector<std::shared_ptr<GestureRecognizer>> m_gestureRecognizers;
    std::weak_ptr<View> m_firstResponder;  // kept by the root of a tree
};


} // namespace platform
