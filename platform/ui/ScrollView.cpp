#include "platform/ui/ScrollView.h"

#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {
constexpr double kStep = 1.0 / 60;
} // namespace

ScrollView::ScrollView(Rect frame) : View(frame) { setClipsToBounds(true); }

ScrollView::~ScrollView() {
    if (m_animation)
        m_animation->invalidate();
}

void ScrollView::setContentSize(Size size) {
    if (std::isfinite(size.width) && std::isfinite(size.height))
        m_contentSize = Size{std::max(0.0, size.width), std::max(0.0, size.height)};
}

Point ScrollView::minimumOffset() const { return Point{-m_contentInset.left, -m_contentInset.top}; }

Point ScrollView::maximumOffset() const {
    Size b = bounds().size;
    Point min = minimumOffset();
    return Point{std::max(min.x, m_contentSize.width + m_contentInset.right - b.width),
                 std::max(min.y, m_contentSize.height + m_contentInset.bottom - b.height)};
}

Point ScrollView::clamped(Point offset) const {
    Point min = minimumOffset(), max = maximumOffset();
    return Point{std::clamp(offset.x, min.x, max.x), std::clamp(offset.y, min.y, max.y)};
}

void ScrollView::applyOffset(Point offset) {
    if (offset == m_contentOffset)
        return;
    m_contentOffset = offset;
    setBounds(Rect(offset, bounds().size));  // the content moves: subviews draw and convert scrolled
    didChangeContentOffset();
    if (auto d = delegate())
        d->scrollViewDidScroll(*this);
}

void ScrollView::setContentOffset(Point offset, bool animated) {
    if (!std::isfinite(offset.x) || !std::isfinite(offset.y))
        return;
    if (m_animation) {
        m_animation->invalidate();
        m_animation.reset();
    }
    if (animated)
        animateTo(offset, false);
    else
        applyOffset(offset);
}

void ScrollView::animateTo(Point target, bool notifyDecelerating) {
    if (m_animation)
        m_animation->invalidate();
    const Point from = m_contentOffset;
    const Clock::TimePoint start = Clock::current().now();
    std::weak_ptr<View> weak = weak_from_this();
    m_animation = RunLoop::main().scheduleRepeatingTimer(seconds(kStep), [weak, from, target, start, notifyDecelerating](Timer& timer) {
        auto self = std::static_pointer_cast<ScrollView>(weak.lock());
        if (!self) {
            timer.invalidate();
            return;
        }
        double t = std::chrono::duration<double>(Clock::current().now() - start).count() / kAnimationDuration;
        if (t >= 1 - 1e-6) {  // the last tick may read a hair early
            timer.invalidate();
            self->m_animation.reset();
            self->applyOffset(target);
            if (notifyDecelerating)
                if (auto d = self->delegate())
                    d->scrollViewDidEndDecelerating(*self);
            return;
        }
        double e = 1 - (1 - t) * (1 - t);  // ease out
        self->applyOffset(Point{from.x + (target.x - from.x) * e, from.y + (target.y - from.y) * e});
    });
}

void ScrollView::scrollRectToVisible(Rect rect, bool animated) {
    if (!rect.isFinite())
        return;
    Rect visible(m_contentOffset, bounds().size);
    Point offset = m_contentOffset;
    if (rect.minY() < visible.minY())
        offset.y = rect.minY();
    else if (rect.maxY() > visible.maxY())
        offset.y = rect.height() > visible.height() ? rect.minY() : rect.maxY() - visible.height();
    if (rect.minX() < visible.minX())
        offset.x = rect.minX();
    else if (rect.maxX() > visible.maxX())
        offset.x = rect.width() > visible.width() ? rect.minX() : rect.maxX() - visible.width();
    setContentOffset(clamped(offset), animated);
}

bool ScrollView::drag(Point translation) {
    if (!m_scrollEnabled || !std::isfinite(translation.x) || !std::isfinite(translation.y))
        return false;
    auto d = delegate();
    if (d)
        d->scrollViewWillBeginDragging(*this);
    Point before = m_contentOffset;
    Point to{before.x + translation.x, before.y + translation.y};
    applyOffset(m_bounces ? to : clamped(to));
    Point rest = clamped(m_contentOffset);
    if (m_pagingEnabled) {
        Size page = bounds().size;
        if (page.width > 0)
            rest.x = std::clamp(std::round(rest.x / page.width) * page.width, minimumOffset().x, maximumOffset().x);
        if (page.height > 0)
            rest.y = std::clamp(std::round(rest.y / page.height) * page.height, minimumOffset().y, maximumOffset().y);
    }
    bool decelerate = rest != m_contentOffset;
    if ((d = delegate()))
        d->scrollViewDidEndDragging(*this, decelerate);
    if (decelerate)
        animateTo(rest, true);
    return m_contentOffset != before || decelerate;
}

void ScrollView::userScroll(Point offset) {
    if (m_scrollEnabled && std::isfinite(offset.x) && std::isfinite(offset.y))
        setContentOffset(m_bounces ? offset : clamped(offset));
}

} // namespace platform
