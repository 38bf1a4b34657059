#include "platform/device/ImageSource.h"

#include "platform/device/ImageContainer.h"
#include "platform/device/ImageMetadata.h"

#include <array>

namespace platform {

namespace {

// EXIF 1-8 for the platform's orientations 0-7.
constexpr std::array<int, 8> kExifForOrientation{1, 3, 8, 6, 2, 4, 5, 7};

Status checkPixels(int width, int height) {
    if (static_cast<std::int64_t>(width) * height > kMaxImageSourcePixels)
        return imageMetadataError(ImageMetadataErrorCode::TooLarge,
                                  "image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels is above the bound of " +
                                      std::to_string(kMaxImageSourcePixels) + " pixels");
    return {};
}

} // namespace

int exifOrientation(ImageOrientation orientation) {
    auto index = static_cast<std::size_t>(orientation);
    return index < kExifForOrientation.size() ? kExifForOrientation[index] : 1;
}

ImageOrientation imageOrientationFromExif(std::int64_t exif) {
    for (std::size_t i = 0; i < kExifForOrientation.size(); ++i)
        if (kExifForOrientation[i] == exif)
            return static_cast<ImageOrientation>(i);
    return ImageOrientation::Up;
}

Result<ImageSource> ImageSource::withData(Bytes data) {
    ImageSource source;
    auto bytes = std::make_shared<const Bytes>(std::move(data));
    std::span<const std::uint8_t> all(*bytes);
    std::span<const std::uint8_t> exif;
    Dictionary& p = source.m_properties;
    if (looksLikeJpeg(all)) {
        Result<JpegLayout> layout = parseJpeg(all);
        if (!layout)
            return layout.error();
        source.m_type = kTypeJPEG;
        source.m_width = layout->width, source.m_height = layout->height;
        p.set(kImagePropertyColorModel, layout->components == 1 ? "Gray" : layout->components == 4 ? "CMYK" : "RGB");
        p.set(kImagePropertyDepth, layout->precision);
        exif = jpegExif(all, *layout);
    } else if (looksLikePng(all)) {
        Result<PngLayout> layout = parsePng(all);
        if (!layout)
            return layout.error();
        source.m_type = kTypePNG;
        source.m_width = layout->width, source.m_height = layout->height;
        const bool grey = layout->colorType == 0 || layout->colorType == 4;
        p.set(kImagePropertyColorModel, grey ? "Gray" : "RGB");
        p.set(kImagePropertyDepth, layout->bitDepth);
        p.set(kImagePropertyHasAlpha, layout->colorType == 4 || layout->colorType == 6);
        exif = pngExif(all, *layout);
    } else {
        return imageMetadataError(ImageMetadataErrorCode::UnknownType, "not a PNG or JPEG image");
    }
    if (Status s = checkPixels(source.m_width, source.m_height); !s)
        return s.error();
    p.set(kImagePropertyPixelWidth, source.m_width);
    p.set(kImagePropertyPixelHeight, source.m_height);
    if (!exif.empty()) {
        if (Result<Dictionary> groups = readExif(exif)) {
            const Value* orientation = (*groups)[kImagePropertyTIFFDictionary].getDictionary()
                                           ? (*groups)[kImagePropertyTIFFDictionary].getDictionary()->find(kImagePropertyTIFFOrientation)
                                           : nullptr;
            if (orientation && orientation->getInteger() && *orientation->getInteger() >= 1 && *orientation->getInteger() <= 8) {
                p.set(kImagePropertyOrientation, *orientation);
                source.m_orientation = imageOrientationFromExif(*orientation->getInteger());
            }
            for (const auto& [key, value] : *groups)
                p.set(key, value);
        }
    }
    source.m_data = std::move(bytes);
    return source;
}

Result<Dictionary> ImageSource::properties(std::size_t index) const {
    if (index != 0)
        return imageMetadataError(ImageMetadataErrorCode::InvalidArgument, "image index " + std::to_string(index) + " out of range");
    return m_properties;
}

Result<Image::Ptr> ImageSource::image(std::size_t index) const {
    if (index != 0)
        return imageMetadataError(ImageMetadataErrorCode::InvalidArgument, "image index " + std::to_string(index) + " out of range");
    DecodeLimits limits;
    limits.maxSide = 65535;
    limits.maxPixels = kMaxImageSourcePixels;
    limits.maxFileBytes = static_cast<std::int64_t>(m_data->size());
    Result<Image::Ptr> decoded = Image::decode(*m_data, 1, limits);
    if (!decoded)
        return decoded.error();
    return m_orientation == ImageOrientation::Up ? *decoded : (*decoded)->withOrientation(m_orientation);
}

} // namespace platform
