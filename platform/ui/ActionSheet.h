// An action sheet: a title and a list of buttons, one of them destructive (red) and one the cancel
// button, in a window of its own above the others.
//
// - On a phone, showInView slides the sheet up from the bottom of the screen over a dimmed background:
//   the title and the buttons in one rounded group, the cancel button in its own group below.
// - On a pad, showFromRect:inView shows the buttons (not the cancel button) in a box whose arrow points
//   at the rectangle; showInView centres the box without an arrow. A tap outside the box dismisses the
//   sheet with the cancel index (clickedButtonAtIndex, willDismiss, didDismiss).
// - A tap on a button tells the delegate clickedButtonAtIndex, then dismisses with that index.
//
// Guarantees:
// - Main thread only. A shown sheet keeps itself alive until it is dismissed; the delegate is held
//   weakly.
// - dismissWithClickedButtonIndex passes any index (-2, say) to the delegate unchanged and touches no
//   button. A sheet with no buttons shows, and code dismisses it. Dismissing a hidden sheet does nothing.
// - Rectangles are made sane as for popovers (see PopoverController.h).
#pragma once

#include "platform/ui/Window.h"

#include <memory>
#include <string>
#include <vector>

namespace platform {

class ActionSheet;

class ActionSheetDelegate {
public:
    virtual ~ActionSheetDelegate() = default;
    virtual void clickedButtonAtIndex(ActionSheet&, long /*index*/) {}
    virtual void willDismissWithButtonIndex(ActionSheet&, long /*index*/) {}
    virtual void didDismissWithButtonIndex(ActionSheet&, long /*index*/) {}
};

class ActionSheet : public std::enable_shared_from_this<ActionSheet> {
public:
    static constexpr double kButtonHeight = 57;
    static constexpr double kPadWidth = 272;

    static std::shared_ptr<ActionSheet> create(const std::string& title = {}, const std::shared_ptr<ActionSheetDelegate>& delegate = nullptr);

    const std::string& title() const { return m_title; }
    void setTitle(const std::string& title) { m_title = title; }
    std::shared_ptr<ActionSheetDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<ActionSheetDelegate>& delegate) { m_delegate = delegate; }

    long addButtonWithTitle(const std::string& title);
    long numberOfButtons() const { return static_cast<long>(m_buttons.size()); }
    std::string buttonTitleAtIndex(long index) const;
    long cancelButtonIndex() const { return m_cancelIndex; }
    void setCancelButtonIndex(long index) { m_cancelIndex = index; }
    long destructiveButtonIndex() const { return m_destructiveIndex; }
    void setDestructiveButtonIndex(long index) { m_destructiveIndex = index; }
    long firstOtherButtonIndex() const;

    void showInView(View& view);
    void showFromRect(Rect rect, View& view, bool animated);
    void dismissWithClickedButtonIndex(long index, bool animated);
    bool isVisible() const { return m_window != nullptr; }
    std::shared_ptr<Window> window() const { return m_window; }
    std::vector<std::shared_ptr<View>> buttonViews() const { return m_buttonViews; }
    // The sheet (phone) or box (pad) in window coordinates while shown.
    Rect sheetFrame() const;

private:
    ActionSheet() = default;
    bool validIndex(long i) const { return i >= 0 && i < numberOfButtons(); }
    void tapped(long index);
    // Builds the title and button rows (skipping the cancel button unless `withCancel`) into `into`,
    // `width` wide from y; answers the bottom.
    double buildRows(View& into, double width, double y, bool withCancel);
    void showOnPad(View& view, std::optional<Rect> rect, bool animated);

    std::string m_title;
    std::weak_ptr<ActionSheetDelegate> m_delegate;
    std::vector<std::string> m_buttons;
    long m_cancelIndex = -1;
    long m_destructiveIndex = -1;
    std::shared_ptr<Window> m_window;
    std::shared_ptr<View> m_sheet;
    std::vector<std::shared_ptr<View>> m_buttonViews;
    bool m_dismissing = false;
    bool m_onPad = false;
};

} // namespace platform
