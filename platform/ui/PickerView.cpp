#include "platform/ui/PickerView.h"

#include "platform/core/Log.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>
#include <cmath>

namespace platform {

PickerView::PickerView(Rect frame) : View(frame) { setBackgroundColor(Color::white()); }

long PickerView::numberOfRows(long component) const {
    return component >= 0 && component < numberOfComponents() ? m_components[static_cast<std::size_t>(component)].rows : 0;
}

long PickerView::selectedRowInComponent(long component) const {
    if (component < 0 || component >= numberOfComponents())
        return -1;
    const Component& c = m_components[static_cast<std::size_t>(component)];
    return c.rows > 0 ? c.selected : -1;
}

bool PickerView::valid(long row, long component, const char* what) const {
    if (component >= 0 && component < numberOfComponents() && row >= 0 && row < numberOfRows(component))
        return true;
    Log::writef("PickerView: %s of row %ld in component %ld, which does not exist; ignored", what, row, component);
    return false;
}

void PickerView::loadComponent(long index) {
    auto source = dataSource();
    auto d = delegate();
    Component& c = m_components[static_cast<std::size_t>(index)];
    long rows = source ? source->numberOfRows(*this, index) : 0;
    if (rows < 0) {
        Log::writef("PickerView: the data source gave %ld rows in component %ld; read as 0", rows, index);
        rows = 0;
    }
    c.rows = rows;
    c.selected = std::clamp(c.selected, 0L, std::max(0L, rows - 1));
    auto positive = [](std::optional<double> v) { return v && std::isfinite(*v) && *v > 0 ? v : std::nullopt; };
    c.rowHeight = positive(d ? d->rowHeightForComponent(*this, index) : std::nullopt).value_or(kDefaultRowHeight);
    std::optional<double> width = positive(d ? d->widthForComponent(*this, index) : std::nullopt);
    c.width = width.value_or(0);  // 0: an equal share
}

void PickerView::reloadComponent(long component) {
    if (component < 0 || component >= numberOfComponents()) {
        Log::writef("PickerView: reload of component %ld, which does not exist; ignored", component);
        return;
    }
    loadComponent(component);
    placeViews(component);
}

void PickerView::reloadAllComponents() {
    auto source = dataSource();
    long count = source ? source->numberOfComponents(*this) : 0;
    if (count < 0) {
        Log::writef("PickerView: the data source gave %ld components; read as 0", count);
        count = 0;
    }
    for (std::size_t i = static_cast<std::size_t>(count); i < m_components.size(); ++i)
        for (auto& [row, view] : m_components[i].views)
            view->removeFromSuperview();
    m_components.resize(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i)
        loadComponent(i);
    for (long i = 0; i < count; ++i)
        placeViews(i);
}

Rect PickerView::componentRect(long component) const {
    double fixed = 0;
    long flexible = 0;
    for (const auto& c : m_components) {
        fixed += c.width;
        flexible += c.width > 0 ? 0 : 1;
    }
    double gaps = kComponentGap * static_cast<double>(std::max(0L, numberOfComponents() - 1));
    double share = flexible ? std::max(0.0, (bounds().width() - 2 * kComponentGap * 2 - gaps - fixed) / static_cast<double>(flexible)) : 0;
    double total = fixed + share * static_cast<double>(flexible) + gaps;
    double x = bounds().minX() + (bounds().width() - total) / 2;
    for (long i = 0; i < component; ++i) {
        const auto& c = m_components[static_cast<std::size_t>(i)];
        x += (c.width > 0 ? c.width : share) + kComponentGap;
    }
    const auto& c = m_components[static_cast<std::size_t>(component)];
    return Rect(x, bounds().minY(), c.width > 0 ? c.width : share, bounds().height());
}

Size PickerView::rowSizeForComponent(long component) const {
    if (component < 0 || component >= numberOfComponents())
        return {};
    return Size{componentRect(component).width(), m_components[static_cast<std::size_t>(component)].rowHeight};
}

// Asks the delegate for views of the rows on screen, handing back views of rows that left.
void PickerView::placeViews(long component) {
    auto d = delegate();
    Component& c = m_components[static_cast<std::size_t>(component)];
    Rect r = componentRect(component);
    double middle = r.midY() - c.rowHeight / 2;
    long reach = static_cast<long>(std::ceil(r.height() / 2 / c.rowHeight));
    std::vector<std::shared_ptr<View>> spare;
    for (auto& [row, view] : c.views) {
        view->removeFromSuperview();
        spare.push_back(view);
    }
    c.views.clear();
    if (!d)
        return;
    for (long row = std::max(0L, c.selected - reach); row < c.rows && row <= c.selected + reach; ++row) {
        std::shared_ptr<View> reuse;
        if (!spare.empty()) {
            reuse = spare.back();
            spare.pop_back();
        }
        auto view = d->viewForRow(*this, row, component, reuse);
        if (!view)
            continue;
        view->setFrame(Rect(r.minX(), middle + static_cast<double>(row - c.selected) * c.rowHeight, r.width(), c.rowHeight));
        view->setAlpha(row == c.selected ? 1 : 0.45);
        addSubview(view);
        c.views.emplace_back(row, view);
    }
}

std::shared_ptr<View> PickerView::viewForRow(long row, long component) const {
    if (component < 0 || component >= numberOfComponents())
        return nullptr;
    for (const auto& [r, view] : m_components[static_cast<std::size_t>(component)].views)
        if (r == row)
            return view;
    return nullptr;
}

std::string PickerView::spinKey(long component) { return "spin." + std::to_string(component); }

double PickerView::wheelPosition(long component) const {
    if (component < 0 || component >= numberOfComponents())
        return -1;
    if (const Animation* spin = layer()->animationForKey(spinKey(component)))
        if (auto position = spin->valueAt(Clock::current().now()))
            return *position;
    return static_cast<double>(m_components[static_cast<std::size_t>(component)].selected);
}

void PickerView::selectRow(long row, long component, bool animated) {
    if (!valid(row, component, "selection"))
        return;
    Component& c = m_components[static_cast<std::size_t>(component)];
    const double from = wheelPosition(component);
    c.selected = row;
    layer()->removeAnimation(spinKey(component));
    placeViews(component);
    setNeedsDisplay();
    if (!animated || from == static_cast<double>(row))
        return;
    layer()->addAnimation(Animation{"spin", from, static_cast<double>(row), kSpinDuration}, spinKey(component));
    // Row views start where the wheel stood and turn with it.
    const double shift = (static_cast<double>(row) - from) * c.rowHeight;
    std::vector<std::pair<std::shared_ptr<View>, Rect>> targets;
    for (const auto& [shown, view] : c.views) {
        targets.emplace_back(view, view->frame());
        view->setFrame(view->frame().offsetBy(0, shift));
    }
    ViewAnimation::animate(kSpinDuration, 0, kAnimationOptionCurveLinear, [&] {
        for (const auto& [view, frame] : targets)
            view->setFrame(frame);
    });
}

bool PickerView::spin(long component, long row) {
    if (!valid(row, component, "spin"))
        return false;
    selectRow(row, component, true);
    if (auto d = delegate())
        d->didSelectRow(*this, row, component);
    return true;
}

void PickerView::layoutSubviews() {
    for (long i = 0; i < numberOfComponents(); ++i)
        placeViews(i);
}

void PickerView::drawRect(Rect) {
    GraphicsContext* g = GraphicsContext::current();
    if (!g)
        return;
    auto d = delegate();
    for (long i = 0; i < numberOfComponents(); ++i) {
        const Component& c = m_components[static_cast<std::size_t>(i)];
        Rect r = componentRect(i);
        double middle = r.midY() - c.rowHeight / 2;
        // While the wheel turns, rows are drawn about the row it shows now.
        const double position = wheelPosition(i);
        const long centre = std::lround(position);
        g->saveState();
        g->clipToRect(r);
        if (d && c.views.empty()) {
            long reach = static_cast<long>(std::ceil(r.height() / 2 / c.rowHeight)) + 1;
            for (long row = std::max(0L, centre - reach); row < c.rows && row <= centre + reach; ++row) {
                auto title = d->titleForRow(*this, row, i);
                if (!title)
                    continue;
                long distance = std::abs(row - centre);
                TextStyle style;
                style.font = Font::systemFont(distance == 0 ? 21 : 19);
                style.color = distance == 0 ? Color::black() : Color::grey(0.55 + 0.1 * static_cast<double>(std::min(distance, 3L)));
                style.alignment = TextAlignment::Center;
                style.lineBreakMode = LineBreakMode::TruncateTail;
                style.numberOfLines = 1;
                double lineHeight = style.font.lineHeight();
                double y = middle + (static_cast<double>(row) - position) * c.rowHeight + (c.rowHeight - lineHeight) / 2;
                g->drawText(AttributedString(*title), style, Rect(r.minX() + 2, y, r.width() - 4, lineHeight));
            }
        }
        g->restoreState();
        // The band of the selection.
        g->setStrokeColor(Color::grey(0.8));
        g->setLineWidth(0.5);
        const Point band[] = {{r.minX(), middle}, {r.maxX(), middle}, {r.minX(), middle + c.rowHeight}, {r.maxX(), middle + c.rowHeight}};
        g->strokeLineSegments(band);
        if (m_showsSelectionIndicator) {
            g->setFillColor(Color::fromRGBA255(0, 122, 255).withAlpha(0.08));
            g->fillRect(Rect(r.minX(), middle, r.width(), c.rowHeight));
        }
    }
}

} // namespace platform
