#include "platform/ui/ImageContext.h"

#include "platform/ui/CairoSupport.h"
#include "platform/ui/Screen.h"

#include <cmath>

namespace platform {

struct ImageContext::Surface {
    cairo::SurfacePtr surface;
    cairo::ContextPtr cr;
};

std::unique_ptr<ImageContext> ImageContext::begin(Size size, double scale, bool opaque) {
    if (!std::isfinite(size.width) || !std::isfinite(size.height) || !(size.width > 0) || !(size.height > 0) ||
        size.width > kMaxSide || size.height > kMaxSide)
        return nullptr;
    if (!std::isfinite(scale) || !(scale > 0) || scale > 4)
        scale = Screen::main().scale();
    double w = std::ceil(size.width * scale), h = std::ceil(size.height * scale);
    if (w * h > static_cast<double>(kMaxPixels))
        return nullptr;
    auto surface = std::make_unique<Surface>();
    surface->surface.reset(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(w), static_cast<int>(h)));
    if (cairo_surface_status(surface->surface.get()) != CAIRO_STATUS_SUCCESS)
        return nullptr;
    surface->cr.reset(cairo_create(surface->surface.get()));
    if (opaque) {
        cairo_set_source_rgb(surface->cr.get(), 0, 0, 0);
        cairo_paint(surface->cr.get());
    }
    cairo_scale(surface->cr.get(), scale, scale);
    return std::unique_ptr<ImageContext>(new ImageContext(size, scale, std::move(surface)));
}

ImageContext::ImageContext(Size size, double scale, std::unique_ptr<Surface> surface)
    : m_size(size), m_scale(scale), m_surface(std::move(surface)), m_context(std::make_unique<GraphicsContext>(m_surface->cr.get())),
      m_scope(std::make_unique<GraphicsContext::Scope>(*m_context)) {}

ImageContext::~ImageContext() {
    m_scope.reset();
    m_context.reset();
}

Image::Ptr ImageContext::image() const {
    if (m_ended)
        return m_ended;
    return cairo::imageFromSurface(m_surface->surface.get(), m_scale);
}

Image::Ptr ImageContext::end() {
    if (m_ended)
        return m_ended;
    m_ended = image();
    m_scope.reset();
    // Later drawing goes nowhere: the surface is finished, and drawing on it is a no-op.
    cairo_surface_finish(m_surface->surface.get());
    return m_ended;
}

} // namespace platform
