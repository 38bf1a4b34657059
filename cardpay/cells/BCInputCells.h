// The payment form's input cells, one class per element type, each on the base cell:
//
//   BCBankNumCell    "pan"      23 characters shown (19 digits in groups of four), card rules
//   BCCvn2Cell       "cvn2"     3 digits, hidden
//   BCValidDateCell  "expire"   MMYY, not before the current year
//   BCPasswordCell   "pwd"      6 digits on the security keyboard; its parameter is the PIN block
//   BCSmsCodeCell    "sms"      6 digits and the SMS button with its 60-second countdown
//   BCTelephoneCell  "mobile"   11 digits matching "regexp"; an optional modify button
//   BCCommCell       "text", "cert_id"   the system keyboard with a Done bar, at most 32 characters
//   BCCouponCell     the promotion page's coupon code, a common cell
//
// Each reports the first key typed into an empty field to the tracker. Main thread only.
#pragma once

#include "cardpay/cells/BCBaseCell.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCListView.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {
class Timer;
}

namespace cardpay {

// The tracker event for a first key: the pay prefix (when `usePrefix` and it is set) or "bankpay_"
// (pay type 101) / "loginpay_", followed by the suffix.
std::string firstKeyEventName(const std::string& suffix, bool usePrefix);

class BCBankNumCell : public BCBaseCell {
public:
    static constexpr int kMaxLength = 23;

    BCBankNumCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);

    // The number without blanks.
    std::string text() const override;
    std::optional<std::string> param() const override;
    // The first rule that matches decides; without one, the Luhn check of the number.
    bool isLegalLength() const override;
    // The "prefix" of the first checked rule whose pattern matches the number, when not empty.
    std::optional<std::string> getPanPrefixByPan(const std::string& pan) const;
    // Whether a card rule asks for the Luhn check: its "isCheck" is true, or a number other than 0.
    static bool ruleChecksCard(const platform::Dictionary& rule);
    // The read-only form: label and number on one line, the tip below.
    void resetCellWithLabel(const std::string& label, const std::string& cardNo, const std::string& tip);
    const std::shared_ptr<platform::Label>& readOnlyLabel() const { return m_readOnlyLabel; }

    bool textChanged(const std::string& key) override;
    void deleteClick() override;

private:
    void reformat(BCTextRange selection, bool afterKey);

    platform::Array m_regex;  // only dictionaries
    std::shared_ptr<platform::Label> m_readOnlyLabel;
};

class BCCvn2Cell : public BCBaseCell {
public:
    BCCvn2Cell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);
    bool isLegalLength() const override { return text().size() == 3; }
    bool textChanged(const std::string& key) override;
};

class BCValidDateCell : public BCBaseCell {
public:
    BCValidDateCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);
    bool isLegalLength() const override { return text().size() == 4 && checkFormat(text()); }
    // MMYY: four digits, MM below 13, YY at least the current year's last two digits.
    static bool checkFormat(const std::string& text);
    bool textChanged(const std::string& key) override;
};

class BCPasswordCell : public BCBaseCell {
public:
    static constexpr int kTag = 95516;

    BCPasswordCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);
    bool isLegalLength() const override { return text().size() == 6; }
    // The name and the keyboard's PIN block bound to BCDataContainer mMessageBlock ("" when none).
    std::optional<std::string> param() const override;
    bool textChanged(const std::string& key) override;
    void deleteClick() override;
    // Empties the field and wipes the keyboard's digits.
    void cleanup();
};

class BCSmsCodeCell : public BCBaseCell {
public:
    static constexpr int kCountdown = 60;

    BCSmsCodeCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);
    ~BCSmsCodeCell() override;

    bool isLegalLength() const override { return text().size() == 6; }
    bool textChanged(const std::string& key) override;

    // The button's action, while the target lives.
    void addSmsCodeTarget(std::weak_ptr<void> target, std::function<void()> action);
    // Disables the button and counts 60 seconds down on its title (a running countdown starts again).
    void disableButton();
    // Ends a countdown: the button is enabled with its title.
    void enableButton();
    const std::shared_ptr<platform::Button>& mBtnSmsCode() const { return m_button; }
    int mCount() const { return m_count; }

    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;

private:
    void caculateTime();
    void changeButtonTitle(const std::string& title);
    void stopTimer();

    std::shared_ptr<platform::Button> m_button;
    std::shared_ptr<platform::Timer> m_timer;
    int m_count = 0;
    std::weak_ptr<void> m_btnTarget;
    std::function<void()> m_btnAction;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

class BCTelephoneCell : public BCBaseCell {
public:
    BCTelephoneCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);
    // The whole text matches "regexp", or 11 digits starting with 1 without one.
    bool isLegalLength() const override;
    bool textChanged(const std::string& key) override;
    // The modify button: sets the pay prefix for the phone change and hands the action to the delegate.
    void modifyAction();
    const std::shared_ptr<platform::Button>& resetPhoneButton() const { return m_resetPhoneBtn; }

    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;

private:
    std::shared_ptr<platform::Button> m_resetPhoneBtn;
    std::optional<std::string> m_modifyAction;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

class BCCommCell : public BCBaseCell, public platform::TextFieldDelegate, public BCEditDoneTarget {
public:
    static constexpr int kTag = 9999;

    BCCommCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);
    // The element, kept for "cert_id" only.
    const std::optional<platform::Dictionary>& myContent() const { return m_myContent; }

    void textFieldDidBeginEditing(platform::TextField& field) override;
    bool textFieldShouldEndEditing(platform::TextField& field) override;
    bool shouldChangeCharacters(platform::TextField& field, platform::TextRange16 range, const std::string& replacement) override;
    bool textFieldShouldClear(platform::TextField& field) override;
    void editDone() override { textField()->resignFirstResponder(); }
    // The screen becomes the cell's delegate; the input line's delegate stays the cell, which forwards.
    void setTextFieldDelegate(std::weak_ptr<BCTextFieldDelegate> delegate) override;

protected:
    void finishCreation() override;

private:
    std::optional<platform::Dictionary> m_myContent;
};

class BCCouponCell : public BCCommCell {
public:
    using BCCommCell::BCCommCell;
    bool shouldChangeCharacters(platform::TextField& field, platform::TextRange16 range, const std::string& replacement) override;
};

// The login name: a common cell whose text must also match the element's "regexp" when it has one.
class BCUserNameCell : public BCCommCell {
public:
    using BCCommCell::BCCommCell;
    bool isLegalLength() const override;
};

// The login password: a common cell with hidden text.
class BCUserPwdCell : public BCCommCell {
public:
    BCUserPwdCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);
};

// A name and a value sent with the form; nothing shown, no height.
class BCHiddenCell : public BCBaseCell {
public:
    BCHiddenCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);
};

// A choice from the element's "options" (dictionaries of "label" and "value"; other entries are left
// out). The line shows the element's "value" until a choice is made; a tap tells the delegate
// `textFieldWillChange` and opens a list of the option labels over the whole window; the chosen
// option's label is shown and its value becomes the parameter.
class BCSelectCell : public BCBaseCell, public BCListViewDelegate {
public:
    BCSelectCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);

    std::optional<std::string> param() const override;
    // Opens the list (what a tap on the line does).
    void openList();
    const std::shared_ptr<BCListView>& listView() const { return m_list; }
    const std::shared_ptr<platform::Control>& tapArea() const { return m_tapArea; }

    void listViewDidSelectedAtIndex(BCListView& list, long index) override;
    void listViewDidCancel(BCListView& list) override;

private:
    std::vector<std::pair<std::string, std::string>> m_options;  // label, value
    std::optional<std::string> m_chosenValue;
    long m_chosen = -1;
    std::shared_ptr<platform::Control> m_tapArea;
    std::shared_ptr<BCListView> m_list;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

class BCCertSelectCell : public BCSelectCell {
public:
    using BCSelectCell::BCSelectCell;
};

class BCAreaCodeSelectCell : public BCSelectCell {
public:
    using BCSelectCell::BCSelectCell;
};

} // namespace cardpay
