#include "platform/ui/TextLayout.h"

#include "platform/runloop/DispatchQueue.h"
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
    // The font's metrics lay out a line in it, which reads the files, without adding to the layout cache:
    // the job may run at any later time, and a cached layout would change what the cache holds under a
    // caller that had just cleared it.
    DispatchQueue::global()->async([] { text::TextEngine::shared().metrics(Font::systemFont(Font::kDefaultSize)); });
}

void TextLayout::clearCache() { text::TextEngine::shared().clearCache(); }

std::size_t TextLayout::cacheSize() { return text::TextEngine::shared().cacheSize(); }

} // namespace platform
