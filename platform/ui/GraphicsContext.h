// A drawing context over Cairo: the state the platform's drawing calls keep (colours, alpha, line width,
// the current transform and clip) with save and restore, and the drawing the view system needs (lines,
// rectangles, images, text). The renderer and ImageContext make them; views draw into current().
//
// Guarantees: used on the thread that made it. Arguments that are not finite are ignored. The context
// borrows its cairo_t; the maker keeps it alive.
#pragma once

#include "platform/core/Color.h"
#include "platform/core/Geometry.h"
#include "platform/ui/AttributedString.h"
#include "platform/ui/Image.h"
#include "platform/ui/TextLayout.h"

#include <span>
#include <vector>

typedef struct _cairo cairo_t;

namespace platform {

class GraphicsContext {
public:
    explicit GraphicsContext(cairo_t* cr);
    ~GraphicsContext();
    GraphicsContext(const GraphicsContext&) = delete;
    GraphicsContext& operator=(const GraphicsContext&) = delete;

    // The innermost context pushed on this thread (by the renderer while a view draws, or by an open
    // ImageContext); nullptr when none.
    static GraphicsContext* current();
    // Makes a context current for the life of the scope.
    class Scope {
    public:
        explicit Scope(GraphicsContext& context);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        GraphicsContext& m_context;
    };

    void saveState();
    void restoreState();  // an unmatched restore does nothing

    void translate(double dx, double dy);
    void rotate(double radians);
    void scale(double sx, double sy);
    void concatenate(const AffineTransform& transform);
    void clipToRect(Rect rect);

    void setStrokeColor(const Color& color);
    void setFillColor(const Color& color);
    void setAlpha(double alpha);
    void setLineWidth(double width);

    // Strokes a line from points[0] to points[1], points[2] to points[3], ... (an odd last point is
    // ignored) with the stroke colour, alpha and line width.
    void strokeLineSegments(std::span<const Point> points);
    void strokeRect(Rect rect);
    void fillRect(Rect rect);
    // Fills the ellipse inscribed in `rect`.
    void fillEllipse(Rect rect);
    // Rectangles with rounded corners (the radius clamped to half the shorter side).
    void fillRoundedRect(Rect rect, double radius);
    void strokeRoundedRect(Rect rect, double radius);
    // Draws the image, upright, scaled into `rect`.
    void drawImage(const Image::Ptr& image, Rect rect);
    // Draws text laid out at the rect's width (see TextLayout) from the rect's top left.
    void drawText(const AttributedString& text, const TextStyle& style, Rect rect);

    cairo_t* cairo() const { return m_cr; }

private:
    struct State {
        Color stroke = Color::black();
        Color fill = Color::black();
        double alpha = 1;
        double lineWidth = 1;
    };

    cairo_t* m_cr;
    State m_state;
    std::vector<State> m_saved;
};

} // namespace platform
