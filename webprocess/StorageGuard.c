/* The Blobs a page puts into IndexedDB: bounded here.
 *
 * The engine holds a page's site storage to the quota the UI process sets (HYB_ORIGIN_STORAGE_BYTES an origin,
 * HYB_TOTAL_STORAGE_BYTES in all, webprocess/Messages.h), but it counts only what a stored value's own bytes
 * are: the Blobs (and Files) in it go to files of their own (in the database's folder, or for a frame of another
 * site, whose IndexedDB it keeps off the disk, to its temporary folder) that its quota never sees. So, in every
 * frame, before any script of the page runs there, the calls that store a value (IDBObjectStore's put and add,
 * IDBCursor's update) are wrapped (STORAGE_GUARD): the value is cloned first, as the engine would clone it (so no
 * getter or proxy of the page's answers the count and the store differently: the clone is what is stored), the
 * sizes of the Blobs in the clone are added up, and a call whose Blobs would take its origin past its share, or
 * this process's pages past theirs, throws QuotaExceededError and stores nothing. What was claimed stays claimed
 * for the life of the web process (a Blob deleted or replaced later gives nothing back).
 *
 * A worker's IndexedDB is out of reach here: the engine gives this module no hold on a worker's script. */
#include "webprocess/Messages.h"
#include "webprocess/RequestHook.h"

#include <math.h>
#include <string.h>

/* The origins this process counts at most: one more is refused its Blobs. */
#define MAX_COUNTED_ORIGINS 4096
/* The parts of a value the guard walks at most (objects, arrays, their members): a value with more is refused. */
#define MAX_WALKED "1000000"

#define STORAGE_GUARD                                                                                              \
    "(function (claim) { 'use strict';"                                                                           \
    " if (typeof IDBObjectStore !== 'function' || typeof structuredClone !== 'function') return;"                \
    " var apply = Reflect.apply, getOwn = Object.getOwnPropertyDescriptor, define = Object.defineProperty;"     \
    " var getPrototypeOf = Object.getPrototypeOf, keys = Object.keys, isArray = Array.isArray, slice = Array.prototype.slice;" \
    " var clone = structuredClone, OwnException = DOMException, OwnString = String, OwnWeakSet = WeakSet, thisWindow = window;" \
    " var addSeen = OwnWeakSet.prototype.add, wasSeen = OwnWeakSet.prototype.has, plain = Object.prototype;"     \
    " var blobSize = getOwn(Blob.prototype, 'size').get, mapForEach = Map.prototype.forEach, setForEach = Set.prototype.forEach;" \
    " var mapSize = getOwn(Map.prototype, 'size').get, setSize = getOwn(Set.prototype, 'size').get;"            \
    " var listLength = typeof FileList === 'function' ? getOwn(FileList.prototype, 'length').get : null;"        \
    " var listItem = typeof FileList === 'function' ? FileList.prototype.item : null;"                            \
    " var originOf = (getOwn(window, 'origin') || getOwn(getPrototypeOf(window), 'origin') || {}).get;"          \
    " function read(getter, value) { try { return apply(getter, value, []); } catch (e) { return undefined; } }"  \
    /* The bytes of the Blobs (and Files) in a clone, -1 past the walk's bound. A clone holds no getter or proxy \
     * of the page's; the walk's own stack is a chain of objects without a prototype. */                          \
    " function blobBytes(root) {"                                                                                 \
    "  var top = { __proto__: null, value: root, next: null }, seen = new OwnWeakSet(), walked = 0, bytes = 0;"  \
    "  function push(v) { if (v !== null && typeof v === 'object') top = { __proto__: null, value: v, next: top }; }" \
    "  while (top) {"                                                                                             \
    "   var value = top.value; top = top.next;"                                                                   \
    "   if (apply(wasSeen, seen, [value])) continue;"                                                             \
    "   apply(addSeen, seen, [value]);"                                                                           \
    "   if (++walked > " MAX_WALKED ") return -1;"                                                                \
    "   var size = read(blobSize, value); if (size !== undefined) { bytes += size; continue; }"                  \
    "   if (read(mapSize, value) !== undefined) { apply(mapForEach, value, [function (v, k) { push(k); push(v); }]); continue; }" \
    "   if (read(setSize, value) !== undefined) { apply(setForEach, value, [function (v) { push(v); }]); continue; }" \
    "   var length = listLength ? read(listLength, value) : undefined;"                                           \
    "   if (length !== undefined) { for (var f = 0; f < length; f++) push(apply(listItem, value, [f])); continue; }" \
    /* Arrays and plain objects hold members; every other kind a clone holds (bytes, dates, patterns, wrapped \
     * values, pictures' data) holds no Blob. */                                                                  \
    "   if (!isArray(value) && getPrototypeOf(value) !== plain) continue;"                                        \
    "   var names = keys(value);"                                                                                 \
    "   for (var i = 0; i < names.length; i++) push(value[names[i]]);"                                            \
    "  }"                                                                                                         \
    "  return bytes; }"                                                                                           \
    " function wrap(prototype, name) {"                                                                           \
    "  var own = getOwn(prototype, name); if (!own || typeof own.value !== 'function') return;"                  \
    "  var original = own.value;"                                                                                 \
    "  var wrapped = { [name]: function () {"                                                                     \
    "   var args = apply(slice, arguments, []), value = args[0];"                                                 \
    "   if (value !== null && (typeof value === 'object' || typeof value === 'function')) {"                     \
    "    var copy = apply(clone, thisWindow, [value]), bytes = blobBytes(copy), origin = '';"                    \
    "    try { origin = OwnString(apply(originOf, thisWindow, [])); } catch (e) {}"                               \
    "    if (bytes < 0 || (bytes > 0 && !claim(origin, bytes)))"                                                  \
    "     throw new OwnException('The Blobs of this value pass what this origin may keep', 'QuotaExceededError');" \
    "    args[0] = copy; }"                                                                                       \
    "   return apply(original, this, args); } }[name];"                                                           \
    "  define(prototype, name, { value: wrapped, writable: own.writable, enumerable: own.enumerable, configurable: own.configurable }); }" \
    " wrap(IDBObjectStore.prototype, 'put'); wrap(IDBObjectStore.prototype, 'add');"                             \
    " if (typeof IDBCursor === 'function') wrap(IDBCursor.prototype, 'update');"                                 \
    "})"

typedef struct {
    GHashTable* origins; /* origin -> bytes claimed (a double) */
    double total;
} Claimed;

static Claimed* claimed(void)
{
    static Claimed counts;
    if (!counts.origins)
        counts.origins = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    return &counts;
}

/* Whether `bytes` more of `origin`'s Blobs keep it, and this process's pages, within their shares; claimed if so. */
static gboolean claim(const char* origin, double bytes, gpointer data)
{
    (void)data;
    if (!origin || !isfinite(bytes) || bytes < 0)
        return FALSE;
    Claimed* counts = claimed();
    double* held = g_hash_table_lookup(counts->origins, origin);
    const double mine = held ? *held : 0;
    if (mine + bytes > HYB_ORIGIN_STORAGE_BYTES || counts->total + bytes > HYB_TOTAL_STORAGE_BYTES)
        return FALSE;
    if (!held) {
        if (g_hash_table_size(counts->origins) >= MAX_COUNTED_ORIGINS)
            return FALSE;
        held = g_new0(double, 1);
        g_hash_table_insert(counts->origins, g_strdup(origin), held);
    }
    *held += bytes;
    counts->total += bytes;
    return TRUE;
}

/* Wraps a frame's new window object's calls that store values, once for each of its contexts. */
#define STORAGE_GUARDED_CONTEXT_KEY "hyb-storage-guarded-context"
void guard_storage(WebKitFrame* frame, WebKitScriptWorld* world)
{
    JSCContext* context = unguarded_context(frame, world, STORAGE_GUARDED_CONTEXT_KEY);
    if (!context)
        return;
    JSCValue* guard = jsc_context_evaluate(context, STORAGE_GUARD, -1);
    if (guard && jsc_value_is_function(guard)) {
        JSCValue* check = jsc_value_new_function(context, NULL, G_CALLBACK(claim), NULL, NULL, G_TYPE_BOOLEAN, 2, G_TYPE_STRING, G_TYPE_DOUBLE);
        JSCValue* result = jsc_value_function_call(guard, JSC_TYPE_VALUE, check, G_TYPE_NONE);
        if (result)
            g_object_unref(result);
        g_object_unref(check);
    }
    jsc_context_clear_exception(context);
    if (guard)
        g_object_unref(guard);
    g_object_unref(context);
}
