// The engine's cookie jar bounded as the application's own store is (platform::HTTPCookieStorage): a site
// (PublicSuffix::siteOf of a cookie's domain) keeps at most kMaxCookiesPerSite, beyond which it loses its own oldest,
// never another site's; all sites together keep at most kMaxCookies, beyond which the site that keeps the most loses
// its oldest. The engine sets no bound of its own, and a page (or a response) may set cookies until the disk is full.
//
// The jar lives in the engine's network process, out of this process's reach but through the cookie manager: each
// change the jar reports schedules one pass (coalesced: changes made while a pass is waiting or running give one
// more pass after it), which reads every cookie and deletes those past the bounds. A pass costs time linear in the
// jar's cookies (with a sort), whatever the number of changes that led to it. "Oldest" is the order in which passes
// first saw the cookies (the engine names no cookie's creation time); among those first seen in the same pass, the
// one that expires first.
//
// Between passes the jar may hold what a page set since the last one (a pass follows each change within
// kPassDelay); what lasts on disk is bounded.
//
// Main thread only. Once installed, a bound lives as long as its context.
#pragma once

#include "platform/net/HTTPCookieStorage.h"

#include <chrono>
#include <cstddef>

typedef struct _WebKitWebContext WebKitWebContext;

namespace webengine {

class CookieJarBound {
public:
    static constexpr std::size_t kMaxCookies = platform::HTTPCookieStorage::kMaxCookies;
    static constexpr std::size_t kMaxCookiesPerSite = platform::HTTPCookieStorage::kMaxCookiesPerSite;
    static constexpr std::chrono::milliseconds kPassDelay{50};

    // Bounds `context`'s jar from now on (and prunes it once now: what an earlier run left).
    static void install(WebKitWebContext* context);
};

} // namespace webengine
