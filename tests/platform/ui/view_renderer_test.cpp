#include "platform/runloop/VirtualClock.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewRenderer.h"
#include "platform/ui/Window.h"
#include "platform/web/HeadlessWebView.h"

#include "support/Snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace platform;

namespace {

constexpr double kPi = 3.14159265358979323846;

std::shared_ptr<View> canvas(double width, double height) {
    auto root = std::make_shared<View>(Rect(0, 0, width, height));
    root->setBackgroundColor(Color::white());
    return root;
}

std::shared_ptr<Label> label(const std::string& text, Rect frame, LineBreakMode mode, int lines) {
    auto l = std::make_shared<Label>(frame);
    l->setText(text);
    l->setFont(Font::systemFont(15));
    l->setLineBreakMode(mode);
    l->setNumberOfLines(lines);
    l->setBackgroundColor(Color::grey(0.93));
    return l;
}

// A 40 x 20 point picture whose corners can be told apart: red left half, blue right half, a yellow
// square at the top left.
Image::Ptr testPicture() {
    auto ctx = ImageContext::begin({40, 20}, 2);
    GraphicsContext& g = ctx->context();
    g.setFillColor(Color::fromRGBA255(220, 40, 40));
    g.fillRect(Rect(0, 0, 20, 20));
    g.setFillColor(Color::fromRGBA255(40, 60, 220));
    g.fillRect(Rect(20, 0, 20, 20));
    g.setFillColor(Color::fromRGBA255(250, 210, 0));
    g.fillRect(Rect(2, 2, 6, 6));
    return ctx->end();
}

TEST(ViewRendererTest, SymbolsAndEmojiDrawAsGlyphs) {
    // What the CJK font lacks comes from the fallback fonts: arrows and shapes as outlines in the text's
    // colour, emoji as colour pictures, at each size and weight; never boxes of hex digits.
    auto root = canvas(320, 150);
    auto arrows = label("\u25C4 Back  Forward \u25BA  \u2713 \u2605 \u2192 \u00A7", Rect(8, 8, 304, 28), LineBreakMode::TruncateTail, 1);
    root->addSubview(arrows);
    auto bold = label("\u25C4 \u25BA 返回 \u2714", Rect(8, 42, 304, 28), LineBreakMode::TruncateTail, 1);
    bold->setFont(Font::boldSystemFont(20));
    root->addSubview(bold);
    auto emoji = label("\U0001F600 \U0001F44D\U0001F3FD \u2764\uFE0F \U0001F1E9\U0001F1EA 支付 ok", Rect(8, 76, 304, 30),
                       LineBreakMode::TruncateTail, 1);
    root->addSubview(emoji);
    auto large = label("\U0001F389\u25BA", Rect(8, 110, 120, 36), LineBreakMode::Clip, 1);
    large->setFont(Font::systemFont(28));
    root->addSubview(large);
    hybtest::expectSnapshot(*root, "labels_symbols_emoji");

    // The emoji line has colour in it; the black text's glyphs (and boxes, had there been any) have none.
    auto colourful = [](View& view) {
        auto image = ViewRenderer::renderImage(view, 1);
        EXPECT_TRUE(image.ok());
        if (!image.ok())
            return false;
        std::vector<std::uint8_t> rgba = image.value()->rgbaPixels();
        for (std::size_t i = 0; i + 3 < rgba.size(); i += 4)
            if (std::max({rgba[i], rgba[i + 1], rgba[i + 2]}) - std::min({rgba[i], rgba[i + 1], rgba[i + 2]}) > 80)
                return true;
        return false;
    };
    EXPECT_TRUE(colourful(*emoji));
    EXPECT_FALSE(colourful(*arrows));
}

TEST(ViewRendererTest, LabelsInEachLineBreakMode) {
    auto root = canvas(375, 560);
    const std::string latin = "The quick brown fox jumps over the lazy dog near the riverbank";
    const std::string cjk = "订单金额合计四个字符支付成功请稍候再试谢谢您的耐心等待";
    const std::string mixed = "Total 订单金额 ¥128.00 paid 支付成功 thank you";
    LineBreakMode modes[] = {LineBreakMode::WordWrap, LineBreakMode::CharWrap, LineBreakMode::Clip,
                             LineBreakMode::TruncateHead, LineBreakMode::TruncateTail, LineBreakMode::TruncateMiddle};
    double y = 8;
    for (LineBreakMode mode : modes) {
        root->addSubview(label(latin, Rect(8, y, 175, 40), mode, 2));
        root->addSubview(label(cjk, Rect(192, y, 175, 40), mode, 2));
        root->addSubview(label(mixed, Rect(8, y + 46, 175, 20), mode, 1));
        root->addSubview(label(mixed, Rect(192, y + 46, 175, 20), mode, 1));
        y += 76;
    }
    auto centred = label("居中 Centred", Rect(8, y, 359, 24), LineBreakMode::TruncateTail, 1);
    centred->setTextAlignment(TextAlignment::Center);
    centred->setTextColor(Color::fromRGBA255(0, 100, 200));
    root->addSubview(centred);
    auto right = label("Right 右", Rect(8, y + 30, 359, 24), LineBreakMode::TruncateTail, 1);
    right->setTextAlignment(TextAlignment::Right);
    right->setShadowColor(Color::grey(0, 0.4));
    right->setShadowOffset({1, 1});
    root->addSubview(right);
    AttributedString attributed("😀 红色 bold 大 end");
    ASSERT_TRUE(attributed.addForegroundColor(Color::fromRGBA255(220, 0, 0), TextRange{3, 2}).ok());
    ASSERT_TRUE(attributed.addFont(Font::boldSystemFont(15), TextRange{6, 4}).ok());
    ASSERT_TRUE(attributed.addFont(Font::systemFont(24), TextRange{11, 1}).ok());
    auto rich = label("", Rect(8, y + 60, 359, 30), LineBreakMode::TruncateTail, 1);
    rich->setAttributedText(attributed);
    root->addSubview(rich);
    hybtest::expectSnapshot(*root, "labels_line_break_modes");
}

TEST(ViewRendererTest, LayersGradientsBordersShadowsAlphaAndClipping) {
    auto root = canvas(375, 300);
    auto card = std::make_shared<View>(Rect(20, 20, 150, 90));
    card->setBackgroundColor(Color::white());
    card->layer()->setCornerRadius(12);
    card->layer()->setBorderWidth(2);
    card->layer()->setBorderColor(Color::fromRGBA255(0, 122, 255));
    card->layer()->setShadowOpacity(0.5);
    card->layer()->setShadowRadius(6);
    card->layer()->setShadowOffset({0, 4});
    root->addSubview(card);

    auto gradientHost = std::make_shared<View>(Rect(200, 20, 150, 90));
    auto gradient = std::make_shared<GradientLayer>();
    gradient->setFrame(Rect(0, 0, 150, 90));
    gradient->setColors({Color::fromRGBA255(255, 140, 0), Color::fromRGBA255(200, 0, 120)});
    gradientHost->layer()->addSublayer(gradient);
    gradientHost->layer()->setCornerRadius(20);
    gradientHost->layer()->setMasksToBounds(true);
    root->addSubview(gradientHost);
    // Subviews draw above their superview's sublayers.
    auto caption = std::make_shared<Label>(Rect(12, 60, 126, 22));
    caption->setText("渐变 Gradient");
    caption->setTextColor(Color::white());
    caption->setFont(Font::boldSystemFont(16));
    gradientHost->addSubview(caption);

    // Clipping: a child hanging out of a clipping parent is cut; out of a plain parent it is not.
    for (int i = 0; i < 2; ++i) {
        auto parent = std::make_shared<View>(Rect(20 + 180 * i, 140, 120, 60));
        parent->setBackgroundColor(Color::grey(0.8));
        parent->setClipsToBounds(i == 0);
        auto child = std::make_shared<View>(Rect(80, 30, 60, 50));
        child->setBackgroundColor(Color::fromRGBA255(0, 160, 80));
        parent->addSubview(child);
        root->addSubview(parent);
    }

    // Alpha applies to a view and its subviews as a group; hidden views draw nothing.
    auto faded = std::make_shared<View>(Rect(20, 220, 100, 60));
    faded->setBackgroundColor(Color::fromRGBA255(200, 0, 0));
    faded->setAlpha(0.4);
    auto inner = std::make_shared<View>(Rect(20, 10, 60, 40));
    inner->setBackgroundColor(Color::fromRGBA255(0, 0, 200));
    faded->addSubview(inner);
    root->addSubview(faded);
    auto hidden = std::make_shared<View>(Rect(140, 220, 60, 60));
    hidden->setBackgroundColor(Color::black());
    hidden->setHidden(true);
    root->addSubview(hidden);

    // A turned view with a sublayer inserted below another.
    auto turned = std::make_shared<View>(Rect(250, 220, 80, 40));
    turned->setBackgroundColor(Color::fromRGBA255(120, 80, 200));
    turned->setTransform(AffineTransform::rotation(kPi / 8));
    auto top = std::make_shared<Layer>();
    top->setFrame(Rect(10, 10, 20, 20));
    top->setBackgroundColor(Color::white());
    auto below = std::make_shared<Layer>();
    below->setFrame(Rect(20, 15, 20, 20));
    below->setBackgroundColor(Color::black());
    turned->layer()->addSublayer(top);
    turned->layer()->insertSublayerBelow(below, top);
    root->addSubview(turned);
    hybtest::expectSnapshot(*root, "layers");
}

TEST(ViewRendererTest, ImagesInEachContentMode) {
    auto root = canvas(375, 250);
    Image::Ptr picture = testPicture();
    ContentMode modes[] = {ContentMode::ScaleToFill, ContentMode::ScaleAspectFit, ContentMode::ScaleAspectFill,
                           ContentMode::Center, ContentMode::Top, ContentMode::Bottom, ContentMode::Left,
                           ContentMode::Right, ContentMode::TopLeft, ContentMode::TopRight, ContentMode::BottomLeft,
                           ContentMode::BottomRight};
    for (std::size_t i = 0; i < std::size(modes); ++i) {
        auto view = std::make_shared<ImageView>(Rect(10 + 90.0 * static_cast<double>(i % 4), 10 + 80.0 * static_cast<double>(i / 4), 80, 70));
        view->setImage(picture);
        view->setContentMode(modes[i]);
        view->setBackgroundColor(Color::grey(0.85));
        view->setClipsToBounds(true);
        root->addSubview(view);
    }
    hybtest::expectSnapshot(*root, "image_content_modes");
}

TEST(ViewRendererTest, OrientedImagesPatternColoursAndWebViews) {
    auto root = canvas(375, 120);
    root->setBackgroundColor(Color::grey(0.7));
    for (int o = 0; o < 8; ++o) {
        auto view = std::make_shared<ImageView>(testPicture()->withOrientation(static_cast<ImageOrientation>(o)));
        view->setContentMode(ContentMode::Center);
        view->setFrame(Rect(4 + 46.0 * o, 4, 44, 44));
        root->addSubview(view);
    }
    auto tile = ImageContext::begin({8, 8}, 2);
    tile->context().setFillColor(Color::fromRGBA255(0, 150, 200));
    tile->context().fillRect(Rect(0, 0, 4, 4));
    tile->context().fillRect(Rect(4, 4, 4, 4));
    auto patterned = std::make_shared<View>(Rect(5, 60, 170, 55));
    patterned->setBackgroundColor(Color::pattern(tile->end()));
    root->addSubview(patterned);
    auto web = HeadlessWebView::create(Rect(190, 60, 170, 55));
    root->addSubview(web);
    hybtest::expectSnapshot(*root, "oriented_images_patterns_web");
}

TEST(ViewRendererTest, AnimationsDrawAtTheClocksTime) {
    VirtualClock clock;
    clock.install();
    auto root = canvas(100, 100);
    auto spinner = std::make_shared<View>(Rect(25, 40, 50, 20));
    spinner->setBackgroundColor(Color::black());
    root->addSubview(spinner);
    Animation spin;
    spin.keyPath = "transform.rotation.z";
    spin.fromValue = 0;
    spin.toValue = 2 * kPi;
    spin.duration = 1;
    spin.repeatCount = Animation::kRepeatForever;
    spinner->layer()->addAnimation(spin, "spin");
    EXPECT_EQ(spinner->layer()->animationKeys(), std::vector<std::string>{"spin"});

    auto pixel = [&](int x, int y) { return ViewRenderer::renderImage(*root, 1).value()->pixelAt(x, y); };
    EXPECT_EQ(pixel(30, 50), Color::black());   // at 0: lying flat
    EXPECT_EQ(pixel(50, 30), Color::white());
    clock.advance(10.25);                        // a quarter turn, ten turns later
    EXPECT_EQ(pixel(30, 50), Color::white());
    EXPECT_EQ(pixel(50, 30), Color::black());
    EXPECT_EQ(spinner->transform(), AffineTransform::identity());  // the model value does not change

    Animation fade;
    fade.keyPath = "opacity";
    fade.fromValue = 0;
    fade.toValue = 1;
    fade.duration = 2;
    spinner->layer()->removeAnimation("spin");
    spinner->layer()->addAnimation(fade, "fade");
    EXPECT_NEAR(pixel(50, 50).red, 1, 0.01);  // starts transparent over white
    clock.advance(1);
    EXPECT_NEAR(pixel(50, 50).red, 0.5, 0.02);
    clock.advance(1.5);
    EXPECT_EQ(pixel(50, 50), Color::black());  // over and removed
    EXPECT_TRUE(spinner->layer()->animationKeys().empty());
    clock.uninstall();
}

TEST(ViewRendererTest, WindowDrawsPresentedControllersAbove) {
    auto window = Window::create(Rect(0, 0, 200, 150));
    auto root = std::make_shared<ViewController>();
    window->setRootViewController(root);
    root->view()->setBackgroundColor(Color::fromRGBA255(0, 120, 0));
    window->makeKeyAndVisible();
    auto presented = std::make_shared<ViewController>();
    presented->view()->setBackgroundColor(Color::fromRGBA255(0, 0, 0, 0.5));
    auto sheet = std::make_shared<Label>(Rect(20, 100, 160, 30));
    sheet->setText("Sheet 选项");
    sheet->setBackgroundColor(Color::white());
    presented->view()->addSubview(sheet);
    ASSERT_TRUE(root->presentViewController(presented, false));
    auto image = ViewRenderer::renderImage(*window, 1).value();
    EXPECT_NEAR(image->pixelAt(10, 10).green, (120 / 255.0) / 2, 0.02);  // dimmed by the presented view
    EXPECT_EQ(image->pixelAt(22, 102), Color::white());
    hybtest::expectSnapshot(*window, "window_presentation");
}

TEST(ViewRendererTest, LiveImageLayersShowTheirLatestPicture) {
    auto root = canvas(20, 20);
    auto preview = std::make_shared<LiveImageLayer>();
    preview->setFrame(Rect(0, 0, 20, 20));
    root->layer()->addSublayer(preview);
    auto pixel = [&] { return ViewRenderer::renderImage(*root, 1).value()->pixelAt(10, 10); };
    EXPECT_EQ(pixel(), Color::white());
    preview->setContents(Image::solidColor(Color::fromRGBA255(0, 0, 255), {2, 2}));
    EXPECT_EQ(pixel(), Color::fromRGBA255(0, 0, 255));
    preview->setCurrentImage(Image::solidColor(Color::fromRGBA255(255, 0, 0), {2, 2}));
    EXPECT_EQ(preview->generation(), 1u);
    EXPECT_EQ(pixel(), Color::fromRGBA255(255, 0, 0));
    preview->setOpacity(0);
    EXPECT_EQ(pixel(), Color::white());
}

// A view whose own layer is a gradient.
class GradientView : public View {
public:
    explicit GradientView(Rect frame) : View(frame, std::make_shared<GradientLayer>()) {}
    GradientLayer& gradient() { return static_cast<GradientLayer&>(*layer()); }
};

TEST(ViewRendererTest, AViewsOwnLayerMayBeAGradient) {
    auto root = canvas(20, 100);
    auto view = std::make_shared<GradientView>(Rect(0, 0, 20, 100));
    view->gradient().setColors({Color::black(), Color::white()});
    view->gradient().setLocations({0.5, 1});
    root->addSubview(view);
    auto image = ViewRenderer::renderImage(*root, 1).value();
    EXPECT_EQ(image->pixelAt(10, 20), Color::black());  // solid up to the first location
    EXPECT_NEAR(image->pixelAt(10, 75).red, 0.5, 0.03);
}

TEST(SnapshotTest, PixelsDifferBeyondTheChannelTolerance) {
    std::vector<std::uint8_t> base(4 * 100, 100);
    for (std::size_t i = 3; i < base.size(); i += 4)
        base[i] = 255;  // opaque, so the channels round-trip exactly
    std::vector<std::uint8_t> near = base, far = base;
    for (std::size_t i = 0; i < base.size(); i += 4)
        near[i] = static_cast<std::uint8_t>(100 + hybtest::kSnapshotChannelTolerance);
    far[0] = static_cast<std::uint8_t>(100 + hybtest::kSnapshotChannelTolerance + 1);
    far[7] = 0;
    auto image = [](const std::vector<std::uint8_t>& px) { return Image::fromRGBA(10, 10, px).value(); };
    auto same = hybtest::compareSnapshotImages(*image(base), *image(near));
    EXPECT_TRUE(same.sameSize);
    EXPECT_EQ(same.differingPixels, 0);
    auto two = hybtest::compareSnapshotImages(*image(base), *image(far));
    EXPECT_EQ(two.differingPixels, 2);
    EXPECT_EQ(two.totalPixels, 100);
    EXPECT_FALSE(hybtest::compareSnapshotImages(*image(base), *Image::fromRGBA(5, 20, base).value()).sameSize);
}

TEST(ViewRendererTest, BadGeometryNeverUpsetsTheRenderer) {
    auto root = canvas(50, 50);
    auto odd = std::make_shared<View>(Rect(std::nan(""), 0, 1e308, -5));
    odd->setBackgroundColor(Color::black());
    odd->layer()->setCornerRadius(std::nan(""));
    odd->layer()->setShadowRadius(1e308);
    odd->layer()->setShadowOpacity(1);
    root->addSubview(odd);
    auto l = std::make_shared<Label>(Rect(0, 0, 50, 50));
    l->setText(std::string("\xff\xfe bad \xc3", 9));
    l->setFont(Font::systemFont(-1));
    root->addSubview(l);
    // Transforms that overflow or collapse draw nothing of their view and spoil nothing after them.
    for (double s : {1e200, 1e-200}) {
        auto extreme = std::make_shared<View>(Rect(0, 0, 1e300, 1e300));
        extreme->setBackgroundColor(Color::black());
        extreme->setTransform(AffineTransform::scale(s, s));
        root->addSubview(extreme);
    }
    auto tiny = std::make_shared<ImageView>(Rect(0, 0, 1e-300, 1e-300));
    tiny->setImage(Image::solidColor(Color::black(), {1, 1}));
    root->addSubview(tiny);
    auto zeroWidth = label("overflowing text", Rect(0, 0, 0, 20), LineBreakMode::WordWrap, 0);
    root->addSubview(zeroWidth);
    auto after = std::make_shared<View>(Rect(40, 40, 10, 10));
    after->setBackgroundColor(Color::fromRGBA255(0, 0, 255));
    root->addSubview(after);
    auto empty = std::make_shared<View>();
    EXPECT_FALSE(ViewRenderer::renderImage(*empty).ok());
    auto image = ViewRenderer::renderImage(*root, 1);
    ASSERT_TRUE(image.ok());
    EXPECT_EQ(image.value()->pixelAt(45, 45), Color::fromRGBA255(0, 0, 255));

    auto ctx = ImageContext::begin({4, 4}, 1);
    ctx->context().saveState();
    ctx->context().scale(1e-300, 1e-300);
    ctx->context().rotate(std::nan(""));
    ctx->context().translate(1e308, -1e308);
    ctx->context().restoreState();
    ctx->context().setFillColor(Color::white());
    ctx->context().fillRect(Rect(0, 0, 4, 4));
    EXPECT_EQ(ctx->end()->pixelAt(2, 2), Color::white());
}

TEST(ViewRendererTest, ForAHostWebViewsAreHolesThatClearWhatLiesBelowThem) {
    auto root = canvas(100, 100);
    root->setBackgroundColor(Color::fromRGBA255(255, 0, 0));
    auto web = HeadlessWebView::create(Rect(10, 10, 60, 60));
    root->addSubview(web);
    auto above = std::make_shared<View>(Rect(50, 50, 40, 40));
    above->setBackgroundColor(Color::fromRGBA255(0, 0, 255));
    root->addSubview(above);
    auto context = ImageContext::begin({100, 100}, 1);
    ViewRenderer::render(*root, context->context().cairo(), ViewRenderer::WebViews::Clear);
    auto image = context->end();
    EXPECT_EQ(image->pixelAt(20, 20).alpha, 0);                  // the page's hole
    EXPECT_EQ(image->pixelAt(60, 60), Color::fromRGBA255(0, 0, 255));  // above the page, still shown
    EXPECT_EQ(image->pixelAt(5, 5), Color::fromRGBA255(255, 0, 0));
    // By default the page is a white rectangle.
    EXPECT_EQ(ViewRenderer::renderImage(*root, 1).value()->pixelAt(20, 20), Color::white());
}

TEST(ViewDisplayTest, ViewsTellTheHostWhenWhatTheyShowChanges) {
    int told = 0;
    View::setDisplayInvalidationHandler([&] { ++told; });
    auto root = canvas(100, 100);
    auto label = std::make_shared<Label>(Rect(0, 0, 50, 20));
    auto count = [&](auto change) {
        told = 0;
        change();
        return told;
    };
    EXPECT_GT(count([&] { root->addSubview(label); }), 0);
    EXPECT_GT(count([&] { label->setText("one"); }), 0);
    EXPECT_GT(count([&] { label->setFrame(Rect(5, 0, 50, 20)); }), 0);
    EXPECT_EQ(count([&] { label->setFrame(Rect(5, 0, 50, 20)); }), 0);  // no change, no redraw
    EXPECT_GT(count([&] { label->setHidden(true); }), 0);
    EXPECT_EQ(count([&] { label->setHidden(true); }), 0);
    EXPECT_GT(count([&] { label->setAlpha(0.5); }), 0);
    EXPECT_GT(count([&] { root->setBackgroundColor(Color::white()); }), 0);
    EXPECT_GT(count([&] { label->layer()->addAnimation(Animation{"opacity", 0, 1}, "fade"); }), 0);
    EXPECT_GT(count([&] { label->layer()->setCornerRadius(4); }), 0);
    auto live = std::make_shared<LiveImageLayer>();
    EXPECT_GT(count([&] { label->layer()->addSublayer(live); }), 0);
    EXPECT_GT(count([&] { live->setCurrentImage(Image::solidColor(Color::black())); }), 0);
    EXPECT_GT(count([&] { label->removeFromSuperview(); }), 0);
    View::setDisplayInvalidationHandler(nullptr);
    EXPECT_EQ(count([&] { root->addSubview(label); }), 0);
}

} // namespace

TEST(ViewRendererTest, CumulativeAnimationsGoOnFromWhereTheyEnded) {
    Animation turn;
    turn.keyPath = "transform";
    turn.fromValue = 0;
    turn.toValue = 3.14;
    turn.duration = 0.5;
    turn.repeatCount = Animation::kRepeatForever;
    const Clock::TimePoint start{};
    turn.beginTime = start;
    EXPECT_NEAR(*turn.valueAt(start + seconds(0.25)), 1.57, 1e-9);
    EXPECT_NEAR(*turn.valueAt(start + seconds(0.75)), 1.57, 1e-9);  // starts over
    turn.cumulative = true;
    EXPECT_NEAR(*turn.valueAt(start + seconds(0.75)), 3.14 + 1.57, 1e-9);
    EXPECT_NEAR(*turn.valueAt(start + seconds(10.25)), 20 * 3.14 + 1.57, 1e-6);
}
