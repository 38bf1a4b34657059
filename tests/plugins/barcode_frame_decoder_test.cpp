#include "platform/device/CaptureDevice.h"
#include "platform/device/FrameSource.h"
#include "plugins/BarcodeFrameDecoder.h"
#include "support/DeviceServices.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace plugins;

namespace {

// A BGRA frame whose pixel (x, y) has the colour `colour(x, y)` (blue, green, red).
template <class Colour>
std::vector<std::uint8_t> frame(int width, int height, std::size_t bytesPerRow, Colour colour) {
    std::vector<std::uint8_t> bytes(bytesPerRow * static_cast<std::size_t>(height), 0xEE);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto [b, g, r] = colour(x, y);
            std::uint8_t* p = &bytes[static_cast<std::size_t>(y) * bytesPerRow + static_cast<std::size_t>(x) * 4];
            p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
        }
    return bytes;
}

struct Bgr {
    std::uint8_t b, g, r;
};

// What a camera sensor delivers for a test card (the picture lies a quarter turn counter-clockwise).
std::optional<DecodedBarcode> decodeCard(const std::string& code, int width, int height) {
    hybtest::resetDeviceServices();
    platform::CaptureDevice camera({platform::CaptureDevicePosition::Back, platform::FrameSource::fromDescription(code), 30, width, height});
    std::shared_ptr<const platform::SampleBuffer> sample = camera.captureFrame(0, 0);
    if (!sample)
        return std::nullopt;
    sample->lockBaseAddress();
    auto square = getLuminanceSource(sample->baseAddress(), sample->bytesPerRow() * static_cast<std::size_t>(sample->height()),
                                     sample->width(), sample->height(), sample->bytesPerRow());
    sample->unlockBaseAddress();
    return square ? decodeSquare(*square) : std::nullopt;
}

} // namespace

TEST(BarcodeFrameDecoderTest, FormatNumbersAndNames) {
    const char* names[] = {"QR_CODE", "DATA_MATRIX", "UPC_E", "UPC_A", "EAN_8", "EAN_13", "CODE_128", "CODE_39", "ITF"};
    for (int number = 1; number <= 9; ++number)
        EXPECT_EQ(formatStringFrom(number), names[number - 1]);
    for (int number : {0, -1, 10, 1 << 30})
        EXPECT_EQ(formatStringFrom(number), "???") << number;
    EXPECT_EQ(formatNumberOf(ZXing::BarcodeFormat::QRCode), 1);
    EXPECT_EQ(formatNumberOf(ZXing::BarcodeFormat::EAN13), 6);
    EXPECT_EQ(formatNumberOf(ZXing::BarcodeFormat::ITF), 9);
    EXPECT_EQ(formatNumberOf(ZXing::BarcodeFormat::Aztec), 0);
    EXPECT_EQ(formatNumberOf(ZXing::BarcodeFormat::PDF417), 0);
}

TEST(BarcodeFrameDecoderTest, TheCentreSquareOfA480By360Frame) {
    const CropGeometry crop = cropGeometry(480, 360);
    EXPECT_EQ(crop.side, 324);
    EXPECT_EQ(crop.x, 78);
    EXPECT_EQ(crop.y, 18);
    const auto bytes = frame(480, 360, 480 * 4, [](int, int) { return Bgr{0, 0, 0}; });
    auto square = getLuminanceSource(bytes.data(), bytes.size(), 480, 360, 480 * 4);
    ASSERT_TRUE(square);
    EXPECT_EQ(square->side, 324);
    EXPECT_EQ(square->bytes.size(), 324u * 324u);
    // Odd margins round down; a portrait frame crops across its width.
    EXPECT_EQ(cropGeometry(11, 20).side, 9);
    EXPECT_EQ(cropGeometry(11, 20).x, 1);
    EXPECT_EQ(cropGeometry(11, 20).y, 5);
}

TEST(BarcodeFrameDecoderTest, TheSquareIsTurnedAQuarterClockwiseAndWeightedGrey) {
    // 12 x 10: side 9, origin (1, 0). Each source pixel carries its own position in blue and green.
    const std::size_t stride = 12 * 4 + 8;  // padded rows are read by their stride
    const auto bytes = frame(12, 10, stride, [](int x, int y) {
        return Bgr{static_cast<std::uint8_t>(x * 20), static_cast<std::uint8_t>(y * 20), 0};
    });
    auto square = getLuminanceSource(bytes.data(), bytes.size(), 12, 10, stride);
    ASSERT_TRUE(square);
    ASSERT_EQ(square->side, 9);
    const auto grey = [](int x, int y) { return static_cast<int>(0.11 * (x * 20) + 0.59 * (y * 20)); };
    for (int r = 0; r < 9; ++r)
        for (int c = 0; c < 9; ++c)
            ASSERT_EQ(square->bytes[static_cast<std::size_t>(c) * 9 + (8 - r)], grey(1 + c, r)) << "crop column " << c << " row " << r;
    // The crop's top-left corner lands top right, its bottom-left corner top left.
    EXPECT_EQ(square->bytes[8], grey(1, 0));
    EXPECT_EQ(square->bytes[0], grey(1, 8));

    // The weights per channel, truncated; white stays 255.
    for (const auto& [colour, expected] : std::vector<std::pair<Bgr, int>>{
             {{100, 0, 0}, 11}, {{0, 100, 0}, 59}, {{0, 0, 100}, 30}, {{255, 255, 255}, 255}, {{1, 1, 1}, 1}, {{3, 0, 0}, 0}}) {
        const auto one = frame(2, 2, 8, [&](int, int) { return colour; });
        auto pixel = getLuminanceSource(one.data(), one.size(), 2, 2, 8);
        ASSERT_TRUE(pixel);
        ASSERT_EQ(pixel->side, 1);
        EXPECT_EQ(pixel->bytes[0], expected);
    }
}

TEST(BarcodeFrameDecoderTest, FramesThatCannotBeReadGiveNoSquare) {
    const auto bytes = frame(20, 10, 80, [](int, int) { return Bgr{9, 9, 9}; });
    EXPECT_FALSE(getLuminanceSource(nullptr, bytes.size(), 20, 10, 80));
    EXPECT_FALSE(getLuminanceSource(bytes.data(), bytes.size(), 20, 10, 79)) << "rows shorter than the pixels";
    EXPECT_FALSE(getLuminanceSource(bytes.data(), bytes.size() - 1, 20, 10, 80)) << "buffer shorter than the rows";
    EXPECT_FALSE(getLuminanceSource(bytes.data(), bytes.size(), 20, 10, SIZE_MAX / 2)) << "a stride that overflows";
    EXPECT_FALSE(getLuminanceSource(bytes.data(), bytes.size(), 1, 1, 4)) << "side 0";
    EXPECT_FALSE(getLuminanceSource(bytes.data(), bytes.size(), 0, 10, 80));
    EXPECT_FALSE(getLuminanceSource(bytes.data(), bytes.size(), -5, 10, 80));
    // The last row needs only its pixels.
    const auto padded = frame(20, 10, 96, [](int, int) { return Bgr{9, 9, 9}; });
    EXPECT_TRUE(getLuminanceSource(padded.data(), 9 * 96 + 80, 20, 10, 96));
    EXPECT_FALSE(getLuminanceSource(padded.data(), 9 * 96 + 79, 20, 10, 96));
    EXPECT_FALSE(decodeSquare(GreySquare{}));
    EXPECT_FALSE(decodeSquare(GreySquare{4, std::vector<std::uint8_t>(15)})) << "fewer bytes than the side says";
}

TEST(BarcodeFrameDecoderTest, CameraFramesDecodeToTheirTextAndFormat) {
    EXPECT_EQ(decodeCard("qr:Hello scanner", 480, 360), (DecodedBarcode{"Hello scanner", "QR_CODE"}));
    EXPECT_EQ(decodeCard("qr:https://example.org/scan?id=42", 640, 480), (DecodedBarcode{"https://example.org/scan?id=42", "QR_CODE"}));
    EXPECT_EQ(decodeCard("ean13:4006381333931", 640, 480), (DecodedBarcode{"4006381333931", "EAN_13"}));
    // A frame without a code is no result.
    GreySquare blank{200, std::vector<std::uint8_t>(200 * 200, 255)};
    EXPECT_FALSE(decodeSquare(blank));
    GreySquare noise{64, std::vector<std::uint8_t>(64 * 64)};
    for (std::size_t i = 0; i < noise.bytes.size(); ++i)
        noise.bytes[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    EXPECT_FALSE(decodeSquare(noise));
}
