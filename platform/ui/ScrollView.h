// The scroll view inside a web view (and the base of later scrolling views): content offset and size,
// bouncing, scrolling on or off, deceleration rate, and a weakly held delegate told of every scroll.
// Main thread only.
#pragma once

#include "platform/Geometry.h"
#include "platform/ui/View.h"

#include <memory>

namespace platform {

class ScrollView;

class ScrollViewDelegate {
public:
    virtual ~ScrollViewDelegate() = default;
    virtual void scrollViewDidScroll(ScrollView& /*scrollView*/) {}
};

inline constexpr double kScrollViewDecelerationRateNormal = 0.998;
inline constexpr double kScrollViewDecelerationRateFast = 0.99;

class ScrollView : public View {
public:
    explicit ScrollView(Rect frame = {}) : View(frame) {}

    Point contentOffset() const { return m_contentOffset; }
    // Moves the content; the delegate hears scrollViewDidScroll when the offset changed.
    void setContentOffset(Point offset, bool animated = false);
    Size contentSize() const { return m_contentSize; }
    void setContentSize(Size size) { m_contentSize = size; }

    bool bounces() const { return m_bounces; }
    void setBounces(bool bounces) { m_bounces = bounces; }
    bool isScrollEnabled() const { return m_scrollEnabled; }
    void setScrollEnabled(bool enabled) { m_scrollEnabled = enabled; }
    double decelerationRate() const { return m_decelerationRate; }
    void setDecelerationRate(double rate) { m_decelerationRate = rate; }

    std::shared_ptr<ScrollViewDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(std::weak_ptr<ScrollViewDelegate> delegate) { m_delegate = std::move(delegate); }

    // The user drags the content (test driver): ignored while scrolling is off, otherwise like
    // setContentOffset.
    void userScroll(Point offset);

private:
    Point m_contentOffset;
    Size m_contentSize;
    bool m_bounces = true;
    bool m_scrollEnabled = true;
    double m_decelerationRate = kScrollViewDecelerationRateNormal;
    std::weak_ptr<ScrollViewDelegate> m_delegate;
};

} // namespace platform
