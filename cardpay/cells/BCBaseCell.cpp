#include "cardpay/cells/BCBaseCell.h"

#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCViews.h"

#include <glib.h>

namespace cardpay {

namespace {

const platform::Color kLineColor = platform::Color::fromRGBA255(229, 229, 229);
const platform::Color kHintBoxColor = platform::Color::fromRGBA255(251, 235, 184);

// A text value of the element; anything else counts as absent.
std::optional<std::string> textOf(const platform::Dictionary& content, std::string_view key) {
    if (const std::string* text = content[key].getString())
        return *text;
    return std::nullopt;
}

std::size_t units16(gunichar c) { return c >= 0x10000 ? 2 : 1; }

// The byte offset in valid UTF-8 text of the character boundary at or before a UTF-16 offset, and that
// boundary's own UTF-16 offset (a character is never split).
std::pair<std::size_t, std::size_t> boundaryAtOrBefore(const std::string& text, std::size_t offset16) {
    const char* p = text.c_str();
    const char* end = p + text.size();
    std::size_t units = 0;
    while (p < end && units + units16(g_utf8_get_char(p)) <= offset16) {
        units += units16(g_utf8_get_char(p));
        p = g_utf8_next_char(p);
    }
    return {static_cast<std::size_t>(p - text.c_str()), units};
}

// Replaces the UTF-16 range of the field's text (widened to whole characters) and puts the caret after
// the replacement.
void replaceRange(platform::TextField& field, BCTextRange range, const std::string& replacement) {
    const auto [from, location] = boundaryAtOrBefore(field.text(), range.location);
    std::size_t inserted = 0;
    for (const char* p = replacement.c_str(); *p; p = g_utf8_next_char(p))
        inserted += units16(g_utf8_get_char(p));
    field.setText(textWithReplacedRange(field.text(), range, replacement));
    setSelectedRange(field, {location + inserted, 0});
}

std::shared_ptr<BCLineView> addLine(platform::View& owner, platform::Rect frame) {
    auto line = std::make_shared<BCLineView>(frame, kLineColor);
    line->setUserInteractionEnabled(false);
    owner.addSubview(line);
    return line;
}

} // namespace

std::string textWithReplacedRange(const std::string& text, BCTextRange range, const std::string& replacement) {
    const std::size_t from = boundaryAtOrBefore(text, range.location).first;
    auto [to, end] = boundaryAtOrBefore(text, range.location + range.length);
    if (end < range.location + range.length && to < text.size())  // a range ending inside a character takes all of it
        to = static_cast<std::size_t>(g_utf8_next_char(text.c_str() + to) - text.c_str());
    return text.substr(0, from) + replacement + text.substr(to);
}

BCBaseCell::BCBaseCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate,
                       bool lineFlag, const std::optional<std::string>& leftTitle)
    : platform::View(frame) {
    const double width = frame.size.width;
    const auto label = textOf(content, "label");
    const auto value = textOf(content, "value");
    const auto tip = textOf(content, "tip");
    m_name = textOf(content, "name").value_or("");
    m_placeHolder = textOf(content, "placeholder").value_or("");

    double y = 0;
    if (label && !label->empty()) {
        m_labelCell = std::make_shared<BCLableCell>(platform::Rect(12, 0, width - 24, frame.size.height), *label,
                                                    platform::Font::systemFont(16), platform::Color::fromRGBA(0.2, 0.2, 0.2),
                                                    platform::TextAlignment::Left);
        addSubview(m_labelCell);
        y = m_labelCell->frame().size.height + 5;
    }
    addBGViewAtY(y);
    if (lineFlag)
        m_topLine = addLine(*this, platform::Rect(0, y, width, 1));
    m_textField = BCViews::titleTextFieldWithTitle(leftTitle, platform::Rect(12, y, width - 24, kLineHeight), m_placeHolder);
    addSubview(m_textField);
    double bottom = y + kLineHeight;
    if (lineFlag)
        m_bottomLine = addLine(*this, platform::Rect(0, bottom - 1, width, 1));

    m_keyboard = std::make_shared<BCKeyboard>();
    m_textField->setInputView(m_keyboard);
    m_textField->setInputAccessoryView(nullptr);

    if (tip && !tip->empty()) {
        m_tipCell = std::make_shared<BCLableCell>(platform::Rect(12, 12, width - 24, frame.size.height), *tip,
                                                  platform::Font::systemFont(14), platform::Color::fromRGBA(0.4, 0.4, 0.4),
                                                  platform::TextAlignment::Left);
        const double hintHeight = m_tipCell->frame().size.height;
        m_tipBox = std::make_shared<platform::View>(platform::Rect(0, bottom, width, hintHeight + 24));
        m_tipBox->setBackgroundColor(kHintBoxColor);
        m_tipBox->addSubview(m_tipCell);
        addSubview(m_tipBox);
        if (auto image = BCImageManager::instance()->imageNamed(20020)) {
            const platform::Size size = realSize(*image);
            m_tipImage = BCViews::normalImageViewWithFrame(platform::Rect(12, bottom - size.height, size.width, size.height), image);
            addSubview(m_tipImage);
        }
        bottom += hintHeight + 24;
    }

    setFrame(platform::Rect(frame.origin.x, frame.origin.y, width, bottom));
    setBackgroundColor(platform::Color::clear());

    if (value && !value->empty())
        m_textField->setText(*value);
    m_regexP = textOf(content, "regexp");
    m_readOnly = textOf(content, "readonly") == "true";
    shouldReadOnly(m_readOnly);
    setTextFieldDelegate(std::move(delegate));
}

BCBaseCell::~BCBaseCell() = default;

void BCBaseCell::addBGViewAtY(double y) {
    m_bgView = std::make_shared<platform::View>(platform::Rect(0, y, bounds().size.width, kLineHeight));
    m_bgView->setBackgroundColor(platform::Color::white());
    m_bgView->setClipsToBounds(true);
    addSubview(m_bgView);
}

void BCBaseCell::finishCreation() {
    if (m_created)
        return;
    m_created = true;
    const auto self = std::dynamic_pointer_cast<BCBaseCell>(shared_from_this());
    m_keyboard->setMDelegate(std::static_pointer_cast<BCKeyboardDelegate>(self));
}

void BCBaseCell::didMoveToSuperview() {
    if (!m_created && !weak_from_this().expired())
        finishCreation();
}

std::optional<std::string> BCBaseCell::param() const {
    if (isEmpty())
        return std::nullopt;
    return paramWithString(text());
}

std::string BCBaseCell::paramWithString(const std::string& value) const { return BCJsonService::member(m_name, value); }

bool BCBaseCell::isLegalLength() const { return m_textField->length() <= static_cast<std::size_t>(m_maxLen); }

void BCBaseCell::shouldReadOnly(bool readOnly) { m_textField->setUserInteractionEnabled(!readOnly); }

void BCBaseCell::setTextFieldDelegate(std::weak_ptr<BCTextFieldDelegate> delegate) {
    m_delegate = delegate;
    m_textField->setDelegate(std::move(delegate));
}

void BCBaseCell::setLeftTitle(const std::string& title) {
    m_textField->setLeftView(BCViews::textFieldLeftLabelWithTitle(title));
    m_textField->setLeftViewMode(platform::TextFieldViewMode::Always);
}

void BCBaseCell::setLabelColor(const platform::Color& color) {
    if (m_labelCell)
        m_labelCell->setLabelColor(color);
}

void BCBaseCell::setLabelFont(const platform::Font& font) {
    if (m_labelCell)
        m_labelCell->setLabelFont(font);
}

void BCBaseCell::setLabelText(const std::string& text) {
    if (m_labelCell)
        m_labelCell->setLabelText(text);
}

void BCBaseCell::tellChangeType(int type) {
    if (const auto delegate = m_delegate.lock())
        delegate->textFieldChangeType(type);
}

bool BCBaseCell::textChanged(const std::string& key) {
    const BCTextRange range = selectedRange(*m_textField);
    if (m_textField->length() >= static_cast<std::size_t>(m_maxLen) && range.length == 0)
        return false;
    replaceRange(*m_textField, range, key);
    if (m_textField->length() == 1)
        tellChangeType(BCTextFieldDelegate::kChangeTypeFirstCharacter);
    return true;
}

void BCBaseCell::deleteClick() {
    const BCTextRange range = selectedRange(*m_textField);
    if (range.length > 0)
        replaceRange(*m_textField, range, "");
    else if (range.location > 0)
        replaceRange(*m_textField, {range.location - 1, 1}, "");
    else
        return;
    if (isEmpty())
        tellChangeType(BCTextFieldDelegate::kChangeTypeEmptied);
}

void BCBaseCell::doneClick() { m_textField->resignFirstResponder(); }

void BCBaseCell::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    const double d = BCUtils::rotatedOffset();
    for (platform::View* view : {static_cast<platform::View*>(m_bgView.get()), static_cast<platform::View*>(m_textField.get()),
                                 static_cast<platform::View*>(m_keyboard.get()), static_cast<platform::View*>(m_labelCell.get()),
                                 static_cast<platform::View*>(m_tipBox.get()), static_cast<platform::View*>(m_tipCell.get()),
                                 static_cast<platform::View*>(m_topLine.get()), static_cast<platform::View*>(m_bottomLine.get())})
        if (view)
            growWidth(*view, d);
    if (m_labelCell)
        m_labelCell->willRotateToInterfaceOrientation(orientation, duration);
    if (m_tipCell)
        m_tipCell->willRotateToInterfaceOrientation(orientation, duration);
    m_keyboard->willRotateToInterfaceOrientation(orientation, duration);
}

} // namespace cardpay
