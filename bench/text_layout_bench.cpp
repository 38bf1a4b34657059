// Laying out one word of 256 KiB (no spaces, the title of an action sheet a page might send): the text
// layout measures it wrapped at a phone sheet's title width (word wrapping, character wrapping, and cut
// to three lines) and a label draws it in its bounds, each from an empty layout cache; a label as tall as
// the whole text (a scrolling sheet's title) draws its cached layout into a screen. The baseline, in
// the same run, is one Pango layout of the same word over the same font on one line: the least any
// layout of it costs (the text shaped once). Prints each one's time and its ratio to the baseline, and
// the time of a 64 KiB word, so that growth with the length shows (linear: a quarter of the time).
#include "RatioReporter.h"

#include "platform/ui/ImageContext.h"
#include "platform/ui/Label.h"
#include "platform/ui/TextLayout.h"
#include "platform/ui/ViewRenderer.h"

#include <benchmark/benchmark.h>
#include <pango/pangocairo.h>

#include <cstdio>
#include <string>

using namespace platform;

namespace {

constexpr double kWidth = 288;  // a phone sheet's title
constexpr double kSize = 13;

std::string word(std::size_t bytes) {
    std::string text;
    text.reserve(bytes);
    while (text.size() < bytes)
        text.push_back(static_cast<char>('a' + text.size() % 26));
    return text;
}

TextStyle style(LineBreakMode mode, int lines) {
    TextStyle s;
    s.font = Font::systemFont(kSize);
    s.lineBreakMode = mode;
    s.numberOfLines = lines;
    return s;
}

void measure(benchmark::State& state, LineBreakMode mode, int lines) {
    const std::string text = word(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        TextLayout::clearCache();
        benchmark::DoNotOptimize(TextLayout::measure(text, style(mode, lines), kWidth));
    }
}

void BM_MeasureWordWrap(benchmark::State& state) { measure(state, LineBreakMode::WordWrap, 0); }
void BM_MeasureCharWrap(benchmark::State& state) { measure(state, LineBreakMode::CharWrap, 0); }
void BM_MeasureThreeLines(benchmark::State& state) { measure(state, LineBreakMode::TruncateTail, 3); }

// A label as tall as a phone screen, its text cut to the lines that fit: measured, then drawn.
void BM_LabelDraw(benchmark::State& state) {
    auto label = std::make_shared<Label>(Rect(0, 0, kWidth, 540));
    label->setFont(Font::systemFont(kSize));
    label->setNumberOfLines(0);
    label->setText(word(static_cast<std::size_t>(state.range(0))));
    auto context = ImageContext::begin(Size{kWidth, 540}, 1);
    for (auto _ : state) {
        TextLayout::clearCache();
        ViewRenderer::render(*label, context->context().cairo());
    }
}

// A label as tall as its whole text (an action sheet's title, which scrolls), drawn into a screen's
// height: the layout is made once (cached), then drawn.
void BM_TallLabelDraw(benchmark::State& state) {
    auto label = std::make_shared<Label>();
    label->setFont(Font::systemFont(kSize));
    label->setNumberOfLines(0);
    label->setText(word(static_cast<std::size_t>(state.range(0))));
    label->setFrame(Rect(0, 0, kWidth, label->sizeThatFits(Size{kWidth, 0}).height));
    auto context = ImageContext::begin(Size{kWidth, 540}, 1);
    for (auto _ : state)
        ViewRenderer::render(*label, context->context().cairo());
}

// The baseline: one layout of the word, unwrapped, shaped once.
void BM_OnePangoLayout(benchmark::State& state) {
    const std::string text = word(static_cast<std::size_t>(state.range(0)));
    PangoFontMap* map = pango_cairo_font_map_new();
    PangoContext* context = pango_font_map_create_context(map);
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, "WenQuanYi Micro Hei");
    pango_font_description_set_absolute_size(font, kSize * PANGO_SCALE);
    for (auto _ : state) {
        PangoLayout* layout = pango_layout_new(context);
        pango_layout_set_font_description(layout, font);
        pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
        int width = 0, height = 0;
        pango_layout_get_size(layout, &width, &height);
        benchmark::DoNotOptimize(width);
        g_object_unref(layout);
    }
    pango_font_description_free(font);
    g_object_unref(context);
    g_object_unref(map);
}

constexpr long kLong = 256 * 1024, kShort = 64 * 1024;

BENCHMARK(BM_OnePangoLayout)->Arg(kLong)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_MeasureWordWrap)->Arg(kShort)->Arg(kLong)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_MeasureCharWrap)->Arg(kLong)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_MeasureThreeLines)->Arg(kLong)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_LabelDraw)->Arg(kLong)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_TallLabelDraw)->Arg(kLong)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const std::string suffix = "/min_time:2.000/real_time";
    const std::string baseline = "BM_OnePangoLayout/" + std::to_string(kLong) + suffix;
    const double base = reporter.seconds(baseline);
    std::printf("one word of %ld bytes at %.0f points wide; baseline: one Pango layout of it on one line, %.1f ms\n", kLong, kWidth,
                base * 1000);
    for (const char* name : {"BM_MeasureWordWrap", "BM_MeasureCharWrap", "BM_MeasureThreeLines", "BM_LabelDraw", "BM_TallLabelDraw"}) {
        const std::string run = std::string(name) + "/" + std::to_string(kLong) + suffix;
        if (auto ratio = reporter.ratio(run, baseline))
            std::printf("%-22s %8.1f ms  %.2f times the baseline\n", name, reporter.seconds(run) * 1000, *ratio);
    }
    const double shorter = reporter.seconds("BM_MeasureWordWrap/" + std::to_string(kShort) + suffix);
    const double longer = reporter.seconds("BM_MeasureWordWrap/" + std::to_string(kLong) + suffix);
    if (shorter > 0 && longer > 0)
        std::printf("word wrap, 4 times the length: %.2f times the time (linear: 4)\n", longer / shorter);
    benchmark::Shutdown();
    return 0;
}
