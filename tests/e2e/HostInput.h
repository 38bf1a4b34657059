// Test support for the window host: GTK input events synthesised as the display would send them (through
// gtk_main_do_event), pointer events to the host's drawing area, keys to its window.
#pragma once

#include "EngineHarness.h"

#include "platform/core/Geometry.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/web/ScriptDialogPresenter.h"
#include "webengine/WindowHost.h"

#include <gtk/gtk.h>

#include <cstring>

namespace e2e {

// Whether the view or one of its subviews runs an animation (touches pass animating views by).
inline bool treeAnimates(const platform::View& view)
{
    if (platform::ViewAnimation::isAnimating(view))
        return true;
    for (const auto& child : view.subviews())
        if (treeAnimates(*child))
            return true;
    return false;
}

// Centre of a view on the screen (its window's frame at the screen's origin).
inline platform::Point centreOnScreen(const platform::View& view)
{
    const platform::Rect r = view.convertRectTo(view.bounds(), nullptr);
    return platform::Point{r.midX(), r.midY()};
}

// The fields pointer events share, for the host's drawing area at a point of the window.
template <class PointerEvent>
void aim(PointerEvent& event, webengine::WindowHost& host, platform::Point at, guint state)
{
    event.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(host.inputWidget())));
    event.send_event = TRUE;
    event.time = GDK_CURRENT_TIME;
    event.x = event.x_root = at.x;
    event.y = event.y_root = at.y;
    event.state = state;
}

// A page's script dialog once its alert has faded in (ScriptDialogPresenter), or null after the wait.
inline std::shared_ptr<platform::AlertView> shownDialogAlert()
{
    std::shared_ptr<platform::AlertView> alert;
    waitUntil([&] {
        alert = platform::ScriptDialogPresenter::shared().shownAlert();
        return alert && alert->isVisible() && !treeAnimates(*alert->window()) && alert->window()->alpha() == 1;
    });
    return alert && alert->isVisible() ? alert : nullptr;
}

// Sends the event as the display would, from the seat's pointer, and frees it.
inline void dispatchPointer(webengine::WindowHost& host, GdkEvent* event)
{
    GdkSeat* seat = gdk_display_get_default_seat(gtk_widget_get_display(host.inputWidget()));
    gdk_event_set_device(event, gdk_seat_get_pointer(seat));
    gdk_event_set_source_device(event, gdk_seat_get_pointer(seat));
    gtk_main_do_event(event);
    gdk_event_free(event);
}

inline void sendPointer(webengine::WindowHost& host, GdkEventType type, platform::Point at, guint button = 1, guint state = 0)
{
    GdkEvent* event = gdk_event_new(type);
    if (type == GDK_MOTION_NOTIFY) {
        aim(event->motion, host, at, state);
    } else {
        aim(event->button, host, at, state);
        event->button.button = button;
    }
    dispatchPointer(host, event);
}

// A press and release of the first button at a point of the window.
inline void click(webengine::WindowHost& host, platform::Point at)
{
    sendPointer(host, GDK_BUTTON_PRESS, at);
    sendPointer(host, GDK_BUTTON_RELEASE, at, 1, GDK_BUTTON1_MASK);
}

// A click on the alert's button of that title.
inline void clickButton(webengine::WindowHost& host, const platform::AlertView& alert, const std::string& title)
{
    for (long i = 0; i < alert.numberOfButtons(); ++i) {
        if (alert.buttonTitleAtIndex(i) == title) {
            click(host, centreOnScreen(*alert.buttonViews().at(static_cast<std::size_t>(i))));
            return;
        }
    }
    ADD_FAILURE() << "no button " << title;
}

// The pointer grab went to another window (a press cut short).
inline void breakGrab(webengine::WindowHost& host)
{
    GdkEvent* event = gdk_event_new(GDK_GRAB_BROKEN);
    event->grab_broken.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(host.inputWidget())));
    event->grab_broken.send_event = TRUE;
    event->grab_broken.implicit = TRUE;
    dispatchPointer(host, event);
}

// One wheel step down (dy 1) or up (dy -1) at a point.
inline void wheel(webengine::WindowHost& host, platform::Point at, double dy)
{
    GdkEvent* event = gdk_event_new(GDK_SCROLL);
    aim(event->scroll, host, at, 0);
    event->scroll.direction = GDK_SCROLL_SMOOTH;
    event->scroll.delta_y = dy;
    dispatchPointer(host, event);
}

inline void sendKey(webengine::WindowHost& host, GdkEventType type, guint keyval)
{
    GtkWidget* window = host.window();
    GdkEvent* event = gdk_event_new(type);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.keyval = keyval;
    GdkKeymapKey* keys = nullptr;
    gint count = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gtk_widget_get_display(window)), keyval, &keys, &count) && count > 0) {
        event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
        event->key.group = static_cast<guint8>(keys[0].group);
    }
    g_free(keys);
    const gunichar character = gdk_keyval_to_unicode(keyval);
    char text[8] = {};
    if (character >= 0x20)
        g_unichar_to_utf8(character, text);
    event->key.string = g_strdup(text);
    event->key.length = static_cast<gint>(std::strlen(text));
    GdkSeat* seat = gdk_display_get_default_seat(gtk_widget_get_display(window));
    gdk_event_set_device(event, gdk_seat_get_keyboard(seat));
    gtk_main_do_event(event);
    gdk_event_free(event);
}

// A key pressed and released.
inline void typeKey(webengine::WindowHost& host, guint keyval)
{
    sendKey(host, GDK_KEY_PRESS, keyval);
    sendKey(host, GDK_KEY_RELEASE, keyval);
}

} // namespace e2e
