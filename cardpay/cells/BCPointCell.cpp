#include "cardpay/cells/BCPointCell.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/views/BCTextSize.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace cardpay {

namespace {

std::string localized(int id) { return BCLocale::instance()->getStringById(id); }

std::size_t units16(const std::string& text) { return platform::AttributedString(text).length(); }

std::string twoDecimals(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

} // namespace

BCPointCell::BCPointCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate)
    : BCCommCell(frame, content, std::move(delegate)) {
    textField()->setKeyboardType(platform::KeyboardType::DecimalPad);
    textField()->setTag(kTag);
    const auto text = [&](std::string_view key) -> std::optional<std::string> {
        if (const std::string* s = content[key].getString())
            return *s;
        return std::nullopt;
    };
    BCDataContainer::instance()->setMaxCanUsePoint(floatFromString(text("max_use_point")));
    m_amount = text("ordr_amnt").value_or("");
    m_maxPoint = text("point").value_or("");
    m_hasMaxPoint = text("point").has_value();
    m_canUsePoint = text("max_use_point").value_or("");
    m_ratio = text("ratio").value_or("");
    resetLabelAndTip(frame);
}

BCPointCell::~BCPointCell() { BCDataContainer::instance()->setMaxCanUsePoint(0); }

double BCPointCell::floatFromString(const std::optional<std::string>& text) {
    if (!text || text->empty() || std::isspace(static_cast<unsigned char>(text->front())))
        return 0;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text->c_str(), &end);
    if (end != text->c_str() + text->size() || errno == ERANGE || !std::isfinite(value))
        return 0;
    return value;
}

bool BCPointCell::isLegalLength() const {
    const std::string current = text();
    if (current.empty())
        return true;
    return BCUtils::isValidateTextField(current, "[0-9]*\\.?[0-9]{0,2}") &&
           floatFromString(current) <= BCDataContainer::instance()->maxCanUsePoint();
}

std::optional<std::string> BCPointCell::param() const {
    const double value = floatFromString(text());
    if (!(value > 0))
        return std::nullopt;
    return paramWithString(twoDecimals(value));
}

void BCPointCell::resetLabelAndTip(platform::Rect frame) {
    const double w = frame.size.width;
    if (!labelCell() && m_hasMaxPoint) {
        m_caption = std::make_shared<BCLableCell>(platform::Rect(0, 0, w, frame.size.height), formatText(localized(13016), m_maxPoint),
                                                  platform::Font::systemFont(16), BCUtils::greenTextColor(), platform::TextAlignment::Left,
                                                  kTextInset);
        addSubview(m_caption);
        shouldChangeAmout(floatFromString(text()));
        // The input line goes down with its band (it would otherwise sit on the caption).
        const double down = m_caption->frame().size.height + 5;
        for (platform::View* view : {static_cast<platform::View*>(bgView().get()), static_cast<platform::View*>(textField().get())}) {
            platform::Rect frame = view->frame();
            frame.origin.y += down;
            view->setFrame(frame);
        }
    }
    double bottom = bgView()->frame().maxY();
    if (!tipCell()) {
        const std::string hint = formatText(formatText(localized(13018), m_maxPoint), m_ratio);
        m_hint = std::make_shared<BCLableCell>(platform::Rect(0, bottom + 5, w, frame.size.height), hint, platform::Font::systemFont(14),
                                               platform::Color::fromRGBA(0.4, 0.4, 0.4), platform::TextAlignment::Left, kTextInset);
        addSubview(m_hint);
        bottom = m_hint->frame().maxY();
    }
    platform::Rect own = this->frame();
    own.size.height = std::max(own.size.height, bottom);
    setFrame(own);
}

std::string BCPointCell::currencyWord() {
    // A word of letters (the English "yuan") is set off from the amount by a blank; a sign ("元") is not.
    const std::string word = localized(13019);
    return !word.empty() && std::isalpha(static_cast<unsigned char>(word.front())) ? " " + word : word;
}

std::string BCPointCell::rest(double value) const {
    // Points worth more than the order leave nothing to pay, never a negative amount.
    const double rest = floatFromString(m_amount) - floatFromString(m_ratio) * value;
    return twoDecimals(std::isfinite(rest) && rest > 0 ? rest : 0);
}

void BCPointCell::shouldChangeAmout(double value) {
    if (!m_caption)
        return;
    const std::string base = formatText(localized(13016), m_canUsePoint);
    std::string caption = base;
    if (value > 0) {
        caption = base + localized(13017) + rest(value) + currencyWord();
        if (const auto attributed = changeAmount(value))
            m_caption->label()->setAttributedText(*attributed);
    } else {
        m_caption->setLabelText(caption);
    }
    resetKeyPathWithString(caption);
}

std::optional<platform::AttributedString> BCPointCell::changeAmount(double value) const {
    if (!(value > 0) || !m_caption)
        return std::nullopt;
    const std::string head = formatText(localized(13016), m_canUsePoint) + localized(13017);
    const std::string amount = rest(value);
    const std::string currency = currencyWord();
    platform::AttributedString text(head + amount + currency);
    const std::size_t headLength = units16(head), amountLength = units16(amount);
    // The ranges lie inside the text by construction; a refusal would mean a broken caption, so none.
    const bool styled = text.addForegroundColor(m_caption->label()->textColor(), {0, text.length()}).ok() &&
                        text.addForegroundColor(BCUtils::greenTextColor(), {0, headLength}).ok() &&
                        text.addForegroundColor(BCUtils::redTextColor(), {headLength, amountLength}).ok() &&
                        text.addForegroundColor(BCUtils::greenTextColor(), {headLength + amountLength, units16(currency)}).ok() &&
                        text.addFont(platform::Font::systemFont(16), {0, text.length()}).ok();
    if (!styled)
        return std::nullopt;
    text.setParagraphStyle({platform::TextAlignment::Left, platform::LineBreakMode::WordWrap});
    return text;
}

void BCPointCell::resetKeyPathWithString(const std::string& caption) {
    if (!m_caption)
        return;
    const double measured = newSizeWithFont(caption, platform::Font::systemFont(16), m_caption->frame().size.width - 2 * kTextInset,
                                            platform::LineBreakMode::WordWrap).height;
    const double delta = measured - m_caption->label()->frame().size.height;
    if (delta == 0)
        return;
    m_keyPath = delta;
    std::erase_if(m_observers, [](const auto& o) { return o.expired(); });
    for (const auto& weak : std::vector(m_observers))
        if (const auto observer = weak.lock())
            observer->pointCellKeyPathChanged(*this, delta);
    resetFrameWithOffset(delta);
}

void BCPointCell::resetFrameWithOffset(double offset) {
    if (offset == 0)
        return;
    const auto grow = [offset](platform::View& view) {
        platform::Rect frame = view.frame();
        frame.size.height += offset;
        view.setFrame(frame);
    };
    const auto move = [offset](platform::View& view) {
        platform::Rect frame = view.frame();
        frame.origin.y += offset;
        view.setFrame(frame);
    };
    grow(*m_caption);
    grow(*m_caption->label());
    move(*bgView());
    move(*textField());
    if (m_hint)
        move(*m_hint);
    grow(*this);
}

void BCPointCell::addOffsetObserver(std::weak_ptr<BCPointCellObserver> observer) { m_observers.push_back(std::move(observer)); }

} // namespace cardpay
