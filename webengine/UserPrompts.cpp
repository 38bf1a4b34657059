#include "webengine/UserPrompts.h"

#include "webengine/LoopbackRoute.h"
#include "webengine/WebKitEngine.h"

#include <webkit2/webkit2.h>

#include <algorithm>
#include <iterator>

namespace webengine {

namespace {

// The context menu's items that stay: editing, copying, spelling, media control and moving within the view.
// Saving to disk, opening a window and the inspector are not among them, nor anything unknown here.
constexpr WebKitContextMenuAction kKeptMenuActions[] = {
    WEBKIT_CONTEXT_MENU_ACTION_NO_ACTION, WEBKIT_CONTEXT_MENU_ACTION_OPEN_LINK,
    WEBKIT_CONTEXT_MENU_ACTION_COPY_LINK_TO_CLIPBOARD, WEBKIT_CONTEXT_MENU_ACTION_COPY_IMAGE_TO_CLIPBOARD,
    WEBKIT_CONTEXT_MENU_ACTION_COPY_IMAGE_URL_TO_CLIPBOARD, WEBKIT_CONTEXT_MENU_ACTION_GO_BACK,
    WEBKIT_CONTEXT_MENU_ACTION_GO_FORWARD, WEBKIT_CONTEXT_MENU_ACTION_STOP, WEBKIT_CONTEXT_MENU_ACTION_RELOAD,
    WEBKIT_CONTEXT_MENU_ACTION_COPY, WEBKIT_CONTEXT_MENU_ACTION_CUT, WEBKIT_CONTEXT_MENU_ACTION_PASTE,
    WEBKIT_CONTEXT_MENU_ACTION_DELETE, WEBKIT_CONTEXT_MENU_ACTION_SELECT_ALL, WEBKIT_CONTEXT_MENU_ACTION_INPUT_METHODS,
    WEBKIT_CONTEXT_MENU_ACTION_UNICODE, WEBKIT_CONTEXT_MENU_ACTION_SPELLING_GUESS, WEBKIT_CONTEXT_MENU_ACTION_NO_GUESSES_FOUND,
    WEBKIT_CONTEXT_MENU_ACTION_IGNORE_SPELLING, WEBKIT_CONTEXT_MENU_ACTION_LEARN_SPELLING,
    WEBKIT_CONTEXT_MENU_ACTION_IGNORE_GRAMMAR, WEBKIT_CONTEXT_MENU_ACTION_FONT_MENU, WEBKIT_CONTEXT_MENU_ACTION_BOLD,
    WEBKIT_CONTEXT_MENU_ACTION_ITALIC, WEBKIT_CONTEXT_MENU_ACTION_UNDERLINE, WEBKIT_CONTEXT_MENU_ACTION_OUTLINE,
    WEBKIT_CONTEXT_MENU_ACTION_COPY_VIDEO_LINK_TO_CLIPBOARD, WEBKIT_CONTEXT_MENU_ACTION_COPY_AUDIO_LINK_TO_CLIPBOARD,
    WEBKIT_CONTEXT_MENU_ACTION_TOGGLE_MEDIA_CONTROLS, WEBKIT_CONTEXT_MENU_ACTION_TOGGLE_MEDIA_LOOP,
    WEBKIT_CONTEXT_MENU_ACTION_ENTER_VIDEO_FULLSCREEN, WEBKIT_CONTEXT_MENU_ACTION_MEDIA_PLAY,
    WEBKIT_CONTEXT_MENU_ACTION_MEDIA_PAUSE, WEBKIT_CONTEXT_MENU_ACTION_MEDIA_MUTE, WEBKIT_CONTEXT_MENU_ACTION_INSERT_EMOJI,
    WEBKIT_CONTEXT_MENU_ACTION_PASTE_AS_PLAIN_TEXT,
};

bool isKept(WebKitContextMenuItem* item)
{
    if (webkit_context_menu_item_is_separator(item))
        return true;
    const WebKitContextMenuAction action = webkit_context_menu_item_get_stock_action(item);
    return std::find(std::begin(kKeptMenuActions), std::end(kKeptMenuActions), action) != std::end(kKeptMenuActions);
}

// Takes out of the menu (and its submenus) the items that are not kept.
void keepOwnItems(WebKitContextMenu* menu)
{
    GList* items = g_list_copy(webkit_context_menu_get_items(menu));
    for (GList* entry = items; entry; entry = entry->next) {
        auto* item = WEBKIT_CONTEXT_MENU_ITEM(entry->data);
        if (!isKept(item))
            webkit_context_menu_remove(menu, item);
        else if (WebKitContextMenu* submenu = webkit_context_menu_item_get_submenu(item))
            keepOwnItems(submenu);
    }
    g_list_free(items);
}

gboolean answerWithoutCredentials(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer)
{
    webkit_authentication_request_authenticate(request, nullptr);
    return TRUE;
}

gboolean deny(WebKitWebView*, WebKitPermissionRequest* request, gpointer)
{
    webkit_permission_request_deny(request);
    return TRUE;
}

gboolean answerDenied(WebKitWebView*, WebKitPermissionStateQuery* query, gpointer)
{
    webkit_permission_state_query_finish(query, WEBKIT_PERMISSION_STATE_DENIED);
    return TRUE;
}

gboolean closeNotification(WebKitWebView*, WebKitNotification* notification, gpointer)
{
    webkit_notification_close(notification);
    return TRUE;
}

gboolean cancelFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer)
{
    webkit_file_chooser_request_cancel(request);
    return TRUE;
}

gboolean cancelColorChooser(WebKitWebView*, WebKitColorChooserRequest* request, gpointer)
{
    webkit_color_chooser_request_cancel(request);
    return TRUE;
}

gboolean keepWindow(WebKitWebView*, gpointer)
{
    return TRUE;
}

gboolean filterContextMenu(WebKitWebView*, WebKitContextMenu* menu, GdkEvent*, WebKitHitTestResult*, gpointer)
{
    keepOwnItems(menu);
    return FALSE; // shown, with what is left
}

void refuseDownload(WebKitWebContext*, WebKitDownload* download, gpointer)
{
    // Decided without a destination, should the engine still ask for one: it then makes no file.
    g_signal_connect(download, "decide-destination", G_CALLBACK(+[](WebKitDownload*, const char*, gpointer) -> gboolean { return TRUE; }), nullptr);
    WebKitURIRequest* request = webkit_download_get_request(download);
    // The loopback route's probe of the engine's queue goes on to the route, which leaves it unanswered.
    if (request && LoopbackRoute::shared().isProbe(webkit_uri_request_get_uri(request)))
        return;
    webkit_download_cancel(download);
    WebKitWebView* view = webkit_download_get_web_view(download);
    if (WebKitEngine* engine = view ? WebKitEngine::fromView(view) : nullptr; engine && request)
        engine->downloadRefused(webkit_uri_request_get_uri(request));
}

} // namespace

void answerUserPrompts(WebKitWebView* view)
{
    g_signal_connect(view, "authenticate", G_CALLBACK(answerWithoutCredentials), nullptr);
    g_signal_connect(view, "permission-request", G_CALLBACK(deny), nullptr);
    g_signal_connect(view, "query-permission-state", G_CALLBACK(answerDenied), nullptr);
    g_signal_connect(view, "show-notification", G_CALLBACK(closeNotification), nullptr);
    g_signal_connect(view, "run-file-chooser", G_CALLBACK(cancelFileChooser), nullptr);
    g_signal_connect(view, "run-color-chooser", G_CALLBACK(cancelColorChooser), nullptr);
    g_signal_connect(view, "enter-fullscreen", G_CALLBACK(keepWindow), nullptr);
    g_signal_connect(view, "leave-fullscreen", G_CALLBACK(keepWindow), nullptr);
    g_signal_connect(view, "context-menu", G_CALLBACK(filterContextMenu), nullptr);
}

void answerUserPrompts(WebKitWebContext* context)
{
    g_signal_connect(context, "download-started", G_CALLBACK(refuseDownload), nullptr);
    webkit_website_data_manager_set_tls_errors_policy(webkit_web_context_get_website_data_manager(context), WEBKIT_TLS_ERRORS_POLICY_FAIL);
}

} // namespace webengine
