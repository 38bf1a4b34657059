// Rendering a 375 x 667 screen at scale 2: 40 labels in Latin and CJK text, gradients, shadows, rounded
// corners and images. ViewRenderer draws the view tree; the baseline, in the same run, makes the same
// drawing with direct Cairo and Pango calls, no view tree and a new Pango layout per label. Prints the
// median time per frame of each and their ratio (goal: at most 1.5 times the baseline, under 16 ms).
#include "platform/ui/CairoSupport.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewRenderer.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using namespace platform;

namespace {

constexpr double kWidth = 375, kHeight = 667, kScale = 2;
constexpr int kLabels = 40;

const char* const kTexts[] = {
    "Order total", "订单金额", "Payment received, thank you for your order", "支付成功，感谢您的耐心等待",
    "Card ending 4242", "四个字符", "Delivery tomorrow between 9 and 12", "请稍候再试",
};

struct LabelSpec {
    std::string text;
    Rect frame;
    double size;
    bool bold;
    int lines;
};
struct CardSpec {
    Rect frame;
    bool gradient;
};

struct Scene {
    std::vector<LabelSpec> labels;
    std::vector<CardSpec> cards;
    std::vector<Rect> images;
    Image::Ptr picture;
};

Scene makeScene() {
    Scene s;
    for (int i = 0; i < 6; ++i)
        s.cards.push_back({Rect(12 + 180.0 * (i % 2), 12 + 110.0 * (i / 2), 170, 100), i % 3 == 0});
    for (int i = 0; i < kLabels; ++i) {
        double x = 16 + 180.0 * (i % 2), y = 20 + 16.0 * i;
        s.labels.push_back({kTexts[i % 8], Rect(x, y, 160, 32), 12.0 + (i % 3) * 2, i % 5 == 0, i % 4 == 0 ? 2 : 1});
    }
    for (int i = 0; i < 6; ++i)
        s.images.push_back(Rect(20 + 58.0 * i, 360, 50, 50));
    auto ctx = ImageContext::begin({50, 50}, 2);
    ctx->context().setFillColor(Color::fromRGBA255(200, 60, 40));
    ctx->context().fillRect(Rect(0, 0, 50, 50));
    ctx->context().setFillColor(Color::fromRGBA255(40, 90, 200));
    ctx->context().fillRect(Rect(10, 10, 30, 30));
    s.picture = ctx->end();
    return s;
}

std::shared_ptr<View> makeTree(const Scene& s) {
    auto root = std::make_shared<View>(Rect(0, 0, kWidth, kHeight));
    root->setBackgroundColor(Color::grey(0.95));
    for (const CardSpec& c : s.cards) {
        auto card = std::make_shared<View>(c.frame);
        card->setBackgroundColor(Color::white());
        card->layer()->setCornerRadius(10);
        card->layer()->setShadowOpacity(0.3);
        card->layer()->setShadowRadius(4);
        card->layer()->setShadowOffset({0, 2});
        if (c.gradient) {
            auto g = std::make_shared<GradientLayer>();
            g->setFrame(Rect(0, 0, c.frame.width(), c.frame.height()));
            g->setColors({Color::fromRGBA255(255, 150, 0), Color::fromRGBA255(220, 0, 110)});
            g->setCornerRadius(10);
            card->layer()->addSublayer(g);
        }
        root->addSubview(card);
    }
    for (const LabelSpec& l : s.labels) {
        auto label = std::make_shared<Label>(l.frame);
        label->setText(l.text);
        label->setFont(l.bold ? Font::boldSystemFont(l.size) : Font::systemFont(l.size));
        label->setNumberOfLines(l.lines);
        root->addSubview(label);
    }
    for (const Rect& r : s.images) {
        auto view = std::make_shared<ImageView>(r);
        view->setImage(s.picture);
        view->setContentMode(ContentMode::ScaleAspectFill);
        view->layer()->setCornerRadius(8);
        view->layer()->setMasksToBounds(true);
        root->addSubview(view);
    }
    return root;
}

// The same drawing with direct calls.
void drawDirect(cairo_t* cr, const Scene& s, cairo_surface_t* picture) {
    cairo_set_source_rgb(cr, 0.95, 0.95, 0.95);
    cairo_paint(cr);
    for (const CardSpec& c : s.cards) {
        cairo::drawShadow(cr, c.frame, 10, Color::black(), 0.3, {0, 2}, 4);
        cairo::roundedRectangle(cr, c.frame, 10);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_fill(cr);
        if (c.gradient) {
            cairo_pattern_t* p = cairo_pattern_create_linear(c.frame.midX(), c.frame.minY(), c.frame.midX(), c.frame.maxY());
            cairo_pattern_add_color_stop_rgb(p, 0, 1, 150 / 255.0, 0);
            cairo_pattern_add_color_stop_rgb(p, 1, 220 / 255.0, 0, 110 / 255.0);
            cairo::roundedRectangle(cr, c.frame, 10);
            cairo_set_source(cr, p);
            cairo_fill(cr);
            cairo_pattern_destroy(p);
        }
    }
    for (const LabelSpec& l : s.labels) {
        PangoLayout* layout = pango_cairo_create_layout(cr);
        PangoFontDescription* d = pango_font_description_new();
        pango_font_description_set_family(d, "WenQuanYi Micro Hei");
        pango_font_description_set_absolute_size(d, l.size * PANGO_SCALE);
        pango_font_description_set_weight(d, l.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
        pango_layout_set_font_description(layout, d);
        pango_font_description_free(d);
        pango_layout_set_text(layout, l.text.c_str(), -1);
        pango_layout_set_width(layout, static_cast<int>(l.frame.width() * PANGO_SCALE));
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
        pango_layout_set_height(layout, -l.lines);
        int w = 0, h = 0;
        pango_layout_get_size(layout, &w, &h);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_move_to(cr, l.frame.minX(), l.frame.midY() - h / 2.0 / PANGO_SCALE);
        pango_cairo_show_layout(cr, layout);
        g_object_unref(layout);
    }
    for (const Rect& r : s.images) {
        cairo_save(cr);
        cairo::roundedRectangle(cr, r, 8);
        cairo_clip(cr);
        cairo_translate(cr, r.minX(), r.minY());
        cairo_scale(cr, r.width() / cairo_image_surface_get_width(picture), r.height() / cairo_image_surface_get_height(picture));
        cairo_set_source_surface(cr, picture, 0, 0);
        cairo_paint(cr);
        cairo_restore(cr);
    }
}

std::map<std::string, double>& medians() {
    static std::map<std::string, double> m;
    return m;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void BM_ViewRenderer(benchmark::State& state) {
    Scene scene = makeScene();
    auto tree = makeTree(scene);
    std::vector<double> frames;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto image = ViewRenderer::renderImage(*tree, kScale);
        benchmark::DoNotOptimize(image);
        frames.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    medians()["ViewRenderer"] = median(frames);
}

void BM_DirectCairoPango(benchmark::State& state) {
    Scene scene = makeScene();
    auto png = scene.picture->pngData().value();
    cairo::SurfacePtr picture = cairo::surfaceFor(scene.picture);
    std::vector<double> frames;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        // The same work as renderImage: a surface, the drawing, and the pixels copied out.
        cairo::SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(kWidth * kScale), static_cast<int>(kHeight * kScale)));
        cairo::ContextPtr cr(cairo_create(surface.get()));
        cairo_scale(cr.get(), kScale, kScale);
        drawDirect(cr.get(), scene, picture.get());
        auto image = cairo::imageFromSurface(surface.get(), kScale);
        benchmark::DoNotOptimize(image);
        frames.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    medians()["Direct"] = median(frames);
}

BENCHMARK(BM_ViewRenderer)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DirectCairoPango)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double ours = medians()["ViewRenderer"], baseline = medians()["Direct"];
    if (ours > 0 && baseline > 0)
        std::printf("ViewRenderer vs direct Cairo+Pango: %.2f times the baseline's time (median %.2f ms vs %.2f ms per frame)\n",
                    ours / baseline, ours * 1000, baseline * 1000);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
