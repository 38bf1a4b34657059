// The desktop window that shows the platform's screen. A GTK window holds the engine widget of every web
// view in the shown platform windows' trees; above them one drawing area shows what ViewRenderer draws of
// the platform windows (native views, presented controllers, alerts and sheets, the keyboard area). Each
// web view is a hole in that drawing, so its page shows where nothing native lies above it.
//
// - Web views: every webengine::WebKitGtkWebView in the tree of a shown platform window (the runtime's,
//   and any added later, such as an in-app browser's) gets its widget placed at the view's frame on the
//   screen, shown only while the view shows (in a shown window, neither it nor an ancestor hidden or
//   transparent) and stacked in tree order. Nothing registers: adding the view to a shown tree is enough,
//   and a web view that goes away takes its widget with it.
// - Drawing: redrawn on the next frame after a view said it changed (View::setNeedsDisplay, which the view
//   tree calls for its own changes), and at the frame clock's rate while an animation runs; idle otherwise.
// - Pointer: a press goes through the hit test of the front-most shown platform window under it. On a
//   native view it becomes a touch (TouchDriver: touches, controls, gesture recognisers) that follows the
//   pointer until the release; on a web view it goes to that view's widget, with the motion and release
//   that follow; on nothing (what a view with user interaction off covers, the page included) it is
//   dropped. Moving without a press, the pointer is seen by the page under it, which hears it enter and
//   leave (onto a native view or out of the window). The wheel scrolls the web view under the pointer,
//   else the nearest scroll view there (within its content; not while its scrolling is off).
// - Keys: while an alert shows, they are its own: its text field's, Return for its first other button (else
//   its cancel button), Escape for its cancel button; nothing else gets them. Otherwise, while a native text
//   field is first responder (in any shown window, front-most first), text from
//   a GtkIMContext (so composed and CJK input work), Backspace, Return and Tab go to it (insertText, with a
//   tab for Tab, deleteBackward, returnKey), through its delegate; text that is not valid UTF-8 is refused
//   with a log line. Otherwise keys go to the focused web view's widget.
// - Size: Screen::main() bounds are the window's size in points (one logical pixel each); shown platform
//   windows that covered the whole screen follow a resize, and autoresizing lays out the rest.
//
// One host at a time (the newest handles View's display invalidations while it lives); main thread only.
#pragma once

#include "platform/core/Error.h"

#include <memory>
#include <string>

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkIMContext GtkIMContext;

namespace webengine {

class WindowHost {
public:
    // An offscreen window shows nothing on the display (headless runs and tests); a toplevel one is the
    // desktop's window. Its size is Screen::main()'s bounds.
    enum class Kind { Toplevel, Offscreen };
    explicit WindowHost(Kind kind, const std::string& title = "Hybrid host");
    ~WindowHost();
    WindowHost(const WindowHost&) = delete;
    WindowHost& operator=(const WindowHost&) = delete;

    // The GTK window (connect to its "delete-event" to end the program).
    GtkWidget* window() const;
    // The drawing area, which takes every pointer event: synthesised events go to its GDK window, in
    // window coordinates.
    GtkWidget* inputWidget() const;
    // The input method that feeds native text fields.
    GtkIMContext* inputMethod() const;

    void show();
    // Brings the GTK side up to date with the platform windows at once (widgets placed, a redraw queued);
    // otherwise that happens before the next frame.
    void update();

    // Writes the window as it is seen, as a PNG of one pixel per point: each shown web view's page at its
    // frame with the native layer over it.
    platform::Status writeScreenshot(const std::string& pngPath);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace webengine
