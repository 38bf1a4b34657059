#include "platform/ui/ViewRenderer.h"

#include "platform/ui/CairoSupport.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/Window.h"
#include "platform/web/WebView.h"

#include <cmath>
#include <vector>

namespace platform {

namespace {

bool applyTransform(cairo_t* cr, const AffineTransform& t) {
    cairo_matrix_t m;
    cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
    return cairo::transformSafely(cr, m);
}

void drawShadow(cairo_t* cr, const Layer& layer, Rect bounds) {
    cairo::drawShadow(cr, bounds, layer.cornerRadius(), layer.shadowColor(), layer.shadowOpacity(), layer.shadowOffset(),
                      layer.shadowRadius());
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
    Renderer(cairo_t* cr, ViewRenderer::WebViews webViews) : m_cr(cr), m_now(Clock::current().now()), m_webViews(webViews) {}

    void drawRoot(View& view) {
        cairo_save(m_cr);
        if (cairo::translateSafely(m_cr, -view.bounds().minX(), -view.bounds().minY()))
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
        if (applyTransform(m_cr, t))
            withOpacity(opacity, [&] { drawLayerBody(layer, Rect(Point{}, f.size), std::nullopt, layer.contentsMode(), false, [] {}, [] {}); });
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

    // The layer's looks in `bounds` (the coordinates the layer draws in); within the layer's clip, a
    // view's own drawing (`content`), the sublayers, then the subviews (`subviews`); the border above all.
    template <class Content, class Subviews>
    void drawLayerBody(Layer& layer, Rect bounds, std::optional<Color> background, ContentMode mode, bool clips,
                       Content content, Subviews subviews) {
        bool masks = clips || layer.masksToBounds();
        if (!masks && (background || layer.backgroundColor() || layer.contents()))
            drawShadow(m_cr, layer, bounds);
        if (auto fill = layer.backgroundColor() ? layer.backgroundColor() : background; fill && (fill->alpha > 0 || fill->isPattern())) {
            cairo_save(m_cr);
            cairo::roundedRectangle(m_cr, bounds, layer.cornerRadius());
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
        content();
        for (const auto& sub : std::vector<std::shared_ptr<Layer>>(layer.sublayers())) {
            cairo_save(m_cr);
            if (cairo::translateSafely(m_cr, bounds.minX(), bounds.minY()))
                drawSublayer(*sub);
            cairo_restore(m_cr);
        }
        subviews();
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
        View::Presentation p = view.presentation(m_now);
        Rect b = view.bounds();
        // An animated size keeps the bounds' origin; the content is laid out for the model size.
        AffineTransform t = AffineTransform::translation(-(b.minX() + p.size.width / 2), -(b.minY() + p.size.height / 2))
                                .concatenating(view.layer()->presentationTransform(m_now))
                                .concatenating(p.transform)
                                .concatenating(AffineTransform::translation(p.center.x, p.center.y));
        if (applyTransform(m_cr, t))  // a view scaled to nothing (or beyond numbers) draws nothing
            drawContent(view);
        cairo_restore(m_cr);
    }

    // A view in its own bounds coordinates.
    void drawContent(View& view) {
        if (view.isHidden())
            return;
        View::Presentation p = view.presentation(m_now);
        double opacity = p.alpha * view.layer()->presentationOpacity(m_now);
        if (!(opacity > 0))
            return;
        if (m_webViews == ViewRenderer::WebViews::Clear && dynamic_cast<WebView*>(&view)) {
            Rect b = view.bounds();
            cairo_save(m_cr);
            cairo_rectangle(m_cr, b.minX(), b.minY(), b.width(), b.height());
            cairo_set_operator(m_cr, CAIRO_OPERATOR_CLEAR);
            cairo_fill(m_cr);
            cairo_restore(m_cr);
            return;
        }
        withOpacity(opacity, [&] {
            if (dynamic_cast<WebView*>(&view)) {
                Rect b = view.bounds();
                cairo_rectangle(m_cr, b.minX(), b.minY(), b.width(), b.height());
                cairo_set_source_rgb(m_cr, 1, 1, 1);
                cairo_fill(m_cr);
                return;
            }
            auto content = [&] {
                GraphicsContext context(m_cr);
                GraphicsContext::Scope scope(context);
                cairo_save(m_cr);
                view.drawRect(view.bounds());
                cairo_restore(m_cr);
            };
            auto subviews = [&] {
                for (const auto& child : std::vector<std::shared_ptr<View>>(view.subviews()))
                    drawSubview(*child);
            };
            drawLayerBody(*view.layer(), Rect(view.bounds().origin, p.size), p.backgroundColor, view.contentMode(), view.clipsToBounds(),
                          content, subviews);
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
    ViewRenderer::WebViews m_webViews;
};

} // namespace

void ViewRenderer::render(View& view, cairo_t* cr, WebViews webViews) {
    view.layoutIfNeeded();
    Renderer(cr, webViews).drawRoot(view);
}

void ViewRenderer::renderScreen(cairo_t* cr, WebViews webViews) {
    for (const auto& window : Window::visibleWindows()) {
        cairo_save(cr);
        if (cairo::translateSafely(cr, window->frame().minX(), window->frame().minY()))
            render(*window, cr, webViews);
        cairo_restore(cr);
    }
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
