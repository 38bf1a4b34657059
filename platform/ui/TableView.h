// A table: rows in sections, plain or grouped, from a data source, with a delegate for heights, header
// and footer views and selection. Cells are made only for the rows on screen and reused by identifier.
//
// Guarantees:
// - Main thread only. The data source and delegate are held weakly.
// - Counts from the data source are clamped at 0 (negative ones logged); a row or section index out of
//   range given to selectRow, scrollToRow or the driver is ignored with a log line. A data source that
//   gives no cell for a visible row is a programming error (an internal-consistency failure).
// - Layout is computed once per reloadData (prefix sums of the heights), so scrolling a table of any
//   length touches only the visible rows.
#pragma once

#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/ViewController.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class TableView;

struct IndexPath {
    long section = 0;
    long row = 0;
    friend auto operator<=>(const IndexPath&, const IndexPath&) = default;
};

// The platform's numbers.
enum class TableViewStyle { Plain = 0, Grouped = 1 };
enum class TableViewCellStyle { Default = 0, Value1 = 1, Value2 = 2, Subtitle = 3 };
enum class TableViewCellAccessoryType { None = 0, DisclosureIndicator = 1, DetailDisclosureButton = 2, Checkmark = 3 };
enum class TableViewCellSelectionStyle { None = 0, Blue = 1, Gray = 2 };
enum class TableViewCellSeparatorStyle { None = 0, SingleLine = 1 };

class TableViewCell : public View {
public:
    static constexpr double kDefaultHeight = 44;

    TableViewCell(TableViewCellStyle style, std::string reuseIdentifier);

    TableViewCellStyle style() const { return m_style; }
    const std::string& reuseIdentifier() const { return m_reuseIdentifier; }
    const std::shared_ptr<View>& contentView() const { return m_contentView; }
    const std::shared_ptr<Label>& textLabel() const { return m_textLabel; }
    // nullptr for the default style, which has none.
    const std::shared_ptr<Label>& detailTextLabel() const { return m_detailTextLabel; }
    const std::shared_ptr<ImageView>& imageView() const { return m_imageView; }

    TableViewCellAccessoryType accessoryType() const { return m_accessoryType; }
    void setAccessoryType(TableViewCellAccessoryType type) { m_accessoryType = type; setNeedsLayout(); }
    std::shared_ptr<View> accessoryView() const { return m_accessoryView; }
    void setAccessoryView(std::shared_ptr<View> view);
    TableViewCellSelectionStyle selectionStyle() const { return m_selectionStyle; }
    void setSelectionStyle(TableViewCellSelectionStyle style) { m_selectionStyle = style; }
    std::shared_ptr<View> backgroundView() const { return m_backgroundView; }
    void setBackgroundView(std::shared_ptr<View> view);
    std::shared_ptr<View> selectedBackgroundView() const { return m_selectedBackgroundView; }
    void setSelectedBackgroundView(std::shared_ptr<View> view);
    bool isSelected() const { return m_selected; }
    void setSelected(bool selected, bool animated = false);

    // Called before the table hands the cell out again (override to reset your own state).
    virtual void prepareForReuse();

protected:
    void layoutSubviews() override;

private:
    friend class TableView;
    void attachParts();
    void showSeparator(bool shown, const Color& color, EdgeInsets inset);
    void setLayered(std::shared_ptr<View>& slot, std::shared_ptr<View> view, std::size_t index);
    void showSelection();

    TableViewCellStyle m_style;
    std::string m_reuseIdentifier;
    std::shared_ptr<View> m_contentView;
    std::shared_ptr<Label> m_textLabel, m_detailTextLabel;
    std::shared_ptr<ImageView> m_imageView;
    TableViewCellAccessoryType m_accessoryType = TableViewCellAccessoryType::None;
    std::shared_ptr<View> m_accessoryView, m_backgroundView, m_selectedBackgroundView, m_defaultSelectedBackground;
    std::shared_ptr<View> m_separator, m_glyph;
    EdgeInsets m_separatorInset;
    TableViewCellSelectionStyle m_selectionStyle = TableViewCellSelectionStyle::Blue;
    bool m_selected = false;
};

class TableViewDataSource {
public:
    virtual ~TableViewDataSource() = default;
    virtual long numberOfSections(TableView&) { return 1; }
    virtual long numberOfRows(TableView&, long section) = 0;
    virtual std::shared_ptr<TableViewCell> cellForRow(TableView&, IndexPath indexPath) = 0;
};

class TableViewDelegate {
public:
    virtual ~TableViewDelegate() = default;
    // nullopt: the table's own (rowHeight, sectionHeaderHeight, ...).
    virtual std::optional<double> heightForRow(TableView&, IndexPath) { return std::nullopt; }
    virtual std::optional<double> heightForHeader(TableView&, long /*section*/) { return std::nullopt; }
    virtual std::optional<double> heightForFooter(TableView&, long /*section*/) { return std::nullopt; }
    virtual std::shared_ptr<View> viewForHeader(TableView&, long /*section*/) { return nullptr; }
    virtual std::shared_ptr<View> viewForFooter(TableView&, long /*section*/) { return nullptr; }
    // The row to select instead (nullopt: none).
    virtual std::optional<IndexPath> willSelectRow(TableView&, IndexPath indexPath) { return indexPath; }
    virtual void didSelectRow(TableView&, IndexPath) {}
    virtual void didDeselectRow(TableView&, IndexPath) {}
};

class TableView : public ScrollView {
public:
    TableView(Rect frame, TableViewStyle style);

    TableViewStyle style() const { return m_style; }
    std::shared_ptr<TableViewDataSource> dataSource() const { return m_dataSource.lock(); }
    void setDataSource(std::weak_ptr<TableViewDataSource> source) { m_dataSource = std::move(source); }
    std::shared_ptr<TableViewDelegate> tableDelegate() const { return m_delegate.lock(); }
    void setTableDelegate(std::weak_ptr<TableViewDelegate> delegate) { m_delegate = std::move(delegate); }

    double rowHeight() const { return m_rowHeight; }
    void setRowHeight(double height);
    double sectionHeaderHeight() const { return m_headerHeight; }
    void setSectionHeaderHeight(double height) { if (std::isfinite(height) && height >= 0) m_headerHeight = height; }
    double sectionFooterHeight() const { return m_footerHeight; }
    void setSectionFooterHeight(double height) { if (std::isfinite(height) && height >= 0) m_footerHeight = height; }
    TableViewCellSeparatorStyle separatorStyle() const { return m_separatorStyle; }
    void setSeparatorStyle(TableViewCellSeparatorStyle style) { m_separatorStyle = style; setNeedsDisplay(); }
    Color separatorColor() const { return m_separatorColor; }
    void setSeparatorColor(const Color& color) { m_separatorColor = color; setNeedsDisplay(); }
    EdgeInsets separatorInset() const { return m_separatorInset; }
    void setSeparatorInset(EdgeInsets inset) { m_separatorInset = inset; setNeedsDisplay(); }
    std::shared_ptr<View> tableHeaderView() const { return m_tableHeaderView; }
    void setTableHeaderView(std::shared_ptr<View> view) { setEdgeView(m_tableHeaderView, std::move(view)); }
    std::shared_ptr<View> tableFooterView() const { return m_tableFooterView; }
    void setTableFooterView(std::shared_ptr<View> view) { setEdgeView(m_tableFooterView, std::move(view)); }

    // Asks the data source again; the selection is dropped.
    void reloadData();
    long numberOfSections() const { return static_cast<long>(m_sections.size()); }
    long numberOfRows(long section) const;
    // A cell put back by the table (its prepareForReuse ran), or nullptr.
    std::shared_ptr<TableViewCell> dequeueReusableCell(const std::string& identifier);
    // The cell shown for a row (nullptr when the row is not on screen).
    std::shared_ptr<TableViewCell> cellForRow(IndexPath indexPath) const;
    std::vector<std::shared_ptr<TableViewCell>> visibleCells() const;
    Rect rectForRow(IndexPath indexPath) const;
    std::optional<IndexPath> indexPathForRow(Point point) const;  // content coordinates

    // Selection from code: no delegate calls.
    void selectRow(std::optional<IndexPath> indexPath, bool animated);
    void deselectRow(IndexPath indexPath, bool animated);
    std::optional<IndexPath> indexPathForSelectedRow() const { return m_selected; }
    void scrollToRow(IndexPath indexPath, bool animated);

    // The user taps a row (test driver, touches): willSelect, the previous row's didDeselect, then
    // didSelect. Answers whether a row was selected.
    bool tapRow(long section, long row);

    void touchesEnded(const TouchSet& touches) override;

protected:
    void layoutSubviews() override;
    void didChangeContentOffset() override { layoutVisibleCells(); }

private:
    struct Section {
        double top = 0;           // of the header
        double headerHeight = 0;
        double footerHeight = 0;
        std::vector<double> rowTops;  // rowTops[i]: top of row i; one more for the end of the last row
        std::shared_ptr<View> header, footer;
    };
    void setEdgeView(std::shared_ptr<View>& slot, std::shared_ptr<View> view);
    bool validIndex(IndexPath indexPath, const char* what) const;
    void layoutVisibleCells();
    void enqueue(const std::shared_ptr<TableViewCell>& cell);

    TableViewStyle m_style;
    std::weak_ptr<TableViewDataSource> m_dataSource;
    std::weak_ptr<TableViewDelegate> m_delegate;
    double m_rowHeight = TableViewCell::kDefaultHeight;
    double m_headerHeight, m_footerHeight;
    TableViewCellSeparatorStyle m_separatorStyle = TableViewCellSeparatorStyle::SingleLine;
    Color m_separatorColor = Color::grey(0.78);
    EdgeInsets m_separatorInset{0, 15, 0, 0};
    std::shared_ptr<View> m_tableHeaderView, m_tableFooterView;
    std::vector<Section> m_sections;
    std::map<IndexPath, std::shared_ptr<TableViewCell>> m_visible;
    std::map<std::string, std::vector<std::shared_ptr<TableViewCell>>> m_reusable;
    std::optional<IndexPath> m_selected;
    bool m_loaded = false;
};

// A controller whose view is a table; it is the table's data source and delegate when it implements them.
class TableViewController : public ViewController {
public:
    explicit TableViewController(TableViewStyle style = TableViewStyle::Plain) : m_style(style) {}
    std::shared_ptr<TableView> tableView();
    bool clearsSelectionOnViewWillAppear() const { return m_clearsSelection; }
    void setClearsSelectionOnViewWillAppear(bool clears) { m_clearsSelection = clears; }

    void loadView() override;
    void viewWillAppear(bool animated) override;

private:
    TableViewStyle m_style;
    bool m_clearsSelection = true;
};

} // namespace platform
