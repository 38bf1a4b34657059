#include "platform/ui/View.h"

#include <algorithm>

namespace platform {

View::View(Rect frame) : m_frame(frame), m_bounds(Point{}, frame.size) {}

View::~View() = default;

void View::setFrame(Rect frame) {
    Size oldSize = m_bounds.size;
    m_frame = frame;
    m_bounds.size = frame.size;
    resizeSubviews(oldSize);
}

void View::setBounds(Rect bounds) {
    Size oldSize = m_bounds.size;
    m_bounds = bounds;
    m_frame.size = bounds.size;
    resizeSubviews(oldSize);
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

void View::addSubview(const std::shared_ptr<View>& view) { insertSubviewAt(view, m_subviews.size()); }

void View::insertSubviewAt(const std::shared_ptr<View>& view, std::size_t index) {
    if (!view || view.get() == this || isDescendantOf(*view))
        return;  // no cycles
    std::shared_ptr<View> keep = view;
    if (auto old = view->superview())
        old->detach(*view);
    index = std::min(index, m_subviews.size());
    m_subviews.insert(m_subviews.begin() + static_cast<std::ptrdiff_t>(index), keep);
    keep->m_superview = weak_from_this();
    keep->didMoveToSuperview();
}

void View::sendSubviewToBack(const std::shared_ptr<View>& view) {
    auto it = std::find(m_subviews.begin(), m_subviews.end(), view);
    if (it == m_subviews.end())
        return;
    std::rotate(m_subviews.begin(), it, it + 1);
}

void View::detach(const View& child) {
    auto it = std::find_if(m_subviews.begin(), m_subviews.end(), [&](const auto& v) { return v.get() == &child; });
    if (it != m_subviews.end())
        m_subviews.erase(it);
}

void View::removeFromSuperview() {
    auto parent = superview();
    if (!parent)
        return;
    auto self = shared_from_this();  // the parent held the last reference, maybe
    parent->detach(*this);
    m_superview.reset();
    didMoveToSuperview();
}

bool View::isDescendantOf(const View& ancestor) const {
    for (auto v = superview(); v; v = v->superview())
        if (v.get() == &ancestor)
            return true;
    return false;
}

bool View::endEditing(bool force) {
    bool resigned = false;
    for (const auto& child : std::vector<std::shared_ptr<View>>(m_subviews))
        resigned = child->endEditing(force) || resigned;
    return resigned;
}

} // namespace platform
