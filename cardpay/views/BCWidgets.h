// Small views of the payment screens: the text field with its edit-menu switches, a plain line, an
// underlined text button, a transient message, block actions on buttons and a field's selection.
// Main thread only.
#pragma once

#include "platform/runloop/Clock.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"
#include "platform/ui/TextField.h"

#include <functional>
#include <memory>
#include <string>

namespace platform {
class Timer;
}

namespace cardpay {

class BCTextField : public platform::TextField {
public:
    using platform::TextField::TextField;

    void setAllowPaste(bool allow) { m_allowPaste = allow; }
    void setAllowSelect(bool allow) { m_allowSelect = allow; }
    void setAllowSelectAll(bool allow) { m_allowSelectAll = allow; }
    bool canPerformAction(platform::EditAction action) const override;

private:
    bool m_allowPaste = true;
    bool m_allowSelect = true;
    bool m_allowSelectAll = true;
};

// A plain line of one colour.
class BCLineView : public platform::View {
public:
    BCLineView(platform::Rect frame, const platform::Color& color);
};

// A text button drawn with an underline; on touch-up-inside it takes its normal colour back and calls
// its target's action while the target lives.
class BCUnderLineButton : public platform::Control {
public:
    BCUnderLineButton(platform::Rect frame, const std::string& title, const platform::Font& font);

    void setMTarget(std::weak_ptr<void> target) { m_target = std::move(target); }
    void setMSelector(std::function<void()> action) { m_action = std::move(action); }
    const std::shared_ptr<platform::Label>& titleLabel() const { return m_label; }
    // The colours: normal (`BCUtils` underLineNormalColor) and while pressed.
    void setHighlighted(bool highlighted) override;
    void drawRect(platform::Rect rect) override;

private:
    void touchUpInside();

    std::shared_ptr<platform::Label> m_label;
    std::weak_ptr<void> m_target;
    std::function<void()> m_action;
};

// A message box centred over a view that removes itself after kStay seconds of the platform clock.
class BCToast : public platform::View {
public:
    static constexpr double kStay = 2.0;

    BCToast(const std::string& message, std::weak_ptr<platform::View> onView);
    void show();
    const std::string& message() const { return m_message; }

private:
    std::string m_message;
    std::weak_ptr<platform::View> m_onView;
    std::shared_ptr<platform::Label> m_label;
    std::shared_ptr<platform::Timer> m_timer;
};

// Block actions on a button (any control): the block runs with the control for the given events, for as
// long as the control lives.
void addActionBlock(platform::Control& control, std::function<void(platform::Control&)> block, unsigned events);

// A field's selection in characters from the beginning of the text.
struct BCTextRange {
    std::size_t location = 0;
    std::size_t length = 0;
};
BCTextRange selectedRange(const platform::TextField& field);
void setSelectedRange(platform::TextField& field, BCTextRange range);

} // namespace cardpay
