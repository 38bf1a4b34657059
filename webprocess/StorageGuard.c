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
 * all the pages past theirs, throws QuotaExceededError and stores nothing.
 *
 * What an origin holds is the larger of two counts: what it held on disk when this process first counted it
 * with what this process's pages have claimed for it since (never given back: a Blob deleted or replaced later
 * gives nothing back here), and what it holds on disk now (the Blob files of its IndexedDB folder under the data
 * folder: what earlier runs, other web processes and its workers stored). All the pages together hold the larger
 * of the same two counts over every Blob file of the pages' storage under the data folder and the engine's Blob
 * files in the temporary folder (a frame of another site's, which name no origin). The disk is read again at most every
 * MEASURE_INTERVAL for a claim; a count whose walk passes MAX_MEASURED_ENTRIES refuses.
 *
 * A worker's IndexedDB is out of reach here: the engine gives this module no hold on a worker's script. What a
 * worker stores is on disk, and so counts against its origin's (and all the pages') next claims from a window. */
#include "webprocess/Messages.h"
#include "webprocess/RequestHook.h"

#include <glib/gstdio.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>

/* The origins this process counts at most: one more is refused its Blobs. */
#define MAX_COUNTED_ORIGINS 4096
/* How often a claim reads the disk again (microseconds), and how many entries a reading walks at most. */
#define MEASURE_INTERVAL (250 * G_TIME_SPAN_MILLISECOND)
#define MAX_MEASURED_ENTRIES 200000
#define MAX_MEASURED_DEPTH 8
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

/* The data folder the UI process names (see set_storage_data_folder): empty for a context that keeps nothing. */
static char* data_folder;

void set_storage_data_folder(const char* folder)
{
    g_free(data_folder);
    data_folder = g_strdup(folder ? folder : "");
}

typedef struct {
    double claimed;     /* by this process's pages */
    double baseline;    /* on disk when first counted */
    double on_disk;     /* at the last reading */
    gint64 measured_at; /* monotonic microseconds */
} Count;

typedef struct {
    GHashTable* origins; /* origin -> Count */
    Count total;
    gboolean total_counted;
} Claimed;

static Claimed* claimed(void)
{
    static Claimed counts;
    if (!counts.origins)
        counts.origins = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    return &counts;
}

/* Adds to *bytes the sizes of the regular files under `path` whose names begin with `prefix` and end with `suffix`
 * (NULL: any), in its folders too when `depth` is below MAX_MEASURED_DEPTH (links are not followed); FALSE once
 * *entries passes MAX_MEASURED_ENTRIES. */
static gboolean add_sizes(const char* path, const char* prefix, const char* suffix, double* bytes, int* entries, int depth)
{
    GDir* dir = g_dir_open(path, 0, NULL);
    if (!dir)
        return TRUE;
    gboolean within = TRUE;
    const char* name;
    while (within && (name = g_dir_read_name(dir))) {
        if (++*entries > MAX_MEASURED_ENTRIES) {
            within = FALSE;
            break;
        }
        char* child = g_build_filename(path, name, NULL);
        GStatBuf status;
        if (g_lstat(child, &status) == 0) {
            if (S_ISREG(status.st_mode) && (!prefix || g_str_has_prefix(name, prefix)) && (!suffix || g_str_has_suffix(name, suffix)))
                *bytes += (double)status.st_size;
            else if (S_ISDIR(status.st_mode) && depth < MAX_MEASURED_DEPTH)
                within = add_sizes(child, prefix, suffix, bytes, entries, depth + 1);
        }
        g_free(child);
    }
    g_dir_close(dir);
    return within;
}

/* The folder name the engine gives an origin's IndexedDB ("scheme_host_port", the port 0 when the scheme's own,
 * the host's characters that cannot be in a file's name escaped); NULL for an origin that has none (opaque). */
static char* database_folder_name(const char* origin)
{
    GUri* uri = g_uri_parse(origin, G_URI_FLAGS_NONE, NULL);
    if (!uri)
        return NULL;
    const char* scheme = g_uri_get_scheme(uri);
    const char* host = g_uri_get_host(uri);
    GString* name = g_string_new(scheme);
    g_string_append_c(name, '_');
    for (const char* c = host ? host : ""; *c; ++c) {
        if (strchr("/\\:*?\"<>|%", *c))
            g_string_append_printf(name, "%%%02X", (unsigned char)*c);
        else
            g_string_append_c(name, *c);
    }
    g_string_append_printf(name, "_%d", g_uri_get_port(uri) > 0 ? g_uri_get_port(uri) : 0);
    g_uri_unref(uri);
    return g_string_free(name, FALSE);
}

/* The bytes of the Blobs `origin` keeps on disk (the Blob files in its IndexedDB folder), or all the pages keep
 * (origin NULL: those under the data folder, and the engine's Blob files in the temporary folder); -1 past the
 * walk's bound. */
static double on_disk(const char* origin)
{
    double bytes = 0;
    int entries = 0;
    gboolean within = TRUE;
    const gboolean keeps = data_folder && *data_folder;
    if (origin) {
        char* name = keeps ? database_folder_name(origin) : NULL;
        if (name && strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
            char* folder = g_build_filename(data_folder, "databases", "indexeddb", "v1", name, NULL);
            within = add_sizes(folder, NULL, ".blob", &bytes, &entries, 0);
            g_free(folder);
        }
        g_free(name);
        return within ? bytes : -1;
    }
    if (keeps) {
        char* databases = g_build_filename(data_folder, "databases", "indexeddb", NULL);
        char* storage = g_build_filename(data_folder, "storage", NULL);
        within = add_sizes(databases, NULL, ".blob", &bytes, &entries, 0) && add_sizes(storage, NULL, ".blob", &bytes, &entries, 0);
        g_free(databases);
        g_free(storage);
    }
    /* The network process keeps a frame of another site's Blobs as Blob-XXXXXX in the temporary folder, which this
     * process was started with too. */
    within = within && add_sizes(g_get_tmp_dir(), "Blob-", NULL, &bytes, &entries, MAX_MEASURED_DEPTH);
    return within ? bytes : -1;
}

/* What `count` holds now (see the top), the disk read again when the last reading is old; -1 when it cannot be read. */
static double held(Count* count, const char* origin, gint64 now)
{
    if (now - count->measured_at >= MEASURE_INTERVAL) {
        count->on_disk = on_disk(origin);
        count->measured_at = now;
    }
    if (count->on_disk < 0 || count->baseline < 0)
        return -1;
    return MAX(count->baseline + count->claimed, count->on_disk);
}

/* Whether `bytes` more of `origin`'s Blobs keep it, and all the pages, within their shares; claimed if so. */
static gboolean claim(const char* origin, double bytes, gpointer data)
{
    (void)data;
    if (!origin || !isfinite(bytes) || bytes < 0)
        return FALSE;
    Claimed* counts = claimed();
    const gint64 now = g_get_monotonic_time();
    if (!counts->total_counted) {
        counts->total.baseline = counts->total.on_disk = on_disk(NULL);
        counts->total.measured_at = now;
        counts->total_counted = TRUE;
    }
    Count* mine = g_hash_table_lookup(counts->origins, origin);
    Count fresh = {0, 0, 0, 0};
    if (!mine) {
        fresh.baseline = fresh.on_disk = on_disk(origin);
        fresh.measured_at = now;
    }
    Count* count = mine ? mine : &fresh;
    const double origin_held = held(count, origin, now);
    const double total_held = held(&counts->total, NULL, now);
    if (origin_held < 0 || total_held < 0 || origin_held + bytes > HYB_ORIGIN_STORAGE_BYTES ||
        total_held + bytes > HYB_TOTAL_STORAGE_BYTES)
        return FALSE;
    if (!mine) {
        if (g_hash_table_size(counts->origins) >= MAX_COUNTED_ORIGINS)
            return FALSE;
        mine = g_new(Count, 1);
        *mine = fresh;
        g_hash_table_insert(counts->origins, g_strdup(origin), mine);
    }
    mine->claimed += bytes;
    counts->total.claimed += bytes;
    return TRUE;
}

/* Wraps a frame's new window object's calls that store values, once for each of its contexts. */
#define STORAGE_GUARDED_CONTEXT_KEY "hyb-storage-guarded-context"
void guard_storage(WebKitFrame* frame, WebKitScriptWorld* world)
{
    JSCContext* context = unguarded_context(frame, world, STORAGE_GUARDED_CONTEXT_KEY);
    if (!context)
        return;
    JSCValue* check = jsc_value_new_function(context, NULL, G_CALLBACK(claim), NULL, NULL, G_TYPE_BOOLEAN, 2, G_TYPE_STRING, G_TYPE_DOUBLE);
    run_guard(context, STORAGE_GUARD, check);
    g_object_unref(check);
    g_object_unref(context);
}
