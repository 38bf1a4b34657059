/* Request bodies: which routed loads the UI process may read the body of.
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
#include "webprocess/Messages.h"
#include "webprocess/RequestHook.h"

#include <errno.h>
#include <string.h>
#include <sys/random.h>

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
gboolean take_body_vouch(WebKitWebPage* page, SoupMessageHeaders* headers)
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
void guard_bodies(WebKitWebPage* page, WebKitFrame* frame, WebKitScriptWorld* world)
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

gboolean may_carry_body(WebKitURIRequest* request)
{
    const char* method = webkit_uri_request_get_http_method(request);
    return method && g_ascii_strcasecmp(method, "GET") != 0 && g_ascii_strcasecmp(method, "HEAD") != 0;
}
