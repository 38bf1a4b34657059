// A full-screen list of texts with a header row (its title optional) and an optional footer row. A tap
// on a row (or on the footer, which counts as the row after the last) tells the delegate and removes the
// list. The header's close button (text 10004, "Cancel") removes it choosing nothing (the delegate hears
// `listViewDidCancel`). When editable, each row has a delete button: the delegate hears the index, and
// `refreshListAfterDeleted` then takes the row out. The selected row is marked. The header row stays
// at the top while the rows (and the footer) scroll below it, however many there are. A list laid over
// the status-bar strip of a screen leaves the strip showing: its header starts below it.
//
// The rows are built once, when the list first goes on screen, is laid out or is asked for them, however
// many setters ran before; a setter called while it shows builds them again. Row texts are cut for
// layout (BCTextSize.h).
//
// Main thread only. The delegate is held weakly.
#pragma once

#include "platform/core/Value.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cardpay {

class BCListView;

class BCListViewDelegate {
public:
    virtual ~BCListViewDelegate() = default;
    // A row's index; the row count for the footer. The list removes itself afterwards.
    virtual void listViewDidSelectedAtIndex(BCListView& list, long index) = 0;
    virtual void listViewDidDeletedAtIndex(BCListView&, long /*index*/) {}
    // The list was closed without a choice; it removes itself afterwards.
    virtual void listViewDidCancel(BCListView&) {}
};

class BCListView : public platform::View {
public:
    static constexpr double kRowHeight = 44;

    BCListView(platform::Rect frame, std::vector<std::string> list);

    void setDelegate(std::weak_ptr<BCListViewDelegate> delegate) { m_delegate = std::move(delegate); }
    void setEditable(bool editable);
    void setSelectedIndex(long index);
    void setHeaderTitle(const std::optional<std::string>& title);
    void setFooterTitle(const std::optional<std::string>& title);
    // The ends of the rows' texts that are never cut (a card's masked number, which tells the cards
    // apart), one per row ("" for none): a row too long for its line cuts the rest at its tail and shows
    // such an end whole after it.
    void setWholeEnds(std::vector<std::string> ends);
    // The masked numbers of bound cards ([id, bank name, masked number] each), as whole ends of their rows.
    static std::vector<std::string> cardNumbers(const platform::Array& cards);
    // Takes out the row whose deletion was last told.
    void refreshListAfterDeleted();

    const std::vector<std::string>& list() const { return m_list; }
    long selectedIndex() const { return m_selected; }
    // The row controls, the footer and each row's delete button (for drivers and tests).
    const std::vector<std::shared_ptr<platform::Control>>& rows() const { ensureBuilt(); return m_rows; }
    const std::shared_ptr<platform::Control>& footer() const { ensureBuilt(); return m_footer; }
    const std::vector<std::shared_ptr<platform::Button>>& deleteButtons() const { ensureBuilt(); return m_deleteButtons; }
    const std::shared_ptr<platform::Label>& headerLabel() const { ensureBuilt(); return m_header; }
    const std::shared_ptr<platform::Button>& closeButton() const { ensureBuilt(); return m_closeButton; }
    // How many times the rows were built (for tests).
    int builds() const { return m_builds; }

    void selectRow(long index);
    void deleteRow(long index);
    void closeList();

    void didMoveToSuperview() override;
    void layoutSubviews() override;

private:
    // Builds the rows when they are out of date.
    void ensureBuilt() const;
    void changed();
    void rebuild();
    std::shared_ptr<platform::Control> makeRow(double y, const std::string& text, bool marked, bool footer,
                                               const std::string& wholeEnd = {});

    std::vector<std::string> m_list;
    std::vector<std::string> m_wholeEnds;
    std::weak_ptr<BCListViewDelegate> m_delegate;
    bool m_editable = false;
    long m_selected = -1;
    std::optional<long> m_deleted;
    std::optional<std::string> m_headerTitle, m_footerTitle;
    double m_top = 0;  // where the header starts (below a status-bar strip)
    std::shared_ptr<platform::ScrollView> m_scroll;
    std::shared_ptr<platform::Label> m_header;
    std::shared_ptr<platform::Button> m_closeButton;
    bool m_built = false;
    int m_builds = 0;
    std::vector<std::shared_ptr<platform::Control>> m_rows;
    std::vector<std::shared_ptr<platform::Button>> m_deleteButtons;
    std::shared_ptr<platform::Control> m_footer;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace cardpay
