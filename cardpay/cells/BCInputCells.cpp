#include "cardpay/cells/BCInputCells.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"
#include "platform/text/RegularExpression.h"
#include "platform/ui/TextLayout.h"
#include "platform/ui/Toolbar.h"

#include <algorithm>
#include <cmath>

namespace cardpay {

namespace {

constexpr long long kCardPayType = 101;
const platform::Color kGrey = platform::Color::fromRGBA(0.4, 0.4, 0.4);

std::string localized(int id) { return BCLocale::instance()->getStringById(id); }

void trackFirstKey(const BCBaseCell& cell, const std::string& suffix, bool usePrefix) {
    if (cell.isEmpty())
        BCTrackerManager::trackEvent(firstKeyEventName(suffix, usePrefix));
}

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

double textWidth(const std::string& text, double size) { return platform::TextLayout::singleLineWidth(text, platform::Font::systemFont(size)); }

std::shared_ptr<platform::Button> sideButton(platform::Rect frame) {
    auto button = platform::Button::create(platform::ButtonType::Custom, frame);
    button->setClipsToBounds(true);
    button->setExclusiveTouch(true);
    button->titleLabel()->setFont(platform::Font::systemFont(16));
    return button;
}

// The SMS and phone cells' layout with a button beside the input line, after a rotation.
void layOutBesideButton(BCBaseCell& cell, platform::Button& button) {
    const double w = cell.bounds().size.width;
    platform::Rect field = cell.textField()->frame();
    field.size.width = (w - field.origin.x) / 2 + 5;
    cell.textField()->setFrame(field);
    platform::Rect band = cell.bgView()->frame();
    band.size.width = w - field.size.width + 10;
    cell.bgView()->setFrame(band);
    const double x = band.size.width + 5;
    button.setFrame(platform::Rect(x, 0, w - x, 44));
}

} // namespace

std::string firstKeyEventName(const std::string& suffix, bool usePrefix) {
    const auto container = BCDataContainer::instance();
    if (usePrefix)
        if (const auto prefix = container->bcPayPrefix(); prefix && !prefix->empty())
            return *prefix + suffix;
    return (container->payType() == kCardPayType ? "bankpay_" : "loginpay_") + suffix;
}

// MARK: - Bank number

BCBankNumCell::BCBankNumCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCBaseCell(frame, content, std::move(delegate), false, localized(16001)) {
    if (const platform::Array* rules = content["regex"].getArray())
        for (const platform::Value& rule : *rules)
            if (rule.isDictionary())
                m_regex.push_back(rule);
    setMaxLength(kMaxLength);
    if (const std::string* readOnly = content["readonly"].getString(); readOnly && *readOnly == "true") {
        for (const auto& view : subviews())
            view->setHidden(true);
        resetCellWithLabel(content["label"].stringOr(""), content["value"].stringOr(""), content["tip"].stringOr(""));
    }
}

bool BCBankNumCell::ruleChecksCard(const platform::Dictionary& rule) {
    const platform::Value& check = rule["isCheck"];
    if (const bool* flag = check.getBool())
        return *flag;
    if (const std::int64_t* number = check.getInteger())
        return *number != 0;
    if (const double* number = check.getDouble())
        return *number != 0 && !std::isnan(*number);
    return false;
}

std::string BCBankNumCell::text() const { return BCUtils::getNormalCardID(BCBaseCell::text()); }

std::optional<std::string> BCBankNumCell::param() const {
    if (needsDeviceEncryption() || isEmpty())
        return std::nullopt;
    return paramWithString(text());
}

bool BCBankNumCell::isLegalLength() const {
    const std::string number = text();
    for (const platform::Value& value : m_regex) {
        const platform::Dictionary& rule = *value.getDictionary();
        const std::string* pattern = rule["pattern"].getString();
        if (!pattern || !BCUtils::isValidateTextField(number, *pattern))
            continue;
        if (ruleChecksCard(rule))
            return BCUtils::checkCardId(rule["prefix"].stringOr("") + number);
        return number.size() >= 13 && number.size() <= 19;
    }
    return BCUtils::checkCardId(number);
}

std::optional<std::string> BCBankNumCell::getPanPrefixByPan(const std::string& pan) const {
    for (const platform::Value& value : m_regex) {
        const platform::Dictionary& rule = *value.getDictionary();
        const std::string* pattern = rule["pattern"].getString();
        if (ruleChecksCard(rule) && pattern && BCUtils::isValidateTextField(pan, *pattern)) {
            const std::string* prefix = rule["prefix"].getString();
            if (prefix && !prefix->empty())
                return *prefix;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

void BCBankNumCell::resetCellWithLabel(const std::string& label, const std::string& cardNo, const std::string& tip) {
    const double w = bounds().size.width;
    auto band = std::make_shared<platform::View>(platform::Rect(0, 0, w, 44));
    band->setBackgroundColor(platform::Color::white());
    m_readOnlyLabel = std::make_shared<platform::Label>(platform::Rect(12, 0, w - 12, 44));
    m_readOnlyLabel->setText(cutForLayout(label + " " + cardNo));
    m_readOnlyLabel->setFont(platform::Font::systemFont(16));
    m_readOnlyLabel->setTextColor(platform::Color::fromRGBA(0.2, 0.2, 0.2));
    m_readOnlyLabel->setBackgroundColor(platform::Color::white());
    m_readOnlyLabel->setLineBreakMode(platform::LineBreakMode::TruncateMiddle);
    band->addSubview(m_readOnlyLabel);
    addSubview(band);
    double height = 44;
    if (!tip.empty()) {
        auto tipCell = std::make_shared<BCLableCell>(platform::Rect(12, 12, w, 0), tip, platform::Font::systemFont(14), kGrey,
                                                     platform::TextAlignment::Left);
        const double tipHeight = tipCell->frame().size.height;
        auto box = std::make_shared<platform::View>(platform::Rect(0, 44, w, tipHeight + 24));
        box->setBackgroundColor(platform::Color::fromRGBA255(251, 235, 184));
        box->addSubview(tipCell);
        addSubview(box);
        if (auto image = BCImageManager::instance()->imageNamed(20020)) {
            const platform::Size size = realSize(*image);
            addSubview(BCViews::normalImageViewWithFrame(platform::Rect(12, 44 - size.height, size.width, size.height), image));
        }
        height += tipHeight + 29;
    }
    platform::Rect frame = this->frame();
    frame.size.height = height;
    setFrame(frame);
}

void BCBankNumCell::reformat(BCTextRange selection, bool afterKey) {
    const auto formatted = BCUtils::getFormatCardID(text());
    textField()->setText(formatted.value_or(""));
    if (afterKey && selection.location % 5 == 0)
        selection.location += 1;
    setSelectedRange(*textField(), selection);
}

bool BCBankNumCell::textChanged(const std::string& key) {
    trackFirstKey(*this, "input_cardNO", false);
    if (!BCBaseCell::textChanged(key))
        return false;
    reformat(selectedRange(*textField()), true);
    return true;
}

void BCBankNumCell::deleteClick() {
    BCBaseCell::deleteClick();
    reformat(selectedRange(*textField()), false);
}

// MARK: - CVN2, expiry

BCCvn2Cell::BCCvn2Cell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCBaseCell(frame, content, std::move(delegate), false, localized(16005)) {
    setMaxLength(3);
    textField()->setSecureTextEntry(true);
}

bool BCCvn2Cell::textChanged(const std::string& key) {
    trackFirstKey(*this, "input_cvn2", true);
    return BCBaseCell::textChanged(key);
}

BCValidDateCell::BCValidDateCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCBaseCell(frame, content, std::move(delegate), false, localized(16006)) {
    setMaxLength(4);
}

bool BCValidDateCell::checkFormat(const std::string& text) {
    if (text.size() != 4 || !allDigits(text))
        return false;
    const int month = std::stoi(text.substr(0, 2));
    const int year = std::stoi(text.substr(2, 2));
    const std::string current = BCUtils::getCurrentYear();
    const int currentYear = current.size() >= 2 && allDigits(current.substr(current.size() - 2)) ? std::stoi(current.substr(current.size() - 2)) : 0;
    return month < 13 && year >= currentYear;
}

bool BCValidDateCell::textChanged(const std::string& key) {
    trackFirstKey(*this, "select_availdata", true);
    return BCBaseCell::textChanged(key);
}

// MARK: - PIN

BCPasswordCell::BCPasswordCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCBaseCell(frame, content, std::move(delegate), false, localized(16007)) {
    setMaxLength(6);
    textField()->setTag(kTag);
    textField()->setSecureTextEntry(true);
    textField()->setAllowPaste(false);
    textField()->setAllowSelect(false);
    textField()->setAllowSelectAll(false);
    keyboard()->setSecurity(true);
}

std::optional<std::string> BCPasswordCell::param() const {
    if (needsDeviceEncryption() || isEmpty())
        return std::nullopt;
    const auto block = keyboard()->getMessage(BCDataContainer::instance()->mMessageBlock().value_or(""));
    return paramWithString(block.value_or(""));
}

bool BCPasswordCell::textChanged(const std::string& key) {
    trackFirstKey(*this, "bank_pwd", true);
    const std::string current = BCBaseCell::text();
    if (current.size() >= 6)
        return false;
    textField()->setText(current + key);
    if (current.empty())
        tellChangeType(BCTextFieldDelegate::kChangeTypeFirstCharacter);
    return true;
}

void BCPasswordCell::deleteClick() {
    std::string current = BCBaseCell::text();
    if (current.empty())
        return;
    current.pop_back();  // only "*" marks live here
    textField()->setText(current);
    if (current.empty())
        tellChangeType(BCTextFieldDelegate::kChangeTypeEmptied);
}

void BCPasswordCell::cleanup() {
    keyboard()->clearKeptDigits();
    textField()->setText("");
}

// MARK: - SMS code

BCSmsCodeCell::BCSmsCodeCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCBaseCell(frame, content, std::move(delegate), false, localized(16003)) {
    setMaxLength(6);
    const double w = bounds().size.width;
    const double buttonWidth = textWidth(formatText(localized(10013), std::to_string(kCountdown)), 16);
    platform::Rect field = textField()->frame();
    field.size.width = w - buttonWidth - 24;
    textField()->setFrame(field);
    m_button = sideButton(platform::Rect(w - buttonWidth - 12, bgView()->frame().origin.y, buttonWidth, 44));
    m_button->setContentHorizontalAlignment(platform::ContentHorizontalAlignment::Right);
    m_button->setTitle(localized(10003), platform::kControlStateNormal);
    m_button->setTitle(localized(10003), platform::kControlStateHighlighted);
    m_button->setTitleColor(BCUtils::navBarColor(), platform::kControlStateNormal);
    m_button->setTitleColor(kGrey, platform::kControlStateHighlighted);
    m_button->setTitleColor(kGrey, platform::kControlStateDisabled);
    m_button->addTarget(m_alive, [this](platform::Control&) {
        if (!m_btnTarget.expired() && m_btnAction)
            m_btnAction();
    }, platform::kControlEventTouchUpInside);
    addSubview(m_button);
}

BCSmsCodeCell::~BCSmsCodeCell() { stopTimer(); }

void BCSmsCodeCell::addSmsCodeTarget(std::weak_ptr<void> target, std::function<void()> action) {
    m_btnTarget = std::move(target);
    m_btnAction = std::move(action);
}

bool BCSmsCodeCell::textChanged(const std::string& key) {
    trackFirstKey(*this, "input_msg", true);
    return BCBaseCell::textChanged(key);
}

void BCSmsCodeCell::stopTimer() {
    if (m_timer)
        m_timer->invalidate();
    m_timer.reset();
}

void BCSmsCodeCell::disableButton() {
    stopTimer();  // one countdown at a time
    m_button->setEnabled(false);
    m_button->setTintColor(platform::Color::grey(0.5));
    m_count = 0;
    m_button->setTitle(formatText(localized(10013), std::to_string(kCountdown)), platform::kControlStateDisabled);
    m_timer = platform::RunLoop::main().scheduleRepeatingTimer(platform::seconds(1), [alive = std::weak_ptr<bool>(m_alive), this](platform::Timer&) {
        if (alive.lock())
            caculateTime();
    });
}

void BCSmsCodeCell::caculateTime() {
    m_count += 1;
    if (m_count != kCountdown) {
        changeButtonTitle(formatText(localized(10013), std::to_string(kCountdown - m_count)));
        return;
    }
    stopTimer();
    changeButtonTitle(localized(10003));
}

void BCSmsCodeCell::changeButtonTitle(const std::string& title) {
    if (title == localized(10003)) {
        m_button->setEnabled(true);
        m_button->setTitle(title, platform::kControlStateNormal);
    }
    m_button->setTitle(title, platform::kControlStateDisabled);
}

void BCSmsCodeCell::enableButton() {
    stopTimer();
    changeButtonTitle(localized(10003));
}

void BCSmsCodeCell::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    BCBaseCell::willRotateToInterfaceOrientation(orientation, duration);
    layOutBesideButton(*this, *m_button);
}

// MARK: - Phone

BCTelephoneCell::BCTelephoneCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCBaseCell(frame, content, std::move(delegate), false, localized(16002)) {
    setMaxLength(11);
    if (const std::string* action = content["button_action"].getString())
        m_modifyAction = *action;
    const std::string* label = content["button_label"].getString();
    if (!label)
        return;
    const double w = bounds().size.width;
    const double buttonWidth = textWidth(*label, 16) + 5;
    platform::Rect field = textField()->frame();
    field.size.width -= buttonWidth;
    textField()->setFrame(field);
    m_resetPhoneBtn = sideButton(platform::Rect(w - 12 - buttonWidth, bgView()->frame().origin.y, buttonWidth, 44));
    m_resetPhoneBtn->setTitle(cutForLayout(*label), platform::kControlStateNormal);
    m_resetPhoneBtn->setTitle(cutForLayout(*label), platform::kControlStateHighlighted);
    m_resetPhoneBtn->setTitleColor(kGrey, platform::kControlStateNormal);
    m_resetPhoneBtn->setTitleColor(kGrey, platform::kControlStateHighlighted);
    m_resetPhoneBtn->addTarget(m_alive, [this](platform::Control&) { modifyAction(); }, platform::kControlEventTouchUpInside);
    addSubview(m_resetPhoneBtn);
}

bool BCTelephoneCell::isLegalLength() const {
    return BCUtils::isValidateTextField(text(), mRegexP().value_or("1[0123456789]\\d{9}"));
}

bool BCTelephoneCell::textChanged(const std::string& key) {
    trackFirstKey(*this, "input_phoneNO", true);
    return BCBaseCell::textChanged(key);
}

void BCTelephoneCell::modifyAction() {
    const auto container = BCDataContainer::instance();
    const bool card = container->payType() == kCardPayType;
    BCTrackerManager::trackEvent(card ? "bankpay_change_phoneNO" : "loginpay_change_phoneNO");
    container->setBcPayPrefix(std::string(card ? "bankpay_phoneNO_change_" : "loginpay_phoneNO_change_"));
    if (const auto delegate = mDelegate())
        delegate->modifyAction(m_modifyAction);
}

void BCTelephoneCell::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    BCBaseCell::willRotateToInterfaceOrientation(orientation, duration);
    if (m_resetPhoneBtn)
        layOutBesideButton(*this, *m_resetPhoneBtn);
}

// MARK: - Common cell and coupon

BCCommCell::BCCommCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCBaseCell(frame, content, std::move(delegate), false,
                 content["type"].stringOr("") == "cert_id" ? std::optional<std::string>(localized(16004)) : std::nullopt) {
    textField()->setInputView(nullptr);
    textField()->setKeyboardType(platform::KeyboardType::Default);
    textField()->setTag(kTag);
    if (content["type"].stringOr("") == "cert_id")
        m_myContent = content;
}

void BCCommCell::finishCreation() {
    BCBaseCell::finishCreation();
    const auto self = std::dynamic_pointer_cast<BCCommCell>(shared_from_this());
    textField()->setInputAccessoryView(BCUtils::myToolBar(std::static_pointer_cast<BCEditDoneTarget>(self)));
    textField()->setDelegate(std::static_pointer_cast<platform::TextFieldDelegate>(self));
}

void BCCommCell::setTextFieldDelegate(std::weak_ptr<BCTextFieldDelegate> delegate) {
    BCBaseCell::setTextFieldDelegate(std::move(delegate));
    if (!weak_from_this().expired())
        textField()->setDelegate(std::dynamic_pointer_cast<BCCommCell>(shared_from_this()));
}

void BCCommCell::textFieldDidBeginEditing(platform::TextField& field) {
    if (const auto delegate = mDelegate())
        delegate->textFieldDidBeginEditing(field);
}

bool BCCommCell::textFieldShouldEndEditing(platform::TextField& field) {
    const auto delegate = mDelegate();
    return !delegate || delegate->textFieldShouldEndEditing(field);
}

bool BCCommCell::shouldChangeCharacters(platform::TextField& field, platform::TextRange16 range, const std::string& replacement) {
    if (m_myContent)
        trackFirstKey(*this, "input_certId", true);
    const auto delegate = mDelegate();
    return !delegate || delegate->shouldChangeCharacters(field, range, replacement);
}

bool BCCommCell::textFieldShouldClear(platform::TextField& field) {
    const auto delegate = mDelegate();
    return !delegate || delegate->textFieldShouldClear(field);
}

bool BCCouponCell::shouldChangeCharacters(platform::TextField& field, platform::TextRange16 range, const std::string& replacement) {
    trackFirstKey(*this, "input_coupon", false);
    return BCCommCell::shouldChangeCharacters(field, range, replacement);
}

// MARK: - Login name and password, hidden values

bool BCUserNameCell::isLegalLength() const {
    if (!BCCommCell::isLegalLength())
        return false;
    return !mRegexP() || BCUtils::isValidateTextField(text(), *mRegexP());
}

BCUserPwdCell::BCUserPwdCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCCommCell(frame, content, std::move(delegate)) {
    textField()->setSecureTextEntry(true);
}

BCHiddenCell::BCHiddenCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCBaseCell(frame, content, std::move(delegate)) {
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, frame.size.width, 0));
    setHidden(true);
    shouldReadOnly(true);
}

// MARK: - Selection cells

BCSelectCell::BCSelectCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCBaseCell(frame, content, std::move(delegate)) {
    if (const platform::Array* options = content["options"].getArray())
        for (const platform::Value& option : *options)
            if (const platform::Dictionary* d = option.getDictionary())
                m_options.emplace_back((*d)["label"].stringOr(""), (*d)["value"].stringOr(""));
    textField()->setInputView(nullptr);
    textField()->setUserInteractionEnabled(false);
    m_tapArea = std::make_shared<platform::Control>(bgView()->frame());
    m_tapArea->addTarget(m_alive, [this](platform::Control&) { openList(); }, platform::kControlEventTouchUpInside);
    addSubview(m_tapArea);
}

std::optional<std::string> BCSelectCell::param() const {
    if (m_chosenValue)
        return paramWithString(*m_chosenValue);
    return BCBaseCell::param();
}

void BCSelectCell::openList() {
    if (const auto delegate = mDelegate())
        delegate->textFieldWillChange(*textField());
    std::vector<std::string> labels;
    for (const auto& option : m_options)
        labels.push_back(option.first);
    platform::View* root = this;
    while (auto parent = root->superview())
        root = parent.get();
    m_list = std::make_shared<BCListView>(root->bounds(), std::move(labels));
    m_list->setSelectedIndex(m_chosen);
    m_list->setDelegate(std::dynamic_pointer_cast<BCSelectCell>(shared_from_this()));
    root->addSubview(m_list);
}

void BCSelectCell::listViewDidCancel(BCListView&) { m_list.reset(); }

void BCSelectCell::listViewDidSelectedAtIndex(BCListView&, long index) {
    if (index >= 0 && index < static_cast<long>(m_options.size())) {
        m_chosen = index;
        setText(m_options[static_cast<std::size_t>(index)].first);
        m_chosenValue = m_options[static_cast<std::size_t>(index)].second;
    }
    m_list.reset();
}

} // namespace cardpay
