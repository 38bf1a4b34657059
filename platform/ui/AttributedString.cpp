#include "platform/ui/AttributedString.h"

#include <glib.h>

namespace platform {

std::string sanitizeUTF8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const char* p = text.data();
    const char* end = text.data() + text.size();
    while (p < end) {
        const char* bad = nullptr;
        g_utf8_validate_len(p, static_cast<gsize>(end - p), &bad);
        out.append(p, static_cast<std::size_t>(bad - p));
        if (bad == end)
            break;
        out.append("\xEF\xBF\xBD");
        // Skip the invalid byte (or the NUL); a sequence cut short is one replacement per byte.
        p = bad + 1;
    }
    return out;
}

AttributedString::AttributedString(std::string_view text) : m_text(sanitizeUTF8(text)) {
    for (unsigned char c : m_text) {
        if ((c & 0xC0) != 0x80)
            ++m_utf16Length;
        if ((c & 0xF8) == 0xF0)
            ++m_utf16Length;  // four-byte sequences are surrogate pairs
    }
}

std::size_t AttributedString::byteOffset(std::size_t utf16Offset) const {
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < m_text.size()) {
        auto c = static_cast<unsigned char>(m_text[i]);
        std::size_t width = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        std::size_t unitsHere = width == 4 ? 2 : 1;
        if (units + unitsHere > utf16Offset)
            return i;
        units += unitsHere;
        i += width;
    }
    return m_text.size();
}

Status AttributedString::addRun(Run run, TextRange range) {
    if (range.location > m_utf16Length || range.length > m_utf16Length - range.location)
        return Error(kCocoaErrorDomain, 0,
                     "range {" + std::to_string(range.location) + ", " + std::to_string(range.length) +
                         "} out of bounds; string length " + std::to_string(m_utf16Length));
    run.begin = byteOffset(range.location);
    run.end = byteOffset(range.location + range.length);
    if (range.location + range.length == m_utf16Length)
        run.end = m_text.size();
    if (run.begin < run.end)
        m_runs.push_back(std::move(run));
    return {};
}

Status AttributedString::addForegroundColor(const Color& color, TextRange range) {
    Run run;
    run.foregroundColor = color;
    return addRun(std::move(run), range);
}

Status AttributedString::addFont(const Font& font, TextRange range) {
    Run run;
    run.font = font;
    return addRun(std::move(run), range);
}

AttributedString AttributedString::withoutForegroundColors() const {
    AttributedString copy = *this;
    std::erase_if(copy.m_runs, [](const Run& run) { return !run.font; });
    for (Run& run : copy.m_runs)
        run.foregroundColor.reset();
    return copy;
}

} // namespace platform
