// Private to platform/ui: the one Pango context over the project's font file, the layout cache, and
// text drawing. Every entry point takes the engine's lock, so any thread may measure or draw.
#pragma once

#include "platform/core/Geometry.h"
#include "platform/core/SeededHash.h"
#include "platform/ui/AttributedString.h"
#include "platform/ui/TextLayout.h"

#include <cairo.h>

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

typedef struct _PangoContext PangoContext;
typedef struct _PangoLayout PangoLayout;

namespace platform::text {

struct FontMetrics {
    double ascender = 0;
    double descender = 0;  // negative
    double lineHeight = 0;
};

// A laid-out text: the Pango layout and what of it is shown.
struct LaidOutText {
    LaidOutText() = default;
    LaidOutText(const LaidOutText&) = delete;
    LaidOutText& operator=(const LaidOutText&) = delete;
    ~LaidOutText();

    PangoLayout* layout = nullptr;
    Size size;               // the shown lines: widest width, total height
    double alignOffset = 0;  // x offset for unwrapped single lines, as a fraction of the spare width
    bool cut = false;        // lines past numberOfLines are hidden
    std::size_t cost = 0;
};

class TextEngine {
public:
    static TextEngine& shared();

    Size measure(const AttributedString& text, const TextStyle& style, double width);
    FontMetrics metrics(const Font& font);
    std::string fontDescription(const Font& font);
    // Draws the text laid out at rect's width from rect's origin (aligned within the width), clipped
    // to the shown lines.
    void draw(cairo_t* cr, const AttributedString& text, const TextStyle& style, Rect rect);

    void clearCache();
    std::size_t cacheSize();

private:
    TextEngine();
    std::shared_ptr<LaidOutText> layoutLocked(const AttributedString& text, const TextStyle& style, double width);
    std::shared_ptr<LaidOutText> build(const AttributedString& text, const TextStyle& style, double width);

    std::mutex m_mutex;
    PangoContext* m_context = nullptr;
    using Entry = std::pair<std::string, std::shared_ptr<LaidOutText>>;
    std::list<Entry> m_lru;  // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator, SeededHash, std::equal_to<>> m_index;
    std::size_t m_cost = 0;
    std::unordered_map<std::string, FontMetrics, SeededHash, std::equal_to<>> m_metrics;
};

} // namespace platform::text
