#include "platform/ui/CairoSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace platform::cairo {

namespace {
const cairo_user_data_key_t kPixelsKey{};

void releasePixels(void* holder) { delete static_cast<Image::Ptr*>(holder); }

// Three passes of a box blur over an A8 surface (close to a Gaussian), in place. Rows run along a padded
// line buffer; columns keep one running sum per column, so both directions read memory in order.
void blurAlpha(cairo_surface_t* surface, int radius) {
    if (radius < 1)
        return;
    cairo_surface_flush(surface);
    int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
    int stride = cairo_image_surface_get_stride(surface);
    unsigned char* data = cairo_image_surface_get_data(surface);
    auto row = [&](int y) { return data + static_cast<std::ptrdiff_t>(y) * stride; };
    const int window = 2 * radius + 1;
    // sum / window as a multiply and a shift (exact for sums up to 255 * window).
    const std::uint32_t reciprocal = ((1u << 24) + static_cast<std::uint32_t>(window) - 1) / static_cast<std::uint32_t>(window);
    std::vector<unsigned char> line(static_cast<std::size_t>(w + 2 * radius + 2), 0);
    std::vector<std::uint32_t> sums(static_cast<std::size_t>(w));
    std::vector<unsigned char> source(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (int round = 0; round < 3; ++round) {
        for (int y = 0; y < h; ++y) {
            unsigned char* out = row(y);
            std::copy(out, out + w, line.begin() + radius);
            std::uint32_t sum = 0;
            for (int i = 0; i < window; ++i)
                sum += line[static_cast<std::size_t>(i)];
            for (int x = 0; x < w; ++x) {
                out[x] = static_cast<unsigned char>((sum * reciprocal) >> 24);
                sum += line[static_cast<std::size_t>(x + window)];
                sum -= line[static_cast<std::size_t>(x)];
            }
        }
        for (int y = 0; y < h; ++y)
            std::copy(row(y), row(y) + w, source.begin() + static_cast<std::ptrdiff_t>(y) * w);
        auto sourceRow = [&](int y) { return source.data() + static_cast<std::ptrdiff_t>(y) * w; };
        std::fill(sums.begin(), sums.end(), 0);
        for (int y = 0; y <= std::min(radius, h - 1); ++y)
            for (int x = 0; x < w; ++x)
                sums[static_cast<std::size_t>(x)] += sourceRow(y)[x];
        for (int y = 0; y < h; ++y) {
            unsigned char* out = row(y);
            for (int x = 0; x < w; ++x)
                out[x] = static_cast<unsigned char>((sums[static_cast<std::size_t>(x)] * reciprocal) >> 24);
            if (y + radius + 1 < h)
                for (int x = 0; x < w; ++x)
                    sums[static_cast<std::size_t>(x)] += sourceRow(y + radius + 1)[x];
            if (y - radius >= 0)
                for (int x = 0; x < w; ++x)
                    sums[static_cast<std::size_t>(x)] -= sourceRow(y - radius)[x];
        }
    }
    cairo_surface_mark_dirty(surface);
}

double deviceScale(cairo_t* cr) {
    double dx = 1, dy = 0;
    cairo_user_to_device_distance(cr, &dx, &dy);
    double s = std::hypot(dx, dy);
    return std::isfinite(s) && s > 0 ? s : 1;
}

} // namespace

void drawShadow(cairo_t* cr, Rect shape, double cornerRadius, const Color& shadowColor, double shadowOpacity, Size offset,
                double radius) {
    double opacity = shadowOpacity * shadowColor.alpha;
    if (!(opacity > 0) || shape.isEmpty() || !shape.isFinite() || !std::isfinite(radius))
        return;
    Color color = shadowColor.withAlpha(1);
    if (radius <= 0) {
        roundedRectangle(cr, shape.offsetBy(offset.width, offset.height), cornerRadius);
        setSource(cr, color, opacity);
        cairo_fill(cr);
        return;
    }
    double scale = std::min(deviceScale(cr), 4.0);
    double pad = radius * 1.5;
    double w = std::ceil((shape.width() + 2 * pad) * scale), h = std::ceil((shape.height() + 2 * pad) * scale);
    if (w * h > static_cast<double>(kMaxShadowPixels))
        return;
    SurfacePtr mask(cairo_image_surface_create(CAIRO_FORMAT_A8, static_cast<int>(w), static_cast<int>(h)));
    if (cairo_surface_status(mask.get()) != CAIRO_STATUS_SUCCESS)
        return;
    {
        ContextPtr mc(cairo_create(mask.get()));
        cairo_scale(mc.get(), scale, scale);
        roundedRectangle(mc.get(), Rect(pad, pad, shape.width(), shape.height()), cornerRadius);
        cairo_set_source_rgba(mc.get(), 0, 0, 0, 1);
        cairo_fill(mc.get());
    }
    blurAlpha(mask.get(), static_cast<int>(std::lround(radius * scale / 2)));
    cairo_save(cr);
    if (translateSafely(cr, shape.minX() + offset.width - pad, shape.minY() + offset.height - pad) &&
        scaleSafely(cr, 1 / scale, 1 / scale)) {
        setSource(cr, color, opacity);
        cairo_mask_surface(cr, mask.get(), 0, 0);
    }
    cairo_restore(cr);
}

bool transformSafely(cairo_t* cr, const cairo_matrix_t& m) {
    cairo_matrix_t current, result;
    cairo_get_matrix(cr, &current);
    cairo_matrix_multiply(&result, &m, &current);
    double det = result.xx * result.yy - result.yx * result.xy;
    for (double v : {result.xx, result.yx, result.xy, result.yy, result.x0, result.y0, det})
        if (!std::isfinite(v))
            return false;
    // Cairo's fixed-point device space holds about 2^23; a scale far below a millionth is degenerate.
    if (std::fabs(det) < 1e-12)
        return false;
    cairo_set_matrix(cr, &result);
    return true;
}

SurfacePtr surfaceFor(const Image::Ptr& image) {
    auto* data = reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(image->argb()));
    SurfacePtr surface(cairo_image_surface_create_for_data(data, CAIRO_FORMAT_ARGB32, image->pixelWidth(),
                                                           image->pixelHeight(), image->pixelWidth() * 4));
    cairo_surface_set_user_data(surface.get(), &kPixelsKey, new Image::Ptr(image), releasePixels);
    return surface;
}

cairo_matrix_t orientationMatrix(const Image& image) {
    double w = image.pixelWidth(), h = image.pixelHeight();
    cairo_matrix_t m;
    switch (image.orientation()) {
    case ImageOrientation::Up: cairo_matrix_init(&m, 1, 0, 0, 1, 0, 0); break;
    case ImageOrientation::Down: cairo_matrix_init(&m, -1, 0, 0, -1, w, h); break;
    case ImageOrientation::Left: cairo_matrix_init(&m, 0, -1, 1, 0, 0, w); break;
    case ImageOrientation::Right: cairo_matrix_init(&m, 0, 1, -1, 0, h, 0); break;
    case ImageOrientation::UpMirrored: cairo_matrix_init(&m, -1, 0, 0, 1, w, 0); break;
    case ImageOrientation::DownMirrored: cairo_matrix_init(&m, 1, 0, 0, -1, 0, h); break;
    case ImageOrientation::LeftMirrored: cairo_matrix_init(&m, 0, 1, 1, 0, 0, 0); break;
    case ImageOrientation::RightMirrored: cairo_matrix_init(&m, 0, -1, -1, 0, h, w); break;
    }
    return m;
}

void drawImage(cairo_t* cr, const Image::Ptr& image, Rect dest, double alpha) {
    if (!image || dest.isEmpty() || !dest.isFinite() || !(alpha > 0))
        return;
    bool quarterTurn = static_cast<int>(image->orientation()) % 4 >= 2;
    double shownW = quarterTurn ? image->pixelHeight() : image->pixelWidth();
    double shownH = quarterTurn ? image->pixelWidth() : image->pixelHeight();
    SurfacePtr surface = surfaceFor(image);
    cairo_save(cr);
    cairo_rectangle(cr, dest.minX(), dest.minY(), dest.width(), dest.height());
    cairo_clip(cr);
    cairo_matrix_t m = orientationMatrix(*image);
    if (!translateSafely(cr, dest.minX(), dest.minY()) || !scaleSafely(cr, dest.width() / shownW, dest.height() / shownH) ||
        !transformSafely(cr, m)) {
        cairo_restore(cr);
        return;
    }
    cairo_set_source_surface(cr, surface.get(), 0, 0);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    if (alpha >= 1)
        cairo_paint(cr);
    else
        cairo_paint_with_alpha(cr, alpha);
    cairo_restore(cr);
}

void setSource(cairo_t* cr, const Color& color, double alpha) {
    if (!color.isPattern()) {
        cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha * alpha);
        return;
    }
    Image::Ptr tile = color.patternImage->upright();
    SurfacePtr surface = surfaceFor(tile);
    cairo_pattern_t* pattern = cairo_pattern_create_for_surface(surface.get());
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_REPEAT);
    cairo_matrix_t m;
    cairo_matrix_init_scale(&m, tile->scale(), tile->scale());
    cairo_pattern_set_matrix(pattern, &m);
    cairo_set_source(cr, pattern);
    cairo_pattern_destroy(pattern);
}

void roundedRectangle(cairo_t* cr, Rect r, double radius) {
    radius = std::min({radius, r.width() / 2, r.height() / 2});
    if (!(radius > 0)) {
        cairo_rectangle(cr, r.minX(), r.minY(), r.width(), r.height());
        return;
    }
    constexpr double kHalfPi = 1.5707963267948966;
    cairo_new_sub_path(cr);
    cairo_arc(cr, r.maxX() - radius, r.minY() + radius, radius, -kHalfPi, 0);
    cairo_arc(cr, r.maxX() - radius, r.maxY() - radius, radius, 0, kHalfPi);
    cairo_arc(cr, r.minX() + radius, r.maxY() - radius, radius, kHalfPi, 2 * kHalfPi);
    cairo_arc(cr, r.minX() + radius, r.minY() + radius, radius, 2 * kHalfPi, 3 * kHalfPi);
    cairo_close_path(cr);
}

Image::Ptr imageFromSurface(cairo_surface_t* surface, double scale) {
    cairo_surface_flush(surface);
    int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
    int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    auto pixels = std::make_shared<std::vector<std::uint32_t>>(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y)
        std::memcpy(pixels->data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w), data + static_cast<std::ptrdiff_t>(y) * stride,
                    static_cast<std::size_t>(w) * 4);
    return std::make_shared<Image>(w, h, scale, ImageOrientation::Up, std::move(pixels));
}

} // namespace platform::cairo
