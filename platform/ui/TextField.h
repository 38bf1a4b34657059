// A one-line text field: text and placeholder, border styles, a clear button, left and right views,
// secure entry, a custom input view and accessory, a delegate asked before each change, and the editing
// control events.
//
// Guarantees:
// - Main thread only. The delegate is held weakly.
// - Ranges are in UTF-16 units, as the platform counts them; text is UTF-8. A range from outside (a
//   selection, a delegate's answer) past the end is clamped to the text, and a range that would split a
//   character is widened to whole characters. Text that is not valid UTF-8 is refused with a log line.
// - Typing asks shouldChangeCharacters for each character and inserts it at the selection; the caret then
//   follows it. Each accepted change sends editing-changed.
// - Becoming first responder asks shouldBeginEditing, then tells didBeginEditing and sends
//   editing-did-begin; resigning asks shouldEndEditing (not when forced), then tells didEndEditing and
//   sends editing-did-end.
#pragma once

#include "platform/ui/Control.h"
#include "platform/ui/Font.h"
#include "platform/ui/TextLayout.h"

#include <memory>
#include <optional>
#include <string>

namespace platform {

class TextField;

// A range of UTF-16 units.
struct TextRange16 {
    std::size_t location = 0;
    std::size_t length = 0;
    friend bool operator==(const TextRange16&, const TextRange16&) = default;
};

class TextFieldDelegate {
public:
    virtual ~TextFieldDelegate() = default;
    virtual bool textFieldShouldBeginEditing(TextField&) { return true; }
    virtual void textFieldDidBeginEditing(TextField&) {}
    virtual bool textFieldShouldEndEditing(TextField&) { return true; }
    virtual void textFieldDidEndEditing(TextField&) {}
    virtual bool shouldChangeCharacters(TextField&, TextRange16 /*range*/, const std::string& /*replacement*/) { return true; }
    virtual bool textFieldShouldClear(TextField&) { return true; }
    virtual bool textFieldShouldReturn(TextField&) { return true; }
};

// The platform's numbers.
enum class TextBorderStyle { None = 0, Line = 1, Bezel = 2, RoundedRect = 3 };
enum class TextFieldViewMode { Never = 0, WhileEditing = 1, UnlessEditing = 2, Always = 3 };
enum class KeyboardType { Default = 0, ASCIICapable = 1, NumbersAndPunctuation = 2, URL = 3, NumberPad = 4,
                          PhonePad = 5, NamePhonePad = 6, EmailAddress = 7, DecimalPad = 8 };
enum class ReturnKeyType { Default = 0, Go = 1, Google = 2, Join = 3, Next = 4, Route = 5, Search = 6,
                           Send = 7, Yahoo = 8, Done = 9, EmergencyCall = 10 };
// An input view that takes the typed keys itself (a custom keyboard): the text and the delete and return
// keys a field is given while such a view is its input view go to the view's keys instead, so the
// desktop's keys press them as a finger would. Each answers whether a key took it.
class KeyInputView {
public:
    virtual ~KeyInputView() = default;
    virtual bool typeKeys(const std::string& text) = 0;
    virtual bool pressDelete() = 0;
    virtual bool pressReturn() = 0;
};

// The edit menu's actions (canPerformAction).
enum class EditAction { Cut, Copy, Paste, Select, SelectAll };

class TextField : public Control {
public:
    static constexpr double kClearButtonSize = 19;

    explicit TextField(Rect frame = {});

    const std::string& text() const { return m_text; }
    // Replaces the text (no delegate question, no event); the caret goes to the end. Refused (false, with
    // a log line) when not valid UTF-8.
    bool setText(const std::string& text);
    const std::string& placeholder() const { return m_placeholder; }
    void setPlaceholder(std::string placeholder) { m_placeholder = std::move(placeholder); setNeedsDisplay(); }
    Font font() const { return m_font; }
    void setFont(const Font& font) { m_font = font; setNeedsDisplay(); }
    Color textColor() const { return m_textColor; }
    void setTextColor(const Color& color) { m_textColor = color; setNeedsDisplay(); }
    TextAlignment textAlignment() const { return m_alignment; }
    void setTextAlignment(TextAlignment alignment) { m_alignment = alignment; setNeedsDisplay(); }
    TextBorderStyle borderStyle() const { return m_borderStyle; }
    void setBorderStyle(TextBorderStyle style) { m_borderStyle = style; setNeedsDisplay(); }
    TextFieldViewMode clearButtonMode() const { return m_clearButtonMode; }
    void setClearButtonMode(TextFieldViewMode mode) { m_clearButtonMode = mode; setNeedsDisplay(); }
    ContentVerticalAlignment contentVerticalAlignment() const { return m_verticalAlignment; }
    void setContentVerticalAlignment(ContentVerticalAlignment a) { m_verticalAlignment = a; setNeedsDisplay(); }

    std::shared_ptr<View> leftView() const { return m_leftView; }
    void setLeftView(std::shared_ptr<View> view) { setSideView(m_leftView, std::move(view)); }
    TextFieldViewMode leftViewMode() const { return m_leftViewMode; }
    void setLeftViewMode(TextFieldViewMode mode) { m_leftViewMode = mode; setNeedsLayout(); }
    std::shared_ptr<View> rightView() const { return m_rightView; }
    void setRightView(std::shared_ptr<View> view) { setSideView(m_rightView, std::move(view)); }
    TextFieldViewMode rightViewMode() const { return m_rightViewMode; }
    void setRightViewMode(TextFieldViewMode mode) { m_rightViewMode = mode; setNeedsLayout(); }

    bool isSecureTextEntry() const { return m_secure; }
    void setSecureTextEntry(bool secure) { m_secure = secure; setNeedsDisplay(); }
    KeyboardType keyboardType() const { return m_keyboardType; }
    void setKeyboardType(KeyboardType type) { m_keyboardType = type; }
    ReturnKeyType returnKeyType() const { return m_returnKeyType; }
    void setReturnKeyType(ReturnKeyType type) { m_returnKeyType = type; }
    std::shared_ptr<View> inputView() const override { return m_inputView; }
    void setInputView(std::shared_ptr<View> view) { m_inputView = std::move(view); }
    std::shared_ptr<View> inputAccessoryView() const override { return m_accessoryView; }
    void setInputAccessoryView(std::shared_ptr<View> view) { m_accessoryView = std::move(view); }

    std::shared_ptr<TextFieldDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(std::weak_ptr<TextFieldDelegate> delegate) { m_delegate = std::move(delegate); }

    bool isEditing() const { return isFirstResponder(); }
    // Length of the text in UTF-16 units.
    std::size_t length() const { return m_length16; }
    TextRange16 selectedRange() const { return m_selection; }
    // Clamped to the text (with a log line when it was past the end).
    void setSelectedRange(TextRange16 range);

    // Input, as the keyboard (or the test driver) gives it. Each answers whether the text changed.
    // insertText asks the delegate once for the whole string, replacing the selection. While the input
    // view is a KeyInputView, the three go to it instead.
    bool insertText(const std::string& text);
    bool deleteBackward();
    // The return key: asks shouldReturn and answers its reply; when it agrees and some target listens to
    // did-end-on-exit, sends that and resigns.
    bool returnKey();
    // The clear button: asks shouldClear, then empties the text.
    bool clear();

    // Whether the edit menu offers the action; subclasses may refuse more.
    virtual bool canPerformAction(EditAction action) const;

    // Geometry of the parts, in bounds coordinates.
    Rect borderRect() const { return bounds(); }
    Rect textRect() const;
    Rect clearButtonRect() const;
    Rect leftViewRect() const;
    Rect rightViewRect() const;
    bool isClearButtonShown() const;

    bool canBecomeFirstResponder() const override { return isEnabled(); }
    void drawRect(Rect rect) override;
    void touchesEnded(const TouchSet& touches) override;

protected:
    bool willBecomeFirstResponder() override;
    void didBecomeFirstResponder() override;
    bool willResignFirstResponder(bool forced) override;
    void didResignFirstResponder() override;
    void layoutSubviews() override;

private:
    void setSideView(std::shared_ptr<View>& slot, std::shared_ptr<View> view);
    bool shows(TextFieldViewMode mode) const;
    bool replace(TextRange16 range, const std::string& replacement, bool ask);
    std::size_t byteOffset(std::size_t offset16) const;

    std::string m_text;
    std::size_t m_length16 = 0;
    TextRange16 m_selection;
    std::string m_placeholder;
    Font m_font = Font::systemFont(Font::kDefaultSize);
    Color m_textColor = Color::black();
    TextAlignment m_alignment = TextAlignment::Natural;
    TextBorderStyle m_borderStyle = TextBorderStyle::None;
    TextFieldViewMode m_clearButtonMode = TextFieldViewMode::Never;
    ContentVerticalAlignment m_verticalAlignment = ContentVerticalAlignment::Center;
    std::shared_ptr<View> m_leftView, m_rightView;
    TextFieldViewMode m_leftViewMode = TextFieldViewMode::Never, m_rightViewMode = TextFieldViewMode::Never;
    bool m_secure = false;
    KeyboardType m_keyboardType = KeyboardType::Default;
    ReturnKeyType m_returnKeyType = ReturnKeyType::Default;
    std::shared_ptr<View> m_inputView, m_accessoryView;
    std::weak_ptr<TextFieldDelegate> m_delegate;
};

} // namespace platform
