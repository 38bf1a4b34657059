#include "platform/ui/ScrollView.h"

#include <cmath>

namespace platform {

void ScrollView::setContentOffset(Point offset, bool /*animated*/) {
    if (!std::isfinite(offset.x) || !std::isfinite(offset.y))
        return;
    if (offset == m_contentOffset)
        return;
    m_contentOffset = offset;
    setBounds(Rect(offset, bounds().size));  // the content moves: subviews draw and convert scrolled
    if (auto d = delegate())
        d->scrollViewDidScroll(*this);
}

void ScrollView::userScroll(Point offset) {
    if (m_scrollEnabled)
        setContentOffset(offset);
}

} // namespace platform
