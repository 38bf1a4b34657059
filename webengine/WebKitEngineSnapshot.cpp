// What the view shows, as a picture.
#include "webengine/WebKitEngine.h"

#include "platform/core/Error.h"
#include "webengine/NestedLoop.h"
#include "webengine/WebKitEngineInternal.h"

#include <cairo.h>
#include <webkit2/webkit2.h>

#include <utility>

namespace webengine {

platform::Result<WebKitEngine::Surface> WebKitEngine::snapshot(std::chrono::milliseconds timeout)
{
    // The page cannot draw anew while its script is stopped in a dialog: what it drew last is what shows.
    if (isDialogWaiting())
        return drawnSurface();
    struct Snapshot {
        bool done = false;
        cairo_surface_t* surface = nullptr;
        std::string error;
        ~Snapshot()
        {
            if (surface)
                cairo_surface_destroy(surface);
        }
    };
    using Shared = std::shared_ptr<Snapshot>;
    auto snapshot = std::make_shared<Snapshot>();
    webkit_web_view_get_snapshot(
        m_view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Shared> state(static_cast<Shared*>(data));
            GError* error = nullptr;
            (*state)->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (error) {
                (*state)->error = error->message;
                g_error_free(error);
            }
            (*state)->done = true;
        },
        new Shared(snapshot));
    synchronously([&] { return runNestedLoopUntil([&] { return snapshot->done || isDialogWaiting(); }, timeout); });
    if (!snapshot->done && isDialogWaiting())
        return drawnSurface();
    if (!snapshot->done)
        return platform::Error(kWebEngineErrorDomain, kEvaluationTimedOut, "snapshot timed out");
    if (!snapshot->surface)
        return platform::Error(kWebEngineErrorDomain, kEvaluationFailed, "snapshot failed: " + snapshot->error);
    return Surface(std::exchange(snapshot->surface, nullptr), cairo_surface_destroy);
}

platform::Result<WebKitEngine::Surface> WebKitEngine::drawnSurface()
{
    GtkWidget* widget = GTK_WIDGET(m_view);
    // A size the host has just given is laid out first: a widget draws only at its allocation.
    if (GtkWidget* top = gtk_widget_get_toplevel(widget); GTK_IS_CONTAINER(top))
        gtk_container_check_resize(GTK_CONTAINER(top));
    const int width = gtk_widget_get_allocated_width(widget);
    const int height = gtk_widget_get_allocated_height(widget);
    if (!gtk_widget_get_realized(widget) || width <= 0 || height <= 0)
        return platform::Error(kWebEngineErrorDomain, kEvaluationFailed, "snapshot failed: the view is not shown");
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height), cairo_surface_destroy);
    cairo_t* cr = cairo_create(surface.get());
    gtk_widget_draw(widget, cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface.get());
    return surface;
}

platform::Result<void> WebKitEngine::writeSnapshot(const std::string& pngPath, std::chrono::milliseconds timeout)
{
    auto surface = snapshot(timeout);
    if (!surface.ok())
        return surface.error();
    if (cairo_surface_write_to_png(surface->get(), pngPath.c_str()) != CAIRO_STATUS_SUCCESS)
        return platform::Error(platform::kPOSIXErrorDomain, 5, "cannot write " + pngPath);
    return {};
}

} // namespace webengine
