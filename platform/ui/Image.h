// An immutable bitmap image: pixels, a scale (pixels per point) and an orientation that is kept and
// applied when the image is drawn. Decoded from PNG (libpng) or JPEG (libjpeg-turbo) bytes or files, made
// from RGBA pixels or a solid colour, looked up by name in the main bundle, and encoded as PNG.
//
// Guarantees:
// - Images are values behind std::shared_ptr<const Image>; any thread may read one.
// - Decoding checks the header's dimensions against DecodeLimits before it allocates the pixels; corrupt,
//   truncated or oversized input gives an Error (domain kImageErrorDomain), never a partial image.
#pragma once

#include "platform/core/Color.h"
#include "platform/core/Error.h"
#include "platform/core/Geometry.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char* kImageErrorDomain = "HYBImageErrorDomain";

enum class ImageErrorCode {
    UnknownFormat = 1,  // neither PNG nor JPEG
    Corrupt = 2,        // the codec refused the bytes
    TooLarge = 3,       // dimensions or file size above the limits
    Unreadable = 4,     // the file could not be read
    InvalidArgument = 5,
};

// The platform's orientations: how the stored pixels are turned to show the image upright.
enum class ImageOrientation {
    Up = 0,
    Down = 1,           // 180 degrees
    Left = 2,           // 90 degrees counter-clockwise
    Right = 3,          // 90 degrees clockwise
    UpMirrored = 4,
    DownMirrored = 5,
    LeftMirrored = 6,
    RightMirrored = 7,
};

struct DecodeLimits {
    int maxSide = 32768;                      // pixels, each side
    std::int64_t maxPixels = 64LL << 20;      // 64 Mpx: 256 MiB of RGBA
    std::int64_t maxFileBytes = 64LL << 20;   // for fromFile
};

class Image {
public:
    using Ptr = std::shared_ptr<const Image>;

    // PNG or JPEG bytes, told apart by their signature.
    static Result<Ptr> decode(std::span<const std::uint8_t> bytes, double scale = 1, const DecodeLimits& limits = {});
    // A file; "@2x" or "@3x" before the extension sets the scale.
    static Result<Ptr> fromFile(const std::string& path, const DecodeLimits& limits = {});
    // A named image of the main bundle: "name", "name.png", "name@2x.png"...; the file for the main
    // screen's scale is preferred, then larger scales, then smaller ones (the plain name is scale 1).
    // nullptr when absent.
    static Ptr named(const std::string& name);
    // Straight (not premultiplied) RGBA rows, width * 4 bytes each.
    static Result<Ptr> fromRGBA(int width, int height, std::span<const std::uint8_t> rgba, double scale = 1,
                                ImageOrientation orientation = ImageOrientation::Up);
    // A solid colour filling `size` points (at least one pixel a side); nullptr for a size that is not
    // positive and finite or above 16,384 points a side.
    static Ptr solidColor(const Color& color, Size size = {1, 1}, double scale = 1);

    // The same pixels shown with another orientation or scale.
    Ptr withOrientation(ImageOrientation orientation) const;
    Ptr withScale(double scale) const;

    int pixelWidth() const { return m_width; }
    int pixelHeight() const { return m_height; }
    double scale() const { return m_scale; }
    ImageOrientation orientation() const { return m_orientation; }
    // Size in points, as shown: the pixel size over the scale, sides swapped for the quarter turns.
    Size size() const;

    // Premultiplied native-endian ARGB32, rows of pixelWidth() words, as stored (orientation not applied).
    const std::uint32_t* argb() const { return m_pixels->data(); }
    // Straight RGBA bytes of the stored pixels.
    std::vector<std::uint8_t> rgbaPixels() const;
    // The stored pixel at (x, y) (straight alpha); clear outside the image.
    Color pixelAt(int x, int y) const;

    // PNG bytes of the image as shown (orientation applied).
    Result<std::vector<std::uint8_t>> pngData() const;
    Status writePNG(const std::string& path) const;
    // JPEG bytes of the image as shown, at a compression quality from 0 (smallest) to 1 (best); values
    // outside are clamped (NaN counts as 0). Transparent pixels are laid over white, as JPEG has no alpha.
    Result<std::vector<std::uint8_t>> jpegData(double quality) const;

    // The image as shown, with orientation Up (itself when already upright).
    Ptr upright() const;

    // For the factories above and the drawing code: `pixels` holds width * height premultiplied words.
    Image(int width, int height, double scale, ImageOrientation orientation,
          std::shared_ptr<const std::vector<std::uint32_t>> pixels);

private:
    int m_width;
    int m_height;
    double m_scale;
    ImageOrientation m_orientation;
    std::shared_ptr<const std::vector<std::uint32_t>> m_pixels;
};

// The scale a file name announces: 3 for "name@3x.png", 2 for "name@2x.png", else 1.
double scaleFromFileName(const std::string& path);

} // namespace platform
