#include "platform/ui/ScrollView.h"

namespace platform {

void ScrollView::setContentOffset(Point offset, bool /*animated*/) {
    if (offset == m_contentOffset)
        return;
    m_contentOffset = offset;
    if (auto d = delegate())
        d->scrollViewDidScroll(*this);
}

void ScrollView::userScroll(Point offset) {
    if (m_scrollEnabled)
        setContentOffset(offset);
}

} // namespace platform
