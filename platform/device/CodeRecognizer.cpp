#include "platform/device/CodeRecognizer.h"

#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>
#include <ZXing/ReadBarcode.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace platform {

namespace {

using ZXing::BarcodeFormat;

struct TypeFormat {
    const char* type;
    BarcodeFormat format;
};

constexpr TypeFormat kTypes[] = {
    {kMetadataObjectTypeQRCode, BarcodeFormat::QRCode},
    {kMetadataObjectTypeEAN13Code, BarcodeFormat::EAN13},
    {kMetadataObjectTypeEAN8Code, BarcodeFormat::EAN8},
    {kMetadataObjectTypeUPCECode, BarcodeFormat::UPCE},
    {kMetadataObjectTypeCode39Code, BarcodeFormat::Code39},
    {kMetadataObjectTypeCode93Code, BarcodeFormat::Code93},
    {kMetadataObjectTypeCode128Code, BarcodeFormat::Code128},
    {kMetadataObjectTypePDF417Code, BarcodeFormat::PDF417},
    {kMetadataObjectTypeAztecCode, BarcodeFormat::Aztec},
    {kMetadataObjectTypeDataMatrixCode, BarcodeFormat::DataMatrix},
    {kMetadataObjectTypeInterleaved2of5Code, BarcodeFormat::ITF},
};

const char* typeOf(BarcodeFormat format) {
    if (format == BarcodeFormat::UPCA)
        return kMetadataObjectTypeEAN13Code;
    for (const TypeFormat& t : kTypes)
        if (t.format == format)
            return t.type;
    return nullptr;
}

Image::Ptr imageOf(const ZXing::BitMatrix& matrix) {
    const int w = matrix.width(), h = matrix.height();
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t v = matrix.get(x, y) ? 0 : 255;
            std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * w + x) * 4];
            p[0] = p[1] = p[2] = v, p[3] = 255;
        }
    auto image = Image::fromRGBA(w, h, rgba);
    return image ? *image : nullptr;
}

} // namespace

const std::vector<std::string>& recognizableCodeTypes() {
    static const std::vector<std::string> types = [] {
        std::vector<std::string> all;
        for (const TypeFormat& t : kTypes)
            all.emplace_back(t.type);
        return all;
    }();
    return types;
}

std::vector<RecognizedCode> recognizeCodes(const std::uint8_t* bgra, int width, int height, std::size_t bytesPerRow,
                                           const std::vector<std::string>& types) {
    std::vector<RecognizedCode> codes;
    ZXing::BarcodeFormats formats;
    for (const TypeFormat& t : kTypes)
        if (std::find(types.begin(), types.end(), t.type) != types.end())
            formats |= t.format;
    if (std::find(types.begin(), types.end(), kMetadataObjectTypeEAN13Code) != types.end())
        formats |= BarcodeFormat::UPCA;
    if (!bgra || width <= 0 || height <= 0 || formats.empty() || bytesPerRow < static_cast<std::size_t>(width) * 4)
        return codes;
    ZXing::DecodeHints hints;
    hints.setFormats(formats);
    hints.setTryHarder(true);
    hints.setTryRotate(true);
    ZXing::ImageView view(bgra, width, height, ZXing::ImageFormat::BGRX, static_cast<int>(bytesPerRow));
    for (const ZXing::Result& result : ZXing::ReadBarcodes(view, hints)) {
        const char* type = typeOf(result.format());
        if (!result.isValid() || !type)
            continue;
        std::string text = result.text();
        if (result.format() == BarcodeFormat::UPCA)
            text = "0" + text;
        const auto& corners = result.position();
        double minX = width, minY = height, maxX = 0, maxY = 0;
        for (const auto& p : corners) {
            minX = std::min<double>(minX, p.x), minY = std::min<double>(minY, p.y);
            maxX = std::max<double>(maxX, p.x), maxY = std::max<double>(maxY, p.y);
        }
        codes.push_back({type, std::move(text), Rect(minX, minY, std::max(0.0, maxX - minX), std::max(0.0, maxY - minY))});
    }
    return codes;
}

Result<Image::Ptr> drawCode(std::string_view spec, int width, int height) {
    auto fail = [&](const std::string& why) {
        return Error(kImageErrorDomain, static_cast<long long>(ImageErrorCode::InvalidArgument),
                     "cannot draw the code \"" + std::string(spec.substr(0, 64)) + "\": " + why);
    };
    std::size_t colon = spec.find(':');
    if (colon == std::string_view::npos)
        return fail("expected \"qr:TEXT\" or \"ean13:DIGITS\"");
    std::string_view kind = spec.substr(0, colon);
    std::string content(spec.substr(colon + 1));
    if (width < 16 || height < 16 || width > 4096 || height > 4096)
        return fail("the picture must be 16 to 4096 pixels a side");
    BarcodeFormat format;
    if (kind == "qr") {
        if (content.empty() || content.size() > 1000)
            return fail("the text must have 1 to 1000 bytes");
        format = BarcodeFormat::QRCode;
    } else if (kind == "ean13") {
        if ((content.size() != 12 && content.size() != 13) ||
            !std::all_of(content.begin(), content.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return fail("an EAN-13 code has 12 or 13 digits");
        format = BarcodeFormat::EAN13;
    } else {
        return fail("unknown code type \"" + std::string(kind) + "\"");
    }
    try {
        ZXing::MultiFormatWriter writer(format);
        writer.setMargin(format == BarcodeFormat::QRCode ? 4 : 10);
        ZXing::BitMatrix matrix = writer.encode(content, width, height);
        if (matrix.width() <= 0 || matrix.height() <= 0)
            return fail("the writer made no picture");
        Image::Ptr image = imageOf(matrix);
        if (!image)
            return fail("the picture could not be made");
        return image;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}

} // namespace platform
