/* The module the web engine loads into each of its web processes.
 *
 * It sends back to the UI process the sub-resource loads of a page (images, scripts, XHR, fetch, ...) that the
 * application has to answer (see LoadRouting.c), so that the application's URL protocols see each one as they
 * would on the phone; every other load goes out unrouted, through the engine's own network stack. A routed
 * request's URL is rewritten to "hybroute://<its origin, see route_host>/?<the original URL, escaped>", or for
 * a file URL to "hybroute-local://load<its path>[?<its query>]", schemes the UI process serves. Headers set by
 * the page travel with the rewritten request; a route URL the page writes itself names no load (the UI process
 * refuses it), so every routed load is one the engine's own checks let the page make. Documents (the main
 * frame's and sub-frames') load unchanged: their navigations were already decided by the UI process, which
 * names them to this module in a "hyb.navigation" message before it lets them go. The UI process hears from this
 * module which address the main frame loads (HYB_MAIN_FRAME_MESSAGE), ahead of the engine's own word of the
 * load: WebKit's navigation questions do not say which frame asks.
 *
 * The page's bridge requests (path "/!hyb_exec" exactly as written, see BridgePath.h) go to
 * "hybroute://exec/?<the original URL, escaped>" with their headers: the UI process hands them to the
 * bridge and answers them (200, empty "text/plain"), without a load of any kind. (Answering them here with a data: URL costs the web process more than that
 * trip: such a load is decoded on a thread of its own and announced to the network process.)
 *
 * The UI process's scripts for the page (the answers to its calls and the like) come in "hyb.eval" messages:
 * script texts (as bytes), each evaluated here, in order, in the main frame (first those for the engine's own
 * world, which the page cannot reach, then those for the page's world), and answered with the array of their
 * results as text ("" for undefined, null, a function, an exception); "hyb.post" messages hold scripts in the
 * same form that nobody waits for, and get no answer. The results travel as plain text, so the UI process
 * needs no script engine of its own for them. An answer to a call runs as a call of a function compiled once
 * for the page, with the same result as the script's (see run_answer); once the reply is sent, the page's
 * microtasks the scripts queued run (see run_microtasks). A script sent with a mark (Messages.h) is answered
 * with its value as JSON text written here instead (see value_text).
 *
 * This file keeps the module's entry: its signals, its messages and each request's way; RequestHook.h says
 * what the other files keep. Runs on the web process's main thread only. Built without sanitizers: the web
 * process does not load the sanitizer runtimes.
 */
#include "webprocess/BridgePath.h"
#include "webprocess/LoadRules.h"
#include "webprocess/Messages.h"
#include "webprocess/RequestHook.h"

#include <webkit2/webkit-web-extension.h>

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <unistd.h>

#define NAVIGATION_MESSAGE "hyb.navigation"
#define POST_MESSAGE "hyb.post"
#define OMITS_CREDENTIALS_KEY "hyb-omits-credentials"

/* Document URLs (without fragment) the UI process allowed for a page and that the page has not requested yet,
 * oldest first, kept on the page itself: one page's allowed navigation never lets another page of the process
 * load the same URL unrouted. Bounded: an allowed navigation that never loads is forgotten after
 * MAX_PENDING_NAVIGATIONS more. */
#define PENDING_NAVIGATIONS_KEY "hyb-pending-navigations"

static void free_queue(gpointer queue)
{
    g_queue_free_full((GQueue*)queue, g_free);
}

GQueue* pending_navigations(WebKitWebPage* page)
{
    GQueue* queue = (GQueue*)g_object_get_data(G_OBJECT(page), PENDING_NAVIGATIONS_KEY);
    if (!queue) {
        queue = g_queue_new();
        g_object_set_data_full(G_OBJECT(page), PENDING_NAVIGATIONS_KEY, queue, free_queue);
    }
    return queue;
}

/* State kept on the page under `key`, zeroed at first, let go with `destroy` when the page goes. */
gpointer page_state(WebKitWebPage* page, const char* key, gsize size, GDestroyNotify destroy)
{
    gpointer state = g_object_get_data(G_OBJECT(page), key);
    if (!state) {
        state = g_malloc0(size);
        g_object_set_data_full(G_OBJECT(page), key, state, destroy);
    }
    return state;
}

/* The context of a frame's window object in `world` when the calls there are not wrapped under `key` yet (they are
 * taken as wrapped from now on), else NULL; the caller unrefs it. The engine keeps a frame's first, empty
 * document's window object for the document that follows it there, and clears it again: its calls are wrapped
 * already, and wrapping them again would wrap whatever the page put in their place meanwhile. So the frame keeps
 * the context wrapped last (the current one), and one seen before is left as it is. */
JSCContext* unguarded_context(WebKitFrame* frame, WebKitScriptWorld* world, const char* key)
{
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
    if (!context)
        return NULL;
    if (g_object_get_data(G_OBJECT(frame), key) == context) {
        g_object_unref(context);
        return NULL;
    }
    g_object_set_data_full(G_OBJECT(frame), key, g_object_ref(context), g_object_unref);
    return context;
}

/* Evaluates `source`, whose value is a function, in `context` and calls that with `argument` (none when NULL); what
 * either throws is let go. */
void run_guard(JSCContext* context, const char* source, JSCValue* argument)
{
    JSCValue* guard = jsc_context_evaluate(context, source, -1);
    if (guard && jsc_value_is_function(guard)) {
        JSCValue* result = argument ? jsc_value_function_call(guard, JSC_TYPE_VALUE, argument, G_TYPE_NONE)
                                    : jsc_value_function_call(guard, G_TYPE_NONE);
        if (result)
            g_object_unref(result);
    }
    jsc_context_clear_exception(context);
    if (guard)
        g_object_unref(guard);
}

gboolean random_bytes(guint8* out, gsize size)
{
    gsize got = 0;
    while (got < size) {
        const ssize_t n = getrandom(out + got, size - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return FALSE;
        got += (gsize)n;
    }
    return TRUE;
}

InFlight* in_flight(WebKitWebPage* page)
{
    return page_state(page, IN_FLIGHT_KEY, sizeof(InFlight), g_free);
}

static gboolean route_request(WebKitWebPage* page, WebKitURIRequest* request, WebKitURIResponse* redirected, const char* uri);

static gboolean on_send_request(WebKitWebPage* page, WebKitURIRequest* request, WebKitURIResponse* redirected,
                                gpointer user_data)
{
    (void)user_data;
    const char* uri = webkit_uri_request_get_uri(request);
    SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request);
    /* The loopback route's mark is this module's alone to write, on the loads it sends there; the guard's word
     * that a load omits credentials goes there alone. */
    gboolean omits = FALSE;
    if (headers) {
        soup_message_headers_remove(headers, HYB_LOOPBACK_MARK_HEADER);
        omits = soup_message_headers_get_one(headers, HYB_CREDENTIALS_HEADER) != NULL;
        soup_message_headers_remove(headers, HYB_CREDENTIALS_HEADER);
    }
    g_object_set_data(G_OBJECT(request), OMITS_CREDENTIALS_KEY, GINT_TO_POINTER(omits));
    char* original = uri ? original_of_loopback(page, uri) : NULL;
    if (!original)
        return route_request(page, request, redirected, uri);
    gboolean cancelled = FALSE;
    if (redirected) {
        /* A redirect the route answered (its "Location" written as the route URL of its target) goes on where
         * any redirect of the page's would; one that another server wrote names no load. */
        const char* from = webkit_uri_response_get_uri(redirected);
        char* answered = from ? original_of_loopback(page, from) : NULL;
        if (answered && redirect_goes_on(page, original))
            mark_loopback_load(page, headers);
        else
            webkit_uri_request_set_uri(request, REFUSED_ROUTE);
        g_free(answered);
    } else if (take_pending_navigation(pending_navigations(page), uri)) {
        /* No document loads from the route: one would be of the route's origin, as every answer of its origin. */
        webkit_uri_request_set_uri(request, REFUSED_ROUTE);
    } else {
        /* A route URL a document asked for itself (a page wrote it, or a routed style sheet's relative URL):
         * the load of the URL it names, judged as that. */
        webkit_uri_request_set_uri(request, original);
        cancelled = route_request(page, request, NULL, original);
    }
    g_free(original);
    return cancelled;
}

static gboolean route_request(WebKitWebPage* page, WebKitURIRequest* request, WebKitURIResponse* redirected, const char* uri)
{
    /* Which call of the page made the load, and whether it vouches for the load's body; the marks its request
     * carries never go out. */
    const gboolean carries_body = !redirected && may_carry_body(request);
    SoupMessageHeaders* request_headers = webkit_uri_request_get_http_headers(request);
    TakenCall call = {-1, 0};
    const gboolean from_call = !redirected && take_call(page, request_headers, &call);
    const gboolean body_vouched = carries_body && from_call;
    if (request_headers) {
        soup_message_headers_remove(request_headers, HYB_BODY_HEADER);
        soup_message_headers_remove(request_headers, HYB_BODY_LENGTH_HEADER);
        soup_message_headers_remove(request_headers, HYB_CALL_HEADER);
    }
    if (!uri || stays_local(uri))
        return FALSE;
    const gboolean is_route = g_ascii_strncasecmp(uri, ROUTE_SCHEME ":", strlen(ROUTE_SCHEME ":")) == 0
        || g_ascii_strncasecmp(uri, LOCAL_ROUTE_SCHEME ":", strlen(LOCAL_ROUTE_SCHEME ":")) == 0;
    /* A local route URL of a file names what the file URL does: only a document or worker of a local origin
     * (the application's file pages, a worker of their file scripts resolving a relative URL) can ask for
     * one, and the UI process bounds it as that file. */
    if (is_route && !redirected && is_local_route_of_file(uri))
        return FALSE;
    /* Any other route URL is this module's to write: one the page wrote itself would hand the UI process a
     * load that the engine's own checks (which origin may read what) never saw. It goes to a route URL that
     * names no load, which the UI process refuses. */
    if (is_route) {
        webkit_uri_request_set_uri(request, REFUSED_ROUTE);
        return FALSE;
    }
    /* A redirect that may not go on goes to the route URL that names no load, which the UI process refuses: the
     * load fails, as the page is told. (Cancelled here instead, an image's load would end for the page neither
     * way.) */
    if (redirected && !redirect_goes_on(page, uri)) {
        webkit_uri_request_set_uri(request, REFUSED_ROUTE);
        return FALSE;
    }
    if (redirected)
        return FALSE;
    if (take_pending_navigation(pending_navigations(page), uri)) {
        count_unrouted(page, uri);
        return FALSE;
    }
    const gboolean is_exec = hyb_url_has_bridge_path(uri);
    const char* page_uri = webkit_web_page_get_uri(page);
    if (page_uri && !is_exec) {
        char* a = without_fragment(uri);
        char* b = without_fragment(page_uri);
        gboolean is_document = strcmp(a, b) == 0;
        g_free(a);
        g_free(b);
        if (is_document) {
            count_unrouted(page, uri);
            return FALSE;
        }
    }
    const WebLoadRoute web_route = !is_exec && is_web_url(uri) ? route_of_web_load(page, request, uri) : WEB_LOAD_JUDGED;
    /* The application's own web load goes through the engine to the loopback route, whatever its body, while the
     * engine is not busy with the page's loads: past the bound, or while the engine's queue is slow, it takes the
     * scheme's road, apart from the engine's queue, which a frame of another site in the page may have filled
     * (LoadRouting.c); a body the scheme's road cannot carry (a Blob, a FormData...) still goes by the route,
     * waiting in that queue, within the page's bound. */
    const gboolean scheme_carries = !carries_body || body_vouched;
    if (web_route == WEB_LOAD_OWN && has_loopback(page) && (!engine_busy(page) || !scheme_carries)) {
        char* loopback = loopback_url_of(page, uri);
        if (loopback && in_flight_bound_reached(page)) {
            g_free(loopback);
            return TRUE;
        }
        if (loopback) {
            count_unrouted(page, uri);
            carry_userinfo(uri, request_headers);
            if (request_headers && g_object_get_data(G_OBJECT(request), OMITS_CREDENTIALS_KEY))
                soup_message_headers_replace(request_headers, HYB_CREDENTIALS_HEADER, "omit");
            webkit_uri_request_set_uri(request, loopback);
            mark_loopback_load(page, request_headers);
            g_free(loopback);
            return FALSE;
        }
    }
    /* The application's own load whose body no call vouched for goes out through the engine, which sends its
     * body whole (the whitelist allows it). */
    if (web_route == WEB_LOAD_UNROUTED || (web_route == WEB_LOAD_OWN && carries_body && !body_vouched)) {
        if (in_flight_bound_reached(page))
            return TRUE;
        count_unrouted(page, uri);
        return FALSE;
    }
    if (body_vouched && request_headers) {
        soup_message_headers_replace(request_headers, HYB_BODY_HEADER, HYB_BODY_BYTES);
        if (call.length >= 0) {
            char length[24];
            g_snprintf(length, sizeof length, "%" G_GINT64_FORMAT, call.length);
            soup_message_headers_replace(request_headers, HYB_BODY_LENGTH_HEADER, length);
        }
    }
    /* The UI process names the call back when it answers (HYB_CALL_MESSAGE). */
    if (call.number && !is_exec && request_headers) {
        char number[24];
        g_snprintf(number, sizeof number, "%" G_GUINT64_FORMAT, call.number);
        soup_message_headers_replace(request_headers, HYB_CALL_HEADER, number);
    }
    char* routed = NULL;
    if (!is_exec && g_ascii_strncasecmp(uri, "file:", strlen("file:")) == 0) {
        routed = local_route_of(uri);
    } else {
        char* escaped = g_uri_escape_string(uri, NULL, FALSE);
        char* host = is_exec ? NULL : route_host(uri);
        routed = host ? g_strconcat(ROUTE_SCHEME "://", host, "/?", escaped, NULL) : g_strconcat(EXEC_ROUTE_PREFIX, escaped, NULL);
        g_free(host);
        g_free(escaped);
    }
    webkit_uri_request_set_uri(request, routed ? routed : REFUSED_ROUTE);
    g_free(routed);
    return FALSE;
}

/* A frame's new window object: its calls that send bodies and that store values are wrapped (and in a frame of
 * another site, its steps in the view's history), and in the main frame (a new document) the old one's functions,
 * and with them that page, go. */
static void on_window_object_cleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer user_data)
{
    (void)user_data;
    guard_bodies(page, frame, world);
    guard_storage(frame, world);
    guard_history(frame, world);
    keep_value_writer(frame, world);
    if (webkit_frame_is_main_frame(frame))
        forget_page_functions(page);
}

/* The main frame's document address changed (a load of its started or was led elsewhere, or its document's address
 * changed): the UI process hears it before the engine's own word of that load, and so knows which address the
 * main frame's load is for. Frames' loads never change it. */
static void on_page_uri(WebKitWebPage* page, GParamSpec* spec, gpointer user_data)
{
    (void)spec;
    (void)user_data;
    const char* uri = webkit_web_page_get_uri(page);
    webkit_web_page_send_message_to_view(page, webkit_user_message_new(HYB_MAIN_FRAME_MESSAGE, g_variant_new_string(uri ? uri : "")),
                                         NULL, NULL, NULL);
}

static gboolean on_user_message(WebKitWebPage* page, WebKitUserMessage* message, gpointer user_data)
{
    (void)user_data;
    const gboolean reply = strcmp(webkit_user_message_get_name(message), EVAL_MESSAGE) == 0;
    if (reply || strcmp(webkit_user_message_get_name(message), POST_MESSAGE) == 0) {
        evaluate_scripts(page, message, reply);
        return TRUE;
    }
    if (strcmp(webkit_user_message_get_name(message), HYB_ROUTING_MESSAGE) == 0) {
        take_routing(page, webkit_user_message_get_parameters(message));
        return TRUE;
    }
    if (strcmp(webkit_user_message_get_name(message), HYB_LOOPBACK_MESSAGE) == 0) {
        take_loopback(page, webkit_user_message_get_parameters(message));
        return TRUE;
    }
    if (strcmp(webkit_user_message_get_name(message), HYB_ENGINE_CONGESTED_MESSAGE) == 0) {
        take_engine_congested(page, webkit_user_message_get_parameters(message));
        return TRUE;
    }
    if (strcmp(webkit_user_message_get_name(message), HYB_CALL_MESSAGE) == 0) {
        answer_call(page, webkit_user_message_get_parameters(message));
        return TRUE;
    }
    if (strcmp(webkit_user_message_get_name(message), HYB_DELIVERED_MESSAGE) == 0) {
        webkit_user_message_send_reply(message, webkit_user_message_new(HYB_DELIVERED_MESSAGE, NULL));
        return TRUE;
    }
    if (strcmp(webkit_user_message_get_name(message), HYB_LOADS_ENDED_MESSAGE) == 0) {
        GVariant* parameters = webkit_user_message_get_parameters(message);
        if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE_UINT64))
            in_flight(page)->ended = MAX(in_flight(page)->ended, g_variant_get_uint64(parameters));
        return TRUE;
    }
    if (strcmp(webkit_user_message_get_name(message), NAVIGATION_MESSAGE) != 0)
        return FALSE;
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE_STRING))
        add_pending_navigation(pending_navigations(page), g_variant_get_string(parameters, NULL));
    return TRUE;
}

static void on_page_created(WebKitWebExtension* extension, WebKitWebPage* page, gpointer user_data)
{
    (void)extension;
    (void)user_data;
    g_signal_connect(page, "send-request", G_CALLBACK(on_send_request), NULL);
    g_signal_connect(page, "user-message-received", G_CALLBACK(on_user_message), NULL);
    g_signal_connect(page, "notify::uri", G_CALLBACK(on_page_uri), NULL);
}

/* `data`: the UI process's "(s)", the data folder of the view's pages (HYB_MODULE_DATA_TYPE). */
G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension* extension, GVariant* data)
{
    /* This process ends with the UI process, also when that is killed outright: a page stopped in a dialog
     * or spinning would otherwise keep it until WebKit's own watchdog, ten seconds on, says so on the
     * terminal. The kernel tells it when the thread that started it ends: the UI process's main thread,
     * which starts every engine process, ends only with the process. One whose UI process had already
     * gone ends at once. */
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() != parent)
        _exit(0);
    const char* folder = "";
    if (data && g_variant_is_of_type(data, G_VARIANT_TYPE(HYB_MODULE_DATA_TYPE)))
        g_variant_get(data, "(&s)", &folder);
    set_storage_data_folder(folder);
    g_signal_connect(extension, "page-created", G_CALLBACK(on_page_created), NULL);
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(on_window_object_cleared), NULL);
}
