// JPEG encoding of images: the bytes decode back to the image as shown, quality trades size for
// fidelity, and transparency is laid over white.
#include "platform/ui/Image.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using platform::Color;
using platform::Image;

namespace {

// A horizontal gradient with detail, so that quality matters.
Image::Ptr gradient(int width, int height) {
    std::vector<std::uint8_t> rgba;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            rgba.push_back(static_cast<std::uint8_t>(x * 255 / (width - 1)));
            rgba.push_back(static_cast<std::uint8_t>((x * y) % 256));
            rgba.push_back(static_cast<std::uint8_t>(y * 255 / (height - 1)));
            rgba.push_back(255);
        }
    return Image::fromRGBA(width, height, rgba).value();
}

TEST(ImageJPEG, EncodesWhatDecodesBackAtTheShownSize) {
    auto turned = gradient(40, 20)->withOrientation(platform::ImageOrientation::Right);
    auto jpeg = turned->jpegData(0.9);
    ASSERT_TRUE(jpeg);
    ASSERT_GE(jpeg.value().size(), 4u);
    EXPECT_EQ(jpeg.value()[0], 0xff);
    EXPECT_EQ(jpeg.value()[1], 0xd8);
    auto back = Image::decode(jpeg.value());
    ASSERT_TRUE(back);
    EXPECT_EQ(back.value()->pixelWidth(), 20); // the quarter turn is applied
    EXPECT_EQ(back.value()->pixelHeight(), 40);
}

TEST(ImageJPEG, QualityTradesSizeAndOutOfRangeValuesClamp) {
    auto image = gradient(64, 64);
    auto low = image->jpegData(0.0);
    auto mid = image->jpegData(0.6);
    auto high = image->jpegData(1.0);
    ASSERT_TRUE(low && mid && high);
    EXPECT_LT(low.value().size(), mid.value().size());
    EXPECT_LT(mid.value().size(), high.value().size());
    EXPECT_EQ(image->jpegData(-3).value(), low.value());
    EXPECT_EQ(image->jpegData(std::numeric_limits<double>::quiet_NaN()).value(), low.value());
    EXPECT_EQ(image->jpegData(7).value(), high.value());
}

TEST(ImageJPEG, TransparencyBecomesWhite) {
    auto clear = Image::solidColor(Color::clear(), {8, 8});
    auto back = Image::decode(clear->jpegData(1).value()).value();
    Color pixel = back->pixelAt(4, 4);
    EXPECT_GT(pixel.red, 0.97);
    EXPECT_GT(pixel.green, 0.97);
    EXPECT_GT(pixel.blue, 0.97);
}

} // namespace
