#include "cardpay/views/BCOrderViews.h"

#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"
#include "platform/system/UserDefaults.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string_view>

namespace cardpay {

namespace {

const platform::Color kKeyColor = platform::Color::fromRGBA(0.2, 0.2, 0.2);
const platform::Color kPlainValueColor = platform::Color::fromRGBA(0.4, 0.4, 0.4);

std::string textOf(const platform::Dictionary& d, std::string_view key) { return d[key].stringOr(""); }

} // namespace

// MARK: - BCLableCell

BCLableCell::BCLableCell(platform::Rect frame, const std::string& text, const platform::Font& font, const platform::Color& color,
                         platform::TextAlignment alignment, double inset)
    : platform::View(frame) {
    const double height = newSizeWithFont(text, font, frame.size.width - 2 * inset, platform::LineBreakMode::WordWrap).height;
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, frame.size.width, height));
    m_label = BCViews::normalLabelWithFrame(bounds(), text, 16, color);
    m_label->setTextInsets(inset, inset);
    m_label->setTextAlignment(alignment);
    m_label->setFont(font);
    m_label->setLineBreakMode(platform::LineBreakMode::WordWrap);
    m_label->setNumberOfLines(0);
    setBackgroundColor(platform::Color::clear());
    addSubview(m_label);
}

void BCLableCell::willRotateToInterfaceOrientation(platform::InterfaceOrientation, double) {
    m_label->setFrame(platform::Rect(0, 0, bounds().size.width, bounds().size.height));
}

// MARK: - BCStringCell

BCStringCell::BCStringCell(platform::Rect frame, const std::string& label, const std::string& value, const std::string&,
                           double titleFontSize, double) : platform::View(frame) {
    const double width = frame.size.width;
    const platform::Font font = platform::Font::systemFont(titleFontSize);
    double y = 0;
    if (!label.empty()) {
        m_label = std::make_shared<BCLableCell>(platform::Rect(0, 0, width, titleFontSize), label, font, kKeyColor,
                                                platform::TextAlignment::Left);
        addSubview(m_label);
        y = m_label->frame().size.height + 10;
    }
    if (!value.empty()) {
        m_value = std::make_shared<BCLableCell>(platform::Rect(0, y, width, titleFontSize), value, font, kKeyColor,
                                                platform::TextAlignment::Left);
        addSubview(m_value);
        y += m_value->frame().size.height;
    }
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, width, y));
}

void BCStringCell::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    for (const auto& cell : {m_label, m_value}) {
        if (!cell)
            continue;
        platform::Rect frame = cell->frame();
        frame.size.width = bounds().size.width - 10;
        cell->setFrame(frame);
        cell->willRotateToInterfaceOrientation(orientation, duration);
    }
}

// MARK: - BCOrderItemCell

namespace {

// A character that lines may break before and after without a space: CJK ideographs, their symbols and
// punctuation, kana, Hangul syllables, fullwidth forms. `utf8` is one code point's bytes.
bool isIdeograph(std::string_view utf8) {
    if (utf8.size() < 3)
        return false;
    const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(utf8[i])); };
    const std::uint32_t cp = utf8.size() == 3 ? ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F)
                                              : ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
    return (cp >= 0x2E80 && cp <= 0x9FFF) || (cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFFEF) || (cp >= 0x20000 && cp <= 0x3FFFF);
}

} // namespace

double BCOrderItemCell::keyColumnWidth(double width, const platform::Array& rows) {
    const platform::Font font = platform::Font::systemFont(16);
    const double base = newSizeWithFont("订单金额", font, width, platform::LineBreakMode::WordWrap).width;
    const double limit = std::max(base, std::floor(width * 0.4));
    double widest = base;
    for (const auto& row : rows) {
        // A word: what stands between spaces and line ends, where each ideograph (or kana, or a character
        // of the fullwidth forms) is a word of its own that may start a line; other characters of three
        // or four bytes (a curly apostrophe, a dash, a currency sign) belong to the word they stand in.
        const std::string key = textOf(row.dictionaryOrEmpty(), "label");
        std::size_t start = 0;
        for (std::size_t i = 0; i <= key.size();) {
            const unsigned char c = i < key.size() ? static_cast<unsigned char>(key[i]) : ' ';
            const std::size_t length = std::min<std::size_t>(c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4, key.size() + 1 - i);
            if (c == ' ' || c == '\n' || c == '\t' || isIdeograph(std::string_view(key).substr(i, length))) {
                // A word wider than the limit is measured as the limit.
                if (i > start)
                    widest = std::max(widest, std::ceil(newSizeWithFont(key.substr(start, i - start), font, limit,
                                                                        platform::LineBreakMode::WordWrap).width));
                start = i + length;
            }
            i += length;
        }
    }
    return widest;
}

BCOrderItemCell::BCOrderItemCell(platform::Rect frame, const platform::Dictionary& content, double keyWidth)
    : platform::View(frame), m_content(content) {
    const double w = frame.size.width;
    const double k = keyWidth < 0 ? keyColumnWidth(w, platform::Array{platform::Value(content)}) : keyWidth;
    const platform::Font keyFont = platform::Font::systemFont(16);
    const std::string key = textOf(content, "label");
    const std::string value = textOf(content, "value");
    const auto style = hexToColor(textOf(content, "style"));
    const platform::Font valueFont = style ? platform::Font::boldSystemFont(16) : platform::Font::systemFont(16);
    const double valueWidth = std::max(0.0, w - k - 12);
    const platform::Size valueSize = newSizeWithFont(value, valueFont, valueWidth, platform::LineBreakMode::WordWrap);
    m_keyLabel = std::make_shared<BCLableCell>(platform::Rect(0, 0, k, 0), key, keyFont, kKeyColor, platform::TextAlignment::Left);
    m_valueLabel = std::make_shared<BCLableCell>(platform::Rect(k + 12, 0, valueSize.width, 0), value, valueFont,
                                                 style.value_or(kPlainValueColor), platform::TextAlignment::Left);
    addSubview(m_keyLabel);
    addSubview(m_valueLabel);
    const double height = std::max(m_keyLabel->frame().size.height, m_valueLabel->frame().size.height);
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, w, height));
}

// MARK: - BCOrderInfoRegion

BCOrderInfoRegion::BCOrderInfoRegion(platform::Rect frame, const platform::Array& rows) : platform::View(frame) {
    const double width = frame.size.width;
    platform::Array keyed = rows;
    const auto checkCode = platform::UserDefaults::standard().string("BCPayPluginCheckeCode");
    if (checkCode && !checkCode->empty())
        keyed.push_back(platform::Dictionary{{"label", BCLocale::instance()->getStringById(11009)}, {"value", *checkCode}});
    const double keyWidth = BCOrderItemCell::keyColumnWidth(width, keyed);
    double y = 0;
    const auto addRow = [&](const platform::Dictionary& row) {
        auto cell = std::make_shared<BCOrderItemCell>(platform::Rect(0, y, width, 0), row, keyWidth);
        addSubview(cell);
        m_cells.push_back(cell);
        y = std::floor(y + cell->frame().size.height + 5);
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        addRow(rows[i].dictionaryOrEmpty());
        if (i == 1)
            m_keyValueHeight = y - 5;
    }
    if (keyed.size() > rows.size())
        addRow(keyed.back().dictionaryOrEmpty());
    setBackgroundColor(platform::Color::clear());
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, width, std::max(0.0, y - 5)));
}

void BCOrderInfoRegion::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    for (const auto& cell : m_cells) {
        platform::Rect frame = cell->frame();
        frame.size.width = bounds().size.width - 10;
        cell->setFrame(frame);
        cell->willRotateToInterfaceOrientation(orientation, duration);
    }
}

// MARK: - BCRiskInfoRegion

BCRiskInfoRegion::BCRiskInfoRegion(platform::Rect frame, const platform::Dictionary& risk) : platform::View(frame), m_risk(risk) {
    m_cell = std::make_shared<BCStringCell>(platform::Rect(0, 0, frame.size.width, 0), textOf(risk, "label"), textOf(risk, "value"),
                                            textOf(risk, "style"), 12, 12);
    addSubview(m_cell);
    setBackgroundColor(platform::Color::clear());
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, frame.size.width, m_cell->frame().size.height));
}

void BCRiskInfoRegion::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    m_cell->setFrame(platform::Rect(0, 0, bounds().size.width, m_cell->frame().size.height));
    m_cell->willRotateToInterfaceOrientation(orientation, duration);
}

// MARK: - BCOrderView

BCOrderView::BCOrderView(platform::Rect frame, std::shared_ptr<BCOrderInfoRegion> orderRegion, std::shared_ptr<BCRiskInfoRegion> riskRegion)
    : platform::View(frame), m_orderInfo(std::move(orderRegion)), m_riskInfo(std::move(riskRegion)) {
    setBackgroundColor(platform::Color::clear());
    double h = 0;
    if (m_orderInfo) {
        addSubview(m_orderInfo);
        h = std::floor(m_orderInfo->frame().size.height);
    }
    if (m_riskInfo) {
        platform::Rect risk = m_riskInfo->frame();
        risk.origin.y = h + 6;
        m_riskInfo->setFrame(risk);
        addSubview(m_riskInfo);
        h = std::floor(h + 6 + risk.size.height + 7);
    }
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, frame.size.width, h));
}

void BCOrderView::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    const double d = BCUtils::rotatedOffset();
    inBaseViewAnimation(duration, [&] {
        if (m_orderInfo)
            growWidth(*m_orderInfo, d);
        if (m_riskInfo)
            growWidth(*m_riskInfo, d);
    });
    if (m_orderInfo)
        m_orderInfo->willRotateToInterfaceOrientation(orientation, duration);
    if (m_riskInfo)
        m_riskInfo->willRotateToInterfaceOrientation(orientation, duration);
}

// MARK: - BCDefaultCardView

BCDefaultCardView::BCDefaultCardView(platform::Rect frame, const std::string& text, double lineLeftMargin)
    : platform::Control(platform::Rect(frame.origin.x, frame.origin.y, frame.size.width, 44)), m_leftMargin(lineLeftMargin) {
    const double w = frame.size.width;
    setBackgroundColor(platform::Color::white());
    auto arrow = BCImageManager::instance()->imageNamed(20001);
    const platform::Size size = arrow ? realSize(*arrow) : platform::Size{};
    m_indicatorImageView = std::make_shared<platform::ImageView>(platform::Rect(w - 12 - size.width, (44 - size.height) / 2, size.width, size.height));
    m_indicatorImageView->setImage(arrow);
    m_indicatorImageView->setTransform(platform::AffineTransform::rotation(-std::numbers::pi / 2));
    m_indicatorImageView->setUserInteractionEnabled(false);
    addSubview(m_indicatorImageView);
    m_textLabel = BCViews::normalLabelWithFrame(platform::Rect(12, 0, std::max(0.0, w - 24 - size.width), 44), text, 16, platform::Color::black());
    m_textLabel->setUserInteractionEnabled(false);
    m_textLabel->setVerticalAlignment(BCLabel::Middle);
    m_textLabel->setLineBreakMode(platform::LineBreakMode::TruncateMiddle);
    m_textLabel->setNumberOfLines(1);
    addSubview(m_textLabel);
    const platform::Color line = platform::Color::fromRGBA255(229, 229, 229);
    addSubview(std::make_shared<BCLineView>(platform::Rect(m_leftMargin, 0, w, 1), line));
    addSubview(std::make_shared<BCLineView>(platform::Rect(m_leftMargin, 43, w, 1), line));
}

} // namespace cardpay
