#include "platform/device/ImageDestination.h"

#include "platform/device/ImageContainer.h"
#include "platform/device/ImageMetadata.h"

namespace platform {

namespace {

Error invalid(std::string text) { return imageMetadataError(ImageMetadataErrorCode::InvalidArgument, std::move(text)); }

// The stored pixels encoded in `type`, with the EXIF of `properties` spliced in.
Result<Bytes> encode(const Image& image, const std::string& type, const Dictionary& properties) {
    Image::Ptr stored = image.withOrientation(ImageOrientation::Up);
    Result<std::vector<std::uint8_t>> encoded = type == kTypePNG ? stored->pngData() : stored->jpegData(kImageDestinationDefaultQuality);
    if (!encoded)
        return encoded.error();
    const Bytes tiff = writeExif(properties);
    if (type == kTypePNG) {
        Result<PngLayout> layout = parsePng(*encoded);
        if (!layout)
            return layout.error();
        return splicePngExif(*encoded, *layout, tiff);
    }
    Result<JpegLayout> layout = parseJpeg(*encoded);
    if (!layout)
        return layout.error();
    return spliceJpegExif(*encoded, *layout, tiff);
}

} // namespace

Result<ImageDestination> ImageDestination::create(std::string type, std::size_t count) {
    if (type != kTypeJPEG && type != kTypePNG)
        return imageMetadataError(ImageMetadataErrorCode::UnknownType, "cannot write images of type \"" + type + "\"");
    if (count != 1)
        return invalid("a " + type + " file holds one image, not " + std::to_string(count));
    ImageDestination destination;
    destination.m_type = std::move(type);
    return destination;
}

Status ImageDestination::accept() {
    if (!std::holds_alternative<std::monostate>(m_image))
        return invalid("the destination already holds its one image");
    return {};
}

Status ImageDestination::addImageFromSource(const ImageSource& source, std::size_t index, const Dictionary& properties) {
    if (Status s = accept(); !s)
        return s;
    Result<Dictionary> own = source.properties(index);
    if (!own)
        return own.error();
    m_properties = std::move(*own);
    mergeImageProperties(m_properties, properties);
    m_image = source;
    return {};
}

Status ImageDestination::addImage(const Image::Ptr& image, const Dictionary& properties) {
    if (!image)
        return invalid("no image to add");
    if (Status s = accept(); !s)
        return s;
    m_properties = Dictionary{{kImagePropertyOrientation, exifOrientation(image->orientation())}};
    mergeImageProperties(m_properties, properties);
    m_image = image;
    return {};
}

Result<Bytes> ImageDestination::finalize() const {
    if (const Image::Ptr* image = std::get_if<Image::Ptr>(&m_image))
        return encode(**image, m_type, m_properties);
    const ImageSource* source = std::get_if<ImageSource>(&m_image);
    if (!source)
        return invalid("no image was added");
    const std::span<const std::uint8_t> bytes(source->data());
    if (source->type() != m_type) {
        Result<Image::Ptr> decoded = source->image();
        if (!decoded)
            return decoded.error();
        return encode(**decoded, m_type, m_properties);
    }
    const Bytes tiff = writeExif(m_properties);
    if (m_type == kTypePNG) {
        Result<PngLayout> layout = parsePng(bytes);
        if (!layout)
            return layout.error();
        return splicePngExif(bytes, *layout, tiff);
    }
    Result<JpegLayout> layout = parseJpeg(bytes);
    if (!layout)
        return layout.error();
    return spliceJpegExif(bytes, *layout, tiff);
}

} // namespace platform
