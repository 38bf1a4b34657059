// A picker: spinning wheels (components) of rows from a data source, titles or views from a delegate,
// the selected row of each wheel in the middle.
//
// Guarantees:
// - Main thread only. The data source and delegate are held weakly.
// - selectRow from code tells no one; a user's spin (the driver) tells the delegate didSelectRow.
// - An animated selection (and a spin) turns the wheel to its row over kSpinDuration on the platform
//   clock, recorded as the layer's animation "spin.N" (N the component); the selection itself changes at
//   once.
// - Counts below 0 read as 0 (logged); a row or component out of range is ignored with a log line; a
//   selection beyond the rows after a reload moves to the last row.
#pragma once

#include "platform/ui/View.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class PickerView;

class PickerViewDataSource {
public:
    virtual ~PickerViewDataSource() = default;
    virtual long numberOfComponents(PickerView&) = 0;
    virtual long numberOfRows(PickerView&, long component) = 0;
};

class PickerViewDelegate {
public:
    virtual ~PickerViewDelegate() = default;
    virtual std::optional<std::string> titleForRow(PickerView&, long /*row*/, long /*component*/) { return std::nullopt; }
    // A view for the row (reusing: a view this component showed before and no longer shows, or nullptr).
    virtual std::shared_ptr<View> viewForRow(PickerView&, long /*row*/, long /*component*/, std::shared_ptr<View> /*reusing*/) { return nullptr; }
    virtual std::optional<double> widthForComponent(PickerView&, long /*component*/) { return std::nullopt; }
    virtual std::optional<double> rowHeightForComponent(PickerView&, long /*component*/) { return std::nullopt; }
    virtual void didSelectRow(PickerView&, long /*row*/, long /*component*/) {}
};

class PickerView : public View {
public:
    static constexpr double kDefaultHeight = 216;
    static constexpr double kDefaultRowHeight = 32;
    static constexpr double kComponentGap = 5;
    static constexpr double kSpinDuration = 0.3;

    explicit PickerView(Rect frame = Rect(0, 0, 320, kDefaultHeight));

    std::shared_ptr<PickerViewDataSource> dataSource() const { return m_dataSource.lock(); }
    void setDataSource(std::weak_ptr<PickerViewDataSource> source) { m_dataSource = std::move(source); reloadAllComponents(); }
    std::shared_ptr<PickerViewDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(std::weak_ptr<PickerViewDelegate> delegate) { m_delegate = std::move(delegate); reloadAllComponents(); }
    bool showsSelectionIndicator() const { return m_showsSelectionIndicator; }
    void setShowsSelectionIndicator(bool shows) { m_showsSelectionIndicator = shows; setNeedsDisplay(); }

    long numberOfComponents() const { return static_cast<long>(m_components.size()); }
    long numberOfRows(long component) const;
    // -1 when the component has no rows (or does not exist).
    long selectedRowInComponent(long component) const;
    void selectRow(long row, long component, bool animated);
    void reloadComponent(long component);
    void reloadAllComponents();
    Size rowSizeForComponent(long component) const;
    // The view shown for a row (from viewForRow), when it is on screen.
    std::shared_ptr<View> viewForRow(long row, long component) const;

    // The user spins a wheel to a row: selects it and tells the delegate. False when out of range.
    bool spin(long component, long row);
    // The row the wheel shows in the middle now: the selected one, or a fraction on the way to it while
    // the wheel turns; -1 for a component that does not exist.
    double wheelPosition(long component) const;

    void drawRect(Rect rect) override;

protected:
    void layoutSubviews() override;

private:
    struct Component {
        long rows = 0;
        long selected = 0;
        double width = 0;
        double rowHeight = kDefaultRowHeight;
        std::vector<std::pair<long, std::shared_ptr<View>>> views;  // rows on screen with their views
    };
    bool valid(long row, long component, const char* what) const;
    Rect componentRect(long component) const;
    void loadComponent(long component);
    void placeViews(long component);
    static std::string spinKey(long component);

    std::weak_ptr<PickerViewDataSource> m_dataSource;
    std::weak_ptr<PickerViewDelegate> m_delegate;
    std::vector<Component> m_components;
    bool m_showsSelectionIndicator = false;
};

} // namespace platform
