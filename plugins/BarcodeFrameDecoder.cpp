#include "plugins/BarcodeFrameDecoder.h"

#include "platform/text/TextEncoding.h"

#include <ZXing/DecodeHints.h>
#include <ZXing/ImageView.h>
#include <ZXing/ReadBarcode.h>

#include <algorithm>
#include <array>
#include <exception>
#include <limits>

namespace plugins {

namespace {

using ZXing::BarcodeFormat;

// The nine formats in number order (index + 1 is the number).
constexpr std::array<BarcodeFormat, 9> kFormats = {
    BarcodeFormat::QRCode, BarcodeFormat::DataMatrix, BarcodeFormat::UPCE,    BarcodeFormat::UPCA,   BarcodeFormat::EAN8,
    BarcodeFormat::EAN13,  BarcodeFormat::Code128,    BarcodeFormat::Code39, BarcodeFormat::ITF,
};
constexpr std::array<const char*, 9> kNames = {
    "QR_CODE", "DATA_MATRIX", "UPC_E", "UPC_A", "EAN_8", "EAN_13", "CODE_128", "CODE_39", "ITF",
};

// Each channel's share of the grey value, per byte value: the same products the formula takes, looked up.
struct Weights {
    std::array<double, 256> blue{}, green{}, red{};
    Weights() {
        for (int v = 0; v < 256; ++v) {
            blue[v] = 0.11 * v;
            green[v] = 0.59 * v;
            red[v] = 0.3 * v;
        }
    }
};

// Square tiles keep both the rows read and the rows written in cache while the square turns.
constexpr int kTile = 64;

} // namespace

std::string formatStringFrom(int number) {
    if (number < 1 || number > static_cast<int>(kNames.size()))
        return "???";
    return kNames[static_cast<std::size_t>(number - 1)];
}

int formatNumberOf(BarcodeFormat format) {
    for (std::size_t i = 0; i < kFormats.size(); ++i)
        if (kFormats[i] == format)
            return static_cast<int>(i + 1);
    return 0;
}

ZXing::BarcodeFormats scannedFormats() {
    ZXing::BarcodeFormats formats;
    for (BarcodeFormat format : kFormats)
        formats |= format;
    return formats;
}

CropGeometry cropGeometry(int width, int height) {
    if (width <= 0 || height <= 0)
        return {};
    const long long shorter = std::min(width, height);
    const int side = static_cast<int>(9 * shorter / 10);
    return {side, (width - side) / 2, (height - side) / 2};
}

std::optional<GreySquare> getLuminanceSource(const std::uint8_t* base, std::size_t length, int width, int height,
                                             std::size_t bytesPerRow) {
    const CropGeometry crop = cropGeometry(width, height);
    if (!base || crop.side < 1)
        return std::nullopt;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    if (bytesPerRow < rowBytes)
        return std::nullopt;
    // The last row needs only its pixels, not a whole stride.
    if (bytesPerRow > (std::numeric_limits<std::size_t>::max() - rowBytes) / static_cast<std::size_t>(height) ||
        length < static_cast<std::size_t>(height - 1) * bytesPerRow + rowBytes)
        return std::nullopt;

    static const Weights weights;
    const int side = crop.side;
    GreySquare square;
    square.side = side;
    square.bytes.resize(static_cast<std::size_t>(side) * static_cast<std::size_t>(side));
    std::uint8_t* out = square.bytes.data();
    const std::uint8_t* origin = base + static_cast<std::size_t>(crop.y) * bytesPerRow + static_cast<std::size_t>(crop.x) * 4;
    for (int r0 = 0; r0 < side; r0 += kTile) {
        const int r1 = std::min(side, r0 + kTile);
        for (int c0 = 0; c0 < side; c0 += kTile) {
            const int c1 = std::min(side, c0 + kTile);
            for (int r = r0; r < r1; ++r) {
                const std::uint8_t* pixel = origin + static_cast<std::size_t>(r) * bytesPerRow + static_cast<std::size_t>(c0) * 4;
                std::uint8_t* target = out + static_cast<std::size_t>(c0) * side + (side - 1 - r);
                for (int c = c0; c < c1; ++c, pixel += 4, target += side) {
                    const double grey = weights.blue[pixel[0]] + weights.green[pixel[1]] + weights.red[pixel[2]];
                    *target = static_cast<std::uint8_t>(std::min(255, static_cast<int>(grey)));
                }
            }
        }
    }
    return square;
}

std::optional<DecodedBarcode> decodeSquare(const GreySquare& square) {
    const std::size_t side = square.side > 0 ? static_cast<std::size_t>(square.side) : 0;
    if (side == 0 || square.bytes.size() < side * side)
        return std::nullopt;
    try {
        ZXing::DecodeHints hints;
        hints.setFormats(scannedFormats());
        hints.setBinarizer(ZXing::Binarizer::LocalAverage);
        const ZXing::ImageView image(square.bytes.data(), square.side, square.side, ZXing::ImageFormat::Lum);
        const ZXing::Result result = ZXing::ReadBarcode(image, hints);
        if (!result.isValid())
            return std::nullopt;
        std::string text = result.text();
        const int number = formatNumberOf(result.format());
        if (number == 0 || !platform::isValidUTF8(text))
            return std::nullopt;
        return DecodedBarcode{std::move(text), formatStringFrom(number)};
    } catch (const std::exception&) {
        // The library's own failures are frames without a result, like frames without a code.
        return std::nullopt;
    }
}

} // namespace plugins
