#include "platform/ui/TextLayout.h"

#include "platform/DispatchQueue.h"
#include "platform/ui/TextEngine.h"

namespace platform {

Size TextLayout::measure(const std::string& text, const TextStyle& style, double width) {
    return text::TextEngine::shared().measure(AttributedString(text), style, width);
}

Size TextLayout::measure(const AttributedString& text, const TextStyle& style, double width) {
    return text::TextEngine::shared().measure(text, style, width);
}

double TextLayout::singleLineWidth(const std::string& text, const Font& font) {
    TextStyle style;
    style.font = font;
    style.numberOfLines = 1;
    style.lineBreakMode = LineBreakMode::Clip;
    return text::TextEngine::shared().measure(AttributedString(text), style, 0).width;
}

void TextLayout::prepare() {
    DispatchQueue::global()->async([] { singleLineWidth("Ag", Font::systemFont(Font::kDefaultSize)); });
}

void TextLayout::clearCache() { text::TextEngine::shared().clearCache(); }

std::size_t TextLayout::cacheSize() { return text::TextEngine::shared().cacheSize(); }

} // namespace platform
