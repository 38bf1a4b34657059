// Private to platform/ui: the Cairo glue the drawing context, the renderer and the image share. Main thread
// (or the thread that owns the cairo_t).
#pragma once

#include "platform/core/Color.h"
#include "platform/core/Geometry.h"
#include "platform/ui/Image.h"

#include <cairo.h>

#include <memory>

namespace platform::cairo {

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
struct ContextDeleter {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

// Multiplies the current transform by `m` when the result is finite and invertible; otherwise leaves it
// and answers false. (A singular matrix would put the cairo_t in a lasting error state, after which
// nothing more draws.) Callers skip what they would have drawn.
bool transformSafely(cairo_t* cr, const cairo_matrix_t& m);
inline bool translateSafely(cairo_t* cr, double dx, double dy) {
    cairo_matrix_t m;
    cairo_matrix_init_translate(&m, dx, dy);
    return transformSafely(cr, m);
}
inline bool scaleSafely(cairo_t* cr, double sx, double sy) {
    cairo_matrix_t m;
    cairo_matrix_init_scale(&m, sx, sy);
    return transformSafely(cr, m);
}

// A surface over the image's stored pixels (no copy); it keeps the pixels alive while it lives.
SurfacePtr surfaceFor(const Image::Ptr& image);

// The matrix from stored pixels to the upright image's pixels.
cairo_matrix_t orientationMatrix(const Image& image);

// Draws the image, upright, scaled into `dest` (user space), at the given opacity.
void drawImage(cairo_t* cr, const Image::Ptr& image, Rect dest, double alpha = 1);

// Sets the source to the colour (a pattern colour tiles its image from the user-space origin).
void setSource(cairo_t* cr, const Color& color, double alpha = 1);

// Adds a rectangle with rounded corners (radius clamped to half the shorter side) to the path.
void roundedRectangle(cairo_t* cr, Rect r, double radius);

// A soft shadow of a rounded rectangle: the shape, offset, blurred by `radius` (three box blurs of a
// mask at the device's scale), in the colour at the opacity. Shadows whose mask would exceed
// kMaxShadowPixels are not drawn.
inline constexpr double kMaxShadowPixels = 1 << 24;
void drawShadow(cairo_t* cr, Rect shape, double cornerRadius, const Color& color, double opacity, Size offset, double radius);

// Copies an ARGB32 surface's pixels into a new image.
Image::Ptr imageFromSurface(cairo_surface_t* surface, double scale);

} // namespace platform::cairo
