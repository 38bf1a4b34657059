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

/* Where a URL's authority starts and ends, after "scheme://"; FALSE for a URL without "://". */
static gboolean authority_of(const char* uri, gsize* start, gsize* end)
{
    const char* slashes = strstr(uri, "://");
    if (!slashes)
        return FALSE;
    *start = (gsize)(slashes - uri) + 3;
    *end = *start + strcspn(uri + *start, "/?#");
    return TRUE;
}

/* The user information a URL's authority holds ("user:password", as written), NULL when none. */
static char* userinfo_of(const char* uri)
{
    gsize start = 0, end = 0;
    if (!authority_of(uri, &start, &end))
        return NULL;
    const char* at = g_strrstr_len(uri + start, (gssize)(end - start), "@");
    return at ? g_strndup(uri + start, (gsize)(at - uri) - start) : NULL;
}

char* without_userinfo(const char* uri)
{
    gsize start = 0, end = 0;
    const char* at = authority_of(uri, &start, &end) ? g_strrstr_len(uri + start, (gssize)(end - start), "@") : NULL;
    if (!at)
        return g_strdup(uri);
    char* scheme = g_strndup(uri, start);
    char* result = g_strconcat(scheme, at + 1, NULL);
    g_free(scheme);
    return result;
}

WebLoadRoute route_of_web_load(WebKitWebPage* page, WebKitURIRequest* request, const char* uri)
{
    const Routing* routing = g_object_get_data(G_OBJECT(page), ROUTING_KEY);
    if (!routing)
        return WEB_LOAD_UNHEARD;
    SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request);
    /* Credentials written in the URL name no other host: the rules judge the URL without them. */
    char* judged_uri = without_userinfo(uri);
    const gboolean allowed = hyb_load_rules_allow(routing->rules, judged_uri);
    g_free(judged_uri);
    if (routing->judged && (!allowed || (headers && soup_message_headers_get_one(headers, "vc"))))
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

/* The page's loads in flight through the engine (its own by the loopback route among them) past which its own
 * loads take the scheme's road to the UI process instead: a page's loads the engine holds, a frame of another
 * site's among them, delay every later one (once a frame with thousands of loads at servers that never answer
 * went, the next loads waited a minute), while the scheme's road keeps a share of its own. */
#define ENGINE_BUSY_IN_FLIGHT 1024

#define ENGINE_CONGESTED_KEY "hyb-engine-congested"

gboolean engine_busy(WebKitWebPage* page)
{
    /* The UI process's word that the engine's queue is slow (loads let go at hosts that never answer, of any view). */
    if (g_object_get_data(G_OBJECT(page), ENGINE_CONGESTED_KEY))
        return TRUE;
    const InFlight* counts = in_flight(page);
    return counts->sent > counts->ended && counts->sent - counts->ended >= ENGINE_BUSY_IN_FLIGHT;
}

void take_engine_congested(WebKitWebPage* page, GVariant* parameters)
{
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE_BOOLEAN))
        g_object_set_data(G_OBJECT(page), ENGINE_CONGESTED_KEY, GINT_TO_POINTER(g_variant_get_boolean(parameters)));
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

/* The loopback route (webengine/LoopbackRoute.h): the application's own documents' web loads go, through the
 * engine's own network stack, to an endpoint of the UI process at "http://<the load's origin in hexadecimal, as
 * a route URL's host>.localhost:<port>" and the URL's path and query as written, with a mark that only this
 * module and the UI process can make ("<view>.<nonce>.<HMAC-SHA256 of both under the key>"), each taken once.
 * The engine then keeps what the page sees of the load (its time-out, its redirect and credentials modes, its
 * events, its body of any kind) while the UI process still makes it. */
#define LOOPBACK_KEY "hyb-loopback"
typedef struct {
    guint16 port;
    guint64 view;
    char* key;
} Loopback;

static void free_loopback(gpointer data)
{
    Loopback* loopback = data;
    g_free(loopback->key);
    g_free(loopback);
}

void take_loopback(WebKitWebPage* page, GVariant* parameters)
{
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE(HYB_LOOPBACK_TYPE)))
        return;
    Loopback* loopback = g_new0(Loopback, 1);
    const char* key = NULL;
    g_variant_get(parameters, "(qt&s)", &loopback->port, &loopback->view, &key);
    loopback->key = g_strdup(key);
    g_object_set_data_full(G_OBJECT(page), LOOPBACK_KEY, loopback, free_loopback);
}

gboolean has_loopback(WebKitWebPage* page)
{
    const Loopback* loopback = g_object_get_data(G_OBJECT(page), LOOPBACK_KEY);
    return loopback && loopback->port && loopback->key && *loopback->key;
}

char* loopback_url_of(WebKitWebPage* page, const char* uri)
{
    const Loopback* loopback = g_object_get_data(G_OBJECT(page), LOOPBACK_KEY);
    gsize start = 0, end = 0;
    if (!loopback || !is_web_url(uri) || !authority_of(uri, &start, &end))
        return NULL;
    const char* at = g_strrstr_len(uri + start, (gssize)(end - start), "@");
    const gsize host_start = at ? (gsize)(at - uri) + 1 : start;
    char* scheme = g_strndup(uri, start);
    char* authority = g_strndup(uri + host_start, end - host_start);
    char* origin_url = g_strconcat(scheme, authority, NULL);
    char* host = route_host(origin_url);
    char* result = NULL;
    if (strcmp(host, "load") != 0 && strlen(host) + strlen(".localhost") <= 253) {
        const char* rest = uri + end;
        const gsize rest_length = strcspn(rest, "#");
        result = g_strdup_printf("http://%s.localhost:%u%s%.*s", host, (unsigned)loopback->port, rest_length == 0 || rest[0] == '?' ? "/" : "",
                                 (int)rest_length, rest);
    }
    g_free(host);
    g_free(origin_url);
    g_free(authority);
    g_free(scheme);
    return result;
}

void carry_userinfo(const char* uri, SoupMessageHeaders* headers)
{
    char* userinfo = headers && !soup_message_headers_get_one(headers, "Authorization") ? userinfo_of(uri) : NULL;
    if (!userinfo)
        return;
    char* decoded = g_uri_unescape_string(userinfo, NULL);
    if (decoded) {
        char* encoded = g_base64_encode((const guchar*)decoded, strlen(decoded));
        char* value = g_strconcat("Basic ", encoded, NULL);
        soup_message_headers_replace(headers, "Authorization", value);
        g_free(value);
        g_free(encoded);
        g_free(decoded);
    }
    g_free(userinfo);
}

char* original_of_loopback(WebKitWebPage* page, const char* uri)
{
    const Loopback* loopback = g_object_get_data(G_OBJECT(page), LOOPBACK_KEY);
    if (!loopback || g_ascii_strncasecmp(uri, "http://", 7) != 0)
        return NULL;
    gsize start = 0, end = 0;
    if (!authority_of(uri, &start, &end))
        return NULL;
    char* suffix = g_strdup_printf(".localhost:%u", (unsigned)loopback->port);
    const gsize suffix_length = strlen(suffix);
    const gsize host_start = start;
    char* result = NULL;
    if (end > host_start + suffix_length && g_ascii_strncasecmp(uri + end - suffix_length, suffix, suffix_length) == 0) {
        /* The host's hexadecimal digits (labels joined by "."), two to a character of the origin. */
        GString* origin = g_string_new(NULL);
        gboolean valid = TRUE;
        int high = -1;
        for (gsize i = host_start; i < end - suffix_length && valid; i++) {
            if (uri[i] == '.')
                continue;
            const int digit = g_ascii_xdigit_value(uri[i]);
            if (digit < 0) {
                valid = FALSE;
            } else if (high < 0) {
                high = digit;
            } else {
                const char c = (char)(high * 16 + digit);
                valid = c > ' ' && c < 0x7f;
                g_string_append_c(origin, c);
                high = -1;
            }
        }
        const char* slashes = valid && high < 0 ? strstr(origin->str, "://") : NULL;
        /* An origin only: a host and a port after the scheme, nothing a URL reads as more. */
        if (slashes && (g_str_has_prefix(origin->str, "http://") || g_str_has_prefix(origin->str, "https://"))
            && slashes[3] && strcspn(slashes + 3, "/?#@\\") == strlen(slashes + 3)) {
            result = g_strconcat(origin->str, uri + end, NULL);
        }
        g_string_free(origin, TRUE);
    }
    g_free(suffix);
    return result;
}

void mark_loopback_load(WebKitWebPage* page, SoupMessageHeaders* headers)
{
    const Loopback* loopback = g_object_get_data(G_OBJECT(page), LOOPBACK_KEY);
    if (!loopback || !headers)
        return;
    guint8 bytes[16];
    if (!random_bytes(bytes, sizeof bytes))
        return; /* no mark: the endpoint refuses the load */
    char nonce[sizeof bytes * 2 + 1];
    for (gsize i = 0; i < sizeof bytes; i++)
        g_snprintf(nonce + i * 2, 3, "%02x", bytes[i]);
    char* named = g_strdup_printf("%" G_GUINT64_FORMAT ".%s", loopback->view, nonce);
    char* mac = g_compute_hmac_for_string(G_CHECKSUM_SHA256, (const guchar*)loopback->key, strlen(loopback->key), named, -1);
    char* mark = g_strconcat(named, ".", mac, NULL);
    soup_message_headers_replace(headers, HYB_LOOPBACK_MARK_HEADER, mark);
    g_free(mark);
    g_free(mac);
    g_free(named);
}
