#include "cardpay/views/BCPayChannelView.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCViews.h"
#include "cardpay/views/BCWidgets.h"

#include <algorithm>

namespace cardpay {

BCPayChannelView::BCPayChannelView(platform::Rect frame) : platform::View(frame) {
    setBackgroundColor(platform::Color::clear());
}

void BCPayChannelView::setDataSource(std::weak_ptr<BCPayChannelViewDataSource> dataSource) {
    m_dataSource = std::move(dataSource);
    reloadData();
}

void BCPayChannelView::reloadData() {
    layoutRows();
    if (const auto delegate = m_delegate.lock())
        delegate->didPayChannelViewFinishedLayout(*this);
}

void BCPayChannelView::willRotateToInterfaceOrientation(platform::InterfaceOrientation, double) { layoutRows(); }

void BCPayChannelView::layoutRows() {
    for (const auto& row : m_rows)
        row->removeFromSuperview();
    for (const auto& line : m_lines)
        line->removeFromSuperview();
    m_rows.clear();
    m_lines.clear();
    const auto dataSource = m_dataSource.lock();
    const int count = dataSource ? std::max(0, dataSource->numberOfSectionsInPayChannelView()) : 0;
    const double width = frame().size.width;
    const std::weak_ptr<BCPayChannelView> weak = std::static_pointer_cast<BCPayChannelView>(shared_from_this());
    double y = count > 0 ? kTopGap : 0;
    for (int i = 0; i < count; ++i) {
        auto row = BCViews::indicatorButtonWithFrame(platform::Rect(0, y, width, kRowHeight), dataSource->titleOfSectionsAtIndex(i),
                                                     weak, [weak, i](platform::Control&) {
                                                         const auto self = weak.lock();
                                                         if (const auto delegate = self ? self->m_delegate.lock() : nullptr)
                                                             delegate->didChoosedChannelAtIndex(i);
                                                     });
        addSubview(row);
        m_rows.push_back(row);
        auto line = std::make_shared<BCLineView>(platform::Rect(0, y + kRowHeight - 1, width, 1), BCUtils::borderColor());
        addSubview(line);
        m_lines.push_back(line);
        y += kRowHeight;
    }
    platform::Rect box = frame();
    box.size.height = y;
    setFrame(box);
}

} // namespace cardpay
