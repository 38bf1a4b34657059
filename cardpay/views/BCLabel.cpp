#include "cardpay/views/BCLabel.h"

namespace cardpay {

BCLabel::BCLabel(platform::Rect frame) : platform::Label(frame) {}

platform::Rect BCLabel::textRectForBounds(platform::Rect bounds, int numberOfLines) const {
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
    platform::Label::drawTextInRect(platform::Rect(bounds.origin.x, text.origin.y, bounds.size.width, text.size.height));
}

} // namespace cardpay
