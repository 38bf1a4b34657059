#include "platform/ui/Image.h"

#include "platform/files/FileManager.h"
#include "platform/files/PosixIO.h"
#include "platform/system/Bundle.h"
#include "platform/ui/CairoSupport.h"
#include "platform/ui/Screen.h"

#include <png.h>
#include <turbojpeg.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace platform {

namespace {

constexpr double kMaxSolidSide = 16384;

// Decoders write B, G, R, A bytes into the ARGB words of an image's pixels.
static_assert(std::endian::native == std::endian::little, "pixels are ARGB words read as B, G, R, A bytes");

Error imageError(ImageErrorCode code, std::string text) {
    return Error(kImageErrorDomain, static_cast<long long>(code), std::move(text));
}

double validScale(double scale) { return std::isfinite(scale) && scale > 0 && scale <= 16 ? scale : 1; }

Status checkDimensions(long long width, long long height, const DecodeLimits& limits) {
    if (width <= 0 || height <= 0)
        return imageError(ImageErrorCode::Corrupt, "image has no pixels");
    if (width > limits.maxSide || height > limits.maxSide || width * height > limits.maxPixels)
        return imageError(ImageErrorCode::TooLarge, "image of " + std::to_string(width) + " x " + std::to_string(height) +
                                                        " pixels is above the limit of " + std::to_string(limits.maxSide) +
                                                        " a side and " + std::to_string(limits.maxPixels) + " pixels");
    return {};
}

std::uint32_t premultiply(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
    auto mul = [a](std::uint8_t c) { return static_cast<std::uint32_t>((c * a + 127) / 255); };
    return static_cast<std::uint32_t>(a) << 24 | mul(r) << 16 | mul(g) << 8 | mul(b);
}

std::shared_ptr<std::vector<std::uint32_t>> packRGBA(const std::uint8_t* rgba, std::size_t count) {
    auto pixels = std::make_shared<std::vector<std::uint32_t>>(count);
    for (std::size_t i = 0; i < count; ++i, rgba += 4)
        (*pixels)[i] = premultiply(rgba[0], rgba[1], rgba[2], rgba[3]);
    return pixels;
}

// Straight (unpremultiplied) ARGB words to premultiplied ones.
void premultiplyInPlace(std::vector<std::uint32_t>& pixels) {
    for (std::uint32_t& p : pixels) {
        const std::uint32_t a = p >> 24;
        if (a != 255)
            p = premultiply(static_cast<std::uint8_t>(p >> 16), static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(a));
    }
}

Result<Image::Ptr> decodePNG(std::span<const std::uint8_t> bytes, double scale, const DecodeLimits& limits) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size()))
        return imageError(ImageErrorCode::Corrupt, std::string("corrupt PNG: ") + png.message);
    if (Status s = checkDimensions(png.width, png.height, limits); !s) {
        png_image_free(&png);
        return s.error();
    }
    // Read straight into the image's pixels (B, G, R, A bytes are one ARGB word), premultiplied in place.
    const int w = static_cast<int>(png.width), h = static_cast<int>(png.height);
    png.format = PNG_FORMAT_BGRA;
    auto pixels = std::make_shared<std::vector<std::uint32_t>>(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    if (!png_image_finish_read(&png, nullptr, pixels->data(), 0, nullptr))
        return imageError(ImageErrorCode::Corrupt, std::string("corrupt PNG: ") + png.message);
    premultiplyInPlace(*pixels);
    return std::make_shared<const Image>(w, h, scale, ImageOrientation::Up, std::move(pixels));
}

Result<Image::Ptr> decodeJPEG(std::span<const std::uint8_t> bytes, double scale, const DecodeLimits& limits) {
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
    if (!tj)
        return imageError(ImageErrorCode::Corrupt, "JPEG decoder unavailable");
    if (bytes.size() > ULONG_MAX)
        return imageError(ImageErrorCode::TooLarge, "JPEG too large");
    int w = 0, h = 0, subsampling = 0, colorspace = 0;
    auto* data = const_cast<unsigned char*>(bytes.data());
    auto size = static_cast<unsigned long>(bytes.size());
    if (tjDecompressHeader3(tj.get(), data, size, &w, &h, &subsampling, &colorspace) != 0)
        return imageError(ImageErrorCode::Corrupt, std::string("corrupt JPEG: ") + tjGetErrorStr2(tj.get()));
    if (Status s = checkDimensions(w, h, limits); !s)
        return s.error();
    // A warning (truncated data, say) fails the decode as well: no partial images. JPEG pictures are
    // opaque: B, G, R, A bytes are the image's ARGB words as they stand.
    auto pixels = std::make_shared<std::vector<std::uint32_t>>(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    if (tjDecompress2(tj.get(), data, size, reinterpret_cast<unsigned char*>(pixels->data()), w, 0, h, TJPF_BGRA, 0) != 0)
        return imageError(ImageErrorCode::Corrupt, std::string("corrupt JPEG: ") + tjGetErrorStr2(tj.get()));
    return std::make_shared<const Image>(w, h, scale, ImageOrientation::Up, std::move(pixels));
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

Image::Image(int width, int height, double scale, ImageOrientation orientation,
             std::shared_ptr<const std::vector<std::uint32_t>> pixels)
    : m_width(width), m_height(height), m_scale(validScale(scale)), m_orientation(orientation), m_pixels(std::move(pixels)) {}

double scaleFromFileName(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    std::string stem = name.substr(0, name.find_last_of('.'));
    if (endsWith(stem, "@3x"))
        return 3;
    if (endsWith(stem, "@2x"))
        return 2;
    return 1;
}

Result<Image::Ptr> Image::decode(std::span<const std::uint8_t> bytes, double scale, const DecodeLimits& limits) {
    static const std::uint8_t kPNG[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    scale = validScale(scale);
    if (bytes.size() >= sizeof kPNG && std::memcmp(bytes.data(), kPNG, sizeof kPNG) == 0)
        return decodePNG(bytes, scale, limits);
    if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF)
        return decodeJPEG(bytes, scale, limits);
    return imageError(ImageErrorCode::UnknownFormat, "not a PNG or JPEG image");
}

Result<Image::Ptr> Image::fromFile(const std::string& path, const DecodeLimits& limits) {
    // O_NONBLOCK and the check below: a FIFO or device named as a picture is refused, never waited on.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return imageError(ImageErrorCode::Unreadable, posixError(errno, "cannot open", path).localizedDescription());
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return imageError(ImageErrorCode::Unreadable, path + " is not a regular file");
    }
    Bytes bytes;
    std::size_t limit = static_cast<std::size_t>(limits.maxFileBytes);
    bool ok = readAll(fd, bytes, limit + 1);
    int savedErrno = errno;
    ::close(fd);
    if (!ok)
        return imageError(ImageErrorCode::Unreadable, posixError(savedErrno, "cannot read", path).localizedDescription());
    if (bytes.size() > limit)
        return imageError(ImageErrorCode::TooLarge, path + " is larger than " + std::to_string(limit) + " bytes");
    return decode(bytes, scaleFromFileName(path), limits);
}

Image::Ptr Image::named(const std::string& name) {
    if (name.empty())
        return nullptr;
    std::string base = endsWith(name, ".png") ? name.substr(0, name.size() - 4) : name;
    int screenScale = static_cast<int>(std::lround(Screen::main().scale()));
    // The screen's own scale first, then the larger ones, then the smaller ones.
    screenScale = std::clamp(screenScale, 1, 3);
    std::vector<std::string> candidates;
    for (int s : {screenScale, 3, 2, 1})
        if (s != screenScale || candidates.empty()) {
            std::string candidate = s == 1 ? base : base + "@" + std::to_string(s) + "x";
            if (std::find(candidates.begin(), candidates.end(), candidate) == candidates.end())
                candidates.push_back(candidate);
        }
    Bundle bundle = Bundle::main();
    for (const std::string& candidate : candidates) {
        std::string path = bundle.pathForResource(candidate, "png");
        if (path.empty())
            continue;
        if (auto image = fromFile(path))
            return image.value();
    }
    // A name with another extension ("photo.jpg") is looked up as it is.
    if (base == name && name.find('.') != std::string::npos) {
        std::string path = bundle.pathForResource(name, "");
        if (!path.empty())
            if (auto image = fromFile(path))
                return image.value();
    }
    return nullptr;
}

Result<Image::Ptr> Image::fromRGBA(int width, int height, std::span<const std::uint8_t> rgba, double scale,
                                   ImageOrientation orientation) {
    if (Status s = checkDimensions(width, height, DecodeLimits{}); !s)
        return s.error();
    std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (rgba.size() != count * 4)
        return imageError(ImageErrorCode::InvalidArgument, "expected " + std::to_string(count * 4) + " bytes of RGBA, got " +
                                                               std::to_string(rgba.size()));
    if (static_cast<int>(orientation) < 0 || static_cast<int>(orientation) > 7)
        return imageError(ImageErrorCode::InvalidArgument, "orientation out of range");
    return std::make_shared<const Image>(width, height, scale, orientation, packRGBA(rgba.data(), count));
}

Image::Ptr Image::solidColor(const Color& color, Size size, double scale) {
    scale = validScale(scale);
    if (!(size.width > 0) || !(size.height > 0) || size.width > kMaxSolidSide || size.height > kMaxSolidSide)
        return nullptr;
    int w = std::max(1, static_cast<int>(std::ceil(size.width * scale)));
    int h = std::max(1, static_cast<int>(std::ceil(size.height * scale)));
    if (!checkDimensions(w, h, DecodeLimits{}))
        return nullptr;
    auto c = [](double v) { return static_cast<std::uint8_t>(std::lround(v * 255)); };
    std::uint32_t pixel = premultiply(c(color.red), c(color.green), c(color.blue), c(color.alpha));
    auto pixels = std::make_shared<std::vector<std::uint32_t>>(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), pixel);
    return std::make_shared<const Image>(w, h, scale, ImageOrientation::Up, std::move(pixels));
}

Image::Ptr Image::withOrientation(ImageOrientation orientation) const {
    return std::make_shared<const Image>(m_width, m_height, m_scale, orientation, m_pixels);
}

Image::Ptr Image::withScale(double scale) const {
    return std::make_shared<const Image>(m_width, m_height, scale, m_orientation, m_pixels);
}

Size Image::size() const {
    bool quarterTurn = static_cast<int>(m_orientation) % 4 >= 2;
    double w = m_width / m_scale, h = m_height / m_scale;
    return quarterTurn ? Size{h, w} : Size{w, h};
}

Color Image::pixelAt(int x, int y) const {
    if (x < 0 || y < 0 || x >= m_width || y >= m_height)
        return Color::clear();
    std::uint32_t p = (*m_pixels)[static_cast<std::size_t>(y) * static_cast<std::size_t>(m_width) + static_cast<std::size_t>(x)];
    double a = (p >> 24) / 255.0;
    if (a == 0)
        return Color::clear();
    auto channel = [a](std::uint32_t v) { return std::min(1.0, (v & 0xFF) / 255.0 / a); };
    return Color{channel(p >> 16), channel(p >> 8), channel(p), a};
}

std::vector<std::uint8_t> Image::rgbaPixels() const {
    std::vector<std::uint8_t> out(m_pixels->size() * 4);
    std::uint8_t* o = out.data();
    for (std::uint32_t p : *m_pixels) {
        std::uint32_t a = p >> 24;
        if (a == 255) {  // most pixels: nothing to divide
            *o++ = static_cast<std::uint8_t>(p >> 16);
            *o++ = static_cast<std::uint8_t>(p >> 8);
            *o++ = static_cast<std::uint8_t>(p);
            *o++ = 255;
            continue;
        }
        auto un = [a](std::uint32_t v) { return static_cast<std::uint8_t>(a ? std::min<std::uint32_t>(255, ((v & 0xFF) * 255 + a / 2) / a) : 0); };
        *o++ = un(p >> 16);
        *o++ = un(p >> 8);
        *o++ = un(p);
        *o++ = static_cast<std::uint8_t>(a);
    }
    return out;
}

Image::Ptr Image::upright() const {
    auto self = std::make_shared<const Image>(m_width, m_height, m_scale, m_orientation, m_pixels);
    if (m_orientation == ImageOrientation::Up)
        return self;
    bool quarterTurn = static_cast<int>(m_orientation) % 4 >= 2;
    int w = quarterTurn ? m_height : m_width, h = quarterTurn ? m_width : m_height;
    cairo::SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
    cairo::ContextPtr cr(cairo_create(surface.get()));
    cairo_matrix_t m = cairo::orientationMatrix(*this);
    cairo_transform(cr.get(), &m);
    cairo::SurfacePtr source = cairo::surfaceFor(self);
    cairo_set_source_surface(cr.get(), source.get(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_NEAREST);
    cairo_paint(cr.get());
    cr.reset();
    return cairo::imageFromSurface(surface.get(), m_scale);
}

Result<std::vector<std::uint8_t>> Image::pngData() const {
    Image::Ptr shown = upright();
    // An opaque picture is written without its alpha channel: a quarter fewer bytes to compress.
    const std::span<const std::uint32_t> argb(shown->argb(), static_cast<std::size_t>(shown->pixelWidth()) * shown->pixelHeight());
    const bool opaque = std::all_of(argb.begin(), argb.end(), [](std::uint32_t p) { return p >> 24 == 255; });
    std::vector<std::uint8_t> samples;
    if (opaque) {
        samples.resize(argb.size() * 3);
        std::uint8_t* o = samples.data();
        for (std::uint32_t p : argb) {
            *o++ = static_cast<std::uint8_t>(p >> 16);
            *o++ = static_cast<std::uint8_t>(p >> 8);
            *o++ = static_cast<std::uint8_t>(p);
        }
    } else {
        samples = shown->rgbaPixels();
    }
    auto encode = [&](std::vector<std::uint8_t>& out, png_alloc_size_t& size) {
        png_image png;
        std::memset(&png, 0, sizeof png);
        png.version = PNG_IMAGE_VERSION;
        png.width = static_cast<png_uint_32>(shown->pixelWidth());
        png.height = static_cast<png_uint_32>(shown->pixelHeight());
        png.format = opaque ? PNG_FORMAT_RGB : PNG_FORMAT_RGBA;
        size = out.size();
        if (png_image_write_to_memory(&png, out.data(), &size, 0, samples.data(), 0, nullptr))
            return std::string();
        // Too small a buffer leaves the size it needs; anything else is a failure.
        return size > out.size() ? std::string() : std::string("PNG encoding failed: ") + png.message;
    };
    // One pass into a buffer of a usual compressed size; only a picture that compresses worse than that
    // is encoded again, into the size the first pass found it needs.
    std::vector<std::uint8_t> out(samples.size() / 4 + 64 * 1024);
    png_alloc_size_t size = 0;
    std::string failure = encode(out, size);
    if (failure.empty() && size > out.size()) {
        out.resize(size);
        failure = encode(out, size);
        if (failure.empty() && size > out.size())
            failure = "PNG encoding failed: the picture grew between two passes";
    }
    if (!failure.empty())
        return imageError(ImageErrorCode::InvalidArgument, failure);
    out.resize(size);
    out.shrink_to_fit();  // the bytes may be kept: not the whole guess
    return out;
}

Result<std::vector<std::uint8_t>> Image::jpegData(double quality) const {
    if (!(quality > 0))
        quality = 0;
    int q = 1 + static_cast<int>(std::lround(std::min(quality, 1.0) * 99)); // libjpeg's scale is 1-100
    Image::Ptr shown = upright();
    std::vector<std::uint8_t> rgb;
    rgb.reserve(static_cast<std::size_t>(shown->pixelWidth()) * shown->pixelHeight() * 3);
    for (std::uint32_t argb : std::span(shown->argb(), static_cast<std::size_t>(shown->pixelWidth()) * shown->pixelHeight())) {
        // Premultiplied over white: c + (255 - alpha).
        unsigned white = 255 - (argb >> 24);
        rgb.push_back(static_cast<std::uint8_t>(std::min(255u, ((argb >> 16) & 0xff) + white)));
        rgb.push_back(static_cast<std::uint8_t>(std::min(255u, ((argb >> 8) & 0xff) + white)));
        rgb.push_back(static_cast<std::uint8_t>(std::min(255u, (argb & 0xff) + white)));
    }
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitCompress(), tjDestroy);
    if (!tj)
        return imageError(ImageErrorCode::InvalidArgument, "JPEG encoder unavailable");
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj.get(), rgb.data(), shown->pixelWidth(), 0, shown->pixelHeight(), TJPF_RGB, &out, &size, TJSAMP_420, q, 0) != 0) {
        std::string reason = tjGetErrorStr2(tj.get());
        tjFree(out);
        return imageError(ImageErrorCode::InvalidArgument, "JPEG encoding failed: " + reason);
    }
    std::vector<std::uint8_t> bytes(out, out + size);
    tjFree(out);
    return bytes;
}

Status Image::writePNG(const std::string& path) const {
    auto data = pngData();
    if (!data)
        return data.error();
    return FileManager::defaultManager().writeAtomically(path, data.value());
}

} // namespace platform
