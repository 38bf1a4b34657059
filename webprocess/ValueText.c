/* A script's value, written by the module.
 *
 * A script of the page's world sent with HYB_VALUE_MARK before its text is answered with its completion value as
 * JSON text, written here by the engine's own serialiser, never by a function the page can replace (its
 * JSON.stringify, its eval): "[<value>]" (a value with no JSON form, such as undefined or a function, as
 * null), or {"error": "<why>"} when the script threw, its value cannot be written (a cycle, say) or the text
 * would pass MAX_VALUE_TEXT bytes. (The value's own toJSON, if it has one, is the value's to give.) */
#include "webprocess/RequestHook.h"

#include <string.h>

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

GBytes* value_text(JSCContext* context, JSCValue* value)
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
