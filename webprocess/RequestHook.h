/* What the files of the web process's module share. Each keeps one concern:
 * - RequestHook.c: the module's entry (its signals and messages, each request's way) and the state each
 *   page keeps;
 * - LoadRouting.c: which loads go to the UI process (how a page's view routes, the navigations it allowed,
 *   the bound on what goes out unrouted) and the route URLs they go to;
 * - BodyGuard.c: which routed loads' bodies the UI process may read, as the page's own calls vouch;
 * - PageAnswers.c: the UI process's scripts for the page and their results as text, answers to the page's
 *   calls run as calls;
 * - ValueText.c: a marked script's value as JSON text, written by a writer of the module's own that the page
 *   cannot reach or change;
 * - StorageGuard.c: the Blobs the page puts into IndexedDB, which the engine's quota does not count, bounded;
 * - HistoryGuard.c: the steps in the view's session history a frame of another site may take (only at a tap). */
#pragma once

#include "webprocess/LoadRules.h"

#include <webkit2/webkit-web-extension.h>

#define ROUTE_SCHEME "hybroute"
/* File loads: a scheme of local origin, so that a worker started from a file script of the application's
 * (whose origin is its script's route URL's) is of a local origin too, and known as the application's. */
#define LOCAL_ROUTE_SCHEME "hybroute-local"
#define LOCAL_ROUTE_PREFIX LOCAL_ROUTE_SCHEME "://load"
#define LOCAL_ROUTE_ORIGIN LOCAL_ROUTE_SCHEME "://load"
#define REFUSED_ROUTE ROUTE_SCHEME "://refused/"
#define EXEC_ROUTE_PREFIX ROUTE_SCHEME "://exec/?"
#define EVAL_MESSAGE "hyb.eval"

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
    gboolean refusal_told; /* the UI process heard that one went past the bound */
} InFlight;

/* Whether a web load (http, https) of the page goes to the UI process, and why. */
typedef enum {
    WEB_LOAD_UNROUTED,
    WEB_LOAD_UNHEARD, /* the page has not heard how its view routes: the UI process decides */
    WEB_LOAD_JUDGED,  /* refused by the whitelist, or naming a view controller */
    WEB_LOAD_OWN,     /* the application's own documents' load, which the whitelist allows */
} WebLoadRoute;

/* RequestHook.c */
G_GNUC_INTERNAL gpointer page_state(WebKitWebPage* page, const char* key, gsize size, GDestroyNotify destroy);
G_GNUC_INTERNAL GQueue* pending_navigations(WebKitWebPage* page);
G_GNUC_INTERNAL InFlight* in_flight(WebKitWebPage* page);
G_GNUC_INTERNAL JSCContext* unguarded_context(WebKitFrame* frame, WebKitScriptWorld* world, const char* key);
G_GNUC_INTERNAL void run_guard(JSCContext* context, const char* source, JSCValue* argument);
/* Fills `out` with `size` bytes from the system's random source; FALSE when the source fails. */
G_GNUC_INTERNAL gboolean random_bytes(guint8* out, gsize size);

/* LoadRouting.c */
G_GNUC_INTERNAL char* without_fragment(const char* uri);
G_GNUC_INTERNAL gboolean take_pending_navigation(GQueue* pending, const char* uri);
G_GNUC_INTERNAL void add_pending_navigation(GQueue* pending, const char* uri);
G_GNUC_INTERNAL gboolean stays_local(const char* uri);
G_GNUC_INTERNAL char* route_host(const char* uri);
G_GNUC_INTERNAL void take_routing(WebKitWebPage* page, GVariant* parameters);
G_GNUC_INTERNAL gboolean is_web_url(const char* uri);
G_GNUC_INTERNAL WebLoadRoute route_of_web_load(WebKitWebPage* page, WebKitURIRequest* request, const char* uri);
G_GNUC_INTERNAL gboolean redirect_goes_on(WebKitWebPage* page, const char* uri);
G_GNUC_INTERNAL char* local_route_of(const char* uri);
G_GNUC_INTERNAL gboolean is_local_route_of_file(const char* uri);
G_GNUC_INTERNAL void count_unrouted(WebKitWebPage* page, const char* uri);
G_GNUC_INTERNAL gboolean in_flight_bound_reached(WebKitWebPage* page);
G_GNUC_INTERNAL gboolean engine_busy(WebKitWebPage* page);
G_GNUC_INTERNAL void take_engine_congested(WebKitWebPage* page, GVariant* parameters);
G_GNUC_INTERNAL void take_loopback(WebKitWebPage* page, GVariant* parameters);
G_GNUC_INTERNAL gboolean has_loopback(WebKitWebPage* page);
/* The loopback URL of a web URL (freed by the caller), NULL when the page has no loopback route or the origin is
 * too long for a host name. */
G_GNUC_INTERNAL char* loopback_url_of(WebKitWebPage* page, const char* uri);
/* The web URL a loopback URL of the page's route names (freed by the caller), NULL for any other URL. */
G_GNUC_INTERNAL char* original_of_loopback(WebKitWebPage* page, const char* uri);
G_GNUC_INTERNAL void mark_loopback_load(WebKitWebPage* page, SoupMessageHeaders* headers);
/* A URL without the user information of its authority (freed by the caller). */
G_GNUC_INTERNAL char* without_userinfo(const char* uri);
/* Credentials written in a URL of the application's own load go with it as "Authorization: Basic" (the loopback
 * URL names no user), unless the request names its own. */
G_GNUC_INTERNAL void carry_userinfo(const char* uri, SoupMessageHeaders* headers);

/* BodyGuard.c */
typedef struct {
    gint64 length;  /* the body's length as the call gave it; -1 when unknown */
    guint64 number; /* the call's number for the UI process (HYB_CALL_HEADER); 0 when none */
} TakenCall;
G_GNUC_INTERNAL gboolean take_call(WebKitWebPage* page, SoupMessageHeaders* headers, TakenCall* taken);
G_GNUC_INTERNAL void answer_call(WebKitWebPage* page, GVariant* parameters);
G_GNUC_INTERNAL void guard_bodies(WebKitWebPage* page, WebKitFrame* frame, WebKitScriptWorld* world);
G_GNUC_INTERNAL gboolean may_carry_body(WebKitURIRequest* request);

/* PageAnswers.c */
G_GNUC_INTERNAL void forget_page_functions(WebKitWebPage* page);
G_GNUC_INTERNAL void evaluate_scripts(WebKitWebPage* page, WebKitUserMessage* message, gboolean reply);

/* StorageGuard.c */
G_GNUC_INTERNAL void guard_storage(WebKitFrame* frame, WebKitScriptWorld* world);
/* Names the folder under which the engine keeps the pages' data ("" for none), whose files the guard counts. */
G_GNUC_INTERNAL void set_storage_data_folder(const char* folder);

/* HistoryGuard.c */
G_GNUC_INTERNAL void guard_history(WebKitFrame* frame, WebKitScriptWorld* world);

/* ValueText.c */
G_GNUC_INTERNAL void keep_value_writer(WebKitFrame* frame, WebKitScriptWorld* world);
G_GNUC_INTERNAL GBytes* value_text(WebKitFrame* frame, JSCContext* context, JSCValue* value);
