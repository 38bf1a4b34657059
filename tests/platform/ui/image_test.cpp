#include "platform/system/Bundle.h"
#include "platform/ui/Image.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/Screen.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

using namespace platform;

namespace {

// A 2 x 1 image: red, then half-transparent blue.
Image::Ptr twoPixels(ImageOrientation o = ImageOrientation::Up) {
    std::vector<std::uint8_t> rgba = {255, 0, 0, 255, 0, 0, 255, 128};
    return Image::fromRGBA(2, 1, rgba, 1, o).value();
}

std::vector<std::uint8_t> jpegOf(int w, int h) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w * h * 3), 200);
    tjhandle tj = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_444, 90, 0);
    std::vector<std::uint8_t> bytes(out, out + size);
    tjFree(out);
    tjDestroy(tj);
    return bytes;
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(ImageTest, PNGRoundTripKeepsPixels) {
    Image::Ptr image = twoPixels();
    auto png = image->pngData();
    ASSERT_TRUE(png.ok());
    auto back = Image::decode(png.value(), 2);
    ASSERT_TRUE(back.ok()) << back.error().localizedDescription();
    EXPECT_EQ(back.value()->rgbaPixels(), (std::vector<std::uint8_t>{255, 0, 0, 255, 0, 0, 255, 128}));
    EXPECT_EQ(back.value()->size(), (Size{1, 0.5}));

    // Noise compresses worse than the first buffer's guess, a flat picture far better: both come back whole.
    for (bool noisy : {true, false}) {
        const int side = 300;
        std::vector<std::uint8_t> rgba(static_cast<std::size_t>(side * side * 4));
        std::uint32_t state = 12345;
        for (std::size_t i = 0; i < rgba.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            rgba[i] = i % 4 == 3 ? 255 : noisy ? static_cast<std::uint8_t>(state >> 24) : static_cast<std::uint8_t>(i / 4 / side);
        }
        auto encoded = Image::fromRGBA(side, side, rgba, 1).value()->pngData();
        ASSERT_TRUE(encoded.ok()) << encoded.error().localizedDescription();
        EXPECT_EQ(noisy, encoded->size() > rgba.size() / 4);
        auto decoded = Image::decode(*encoded);
        ASSERT_TRUE(decoded.ok()) << decoded.error().localizedDescription();
        EXPECT_EQ((*decoded)->rgbaPixels(), rgba) << (noisy ? "noise" : "flat");
    }
}

TEST(ImageTest, JPEGDecodes) {
    auto image = Image::decode(jpegOf(16, 8));
    ASSERT_TRUE(image.ok()) << image.error().localizedDescription();
    EXPECT_EQ(image.value()->pixelWidth(), 16);
    EXPECT_EQ(image.value()->pixelHeight(), 8);
    EXPECT_NEAR(image.value()->pixelAt(3, 3).red, 200 / 255.0, 0.02);
}

TEST(ImageTest, CorruptTruncatedAndOversizedImagesAreRefused) {
    auto code = [](const Result<Image::Ptr>& r) { return r.ok() ? 0 : static_cast<int>(r.error().code); };
    std::vector<std::uint8_t> png = twoPixels()->pngData().value();
    std::vector<std::uint8_t> jpeg = jpegOf(16, 16);

    EXPECT_EQ(code(Image::decode(std::vector<std::uint8_t>{})), static_cast<int>(ImageErrorCode::UnknownFormat));
    EXPECT_EQ(code(Image::decode(std::vector<std::uint8_t>{'G', 'I', 'F', '8'})), static_cast<int>(ImageErrorCode::UnknownFormat));
    for (std::size_t cut : {9ul, png.size() / 2, png.size() - 13}) {
        std::vector<std::uint8_t> truncated(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(code(Image::decode(truncated)), static_cast<int>(ImageErrorCode::Corrupt)) << cut;
    }
    std::vector<std::uint8_t> flipped = png;
    flipped[30] ^= 0x5A;  // the header's CRC
    EXPECT_EQ(code(Image::decode(flipped)), static_cast<int>(ImageErrorCode::Corrupt));
    std::vector<std::uint8_t> shortJpeg(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2));
    EXPECT_EQ(code(Image::decode(shortJpeg)), static_cast<int>(ImageErrorCode::Corrupt));

    // A header claiming 100,000 x 100,000 pixels is refused before anything is allocated: rewrite the
    // IHDR of a real PNG (with a correct CRC, so only the size is wrong).
    std::vector<std::uint8_t> huge = png;
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            huge[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    };
    put32(16, 100000);
    put32(20, 100000);
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 12; i < 29; ++i) {
        crc ^= huge[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    put32(29, ~crc);
    auto refused = Image::decode(huge);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, static_cast<long long>(ImageErrorCode::TooLarge));
    EXPECT_NE(refused.error().localizedDescription().find("100000 x 100000"), std::string::npos);
    // Limits are the caller's to tighten.
    DecodeLimits small;
    small.maxSide = 8;
    EXPECT_EQ(code(Image::decode(jpeg, 1, small)), static_cast<int>(ImageErrorCode::TooLarge));

    EXPECT_EQ(code(Image::fromRGBA(2, 2, std::vector<std::uint8_t>(15))), static_cast<int>(ImageErrorCode::InvalidArgument));
    EXPECT_EQ(code(Image::fromRGBA(0, 2, {})), static_cast<int>(ImageErrorCode::Corrupt));
    EXPECT_EQ(code(Image::fromFile("/nonexistent/x.png")), static_cast<int>(ImageErrorCode::Unreadable));
}

TEST(ImageTest, OrientationTurnsTheShownImage) {
    Image::Ptr right = twoPixels(ImageOrientation::Right);  // shown turned a quarter clockwise
    EXPECT_EQ(right->size(), (Size{1, 2}));
    Image::Ptr upright = right->upright();
    ASSERT_EQ(upright->pixelWidth(), 1);
    ASSERT_EQ(upright->pixelHeight(), 2);
    EXPECT_EQ(upright->pixelAt(0, 0), Color::fromRGBA255(255, 0, 0));  // red on top
    EXPECT_NEAR(upright->pixelAt(0, 1).blue, 1, 0.01);
    Image::Ptr mirrored = twoPixels(ImageOrientation::UpMirrored)->upright();
    EXPECT_NEAR(mirrored->pixelAt(0, 0).blue, 1, 0.01);
    Image::Ptr left = twoPixels(ImageOrientation::Left)->upright();
    EXPECT_NEAR(left->pixelAt(0, 0).blue, 1, 0.01);  // blue on top
    // PNG bytes carry the image as shown.
    auto decoded = Image::decode(right->pngData().value()).value();
    EXPECT_EQ(decoded->pixelHeight(), 2);
    EXPECT_EQ(static_cast<int>(decoded->orientation()), 0);
}

TEST(ImageTest, NamedImagesPreferTheScreensScale) {
    hybtest::TempHome home;
    std::string bundle = Bundle::main().bundlePath();
    std::filesystem::create_directories(bundle);
    writeFile(bundle + "/nav_back.png", Image::solidColor(Color::white(), {10, 10}, 1)->pngData().value());
    writeFile(bundle + "/nav_back@2x.png", Image::solidColor(Color::white(), {10, 10}, 2)->pngData().value());
    writeFile(bundle + "/bar-background@3x.png", Image::solidColor(Color::black(), {4, 4}, 3)->pngData().value());
    writeFile(bundle + "/photo.jpg", jpegOf(4, 4));
    Screen::main().setScale(2);

    for (const std::string name : {"nav_back", "nav_back.png"}) {
        Image::Ptr image = Image::named(name);
        ASSERT_TRUE(image) << name;
        EXPECT_EQ(image->scale(), 2) << name;
        EXPECT_EQ(image->pixelWidth(), 20) << name;
        EXPECT_EQ(image->size(), (Size{10, 10})) << name;
    }
    Image::Ptr other = Image::named("bar-background");  // only @3x: taken at its own scale
    ASSERT_TRUE(other);
    EXPECT_EQ(other->scale(), 3);
    EXPECT_EQ(other->size(), (Size{4, 4}));
    EXPECT_TRUE(Image::named("photo.jpg"));
    EXPECT_FALSE(Image::named("missing"));
    EXPECT_FALSE(Image::named("../nav_back"));
    Screen::main().setScale(1);
    EXPECT_EQ(Image::named("nav_back")->scale(), 1);
    Screen::main().resetToDefaults();
    EXPECT_EQ(scaleFromFileName("/a/b@3x.jpg"), 3);
    EXPECT_EQ(scaleFromFileName("/a@2x/b.png"), 1);
}

TEST(ImageTest, SolidColourImages) {
    Image::Ptr image = Image::solidColor(Color::fromRGBA255(0, 128, 255, 0.5), {3, 2}, 2);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelWidth(), 6);
    EXPECT_EQ(image->size(), (Size{3, 2}));
    EXPECT_NEAR(image->pixelAt(5, 3).blue, 1, 0.01);
    EXPECT_NEAR(image->pixelAt(5, 3).alpha, 0.5, 0.01);
    EXPECT_FALSE(Image::solidColor(Color::white(), {0, 1}));
    EXPECT_FALSE(Image::solidColor(Color::white(), {std::nan(""), 1}));
    EXPECT_FALSE(Image::solidColor(Color::white(), {1e9, 1}));
}

TEST(ImageContextTest, RefusesSizesItCannotHold) {
    EXPECT_FALSE(ImageContext::begin({0, 0}, 1));
    EXPECT_FALSE(ImageContext::begin({1e9, 1e9}, 1));
    EXPECT_FALSE(ImageContext::begin({-5, 10}, 1));
    EXPECT_FALSE(ImageContext::begin({std::nan(""), 10}, 1));
    EXPECT_FALSE(ImageContext::begin({std::numeric_limits<double>::infinity(), 10}, 1));
    EXPECT_FALSE(ImageContext::begin({16385, 1}, 1));
    EXPECT_FALSE(ImageContext::begin({16384, 16384}, 1));  // 256 Mpx: above the pixel bound
    EXPECT_TRUE(ImageContext::begin({16384, 1}, 1));
}

TEST(ImageContextTest, DrawsLinesRectanglesAndImages) {
    auto ctx = ImageContext::begin({10, 10}, 2);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(GraphicsContext::current(), &ctx->context());
    GraphicsContext& g = ctx->context();
    g.setFillColor(Color::fromRGBA255(255, 0, 0));
    g.fillRect(Rect(0, 0, 5, 10));
    g.saveState();
    g.translate(5, 0);
    g.setFillColor(Color::fromRGBA255(0, 0, 255));
    g.setAlpha(0.5);
    g.fillRect(Rect(0, 0, 5, 5));
    g.restoreState();
    g.restoreState();  // unmatched: nothing happens
    g.setStrokeColor(Color::fromRGBA255(0, 255, 0));
    g.setLineWidth(2);
    Point segment[] = {{5, 8}, {10, 8}, {7, 7}};  // the odd point is ignored
    g.strokeLineSegments(segment);
    g.drawImage(Image::solidColor(Color::black(), {1, 1}), Rect(0, 0, 1, 1));
    Image::Ptr image = ctx->end();
    EXPECT_EQ(GraphicsContext::current(), nullptr);
    ASSERT_EQ(image->pixelWidth(), 20);
    EXPECT_EQ(image->scale(), 2);
    EXPECT_EQ(image->pixelAt(0, 0), Color::black());
    EXPECT_EQ(image->pixelAt(4, 10), Color::fromRGBA255(255, 0, 0));
    EXPECT_NEAR(image->pixelAt(15, 2).blue, 1, 0.01);
    EXPECT_NEAR(image->pixelAt(15, 2).alpha, 0.5, 0.01);
    EXPECT_EQ(image->pixelAt(15, 16), Color::fromRGBA255(0, 255, 0));
    EXPECT_EQ(image->pixelAt(15, 12), Color::clear());
    // Closed: further drawing is ignored and the same image comes back.
    g.fillRect(Rect(0, 0, 10, 10));
    EXPECT_EQ(ctx->end(), image);
}

} // namespace
