// An alert: a title, a message and buttons in a centred box over a dimmed screen, in a window of its own
// above every other. Two buttons sit side by side (the cancel button on the left); any other count is
// stacked, the cancel button last. Once it has faded in, the delegate hears didPresentAlertView. A tap on a
// button tells the delegate clickedButtonAtIndex, then dismisses the alert with that index (willDismiss,
// then didDismiss after the fade).
//
// Guarantees:
// - Main thread only. A shown alert keeps itself alive until it is dismissed; the delegate is held
//   weakly.
// - An alert with no buttons shows; code dismisses it.
// - dismissWithClickedButtonIndex passes any index to the delegate unchanged (one outside the buttons
//   touches no button). Dismissing an alert that is not shown does nothing.
// - Animated dismissals end after overlay::kFadeDuration on the platform clock; unanimated ones tell
//   the delegate at once.
// - The box fits the screen (less a margin): a message too long for it is cut to the lines that fit,
//   ending in "…", then the title, so the buttons are always on the screen.
// - A style with a text field shows it under the message, first responder while the alert shows (it takes
//   the keyboard); Return in it taps the preferred button (preferredButtonIndex). The alert resigns it as
//   it starts to go.
#pragma once

#include "platform/ui/ButtonOverlay.h"
#include "platform/ui/TextField.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class AlertView;

class AlertViewDelegate {
public:
    virtual ~AlertViewDelegate() = default;
    // The alert has faded in.
    virtual void didPresentAlertView(AlertView&) {}
    virtual void clickedButtonAtIndex(AlertView&, long /*index*/) {}
    virtual void willDismissWithButtonIndex(AlertView&, long /*index*/) {}
    virtual void didDismissWithButtonIndex(AlertView&, long /*index*/) {}
};

// The platform's numbers.
enum class AlertViewStyle { Default = 0, SecureTextInput = 1, PlainTextInput = 2 };

class AlertView : public ButtonOverlay<AlertView, AlertViewDelegate>, private TextFieldDelegate {
public:
    static constexpr double kWidth = 270;
    static constexpr double kButtonHeight = 44;
    static constexpr double kTextFieldHeight = 28;

    // The cancel button, when given, is button 0; the others follow.
    static std::shared_ptr<AlertView> create(const std::string& title, const std::string& message,
                                             const std::shared_ptr<AlertViewDelegate>& delegate,
                                             std::optional<std::string> cancelButtonTitle, std::vector<std::string> otherButtonTitles = {});

    const std::string& title() const { return m_title; }
    void setTitle(const std::string& title) { m_title = title; }
    const std::string& message() const { return m_message; }
    void setMessage(const std::string& message) { m_message = message; }
    int tag() const { return m_tag; }
    void setTag(int tag) { m_tag = tag; }

    long firstOtherButtonIndex() const;

    AlertViewStyle alertViewStyle() const { return m_style; }
    // Makes (or drops) the text field; set it before show.
    void setAlertViewStyle(AlertViewStyle style);
    // The text field (index 0) of a style that has one; nullptr otherwise.
    std::shared_ptr<TextField> textFieldAtIndex(long index) const { return index == 0 ? m_textField : nullptr; }

    void show();

    // The button Return taps: the one set, else the first other button (the cancel button when there is
    // none).
    long preferredButtonIndex() const;
    void setPreferredButtonIndex(long index) { m_preferredIndex = index; }

    // The keyboard (the window host's keys while an alert shows): Return taps the preferred button, Escape
    // the cancel button. Nothing while the alert goes.
    void pressReturn();
    void pressEscape();
    // The alert shown last and not going, if any: the front-most, which takes the keys.
    static std::shared_ptr<AlertView> frontmostAlert();

private:
    friend class ButtonOverlay<AlertView, AlertViewDelegate>;
    AlertView() = default;
    double dismissDuration() const;
    void animateOut(Window& window) { window.setAlpha(0); }
    bool textFieldShouldReturn(TextField&) override;

    std::string m_title, m_message;
    int m_tag = 0;
    long m_preferredIndex = -1;
    AlertViewStyle m_style = AlertViewStyle::Default;
    std::shared_ptr<TextField> m_textField;
};

} // namespace platform
