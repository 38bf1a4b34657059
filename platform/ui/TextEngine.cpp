#include "platform/ui/TextEngine.h"

#include "platform/ui/CairoSupport.h"

#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>

#include <cmath>
#include <cstring>
#include <vector>

#if !defined(HYB_UI_FONT_FILE) || !defined(HYB_UI_SYMBOL_FONT_FILE) || !defined(HYB_UI_EMOJI_FONT_FILE)
#error "HYB_UI_FONT_FILE and its fallbacks name the font files (set by platform/CMakeLists.txt)"
#endif

namespace platform::text {

namespace {

constexpr const char* kFamily = "WenQuanYi Micro Hei";
constexpr std::size_t kMaxEntries = 2048;
// A layout holds about 48 bytes per byte of text (glyphs, clusters, attributes, lines); the cache keeps
// about 48 MiB of them, so a megabyte of text stays for its next draw but does not pile up.
constexpr std::size_t kCostPerByte = 48;
constexpr std::size_t kMaxCost = 48u << 20;

// Outlines get no hinting, so advances are the design advances at every size; bold is the regular face
// emboldened (the file has no bold face). Characters the font lacks come from DejaVu Sans (symbols such
// as arrows and shapes), then from Noto Color Emoji; what Pango marks as emoji (the "emoji" family) comes
// from the emoji font first, its colour pictures scaled from their one size to the text's. The
// configuration holds these three files and nothing of the machine's own, so every machine draws the
// same pictures.
constexpr const char* kFontConfig = R"(<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <alias binding="same">
    <family>WenQuanYi Micro Hei</family>
    <accept><family>DejaVu Sans</family><family>Noto Color Emoji</family></accept>
  </alias>
  <alias binding="same">
    <family>emoji</family>
    <prefer><family>Noto Color Emoji</family></prefer>
    <accept><family>DejaVu Sans</family><family>WenQuanYi Micro Hei</family></accept>
  </alias>
  <match target="font">
    <test name="outline" compare="eq"><bool>false</bool></test>
    <edit name="pixelsizefixupfactor" mode="assign">
      <divide><name target="pattern">pixelsize</name><name target="font">pixelsize</name></divide>
    </edit>
  </match>
  <match target="font">
    <test name="outline" compare="eq"><bool>false</bool></test>
    <edit name="matrix" mode="assign">
      <times>
        <name>matrix</name>
        <matrix><name>pixelsizefixupfactor</name><double>0</double><double>0</double><name>pixelsizefixupfactor</name></matrix>
      </times>
    </edit>
    <edit name="size" mode="assign"><divide><name>size</name><name>pixelsizefixupfactor</name></divide></edit>
  </match>
  <match target="font">
    <test name="outline" compare="eq"><bool>true</bool></test>
    <edit name="hinting" mode="assign"><bool>false</bool></edit>
    <edit name="hintstyle" mode="assign"><const>hintnone</const></edit>
    <edit name="antialias" mode="assign"><bool>true</bool></edit>
  </match>
  <match target="font">
    <test target="pattern" name="weight" compare="more"><const>medium</const></test>
    <test name="weight" compare="less_eq"><const>medium</const></test>
    <test name="color" compare="eq"><bool>false</bool></test>
    <edit name="embolden" mode="assign"><bool>true</bool></edit>
    <edit name="weight" mode="assign"><const>bold</const></edit>
  </match>
</fontconfig>
)";

PangoFontDescription* describe(const Font& font) {
    PangoFontDescription* d = pango_font_description_new();
    pango_font_description_set_family_static(d, kFamily);
    pango_font_description_set_absolute_size(d, font.pointSize() * PANGO_SCALE);
    pango_font_description_set_weight(d, font.isBold() ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    return d;
}

guint16 channel16(double v) { return static_cast<guint16>(std::lround(v * 65535)); }

template <class T>
void appendValue(std::string& key, const T& v) {
    key.append(reinterpret_cast<const char*>(&v), sizeof v);
}

void appendFont(std::string& key, const Font& f) {
    appendValue(key, f.pointSize());
    key.push_back(f.isBold() ? 'B' : 'R');
}

void appendColor(std::string& key, const Color& c) {
    for (double v : {c.red, c.green, c.blue, c.alpha})
        appendValue(key, v);
}

bool isBounded(double width) { return std::isfinite(width) && width > 0; }

// Pango shapes an item whole each time it breaks a line off it, and an item runs as far as the text
// keeps its script, font and attributes: a long run without spaces (one 256 KiB word, say) is shaped again
// for every line it wraps onto, in time quadratic in its length. Items end where an attribute does, so
// such runs get a do-nothing attribute (font fallback on, the default) over every piece of about
// kPieceBytes, cut at the start of a character as the user sees it (a grapheme). Runs up to kLongRunBytes
// are left whole: their shaping, kerning included, is what it always was.
constexpr std::size_t kLongRunBytes = 256;
constexpr std::size_t kPieceBytes = 64;

bool isAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

void insertPiece(PangoAttrList* attrs, std::size_t begin, std::size_t end) {
    PangoAttribute* a = pango_attr_fallback_new(TRUE);
    a->start_index = static_cast<guint>(begin);
    a->end_index = static_cast<guint>(end);
    pango_attr_list_insert(attrs, a);
}

// Cuts the run [begin, end) of `text` into pieces that start at grapheme boundaries.
void cutLongRun(PangoAttrList* attrs, const char* text, std::size_t begin, std::size_t end) {
    const char* run = text + begin;
    const int length = static_cast<int>(end - begin);
    const glong characters = g_utf8_strlen(run, length);
    std::vector<PangoLogAttr> logAttrs(static_cast<std::size_t>(characters) + 1);
    pango_get_log_attrs(run, length, -1, pango_language_from_string("en"), logAttrs.data(), static_cast<int>(logAttrs.size()));
    std::size_t pieceStart = begin;
    const char* p = run;
    for (glong i = 0; i < characters; ++i) {
        const std::size_t at = begin + static_cast<std::size_t>(p - run);
        if (at - pieceStart >= kPieceBytes && logAttrs[static_cast<std::size_t>(i)].is_cursor_position) {
            insertPiece(attrs, pieceStart, at);
            pieceStart = at;
        }
        p = g_utf8_next_char(p);
    }
    if (pieceStart > begin)
        insertPiece(attrs, pieceStart, end);
}

// `text` is the layout's own copy: UTF-8 (Pango has replaced what was not) and ending at its first NUL.
void cutLongRuns(PangoAttrList* attrs, const char* text) {
    const std::size_t size = std::strlen(text);
    std::size_t i = 0;
    while (i < size) {
        while (i < size && isAsciiSpace(text[i]))
            ++i;
        const std::size_t begin = i;
        while (i < size && !isAsciiSpace(text[i]))
            ++i;
        if (i - begin > kLongRunBytes)
            cutLongRun(attrs, text, begin, i);
    }
}

} // namespace

LaidOutText::~LaidOutText() {
    if (layout)
        g_object_unref(layout);
}

TextEngine& TextEngine::shared() {
    static TextEngine* engine = new TextEngine();  // lives for the process, like the font map it holds
    return *engine;
}

TextEngine::TextEngine() {
    FcConfig* config = FcConfigCreate();
    FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8*>(kFontConfig), FcTrue);
    for (const char* file : {HYB_UI_FONT_FILE, HYB_UI_SYMBOL_FONT_FILE, HYB_UI_EMOJI_FONT_FILE})
        FcConfigAppFontAddFile(config, reinterpret_cast<const FcChar8*>(file));
    // Keep face 0 only: the CJK file also holds a monospaced face, which fallback could otherwise pick.
    // (Reject rules do not apply to application fonts, so the set is trimmed here.)
    if (FcFontSet* set = FcConfigGetFonts(config, FcSetApplication)) {
        int kept = 0;
        for (int i = 0; i < set->nfont; ++i) {
            int index = 0;
            FcPatternGetInteger(set->fonts[i], FC_INDEX, 0, &index);
            if (index == 0)
                set->fonts[kept++] = set->fonts[i];
            else
                FcPatternDestroy(set->fonts[i]);
        }
        set->nfont = kept;
    }
    PangoFontMap* map = pango_cairo_font_map_new_for_font_type(CAIRO_FONT_TYPE_FT);
    pango_fc_font_map_set_config(PANGO_FC_FONT_MAP(map), config);
    FcConfigDestroy(config);
    m_context = pango_font_map_create_context(map);
    g_object_unref(map);  // the context keeps it
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(m_context, options);
    cairo_font_options_destroy(options);
    pango_cairo_context_set_resolution(m_context, 72);
    pango_context_set_round_glyph_positions(m_context, FALSE);
    pango_context_set_base_dir(m_context, PANGO_DIRECTION_LTR);
}

std::shared_ptr<LaidOutText> TextEngine::build(const AttributedString& text, const TextStyle& style, double width) {
    ParagraphStyle paragraph = text.paragraphStyle().value_or(ParagraphStyle{style.alignment, style.lineBreakMode});
    int lines = std::max(0, style.numberOfLines);
    bool bounded = isBounded(width);
    LineBreakMode mode = paragraph.lineBreakMode;

    auto laid = std::make_shared<LaidOutText>();
    PangoLayout* layout = pango_layout_new(m_context);
    laid->layout = layout;
    const std::string& s = text.string();
    pango_layout_set_text(layout, s.data(), static_cast<int>(std::min<std::size_t>(s.size(), INT32_MAX)));
    PangoFontDescription* base = describe(style.font);
    pango_layout_set_font_description(layout, base);
    pango_font_description_free(base);

    {
        PangoAttrList* attrs = pango_attr_list_new();
        // Words broken inside (character wrapping, long words) get no hyphen, as on the platform.
        pango_attr_list_insert(attrs, pango_attr_insert_hyphens_new(FALSE));
        for (const AttributedString::Run& run : text.runs()) {
            auto place = [&](PangoAttribute* a) {
                a->start_index = static_cast<guint>(run.begin);
                a->end_index = static_cast<guint>(run.end);
                pango_attr_list_change(attrs, a);
            };
            if (run.foregroundColor) {
                const Color& c = *run.foregroundColor;
                place(pango_attr_foreground_new(channel16(c.red), channel16(c.green), channel16(c.blue)));
                place(pango_attr_foreground_alpha_new(std::max<guint16>(1, channel16(c.alpha))));
            }
            if (run.font) {
                PangoFontDescription* d = describe(*run.font);
                place(pango_attr_font_desc_new(d));
                pango_font_description_free(d);
            }
        }
        cutLongRuns(attrs, pango_layout_get_text(layout));
        pango_layout_set_attributes(layout, attrs);
        pango_attr_list_unref(attrs);
    }

    PangoEllipsizeMode ellipsize = PANGO_ELLIPSIZE_NONE;
    PangoWrapMode wrap = mode == LineBreakMode::CharWrap ? PANGO_WRAP_CHAR : PANGO_WRAP_WORD_CHAR;
    if (lines > 0 && mode == LineBreakMode::TruncateHead)
        ellipsize = PANGO_ELLIPSIZE_START;
    else if (lines > 0 && mode == LineBreakMode::TruncateTail)
        ellipsize = PANGO_ELLIPSIZE_END;
    else if (lines > 0 && mode == LineBreakMode::TruncateMiddle)
        ellipsize = PANGO_ELLIPSIZE_MIDDLE;
    bool wraps = bounded && !(mode == LineBreakMode::Clip && lines == 1);
    pango_layout_set_wrap(layout, wrap);
    if (wraps) {
        pango_layout_set_width(layout, static_cast<int>(std::min(std::ceil(width * PANGO_SCALE), double(INT32_MAX))));
        if (ellipsize != PANGO_ELLIPSIZE_NONE) {
            pango_layout_set_ellipsize(layout, ellipsize);
            pango_layout_set_height(layout, -lines);
        }
        switch (paragraph.alignment) {
        case TextAlignment::Center: pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER); break;
        case TextAlignment::Right: pango_layout_set_alignment(layout, PANGO_ALIGN_RIGHT); break;
        case TextAlignment::Justified: pango_layout_set_justify(layout, TRUE); break;
        default: break;
        }
    } else {
        laid->alignOffset = paragraph.alignment == TextAlignment::Center ? 0.5 : paragraph.alignment == TextAlignment::Right ? 1 : 0;
    }

    int count = pango_layout_get_line_count(layout);
    int shown = lines > 0 ? std::min(lines, count) : count;
    laid->cut = shown < count;
    PangoLayoutIter* iter = pango_layout_get_iter(layout);
    int widest = 0, bottom = 0;
    for (int i = 0; i < shown; ++i) {
        PangoRectangle logical;
        pango_layout_iter_get_line_extents(iter, nullptr, &logical);
        widest = std::max(widest, logical.width);
        bottom = logical.y + logical.height;
        if (!pango_layout_iter_next_line(iter))
            break;
    }
    pango_layout_iter_free(iter);
    laid->size = Size{static_cast<double>(widest) / PANGO_SCALE, static_cast<double>(bottom) / PANGO_SCALE};
    if (bounded)
        laid->size.width = std::min(laid->size.width, width);
    laid->cost = s.size() * kCostPerByte + 1024;
    return laid;
}

std::shared_ptr<LaidOutText> TextEngine::layoutLocked(const AttributedString& text, const TextStyle& style, double width) {
    if (!isBounded(width))
        width = 0;
    std::string key;
    key.reserve(text.string().size() + 96 + text.runs().size() * 48);
    appendFont(key, style.font);
    appendValue(key, static_cast<int>(style.alignment));
    appendValue(key, static_cast<int>(style.lineBreakMode));
    appendValue(key, std::max(0, style.numberOfLines));
    appendValue(key, width);
    if (const auto& p = text.paragraphStyle()) {
        appendValue(key, static_cast<int>(p->alignment));
        appendValue(key, static_cast<int>(p->lineBreakMode));
    } else {
        key.push_back('-');
    }
    appendValue(key, text.runs().size());
    for (const AttributedString::Run& run : text.runs()) {
        appendValue(key, run.begin);
        appendValue(key, run.end);
        key.push_back(run.foregroundColor ? 'C' : '-');
        if (run.foregroundColor)
            appendColor(key, *run.foregroundColor);
        key.push_back(run.font ? 'F' : '-');
        if (run.font)
            appendFont(key, *run.font);
    }
    key.append(text.string());

    if (auto it = m_index.find(key); it != m_index.end()) {
        m_lru.splice(m_lru.begin(), m_lru, it->second);
        return it->second->second;
    }
    std::shared_ptr<LaidOutText> laid = build(text, style, width);
    m_cost += laid->cost + key.size();
    m_lru.emplace_front(std::move(key), laid);
    m_index.emplace(m_lru.front().first, m_lru.begin());
    while (m_lru.size() > 1 && (m_lru.size() > kMaxEntries || m_cost > kMaxCost)) {
        Entry& last = m_lru.back();
        m_cost -= last.second->cost + last.first.size();
        m_index.erase(last.first);
        m_lru.pop_back();
    }
    return laid;
}

Size TextEngine::measure(const AttributedString& text, const TextStyle& style, double width) {
    std::lock_guard lock(m_mutex);
    return layoutLocked(text, style, width)->size;
}

FontMetrics TextEngine::metrics(const Font& font) {
    std::lock_guard lock(m_mutex);
    std::string key;
    appendFont(key, font);
    if (auto it = m_metrics.find(key); it != m_metrics.end())
        return it->second;
    PangoLayout* layout = pango_layout_new(m_context);
    PangoFontDescription* d = describe(font);
    pango_layout_set_font_description(layout, d);
    pango_font_description_free(d);
    pango_layout_set_text(layout, "Ag", -1);
    PangoRectangle logical;
    pango_layout_get_extents(layout, nullptr, &logical);
    double baseline = static_cast<double>(pango_layout_get_baseline(layout)) / PANGO_SCALE;
    double height = static_cast<double>(logical.height) / PANGO_SCALE;
    g_object_unref(layout);
    FontMetrics m{baseline, baseline - height, height};
    if (m_metrics.size() > 4096)
        m_metrics.clear();
    m_metrics.emplace(key, m);
    return m;
}

std::string TextEngine::fontDescription(const Font& font) {
    PangoFontDescription* d = describe(font);
    char* s = pango_font_description_to_string(d);
    std::string out(s);
    g_free(s);
    pango_font_description_free(d);
    return out;
}

void TextEngine::draw(cairo_t* cr, const AttributedString& text, const TextStyle& style, Rect rect) {
    if (!rect.isFinite() || text.string().empty())
        return;
    std::lock_guard lock(m_mutex);
    std::shared_ptr<LaidOutText> laid = layoutLocked(text, style, rect.width());
    cairo_save(cr);
    double x = rect.minX();
    if (laid->alignOffset > 0 && isBounded(rect.width()))
        x += (rect.width() - laid->size.width) * laid->alignOffset;
    bool clipsWidth = !pango_layout_is_wrapped(laid->layout) && pango_layout_get_width(laid->layout) < 0 && isBounded(rect.width());
    if (laid->cut || clipsWidth) {
        double w = isBounded(rect.width()) ? rect.width() : laid->size.width;
        cairo_rectangle(cr, rect.minX(), rect.minY(), w, laid->size.height);
        cairo_clip(cr);
    }
    cairo::setSource(cr, style.color);
    cairo_move_to(cr, x, rect.minY());
    pango_cairo_show_layout(cr, laid->layout);
    cairo_restore(cr);
}

void TextEngine::clearCache() {
    std::lock_guard lock(m_mutex);
    m_index.clear();
    m_lru.clear();
    m_cost = 0;
}

std::size_t TextEngine::cacheSize() {
    std::lock_guard lock(m_mutex);
    return m_lru.size();
}

} // namespace platform::text
