// The success message's colour markup from arbitrary text: the stretch it finds must lie inside the
// shown text, in the units of attributed-text ranges, cover the stretch's text and nothing else, and the
// shown text must be the message with the stretch's marks taken out.
#include "cardpay/core/BCFormat.h"
#include "cardpay/screens/BCSuccessMarkup.h"
#include "platform/ui/AttributedString.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view message(reinterpret_cast<const char*>(data), size);
    const auto markup = cardpay::parseSuccessMarkup(message);
    if (!markup)
        return 0;
    const std::string shown = platform::sanitizeUTF8(message);
    platform::AttributedString text(markup->text);
    if (text.string() != markup->text || markup->text.size() >= shown.size())
        __builtin_trap();  // the marks ("<", "#", ">") always leave the text
    if (markup->location + markup->length > text.length() || cardpay::utf16Length(markup->text) != text.length())
        __builtin_trap();
    if (!text.addForegroundColor(platform::Color::black(), {markup->location, markup->length}).ok())
        __builtin_trap();
    // The range covers the stretch's text exactly: what comes before it is the message up to its "<",
    // what comes after it the message after its ">".
    const std::size_t begin = text.byteOffset(markup->location);
    const std::size_t end = text.byteOffset(markup->location + markup->length);
    if (markup->text.compare(0, begin, shown, 0, shown.find('<')) != 0 || shown.find('<') != begin ||
        markup->text.compare(end, std::string::npos, shown, shown.find('>') + 1) != 0)
        __builtin_trap();
    (void)cardpay::hexToColor(markup->colour);
    return 0;
}
