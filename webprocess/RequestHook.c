/* The module the web engine loads into each of its web processes.
 *
 * It sends every sub-resource load of a page (images, scripts, XHR, fetch, ...) back to the UI process, so
 * that the application's URL protocols see each one as they would on the phone: the request's URL is
 * rewritten to "hybroute://<its origin, see route_host>/?<the original URL, escaped>" ("hybroute-local://load/?..."
 * for a file URL), a scheme the UI process serves. Headers set
 * by the page travel with the rewritten request; a route URL the page writes itself names no load (the UI
 * process refuses it), so every routed load is one the engine's own checks let the page make. Documents (the main frame's and sub-frames') load
 * unchanged: their navigations were already decided by the UI process, which names them to this module
 * in a "hyb.navigation" message before it lets them go.
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
 * microtasks the scripts queued run (see run_microtasks).
 *
 * Runs on the web process's main thread only. Built without sanitizers: the web process does not load the
 * sanitizer runtimes.
 */
#include "webprocess/BridgePath.h"

#include <webkit2/webkit-web-extension.h>

#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#define ROUTE_SCHEME "hybroute"
/* File loads: a scheme of local origin, so that a worker started from a file script of the application's
 * (whose origin is its script's route URL's) is of a local origin too, and known as the application's. */
#define LOCAL_ROUTE_SCHEME "hybroute-local"
#define LOCAL_ROUTE_PREFIX LOCAL_ROUTE_SCHEME "://load/?"
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

static gboolean on_send_request(WebKitWebPage* page, WebKitURIRequest* request, WebKitURIResponse* redirected,
                                gpointer user_data)
{
    (void)redirected;
    (void)user_data;
    const char* uri = webkit_uri_request_get_uri(request);
    if (!uri || stays_local(uri))
        return FALSE;
    /* Only this module writes route URLs: one the page wrote itself would hand the UI process a load that
     * the engine's own checks (which origin may read what) never saw, and the route's answers are readable
     * from any origin. It goes to a route URL that names no load, which the UI process refuses. */
    if (g_ascii_strncasecmp(uri, ROUTE_SCHEME ":", strlen(ROUTE_SCHEME ":")) == 0
        || g_ascii_strncasecmp(uri, LOCAL_ROUTE_SCHEME ":", strlen(LOCAL_ROUTE_SCHEME ":")) == 0) {
        webkit_uri_request_set_uri(request, REFUSED_ROUTE);
        return FALSE;
    }
    if (take_pending_navigation(pending_navigations(page), uri))
        return FALSE;
    const gboolean is_exec = hyb_url_has_bridge_path(uri);
    const char* page_uri = webkit_web_page_get_uri(page);
    if (page_uri && !is_exec) {
        char* a = without_fragment(uri);
        char* b = without_fragment(page_uri);
        gboolean is_document = strcmp(a, b) == 0;
        g_free(a);
        g_free(b);
        if (is_document)
            return FALSE;
    }
    char* escaped = g_uri_escape_string(uri, NULL, FALSE);
    const gboolean is_file = g_ascii_strncasecmp(uri, "file:", strlen("file:")) == 0;
    char* host = is_exec || is_file ? NULL : route_host(uri);
    char* routed = host ? g_strconcat(ROUTE_SCHEME "://", host, "/?", escaped, NULL)
                        : g_strconcat(is_exec ? EXEC_ROUTE_PREFIX : LOCAL_ROUTE_PREFIX, escaped, NULL);
    g_free(host);
    webkit_uri_request_set_uri(request, routed);
    g_free(routed);
    g_free(escaped);
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
    (void)world;
    (void)user_data;
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

/* Evaluates one script of a message and adds its result to the reply's (none for a "hyb.post": `results`
 * NULL). */
static void evaluate_one(WebKitWebPage* page, JSCContext* context, gboolean in_engine_world, GVariant* script_bytes,
                         GVariantBuilder* results)
{
    gsize length = 0;
    const char* script = g_variant_get_fixed_array(script_bytes, &length, 1);
    GBytes* text = NULL;
    GBytes** wanted = results ? &text : NULL;
    if (context && length && (in_engine_world || !run_answer(page, context, script, length, wanted))) {
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
