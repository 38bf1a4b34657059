// An image source over PNG or JPEG data: its type, its image count, and the properties of its image
// (pixel size, orientation, and the "{TIFF}", "{Exif}" and "{GPS}" dictionaries of its EXIF block),
// and the image itself.
//
// Guarantees:
// - withData refuses data that is neither PNG nor JPEG, whose structure is corrupt or cut short, or
//   whose header claims more than kMaxImageSourcePixels pixels, before any pixel memory is spent.
// - An EXIF block that cannot be read leaves the groups out; the image stays readable.
// - Thread: an immutable value sharing its bytes; any thread.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "platform/ui/Image.h"

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

inline constexpr const char* kTypeJPEG = "public.jpeg";
inline constexpr const char* kTypePNG = "public.png";
inline constexpr std::int64_t kMaxImageSourcePixels = 100'000'000;

// Between the platform's image orientations and the EXIF ones (1-8); 0 and out-of-range values read Up.
int exifOrientation(ImageOrientation orientation);
ImageOrientation imageOrientationFromExif(std::int64_t exif);

class ImageSource {
public:
    static Result<ImageSource> withData(Bytes data);

    const std::string& type() const { return m_type; }
    std::size_t count() const { return 1; }
    // The properties of image `index` (only 0 exists).
    Result<Dictionary> properties(std::size_t index = 0) const;
    int pixelWidth() const { return m_width; }
    int pixelHeight() const { return m_height; }
    ImageOrientation orientation() const { return m_orientation; }
    // The decoded image, carrying the orientation its EXIF gives.
    Result<Image::Ptr> image(std::size_t index = 0) const;
    const Bytes& data() const { return *m_data; }

private:
    ImageSource() = default;
    std::shared_ptr<const Bytes> m_data;
    std::string m_type;
    int m_width = 0, m_height = 0;
    ImageOrientation m_orientation = ImageOrientation::Up;
    Dictionary m_properties;
};

} // namespace platform
