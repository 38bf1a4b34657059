/* The module the web engine loads into each of its web processes.
 *
 * It sends back to the UI process the sub-resource loads of a page (images, scripts, XHR, fetch, ...) that
 * the application has to answer (see "which loads go to the UI process" below), so that the application's URL
 * protocols see each one as they would on the phone; every other load goes out unrouted, through the engine's
 * own network stack. A routed request's URL is rewritten to "hybroute://<its origin, see route_host>/?<the
 * original URL, escaped>", or for a file URL to "hybroute-local://load<its path>[?<its query>]", schemes the
 * UI process serves. Headers set by the page travel with the rewritten request; a route URL the page writes
 * itself names no load (the UI process refuses it), so every routed load is one the engine's own checks let
 * the page make. Documents (the main frame's and sub-frames') load unchanged: their navigations were already
 * decided by the UI process, which names them to this module in a "hyb.navigation" message before it lets
 * them go.
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
 * Runs on the web process's main thread only. Built without sanitizers: the web process does not load the
 * sanitizer runtimes.
 */
#include "webprocess/BridgePath.h"
#include "webprocess/LoadRules.h"
#include "webprocess/Messages.h"

#include <webkit2/webkit-web-extension.h>

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <unistd.h>

#define ROUTE_SCHEME "hybroute"
/* File loads: a scheme of local origin, so that a worker started from a file script of the application's
 * (whose origin is its script's route URL's) is of a local origin too, and known as the application's. */
#define LOCAL_ROUTE_SCHEME "hybroute-local"
#define LOCAL_ROUTE_PREFIX LOCAL_ROUTE_SCHEME "://load"
#define LOCAL_ROUTE_ORIGIN LOCAL_ROUTE_SCHEME "://load"
#define REFUSED_ROUTE ROUTE_SCHEME "://refused/"
#define NAVIGATION_MESSAGE "hyb.navigation"
#define EXEC_ROUTE_PREFIX ROUTE_SCHEME "://exec/?"
#define MAX_PENDING_NAVIGATIONS 64
#define EVAL_MESSAGE "hyb.eval"
#define POST_MESSAGE "hyb.post"
#define ANSWER_PREFIX "hybrid.require('hybrid/exec').nativeCallback('"
#define ANSWER_FUNCTION                                                                                      \
    "(function (id, status, message, keep) {"                                                               \
    " return hybrid.require('hybrid/exec').nativeCallback(id, status, message, keep); })"
#define ANSWER_FUNCTION_KEY "hyb-answer-function"
#define MICROTASKS_FUNCTION                                                                                  \
    "(function () { var target = new EventTarget(), event = new Event('hyb-microtasks');"                    \
    " target.addEventListener('hyb-microtasks', function () {});"                                             \
    " return function () { target.dispatchEvent(event); }; })()"
#define MICROTASKS_FUNCTION_KEY "hyb-microtasks-function"
/* A string result as text: NULL when it has no lone surrogate (it converts as it is), else the string with each
 * lone one as U+FFFD. (With the "u" flag the class matches only a surrogate that is not half of a pair.) */
#define WELL_FORMED_FUNCTION \
    "(function (s) { return /[\\uD800-\\uDFFF]/u.test(s) ? s.replace(/[\\uD800-\\uDFFF]/gu, '\\uFFFD') : null; })"
#define WELL_FORMED_FUNCTION_KEY "hyb-well-formed-function"
#define MAX_ANSWER_SCRIPT 65536
#define MAX_CALLBACK_ID 100
#define MAX_ANSWER_NESTING 1000

/* Document URLs (without fragment) the UI process allowed for a page and that the page has not requested yet,
 * oldest first, kept on the page itself: one page's allowed navigation never lets another page of the process
 * load the same URL unrouted. Bounded: an allowed navigation that never loads is forgotten after
 * MAX_PENDING_NAVIGATIONS more. */
#define PENDING_NAVIGATIONS_KEY "hyb-pending-navigations"

static void free_queue(gpointer queue)
{
    g_queue_free_full((GQueue*)queue, g_free);
}

static GQueue* pending_navigations(WebKitWebPage* page)
{
    GQueue* queue = (GQueue*)g_object_get_data(G_OBJECT(page), PENDING_NAVIGATIONS_KEY);
    if (!queue) {
        queue = g_queue_new();
        g_object_set_data_full(G_OBJECT(page), PENDING_NAVIGATIONS_KEY, queue, free_queue);
    }
    return queue;
}

static char* without_fragment(const char* uri)
{
    const char* hash = strchr(uri, '#');
    return hash ? g_strndup(uri, (gsize)(hash - uri)) : g_strdup(uri);
}

static gboolean take_pending_navigation(GQueue* pending, const char* uri)
{
    char* key = without_fragment(uri);
    gboolean found = FALSE;
    for (GList* l = pending->head; l; l = l->next) {
        if (strcmp((const char*)l->data, key) == 0) {
            g_free(l->data);
            g_queue_delete_link(pending, l);
            found = TRUE;
            break;
        }
    }
    g_free(key);
    return found;
}

static void add_pending_navigation(GQueue* pending, const char* uri)
{
    g_queue_push_tail(pending, without_fragment(uri));
    while (g_queue_get_length(pending) > MAX_PENDING_NAVIGATIONS)
        g_free(g_queue_pop_head(pending));
}

/* Schemes the page's own engine keeps: in-memory or script-made resources. */
static gboolean stays_local(const char* uri)
{
    static const char* const schemes[] = {"data:", "blob:", "about:", "javascript:"};
    for (gsize i = 0; i < G_N_ELEMENTS(schemes); i++) {
        if (g_ascii_strncasecmp(uri, schemes[i], strlen(schemes[i])) == 0)
            return TRUE;
    }
    return FALSE;
}

/* The host of a web load's route URL: the load's origin ("scheme://host[:port]", as an "Origin" header writes
 * it) in hexadecimal, in labels of at most MAX_ROUTE_LABEL characters. A worker started from a web page's
 * script is of its script's route URL's origin, which so names the site of the page that started it (a
 * worker's script is of its page's origin); the UI process reads it back (RouteURL.h). "load" for an origin
 * too long for a host. Freed by the caller. */
#define MAX_ROUTE_LABEL 62
#define MAX_ROUTE_HOST 253
static char* route_host(const char* uri)
{
    GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_NONE, NULL);
    const char* scheme = parsed ? g_uri_get_scheme(parsed) : NULL;
    const char* host = parsed ? g_uri_get_host(parsed) : NULL;
    char* origin = NULL;
    if (scheme && host && *host && (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0)) {
        char* lower_scheme = g_ascii_strdown(scheme, -1);
        char* lower_host = g_ascii_strdown(host, -1);
        const gboolean bracketed = strchr(lower_host, ':') != NULL;
        const int port = g_uri_get_port(parsed);
        const int own_port = strcmp(lower_scheme, "https") == 0 ? 443 : 80;
        char* port_text = port != -1 && port != own_port ? g_strdup_printf(":%d", port) : g_strdup("");
        origin = g_strconcat(lower_scheme, "://", bracketed ? "[" : "", lower_host, bracketed ? "]" : "", port_text, NULL);
        g_free(port_text);
        g_free(lower_host);
        g_free(lower_scheme);
    }
    if (parsed)
        g_uri_unref(parsed);
    const gsize length = origin ? strlen(origin) : 0;
    if (!origin || length * 2 + (length * 2) / MAX_ROUTE_LABEL > MAX_ROUTE_HOST) {
        g_free(origin);
        return g_strdup("load");
    }
    GString* text = g_string_sized_new(length * 2 + length / 16);
    for (gsize i = 0; i < length; i++) {
        if (i && (i * 2) % MAX_ROUTE_LABEL == 0)
            g_string_append_c(text, '.');
        g_string_append_printf(text, "%02x", (unsigned char)origin[i]);
    }
    g_free(origin);
    return g_string_free(text, FALSE);
}

/* ---- which loads go to the UI process -----------------------------------------------------------------
 *
 * A load goes to the UI process only when the application has to answer it: the bridge path, a file or any
 * scheme but the web's (the application's file systems, its photo library, its other protocols), a web load
 * the whitelist refuses (or a request naming a view controller, "vc", in a view the whitelist judges), and
 * the web loads the application's own documents and their workers make (its file pages, whose cross-origin
 * requests the phone's web view answered without CORS). Every other load goes out unrouted through the
 * engine's own network stack, with its cookie jar, credentials modes, SameSite, CORS, redirects and caching.
 *
 * The UI process says how a page's view routes in a "hyb.routing" message, sent before each navigation it
 * allows: whether the view shows foreign pages (the in-app browser's, the payment road's, a sign-in page:
 * none of its documents is the application's) and the whitelist's rules for its web loads, if any judge
 * them (LoadRules.h). Until a page has heard, every load goes to the UI process, which decides each.
 *
 * The engine does not say which frame asks for a load, so in a page of the application's a load counts as
 * its own documents' unless the engine's own marks on the request (which no page can set) say that a web
 * document asked: a "Referer" (file documents send none), an "Origin" other than the file pages' or their
 * workers', or a "Sec-Fetch-Site" of "same-origin" or "same-site" (a file document is of no web site). A
 * frame of another site in the application's page thus loads unrouted, and cannot fill the view's share of
 * the UI process's loads, unless it hides its referrer and asks another site in no-cors mode. */

#define ROUTING_KEY "hyb-routing"

typedef struct {
    gboolean foreign;
    HybLoadRules* rules; /* NULL: no whitelist judges the view's web loads */
    gboolean judged;     /* a whitelist judges them (rules NULL: one this module cannot read, so the UI process does) */
} Routing;

/* The page's web loads let go unrouted (documents included), and how many of them the UI process has told of
 * as ended: both counted over the page's life, whatever it shows. */
#define IN_FLIGHT_KEY "hyb-unrouted-in-flight"
typedef struct {
    guint64 sent;
    guint64 ended;
} InFlight;

/* State kept on the page under `key`, zeroed at first, let go with `destroy` when the page goes. */
static gpointer page_state(WebKitWebPage* page, const char* key, gsize size, GDestroyNotify destroy)
{
    gpointer state = g_object_get_data(G_OBJECT(page), key);
    if (!state) {
        state = g_malloc0(size);
        g_object_set_data_full(G_OBJECT(page), key, state, destroy);
    }
    return state;
}

static InFlight* in_flight(WebKitWebPage* page)
{
    return page_state(page, IN_FLIGHT_KEY, sizeof(InFlight), g_free);
}

/* The web loads of a page that may be in flight through the engine at once: its network stack takes each one
 * it is given (a flood of thousands at a server that never answers keeps it busy for minutes, holding up every
 * other page's loads, the application's documents among them). One more fails at once, as the route's own
 * waiting room does. */
#define MAX_UNROUTED_IN_FLIGHT 1024

static void free_routing(gpointer data)
{
    Routing* routing = data;
    hyb_load_rules_free(routing->rules);
    g_free(routing);
}

/* Reads a "hyb.routing" message's parameters, "(bba(msmsxms)b)": foreign view, judged by a whitelist, its
 * patterns, whether entries of the default scheme open their host to both web schemes. */
static void take_routing(WebKitWebPage* page, GVariant* parameters)
{
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE(HYB_ROUTING_TYPE)))
        return;
    Routing* routing = g_new0(Routing, 1);
    GVariant* patterns = NULL;
    gboolean opens_hosts = FALSE;
    g_variant_get(parameters, "(bb@a(msmsxms)b)", &routing->foreign, &routing->judged, &patterns, &opens_hosts);
    if (routing->judged) {
        const gsize count = g_variant_n_children(patterns);
        HybRulePattern* list = g_new0(HybRulePattern, count ? count : 1);
        for (gsize i = 0; i < count; i++) {
            gint64 port = -1;
            g_variant_get_child(patterns, i, "(m&sm&sxm&s)", &list[i].scheme, &list[i].host, &port, &list[i].path);
            list[i].port = port;
        }
        routing->rules = hyb_load_rules_new(list, count, opens_hosts);
        g_free(list);
    }
    g_variant_unref(patterns);
    g_object_set_data_full(G_OBJECT(page), ROUTING_KEY, routing, free_routing);
}

static gboolean is_web_url(const char* uri)
{
    return g_ascii_strncasecmp(uri, "http:", 5) == 0 || g_ascii_strncasecmp(uri, "https:", 6) == 0;
}

/* Whether the engine's marks on a request of a page of the application's say that a web document asked. */
static gboolean asked_by_web_document(SoupMessageHeaders* headers)
{
    if (!headers)
        return FALSE;
    if (soup_message_headers_get_one(headers, "Referer"))
        return TRUE;
    const char* site = soup_message_headers_get_list(headers, "Sec-Fetch-Site");
    if (site && (g_ascii_strcasecmp(site, "same-origin") == 0 || g_ascii_strcasecmp(site, "same-site") == 0))
        return TRUE;
    const char* origin = soup_message_headers_get_list(headers, "Origin");
    return origin && g_ascii_strcasecmp(origin, "file://") != 0 && g_ascii_strcasecmp(origin, LOCAL_ROUTE_ORIGIN) != 0;
}

/* Whether a web load (http, https) of the page goes to the UI process, and why. */
typedef enum {
    WEB_LOAD_UNROUTED,
    WEB_LOAD_UNHEARD, /* the page has not heard how its view routes: the UI process decides */
    WEB_LOAD_JUDGED,  /* refused by the whitelist, or naming a view controller */
    WEB_LOAD_OWN,     /* the application's own documents' load, which the whitelist allows */
} WebLoadRoute;

static WebLoadRoute route_of_web_load(WebKitWebPage* page, WebKitURIRequest* request, const char* uri)
{
    const Routing* routing = g_object_get_data(G_OBJECT(page), ROUTING_KEY);
    if (!routing)
        return WEB_LOAD_UNHEARD;
    SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request);
    if (routing->judged && (!hyb_load_rules_allow(routing->rules, uri) || (headers && soup_message_headers_get_one(headers, "vc"))))
        return WEB_LOAD_JUDGED;
    if (routing->foreign)
        return WEB_LOAD_UNROUTED;
    const char* page_uri = webkit_web_page_get_uri(page);
    if (!page_uri || g_ascii_strncasecmp(page_uri, "file:", 5) != 0)
        return WEB_LOAD_UNROUTED; /* a web page's loads are its own */
    return asked_by_web_document(headers) ? WEB_LOAD_UNROUTED : WEB_LOAD_OWN;
}

/* ---- request bodies ---------------------------------------------------------------------------------
 *
 * The engine hands the UI process a routed load's body only when it holds bytes alone: one that holds a Blob
 * (a File, a FormData with one) cannot be read there, and asking for it stops the application. Nothing the
 * engine gives this module shows a load's body, so the page's own calls say it: XMLHttpRequest's send and
 * fetch, in every frame, are wrapped (BODY_GUARD) before any script of the page runs there, and a load is
 * marked HYB_BODY_HEADER: HYB_BODY_BYTES only when the call that made it is known and its body was surely
 * bytes (a text, an ArrayBuffer or a view, URLSearchParams, none):
 *
 * - A send of such a body, by a document of the application's own, opens a span whose secret (a random text
 *   made here, which no script of the page ever sees) the guard sets as a request header on that request
 *   alone, just before the send. Only that send's own load can carry it: the page's script that runs inside
 *   the send (its "loadstart" handlers) cannot send the request again without opening it anew, which clears
 *   its headers. A load carrying the secret of a span still open is the call's own, and the secret is used up.
 * - A fetch reads the page's options (converting its URL and headers) into a record of its own before its span
 *   opens, so no script of the page runs inside the span: the first load that may carry a body and starts
 *   inside it while it is the innermost is the call's own (the engine starts it at once).
 *
 * Any other call of the three that send bodies (sendBeacon's too) runs inside a span that vouches for nothing,
 * so that no load it starts is taken for a fetch's. The application's own load that no call vouched for (a
 * Blob's, a worker's, a Request object's, a frame's whose scripts may not run and whose calls nobody wrapped)
 * goes out through the engine's own network stack instead, which sends its body whole where the whitelist
 * allows it; any other routed load carries no mark, and the UI process fails it rather than read its body.
 * The secret goes only on requests of the application's own documents in a view that routes their loads:
 * those loads reach the UI process and never the network, so the header costs no preflight; a page of
 * another site (whose loads are never routed) sends its requests as it wrote them. */
#define BODY_SPANS_KEY "hyb-body-spans"
#define MAX_BODY_SPANS 64
#define BODY_SECRET_BYTES 16
#define BODY_GUARD                                                                                                  \
    "(function (span) { 'use strict';"                                                                              \
    " var apply = Reflect.apply, getOwn = Object.getOwnPropertyDescriptor, isView = ArrayBuffer.isView;"          \
    " var create = Object.create, define = Object.defineProperty, getPrototypeOf = Object.getPrototypeOf;"         \
    " var byteLength = getOwn(ArrayBuffer.prototype, 'byteLength').get, paramsText = URLSearchParams.prototype.toString;" \
    " var requestMethod = getOwn(Request.prototype, 'method').get;"                                                \
    " function bytesOnly(body) {"                                                                                  \
    "  if (body === undefined || body === null || typeof body === 'string') return true;"                        \
    "  if (typeof body !== 'object') return false;"                                                               \
    "  if (isView(body)) return true;"                                                                             \
    "  try { apply(byteLength, body, []); return true; } catch (e) {}"                                            \
    "  try { apply(paramsText, body, []); return true; } catch (e) {}"                                            \
    "  return false; }"                                                                                            \
    " function isRequest(value) { try { apply(requestMethod, value, []); return true; } catch (e) { return false; } }" \
    " var originOf = (getOwn(window, 'origin') || getOwn(getPrototypeOf(window), 'origin') || {}).get, thisWindow = window;" \
    " function ownDocument() { try { var origin = apply(originOf, thisWindow, []);"                                 \
    "  return origin === 'file://' || origin === '" LOCAL_ROUTE_ORIGIN "'; } catch (e) { return false; } }"        \
    " var OwnHeaders = Headers, OwnString = String, members = ['method', 'headers', 'body', 'referrer',"             \
    "  'referrerPolicy', 'mode', 'credentials', 'cache', 'redirect', 'integrity', 'keepalive', 'signal', 'priority'];" \
    " var entries = OwnHeaders.prototype.entries, nextEntry = getPrototypeOf(apply(entries, new OwnHeaders(), [])).next;" \
    " function record(headers) { var own = create(null), it = apply(entries, headers, []);"                         \
    "  for (var step = apply(nextEntry, it, []); !step.done; step = apply(nextEntry, it, []))"                      \
    "   own[step.value[0]] = step.value[1];"                                                                        \
    "  return own; }"                                                                                               \
    " function settled(init) { var own = create(null);"                                                            \
    "  for (var i = 0; i < members.length; i++) { var value = init[members[i]]; if (value === undefined) continue;"   \
    "   if (members[i] === 'headers') value = record(new OwnHeaders(value));"                                       \
    "   else if (members[i] === 'keepalive') value = !!value;"                                                       \
    "   else if (members[i] !== 'body' && members[i] !== 'signal') value = OwnString(value);"                        \
    "   own[members[i]] = value; }"                                                                                 \
    "  return own; }"                                                                                               \
    " function within(how, target, self, args) {"                                                                  \
    "  span(how); try { return apply(target, self, args); } finally { span(-1); } }"                               \
    " var originalSend = XMLHttpRequest.prototype.send, setHeader = XMLHttpRequest.prototype.setRequestHeader;"    \
    " XMLHttpRequest.prototype.send = function send(body) {"                                                       \
    "  var args = arguments.length ? [body] : [];"                                                                 \
    "  if (!bytesOnly(body) || !ownDocument()) return within(0, originalSend, this, args);"                        \
    "  var secret = span(1);"                                                                                      \
    "  try { if (secret) apply(setHeader, this, ['" HYB_BODY_HEADER "', secret]); } catch (e) {}"                  \
    "  try { return apply(originalSend, this, args); } finally { span(-1); } };"                                   \
    " var originalFetch = window.fetch;"                                                                           \
    " if (typeof originalFetch === 'function') window.fetch = function fetch(input, init) {"                       \
    "  var args = [input], vouched = !isRequest(input);"                                                           \
    "  if (typeof init === 'object' && init !== null || typeof init === 'function') {"                             \
    "   var body = init.body, own = create(init);"                                                                 \
    "   define(own, 'body', {value: body, enumerable: true});"                                                     \
    "   vouched = vouched && bytesOnly(body); args = [input, own];"                                                \
    "  } else if (arguments.length > 1) { vouched = vouched && init == null; args = [input, init]; }"               \
    "  if (!vouched) return within(0, originalFetch, this, args);"                                                 \
    "  try { args = [OwnString(input), settled(args.length > 1 && args[1] != null ? args[1] : {})]; }"             \
    "  catch (e) { return within(0, originalFetch, this, [input, init]); }"                                        \
    "  return within(2, originalFetch, this, args); };"                                                            \
    " var originalBeacon = window.Navigator && Navigator.prototype.sendBeacon;"                                    \
    " if (typeof originalBeacon === 'function') Navigator.prototype.sendBeacon = function sendBeacon() {"          \
    "  return within(0, originalBeacon, this, arguments); };"                                                      \
    "})"

typedef struct {
    gboolean first[MAX_BODY_SPANS]; /* per span from the outermost: it still vouches for the next load started
                                     * in it while it is the innermost (a fetch's, until its first) */
    char secret[MAX_BODY_SPANS][BODY_SECRET_BYTES * 2 + 1]; /* its call's own request carries it; "" once used */
    guint depth;
    guint closing; /* the idle source that closes every span once the page's script has returned */
} BodySpans;

static void free_body_spans(gpointer data)
{
    BodySpans* spans = data;
    if (spans->closing)
        g_source_remove(spans->closing);
    g_free(spans);
}

static BodySpans* body_spans(WebKitWebPage* page)
{
    return page_state(page, BODY_SPANS_KEY, sizeof(BodySpans), free_body_spans);
}

static void close_body_span(BodySpans* spans)
{
    if (!spans->depth)
        return;
    const guint i = --spans->depth;
    if (i < MAX_BODY_SPANS)
        memset(spans->secret[i], 0, sizeof spans->secret[i]);
}

/* A span lasts only as long as its call: the spans of a script that never closed them (one stopped while
 * running) close at the next turn of the main loop. */
static gboolean close_body_spans(gpointer data)
{
    BodySpans* spans = data;
    while (spans->depth)
        close_body_span(spans);
    spans->closing = 0;
    return G_SOURCE_REMOVE;
}

/* Whether two secrets are the same, in a time that does not tell how much of them matched. */
static gboolean same_secret(const char* a, const char* b)
{
    unsigned char differ = 0;
    for (gsize i = 0; i < BODY_SECRET_BYTES * 2; i++)
        differ |= (unsigned char)(a[i] ^ b[i]);
    return differ == 0;
}

/* The secret a request carries: the last value of its mark, the one the guard added just before the send (a
 * value the page gave the header itself comes before it, joined with a comma). */
static const char* carried_secret(SoupMessageHeaders* headers)
{
    const char* list = headers ? soup_message_headers_get_list(headers, HYB_BODY_HEADER) : NULL;
    const char* last = list ? strrchr(list, ',') : NULL;
    const char* secret = last ? last + 1 : list;
    while (secret && (*secret == ' ' || *secret == '\t'))
        secret++;
    return secret;
}

/* Whether a call of the page vouches for this load (one that may carry a body, its request's headers
 * `headers`): its request carries the secret of an open span, or it is the first started in the innermost span
 * of a fetch. Either vouch is then used up. */
static gboolean take_body_vouch(WebKitWebPage* page, SoupMessageHeaders* headers)
{
    BodySpans* spans = body_spans(page);
    const guint open = MIN(spans->depth, MAX_BODY_SPANS);
    const char* secret = carried_secret(headers);
    if (secret && strlen(secret) == BODY_SECRET_BYTES * 2) {
        for (guint i = 0; i < open; i++) {
            if (spans->secret[i][0] && same_secret(secret, spans->secret[i])) {
                memset(spans->secret[i], 0, sizeof spans->secret[i]);
                return TRUE;
            }
        }
    }
    if (!spans->depth || spans->depth > MAX_BODY_SPANS)
        return FALSE;
    const guint i = spans->depth - 1;
    const gboolean first = spans->first[i];
    spans->first[i] = FALSE;
    return first;
}

/* A new span's secret, in hexadecimal; FALSE when no random bytes could be had. */
static gboolean make_body_secret(char secret[BODY_SECRET_BYTES * 2 + 1])
{
    guint8 bytes[BODY_SECRET_BYTES];
    gsize got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return FALSE;
        got += (gsize)n;
    }
    for (gsize i = 0; i < sizeof bytes; i++)
        g_snprintf(secret + i * 2, 3, "%02x", bytes[i]);
    return TRUE;
}

/* The guard's span(n): 1 opens a span for a send of the application's own document and gives its secret
 * (null when its view routes no loads of the application's), 2 opens a fetch's span, whose first load it
 * vouches for, 0 one that vouches for none; -1 closes the innermost. (Spans past MAX_BODY_SPANS deep vouch for
 * nothing.) */
static char* body_span(int what, gpointer data)
{
    WebKitWebPage* page = g_weak_ref_get((GWeakRef*)data);
    if (!page)
        return NULL;
    BodySpans* spans = body_spans(page);
    char* given = NULL;
    if (what < 0) {
        close_body_span(spans);
    } else {
        if (!spans->closing)
            spans->closing = g_idle_add_full(G_PRIORITY_HIGH, close_body_spans, spans, NULL);
        if (spans->depth < MAX_BODY_SPANS) {
            const guint i = spans->depth;
            const Routing* routing = g_object_get_data(G_OBJECT(page), ROUTING_KEY);
            spans->first[i] = what == 2;
            memset(spans->secret[i], 0, sizeof spans->secret[i]);
            if (what == 1 && !(routing && routing->foreign) && make_body_secret(spans->secret[i]))
                given = g_strdup(spans->secret[i]);
        }
        if (spans->depth < G_MAXUINT)
            spans->depth++;
    }
    g_object_unref(page);
    return given;
}

static void free_weak_page(gpointer data)
{
    g_weak_ref_clear((GWeakRef*)data);
    g_free(data);
}

/* Wraps the page's calls that send bodies in a frame's new window object, before any script of the page runs
 * there. The engine keeps a frame's first, empty document's window object for the document that follows it
 * there, and clears it again: its calls are wrapped already, around the engine's own, and wrapping them again
 * would wrap whatever the page put in their place meanwhile. So the frame keeps the context it wrapped last
 * (the current one), and one seen before is left as it is. */
#define GUARDED_CONTEXT_KEY "hyb-guarded-context"
static void guard_bodies(WebKitWebPage* page, WebKitFrame* frame, WebKitScriptWorld* world)
{
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
    if (!context)
        return;
    if (g_object_get_data(G_OBJECT(frame), GUARDED_CONTEXT_KEY) == context) {
        g_object_unref(context);
        return;
    }
    g_object_set_data_full(G_OBJECT(frame), GUARDED_CONTEXT_KEY, g_object_ref(context), g_object_unref);
    JSCValue* guard = jsc_context_evaluate(context, BODY_GUARD, -1);
    if (guard && jsc_value_is_function(guard)) {
        GWeakRef* weak = g_new0(GWeakRef, 1);
        g_weak_ref_init(weak, page);
        JSCValue* span = jsc_value_new_function(context, NULL, G_CALLBACK(body_span), weak, free_weak_page, G_TYPE_STRING, 1, G_TYPE_INT);
        JSCValue* result = jsc_value_function_call(guard, JSC_TYPE_VALUE, span, G_TYPE_NONE);
        if (result)
            g_object_unref(result);
        g_object_unref(span);
    }
    jsc_context_clear_exception(context);
    if (guard)
        g_object_unref(guard);
    g_object_unref(context);
}

static gboolean may_carry_body(WebKitURIRequest* request)
{
    const char* method = webkit_uri_request_get_http_method(request);
    return method && g_ascii_strcasecmp(method, "GET") != 0 && g_ascii_strcasecmp(method, "HEAD") != 0;
}

/* Whether a redirect of a load that went out unrouted (the UI process follows its own loads' redirects) may
 * go on: only to the web, never to the bridge path (which a page's own request alone reaches), and where a
 * whitelist judges the view's loads, only where it surely allows. */
static gboolean redirect_goes_on(WebKitWebPage* page, const char* uri)
{
    if (!is_web_url(uri) || hyb_url_has_bridge_path(uri))
        return FALSE;
    const Routing* routing = g_object_get_data(G_OBJECT(page), ROUTING_KEY);
    return !routing || !routing->judged || hyb_load_rules_allow(routing->rules, uri);
}

/* The local route URL of a file URL ("file://[localhost]/path[?query]"): the path and query as written, so
 * that a worker started from it resolves its relative URLs to the files beside its script. NULL for a file
 * URL of another host. */
static char* local_route_of(const char* uri)
{
    GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_ENCODED, NULL);
    if (!parsed)
        return NULL;
    const char* host = g_uri_get_host(parsed);
    const char* path = g_uri_get_path(parsed);
    const char* query = g_uri_get_query(parsed);
    char* route = NULL;
    if ((!host || !*host || g_ascii_strcasecmp(host, "localhost") == 0) && path && path[0] == '/' && path[1] != '/')
        route = g_strconcat(LOCAL_ROUTE_PREFIX, path, query ? "?" : "", query ? query : "", NULL);
    g_uri_unref(parsed);
    return route;
}

/* Whether the URL is a local route URL of the path form, which names a file as its file URL would. */
static gboolean is_local_route_of_file(const char* uri)
{
    return g_str_has_prefix(uri, LOCAL_ROUTE_PREFIX "/") && !g_str_has_prefix(uri, LOCAL_ROUTE_PREFIX "//");
}

/* Counts a web load the page lets go unrouted (not a redirect, which is the same load). */
static void count_unrouted(WebKitWebPage* page, const char* uri)
{
    if (is_web_url(uri))
        in_flight(page)->sent++;
}

static gboolean in_flight_bound_reached(WebKitWebPage* page)
{
    const InFlight* counts = in_flight(page);
    return counts->sent > counts->ended && counts->sent - counts->ended >= MAX_UNROUTED_IN_FLIGHT;
}

static gboolean on_send_request(WebKitWebPage* page, WebKitURIRequest* request, WebKitURIResponse* redirected,
                                gpointer user_data)
{
    (void)user_data;
    const char* uri = webkit_uri_request_get_uri(request);
    /* Whether a call of the page vouches for the load's body; the mark its request carries never goes out. */
    const gboolean carries_body = !redirected && may_carry_body(request);
    SoupMessageHeaders* request_headers = webkit_uri_request_get_http_headers(request);
    const gboolean body_vouched = carries_body && take_body_vouch(page, request_headers);
    if (request_headers)
        soup_message_headers_remove(request_headers, HYB_BODY_HEADER);
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
    /* The application's own load whose body no call vouched for goes out through the engine, which sends its
     * body whole (the whitelist allows it). */
    if (web_route == WEB_LOAD_UNROUTED || (web_route == WEB_LOAD_OWN && carries_body && !body_vouched)) {
        if (in_flight_bound_reached(page))
            return TRUE;
        count_unrouted(page, uri);
        return FALSE;
    }
    if (body_vouched && request_headers)
        soup_message_headers_replace(request_headers, HYB_BODY_HEADER, HYB_BODY_BYTES);
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

static JSCValue* page_function(WebKitWebPage* page, JSCContext* context, const char* key, const char* source);

/* A string with a lone surrogate has no UTF-8 form, and the engine's conversion cuts it at the first one (a
 * fetched batch would lose every command from there on): each lone one becomes U+FFFD, as text read from the
 * page anywhere else. NULL when the string has none, or cannot be made so. */
static JSCValue* well_formed_string(WebKitWebPage* page, JSCContext* context, JSCValue* value)
{
    JSCValue* function = page_function(page, context, WELL_FORMED_FUNCTION_KEY, WELL_FORMED_FUNCTION);
    JSCValue* fixed = function ? jsc_value_function_call(function, JSC_TYPE_VALUE, value, G_TYPE_NONE) : NULL;
    if (fixed && (jsc_context_get_exception(context) || !jsc_value_is_string(fixed))) {
        g_object_unref(fixed);
        fixed = NULL;
    }
    jsc_context_clear_exception(context);
    if (function)
        g_object_unref(function);
    return fixed;
}

/* A script's result as text, all of it (NUL characters included: a batch cut at one would lose the commands
 * after it unanswered): empty for undefined, null, functions and exceptions (the exception is cleared). A
 * string with a lone surrogate, which the engine's conversion cuts at the first one, gives its well-formed
 * text. */
static GBytes* result_text(WebKitWebPage* page, JSCContext* context, JSCValue* value)
{
    if (jsc_context_get_exception(context)) {
        jsc_context_clear_exception(context);
        return g_bytes_new(NULL, 0);
    }
    if (!value || jsc_value_is_undefined(value) || jsc_value_is_null(value) || jsc_value_is_function(value))
        return g_bytes_new(NULL, 0);
    GBytes* text = jsc_value_to_string_as_bytes(value);
    if (jsc_context_get_exception(context)) { /* a toString that throws */
        jsc_context_clear_exception(context);
        if (text)
            g_bytes_unref(text);
        return g_bytes_new(NULL, 0);
    }
    if (jsc_value_is_string(value)) {
        /* An empty text is a string without a UTF-8 form only when its JSON form says more than "". */
        gboolean fix = text && g_bytes_get_size(text) != 0;
        if (!fix) {
            char* json = jsc_value_to_json(value, 0);
            fix = json && strcmp(json, "\"\"") != 0;
            g_free(json);
        }
        JSCValue* fixed = fix ? well_formed_string(page, context, value) : NULL;
        if (fixed) {
            if (text)
                g_bytes_unref(text);
            text = jsc_value_to_string_as_bytes(fixed);
            g_object_unref(fixed);
        }
    }
    return text ? text : g_bytes_new(NULL, 0);
}

static GVariant* bytes_variant(const char* data, gsize length)
{
    return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data, length, 1);
}

/* The world of the engine's own scripts: the page's script cannot reach it, nor replace what it calls. */
static WebKitScriptWorld* engine_world(void)
{
    static WebKitScriptWorld* world = NULL;
    if (!world)
        world = webkit_script_world_new_with_name("hyb-engine");
    return world;
}

/* ---- answers to the page's calls ---------------------------------------------------------------------
 *
 * Each answer the UI process sends is a script of one form:
 *     hybrid.require('hybrid/exec').nativeCallback('<callback id>',<status>,<message as JSON>,<0 or 1>)
 * A new program to parse and compile for each costs about twice what the call itself does, and bursts of calls
 * bring thousands. So such a script runs as a call of ANSWER_FUNCTION, compiled once for each window object of
 * the page: called with the same values, it reads the same names from the page's global scope when it runs,
 * as the script does, and its result and exceptions are the script's (a stack trace taken inside shows this
 * function's frame where the script's would show its global code). The message is made by the engine's own
 * JSON reader, which makes the value the literal makes, except where a key is "__proto__" (a literal sets the
 * prototype instead) and where nesting is deep (the script parser runs out of stack first); a message that
 * names it, holds a "\u" escape or nests deeper than MAX_ANSWER_NESTING, one that is not JSON, a long one
 * and any script of another form are evaluated as scripts. */

typedef struct {
    char id[MAX_CALLBACK_ID + 1];
    int status;
    char* message; /* JSON text */
    int keep;
} Answer;

static gboolean is_callback_id_character(char c)
{
    return g_ascii_isalnum(c) || c == '.' || c == '_' || c == '-';
}

/* Whether the text is UTF-8 (NUL characters included). */
static gboolean is_utf8(const char* text, gsize length)
{
    const char* end = text + length;
    while (text < end) {
        const char* stop = NULL;
        if (g_utf8_validate_len(text, (gsize)(end - text), &stop))
            return TRUE;
        if (*stop != '\0')
            return FALSE;
        text = stop + 1;
    }
    return TRUE;
}

/* Whether the JSON text's arrays and objects nest no deeper than MAX_ANSWER_NESTING. */
static gboolean nesting_is_shallow(const char* text, gsize length)
{
    int depth = 0;
    gboolean in_string = FALSE;
    for (gsize i = 0; i < length; i++) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                i++; /* the escaped character */
            else if (c == '"')
                in_string = FALSE;
        } else if (c == '"') {
            in_string = TRUE;
        } else if (c == '[' || c == '{') {
            if (++depth > MAX_ANSWER_NESTING)
                return FALSE;
        } else if (c == ']' || c == '}') {
            depth--;
        }
    }
    return TRUE;
}

/* Reads an answer's script; FALSE for any other text. On TRUE, answer->message is the caller's to free. */
static gboolean read_answer(const char* script, gsize length, Answer* answer)
{
    const gsize prefix = sizeof(ANSWER_PREFIX) - 1;
    if (length > MAX_ANSWER_SCRIPT || length < prefix || memcmp(script, ANSWER_PREFIX, prefix) != 0)
        return FALSE;
    const char* p = script + prefix;
    const char* end = script + length;
    gsize id_length = 0;
    while (p < end && is_callback_id_character(*p)) {
        if (id_length == MAX_CALLBACK_ID)
            return FALSE;
        answer->id[id_length++] = *p++;
    }
    answer->id[id_length] = '\0';
    if (end - p < 2 || p[0] != '\'' || p[1] != ',')
        return FALSE;
    p += 2;
    int digits = 0; /* statuses are not negative: "-0" would not be the same number as 0 */
    int status = 0;
    for (; p < end && g_ascii_isdigit(*p); p++) {
        if (++digits > 9 || (digits > 1 && status == 0)) /* no leading zeros: "01" is not the same literal */
            return FALSE;
        status = status * 10 + (*p - '0');
    }
    if (digits == 0 || p == end || *p != ',')
        return FALSE;
    answer->status = status;
    p++;
    /* The message runs to the last ",0)" or ",1)", which ends the script. */
    if (end - p < 4 || end[-1] != ')' || (end[-2] != '0' && end[-2] != '1') || end[-3] != ',')
        return FALSE;
    answer->keep = end[-2] - '0';
    const gsize message_length = (gsize)((end - 3) - p);
    if (memchr(p, '\0', message_length) || g_strstr_len(p, (gssize)message_length, "__proto__") ||
        g_strstr_len(p, (gssize)message_length, "\\u") || !nesting_is_shallow(p, message_length) ||
        !is_utf8(p, message_length))
        return FALSE;
    answer->message = g_strndup(p, message_length);
    return TRUE;
}

/* A function the page keeps under `key` for this window object (in the context's world), made from `source`
 * on first use; NULL when it cannot be made. Returned with a reference of the caller's own, so that it
 * outlives a new window object made while it runs. */
static JSCValue* page_function(WebKitWebPage* page, JSCContext* context, const char* key, const char* source)
{
    JSCValue* function = g_object_get_data(G_OBJECT(page), key);
    /* A function holds its context, so a context at the same address is the same one. */
    if (!function || jsc_value_get_context(function) != context) {
        function = jsc_context_evaluate(context, source, -1);
        if (jsc_context_get_exception(context) || !function || !jsc_value_is_function(function)) {
            jsc_context_clear_exception(context);
            if (function)
                g_object_unref(function);
            return NULL;
        }
        g_object_set_data_full(G_OBJECT(page), key, function, g_object_unref);
    }
    return g_object_ref(function);
}

/* A new window object in the main frame (a new document): the old one's function, and with it that page, go. */
static void on_window_object_cleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer user_data)
{
    (void)user_data;
    guard_bodies(page, frame, world);
    if (webkit_frame_is_main_frame(frame)) {
        g_object_set_data(G_OBJECT(page), ANSWER_FUNCTION_KEY, NULL);
        g_object_set_data(G_OBJECT(page), MICROTASKS_FUNCTION_KEY, NULL);
        g_object_set_data(G_OBJECT(page), WELL_FORMED_FUNCTION_KEY, NULL);
    }
}

/* Runs the page's microtasks now, as the engine does once a script of its own has run: the engine runs those
 * that scripts evaluated here queued (a promise's reactions, say) only at its next task, which may come after
 * the UI process's next message. A listener of the engine's own world, called by the engine, ends with them. */
static void run_microtasks(WebKitWebPage* page, WebKitFrame* frame)
{
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, engine_world());
    if (!context)
        return;
    JSCValue* function = page_function(page, context, MICROTASKS_FUNCTION_KEY, MICROTASKS_FUNCTION);
    if (function) {
        JSCValue* result = jsc_value_function_call(function, G_TYPE_NONE);
        if (result)
            g_object_unref(result);
        jsc_context_clear_exception(context);
        g_object_unref(function);
    }
    g_object_unref(context);
}

/* The text of a script's result for a reply; with no reply to make (`text` NULL) only its exception is cleared. */
static void take_result(WebKitWebPage* page, JSCContext* context, JSCValue* value, GBytes** text)
{
    if (text)
        *text = result_text(page, context, value);
    else
        jsc_context_clear_exception(context);
}

/* Runs an answer's script as a call; FALSE (having run nothing) when it must be evaluated as a script. */
static gboolean run_answer(WebKitWebPage* page, JSCContext* context, const char* script, gsize length, GBytes** text)
{
    Answer answer;
    if (!read_answer(script, length, &answer))
        return FALSE;
    JSCValue* message = jsc_value_new_from_json(context, answer.message);
    g_free(answer.message);
    if (!message || jsc_context_get_exception(context)) {
        jsc_context_clear_exception(context);
        if (message)
            g_object_unref(message);
        return FALSE;
    }
    JSCValue* function = page_function(page, context, ANSWER_FUNCTION_KEY, ANSWER_FUNCTION);
    if (!function) {
        g_object_unref(message);
        return FALSE;
    }
    JSCValue* value = jsc_value_function_call(function, G_TYPE_STRING, answer.id, G_TYPE_INT, answer.status,
                                              JSC_TYPE_VALUE, message, G_TYPE_INT, answer.keep, G_TYPE_NONE);
    g_object_unref(function);
    take_result(page, context, value, text);
    if (value)
        g_object_unref(value);
    g_object_unref(message);
    return TRUE;
}

/* ---- a script's value, written by the module ---------------------------------------------------------
 *
 * A script of the page's world sent with HYB_VALUE_MARK before its text is answered with its completion value as
 * JSON text, written here by the engine's own serialiser, never by a function the page can replace (its
 * JSON.stringify, its eval): "[<value>]" (a value with no JSON form, such as undefined or a function, as
 * null), or {"error": "<why>"} when the script threw, its value cannot be written (a cycle, say) or the text
 * would pass MAX_VALUE_TEXT bytes. (The value's own toJSON, if it has one, is the value's to give.) */
#define MAX_VALUE_TEXT (1 << 20)
#define MAX_ERROR_DETAIL 4096

static void append_json_string(GString* text, const char* value)
{
    g_string_append_c(text, '"');
    for (const char* p = value; *p; p++) {
        const unsigned char c = (unsigned char)*p;
        if (c == '"' || c == '\\')
            g_string_append_printf(text, "\\%c", c);
        else if (c < 0x20)
            g_string_append_printf(text, "\\u%04x", c);
        else
            g_string_append_c(text, (char)c);
    }
    g_string_append_c(text, '"');
}

static GBytes* error_text(const char* why, const char* detail)
{
    GString* message = g_string_new(why);
    if (detail && *detail) {
        g_string_append_c(message, ' ');
        /* Cut at a character's start: the detail is the page's, of any length. */
        const char* end = strlen(detail) > MAX_ERROR_DETAIL ? g_utf8_find_prev_char(detail, detail + MAX_ERROR_DETAIL + 1) : NULL;
        g_string_append_len(message, detail, end ? end - detail : (gssize)strlen(detail));
    }
    GString* text = g_string_new("{\"error\":");
    append_json_string(text, message->str);
    g_string_append_c(text, '}');
    g_string_free(message, TRUE);
    return g_string_free_to_bytes(text);
}

/* The text of a thrown exception: "<name>: <message>" as an error writes itself, or its own text. */
static char* exception_detail(JSCException* exception)
{
    const char* name = jsc_exception_get_name(exception);
    const char* message = jsc_exception_get_message(exception);
    if (name && message)
        return g_strconcat(name, ": ", message, NULL);
    return g_strdup(message ? message : name ? name : "");
}

static GBytes* value_text(JSCContext* context, JSCValue* value)
{
    JSCException* exception = jsc_context_get_exception(context);
    if (exception || !value) {
        char* detail = exception ? exception_detail(exception) : NULL;
        GBytes* text = error_text("The script threw", detail);
        g_free(detail);
        jsc_context_clear_exception(context);
        return text;
    }
    char* json = jsc_value_to_json(value, 0);
    if ((exception = jsc_context_get_exception(context))) {
        char* detail = exception_detail(exception);
        GBytes* text = error_text("The script's value cannot be written as JSON:", detail);
        g_free(detail);
        g_free(json);
        jsc_context_clear_exception(context);
        return text;
    }
    const char* written = json ? json : "null";
    if (strlen(written) + 2 > MAX_VALUE_TEXT) {
        g_free(json);
        return error_text("The answer is too large", NULL);
    }
    GBytes* text = g_bytes_new_take(g_strconcat("[", written, "]", NULL), strlen(written) + 2);
    g_free(json);
    return text;
}

/* Evaluates one script of a message and adds its result to the reply's (none for a "hyb.post": `results`
 * NULL). */
static void evaluate_one(WebKitWebPage* page, JSCContext* context, gboolean in_engine_world, GVariant* script_bytes,
                         GVariantBuilder* results)
{
    gsize length = 0;
    const char* script = g_variant_get_fixed_array(script_bytes, &length, 1);
    GBytes* text = NULL;
    GBytes** wanted = results ? &text : NULL;
    const gsize mark = sizeof(HYB_VALUE_MARK) - 1;
    if (context && !in_engine_world && length >= mark && memcmp(script, HYB_VALUE_MARK, mark) == 0) {
        char* valid = g_utf8_make_valid(script + mark, (gssize)(length - mark));
        JSCValue* value = jsc_context_evaluate(context, valid, -1);
        g_free(valid);
        GBytes* json = value_text(context, value);
        if (wanted)
            *wanted = json;
        else
            g_bytes_unref(json);
        if (value)
            g_object_unref(value);
    } else if (context && length && (in_engine_world || !run_answer(page, context, script, length, wanted))) {
        /* The engine takes a script that is not UTF-8 down with its page: such bytes read as U+FFFD, as in a
         * page's own text. */
        char* valid = is_utf8(script, length) ? NULL : g_utf8_make_valid(script, (gssize)length);
        JSCValue* value = valid ? jsc_context_evaluate(context, valid, -1) : jsc_context_evaluate(context, script, (gssize)length);
        g_free(valid);
        take_result(page, context, value, wanted);
        if (value)
            g_object_unref(value);
    }
    if (results) {
        gsize size = 0;
        const char* data = text ? g_bytes_get_data(text, &size) : NULL;
        g_variant_builder_add_value(results, bytes_variant(data ? data : "", data ? size : 0));
    }
    if (text)
        g_bytes_unref(text);
}

/* Evaluates the scripts of one world in the page's main frame, adding their results to the reply's; whether
 * any ran in the page. */
static gboolean evaluate_in_world(WebKitWebPage* page, WebKitFrame* frame, gboolean in_engine_world, GVariant* scripts,
                                  GVariantBuilder* results)
{
    const gboolean alone = g_variant_is_of_type(scripts, G_VARIANT_TYPE_BYTESTRING);
    if (!alone && !g_variant_n_children(scripts))
        return FALSE;
    JSCContext* context = NULL;
    if (frame)
        context = in_engine_world ? webkit_frame_get_js_context_for_script_world(frame, engine_world())
                                  : webkit_frame_get_js_context(frame);
    if (alone) {
        evaluate_one(page, context, in_engine_world, scripts, results);
    } else {
        GVariantIter iter;
        GVariant* item;
        g_variant_iter_init(&iter, scripts);
        while ((item = g_variant_iter_next_value(&iter))) {
            evaluate_one(page, context, in_engine_world, item, results);
            g_variant_unref(item);
        }
    }
    if (!context)
        return FALSE;
    g_object_unref(context);
    return TRUE;
}

/* Evaluates the scripts of a "hyb.eval" message in the page's main frame and replies with their results
 * ("aay"); those of a "hyb.post" message (`reply` FALSE) get no reply. The message holds (the engine's world's
 * scripts, the page's world's scripts) as "(aayaay)", or one script for the page's world as plain bytes ("ay"),
 * the form a long one comes in: it reaches the page without being copied into a container first. */
static void evaluate_scripts(WebKitWebPage* page, WebKitUserMessage* message, gboolean reply)
{
    gboolean ran_in_page = FALSE;
    GVariant* parameters = webkit_user_message_get_parameters(message);
    GVariantBuilder results;
    g_variant_builder_init(&results, G_VARIANT_TYPE("aay"));
    GVariantBuilder* sink = reply ? &results : NULL; /* a post's results are not read */
    const gboolean alone = parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE_BYTESTRING);
    if (alone || (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(aayaay)")))) {
        /* Deprecated without a successor: the other way to the main frame is to keep it from each window
         * object's clearing, which this does in one call. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        WebKitFrame* frame = webkit_web_page_get_main_frame(page);
#pragma GCC diagnostic pop
        if (alone) {
            ran_in_page = evaluate_in_world(page, frame, FALSE, parameters, sink);
        } else {
            GVariant* engine_scripts = g_variant_get_child_value(parameters, 0);
            GVariant* page_scripts = g_variant_get_child_value(parameters, 1);
            evaluate_in_world(page, frame, TRUE, engine_scripts, sink);
            ran_in_page = evaluate_in_world(page, frame, FALSE, page_scripts, sink);
            g_variant_unref(engine_scripts);
            g_variant_unref(page_scripts);
        }
    }
    GVariant* texts = g_variant_builder_end(&results);
    if (reply)
        webkit_user_message_send_reply(message, webkit_user_message_new(EVAL_MESSAGE, texts));
    else
        g_variant_unref(g_variant_ref_sink(texts));
    /* After the reply: what the page's microtasks send the UI process (a new call's signal) comes after the
     * commands the scripts' results hand over. */
    if (ran_in_page) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        WebKitFrame* frame = webkit_web_page_get_main_frame(page);
#pragma GCC diagnostic pop
        if (frame)
            run_microtasks(page, frame);
    }
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
}

G_MODULE_EXPORT void webkit_web_extension_initialize(WebKitWebExtension* extension)
{
    /* This process ends with the UI process, also when that is killed outright: a page stopped in a dialog
     * or spinning would otherwise keep it until WebKit's own watchdog, ten seconds on, says so on the
     * terminal. The kernel tells it when the thread that started it ends: the UI process's main thread,
     * which starts every engine process, ends only with the process. One whose UI process had already
     * gone ends at once. */
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() != parent)
        _exit(0);
    g_signal_connect(extension, "page-created", G_CALLBACK(on_page_created), NULL);
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(on_window_object_cleared), NULL);
}
