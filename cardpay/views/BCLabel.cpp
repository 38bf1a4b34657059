#include "cardpay/views/BCLabel.h"

#include "cardpay/views/BCTextSize.h"

#include <algorithm>

namespace cardpay {

BCLabel::BCLabel(platform::Rect frame) : platform::Label(frame) {}

void BCLabel::setText(const std::string& text) {
    platform::Label::setText(text.size() > kMaxLayoutCharacters ? cutForLayout(text) : text);
}

void BCLabel::setTextInsets(double left, double right) {
    m_leftInset = std::max(0.0, left);
    m_rightInset = std::max(0.0, right);
    setNeedsDisplay();
}

platform::Rect BCLabel::textRectForBounds(platform::Rect bounds, int numberOfLines) const {
    bounds.origin.x += m_leftInset;
    bounds.size.width = std::max(0.0, bounds.size.width - m_leftInset - m_rightInset);
    platform::Rect rect = platform::Label::textRectForBounds(bounds, numberOfLines);
    switch (m_verticalAlignment) {
    case Top:
        rect.origin.y = bounds.origin.y;
        break;
    case Bottom:
        rect.origin.y = bounds.origin.y + bounds.size.height - rect.size.height;
        break;
    default:
        rect.origin.y = bounds.origin.y + (bounds.size.height - rect.size.height) / 2;
        break;
    }
    return rect;
}

void BCLabel::drawTextInRect(platform::Rect) {
    // The text's band across the whole width, so that alignment still works within the bounds.
    const platform::Rect bounds = this->bounds();
    const platform::Rect text = textRectForBounds(bounds, numberOfLines());
    platform::Label::drawTextInRect(platform::Rect(text.origin.x, text.origin.y,
                                                  std::max(0.0, bounds.size.width - m_leftInset - m_rightInset), text.size.height));
}

} // namespace cardpay
