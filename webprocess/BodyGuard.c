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

#include <string.h>

#define BODY_SPANS_KEY "hyb-body-spans"
#define MAX_BODY_SPANS 64
#define BODY_SECRET_BYTES 16
#define BODY_GUARD                                                                                                  \
    "(function (span) { 'use strict';"                                                                              \
    " var apply = Reflect.apply, getOwn = Object.getOwnPropertyDescriptor, isView = ArrayBuffer.isView;"          \
    " var create = Object.create, define = Object.defineProperty, getPrototypeOf = Object.getPrototypeOf;"         \
    " var byteLength = getOwn(ArrayBuffer.prototype, 'byteLength').get, paramsText = URLSearchParams.prototype.toString;" \
    " var viewLength = getOwn(getPrototypeOf(Uint8Array.prototype), 'byteLength').get, dataLength = getOwn(DataView.prototype, 'byteLength').get;" \
    " var requestMethod = getOwn(Request.prototype, 'method').get;"                                                \
    " function bytesOnly(body) {"                                                                                  \
    "  if (body === undefined || body === null || typeof body === 'string') return true;"                        \
    "  if (typeof body !== 'object') return false;"                                                               \
    "  if (isView(body)) return true;"                                                                             \
    "  try { apply(byteLength, body, []); return true; } catch (e) {}"                                            \
    "  try { apply(paramsText, body, []); return true; } catch (e) {}"                                            \
    "  return false; }"                                                                                            \
    /* The body's length in bytes as the engine sends it (a text in UTF-8, a lone surrogate as U+FFFD), -1 when \
     * none or small: only a body past what the UI process takes whole needs it. */                               \
    " var encoder = new TextEncoder(), encodeInto = TextEncoder.prototype.encodeInto, cut = String.prototype.slice, codeAt = String.prototype.charCodeAt;" \
    " function lengthOf(body) {"                                                                                   \
    "  if (body === undefined || body === null) return -1;"                                                        \
    "  if (typeof body === 'string') { if (body.length <= 349525) return -1;"                                     \
    "   var scratch = new Uint8Array(3 << 20), n = 0;"                                                             \
    "   for (var i = 0; i < body.length;) { var end = i + (1 << 20);"                                              \
    "    if (end < body.length) { var c = apply(codeAt, body, [end - 1]); if (c >= 0xd800 && c < 0xdc00) end--; } else end = body.length;" \
    "    n += apply(encodeInto, encoder, [apply(cut, body, [i, end]), scratch]).written; i = end; }"               \
    "   return n; }"                                                                                               \
    "  try { return apply(viewLength, body, []); } catch (e) {}"                                                  \
    "  try { return apply(dataLength, body, []); } catch (e) {}"                                                  \
    "  try { return apply(byteLength, body, []); } catch (e) {}"                                                  \
    "  try { return apply(paramsText, body, []).length; } catch (e) {}"                                           \
    "  return -1; }"

/* (In pieces: a C string literal is kept short.) */
#define BODY_GUARD_CALLS                                                                                            \
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
    /* A fetch of the application's document that omits credentials, with a body or a Request the guard does not  \
     * take apart, carries the mark too (the Request's own mode read when the call names none). */                 \
    " var headersSet = OwnHeaders.prototype.set, requestHeaders = getOwn(Request.prototype, 'headers').get;"        \
    " var requestCredentials = getOwn(Request.prototype, 'credentials').get;"                                       \
    " function omitMarked(input, init) {"                                                                          \
    "  var named = init != null && init.credentials !== undefined;"                                                \
    "  if (named ? OwnString(init.credentials) !== 'omit' : !isRequest(input) || apply(requestCredentials, input, []) !== 'omit') return null;" \
    "  var given = init != null && init.headers !== undefined ? init.headers : isRequest(input) ? apply(requestHeaders, input, []) : undefined;" \
    "  var headers = new OwnHeaders(given); apply(headersSet, headers, ['" HYB_CREDENTIALS_HEADER "', 'omit']);"     \
    "  var own = create(init != null ? init : null); define(own, 'headers', {value: headers, enumerable: true}); return own; }" \
    " function within(how, target, self, args) {"                                                                  \
    "  span(how, -1); try { return apply(target, self, args); } finally { span(-1, -1); } }"

#define BODY_GUARD_ANSWERS                                                                                          \
    /* The calls the UI process answers: by the span's secret, the call's record (its XMLHttpRequest, the URL   \
     * that answered after redirects); the page reads the URL it asked for, or that one, never a route URL. */    \
    " var OwnMap = Map, OwnWeakMap = WeakMap, mapGet = Map.prototype.get, mapSet = Map.prototype.set, mapDelete = Map.prototype['delete'];" \
    " var weakGet = WeakMap.prototype.get, weakSet = WeakMap.prototype.set, calls = new OwnMap(), xhrCalls = new OwnWeakMap(), answered = new OwnWeakMap();" \
    " var then = Promise.prototype.then, dispatch = EventTarget.prototype.dispatchEvent, listen = EventTarget.prototype.addEventListener;" \
    " var OwnProgressEvent = ProgressEvent, uploadOf = getOwn(XMLHttpRequest.prototype, 'upload').get;"            \
    " var readyStateOf = getOwn(XMLHttpRequest.prototype, 'readyState').get, startsWith = String.prototype.startsWith;" \
    " var indexOf = String.prototype.indexOf, unescape = decodeURIComponent;"                                      \
    " var loopbackForm = /^http:\\/\\/((?:[0-9a-f]{2}|\\.)+)\\.localhost:[0-9]+(?=[\\/?]|$)/, execOf = RegExp.prototype.exec, replaceOf = String.prototype.replace, toInt = parseInt;" \
    " function fromLoopback(url) { var m = apply(execOf, loopbackForm, [url]); if (!m) return url;"                \
    "  var hex = apply(replaceOf, m[1], [/\\./g, '']), origin = '';"                                                 \
    "  for (var i = 0; i < hex.length; i += 2) origin += OwnString.fromCharCode(toInt(apply(cut, hex, [i, i + 2]), 16));" \
    "  return origin + apply(cut, url, [m[0].length]); }"                                                          \
    " function pageURL(url, call) {"                                                                               \
    "  if (typeof url === 'string' && apply(startsWith, url, ['http://'])) return fromLoopback(url);"              \
    "  if (typeof url !== 'string' || !apply(startsWith, url, ['" ROUTE_SCHEME "'])) return url;"                   \
    "  if (call && call.url) return call.url;"                                                                    \
    "  if (apply(startsWith, url, ['" LOCAL_ROUTE_PREFIX "/'])) return 'file://' + apply(cut, url, ['" LOCAL_ROUTE_PREFIX "'.length]);" \
    "  var at = apply(indexOf, url, ['/?']);"                                                                      \
    "  if (!apply(startsWith, url, ['" ROUTE_SCHEME "://']) || at < 0) return url;"                                \
    "  try { var page = unescape(apply(cut, url, [at + 2])), hash = apply(indexOf, page, ['#']);"                  \
    "   return hash < 0 ? page : apply(cut, page, [0, hash]); } catch (e) { return url; } }"                       \
    " function fire(target, type, loaded, total) {"                                                                \
    "  apply(dispatch, target, [new OwnProgressEvent(type, {lengthComputable: total >= 0, loaded: loaded, total: total < 0 ? 0 : total})]); }" \
    " function answer(secret, url, sent, total, whole) { var call = apply(mapGet, calls, [secret]);"              \
    "  if (!call) return; if (url) call.url = url; var x = call.xhr;"                                              \
    "  if (!x || call.ended || (!whole && !sent) || apply(weakGet, xhrCalls, [x]) !== call || apply(readyStateOf, x, []) !== 1) return;" \
    "  var upload = apply(uploadOf, x, []); fire(upload, 'progress', sent, total);"                               \
    "  if (whole) { call.ended = true; fire(upload, 'load', sent, total); fire(upload, 'loadend', sent, total); } }" \
    " var responseURLOf = getOwn(XMLHttpRequest.prototype, 'responseURL'), urlOf = getOwn(Response.prototype, 'url');" \
    " var redirectedOf = getOwn(Response.prototype, 'redirected'), cloneOf = Response.prototype.clone;"           \
    " define(XMLHttpRequest.prototype, 'responseURL', {configurable: true, enumerable: responseURLOf.enumerable, get: function responseURL() {" \
    "  return pageURL(apply(responseURLOf.get, this, []), apply(weakGet, xhrCalls, [this])); }});"                  \
    " define(Response.prototype, 'url', {configurable: true, enumerable: urlOf.enumerable, get: function url() {"  \
    "  return pageURL(apply(urlOf.get, this, []), apply(weakGet, answered, [this])); }});"                          \
    " define(Response.prototype, 'redirected', {configurable: true, enumerable: redirectedOf.enumerable, get: function redirected() {" \
    "  var call = apply(weakGet, answered, [this]); return call && call.url ? true : apply(redirectedOf.get, this, []); }});" \
    " define(Response.prototype, 'clone', {configurable: true, writable: true, enumerable: false, value: function clone() {" \
    "  var copy = apply(cloneOf, this, []), call = apply(weakGet, answered, [this]);"                              \
    "  if (call) apply(weakSet, answered, [copy, call]); return copy; }});"

#define BODY_GUARD_WRAPS                                                                                            \
    " var originalSend = XMLHttpRequest.prototype.send, setHeader = XMLHttpRequest.prototype.setRequestHeader;"    \
    " XMLHttpRequest.prototype.send = function send(body) {"                                                       \
    "  var args = arguments.length ? [body] : [];"                                                                 \
    "  if (!bytesOnly(body) || !ownDocument()) return within(0, originalSend, this, args);"                        \
    "  var secret = span(1, lengthOf(body)), call = null;"                                                         \
    "  try { if (secret) { apply(setHeader, this, ['" HYB_BODY_HEADER "', secret]); call = {xhr: this, url: null, ended: false};" \
    "   apply(mapSet, calls, [secret, call]); apply(weakSet, xhrCalls, [this, call]);"                               \
    "   apply(listen, this, ['loadend', function () { apply(mapDelete, calls, [secret]); }, {once: true}]); } } catch (e) {}" \
    "  try { return apply(originalSend, this, args); } finally { span(-1, -1);"                                   \
    "   if (call && apply(readyStateOf, this, []) !== 1) { call.ended = true; apply(mapDelete, calls, [secret]); } } };" \
    /* A user and password given to open() go as the engine sends them to a page's own origin: the application's \
     * documents ask of another origin, for which the engine sends none without credentials. */                   \
    " var originalOpen = XMLHttpRequest.prototype.open, btoaOf = window.btoa;"                                      \
    " XMLHttpRequest.prototype.open = function open(method, url) { var result = apply(originalOpen, this, arguments);" \
    "  if (arguments.length > 3 && arguments[3] != null && ownDocument()) { try { apply(setHeader, this, ['Authorization', 'Basic ' +" \
    "   apply(btoaOf, window, [OwnString(arguments[3]) + ':' + (arguments[4] == null ? '' : OwnString(arguments[4]))])]); } catch (e) {} }" \
    "  return result; };"                                                                                           \
    " var originalFetch = window.fetch;"                                                                           \
    " if (typeof originalFetch === 'function') window.fetch = function fetch(input, init) {"                       \
    "  var args = [input], vouched = !isRequest(input);"                                                           \
    "  if (typeof init === 'object' && init !== null || typeof init === 'function') {"                             \
    "   var body = init.body, own = create(init);"                                                                 \
    "   define(own, 'body', {value: body, enumerable: true});"                                                     \
    "   vouched = vouched && bytesOnly(body); args = [input, own];"                                                \
    "  } else if (arguments.length > 1) { vouched = vouched && init == null; args = [input, init]; }"               \
    "  if (!vouched && ownDocument()) { try { var marked = omitMarked(input, args.length > 1 ? args[1] : null);"    \
    "   if (marked) args = [input, marked]; } catch (e) {} }"                                                      \
    "  if (!vouched) return within(0, originalFetch, this, args);"                                                 \
    "  try { args = [OwnString(input), settled(args.length > 1 && args[1] != null ? args[1] : {})]; }"             \
    "  catch (e) { return within(0, originalFetch, this, [input, init]); }"                                        \
    /* The application's document counts as of every origin, as on the phone: its fetch carries cookies unless it \
     * omits them, which the loopback route hears from this mark (the engine sends none to another origin). */ \
    "  if (args[1].credentials === 'omit' && ownDocument()) { if (!args[1].headers) args[1].headers = create(null);" \
    "   args[1].headers['" HYB_CREDENTIALS_HEADER "'] = 'omit'; }"                                                  \
    "  var secret = span(ownDocument() ? 3 : 2, lengthOf(args[1].body)), call = secret ? {xhr: null, url: null} : null, promise;"       \
    "  if (call) apply(mapSet, calls, [secret, call]);"                                                            \
    "  try { promise = apply(originalFetch, this, args); } finally { span(-1, -1); }"                              \
    "  if (!call) return promise;"                                                                                 \
    "  return apply(then, promise, [function (response) { apply(mapDelete, calls, [secret]);"                        \
    "   try { apply(weakSet, answered, [response, call]); } catch (e) {} return response; },"                        \
    "   function (error) { apply(mapDelete, calls, [secret]); throw error; }]); };"                                    \
    " var originalBeacon = window.Navigator && Navigator.prototype.sendBeacon;"                                    \
    " if (typeof originalBeacon === 'function') Navigator.prototype.sendBeacon = function sendBeacon() {"          \
    "  return within(0, originalBeacon, this, arguments); };"                                                      \
    " return answer; })"

typedef struct {
    gboolean first[MAX_BODY_SPANS]; /* per span from the outermost: it still vouches for the next load started
                                     * in it while it is the innermost (a fetch's, until its first) */
    char secret[MAX_BODY_SPANS][BODY_SECRET_BYTES * 2 + 1]; /* its call's own request carries it; "" once used */
    gint64 length[MAX_BODY_SPANS]; /* the call's body's length, as the page gave it; -1 when unknown */
    GWeakRef frame[MAX_BODY_SPANS]; /* the frame whose call it is (its guard hears the UI process's answers) */
    gboolean named[MAX_BODY_SPANS]; /* the span's call is named (it has a secret and its frame) */
    guint depth;
    guint closing; /* the idle source that closes every span once the page's script has returned */
} BodySpans;

static void free_body_spans(gpointer data)
{
    BodySpans* spans = data;
    if (spans->closing)
        g_source_remove(spans->closing);
    for (guint i = 0; i < MAX_BODY_SPANS; i++)
        g_weak_ref_clear(&spans->frame[i]);
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
    if (i < MAX_BODY_SPANS) {
        memset(spans->secret[i], 0, sizeof spans->secret[i]);
        if (spans->named[i])
            g_weak_ref_set(&spans->frame[i], NULL);
        spans->named[i] = FALSE;
    }
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

/* The calls the UI process answers (HYB_CALL_MESSAGE), by number, oldest first: the frame whose call it is and
 * the call's secret, by which its guard knows it. Bounded: a call that never hears is forgotten after
 * MAX_CALLS more. */
#define CALLS_KEY "hyb-calls"
#define MAX_CALLS 4096
#define CALL_ANSWER_KEY "hyb-call-answer"
typedef struct {
    guint64 number;
    GWeakRef frame;
    char secret[BODY_SECRET_BYTES * 2 + 1];
} Call;
typedef struct {
    GQueue calls;
    guint64 last;
} Calls;

static void free_call(gpointer data)
{
    Call* call = data;
    g_weak_ref_clear(&call->frame);
    g_free(call);
}

static void free_calls(gpointer data)
{
    Calls* calls = data;
    g_queue_clear_full(&calls->calls, free_call);
    g_free(calls);
}

/* Whether a call of the page made this load (its request's headers `headers`): its request carries the secret of
 * an open span, or it is the first started in the innermost span of a fetch. Either is then used up. The call's
 * body length and number (0: none) go to `taken`. */
gboolean take_call(WebKitWebPage* page, SoupMessageHeaders* headers, TakenCall* taken)
{
    taken->length = -1;
    taken->number = 0;
    BodySpans* spans = body_spans(page);
    const guint open = MIN(spans->depth, MAX_BODY_SPANS);
    const char* secret = carried_secret(headers);
    guint found = G_MAXUINT;
    if (secret && strlen(secret) == BODY_SECRET_BYTES * 2) {
        for (guint i = 0; i < open && found == G_MAXUINT; i++) {
            if (spans->secret[i][0] && same_secret(secret, spans->secret[i]))
                found = i;
        }
    }
    if (found == G_MAXUINT && spans->depth && spans->depth <= MAX_BODY_SPANS && spans->first[spans->depth - 1])
        found = spans->depth - 1;
    if (found == G_MAXUINT)
        return FALSE;
    spans->first[found] = FALSE;
    taken->length = spans->length[found];
    WebKitFrame* frame = g_weak_ref_get(&spans->frame[found]);
    if (frame && spans->secret[found][0]) {
        Calls* calls = page_state(page, CALLS_KEY, sizeof(Calls), free_calls);
        Call* call = g_new0(Call, 1);
        call->number = ++calls->last;
        g_weak_ref_init(&call->frame, frame);
        memcpy(call->secret, spans->secret[found], sizeof call->secret);
        g_queue_push_tail(&calls->calls, call);
        while (g_queue_get_length(&calls->calls) > MAX_CALLS)
            free_call(g_queue_pop_head(&calls->calls));
        taken->number = call->number;
    }
    if (frame)
        g_object_unref(frame);
    memset(spans->secret[found], 0, sizeof spans->secret[found]);
    return TRUE;
}

/* The UI process's word on a call (HYB_CALL_MESSAGE): its frame's guard hears it, and a call whose body went out
 * whole is forgotten. */
void answer_call(WebKitWebPage* page, GVariant* parameters)
{
    Calls* calls = g_object_get_data(G_OBJECT(page), CALLS_KEY);
    if (!calls || !parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE(HYB_CALL_TYPE)))
        return;
    guint64 number = 0;
    const char* url = NULL;
    gint64 sent = 0, total = -1;
    gboolean whole = FALSE;
    g_variant_get(parameters, HYB_CALL_TYPE, &number, &url, &sent, &total, &whole);
    for (GList* l = calls->calls.head; l; l = l->next) {
        Call* call = l->data;
        if (call->number != number)
            continue;
        char secret[sizeof call->secret];
        memcpy(secret, call->secret, sizeof secret);
        WebKitFrame* frame = g_weak_ref_get(&call->frame);
        /* Forgotten before the page's handlers run, which may make calls of their own. */
        if (whole) {
            g_queue_delete_link(&calls->calls, l);
            free_call(call);
        }
        JSCValue* answer = frame ? g_object_get_data(G_OBJECT(frame), CALL_ANSWER_KEY) : NULL;
        if (answer) {
            g_object_ref(answer);
            JSCValue* result = jsc_value_function_call(answer, G_TYPE_STRING, secret, G_TYPE_STRING, url, G_TYPE_DOUBLE, (double)sent,
                                                       G_TYPE_DOUBLE, (double)total, G_TYPE_BOOLEAN, whole, G_TYPE_NONE);
            if (result)
                g_object_unref(result);
            JSCContext* context = jsc_value_get_context(answer);
            if (context)
                jsc_context_clear_exception(context);
            g_object_unref(answer);
        }
        if (frame)
            g_object_unref(frame);
        break;
    }
    g_free((char*)url);
}

/* A new span's secret, in hexadecimal; FALSE when no random bytes could be had. */
static gboolean make_body_secret(char secret[BODY_SECRET_BYTES * 2 + 1])
{
    guint8 bytes[BODY_SECRET_BYTES];
    if (!random_bytes(bytes, sizeof bytes))
        return FALSE;
    for (gsize i = 0; i < sizeof bytes; i++)
        g_snprintf(secret + i * 2, 3, "%02x", bytes[i]);
    return TRUE;
}

typedef struct {
    GWeakRef page;
    GWeakRef frame;
} GuardTarget;

/* The guard's span(n, length): 1 opens a span for a send of the application's own document and gives its
 * secret (null when its view routes no loads of the application's), 2 opens a fetch's span, whose first load it
 * vouches for, 3 the same for a fetch of the application's own document, which also gives a secret that names
 * the call to its guard alone, 0 one that vouches for none; -1 closes
 * the innermost. `length`: the call's body's length in bytes, -1 when unknown. (Spans past MAX_BODY_SPANS deep vouch for
 * nothing.) */
static char* body_span(int what, double length, gpointer data)
{
    GuardTarget* target = data;
    WebKitWebPage* page = g_weak_ref_get(&target->page);
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
            spans->first[i] = what == 2 || what == 3;
            spans->length[i] = length >= 0 && length <= (double)G_MAXINT64 / 2 ? (gint64)length : -1;
            memset(spans->secret[i], 0, sizeof spans->secret[i]);
            /* Only the application's own documents' calls are named (their loads are the ones routed). */
            /* (A view with the loopback route sends them through the engine: no call needs naming, and a
             * header of the page's would cost its calls a preflight.) */
            if ((what == 1 || what == 3) && !(routing && routing->foreign) && !has_loopback(page) && make_body_secret(spans->secret[i])) {
                given = g_strdup(spans->secret[i]);
                WebKitFrame* frame = g_weak_ref_get(&target->frame);
                g_weak_ref_set(&spans->frame[i], frame);
                spans->named[i] = TRUE;
                if (frame)
                    g_object_unref(frame);
            }
        }
        if (spans->depth < G_MAXUINT)
            spans->depth++;
    }
    g_object_unref(page);
    return given;
}

static void free_guard_target(gpointer data)
{
    GuardTarget* target = data;
    g_weak_ref_clear(&target->page);
    g_weak_ref_clear(&target->frame);
    g_free(target);
}

/* Wraps the page's calls that send bodies in a frame's new window object, before any script of the page runs
 * there (once for each of its contexts: unguarded_context). */
#define GUARDED_CONTEXT_KEY "hyb-guarded-context"
void guard_bodies(WebKitWebPage* page, WebKitFrame* frame, WebKitScriptWorld* world)
{
    JSCContext* context = unguarded_context(frame, world, GUARDED_CONTEXT_KEY);
    if (!context)
        return;
    char* text = g_strconcat(BODY_GUARD, BODY_GUARD_CALLS, BODY_GUARD_ANSWERS, BODY_GUARD_WRAPS, NULL);
    JSCValue* guard = jsc_context_evaluate(context, text, -1);
    g_free(text);
    g_object_set_data(G_OBJECT(frame), CALL_ANSWER_KEY, NULL);
    if (guard && jsc_value_is_function(guard)) {
        GuardTarget* target = g_new0(GuardTarget, 1);
        g_weak_ref_init(&target->page, page);
        g_weak_ref_init(&target->frame, frame);
        JSCValue* span = jsc_value_new_function(context, NULL, G_CALLBACK(body_span), target, free_guard_target, G_TYPE_STRING, 2,
                                                G_TYPE_INT, G_TYPE_DOUBLE);
        JSCValue* answer = jsc_value_function_call(guard, JSC_TYPE_VALUE, span, G_TYPE_NONE);
        /* The frame keeps its guard's answer to the UI process's word on its calls. */
        if (answer && jsc_value_is_function(answer))
            g_object_set_data_full(G_OBJECT(frame), CALL_ANSWER_KEY, g_object_ref(answer), g_object_unref);
        if (answer)
            g_object_unref(answer);
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
