/* Which loads of a page go to the UI process, and the route URLs they go to.
 *
 * A load goes to the UI process only when the application has to answer it: the bridge path, a file or any
 * scheme but the web's (the application's file systems, its photo library, its other protocols), a web load
 * the whitelist refuses (or a request naming a view controller, "vc", in a view the whitelist judges), and
 * the web loads the application's own documents and their workers make (its file pages, whose cross-origin
 * requests the phone's web view answered without CORS). Every other load goes out unrouted through the
 * engine's own network stack, with its cookie jar, credentials modes, SameSite, CORS, redirects and caching.
 * What the engine keeps itself stays with it: data:, blob:, about:, javascript: and its PDF viewer's files
 * (HYB_PDF_VIEWER_SCHEME).
 *
 * The UI process says how a page's view routes in a "hyb.routing" message, sent before each navigation it
 * allows: whether the view shows foreign pages (the in-app browser's, the payment road's, a sign-in page:
 * none of its documents is the application's) and the whitelist's rules for its web loads, if any judge
 * them (LoadRules.h). Until a page has heard, every load goes to the UI process, which decides each.
 *
 * The engine does not say which frame asks for a load, so in a page of the application's a load counts as
 * its own documents' unless the engine's own marks on the request (which no page can set) say that a web
 * document asked: a "Referer" (file documents send none), an "Origin" other than the file pages' or their
 * workers', or a "Sec-Fetch-Site" of "same-origin" or "same-site" (a file document is of no web site). A
 * frame of another site in the application's page thus loads unrouted, and cannot fill the view's share of
 * the UI process's loads, unless it hides its referrer and asks another site in no-cors mode. */
#include "webprocess/BridgePath.h"
#include "webprocess/LoadRules.h"
#include "webprocess/Messages.h"
#include "webprocess/RequestHook.h"

#include <string.h>

#define MAX_PENDING_NAVIGATIONS 64

char* without_fragment(const char* uri)
{
    const char* hash = strchr(uri, '#');
    return hash ? g_strndup(uri, (gsize)(hash - uri)) : g_strdup(uri);
}

gboolean take_pending_navigation(GQueue* pending, const char* uri)
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

void add_pending_navigation(GQueue* pending, const char* uri)
{
    g_queue_push_tail(pending, without_fragment(uri));
    while (g_queue_get_length(pending) > MAX_PENDING_NAVIGATIONS)
        g_free(g_queue_pop_head(pending));
}

/* Schemes the page's own engine keeps: in-memory or script-made resources, and its PDF viewer's files, which it
 * serves itself (Messages.h). */
gboolean stays_local(const char* uri)
{
    static const char* const schemes[] = {"data:", "blob:", "about:", "javascript:", HYB_PDF_VIEWER_SCHEME ":"};
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
char* route_host(const char* uri)
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

static void free_routing(gpointer data)
{
    Routing* routing = data;
    hyb_load_rules_free(routing->rules);
    g_free(routing);
}

/* Reads a "hyb.routing" message's parameters, "(bba(msmsxms)b)": foreign view, judged by a whitelist, its
 * patterns, whether entries of the default scheme open their host to both web schemes. */
void take_routing(WebKitWebPage* page, GVariant* parameters)
{
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE(HYB_ROUTING_TYPE)))
        return;
    Routing* routing = g_new0(Routing, 1);
    GVariant* patterns = NULL;
    gboolean opens_hosts = FALSE;
    g_variant_get(parameters, "(bb@a(msmsxms)b)", &routing->foreign, &routing->judged, &patterns, &opens_hosts);
    if (routing->judged) {
        const gsize count = g_variant_n_children(patterns);
        HybRulePattern* list = g_new0(HybRulePattern, count ? count : 1);
        for (gsize i = 0; i < count; i++) {
            gint64 port = -1;
            g_variant_get_child(patterns, i, "(m&sm&sxm&s)", &list[i].scheme, &list[i].host, &port, &list[i].path);
            list[i].port = port;
        }
        routing->rules = hyb_load_rules_new(list, count, opens_hosts);
        g_free(list);
    }
    g_variant_unref(patterns);
    g_object_set_data_full(G_OBJECT(page), ROUTING_KEY, routing, free_routing);
}

gboolean is_web_url(const char* uri)
{
    return g_ascii_strncasecmp(uri, "http:", 5) == 0 || g_ascii_strncasecmp(uri, "https:", 6) == 0;
}

/* Whether the engine's marks on a request of a page of the application's say that a web document asked. */
static gboolean asked_by_web_document(SoupMessageHeaders* headers)
{
    if (!headers)
        return FALSE;
    if (soup_message_headers_get_one(headers, "Referer"))
        return TRUE;
    const char* site = soup_message_headers_get_list(headers, "Sec-Fetch-Site");
    if (site && (g_ascii_strcasecmp(site, "same-origin") == 0 || g_ascii_strcasecmp(site, "same-site") == 0))
        return TRUE;
    const char* origin = soup_message_headers_get_list(headers, "Origin");
    return origin && g_ascii_strcasecmp(origin, "file://") != 0 && g_ascii_strcasecmp(origin, LOCAL_ROUTE_ORIGIN) != 0;
}

WebLoadRoute route_of_web_load(WebKitWebPage* page, WebKitURIRequest* request, const char* uri)
{
    const Routing* routing = g_object_get_data(G_OBJECT(page), ROUTING_KEY);
    if (!routing)
        return WEB_LOAD_UNHEARD;
    SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request);
    if (routing->judged && (!hyb_load_rules_allow(routing->rules, uri) || (headers && soup_message_headers_get_one(headers, "vc"))))
        return WEB_LOAD_JUDGED;
    if (routing->foreign)
        return WEB_LOAD_UNROUTED;
    const char* page_uri = webkit_web_page_get_uri(page);
    if (!page_uri || g_ascii_strncasecmp(page_uri, "file:", 5) != 0)
        return WEB_LOAD_UNROUTED; /* a web page's loads are its own */
    return asked_by_web_document(headers) ? WEB_LOAD_UNROUTED : WEB_LOAD_OWN;
}

/* Whether a redirect of a load that went out unrouted (the UI process follows its own loads' redirects) may
 * go on: only to the web, never to the bridge path (which a page's own request alone reaches), and where a
 * whitelist judges the view's loads, only where it surely allows. */
gboolean redirect_goes_on(WebKitWebPage* page, const char* uri)
{
    if (!is_web_url(uri) || hyb_url_has_bridge_path(uri))
        return FALSE;
    const Routing* routing = g_object_get_data(G_OBJECT(page), ROUTING_KEY);
    return !routing || !routing->judged || hyb_load_rules_allow(routing->rules, uri);
}

/* The local route URL of a file URL ("file://[localhost]/path[?query]"): the path and query as written, so
 * that a worker started from it resolves its relative URLs to the files beside its script. NULL for a file
 * URL of another host. */
char* local_route_of(const char* uri)
{
    GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_ENCODED, NULL);
    if (!parsed)
        return NULL;
    const char* host = g_uri_get_host(parsed);
    const char* path = g_uri_get_path(parsed);
    const char* query = g_uri_get_query(parsed);
    char* route = NULL;
    if ((!host || !*host || g_ascii_strcasecmp(host, "localhost") == 0) && path && path[0] == '/' && path[1] != '/')
        route = g_strconcat(LOCAL_ROUTE_PREFIX, path, query ? "?" : "", query ? query : "", NULL);
    g_uri_unref(parsed);
    return route;
}

/* Whether the URL is a local route URL of the path form, which names a file as its file URL would. */
gboolean is_local_route_of_file(const char* uri)
{
    return g_str_has_prefix(uri, LOCAL_ROUTE_PREFIX "/") && !g_str_has_prefix(uri, LOCAL_ROUTE_PREFIX "//");
}

/* The web loads of a page that may be in flight through the engine at once. Its network stack runs a few of
 * them at a time at each host and keeps the rest waiting in its own queue, in order, as a browser does: a page
 * of a few thousand images loads whole, and what waits there costs little. Letting a page's loads go costs the
 * engine more than their count, though: once a frame with 8,192 loads at servers that never answer went, the
 * next frame's loads waited over a minute (with 4,096, seconds). Past this bound, far more than any page asks
 * for at once, one more fails at once, and the UI process is told so once. */
#define MAX_UNROUTED_IN_FLIGHT 4096

/* Counts a web load the page lets go unrouted (not a redirect, which is the same load). */
void count_unrouted(WebKitWebPage* page, const char* uri)
{
    if (is_web_url(uri))
        in_flight(page)->sent++;
}

gboolean in_flight_bound_reached(WebKitWebPage* page)
{
    InFlight* counts = in_flight(page);
    if (counts->sent <= counts->ended || counts->sent - counts->ended < MAX_UNROUTED_IN_FLIGHT)
        return FALSE;
    if (!counts->refusal_told) {
        counts->refusal_told = TRUE;
        webkit_web_page_send_message_to_view(page, webkit_user_message_new(HYB_LOADS_REFUSED_MESSAGE, g_variant_new_uint64(MAX_UNROUTED_IN_FLIGHT)),
                                             NULL, NULL, NULL);
    }
    return TRUE;
}
