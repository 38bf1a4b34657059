// The URLs by which the web process hands a page's sub-resource loads back to the UI process.
//
// The module in the web process (webprocess/RequestHook.c, LoadRouting.c) rewrites each sub-resource request the
// application answers to "hybroute://load/?" followed by the original URL, escaped (a file URL to a local
// route URL of its path). A page can also write such a URL itself (the module then sends it on as
// "hybroute://refused/", which names no load, but for a local route URL of a file, which only documents of a
// local origin can ask for and which names what the file URL names), so the text is outside input: anything
// malformed gives no URL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace webengine {

inline constexpr const char* kRouteScheme = "hybroute";
// A web load's route URL names the load's origin in its host instead of "load": "hybroute://<hex>/?...", the
// origin's text in hexadecimal, in labels of at most 62 digits joined by ".". A worker started from a web
// page's script is of its script's route URL's origin, which so names the page's site (routeOriginSite).
inline constexpr std::string_view kRoutePrefix = "hybroute://load/?";
// A file load: a scheme of local origin, as file URLs are, followed by the file URL's path (and query) as
// written: "hybroute-local://load/<path>". A worker started from a file script (which only the application's
// file pages can start) is of its script's route URL's origin: local, and the application's own
// (kLocalRouteOrigin); a relative URL it asks for resolves to the route URL of the file beside its script.
inline constexpr const char* kLocalRouteScheme = "hybroute-local";
inline constexpr std::string_view kLocalRoutePrefix = "hybroute-local://load";
inline constexpr const char* kLocalRouteOrigin = "hybroute-local://load";
// A bridge request of the page (path "/!hyb_exec"): the UI process hands it to the bridge and answers it
// itself, loading nothing.
inline constexpr std::string_view kBridgeRoutePrefix = "hybroute://exec/?";

// The original URL carried by a route URL ("load" or an origin in hexadecimal as its host), or nothing when
// the text is not one (wrong prefix, bad escapes, an empty or NUL-bearing original, or an original without a
// scheme).
std::optional<std::string> originalURLFromRoute(std::string_view routeURL);
// The site ("scheme://host[:port]") a route URL's origin names ("hybroute://<hex>", as an "Origin" header
// writes it), or nothing for any other text.
std::optional<std::string> routeOriginSite(std::string_view origin);
// The file URL a file load's route URL (kLocalRoutePrefix) names: "file://" and its absolute path (and query)
// as written; nothing for any other text (a relative or empty path, one starting "//", a NUL or a fragment).
std::optional<std::string> originalURLFromLocalRoute(std::string_view routeURL);
// The same for a bridge request's route URL (kBridgeRoutePrefix).
std::optional<std::string> originalURLFromBridgeRoute(std::string_view routeURL);

// The loopback route (LoopbackRoute.h): a web load of the application's own documents goes to
// "http://<its origin in hexadecimal, as a route URL's host>.localhost:<port>" and its path and query as written.
// The loopback URL of a web URL (http or https, any text after its authority kept as written; a fragment
// dropped), or nothing for any other text or an origin too long for a host name.
std::optional<std::string> loopbackURLFor(std::string_view url, std::uint16_t port);
// The origin a loopback request's "Host" names ("<hex>.localhost:<port>", this port only), or nothing.
std::optional<std::string> originOfLoopbackHost(std::string_view host, std::uint16_t port);

// The route URL for an original URL (what the web-process module writes).
std::string routeURLForOriginal(std::string_view originalURL);

} // namespace webengine
