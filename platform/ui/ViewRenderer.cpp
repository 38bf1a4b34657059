#include "platform/ui/ViewRenderer.h"

#include "platform/WebView.h"
#include "platform/ui/CairoSupport.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/Window.h"

#include <cmath>
#include <vector>

namespace platform {

namespace {

void applyTransform(cairo_t* cr, const AffineTransform& t) {
    cairo_matrix_t m;
    cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
    cairo_transform(cr, &m);
}

// Three passes of a box blur over an A8 surface (close to a Gaussian), in place.
void blurAlpha(cairo_surface_t* surface, int radius) {
    if (radius < 1)
        return;
    cairo_surface_flush(surface);
    int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
    int stride = cairo_image_surface_get_stride(surface);
    unsigned char* data = cairo_image_surface_get_data(surface);
    std::vector<unsigned char> line(static_cast<std::size_t>(std::max(w, h)));
    auto pass = [&](unsigned char* start, int count, int step) {
        for (int i = 0; i < count; ++i)
            line[static_cast<std::size_t>(i)] = start[static_cast<std::ptrdiff_t>(i) * step];
        int window = 2 * radius + 1, sum = 0;
        auto at = [&](int i) { return i < 0 || i >= count ? 0 : line[static_cast<std::size_t>(i)]; };
        for (int i = -radius; i <= radius; ++i)
            sum += at(i);
        for (int i = 0; i < count; ++i) {
            start[static_cast<std::ptrdiff_t>(i) * step] = static_cast<unsigned char>(sum / window);
            sum += at(i + radius + 1) - at(i - radius);
        }
    };
    for (int round = 0; round < 3; ++round) {
        for (int y = 0; y < h; ++y)
            pass(data + static_cast<std::ptrdiff_t>(y) * stride, w, 1);
        for (int x = 0; x < w; ++x)
            pass(data + x, h, stride);
    }
    cairo_surface_mark_dirty(surface);
}

double deviceScale(cairo_t* cr) {
    double dx = 1, dy = 0;
    cairo_user_to_device_distance(cr, &dx, &dy);
    double s = std::hypot(dx, dy);
    return std::isfinite(s) && s > 0 ? s : 1;
}

void drawShadow(cairo_t* cr, const Layer& layer, Rect bounds) {
    double opacity = layer.shadowOpacity() * layer.shadowColor().alpha;
    if (!(opacity > 0) || bounds.isEmpty())
        return;
    Size offset = layer.shadowOffset();
    double radius = layer.shadowRadius();
    Color color = layer.shadowColor().withAlpha(1);
    if (radius <= 0) {
        cairo::roundedRectangle(cr, bounds.offsetBy(offset.width, offset.height), layer.cornerRadius());
        cairo::setSource(cr, color, opacity);
        cairo_fill(cr);
        return;
    }
    double scale = std::min(deviceScale(cr), 4.0);
    double pad = radius * 1.5;
    double w = std::ceil((bounds.width() + 2 * pad) * scale), h = std::ceil((bounds.height() + 2 * pad) * scale);
    if (w * h > static_cast<double>(ImageContext::kMaxPixels))
        return;
    cairo::SurfacePtr mask(cairo_image_surface_create(CAIRO_FORMAT_A8, static_cast<int>(w), static_cast<int>(h)));
    if (cairo_surface_status(mask.get()) != CAIRO_STATUS_SUCCESS)
        return;
    {
        cairo::ContextPtr mc(cairo_create(mask.get()));
        cairo_scale(mc.get(), scale, scale);
        cairo::roundedRectangle(mc.get(), Rect(pad, pad, bounds.width(), bounds.height()), layer.cornerRadius());
        cairo_set_source_rgba(mc.get(), 0, 0, 0, 1);
        cairo_fill(mc.get());
    }
    blurAlpha(mask.get(), static_cast<int>(std::lround(radius * scale / 2)));
    cairo_save(cr);
    cairo_translate(cr, bounds.minX() + offset.width - pad, bounds.minY() + offset.height - pad);
    cairo_scale(cr, 1 / scale, 1 / scale);
    cairo::setSource(cr, color, opacity);
    cairo_mask_surface(cr, mask.get(), 0, 0);
    cairo_restore(cr);
}

void drawGradient(cairo_t* cr, const GradientLayer& layer, Rect bounds) {
    auto stops = layer.stops();
    if (stops.empty())
        return;
    Point a = layer.startPoint(), b = layer.endPoint();
    cairo_pattern_t* pattern = cairo_pattern_create_linear(bounds.minX() + a.x * bounds.width(), bounds.minY() + a.y * bounds.height(),
                                                           bounds.minX() + b.x * bounds.width(), bounds.minY() + b.y * bounds.height());
    for (const auto& [at, color] : stops)
        cairo_pattern_add_color_stop_rgba(pattern, at, color.red, color.green, color.blue, color.alpha);
    cairo::roundedRectangle(cr, bounds, layer.cornerRadius());
    cairo_set_source(cr, pattern);
    cairo_fill(cr);
    cairo_pattern_destroy(pattern);
}

class Renderer {
public:
    Renderer(cairo_t* cr) : m_cr(cr), m_now(Clock::current().now()) {}

    void drawRoot(View& view) {
        cairo_save(m_cr);
        cairo_translate(m_cr, -view.bounds().minX(), -view.bounds().minY());
        drawContent(view);
        cairo_restore(m_cr);
    }

private:
    // Layers that are not a view's own: in the superlayer's coordinates.
    void drawSublayer(Layer& layer) {
        if (layer.isHidden())
            return;
        double opacity = layer.presentationOpacity(m_now);
        if (!(opacity > 0))
            return;
        Rect f = layer.frame();
        cairo_save(m_cr);
        AffineTransform t = AffineTransform::translation(-f.width() / 2, -f.height() / 2)
                                .concatenating(layer.presentationTransform(m_now))
                                .concatenating(layer.transform())
                                .concatenating(AffineTransform::translation(f.midX(), f.midY()));
        applyTransform(m_cr, t);
        withOpacity(opacity, [&] { drawLayerBody(layer, Rect(Point{}, f.size), std::nullopt, ContentMode::ScaleToFill, false, [] {}); });
        cairo_restore(m_cr);
    }

    template <class Body>
    void withOpacity(double opacity, Body body) {
        if (opacity >= 1) {
            body();
            return;
        }
        cairo_push_group(m_cr);
        body();
        cairo_pop_group_to_source(m_cr);
        cairo_paint_with_alpha(m_cr, opacity);
    }

    // The layer's looks in `bounds` (the coordinates the layer draws in), then `inside` (a view's own
    // drawing and subviews) within the layer's clip, then the border above all.
    template <class Inside>
    void drawLayerBody(Layer& layer, Rect bounds, std::optional<Color> background, ContentMode mode, bool clips, Inside inside) {
        bool masks = clips || layer.masksToBounds();
        if (!masks && (background || layer.backgroundColor() || layer.contents()))
            drawShadow(m_cr, layer, bounds);
        if (auto fill = layer.backgroundColor() ? layer.backgroundColor() : background; fill && (fill->alpha > 0 || fill->isPattern())) {
            cairo_save(m_cr);
            cairo_translate(m_cr, bounds.minX(), bounds.minY());
            cairo::roundedRectangle(m_cr, Rect(Point{}, bounds.size), layer.cornerRadius());
            cairo::setSource(m_cr, *fill);
            cairo_fill(m_cr);
            cairo_restore(m_cr);
        }
        cairo_save(m_cr);
        if (masks) {
            cairo::roundedRectangle(m_cr, bounds, layer.masksToBounds() ? layer.cornerRadius() : 0);
            cairo_clip(m_cr);
        }
        if (auto gradient = dynamic_cast<GradientLayer*>(&layer))
            drawGradient(m_cr, *gradient, bounds);
        if (Image::Ptr image = layer.currentImage())
            cairo::drawImage(m_cr, image, contentRect(mode, image->size(), bounds));
        inside();
        for (const auto& sub : std::vector<std::shared_ptr<Layer>>(layer.sublayers())) {
            cairo_save(m_cr);
            cairo_translate(m_cr, bounds.minX(), bounds.minY());
            drawSublayer(*sub);
            cairo_restore(m_cr);
        }
        cairo_restore(m_cr);
        if (layer.borderWidth() > 0 && layer.borderColor().alpha > 0) {
            double inset = layer.borderWidth() / 2;
            cairo::roundedRectangle(m_cr, bounds.insetBy(inset, inset), std::max(0.0, layer.cornerRadius() - inset));
            cairo::setSource(m_cr, layer.borderColor());
            cairo_set_line_width(m_cr, layer.borderWidth());
            cairo_stroke(m_cr);
        }
    }

    void drawSubview(View& view) {
        if (view.isHidden())
            return;
        cairo_save(m_cr);
        Rect b = view.bounds();
        Point c = view.center();
        AffineTransform t = AffineTransform::translation(-b.midX(), -b.midY())
                                .concatenating(view.layer()->presentationTransform(m_now))
                                .concatenating(view.transform())
                                .concatenating(AffineTransform::translation(c.x, c.y));
        applyTransform(m_cr, t);
        drawContent(view);
        cairo_restore(m_cr);
    }

    // A view in its own bounds coordinates.
    void drawContent(View& view) {
        if (view.isHidden())
            return;
        double opacity = view.alpha() * view.layer()->presentationOpacity(m_now);
        if (!(opacity > 0))
            return;
        withOpacity(opacity, [&] {
            if (dynamic_cast<WebView*>(&view)) {
                Rect b = view.bounds();
                cairo_rectangle(m_cr, b.minX(), b.minY(), b.width(), b.height());
                cairo_set_source_rgb(m_cr, 1, 1, 1);
                cairo_fill(m_cr);
                return;
            }
            drawLayerBody(*view.layer(), view.bounds(), view.backgroundColor(), view.contentMode(), view.clipsToBounds(), [&] {
                {
                    GraphicsContext context(m_cr);
                    GraphicsContext::Scope scope(context);
                    cairo_save(m_cr);
                    view.drawRect(view.bounds());
                    cairo_restore(m_cr);
                }
                for (const auto& child : std::vector<std::shared_ptr<View>>(view.subviews()))
                    drawSubview(*child);
            });
            if (auto window = dynamic_cast<Window*>(&view))
                drawDetachedPresentations(*window);
        });
    }

    // Presented controllers' views that are not in the window's tree are drawn above it, in order.
    void drawDetachedPresentations(Window& window) {
        auto root = window.rootViewController();
        for (auto c = root ? root->presentedViewController() : nullptr; c; c = c->presentedViewController()) {
            if (!c->isViewLoaded() || c->view()->superview())
                continue;
            drawSubview(*c->view());
        }
    }

    cairo_t* m_cr;
    Clock::TimePoint m_now;
};

} // namespace

void ViewRenderer::render(View& view, cairo_t* cr) {
    view.layoutIfNeeded();
    Renderer(cr).drawRoot(view);
}

Result<Image::Ptr> ViewRenderer::renderImage(View& view, double scale) {
    view.layoutIfNeeded();
    Size size = view.bounds().size;
    auto context = ImageContext::begin(size, scale);
    if (!context)
        return Error(kImageErrorDomain, static_cast<long long>(ImageErrorCode::InvalidArgument),
                     "cannot render a view of " + std::to_string(size.width) + " x " + std::to_string(size.height) +
                         " points at scale " + std::to_string(scale));
    render(view, context->context().cairo());
    return context->end();
}

Status ViewRenderer::writePNG(View& view, const std::string& path, double scale) {
    auto image = renderImage(view, scale);
    if (!image)
        return image.error();
    return image.value()->writePNG(path);
}

} // namespace platform
