#include "platform/ui/CairoSupport.h"

#include <cstring>

namespace platform::cairo {

namespace {
const cairo_user_data_key_t kPixelsKey{};

void releasePixels(void* holder) { delete static_cast<Image::Ptr*>(holder); }
} // namespace

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
    cairo_translate(cr, dest.minX(), dest.minY());
    cairo_scale(cr, dest.width() / shownW, dest.height() / shownH);
    cairo_matrix_t m = orientationMatrix(*image);
    cairo_transform(cr, &m);
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
