// Lays out and draws arbitrary bytes as text: a small header picks the width, the line-break mode, the
// number of lines, the font size and one attributed range; the rest is the text (any bytes, invalid
// UTF-8 included). Measured sizes must be finite, within the width when one is set, and drawing must
// not fail.
#include "platform/ui/ImageContext.h"
#include "platform/ui/Label.h"
#include "platform/ui/TextLayout.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8)
        return 0;
    double width = (data[0] | data[1] << 8) / 64.0;  // 0 (unbounded) to about 1024 points
    if (data[0] == 0xFF)
        width = std::nan("");
    auto mode = static_cast<LineBreakMode>(data[2] % 6);
    int lines = static_cast<int>(data[3] % 6) - 1;  // -1 to 4
    double fontSize = data[4] == 0xFF ? -1.0 : data[4] / 4.0;
    TextRange range{data[5], data[6]};
    bool bold = data[7] & 1;
    std::string text(reinterpret_cast<const char*>(data + 8), size - 8);

    TextStyle style;
    style.font = bold ? Font::boldSystemFont(fontSize) : Font::systemFont(fontSize);
    style.lineBreakMode = mode;
    style.numberOfLines = lines;
    style.alignment = static_cast<TextAlignment>(data[7] >> 1 & 3);

    Size plain = TextLayout::measure(text, style, width);
    if (!std::isfinite(plain.width) || !std::isfinite(plain.height) || plain.width < 0 || plain.height < 0)
        std::abort();
    if (std::isfinite(width) && width > 0 && plain.width > width + 1e-6)
        std::abort();

    AttributedString attributed(text);
    (void)attributed.addForegroundColor(Color::fromRGBA255(200, 0, 0), range);
    (void)attributed.addFont(Font::systemFont(fontSize * 2), TextRange{range.location / 2, range.length * 2});
    Size rich = TextLayout::measure(attributed, style, width);
    if (!std::isfinite(rich.width) || !std::isfinite(rich.height))
        std::abort();

    auto label = std::make_shared<Label>(Rect(0, 0, std::isfinite(width) && width > 0 ? width : 50, 40));
    label->setAttributedText(attributed);
    label->setNumberOfLines(lines);
    label->setLineBreakMode(mode);
    label->setAdjustsFontSizeToFitWidth(data[7] & 8);
    auto context = ImageContext::begin({64, 32}, 1);
    if (!context)
        std::abort();
    label->drawTextInRect(Rect(0, 0, 64, 32));
    context->end();
    return 0;
}
