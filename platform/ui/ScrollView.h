// A scrolling view (also the scroll view inside a web view, and the base of the table view): content
// offset, size and inset, bouncing, scrolling on or off, paging, indicator flags, and a weakly held
// delegate told of scrolls and drags. The content (its subviews) draws at the offset, clipped.
//
// Guarantees:
// - Main thread only.
// - An animated offset change runs 0.3 s on the platform clock; the delegate hears didScroll as the
//   offset moves (once per 1/60 s step) and the offset ends exactly at the target. Setting an offset
//   stops a running animation.
// - A user's drag (drag()) is ignored while scrolling is off. Without bounces it stops at the content's
//   edges (the inset included); with bounces it may overshoot and springs back when it ends. With paging
//   the end snaps to the nearest page (a bounds' height or width).
#pragma once

#include "platform/core/Geometry.h"
#include "platform/ui/View.h"

#include <memory>

namespace platform {

class ScrollView;
class Timer;

class ScrollViewDelegate {
public:
    virtual ~ScrollViewDelegate() = default;
    virtual void scrollViewDidScroll(ScrollView& /*scrollView*/) {}
    virtual void scrollViewWillBeginDragging(ScrollView& /*scrollView*/) {}
    virtual void scrollViewDidEndDragging(ScrollView& /*scrollView*/, bool /*willDecelerate*/) {}
    virtual void scrollViewDidEndDecelerating(ScrollView& /*scrollView*/) {}
};

inline constexpr double kScrollViewDecelerationRateNormal = 0.998;
inline constexpr double kScrollViewDecelerationRateFast = 0.99;

class ScrollView : public View {
public:
    static constexpr double kAnimationDuration = 0.3;

    explicit ScrollView(Rect frame = {});
    ~ScrollView() override;

    Point contentOffset() const { return m_contentOffset; }
    // Moves the content; the delegate hears scrollViewDidScroll when the offset changed.
    void setContentOffset(Point offset, bool animated = false);
    Size contentSize() const { return m_contentSize; }
    void setContentSize(Size size);
    EdgeInsets contentInset() const { return m_contentInset; }
    void setContentInset(EdgeInsets inset) { m_contentInset = inset; }
    // Scrolls as little as needed to show `rect` (content coordinates), within the content.
    void scrollRectToVisible(Rect rect, bool animated);

    bool bounces() const { return m_bounces; }
    void setBounces(bool bounces) { m_bounces = bounces; }
    bool isScrollEnabled() const { return m_scrollEnabled; }
    void setScrollEnabled(bool enabled) { m_scrollEnabled = enabled; }
    bool isPagingEnabled() const { return m_pagingEnabled; }
    void setPagingEnabled(bool enabled) { m_pagingEnabled = enabled; }
    bool showsHorizontalScrollIndicator() const { return m_showsHorizontal; }
    void setShowsHorizontalScrollIndicator(bool shows) { m_showsHorizontal = shows; }
    bool showsVerticalScrollIndicator() const { return m_showsVertical; }
    void setShowsVerticalScrollIndicator(bool shows) { m_showsVertical = shows; }
    double decelerationRate() const { return m_decelerationRate; }
    void setDecelerationRate(double rate) { m_decelerationRate = rate; }

    std::shared_ptr<ScrollViewDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(std::weak_ptr<ScrollViewDelegate> delegate) { m_delegate = std::move(delegate); }

    // The offsets the content may rest at: from -inset to the content's far edge plus the inset.
    Point minimumOffset() const;
    Point maximumOffset() const;

    // The user drags the content by `translation` (points the content moves up/left: positive scrolls
    // down) and lets go: willBeginDragging, didScroll, didEndDragging, then the spring back or page snap
    // (didEndDecelerating after it). Answers whether the offset moved.
    bool drag(Point translation);
    // The user scrolls to an offset (test driver, the host's wheel): ignored while scrolling is off;
    // clamped to the content unless the view bounces.
    void userScroll(Point offset);

protected:
    // Called after every change of the offset (the table view lays out its visible cells).
    virtual void didChangeContentOffset() {}

private:
    void applyOffset(Point offset);
    void animateTo(Point target, bool notifyDecelerating);
    Point clamped(Point offset) const;

    Point m_contentOffset;
    Size m_contentSize;
    EdgeInsets m_contentInset;
    bool m_bounces = true;
    bool m_scrollEnabled = true;
    bool m_pagingEnabled = false;
    bool m_showsHorizontal = true;
    bool m_showsVertical = true;
    double m_decelerationRate = kScrollViewDecelerationRateNormal;
    std::weak_ptr<ScrollViewDelegate> m_delegate;
    std::shared_ptr<Timer> m_animation;
};

} // namespace platform
