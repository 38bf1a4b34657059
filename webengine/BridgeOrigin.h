// Which of a page's requests and navigations are the application's page's own bridge signals.
//
// Only the application's page reaches the bridge: not a frame of another origin (another site the page
// frames, a frame the page led elsewhere, a sandboxed document). The engine cannot say which frame made a
// request, so the request itself is read: its URL and the "Origin" header the engine writes for a document
// of another origin than the URL's.
#pragma once

#include "webengine/EngineClient.h"

#include <optional>
#include <string>

namespace webengine {

// The origin of a URL as an "Origin" header writes it: "scheme://host[:port]", scheme and host in lower
// case, the port only when it is not the scheme's own, brackets around an IPv6 address. Every file URL is of
// one origin, "file://" (the application's pages read each other's files). Nothing for a URL of any other
// scheme (data:, blob:, about:, ...) or without a host: such a document has an origin of its own that no
// URL names.
std::optional<std::string> originOf(const std::string& url);

// Whether a bridge request comes from a document of the page's own origin (`page`, the main frame's URL):
// its URL is of that origin, and every "Origin" header it carries names that origin too (the engine writes
// one for a frame of another site asking the page's origin, "null" for a sandboxed document).
bool isPageOriginsBridgeRequest(const std::string& url, const HeaderList& headers, const std::string& page);

// Whether a navigation of the page (`page`, the main frame's URL) was asked for by a document of its origin,
// as far as its "Referer" header tells: a referrer of another origin was another site's frame. A web page's
// own navigations name it (a frame that wants to hide its origin sends none, and is refused too); file pages
// and pages without an origin send none.
bool isPageOriginsNavigation(const HeaderList& headers, const std::string& page);

// The origin a routed answer names as its reader ("Access-Control-Allow-Origin") when the answer names none:
// nothing, or one origin that the engine then compares with the security origin of the document or worker
// that asked (which no page can forge; a header only narrows what is named). `requestHeaders` are the
// request's, `answeringURL` the URL that answered (after redirects). An asker that names the application's
// file documents ("Origin: file://", the origin of every file page, which only the application's own files
// load as) or their workers of a file script (kLocalRouteOrigin, RouteURL.h) reads it; an asker of the
// answer's own origin reads it, and so does a worker of a script of that origin (of the route origin that
// names it, routeOriginSite); a request that names no asker (the engine's same-origin request, or a
// worker's) names the answer's own origin, so that only a reader of that origin gets it. Any other asker (another site, "null" for a sandboxed or data: document) reads
// another origin's answer only as that answer's own headers let it, and the application's other resources
// (its file systems, its other schemes) not at all.
std::optional<std::string> readerOriginOf(const HeaderList& requestHeaders, const std::string& answeringURL);

// Whether an answer that came from `answeringURL` may go to a request for `requestURL` at all. The engine
// judges who reads an answer by the URL it asked for: an asker of that URL's origin reads it unchecked (the
// engine marks its request "Sec-Fetch-Site: same-origin", a header no page can write), so an answer a
// redirect brought from another origin would be read as the asker's own. Such an answer goes only to a
// request the engine marked as of another site ("cross-site", "same-site"), or, where it marks no site (a
// host that is not secure), whose "Origin" names another origin than the URL's: the engine then checks its
// reader against the one the route names. Any other request gets it only when both URLs are of one origin.
bool mayAnswerFrom(const HeaderList& requestHeaders, const std::string& requestURL, const std::string& answeringURL);

// What cookies a routed load carries, as a browser's network stack would send them for the request the engine
// made, told by what the engine writes on it and no page can ("Origin", "Sec-Fetch-Site", "Sec-Fetch-Mode"):
// - an asker of the application's own documents (their file pages' origin, their file scripts' workers)
//   carries the application's cookies as it did on the phone, SameSite ones included;
// - a request for another origin than its asker's in "cors" mode (or in no mode the engine names) carries none
//   and stores none: a page's fetch and XHR of another origin omit credentials unless they ask for them, which
//   the route cannot tell apart, so it never sends them (an answer the route reads with cookies would be
//   readable through "Access-Control-Allow-Origin: *");
// - any other (its own origin's loads, "no-cors" loads of images, scripts, styles, forms) carries cookies, and
//   SameSite Strict and Lax ones only when it is of the site it asks ("Sec-Fetch-Site" same-origin,
//   same-site or none; else its asker's site, where one is named); a request whose site is named nowhere
//   is taken as of another site.
struct RouteCookies {
    bool carried = false;
    bool sameSite = false;
    // The asker is the application's own document or worker: an answer it reads may be made with cookies.
    bool applications = false;
};
RouteCookies routeCookiesOf(const HeaderList& requestHeaders, const std::string& requestURL);

// Whether the URL's fragment is a bridge signal ("%01" or "%02", which may carry a batch of calls).
bool hasSignalFragment(const std::string& url);

} // namespace webengine
