#include "cardpay/views/BCListView.h"

#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"
#include "cardpay/views/BCWidgets.h"

#include <algorithm>

namespace cardpay {

namespace {

const platform::Color kLineColor = platform::Color::fromRGBA255(229, 229, 229);
const platform::Color kHeaderColor = platform::Color::fromRGBA255(240, 240, 240);
const platform::Color kTextColor = platform::Color::fromRGBA(0.2, 0.2, 0.2);

} // namespace

BCListView::BCListView(platform::Rect frame, std::vector<std::string> list) : platform::View(frame), m_list(std::move(list)) {
    // Over a screen's status-bar strip the list starts below it, leaving the strip in view.
    m_top = std::max(0.0, BCUtils::viewControllerBoundsOriginY() - frame.origin.y);
    setBackgroundColor(platform::Color::clear());
    // The header row stays put above the rows, which scroll below it.
    m_scroll = std::make_shared<platform::ScrollView>(
        platform::Rect(0, m_top + kRowHeight, frame.size.width, std::max(0.0, frame.size.height - m_top - kRowHeight)));
    m_scroll->setBackgroundColor(platform::Color::white());
    addSubview(m_scroll);
    setNeedsLayout();
}

void BCListView::changed() {
    m_built = false;
    if (superview())
        rebuild();
    else
        setNeedsLayout();
}

void BCListView::layoutSubviews() { ensureBuilt(); }

void BCListView::ensureBuilt() const {
    if (!m_built)
        const_cast<BCListView*>(this)->rebuild();
}

void BCListView::didMoveToSuperview() { ensureBuilt(); }

void BCListView::setEditable(bool editable) {
    m_editable = editable;
    changed();
}

void BCListView::setSelectedIndex(long index) {
    m_selected = index;
    changed();
}

void BCListView::setHeaderTitle(const std::optional<std::string>& title) {
    m_headerTitle = title;
    changed();
}

void BCListView::setFooterTitle(const std::optional<std::string>& title) {
    m_footerTitle = title;
    changed();
}

void BCListView::setWholeEnds(std::vector<std::string> ends) {
    m_wholeEnds = std::move(ends);
    changed();
}

std::vector<std::string> BCListView::cardNumbers(const platform::Array& cards) {
    std::vector<std::string> numbers;
    for (const platform::Value& card : cards) {
        const platform::Array* items = card.getArray();
        numbers.push_back(items && items->size() > 2 ? (*items)[2].stringOr("") : std::string());
    }
    return numbers;
}

void BCListView::refreshListAfterDeleted() {
    if (!m_deleted || *m_deleted < 0 || *m_deleted >= static_cast<long>(m_list.size()))
        return;
    const long index = *m_deleted;
    m_list.erase(m_list.begin() + index);
    if (static_cast<std::size_t>(index) < m_wholeEnds.size())
        m_wholeEnds.erase(m_wholeEnds.begin() + index);
    if (m_selected == index)
        m_selected = -1;
    else if (m_selected > index)
        --m_selected;
    m_deleted.reset();
    changed();
}

std::shared_ptr<platform::Control> BCListView::makeRow(double y, const std::string& text, bool marked, bool footer,
                                                      const std::string& wholeEnd) {
    const double w = bounds().size.width;
    auto row = std::make_shared<platform::Control>(platform::Rect(0, y, w, kRowHeight));
    row->setBackgroundColor(platform::Color::white());
    const double room = w - 24 - (m_editable && !footer ? 60 : 0) - 24;
    const platform::Font font = BCViews::defaultFontWithSize(16);
    const bool splits = !wholeEnd.empty() && text.size() > wholeEnd.size() && text.ends_with(wholeEnd) &&
                        newSizeWithFont(text, font, room * 2, platform::LineBreakMode::Clip).width > room;
    const double endWidth = splits ? std::ceil(newSizeWithFont(wholeEnd, font, room, platform::LineBreakMode::Clip).width) : 0;
    // The cut part's ellipsis keeps a space's width from the end.
    const double gap = splits ? std::ceil(newSizeWithFont(" ", font, room, platform::LineBreakMode::Clip).width) : 0;
    auto label = BCViews::normalLabelWithFrame(platform::Rect(12, 0, std::max(0.0, room - endWidth - gap), kRowHeight),
                                               splits ? text.substr(0, text.size() - wholeEnd.size()) : text, 16,
                                               footer ? BCUtils::navBarColor() : kTextColor);
    label->setLineBreakMode(platform::LineBreakMode::TruncateTail);
    label->setUserInteractionEnabled(false);
    row->addSubview(label);
    if (splits) {
        auto end = BCViews::normalLabelWithFrame(platform::Rect(12 + room - endWidth, 0, endWidth, kRowHeight), wholeEnd, 16, kTextColor);
        end->setUserInteractionEnabled(false);
        row->addSubview(end);
    }
    if (marked) {
        auto mark = BCViews::normalLabelWithFrame(platform::Rect(w - 36, 0, 24, kRowHeight), "✓", 18, BCUtils::navBarColor());
        mark->setUserInteractionEnabled(false);
        row->addSubview(mark);
    }
    auto line = std::make_shared<BCLineView>(platform::Rect(0, kRowHeight - 1, w, 1), kLineColor);
    line->setUserInteractionEnabled(false);
    row->addSubview(line);
    m_scroll->addSubview(row);
    return row;
}

void BCListView::rebuild() {
    m_built = true;
    ++m_builds;
    for (const auto& view : std::vector(m_scroll->subviews()))
        view->removeFromSuperview();
    for (const std::shared_ptr<platform::View>& view : {std::static_pointer_cast<platform::View>(m_header),
                                                       std::static_pointer_cast<platform::View>(m_closeButton)})
        if (view)
            view->removeFromSuperview();
    m_rows.clear();
    m_deleteButtons.clear();
    m_header.reset();
    m_closeButton.reset();
    m_footer.reset();
    const double w = bounds().size.width;
    // The header row: the title, and the close button at its right end.
    const std::string cancel = BCLocale::instance()->getStringById(10004);
    const double closeWidth = newSizeWithFont(cancel, platform::Font::systemFont(16), w, platform::LineBreakMode::Clip).width + 24;
    m_header = BCViews::normalLabelWithFrame(platform::Rect(0, m_top, w - closeWidth, kRowHeight),
                                             m_headerTitle ? "   " + *m_headerTitle : "", 16, kTextColor);
    m_header->setBackgroundColor(kHeaderColor);
    m_header->setLineBreakMode(platform::LineBreakMode::TruncateTail);
    addSubview(m_header);
    m_closeButton = platform::Button::create(platform::ButtonType::Custom, platform::Rect(w - closeWidth, m_top, closeWidth, kRowHeight));
    m_closeButton->setTitle(cancel, platform::kControlStateNormal);
    m_closeButton->setTitleColor(BCUtils::navBarColor(), platform::kControlStateNormal);
    m_closeButton->titleLabel()->setFont(platform::Font::systemFont(16));
    m_closeButton->setBackgroundColor(kHeaderColor);
    m_closeButton->addTarget(m_alive, [this](platform::Control&) { closeList(); }, platform::kControlEventTouchUpInside);
    addSubview(m_closeButton);
    double y = 0;
    for (std::size_t i = 0; i < m_list.size(); ++i) {
        const long index = static_cast<long>(i);
        auto row = makeRow(y, m_list[i], index == m_selected, false, i < m_wholeEnds.size() ? m_wholeEnds[i] : std::string());
        row->addTarget(m_alive, [this, index](platform::Control&) { selectRow(index); }, platform::kControlEventTouchUpInside);
        if (m_editable) {
            auto remove = platform::Button::create(platform::ButtonType::Custom, platform::Rect(w - 72 - 24, 7, 60, 30));
            remove->setTitle(std::string("×"), platform::kControlStateNormal);
            remove->setTitleColor(BCUtils::redTextColor(), platform::kControlStateNormal);
            remove->addTarget(m_alive, [this, index](platform::Control&) { deleteRow(index); }, platform::kControlEventTouchUpInside);
            row->addSubview(remove);
            m_deleteButtons.push_back(remove);
        }
        m_rows.push_back(row);
        y += kRowHeight;
    }
    if (m_footerTitle) {
        m_footer = makeRow(y, *m_footerTitle, false, true);
        m_footer->addTarget(m_alive, [this](platform::Control&) { selectRow(static_cast<long>(m_list.size())); },
                            platform::kControlEventTouchUpInside);
        y += kRowHeight;
    }
    m_scroll->setContentSize({w, y});
}

void BCListView::selectRow(long index) {
    const auto self = weak_from_this().lock();  // the delegate may drop its hold on the list
    if (const auto delegate = m_delegate.lock())
        delegate->listViewDidSelectedAtIndex(*this, index);
    removeFromSuperview();
}

void BCListView::closeList() {
    const auto self = weak_from_this().lock();
    if (const auto delegate = m_delegate.lock())
        delegate->listViewDidCancel(*this);
    removeFromSuperview();
}

void BCListView::deleteRow(long index) {
    m_deleted = index;
    const auto keep = m_rows;  // the delegate may refresh the list under the pressed button
    const auto keepButtons = m_deleteButtons;
    if (const auto delegate = m_delegate.lock())
        delegate->listViewDidDeletedAtIndex(*this, index);
}

} // namespace cardpay
