/* A script's value, written by the module.
 *
 * A script of the page's world sent with HYB_VALUE_MARK before its text is answered with its completion value as
 * JSON text, written here by a writer of the module's own, never by a function the page can replace or reach:
 * "[<value>]" (a value with no JSON form, such as undefined or a function, as null), or {"error": "<why>"} when
 * the script threw, its value cannot be written (a cycle, say) or the text would pass MAX_VALUE_TEXT bytes.
 *
 * The writer (VALUE_WRITER_*) is made in each new window object of the main frame, before any script of the page
 * runs there, from the functions the language and the engine gave that window; the module keeps it, and no
 * script of the page can see it. It writes as JSON does, except that nothing the page added or replaced takes
 * part: a toJSON is the value's own property's, or else the one the engine gave the nearest of its prototypes
 * the engine made (a page's toJSON on Object.prototype, on Array.prototype or on a prototype it put above them
 * is never called), a Date is written from its time, a Number, String or Boolean object from its own value,
 * and a hole of an array is null, whatever the prototypes hold there. */
#include "webprocess/RequestHook.h"

#include <string.h>

#define MAX_VALUE_TEXT (1 << 20)
#define MAX_ERROR_DETAIL 4096

#define VALUE_WRITER_KEY "hyb-value-writer"
#define VALUE_WRITER_CONTEXT_KEY "hyb-value-writer-context"
#define VALUE_WRITER_HEAD                                                                                           \
    "(function (global, limit) { 'use strict';"                                                                     \
    " var apply = Reflect.apply, get = Reflect.get, getOwn = Reflect.getOwnPropertyDescriptor,"                     \
    "  getProto = Reflect.getPrototypeOf, keysOf = Object.keys, isArray = Array.isArray, quote = JSON.stringify,"   \
    "  hasOwn = Object.prototype.hasOwnProperty, OwnString = String, OwnTypeError = TypeError, iterator = Symbol.iterator," \
    "  OwnMap = Map, mapGet = Map.prototype.get, mapSet = Map.prototype.set, mapHas = Map.prototype.has,"          \
    "  OwnSet = Set, setHas = Set.prototype.has, setAdd = Set.prototype.add, setDelete = Set.prototype.delete,"     \
    "  getTime = Date.prototype.getTime, toISO = Date.prototype.toISOString, dateToJSON = Date.prototype.toJSON,"  \
    "  numberOf = Number.prototype.valueOf, stringOf = String.prototype.valueOf, booleanOf = Boolean.prototype.valueOf," \
    "  bigIntOf = typeof BigInt === 'function' ? BigInt.prototype.valueOf : null, isFiniteNumber = Number.isFinite;" \
    " var made = new OwnMap();"                                                                                     \
    " function keep(p) { while ((typeof p === 'object' && p !== null || typeof p === 'function') && !apply(mapHas, made, [p])) {" \
    "  var t = get(p, 'toJSON'); apply(mapSet, made, [p, typeof t === 'function' ? t : null]); p = getProto(p); } }" \
    " ['Object', 'Function', 'Array', 'Date', 'Number', 'String', 'Boolean', 'Symbol', 'BigInt', 'Error', 'TypeError'," \
    "  'RangeError', 'RegExp', 'Map', 'Set', 'WeakMap', 'WeakSet', 'Promise', 'ArrayBuffer', 'DataView', 'Int8Array'," \
    "  'Uint8Array', 'Uint8ClampedArray', 'Int16Array', 'Uint16Array', 'Int32Array', 'Uint32Array', 'Float32Array'," \
    "  'Float64Array', 'BigInt64Array', 'BigUint64Array', 'URL', 'URLSearchParams', 'DOMRect', 'DOMRectReadOnly',"   \
    "  'DOMPoint', 'DOMPointReadOnly', 'DOMQuad', 'DOMMatrix', 'DOMMatrixReadOnly', 'Performance', 'PerformanceEntry'," \
    "  'PerformanceMark', 'PerformanceMeasure', 'PerformanceResourceTiming', 'PerformanceNavigationTiming',"         \
    "  'PerformancePaintTiming', 'PerformanceTiming', 'PerformanceNavigation', 'GeolocationCoordinates',"           \
    "  'GeolocationPosition', 'RTCSessionDescription', 'RTCIceCandidate', 'PushSubscription', 'Node', 'Element',"    \
    "  'HTMLElement', 'Document', 'EventTarget', 'Window'].forEach(function (name) {"                                \
    "  var d = getOwn(global, name), c = d && d.value; if (typeof c !== 'function') return;"                       \
    "  keep(c); var p = getOwn(c, 'prototype'); if (p) keep(p.value); });"                                         \
    " [getProto([][iterator]()), getProto(new OwnMap()[iterator]()), getProto(new OwnSet()[iterator]()),"          \
    "  getProto(''[iterator]()), getProto(function* () {}.prototype), getProto(function* () {}),"                    \
    "  getProto(async function () {})].forEach(keep);"                                                              \
    ""
/* (In two parts: C keeps a literal under 4095 characters.) */
#define VALUE_WRITER_TAIL                                                                                           \
    " var tooLarge = {};"                                                                                           \
    " function toJSONOf(v) {"                                                                                       \
    "  if (apply(hasOwn, v, ['toJSON'])) { var own = get(v, 'toJSON'); return typeof own === 'function' ? own : null; }" \
    "  for (var p = getProto(v); p !== null; p = getProto(p)) { if (apply(mapHas, made, [p])) return apply(mapGet, made, [p]); }" \
    "  return null; }"                                                                                              \
    " var objectProto = Object.prototype;"                                                                          \
    " function primitive(v) {"                                                                                      \
    "  if (isArray(v)) return v; var p = getProto(v); if (p === objectProto || p === null) return v;"             \
    "  try { return apply(numberOf, v, []); } catch (e) {}"                                                         \
    "  try { return apply(stringOf, v, []); } catch (e) {}"                                                         \
    "  try { return apply(booleanOf, v, []); } catch (e) {}"                                                        \
    "  if (bigIntOf) { var big = false; try { apply(bigIntOf, v, []); big = true; } catch (e) {}"                   \
    "   if (big) throw new OwnTypeError('a BigInt cannot be written as JSON'); }"                                   \
    "  return v; }"                                                                                                 \
    " var out = '', open = new OwnSet();"                                                                           \
    " function add(text) { out += text; if (out.length > limit) throw tooLarge; }"                                  \
    " function write(v, key) {"                                                                                     \
    "  if (typeof v === 'object' && v !== null || typeof v === 'bigint') {"                                         \
    "   var toJSON = typeof v === 'bigint' ? null : toJSONOf(v);"                                                   \
    "   if (toJSON === dateToJSON) { var time; try { time = apply(getTime, v, []); } catch (e) { toJSON = null; }"   \
    "    if (toJSON) v = isFiniteNumber(time) ? apply(toISO, v, []) : null; }"                                      \
    "   else if (toJSON) v = apply(toJSON, v, [key]); }"                                                            \
    "  if (typeof v === 'object' && v !== null) v = primitive(v);"                                                  \
    "  if (v === null) { add('null'); return true; }"                                                               \
    "  switch (typeof v) {"                                                                                         \
    "  case 'string': case 'number': add(quote(v)); return true;"                                                   \
    "  case 'boolean': add(v ? 'true' : 'false'); return true;"                                                     \
    "  case 'bigint': throw new OwnTypeError('a BigInt cannot be written as JSON');"                                \
    "  case 'object': break;"                                                                                       \
    "  default: return false; }"                                                                                    \
    "  if (apply(setHas, open, [v])) throw new OwnTypeError('a cyclic structure cannot be written as JSON');"       \
    "  apply(setAdd, open, [v]);"                                                                                   \
    "  if (isArray(v)) { var length = get(v, 'length'); add('[');"                                                  \
    "   for (var i = 0; i < length; i++) { if (i) add(',');"                                                        \
    "    var at = OwnString(i); if (!apply(hasOwn, v, [at]) || !write(get(v, at), at)) add('null'); }"              \
    "   add(']');"                                                                                                  \
    "  } else { var keys = keysOf(v), first = true; add('{');"                                                     \
    "   for (var k = 0; k < keys.length; k++) { var mark = out;"                                                   \
    "    add((first ? '' : ',') + quote(keys[k]) + ':');"                                                           \
    "    if (write(get(v, keys[k]), keys[k])) first = false; else out = mark; }"                                    \
    "   add('}'); }"                                                                                                \
    "  apply(setDelete, open, [v]);"                                                                                \
    "  return true; }"                                                                                              \
    " return function (v) { out = ''; open = new OwnSet();"                                                         \
    "  try { return write(v, '') ? out : undefined; } catch (e) { if (e === tooLarge) return false; throw e; }"     \
    "  finally { out = ''; open = new OwnSet(); } };"                                                               \
    "})"

/* Makes the writer in a new window object of the main frame (the page's world), before any script of the page
 * runs there. As with the body guard, the engine keeps a frame's first, empty document's window object for the
 * document that follows it: one context seen before keeps the writer made in it. */
void keep_value_writer(WebKitFrame* frame, WebKitScriptWorld* world)
{
    if (!webkit_frame_is_main_frame(frame) || world != webkit_script_world_get_default())
        return;
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
    if (!context)
        return;
    if (g_object_get_data(G_OBJECT(frame), VALUE_WRITER_CONTEXT_KEY) == context && g_object_get_data(G_OBJECT(frame), VALUE_WRITER_KEY)) {
        g_object_unref(context);
        return;
    }
    g_object_set_data(G_OBJECT(frame), VALUE_WRITER_KEY, NULL);
    g_object_set_data_full(G_OBJECT(frame), VALUE_WRITER_CONTEXT_KEY, g_object_ref(context), g_object_unref);
    char* source = g_strconcat(VALUE_WRITER_HEAD, VALUE_WRITER_TAIL, NULL);
    JSCValue* maker = jsc_context_evaluate(context, source, -1);
    g_free(source);
    JSCValue* global = jsc_context_get_global_object(context);
    JSCValue* writer = maker && jsc_value_is_function(maker)
                           ? jsc_value_function_call(maker, JSC_TYPE_VALUE, global, G_TYPE_INT, MAX_VALUE_TEXT, G_TYPE_NONE)
                           : NULL;
    if (writer && !jsc_context_get_exception(context) && jsc_value_is_function(writer))
        g_object_set_data_full(G_OBJECT(frame), VALUE_WRITER_KEY, g_object_ref(writer), g_object_unref);
    jsc_context_clear_exception(context);
    if (writer)
        g_object_unref(writer);
    g_object_unref(global);
    if (maker)
        g_object_unref(maker);
    g_object_unref(context);
}

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

/* The text of a thrown exception: "<name>: <message>" as an error writes itself, or its own text. Reading
 * them may throw in turn (a thrown null has no name; a thrown object's getters are the page's), and the
 * context then drops the exception it held for the new one: it is held here until read, and what its reading
 * threw is cleared. */
static char* exception_detail(JSCContext* context, JSCException* thrown)
{
    JSCException* exception = g_object_ref(thrown);
    jsc_context_clear_exception(context);
    const char* name = jsc_exception_get_name(exception);
    if (jsc_context_get_exception(context)) {
        name = NULL;
        jsc_context_clear_exception(context);
    }
    const char* message = jsc_exception_get_message(exception);
    if (jsc_context_get_exception(context)) {
        message = NULL;
        jsc_context_clear_exception(context);
    }
    char* detail = name && message ? g_strconcat(name, ": ", message, NULL) : g_strdup(message ? message : name ? name : "");
    g_object_unref(exception);
    return detail;
}

GBytes* value_text(WebKitFrame* frame, JSCContext* context, JSCValue* value)
{
    JSCException* exception = jsc_context_get_exception(context);
    if (exception || !value) {
        char* detail = exception ? exception_detail(context, exception) : NULL;
        GBytes* text = error_text("The script threw", detail);
        g_free(detail);
        jsc_context_clear_exception(context);
        return text;
    }
    JSCValue* writer = frame && g_object_get_data(G_OBJECT(frame), VALUE_WRITER_CONTEXT_KEY) == context
                           ? g_object_get_data(G_OBJECT(frame), VALUE_WRITER_KEY)
                           : NULL;
    if (!writer)
        return error_text("The script's value cannot be written as JSON: the page's window has no writer", NULL);
    JSCValue* written = jsc_value_function_call(writer, JSC_TYPE_VALUE, value, G_TYPE_NONE);
    if ((exception = jsc_context_get_exception(context))) {
        char* detail = exception_detail(context, exception);
        GBytes* text = error_text("The script's value cannot be written as JSON:", detail);
        g_free(detail);
        if (written)
            g_object_unref(written);
        jsc_context_clear_exception(context);
        return text;
    }
    if (written && jsc_value_is_boolean(written)) {
        g_object_unref(written);
        return error_text("The answer is too large", NULL);
    }
    char* json = written && jsc_value_is_string(written) ? jsc_value_to_string(written) : NULL;
    if (written)
        g_object_unref(written);
    const char* text = json ? json : "null";
    if (strlen(text) + 2 > MAX_VALUE_TEXT) {
        g_free(json);
        return error_text("The answer is too large", NULL);
    }
    GBytes* bytes = g_bytes_new_take(g_strconcat("[", text, "]", NULL), strlen(text) + 2);
    g_free(json);
    return bytes;
}
