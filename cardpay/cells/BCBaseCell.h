// The common base of the payment form's input cells, built from one form element dictionary:
//
//   "label"       caption above the input line (absent or empty: none)
//   "name"        the parameter's name in the request
//   "placeholder" the input line's placeholder, and the field's name in validation messages
//   "value"       initial text (used when not empty)
//   "tip"         hint text in a yellow box under the input line (absent or empty: none)
//   "regexp"      whole-text pattern some cells check
//   "readonly"    exactly "true": input disabled
//
// Values that are not text count as absent. The cell holds an optional caption, one 44-point input line
// with an optional left title, an optional hint box and its own digit keyboard as the line's input view;
// it is that keyboard's delegate. Keys are entered at the line's selection up to `maxLength` characters.
//
// Make cells with `create` (or add them to a view before use): the keyboard's delegate link needs the
// cell's shared owner. Main thread only; the text-field delegate (the screen) is held weakly.
#pragma once

#include "cardpay/cells/BCKeyboard.h"
#include "cardpay/views/BCOrderViews.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/core/Value.h"
#include "platform/system/InterfaceOrientation.h"
#include "platform/ui/TextField.h"

#include <memory>
#include <optional>
#include <string>

namespace cardpay {

// The screen's side of a cell's input line.
// `text` with a range of UTF-16 units replaced; a range that splits a character takes all of it.
std::string textWithReplacedRange(const std::string& text, BCTextRange range, const std::string& replacement);

class BCTextFieldDelegate : public platform::TextFieldDelegate {
public:
    static constexpr int kChangeTypeFirstCharacter = 0;
    static constexpr int kChangeTypeEmptied = 1;

    // 0 when the text has just become one character long, 1 when it has just become empty.
    virtual void textFieldChangeType(int type) = 0;
    // Sent by the selection cells before they open their list.
    virtual void textFieldWillChange(platform::TextField&) {}
    // The phone cell's modify button, with the element's "button_action" (none when it had none).
    virtual void modifyAction(const std::optional<std::string>&) {}
};

class BCBaseCell : public platform::View, public BCKeyboardDelegate {
public:
    static constexpr int kDefaultMaxLength = 32;
    static constexpr double kLineHeight = 44;

    BCBaseCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate,
               bool lineFlag = false, const std::optional<std::string>& leftTitle = std::nullopt);
    ~BCBaseCell() override;

    // Makes a cell (this class or a subclass) and links it to its keyboard.
    template <class Cell = BCBaseCell, class... Args>
    static std::shared_ptr<Cell> create(Args&&... args) {
        auto cell = std::make_shared<Cell>(std::forward<Args>(args)...);
        static_cast<BCBaseCell&>(*cell).finishCreation();
        return cell;
    }

    // `"name":"text"`, both JSON-escaped; none when the text is empty.
    virtual std::optional<std::string> param() const;
    // `"name":"value"`, both JSON-escaped, whatever the text is.
    std::string paramWithString(const std::string& value) const;

    virtual std::string text() const { return m_textField->text(); }
    void setText(const std::string& text) { m_textField->setText(text); }
    // The field's display name: its placeholder.
    const std::string& value() const { return m_placeHolder; }
    bool isEmpty() const { return text().empty(); }
    virtual bool isLegalLength() const;

    int maxLength() const { return m_maxLen; }
    const std::shared_ptr<BCKeyboard>& keyboard() const { return m_keyboard; }
    const std::shared_ptr<BCTextField>& textField() const { return m_textField; }
    const std::string& mName() const { return m_name; }
    const std::string& mPlaceHolder() const { return m_placeHolder; }
    const std::optional<std::string>& mRegexP() const { return m_regexP; }

    void shouldReadOnly(bool readOnly);
    bool isReadOnly() const { return !m_textField->isUserInteractionEnabled(); }
    void setNeedsDeviceEncryption() { m_needDeviceEncryption = true; }
    bool needsDeviceEncryption() const { return m_needDeviceEncryption; }

    virtual void setTextFieldDelegate(std::weak_ptr<BCTextFieldDelegate> delegate);
    std::shared_ptr<BCTextFieldDelegate> mDelegate() const { return m_delegate.lock(); }
    void setLeftTitle(const std::string& title);
    void setLabelColor(const platform::Color& color);
    void setLabelFont(const platform::Font& font);
    void setLabelText(const std::string& text);

    // The parts, for the cells built on this one and for tests (caption, hint and lines may be none).
    const std::shared_ptr<platform::View>& bgView() const { return m_bgView; }
    const std::shared_ptr<BCLableCell>& labelCell() const { return m_labelCell; }
    const std::shared_ptr<BCLableCell>& tipCell() const { return m_tipCell; }
    const std::shared_ptr<platform::View>& tipBox() const { return m_tipBox; }
    const std::shared_ptr<BCLineView>& topLine() const { return m_topLine; }
    const std::shared_ptr<BCLineView>& bottomLine() const { return m_bottomLine; }

    // Keyboard delegate.
    bool textChanged(const std::string& text) override;
    void deleteClick() override;
    void doneClick() override;

    virtual void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

protected:
    void didMoveToSuperview() override;
    // Links what needs the cell's shared owner (the keyboard's delegate); cells extend it.
    virtual void finishCreation();
    void setMaxLength(int length) { m_maxLen = length; }
    void tellChangeType(int type);

private:
    void addBGViewAtY(double y);

    std::shared_ptr<BCTextField> m_textField;
    std::shared_ptr<BCKeyboard> m_keyboard;
    int m_maxLen = kDefaultMaxLength;
    std::shared_ptr<platform::View> m_bgView;
    std::shared_ptr<BCLableCell> m_labelCell;
    std::shared_ptr<BCLableCell> m_tipCell;
    std::shared_ptr<platform::View> m_tipBox;
    std::shared_ptr<platform::View> m_tipImage;
    std::string m_name, m_placeHolder;
    bool m_needDeviceEncryption = false;
    bool m_readOnly = false;
    std::shared_ptr<BCLineView> m_topLine, m_bottomLine;
    std::weak_ptr<BCTextFieldDelegate> m_delegate;
    std::optional<std::string> m_regexP;
    bool m_created = false;
};

} // namespace cardpay
