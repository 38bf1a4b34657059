/* What the UI process and the web-process module say to each other beyond script texts. Plain C: the module
 * is C. */
#pragma once

/* How a page's view routes its loads (see LoadRouting.c), sent before each navigation the UI process
 * allows. Parameters "(bba(msmsxms)b)": the view shows foreign pages; a whitelist judges its web loads; the
 * whitelist's patterns (scheme, host, port or -1, path: POSIX extended expressions, LoadRules.h); entries of
 * the default scheme open their host to both web schemes. */
#define HYB_ROUTING_MESSAGE "hyb.routing"
#define HYB_ROUTING_TYPE "(bba(msmsxms)b)"

/* The module's word to the UI process of the main frame's address whenever it changes (parameters "s"): as the
 * main frame starts loading a document (before the engine's own word of that start, which follows it on the same
 * way), as a server leads that load elsewhere, as it commits and as its fragment or history entry changes. WebKit
 * does not say which frame a navigation question is for; it does say here, in order, which address the main
 * frame loads, so the UI process knows its page's load from a frame's. */
#define HYB_MAIN_FRAME_MESSAGE "hyb.main-frame"

/* A page script beginning with this mark (in a "hyb.eval" message) is answered with its completion value as
 * JSON text written by the module ("[<value>]", or {"error": "<why>"}), not as the value's own text. No
 * script begins so: the mark's first character cannot begin a script. */
#define HYB_VALUE_MARK "\001hyb-value\n"

/* How many of the web loads the page's view made through the engine have ended, over the life of its web
 * process (parameters "t"): the module lets a page have only so many in flight (see LoadRouting.c), and
 * learns of their ends from the UI process, which the engine tells. */
#define HYB_LOADS_ENDED_MESSAGE "hyb.loads-ended"

/* The module's word to the UI process, once a page, that it refused a web load past the bound of those in flight
 * (parameters "t": the bound), which the UI process writes in the log. */
#define HYB_LOADS_REFUSED_MESSAGE "hyb.loads-refused"

/* A question the module answers at once with an empty reply of the same name: the engine's messages to a page
 * arrive in the order they were sent, so its answer tells the UI process that the routed answers' bodies it
 * handed the engine before asking have reached the web process (the engine sends them there as it reads them,
 * with no pace of its own). No parameters. */
#define HYB_DELIVERED_MESSAGE "hyb.delivered"

/* The module's mark on a routed load whose body it knows holds bytes only (a text, an ArrayBuffer or a view,
 * URLSearchParams): the UI process reads a routed load's body from the engine only under this mark. The engine
 * cannot hand the UI process a body that holds a Blob (a File, a FormData with one): asking for it stops the
 * application. Any other value of it on a request (the module's own secret on its way there, or one the page
 * set) is taken off every load, in the web process and again here. */
#define HYB_BODY_HEADER "Hyb-Body"
#define HYB_BODY_BYTES "bytes"

/* Beside the mark, the module names what it knows of the call that made a routed load (any other value of
 * these on a request, one the page set, is taken off every load, in the web process and again here):
 * - HYB_BODY_LENGTH_HEADER: the body's length in bytes, as the page's call gave it (a marked body only), so that
 *   the body goes out with its "Content-Length" however it is streamed (a body that turns out longer or shorter
 *   fails the load);
 * - HYB_CALL_HEADER: a number for the page's XMLHttpRequest or fetch call that made the load, which the UI
 *   process names back in HYB_CALL_MESSAGE: the URL that answered after redirects (so that the call reads the
 *   page's URL and not the route URL) and, for an XMLHttpRequest's body, how much of it went out (the page's
 *   upload events). Parameters "(tsxxb)": the call's number; the URL that answered, or "" while there is none;
 *   the body's bytes sent and their total (-1: unknown); whether the body went out whole. The UI process sends
 *   it before it answers the load, on the same way as the answer, so the page hears it first. */
#define HYB_BODY_LENGTH_HEADER "Hyb-Body-Length"
#define HYB_CALL_HEADER "Hyb-Call"
#define HYB_CALL_MESSAGE "hyb.call"
#define HYB_CALL_TYPE "(tsxxb)"

/* The loopback route (webengine/LoopbackRoute.h) that carries the application's own documents' web loads, sent
 * with each "hyb.routing" of a view that routes them. Parameters "(qts)": the port; the view's number in the
 * marks; the key of the marks, in hexadecimal. */
#define HYB_LOOPBACK_MESSAGE "hyb.loopback"
#define HYB_LOOPBACK_TYPE "(qts)"
#define HYB_LOOPBACK_MARK_HEADER "Hyb-Load"
/* The body guard's mark on a fetch of the application's document that omits credentials: its load by the loopback
 * route carries no cookie and keeps none (any other load carries none of it to a server). */
#define HYB_CREDENTIALS_HEADER "Hyb-Credentials"
/* Whether the engine's queue is slow (webengine/LoopbackRoute.h), sent to a view with the loopback route when it
 * changes and with the route's "hyb.loopback" while it is (parameters "b"): while it is, the application's own loads
 * take the scheme's road to the UI process. */
#define HYB_ENGINE_CONGESTED_MESSAGE "hyb.engine-congested"

/* What the pages of a view may keep on disk: each origin (as the engine keeps it apart) at most
 * HYB_ORIGIN_STORAGE_BYTES, all of them together at most HYB_TOTAL_STORAGE_BYTES. The engine holds its site
 * storage to them (IndexedDB, the Cache API, local storage: its quota, which the UI process sets), but for the
 * Blobs a page puts into IndexedDB, which its quota does not count: the module counts those (see StorageGuard.c). */
#define HYB_ORIGIN_STORAGE_BYTES (256.0 * 1024 * 1024)
#define HYB_TOTAL_STORAGE_BYTES (1024.0 * 1024 * 1024)

/* What the UI process gives the module as it loads: "(s)", the folder where the engine keeps the pages' data
 * ("" for a context that keeps none), whose files the module counts against those bounds (what earlier runs,
 * other web processes and workers stored). */
#define HYB_MODULE_DATA_TYPE "(s)"

/* The scheme of the engine's own PDF viewer: a PDF document shows in a frame of this scheme that the engine
 * serves itself, in its web process, from files built into it (read nowhere else), and that it loads without a
 * navigation question. The module lets its loads go to the engine; the UI process refuses every navigation
 * question on its origin (a blob: URL of it included), which only the viewer's Save button or a page leading a
 * frame there asks. */
#define HYB_PDF_VIEWER_SCHEME "webkit-pdfjs-viewer"
