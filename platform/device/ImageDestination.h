// An image destination: collects images for one file of a type ("public.jpeg" or "public.png") and
// writes it out with their properties when finalised.
//
// Guarantees:
// - An image added from a source of the destination's own type keeps its compressed data byte for
//   byte: only the EXIF segment (PNG: chunk) is replaced, holding the source's properties merged with
//   the given ones. No re-encoding, no quality loss.
// - Other images are encoded (JPEG at kImageDestinationDefaultQuality) with their stored pixels and
//   their orientation written as the EXIF orientation.
// - Properties that do not fit one JPEG APP1 segment (64 KiB) fail finalize() with an error
//   (kImageMetadataErrorDomain, TooLarge); nothing is written.
// - Both formats hold one image: a count other than 1 is refused.
// - Thread: one thread at a time.
#pragma once

#include "platform/device/ImageSource.h"

#include <optional>
#include <variant>

namespace platform {

inline constexpr double kImageDestinationDefaultQuality = 0.9;

class ImageDestination {
public:
    static Result<ImageDestination> create(std::string type, std::size_t count);

    const std::string& type() const { return m_type; }

    Status addImageFromSource(const ImageSource& source, std::size_t index, const Dictionary& properties = {});
    Status addImage(const Image::Ptr& image, const Dictionary& properties = {});

    // The file; fails when no image was added or the properties do not fit.
    Result<Bytes> finalize() const;

private:
    ImageDestination() = default;
    Status accept();

    std::string m_type;
    std::variant<std::monostate, ImageSource, Image::Ptr> m_image;
    Dictionary m_properties;
};

} // namespace platform
