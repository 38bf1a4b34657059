#include "platform/ui/TableView.h"

#include "platform/core/Log.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/Screen.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

constexpr double kMargin = 15;
constexpr double kGroupedSectionGap = 18;
constexpr double kValue2TitleWidth = 67;

// The chevron or checkmark at a cell's right.
class AccessoryGlyph : public View {
public:
    AccessoryGlyph() : View(Rect(0, 0, 12, 16)) { setBackgroundColor(std::nullopt); setOpaque(false); }
    TableViewCellAccessoryType type = TableViewCellAccessoryType::None;
    void drawRect(Rect) override {
        GraphicsContext* g = GraphicsContext::current();
        if (!g)
            return;
        Rect b = bounds();
        g->setLineWidth(2);
        if (type == TableViewCellAccessoryType::Checkmark) {
            g->setStrokeColor(tintColor());
            const Point tick[] = {{b.minX() + 1, b.midY()}, {b.minX() + 5, b.midY() + 4}, {b.minX() + 5, b.midY() + 4}, {b.maxX() - 1, b.midY() - 5}};
            g->strokeLineSegments(tick);
        } else {
            g->setStrokeColor(Color::grey(0.78));
            const Point chevron[] = {{b.midX() - 3, b.midY() - 6}, {b.midX() + 3, b.midY()}, {b.midX() + 3, b.midY()}, {b.midX() - 3, b.midY() + 6}};
            g->strokeLineSegments(chevron);
        }
    }
};

std::shared_ptr<Label> makeLabel(double size, bool bold, Color color) {
    auto label = std::make_shared<Label>();
    label->setFont(bold ? Font::boldSystemFont(size) : Font::systemFont(size));
    label->setTextColor(color);
    label->setBackgroundColor(std::nullopt);
    label->setNumberOfLines(1);
    label->setLineBreakMode(LineBreakMode::TruncateTail);
    return label;
}

} // namespace

// ---- TableViewCell ----

TableViewCell::TableViewCell(TableViewCellStyle style, std::string reuseIdentifier)
    : View(Rect(0, 0, 320, kDefaultHeight)), m_style(style), m_reuseIdentifier(std::move(reuseIdentifier)) {
    setBackgroundColor(Color::white());
    m_contentView = std::make_shared<View>(bounds());
    m_contentView->setBackgroundColor(std::nullopt);
    m_imageView = std::make_shared<ImageView>();
    m_imageView->setBackgroundColor(std::nullopt);
    m_contentView->addSubview(m_imageView);
    switch (style) {
    case TableViewCellStyle::Default:
        m_textLabel = makeLabel(17, false, Color::black());
        break;
    case TableViewCellStyle::Value1:
        m_textLabel = makeLabel(17, false, Color::black());
        m_detailTextLabel = makeLabel(17, false, Color::grey(0.56));
        m_detailTextLabel->setTextAlignment(TextAlignment::Right);
        break;
    case TableViewCellStyle::Value2:
        m_textLabel = makeLabel(12, true, Color::fromRGBA255(0, 122, 255));
        m_textLabel->setTextAlignment(TextAlignment::Right);
        m_detailTextLabel = makeLabel(15, false, Color::black());
        break;
    case TableViewCellStyle::Subtitle:
        m_textLabel = makeLabel(17, false, Color::black());
        m_detailTextLabel = makeLabel(12, false, Color::black());
        break;
    }
    m_contentView->addSubview(m_textLabel);
    if (m_detailTextLabel)
        m_contentView->addSubview(m_detailTextLabel);
    m_defaultSelectedBackground = std::make_shared<View>();
    m_defaultSelectedBackground->setBackgroundColor(Color::grey(0.85));
    m_separator = std::make_shared<View>();
    m_separator->setHidden(true);
    m_glyph = std::make_shared<AccessoryGlyph>();
    setNeedsLayout();
}

// A view is not shared yet in its constructor, so its own subviews join it on the first layout.
void TableViewCell::attachParts() {
    if (m_contentView->superview().get() == this)
        return;
    insertSubviewAt(m_contentView, m_backgroundView ? 1 : 0);
    addSubview(m_glyph);
    addSubview(m_separator);
}

void TableViewCell::setLayered(std::shared_ptr<View>& slot, std::shared_ptr<View> view, std::size_t index) {
    if (slot)
        slot->removeFromSuperview();
    slot = std::move(view);
    if (slot)
        insertSubviewAt(slot, index);
    setNeedsLayout();
}

void TableViewCell::setBackgroundView(std::shared_ptr<View> view) { setLayered(m_backgroundView, std::move(view), 0); }

void TableViewCell::setSelectedBackgroundView(std::shared_ptr<View> view) {
    m_selectedBackgroundView = std::move(view);
    showSelection();
}

void TableViewCell::setAccessoryView(std::shared_ptr<View> view) {
    setLayered(m_accessoryView, std::move(view), subviews().size());
}

void TableViewCell::setSelected(bool selected, bool /*animated*/) {
    m_selected = selected;
    showSelection();
}

void TableViewCell::showSelection() {
    for (const auto& v : {m_selectedBackgroundView, m_defaultSelectedBackground})
        if (v && v->superview().get() == this)
            v->removeFromSuperview();
    if (!m_selected || m_selectionStyle == TableViewCellSelectionStyle::None)
        return;
    auto shown = m_selectedBackgroundView ? m_selectedBackgroundView : m_defaultSelectedBackground;
    insertSubviewAbove(shown, m_backgroundView);
    if (!m_backgroundView)
        insertSubviewAt(shown, 0);
    shown->setFrame(bounds());
}

void TableViewCell::prepareForReuse() {
    setSelected(false);
}

void TableViewCell::layoutSubviews() {
    attachParts();
    Rect b = bounds();
    if (m_backgroundView)
        m_backgroundView->setFrame(b);
    showSelection();
    // The accessory takes the right; the content view the rest.
    double accessoryWidth = 0;
    auto* glyph = static_cast<AccessoryGlyph*>(m_glyph.get());
    glyph->type = m_accessoryType;
    glyph->setHidden(m_accessoryView || m_accessoryType == TableViewCellAccessoryType::None);
    if (m_accessoryView) {
        Size s = m_accessoryView->bounds().size;
        m_accessoryView->setFrame(Rect(b.width() - kMargin - s.width, (b.height() - s.height) / 2, s.width, s.height));
        accessoryWidth = s.width + kMargin;
    } else if (!glyph->isHidden()) {
        glyph->setFrame(Rect(b.width() - kMargin - 12, (b.height() - 16) / 2, 12, 16));
        accessoryWidth = 12 + kMargin;
    }
    m_contentView->setFrame(Rect(0, 0, b.width() - accessoryWidth, b.height()));
    Rect c = m_contentView->bounds();
    double x = kMargin;
    if (auto image = m_imageView->image()) {
        Size s = image->size();
        m_imageView->setFrame(Rect(kMargin, (c.height() - s.height) / 2, s.width, s.height));
        x = kMargin + s.width + kMargin;
    } else {
        m_imageView->setFrame(Rect());
    }
    double right = c.width() - (accessoryWidth > 0 ? 8 : kMargin);
    double width = std::max(0.0, right - x);
    double lineText = m_textLabel->font().lineHeight();
    switch (m_style) {
    case TableViewCellStyle::Default:
        m_textLabel->setFrame(Rect(x, 0, width, c.height()));
        break;
    case TableViewCellStyle::Value1: {
        double detail = std::min(width, m_detailTextLabel->sizeThatFits(Size{width, c.height()}).width);
        m_detailTextLabel->setFrame(Rect(right - detail, 0, detail, c.height()));
        m_textLabel->setFrame(Rect(x, 0, std::max(0.0, width - detail - 8), c.height()));
        break;
    }
    case TableViewCellStyle::Value2:
        m_textLabel->setFrame(Rect(x, 0, kValue2TitleWidth, c.height()));
        m_detailTextLabel->setFrame(Rect(x + kValue2TitleWidth + 6, 0, std::max(0.0, width - kValue2TitleWidth - 6), c.height()));
        break;
    case TableViewCellStyle::Subtitle: {
        double lineDetail = m_detailTextLabel->font().lineHeight();
        bool hasDetail = !m_detailTextLabel->text().empty();
        double top = (c.height() - lineText - (hasDetail ? lineDetail : 0)) / 2;
        m_textLabel->setFrame(Rect(x, top, width, lineText));
        m_detailTextLabel->setFrame(Rect(x, top + lineText, width, hasDetail ? lineDetail : 0));
        break;
    }
    }
    m_separator->setFrame(Rect(m_separatorInset.left, b.height() - 0.5, std::max(0.0, b.width() - m_separatorInset.left - m_separatorInset.right), 0.5));
    bringSubviewToFront(m_separator);
}

void TableViewCell::showSeparator(bool shown, const Color& color, EdgeInsets inset) {
    attachParts();
    m_separator->setHidden(!shown);
    m_separator->setBackgroundColor(color);
    m_separatorInset = inset;
    setNeedsLayout();
}

// ---- TableView ----

TableView::TableView(Rect frame, TableViewStyle style)
    : ScrollView(frame), m_style(style),
      m_headerHeight(style == TableViewStyle::Grouped ? kGroupedSectionGap : 0),
      m_footerHeight(style == TableViewStyle::Grouped ? kGroupedSectionGap : 0) {
    setBackgroundColor(style == TableViewStyle::Grouped ? Color::fromRGBA255(239, 239, 244) : Color::white());
    setNeedsLayout();  // loads on the first layout
}

void TableView::setRowHeight(double height) {
    if (std::isfinite(height) && height >= 0)
        m_rowHeight = height;
}

void TableView::setEdgeView(std::shared_ptr<View>& slot, std::shared_ptr<View> view) {
    if (slot)
        slot->removeFromSuperview();
    slot = std::move(view);
    if (slot)
        addSubview(slot);
    if (m_loaded)
        reloadData();
}

void TableView::enqueue(const std::shared_ptr<TableViewCell>& cell) {
    cell->removeFromSuperview();
    cell->prepareForReuse();
    m_reusable[cell->reuseIdentifier()].push_back(cell);
}

void TableView::reloadData() {
    m_loaded = true;
    for (auto& [path, cell] : m_visible)
        enqueue(cell);
    m_visible.clear();
    for (auto& s : m_sections)
        for (const auto& v : {s.header, s.footer})
            if (v)
                v->removeFromSuperview();
    m_sections.clear();
    m_selected.reset();

    auto source = dataSource();
    auto delegate = tableDelegate();
    auto height = [](std::optional<double> h, double fallback) {
        return h && std::isfinite(*h) && *h >= 0 ? *h : fallback;
    };
    double width = bounds().width();
    double y = 0;
    if (m_tableHeaderView) {
        m_tableHeaderView->setFrame(Rect(0, 0, width, m_tableHeaderView->bounds().height()));
        y = m_tableHeaderView->bounds().height();
    }
    long sections = source ? source->numberOfSections(*this) : 0;
    if (sections < 0) {
        Log::writef("TableView: the data source gave %ld sections; read as 0", sections);
        sections = 0;
    }
    m_sections.resize(static_cast<std::size_t>(sections));
    for (long s = 0; s < sections; ++s) {
        Section& section = m_sections[static_cast<std::size_t>(s)];
        section.top = y;
        section.header = delegate ? delegate->viewForHeader(*this, s) : nullptr;
        section.footer = delegate ? delegate->viewForFooter(*this, s) : nullptr;
        section.headerHeight = height(delegate ? delegate->heightForHeader(*this, s) : std::nullopt,
                                      section.header ? std::max(m_headerHeight, section.header->bounds().height()) : m_headerHeight);
        section.footerHeight = height(delegate ? delegate->heightForFooter(*this, s) : std::nullopt,
                                      section.footer ? std::max(m_footerHeight, section.footer->bounds().height()) : m_footerHeight);
        y += section.headerHeight;
        long rows = source->numberOfRows(*this, s);
        if (rows < 0) {
            Log::writef("TableView: the data source gave %ld rows in section %ld; read as 0", rows, s);
            rows = 0;
        }
        section.rowTops.reserve(static_cast<std::size_t>(rows) + 1);
        for (long r = 0; r < rows; ++r) {
            section.rowTops.push_back(y);
            y += height(delegate ? delegate->heightForRow(*this, {s, r}) : std::nullopt, m_rowHeight);
        }
        section.rowTops.push_back(y);
        if (section.header) {
            section.header->setFrame(Rect(0, section.top, width, section.headerHeight));
            addSubview(section.header);
        }
        if (section.footer) {
            section.footer->setFrame(Rect(0, y, width, section.footerHeight));
            addSubview(section.footer);
        }
        y += section.footerHeight;
    }
    if (m_tableFooterView) {
        m_tableFooterView->setFrame(Rect(0, y, width, m_tableFooterView->bounds().height()));
        y += m_tableFooterView->bounds().height();
    }
    setContentSize(Size{width, y});
    if (contentOffset().y > maximumOffset().y)
        setContentOffset(Point{contentOffset().x, maximumOffset().y});
    layoutVisibleCells();
}

long TableView::numberOfRows(long section) const {
    if (section < 0 || section >= numberOfSections())
        return 0;
    return static_cast<long>(m_sections[static_cast<std::size_t>(section)].rowTops.size()) - 1;
}

bool TableView::validIndex(IndexPath p, const char* what) const {
    if (p.section >= 0 && p.section < numberOfSections() && p.row >= 0 && p.row < numberOfRows(p.section))
        return true;
    Log::writef("TableView: %s of row %ld in section %ld, which does not exist; ignored", what, p.row, p.section);
    return false;
}

Rect TableView::rectForRow(IndexPath p) const {
    if (p.section < 0 || p.section >= numberOfSections() || p.row < 0 || p.row >= numberOfRows(p.section))
        return {};
    const auto& tops = m_sections[static_cast<std::size_t>(p.section)].rowTops;
    auto r = static_cast<std::size_t>(p.row);
    return Rect(0, tops[r], bounds().width(), tops[r + 1] - tops[r]);
}

std::optional<IndexPath> TableView::indexPathForRow(Point point) const {
    auto it = std::upper_bound(m_sections.begin(), m_sections.end(), point.y, [](double y, const Section& s) { return y < s.top; });
    if (it == m_sections.begin())
        return std::nullopt;
    const Section& s = *--it;
    auto row = std::upper_bound(s.rowTops.begin(), s.rowTops.end(), point.y);
    if (row == s.rowTops.begin() || row == s.rowTops.end())
        return std::nullopt;
    return IndexPath{it - m_sections.begin(), (row - s.rowTops.begin()) - 1};
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCell(const std::string& identifier) {
    auto it = m_reusable.find(identifier);
    if (it == m_reusable.end() || it->second.empty())
        return nullptr;
    auto cell = std::move(it->second.back());
    it->second.pop_back();
    return cell;
}

std::shared_ptr<TableViewCell> TableView::cellForRow(IndexPath p) const {
    auto it = m_visible.find(p);
    return it == m_visible.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<TableViewCell>> TableView::visibleCells() const {
    std::vector<std::shared_ptr<TableViewCell>> cells;
    for (const auto& [path, cell] : m_visible)
        cells.push_back(cell);
    return cells;
}

void TableView::layoutSubviews() {
    if (!m_loaded)
        reloadData();
    else
        layoutVisibleCells();
}

void TableView::layoutVisibleCells() {
    if (!m_loaded)
        return;
    const double top = contentOffset().y, bottom = top + bounds().height();
    // The rows on screen; cells that left go back to the queue before new ones are asked for.
    std::vector<IndexPath> rows;
    for (std::size_t s = 0; s < m_sections.size(); ++s) {
        const auto& tops = m_sections[s].rowTops;
        if (tops.back() <= top || tops.front() >= bottom)
            continue;
        auto first = std::upper_bound(tops.begin(), tops.end(), top);
        std::size_t r = first == tops.begin() ? 0 : static_cast<std::size_t>(first - tops.begin()) - 1;
        for (; r + 1 < tops.size() && tops[r] < bottom; ++r)
            if (tops[r + 1] > tops[r])  // rows of no height show nothing
                rows.push_back({static_cast<long>(s), static_cast<long>(r)});
    }
    for (auto it = m_visible.begin(); it != m_visible.end();) {
        if (std::binary_search(rows.begin(), rows.end(), it->first)) {
            ++it;
        } else {
            enqueue(it->second);
            it = m_visible.erase(it);
        }
    }
    auto source = dataSource();
    for (IndexPath path : rows) {
        auto& cell = m_visible[path];
        if (!cell) {
            cell = source ? source->cellForRow(*this, path) : nullptr;
            if (!cell)
                internalInconsistency(formatString("TableView: the data source gave no cell for row %ld of section %ld", path.row, path.section));
            cell->setSelected(m_selected == path);
            cell->showSeparator(m_separatorStyle == TableViewCellSeparatorStyle::SingleLine, m_separatorColor, m_separatorInset);
            insertSubviewAt(cell, 0);
        }
        cell->setFrame(rectForRow(path));
        cell->layoutIfNeeded();
    }
}

void TableView::selectRow(std::optional<IndexPath> p, bool animated) {
    if (!m_loaded)
        reloadData();
    if (p && !validIndex(*p, "selection"))
        return;
    if (m_selected)
        if (auto old = cellForRow(*m_selected))
            old->setSelected(false, animated);
    m_selected = p;
    if (p)
        if (auto cell = cellForRow(*p))
            cell->setSelected(true, animated);
}

void TableView::deselectRow(IndexPath p, bool animated) {
    if (m_selected != p)
        return;
    if (auto cell = cellForRow(p))
        cell->setSelected(false, animated);
    m_selected.reset();
}

void TableView::scrollToRow(IndexPath p, bool animated) {
    if (validIndex(p, "scroll"))
        scrollRectToVisible(rectForRow(p), animated);
}

bool TableView::tapRow(long section, long row) {
    if (!m_loaded)
        reloadData();
    IndexPath path{section, row};
    if (!validIndex(path, "tap"))
        return false;
    auto delegate = tableDelegate();
    std::optional<IndexPath> target = delegate ? delegate->willSelectRow(*this, path) : path;
    if (!target || !validIndex(*target, "selection"))
        return false;
    std::optional<IndexPath> previous = m_selected;
    if (previous && previous != target) {
        deselectRow(*previous, false);
        if (delegate)
            delegate->didDeselectRow(*this, *previous);
    }
    selectRow(target, false);
    if ((delegate = tableDelegate()))
        delegate->didSelectRow(*this, *target);
    return true;
}

void TableView::touchesEnded(const TouchSet& touches) {
    if (touches.empty())
        return;
    Point p = touches.front()->locationInView(this);
    if (!bounds().contains(p))
        return;
    if (auto path = indexPathForRow(p))
        tapRow(path->section, path->row);
}

// ---- TableViewController ----

void TableViewController::loadView() {
    auto table = std::make_shared<TableView>(Screen::main().bounds(), m_style);
    table->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
    auto self = shared_from_this();
    if (auto source = std::dynamic_pointer_cast<TableViewDataSource>(self))
        table->setDataSource(source);
    if (auto delegate = std::dynamic_pointer_cast<TableViewDelegate>(self))
        table->setTableDelegate(delegate);
    setView(table);
}

std::shared_ptr<TableView> TableViewController::tableView() { return std::static_pointer_cast<TableView>(view()); }

void TableViewController::viewWillAppear(bool animated) {
    auto table = tableView();
    if (m_clearsSelection)
        if (auto selected = table->indexPathForSelectedRow())
            table->deselectRow(*selected, animated);
}

} // namespace platform
