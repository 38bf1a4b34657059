// An action sheet: a title and a list of buttons, one of them destructive (red) and one the cancel
// button, in a window of its own above the others.
//
// - On a phone, showInView slides the sheet up from the bottom of the screen over a dimmed background:
//   the title and the buttons in one rounded group, the cancel button in its own group below. A group
//   taller than the screen leaves room for (below the status bar, above the cancel button) scrolls.
// - On a pad, showFromRect:inView shows the buttons (not the cancel button) in a box whose arrow points
//   at the rectangle; showInView centres the box without an arrow. A tap outside the box dismisses the
//   sheet with the cancel index (clickedButtonAtIndex, willDismiss, didDismiss). A box cut to fit the
//   screen scrolls its rows.
// - A tap on a button tells the delegate clickedButtonAtIndex, then dismisses with that index.
//
// Guarantees:
// - Main thread only. A shown sheet keeps itself alive until it is dismissed; the delegate is held
//   weakly.
// - dismissWithClickedButtonIndex passes any index (-2, say) to the delegate unchanged and touches no
//   button. A sheet with no buttons shows, and code dismisses it. Dismissing a hidden sheet does nothing.
// - Rectangles are made sane as for popovers (see PopoverController.h).
#pragma once

#include "platform/ui/ButtonOverlay.h"

#include <optional>

#include <memory>
#include <string>
#include <vector>

namespace platform {

class ActionSheet;
class ScrollView;

class ActionSheetDelegate {
public:
    virtual ~ActionSheetDelegate() = default;
    virtual void clickedButtonAtIndex(ActionSheet&, long /*index*/) {}
    virtual void willDismissWithButtonIndex(ActionSheet&, long /*index*/) {}
    virtual void didDismissWithButtonIndex(ActionSheet&, long /*index*/) {}
};

class ActionSheet : public ButtonOverlay<ActionSheet, ActionSheetDelegate> {
public:
    static constexpr double kButtonHeight = 57;
    static constexpr double kPadWidth = 272;

    static std::shared_ptr<ActionSheet> create(const std::string& title = {}, const std::shared_ptr<ActionSheetDelegate>& delegate = nullptr);

    const std::string& title() const { return m_title; }
    void setTitle(const std::string& title) { m_title = title; }

    long destructiveButtonIndex() const { return m_destructiveIndex; }
    void setDestructiveButtonIndex(long index) { m_destructiveIndex = index; }
    long firstOtherButtonIndex() const;

    void showInView(View& view);
    void showFromRect(Rect rect, View& view, bool animated);
    // The sheet (phone) or box (pad) in window coordinates while shown.
    Rect sheetFrame() const;
    // The scroll view holding the title and the buttons (not a phone's cancel button) while shown.
    std::shared_ptr<ScrollView> rowsView() const;

private:
    friend class ButtonOverlay<ActionSheet, ActionSheetDelegate>;
    ActionSheet() = default;
    double dismissDuration() const;
    void animateOut(Window& window);
    // Builds the title and button rows (skipping the cancel button unless `withCancel`) into `into`,
    // `width` wide from y; answers the bottom.
    double buildRows(View& into, double width, double y, bool withCancel);
    void showOnPad(View& view, std::optional<Rect> rect, bool animated);

    std::string m_title;
    long m_destructiveIndex = -1;
    std::shared_ptr<View> m_sheet;
    std::weak_ptr<ScrollView> m_rows;
    bool m_onPad = false;
};

} // namespace platform
