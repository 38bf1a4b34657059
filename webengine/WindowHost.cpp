#include "webengine/WindowHost.h"

#include "platform/core/Log.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Touch.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/ViewRenderer.h"
#include "platform/ui/Window.h"
#include "webengine/WebKitGtkWebView.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace webengine {

namespace {

using platform::Point;
using platform::Rect;
using platform::View;
using platform::Window;

// Points a wheel step (one notch, or one unit of a smooth scroll) moves a native scroll view.
constexpr double kWheelStep = 40;
// Below this alpha a view is not shown (and takes no touch), as the hit test has it.
constexpr double kInvisibleAlpha = 0.01;

// A web view of the engine as shown: where on the screen, how opaque.
struct ShownWebView {
    std::shared_ptr<WebKitGtkWebView> view;
    Rect frame;
    double alpha = 1;
};

// Where a root view's bounds coordinates start in its superview's (the screen's, for a window).
Point originOf(const View& root)
{
    return Point{root.frame().minX() - root.bounds().minX(), root.frame().minY() - root.bounds().minY()};
}

// A point of the screen in a window's bounds coordinates.
Point toWindow(const Window& window, Point onScreen)
{
    const Point origin = originOf(window);
    return Point{onScreen.x - origin.x, onScreen.y - origin.y};
}

// The web view a hit view belongs to when it is the page itself (the web view or its scroll view).
std::shared_ptr<platform::WebView> pageOf(const std::shared_ptr<View>& hit)
{
    if (auto web = std::dynamic_pointer_cast<platform::WebView>(hit))
        return web;
    auto parent = std::dynamic_pointer_cast<platform::WebView>(hit->superview());
    if (parent && parent->scrollViewPointer() == hit)
        return parent;
    return nullptr;
}

bool layerAnimates(const platform::Layer& layer, platform::Clock::TimePoint now)
{
    for (const auto& key : layer.animationKeys()) {
        if (const platform::Animation* animation = layer.animationForKey(key); animation && animation->valueAt(now))
            return true;
    }
    return std::any_of(layer.sublayers().begin(), layer.sublayers().end(), [&](const auto& sub) { return layerAnimates(*sub, now); });
}

bool treeAnimates(const View& view, platform::Clock::TimePoint now)
{
    if (view.isHidden())
        return false;
    if (platform::ViewAnimation::isAnimating(view) || layerAnimates(*view.layer(), now))
        return true;
    return std::any_of(view.subviews().begin(), view.subviews().end(), [&](const auto& child) { return treeAnimates(*child, now); });
}

// The views a window shows: its own tree, then presented controllers' views that are outside it.
template <class Visit>
void forEachShownRoot(Visit visit)
{
    for (const auto& window : Window::visibleWindows()) {
        visit(*window, static_cast<View&>(*window));
        auto root = window->rootViewController();
        for (auto c = root ? root->presentedViewController() : nullptr; c; c = c->presentedViewController()) {
            if (c->isViewLoaded() && !c->view()->superview())
                visit(*window, *c->view());
        }
    }
}

void collectWebViews(View& view, const Window& window, const View& root, double alpha, std::vector<ShownWebView>& out)
{
    alpha *= view.alpha();
    if (view.isHidden() || alpha < kInvisibleAlpha)
        return;
    if (auto web = std::dynamic_pointer_cast<WebKitGtkWebView>(view.shared_from_this())) {
        // The view's bounds in its root's coordinates, then on the screen.
        Rect inRoot = view.convertRectTo(view.bounds(), nullptr);
        Point origin = originOf(window);
        if (&root != &window)
            origin = Point{origin.x + originOf(root).x, origin.y + originOf(root).y};
        out.push_back({std::move(web), inRoot.offsetBy(origin.x, origin.y), alpha});
        return;  // the page draws the rest
    }
    for (const auto& child : std::vector<std::shared_ptr<View>>(view.subviews()))
        collectWebViews(*child, window, root, alpha, out);
}

std::vector<ShownWebView> shownWebViews()
{
    std::vector<ShownWebView> shown;
    forEachShownRoot([&](const Window& window, View& root) { collectWebViews(root, window, root, 1, shown); });
    return shown;
}

// The hit test of the front-most shown window under a point of the screen.
struct Hit {
    std::shared_ptr<Window> window;
    std::shared_ptr<View> view;
};

Hit hitTest(Point onScreen)
{
    auto windows = Window::visibleWindows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        if (auto view = (*it)->hitTest(toWindow(**it, onScreen)))
            return {*it, std::move(view)};
    }
    return {};
}

// The native text field that takes the keys: the first responder of the front-most shown window that has one.
std::shared_ptr<platform::TextField> keyResponder()
{
    auto windows = Window::visibleWindows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        if (auto responder = (*it)->firstResponder())
            return std::dynamic_pointer_cast<platform::TextField>(responder);
    }
    return nullptr;
}

// Writes a picture to the file the user named. O_NONBLOCK and the check after it: a FIFO (or a device)
// named there is refused at once, never waited on; an existing regular file is replaced in place.
platform::Status writePictureFile(const std::string& path, const std::string& bytes)
{
    auto failed = [&](int code, const std::string& why) {
        return platform::Error(platform::kPOSIXErrorDomain, code, "cannot write " + path + ": " + why);
    };
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int failure = errno;
        // A FIFO nobody reads: the kernel says "no such device or address".
        return failed(failure, failure == ENXIO ? "not a regular file" : std::strerror(failure));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int failure = errno;
        ::close(fd);
        return failed(failure, std::strerror(failure));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return failed(EINVAL, "not a regular file");
    }
    std::size_t written = 0;
    bool ok = ::ftruncate(fd, 0) == 0;
    while (ok && written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            written += static_cast<std::size_t>(n);
    }
    const int failure = ok ? 0 : (errno ? errno : EIO);
    if (::close(fd) != 0 && ok)
        return failed(errno, std::strerror(errno));
    if (!ok)
        return failed(failure, std::strerror(failure));
    return {};
}

} // namespace

struct WindowHost::Impl {
    GtkWidget* window = nullptr;
    GtkWidget* overlay = nullptr;
    GtkWidget* layout = nullptr;  // the web views' widgets
    GtkWidget* area = nullptr;    // the native layer, above them
    GtkIMContext* im = nullptr;
    bool imFocused = false;
    std::weak_ptr<platform::TextField> imField;  // the field the input method composes for

    // The widgets put in the layout, in stacking order, with their views (a widget is touched only while
    // its view lives: a web view that goes takes its widget out itself).
    struct Placed {
        std::weak_ptr<WebKitGtkWebView> view;
        GtkWidget* widget;
    };
    std::vector<Placed> placed;

    guint syncSource = 0;
    guint tickCallback = 0;
    bool drawing = false;
    bool changedWhileDrawing = false;
    // The native layer as last drawn: the area repaints from it whenever a page below it repaints, and
    // the views are drawn again only after they changed.
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> layer{nullptr, cairo_surface_destroy};
    bool layerDirty = true;

    // The pointer's current press: a touch of a native view, or a web view's widget.
    std::shared_ptr<platform::Touch> touch;
    std::weak_ptr<WebKitGtkWebView> pressedPage;
    bool pressed = false;
    std::weak_ptr<WebKitGtkWebView> hoveredPage;
    // The page that had the keyboard focus when a native text field took the keys; it gets it back after.
    std::weak_ptr<WebKitGtkWebView> focusedPageBeforeField;
    bool fieldHasKeys = false;

    void queueSync();
    void sync();
    void followKeyResponder();
    void placeWidgets();
    void draw(cairo_t* cr);
    void ensureTicking();
    bool animating() const;
    void resized(int width, int height);

    // Presses, motion and releases.
    bool pointer(GdkEvent* event);
    void beginPress(GdkEvent* event, Point at);
    void followPress(GdkEvent* event, Point at);
    void hover(GdkEvent* event, Point at);
    // The pointer moved from one page (or none) to another: the one it left hears it leave, the new one
    // hears it enter, as crossing events at the pointer.
    void crossTo(const std::shared_ptr<WebKitGtkWebView>& page, GdkEvent* event);
    bool leaveArea(GdkEvent* event);
    void endPress(GdkEvent* event);
    // The pointer grab went elsewhere: the press ends, a touch is cancelled.
    void cancelPress();
    bool scroll(GdkEvent* event);
    bool key(GdkEvent* event);
    // A GTK event signal's handler that calls `handle`.
    template <bool (Impl::*handle)(GdkEvent*)>
    static gboolean on(GtkWidget*, GdkEvent* event, gpointer self)
    {
        return (static_cast<Impl*>(self)->*handle)(event);
    }
    void commit(const char* text);
    void setInputMethodFocus(bool focused);
    void forward(const std::shared_ptr<WebKitGtkWebView>& page, GdkEvent* event);
};

namespace {

// The host whose handler View calls.
const void*& handlingHost()
{
    static const void* host = nullptr;
    return host;
}

} // namespace

void WindowHost::Impl::queueSync()
{
    if (drawing) {
        changedWhileDrawing = true;
        return;
    }
    if (syncSource)
        return;
    // Before GTK's own layout and redraw of this frame.
    syncSource = g_idle_add_full(GDK_PRIORITY_REDRAW - 1, [](gpointer data) -> gboolean {
        auto* self = static_cast<Impl*>(data);
        self->syncSource = 0;
        self->sync();
        return G_SOURCE_REMOVE;
    }, this, nullptr);
}

void WindowHost::Impl::sync()
{
    for (const auto& window : Window::visibleWindows())
        window->layoutIfNeeded();
    placeWidgets();
    followKeyResponder();
    layerDirty = true;
    gtk_widget_queue_draw(area);
}

void WindowHost::Impl::followKeyResponder()
{
    const bool field = keyResponder() != nullptr;
    if (field == fieldHasKeys)
        return;
    fieldHasKeys = field;
    if (field) {
        // The page's own focused element blurs while the native field has the keys.
        focusedPageBeforeField.reset();
        GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(window));
        for (const auto& p : placed) {
            if (p.widget == focus)
                focusedPageBeforeField = p.view;
        }
        if (focus)
            gtk_window_set_focus(GTK_WINDOW(window), nullptr);
        return;
    }
    setInputMethodFocus(false);
    if (auto page = focusedPageBeforeField.lock(); page && gtk_widget_get_visible(page->widget()))
        gtk_widget_grab_focus(page->widget());
    focusedPageBeforeField.reset();
}

void WindowHost::Impl::placeWidgets()
{
    std::erase_if(placed, [](const Placed& p) { return p.view.expired(); });
    const std::vector<ShownWebView> shown = shownWebViews();

    // Stacking: the shown widgets must be the layout's children in tree order; put back in order when not.
    std::vector<GtkWidget*> order;
    for (const auto& s : shown)
        order.push_back(s.view->widget());
    std::vector<GtkWidget*> current;
    for (const auto& p : placed) {
        if (std::find(order.begin(), order.end(), p.widget) != order.end())
            current.push_back(p.widget);
    }
    const bool inOrder = current.size() == order.size() && std::equal(current.begin(), current.end(), order.begin());
    if (!inOrder) {
        // Each shown widget out of its container (ours or another) and back in at the end, in tree order;
        // the hidden ones stay below them.
        std::erase_if(placed, [&](const Placed& p) { return std::find(order.begin(), order.end(), p.widget) != order.end(); });
        for (const auto& s : shown) {
            GtkWidget* widget = s.view->widget();
            g_object_ref(widget);
            if (GtkWidget* parent = gtk_widget_get_parent(widget))
                gtk_container_remove(GTK_CONTAINER(parent), widget);
            gtk_layout_put(GTK_LAYOUT(layout), widget, 0, 0);
            g_object_unref(widget);
            placed.push_back({s.view, widget});
        }
    }

    for (const auto& s : shown) {
        GtkWidget* widget = s.view->widget();
        const int x = static_cast<int>(std::lround(s.frame.minX()));
        const int y = static_cast<int>(std::lround(s.frame.minY()));
        const int width = std::max(1, static_cast<int>(std::lround(s.frame.width())));
        const int height = std::max(1, static_cast<int>(std::lround(s.frame.height())));
        gtk_layout_move(GTK_LAYOUT(layout), widget, x, y);
        gtk_widget_set_size_request(widget, width, height);
        gtk_widget_set_opacity(widget, s.alpha);
        gtk_widget_show(widget);
    }
    for (const auto& p : placed) {
        if (std::find(order.begin(), order.end(), p.widget) == order.end())
            gtk_widget_hide(p.widget);
    }
}

bool WindowHost::Impl::animating() const
{
    const platform::Clock::TimePoint now = platform::Clock::current().now();
    bool any = false;
    forEachShownRoot([&](const Window&, View& root) { any = any || treeAnimates(root, now); });
    return any;
}

void WindowHost::Impl::draw(cairo_t* cr)
{
    const int width = gtk_widget_get_allocated_width(area);
    const int height = gtk_widget_get_allocated_height(area);
    const int scale = gtk_widget_get_scale_factor(area);
    if (!layer || cairo_image_surface_get_width(layer.get()) != width * scale
        || cairo_image_surface_get_height(layer.get()) != height * scale) {
        layer.reset(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::max(1, width * scale), std::max(1, height * scale)));
        cairo_surface_set_device_scale(layer.get(), scale, scale);
        layerDirty = true;
    }
    if (layerDirty) {
        // A surface of its own, so that the web views' holes clear only the native layer.
        layerDirty = false;
        drawing = true;
        cairo_t* layerContext = cairo_create(layer.get());
        cairo_set_operator(layerContext, CAIRO_OPERATOR_CLEAR);
        cairo_paint(layerContext);
        cairo_set_operator(layerContext, CAIRO_OPERATOR_OVER);
        platform::ViewRenderer::renderScreen(layerContext, platform::ViewRenderer::WebViews::Clear);
        cairo_destroy(layerContext);
        drawing = false;
        if (changedWhileDrawing) {
            changedWhileDrawing = false;
            queueSync();
        }
        ensureTicking();
    }
    cairo_set_source_surface(cr, layer.get(), 0, 0);
    cairo_paint(cr);
}

void WindowHost::Impl::ensureTicking()
{
    if (tickCallback || !animating())
        return;
    tickCallback = gtk_widget_add_tick_callback(area, [](GtkWidget*, GdkFrameClock*, gpointer data) -> gboolean {
        auto* self = static_cast<Impl*>(data);
        // One more frame after the last animation ends, to draw its final state.
        self->sync();
        if (self->animating())
            return G_SOURCE_CONTINUE;
        self->tickCallback = 0;
        return G_SOURCE_REMOVE;
    }, this, nullptr);
}

void WindowHost::Impl::resized(int width, int height)
{
    const Rect old = platform::Screen::main().bounds();
    const Rect now(0, 0, width, height);
    if (now == old)
        return;
    platform::Screen::main().setBounds(now);
    for (const auto& window : Window::visibleWindows()) {
        if (window->frame() == old)
            window->setFrame(now);
    }
    queueSync();
}

void WindowHost::Impl::forward(const std::shared_ptr<WebKitGtkWebView>& page, GdkEvent* event)
{
    GtkWidget* widget = page->widget();
    GdkWindow* target = gtk_widget_get_window(widget);
    if (!target || !gtk_widget_get_realized(widget) || !gtk_widget_get_visible(widget))
        return;
    int dx = 0, dy = 0;
    if (!gtk_widget_translate_coordinates(area, widget, 0, 0, &dx, &dy))
        return;
    GdkEvent* copy = gdk_event_copy(event);
    g_object_unref(copy->any.window);
    copy->any.window = GDK_WINDOW(g_object_ref(target));
    switch (copy->type) {
    case GDK_BUTTON_PRESS:
    case GDK_2BUTTON_PRESS:
    case GDK_3BUTTON_PRESS:
    case GDK_BUTTON_RELEASE:
        copy->button.x += dx;
        copy->button.y += dy;
        break;
    case GDK_MOTION_NOTIFY:
        copy->motion.x += dx;
        copy->motion.y += dy;
        break;
    case GDK_SCROLL:
        copy->scroll.x += dx;
        copy->scroll.y += dy;
        break;
    case GDK_ENTER_NOTIFY:
    case GDK_LEAVE_NOTIFY:
        copy->crossing.x += dx;
        copy->crossing.y += dy;
        break;
    default:
        break;
    }
    gtk_widget_event(widget, copy);
    gdk_event_free(copy);
}

void WindowHost::Impl::followPress(GdkEvent* event, Point at)
{
    if (auto page = pressedPage.lock()) {
        forward(page, event);
    } else if (touch) {
        if (auto window = touch->window())
            platform::TouchDriver::move(touch, toWindow(*window, at));
        queueSync();
    }
}

bool WindowHost::Impl::pointer(GdkEvent* event)
{
    double x = 0, y = 0;
    if (!gdk_event_get_coords(event, &x, &y))
        return true;
    const Point at{x, y};
    switch (event->type) {
    case GDK_BUTTON_PRESS:
    case GDK_2BUTTON_PRESS:
    case GDK_3BUTTON_PRESS:
        // A second button while one is held goes where the first went.
        if (pressed)
            followPress(event, at);
        else if (event->type == GDK_BUTTON_PRESS)
            beginPress(event, at);
        break;
    case GDK_MOTION_NOTIFY:
        if (pressed)
            followPress(event, at);
        else
            hover(event, at);
        break;
    case GDK_BUTTON_RELEASE:
        if (pressed) {
            followPress(event, at);
            endPress(event);
        }
        break;
    default:
        break;
    }
    return true;
}

void WindowHost::Impl::beginPress(GdkEvent* event, Point at)
{
    const Hit hit = hitTest(at);
    if (!hit.view)
        return;  // on nothing: dropped
    if (auto page = std::dynamic_pointer_cast<WebKitGtkWebView>(pageOf(hit.view))) {
        pressed = true;
        pressedPage = page;
        gtk_widget_grab_focus(page->widget());
        forward(page, event);
        return;
    }
    if (event->button.button != GDK_BUTTON_PRIMARY)
        return;
    pressed = true;
    touch = platform::TouchDriver::press(hit.window, toWindow(*hit.window, at));
    queueSync();
}

void WindowHost::Impl::hover(GdkEvent* event, Point at)
{
    // The page under the pointer sees it move.
    std::shared_ptr<WebKitGtkWebView> page;
    if (const Hit hit = hitTest(at); hit.view)
        page = std::dynamic_pointer_cast<WebKitGtkWebView>(pageOf(hit.view));
    crossTo(page, event);
    if (page)
        forward(page, event);
}

void WindowHost::Impl::crossTo(const std::shared_ptr<WebKitGtkWebView>& page, GdkEvent* event)
{
    auto old = hoveredPage.lock();
    if (old == page)
        return;
    hoveredPage = page;
    double x = 0, y = 0;
    gdk_event_get_coords(event, &x, &y);
    auto cross = [&](const std::shared_ptr<WebKitGtkWebView>& target, GdkEventType type) {
        // The engine reads a leave at a point still inside its view (the pointer went onto a native view
        // over the page) as a move: it leaves just outside the view's corner instead.
        double atX = x, atY = y;
        int outsideX = 0, outsideY = 0;
        if (type == GDK_LEAVE_NOTIFY && gtk_widget_translate_coordinates(target->widget(), area, -1, -1, &outsideX, &outsideY)) {
            atX = outsideX;
            atY = outsideY;
        }
        GdkEvent* crossing = gdk_event_new(type);
        crossing->crossing.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(area)));
        crossing->crossing.send_event = TRUE;
        crossing->crossing.time = gdk_event_get_time(event);
        crossing->crossing.x = crossing->crossing.x_root = atX;
        crossing->crossing.y = crossing->crossing.y_root = atY;
        crossing->crossing.mode = GDK_CROSSING_NORMAL;
        crossing->crossing.detail = GDK_NOTIFY_NONLINEAR;
        gdk_event_set_device(crossing, gdk_event_get_device(event));
        forward(target, crossing);
        gdk_event_free(crossing);
    };
    if (old)
        cross(old, GDK_LEAVE_NOTIFY);
    if (page)
        cross(page, GDK_ENTER_NOTIFY);
}

bool WindowHost::Impl::leaveArea(GdkEvent* event)
{
    // Out of the window (not into a grab of ours): no page is under the pointer any more.
    if (!pressed && event->crossing.mode == GDK_CROSSING_NORMAL)
        crossTo(nullptr, event);
    return false;
}

void WindowHost::Impl::endPress(GdkEvent* event)
{
    // The press ends with the release of its last button.
    constexpr guint kButtons = GDK_BUTTON1_MASK | GDK_BUTTON2_MASK | GDK_BUTTON3_MASK | GDK_BUTTON4_MASK | GDK_BUTTON5_MASK;
    const guint button = event->button.button;
    const guint released = button >= 1 && button <= 5 ? (GDK_BUTTON1_MASK << (button - 1)) : 0;
    if ((event->button.state & kButtons & ~released) != 0)
        return;
    pressed = false;
    pressedPage.reset();
    if (touch) {
        platform::TouchDriver::release(touch);
        touch.reset();
    }
}

void WindowHost::Impl::cancelPress()
{
    pressed = false;
    pressedPage.reset();
    if (touch) {
        platform::TouchDriver::cancel(touch);
        touch.reset();
        queueSync();
    }
}

bool WindowHost::Impl::scroll(GdkEvent* event)
{
    double x = 0, y = 0;
    if (!gdk_event_get_coords(event, &x, &y))
        return true;
    const Hit hit = hitTest(Point{x, y});
    if (!hit.view)
        return true;
    if (auto page = std::dynamic_pointer_cast<WebKitGtkWebView>(pageOf(hit.view))) {
        forward(page, event);
        return true;
    }
    double dx = 0, dy = 0;
    switch (event->scroll.direction) {
    case GDK_SCROLL_UP: dy = -1; break;
    case GDK_SCROLL_DOWN: dy = 1; break;
    case GDK_SCROLL_LEFT: dx = -1; break;
    case GDK_SCROLL_RIGHT: dx = 1; break;
    case GDK_SCROLL_SMOOTH: gdk_event_get_scroll_deltas(event, &dx, &dy); break;
    }
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return true;
    for (auto view = hit.view; view; view = view->superview()) {
        auto scrollView = std::dynamic_pointer_cast<platform::ScrollView>(view);
        if (!scrollView)
            continue;
        // The wheel moves within the content: it has no finger to let go of, so nothing would spring back.
        const Point min = scrollView->minimumOffset(), max = scrollView->maximumOffset();
        const Point offset = scrollView->contentOffset();
        const Point target{std::clamp(offset.x + dx * kWheelStep, min.x, std::max(min.x, max.x)),
                           std::clamp(offset.y + dy * kWheelStep, min.y, std::max(min.y, max.y))};
        scrollView->userScroll(target);
        break;
    }
    queueSync();
    return true;
}

void WindowHost::Impl::setInputMethodFocus(bool focused)
{
    if (focused == imFocused)
        return;
    imFocused = focused;
    if (focused)
        gtk_im_context_focus_in(im);
    else
        gtk_im_context_focus_out(im);
}

bool WindowHost::Impl::key(GdkEvent* keyEvent)
{
    auto* event = reinterpret_cast<GdkEventKey*>(keyEvent);
    auto field = keyResponder();
    // An alert is modal: the keys are its own (its text field's, Return and Escape), never those of what it
    // covers (the page, a field of the screen under it).
    if (auto alert = platform::AlertView::frontmostAlert()) {
        const bool pressed = event->type == GDK_KEY_PRESS;
        if (pressed && event->keyval == GDK_KEY_Escape) {
            alert->pressEscape();
            queueSync();
            return true;
        }
        if (!field || field != alert->textFieldAtIndex(0)) {
            if (pressed && (event->keyval == GDK_KEY_Return || event->keyval == GDK_KEY_KP_Enter || event->keyval == GDK_KEY_ISO_Enter))
                alert->pressReturn();
            queueSync();
            return true;
        }
    }
    if (!field) {
        setInputMethodFocus(false);
        return false;  // to the focused widget: the page
    }
    setInputMethodFocus(true);
    // A composition under way belongs to the field it began in.
    if (imField.lock() != field) {
        gtk_im_context_reset(im);
        imField = field;
    }
    // The input method's candidate window goes by the field.
    if (auto window = std::dynamic_pointer_cast<Window>(field->rootView())) {
        const Rect r = field->convertRectTo(field->bounds(), nullptr);
        const Point origin = originOf(*window);
        GdkRectangle location{static_cast<int>(r.minX() + origin.x), static_cast<int>(r.minY() + origin.y),
                              static_cast<int>(r.width()), static_cast<int>(r.height())};
        gtk_im_context_set_cursor_location(im, &location);
    }
    if (gtk_im_context_filter_keypress(im, event))
        return true;
    if (event->type != GDK_KEY_PRESS)
        return true;
    switch (event->keyval) {
    case GDK_KEY_BackSpace:
        field->deleteBackward();
        break;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
        field->returnKey();
        break;
    case GDK_KEY_Tab:
    case GDK_KEY_KP_Tab:
        field->insertText("\t");
        break;
    default:
        break;
    }
    queueSync();
    return true;  // a native responder's keys never reach the page
}

void WindowHost::Impl::commit(const char* text)
{
    if (!text || !g_utf8_validate(text, -1, nullptr)) {
        platform::Log::write("Window host: input-method text that is not valid UTF-8 was refused");
        return;
    }
    if (auto field = keyResponder())
        field->insertText(text);
    queueSync();
}

WindowHost::WindowHost(Kind kind, const std::string& title)
    : m_impl(std::make_unique<Impl>())
{
    Impl& d = *m_impl;
    d.window = kind == Kind::Offscreen ? gtk_offscreen_window_new() : gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(d.window), title.c_str());
    const Rect screen = platform::Screen::main().bounds();
    const int width = std::max(1, static_cast<int>(std::lround(screen.width())));
    const int height = std::max(1, static_cast<int>(std::lround(screen.height())));
    gtk_window_set_default_size(GTK_WINDOW(d.window), width, height);

    d.overlay = gtk_overlay_new();
    d.layout = gtk_layout_new(nullptr, nullptr);
    d.area = gtk_drawing_area_new();
    gtk_widget_set_app_paintable(d.area, TRUE);
    gtk_widget_set_can_focus(d.area, FALSE);
    gtk_widget_add_events(d.area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK
                                      | GDK_SCROLL_MASK | GDK_SMOOTH_SCROLL_MASK);
    gtk_container_add(GTK_CONTAINER(d.overlay), d.layout);
    gtk_overlay_add_overlay(GTK_OVERLAY(d.overlay), d.area);
    gtk_container_add(GTK_CONTAINER(d.window), d.overlay);
    // An offscreen window takes the size it asks for; a toplevel one may shrink below it.
    if (kind == Kind::Offscreen)
        gtk_widget_set_size_request(d.overlay, width, height);

    g_signal_connect(d.area, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, Impl* self) -> gboolean {
        self->draw(cr);
        return FALSE;
    }), &d);
    g_signal_connect(d.area, "size-allocate", G_CALLBACK(+[](GtkWidget*, GdkRectangle* allocation, Impl* self) {
        self->resized(allocation->width, allocation->height);
    }), &d);
    for (const char* signal : {"button-press-event", "button-release-event", "motion-notify-event"})
        g_signal_connect(d.area, signal, G_CALLBACK(Impl::on<&Impl::pointer>), &d);
    g_signal_connect(d.area, "scroll-event", G_CALLBACK(Impl::on<&Impl::scroll>), &d);
    g_signal_connect(d.area, "leave-notify-event", G_CALLBACK(Impl::on<&Impl::leaveArea>), &d);
    g_signal_connect(d.area, "grab-broken-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, Impl* self) -> gboolean {
        self->cancelPress();
        return FALSE;
    }), &d);
    // Before the window hands keys to its focused widget.
    g_signal_connect(d.window, "key-press-event", G_CALLBACK(Impl::on<&Impl::key>), &d);
    g_signal_connect(d.window, "key-release-event", G_CALLBACK(Impl::on<&Impl::key>), &d);

    d.im = gtk_im_multicontext_new();
    g_signal_connect(d.im, "commit", G_CALLBACK(+[](GtkIMContext*, const char* text, Impl* self) { self->commit(text); }), &d);
    g_signal_connect(d.window, "realize", G_CALLBACK(+[](GtkWidget* window, Impl* self) {
        gtk_im_context_set_client_window(self->im, gtk_widget_get_window(window));
    }), &d);

    // The newest host draws (a second one is a mistake, but the first going must not stop the second).
    handlingHost() = &d;
    View::setDisplayInvalidationHandler([impl = &d] { impl->queueSync(); });
    d.sync();
}

WindowHost::~WindowHost()
{
    Impl& d = *m_impl;
    d.cancelPress();
    if (handlingHost() == &d) {
        handlingHost() = nullptr;
        View::setDisplayInvalidationHandler(nullptr);
    }
    if (d.syncSource)
        g_source_remove(d.syncSource);
    if (d.tickCallback)
        gtk_widget_remove_tick_callback(d.area, d.tickCallback);
    // The web views' widgets belong to their engines: out of the window before it goes.
    for (const auto& p : d.placed) {
        if (!p.view.expired() && gtk_widget_get_parent(p.widget) == d.layout)
            gtk_container_remove(GTK_CONTAINER(d.layout), p.widget);
    }
    g_signal_handlers_disconnect_by_data(d.im, &d);
    gtk_im_context_set_client_window(d.im, nullptr);
    g_object_unref(d.im);
    g_signal_handlers_disconnect_by_data(d.window, &d);
    g_signal_handlers_disconnect_by_data(d.area, &d);
    gtk_widget_destroy(d.window);
}

GtkWidget* WindowHost::window() const
{
    return m_impl->window;
}

GtkWidget* WindowHost::inputWidget() const
{
    return m_impl->area;
}

GtkIMContext* WindowHost::inputMethod() const
{
    return m_impl->im;
}

void WindowHost::show()
{
    gtk_widget_show_all(m_impl->window);
    update();
}

void WindowHost::update()
{
    if (m_impl->syncSource) {
        g_source_remove(m_impl->syncSource);
        m_impl->syncSource = 0;
    }
    m_impl->sync();
}

platform::Status WindowHost::writeScreenshot(const std::string& pngPath)
{
    update();
    const Rect screen = platform::Screen::main().bounds();
    const int width = std::max(1, static_cast<int>(std::lround(screen.width())));
    const int height = std::max(1, static_cast<int>(std::lround(screen.height())));
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height), cairo_surface_destroy);
    std::unique_ptr<cairo_t, decltype(&cairo_destroy)> cr(cairo_create(surface.get()), cairo_destroy);
    cairo_set_source_rgb(cr.get(), 1, 1, 1);
    cairo_paint(cr.get());
    for (const auto& shown : shownWebViews()) {
        auto page = shown.view->engine().snapshot();
        if (!page.ok())
            return page.error();
        cairo_surface_t* image = page->get();
        const int pageWidth = cairo_image_surface_get_width(image);
        const int pageHeight = cairo_image_surface_get_height(image);
        if (pageWidth <= 0 || pageHeight <= 0)
            continue;
        cairo_save(cr.get());
        cairo_rectangle(cr.get(), shown.frame.minX(), shown.frame.minY(), shown.frame.width(), shown.frame.height());
        cairo_clip(cr.get());
        cairo_translate(cr.get(), shown.frame.minX(), shown.frame.minY());
        cairo_scale(cr.get(), shown.frame.width() / pageWidth, shown.frame.height() / pageHeight);
        cairo_set_source_surface(cr.get(), image, 0, 0);
        cairo_paint_with_alpha(cr.get(), shown.alpha);
        cairo_restore(cr.get());
    }
    m_impl->drawing = true;
    cairo_push_group(cr.get());
    platform::ViewRenderer::renderScreen(cr.get(), platform::ViewRenderer::WebViews::Clear);
    cairo_pop_group_to_source(cr.get());
    cairo_paint(cr.get());
    m_impl->drawing = false;
    std::string png;
    auto append = [](void* closure, const unsigned char* data, unsigned int length) {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
    };
    if (cairo_surface_write_to_png_stream(surface.get(), append, &png) != CAIRO_STATUS_SUCCESS)
        return platform::Error(platform::kPOSIXErrorDomain, EIO, "cannot write " + pngPath + ": the picture could not be encoded");
    return writePictureFile(pngPath, png);
}

} // namespace webengine
