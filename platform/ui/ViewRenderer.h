// Draws a view tree with Cairo, for people and for snapshot tests: in z-order, with each view's
// transform, alpha, hidden flag and clipping; background, corner radius, border, shadow, gradients and
// sublayers; layer contents; and each view's own drawing (images in their content mode, label text with
// the measuring layout). Layer animations are drawn at the time of Clock::current(). A window draws its
// presented controllers' views above their presenters. Web views draw as white rectangles (their pixels
// belong to their engine), or, for a host that shows each engine's own widget below the drawing, as holes:
// a web view clears what was drawn below it, and what lies above it still shows. (Under a translucent
// ancestor the hole goes through that ancestor's drawing only.)
//
// Guarantees: main thread only. The view tree is laid out (layoutIfNeeded) before it is drawn. Shadows
// are blurred masks of the layer's rounded bounds (not of its drawn content).
#pragma once

#include "platform/core/Error.h"
#include "platform/ui/Image.h"
#include "platform/ui/View.h"

#include <string>

typedef struct _cairo cairo_t;

namespace platform {

class ViewRenderer {
public:
    enum class WebViews { White, Clear };

    // Draws `view` with its bounds' origin at the context's current origin (its own frame and transform
    // do not apply; its alpha does).
    static void render(View& view, cairo_t* cr, WebViews webViews = WebViews::White);
    // The view drawn into a new image of its bounds' size at `scale` pixels per point.
    static Result<Image::Ptr> renderImage(View& view, double scale = 2);
    static Status writePNG(View& view, const std::string& path, double scale = 2);
    // Every shown window, back to front (by level), each at its frame's origin: what the screen shows.
    static void renderScreen(cairo_t* cr, WebViews webViews = WebViews::White);
};

} // namespace platform
