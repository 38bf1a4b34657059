/* The UI process's scripts for the page ("hyb.eval" and "hyb.post" messages), run in its main frame, and
 * their results as text; among them the answers to the page's calls, run as calls.
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
#include "webprocess/Messages.h"
#include "webprocess/RequestHook.h"

#include <string.h>

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

/* A new window object in the main frame (a new document): the old one's functions, and with them that page, go. */
void forget_page_functions(WebKitWebPage* page)
{
    g_object_set_data(G_OBJECT(page), ANSWER_FUNCTION_KEY, NULL);
    g_object_set_data(G_OBJECT(page), MICROTASKS_FUNCTION_KEY, NULL);
    g_object_set_data(G_OBJECT(page), WELL_FORMED_FUNCTION_KEY, NULL);
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
static void evaluate_one(WebKitWebPage* page, WebKitFrame* frame, JSCContext* context, gboolean in_engine_world, GVariant* script_bytes,
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
        GBytes* json = value_text(frame, context, value);
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
        evaluate_one(page, frame, context, in_engine_world, scripts, results);
    } else {
        GVariantIter iter;
        GVariant* item;
        g_variant_iter_init(&iter, scripts);
        while ((item = g_variant_iter_next_value(&iter))) {
            evaluate_one(page, frame, context, in_engine_world, item, results);
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
void evaluate_scripts(WebKitWebPage* page, WebKitUserMessage* message, gboolean reply)
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
