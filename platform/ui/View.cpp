#include "platform/ui/View.h"

#include "platform/runloop/RunLoop.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/KeyboardManager.h"
#include "platform/ui/ViewAnimationSupport.h"
#include "platform/ui/Window.h"

#include <algorithm>

namespace platform {

namespace {

// Views marked for layout, laid out together on the next turn of the main run loop.
struct PendingLayouts {
    std::vector<std::weak_ptr<View>> views;
    bool scheduled = false;
};

PendingLayouts& pendingLayouts() {
    static PendingLayouts pending;
    return pending;
}

std::function<void()>& displayInvalidationHandler() {
    static std::function<void()> handler;
    return handler;
}

} // namespace

void View::runPendingLayouts() {
    PendingLayouts& pending = pendingLayouts();
    std::vector<std::weak_ptr<View>> views;
    views.swap(pending.views);
    pending.scheduled = false;
    for (const auto& weak : views)
        if (auto view = weak.lock()) {
            view->m_layoutQueued = false;
            view->layoutIfNeeded();
        }
}

namespace {

// The root of a view's tree, without a shared pointer of its own (the view may be in its constructor).
const View* treeRoot(const View& view) {
    const View* root = &view;
    while (const auto parent = root->superview())
        root = parent.get();
    return root;
}

Rect withoutNegativeSize(Rect r) {
    r.size.width = std::max(0.0, r.size.width);
    r.size.height = std::max(0.0, r.size.height);
    return r;
}

} // namespace

Rect contentRect(ContentMode mode, Size size, Rect bounds) {
    if (!(size.width > 0) || !(size.height > 0))
        return bounds;
    double sx = bounds.width() / size.width, sy = bounds.height() / size.height;
    auto centred = [&](Size s) { return Rect(bounds.midX() - s.width / 2, bounds.midY() - s.height / 2, s.width, s.height); };
    switch (mode) {
    case ContentMode::ScaleToFill:
    case ContentMode::Redraw: return bounds;
    case ContentMode::ScaleAspectFit: {
        double s = std::min(sx, sy);
        return centred({size.width * s, size.height * s});
    }
    case ContentMode::ScaleAspectFill: {
        double s = std::max(sx, sy);
        return centred({size.width * s, size.height * s});
    }
    case ContentMode::Center: return centred(size);
    default: break;
    }
    Rect r = centred(size);
    if (mode == ContentMode::Top || mode == ContentMode::TopLeft || mode == ContentMode::TopRight)
        r.origin.y = bounds.minY();
    if (mode == ContentMode::Bottom || mode == ContentMode::BottomLeft || mode == ContentMode::BottomRight)
        r.origin.y = bounds.maxY() - size.height;
    if (mode == ContentMode::Left || mode == ContentMode::TopLeft || mode == ContentMode::BottomLeft)
        r.origin.x = bounds.minX();
    if (mode == ContentMode::Right || mode == ContentMode::TopRight || mode == ContentMode::BottomRight)
        r.origin.x = bounds.maxX() - size.width;
    return r;
}

View::View(Rect frame) : View(frame, nullptr) {}

View::View(Rect frame, std::shared_ptr<Layer> layer) : m_layer(layer ? std::move(layer) : std::make_shared<Layer>()) {
    if (!frame.isFinite())
        frame = {};
    frame = withoutNegativeSize(frame);
    m_untransformedFrame = frame;
    m_bounds = Rect(Point{}, frame.size);
    m_layer->setFrame(m_bounds);
}

View::~View() = default;

View::Presentation View::presentation(Clock::TimePoint now) const {
    Presentation p{center(), m_bounds.size, m_transform, m_alpha, m_backgroundColor};
    const Layer& layer = *m_layer;
    if (auto v = animation::presentationValue(layer, animation::Property::Center, now))
        p.center = Point{(*v)[0], (*v)[1]};
    if (auto v = animation::presentationValue(layer, animation::Property::Size, now))
        p.size = Size{std::max(0.0, (*v)[0]), std::max(0.0, (*v)[1])};
    if (auto v = animation::presentationValue(layer, animation::Property::Transform, now))
        p.transform = AffineTransform{(*v)[0], (*v)[1], (*v)[2], (*v)[3], (*v)[4], (*v)[5]};
    if (auto v = animation::presentationValue(layer, animation::Property::Alpha, now))
        p.alpha = std::clamp((*v)[0], 0.0, 1.0);
    if (auto v = animation::presentationValue(layer, animation::Property::BackgroundColor, now))
        p.backgroundColor = Color::fromRGBA((*v)[0], (*v)[1], (*v)[2], (*v)[3]);
    return p;
}

Rect View::frame() const {
    if (m_transform.isIdentity())
        return m_untransformedFrame;
    Point c = center();
    Rect local(-m_bounds.width() / 2, -m_bounds.height() / 2, m_bounds.width(), m_bounds.height());
    return m_transform.apply(local).offsetBy(c.x, c.y);
}

void View::displayDidChange() {
    if (const auto& handler = displayInvalidationHandler())
        handler();
}

void View::setDisplayInvalidationHandler(std::function<void()> handler) { displayInvalidationHandler() = std::move(handler); }

void View::setHidden(bool hidden) {
    if (hidden == m_hidden)
        return;
    m_hidden = hidden;
    setNeedsDisplay();
}

void View::setClipsToBounds(bool clips) {
    m_clipsToBounds = clips;
    setNeedsDisplay();
}

void View::setFrame(Rect frame) {
    if (!frame.isFinite())
        return;
    frame = withoutNegativeSize(frame);
    Geometry old = geometry();
    if (m_transform.isIdentity()) {
        m_untransformedFrame = frame;
        m_bounds.size = frame.size;
    } else {
        Point c = frame.center();
        m_untransformedFrame.origin = Point{c.x - m_bounds.width() / 2, c.y - m_bounds.height() / 2};
    }
    geometryChanged(old);
}

void View::setBounds(Rect bounds) {
    if (!bounds.isFinite())
        return;
    bounds = withoutNegativeSize(bounds);
    Geometry old = geometry();
    Point c = center();
    m_bounds = bounds;
    m_untransformedFrame = Rect(c.x - bounds.width() / 2, c.y - bounds.height() / 2, bounds.width(), bounds.height());
    geometryChanged(old);
}

void View::setCenter(Point center) {
    if (!std::isfinite(center.x) || !std::isfinite(center.y))
        return;
    Geometry old = geometry();
    m_untransformedFrame.origin = Point{center.x - m_bounds.width() / 2, center.y - m_bounds.height() / 2};
    geometryChanged(old);
}

void View::setTransform(const AffineTransform& transform) {
    if (!transform.isFinite())
        return;
    Geometry old = geometry();
    m_transform = transform;
    geometryChanged(old);
}

void View::geometryChanged(const Geometry& old) {
    m_layer->setFrame(Rect(Point{}, m_bounds.size));
    if (!(old.center == center()))
        animation::propertyChanged(*this, animation::Property::Center, animation::values(old.center), animation::values(center()));
    if (!(old.bounds.size == m_bounds.size))
        animation::propertyChanged(*this, animation::Property::Size, animation::values(old.bounds.size), animation::values(m_bounds.size));
    if (!(old.transform == m_transform))
        animation::propertyChanged(*this, animation::Property::Transform, animation::values(old.transform), animation::values(m_transform));
    resizeSubviews(old.bounds.size);
    if (!(frame() == old.frame && m_bounds == old.bounds && m_transform == old.transform))
        setNeedsDisplay();
    if (!(frame() == old.frame))
        notify("frame");
    if (!(m_bounds == old.bounds))
        notify("bounds");
}

void View::resizeSubviews(Size oldSize) {
    if (oldSize == m_bounds.size)
        return;
    if (!m_autoresizesSubviews) {
        layoutSubviews();
        return;
    }
    double dw = m_bounds.size.width - oldSize.width;
    double dh = m_bounds.size.height - oldSize.height;
    for (const auto& child : std::vector<std::shared_ptr<View>>(m_subviews)) {
        unsigned mask = child->autoresizingMask();
        Rect f = child->frame();
        if (mask & kAutoresizingFlexibleWidth)
            f.size.width += dw;
        else if (mask & kAutoresizingFlexibleLeftMargin)
            f.origin.x += dw;
        if (mask & kAutoresizingFlexibleHeight)
            f.size.height += dh;
        else if (mask & kAutoresizingFlexibleTopMargin)
            f.origin.y += dh;
        if (!(f == child->frame()))
            child->setFrame(f);
    }
    layoutSubviews();
}

void View::setAlpha(double alpha) {
    if (std::isnan(alpha))
        return;
    double old = m_alpha;
    m_alpha = std::clamp(alpha, 0.0, 1.0);
    if (old != m_alpha) {
        animation::propertyChanged(*this, animation::Property::Alpha, {old}, {m_alpha});
        setNeedsDisplay();
    }
}

void View::setBackgroundColor(std::optional<Color> color) {
    std::optional<Color> old = std::move(m_backgroundColor);
    m_backgroundColor = std::move(color);
    // Only plain colours on both sides blend; anything else changes at once.
    if (old && m_backgroundColor && !old->isPattern() && !m_backgroundColor->isPattern() && !(*old == *m_backgroundColor))
        animation::propertyChanged(*this, animation::Property::BackgroundColor, animation::values(*old), animation::values(*m_backgroundColor));
    setNeedsDisplay();
}

Color View::tintColor() const {
    for (const View* v = this; v;) {
        if (v->m_tintColor)
            return *v->m_tintColor;
        auto parent = v->superview();
        v = parent.get();
    }
    return Color::fromRGBA255(0, 122, 255);
}

void View::addSubview(const std::shared_ptr<View>& view) { insertSubviewAt(view, m_subviews.size()); }

void View::insertSubviewAt(const std::shared_ptr<View>& view, std::size_t index) {
    if (!view || view.get() == this || isDescendantOf(*view))
        return;  // no cycles
    std::shared_ptr<View> keep = view;
    if (auto old = view->superview()) {
        if (treeRoot(*old) != treeRoot(*this)) {
            keep->resignResponderLeavingTree();
            old = keep->superview();  // the one that resigned may have moved it
        }
        if (old)
            old->detach(*keep);
    }
    index = std::min(index, m_subviews.size());
    m_subviews.insert(m_subviews.begin() + static_cast<std::ptrdiff_t>(index), keep);
    keep->m_superview = weak_from_this();
    if (keep->m_superview.expired())
        m_subviewsUnlinked = true;  // in this view's constructor
    keep->linkSubviews();
    keep->didMoveToSuperview();
    setNeedsDisplay();
}

void View::linkSubviews() {
    if (!m_subviewsUnlinked)
        return;
    std::weak_ptr<View> self = weak_from_this();
    if (self.expired())
        return;
    m_subviewsUnlinked = false;
    for (const auto& child : m_subviews) {
        child->m_superview = self;
        child->linkSubviews();
    }
}

void View::insertSubviewBelow(const std::shared_ptr<View>& view, const std::shared_ptr<View>& sibling) {
    if (!view || view == sibling)
        return;
    std::shared_ptr<View> keep = view;
    if (keep->superview().get() == this)
        detach(*keep);
    auto it = std::find(m_subviews.begin(), m_subviews.end(), sibling);
    insertSubviewAt(keep, it == m_subviews.end() ? 0 : static_cast<std::size_t>(it - m_subviews.begin()));
}

void View::insertSubviewAbove(const std::shared_ptr<View>& view, const std::shared_ptr<View>& sibling) {
    if (!view || view == sibling)
        return;
    std::shared_ptr<View> keep = view;
    if (keep->superview().get() == this)
        detach(*keep);
    auto it = std::find(m_subviews.begin(), m_subviews.end(), sibling);
    insertSubviewAt(keep, it == m_subviews.end() ? m_subviews.size() : static_cast<std::size_t>(it - m_subviews.begin()) + 1);
}

void View::bringSubviewToFront(const std::shared_ptr<View>& view) {
    auto it = std::find(m_subviews.begin(), m_subviews.end(), view);
    if (it == m_subviews.end())
        return;
    std::rotate(it, it + 1, m_subviews.end());
    setNeedsDisplay();
}

void View::sendSubviewToBack(const std::shared_ptr<View>& view) {
    auto it = std::find(m_subviews.begin(), m_subviews.end(), view);
    if (it == m_subviews.end())
        return;
    std::rotate(m_subviews.begin(), it, it + 1);
    setNeedsDisplay();
}

void View::detach(const View& child) {
    auto it = std::find_if(m_subviews.begin(), m_subviews.end(), [&](const auto& v) { return v.get() == &child; });
    if (it != m_subviews.end())
        m_subviews.erase(it);
}

void View::removeFromSuperview() {
    if (!superview())
        return;
    auto self = shared_from_this();  // the parent held the last reference, maybe
    resignResponderLeavingTree();
    auto parent = superview();  // the one that resigned may have moved it
    if (!parent)
        return;
    bool wasInWindow = dynamic_cast<Window*>(parent->rootView().get()) != nullptr;
    parent->detach(*this);
    m_superview.reset();
    if (wasInWindow)
        animation::cancelInTree(*this);
    didMoveToSuperview();
    parent->setNeedsDisplay();
}

void View::touchesBegan(const TouchSet& touches) {
    if (auto parent = superview())
        parent->touchesBegan(touches);
}

void View::touchesMoved(const TouchSet& touches) {
    if (auto parent = superview())
        parent->touchesMoved(touches);
}

void View::touchesEnded(const TouchSet& touches) {
    if (auto parent = superview())
        parent->touchesEnded(touches);
}

void View::touchesCancelled(const TouchSet& touches) {
    if (auto parent = superview())
        parent->touchesCancelled(touches);
}

void View::addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer) {
    if (!recognizer || std::find(m_gestureRecognizers.begin(), m_gestureRecognizers.end(), recognizer) != m_gestureRecognizers.end())
        return;
    if (auto old = recognizer->view())
        old->removeGestureRecognizer(recognizer);
    recognizer->m_view = weak_from_this();
    m_gestureRecognizers.push_back(recognizer);
}

void View::removeGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer) {
    auto it = std::find(m_gestureRecognizers.begin(), m_gestureRecognizers.end(), recognizer);
    if (it == m_gestureRecognizers.end())
        return;
    (*it)->m_view.reset();
    m_gestureRecognizers.erase(it);
}

bool View::isDescendantOf(const View& ancestor) const {
    for (auto v = superview(); v; v = v->superview())
        if (v.get() == &ancestor)
            return true;
    return false;
}

std::shared_ptr<View> View::rootView() {
    std::shared_ptr<View> root = shared_from_this();
    while (auto parent = root->superview())
        root = parent;
    return root;
}

std::shared_ptr<View> View::viewWithTag(int tag) {
    if (m_tag == tag)
        return shared_from_this();
    for (const auto& child : m_subviews)
        if (auto found = child->viewWithTag(tag))
            return found;
    return nullptr;
}

bool View::pointInside(Point point) const { return m_bounds.contains(point); }

std::shared_ptr<View> View::hitTest(Point point) {
    if (m_hidden || m_alpha < 0.01 || !m_userInteractionEnabled || !std::isfinite(point.x) || !std::isfinite(point.y) ||
        !pointInside(point) || animation::blocksInteraction(*m_layer, Clock::current().now()))
        return nullptr;
    for (auto it = m_subviews.rbegin(); it != m_subviews.rend(); ++it) {
        std::shared_ptr<View> child = *it;
        Point inChild = child->transformToSuperview().inverted().apply(point);
        if (auto hit = child->hitTest(inChild))
            return hit;
    }
    return shared_from_this();
}

void View::setNeedsLayout() {
    m_needsLayout = true;
    std::weak_ptr<View> weak = weak_from_this();
    if (m_layoutQueued || weak.expired())
        return;  // queued already, or not shared yet (then laid out by layoutIfNeeded only)
    m_layoutQueued = true;
    PendingLayouts& pending = pendingLayouts();
    pending.views.push_back(std::move(weak));
    if (pending.scheduled)
        return;
    pending.scheduled = true;
    RunLoop::main().perform(&View::runPendingLayouts);
}

void View::layoutIfNeeded() {
    if (m_needsLayout) {
        m_needsLayout = false;
        layoutSubviews();
    }
    for (const auto& child : std::vector<std::shared_ptr<View>>(m_subviews))
        child->layoutIfNeeded();
}

Size View::sizeThatFits(Size) const { return m_bounds.size; }

void View::sizeToFit() {
    Size fitting = sizeThatFits(m_bounds.size);
    Rect f = frame();
    setFrame(Rect(f.origin, fitting));
}

AffineTransform View::transformToSuperview() const {
    Point boundsCenter = m_bounds.center();
    Point c = center();
    return AffineTransform::translation(-boundsCenter.x, -boundsCenter.y)
        .concatenating(m_transform)
        .concatenating(AffineTransform::translation(c.x, c.y));
}

AffineTransform View::transformToRoot() const {
    AffineTransform t;
    const View* v = this;
    std::shared_ptr<View> parent;
    while ((parent = v->superview())) {
        t = t.concatenating(v->transformToSuperview());
        v = parent.get();
    }
    return t;
}

Point View::convertPointTo(Point point, const View* view) const {
    Point inRoot = transformToRoot().apply(point);
    return view ? view->transformToRoot().inverted().apply(inRoot) : inRoot;
}

Point View::convertPointFrom(Point point, const View* view) const {
    Point inRoot = view ? view->transformToRoot().apply(point) : point;
    return transformToRoot().inverted().apply(inRoot);
}

Rect View::convertRectTo(Rect rect, const View* view) const {
    AffineTransform t = transformToRoot();
    if (view)
        t = t.concatenating(view->transformToRoot().inverted());
    return t.apply(rect);
}

Rect View::convertRectFrom(Rect rect, const View* view) const {
    AffineTransform t = view ? view->transformToRoot() : AffineTransform{};
    return t.concatenating(transformToRoot().inverted()).apply(rect);
}

void View::addObserver(const std::shared_ptr<KeyValueObserver>& observer, const std::string& keyPath) {
    if (observer)
        m_observers.emplace_back(observer, keyPath);
}

void View::removeObserver(const KeyValueObserver* observer, const std::string& keyPath) {
    std::erase_if(m_observers, [&](const auto& entry) {
        auto o = entry.first.lock();
        return !o || (o.get() == observer && entry.second == keyPath);
    });
}

void View::notify(const std::string& keyPath) {
    if (m_observers.empty())
        return;
    auto observers = m_observers;  // an observer may remove itself
    for (const auto& [weak, path] : observers)
        if (path == keyPath)
            if (auto o = weak.lock())
                o->observeValueForKeyPath(keyPath, *this);
}

void View::drawRect(Rect) {}

bool View::resign(View& view, bool forced, View* successor) {
    auto root = view.rootView();
    if (!forced && (!view.canResignFirstResponder() || !view.willResignFirstResponder(false)))
        return false;
    if (forced)
        view.willResignFirstResponder(true);
    root->m_firstResponder.reset();
    view.didResignFirstResponder();
    view.setNeedsDisplay();
    if (!successor)
        KeyboardManager::shared().responderChanged(nullptr);
    return true;
}

void View::resignResponderLeavingTree() {
    auto responder = treeRoot(*this)->m_firstResponder.lock();
    if (responder && (responder.get() == this || responder->isDescendantOf(*this)))
        resign(*responder, true, nullptr);
}

std::shared_ptr<View> View::firstResponder() const {
    const View* root = this;
    while (auto up = root->superview())
        root = up.get();
    return root->m_firstResponder.lock();
}

bool View::isFirstResponder() const { return firstResponder().get() == this; }

bool View::becomeFirstResponder() {
    if (isFirstResponder())
        return true;
    if (!canBecomeFirstResponder() || !willBecomeFirstResponder())
        return false;
    auto self = shared_from_this();
    auto previous = firstResponder();
    if (previous && !resign(*previous, false, this))
        return false;
    rootView()->m_firstResponder = self;
    didBecomeFirstResponder();
    setNeedsDisplay();
    KeyboardManager::shared().responderChanged(this);
    return true;
}

bool View::resignFirstResponder() { return !isFirstResponder() || resign(*this, false, nullptr); }

bool View::endEditing(bool force) {
    auto responder = firstResponder();
    if (!responder || (responder.get() != this && !responder->isDescendantOf(*this)))
        return false;
    return resign(*responder, force, nullptr);
}

} // namespace platform
