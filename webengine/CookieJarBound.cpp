#include "webengine/CookieJarBound.h"

#include "webengine/CoalescedPass.h"

#include "platform/net/PublicSuffix.h"

#include <webkit2/webkit2.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace webengine {

namespace {

// A cookie's identity in the jar: its domain, path and name.
using CookieKey = std::tuple<std::string, std::string, std::string>;

CookieKey keyOf(SoupCookie* cookie)
{
    const char* domain = soup_cookie_get_domain(cookie);
    const char* path = soup_cookie_get_path(cookie);
    const char* name = soup_cookie_get_name(cookie);
    return {domain ? domain : "", path ? path : "", name ? name : ""};
}

void onAllCookies(GObject* source, GAsyncResult* result, gpointer data);

struct Bound {
    explicit Bound(WebKitCookieManager* jar)
        : manager(jar), pass(CookieJarBound::kPassDelay, [this] { webkit_cookie_manager_get_all_cookies(manager, nullptr, onAllCookies, this); })
    {
    }
    WebKitCookieManager* manager;
    CoalescedPass pass;
    // When passes first saw each cookie of the jar (the cookies of the last pass only).
    std::map<CookieKey, std::uint64_t> firstSeen;
    std::uint64_t nextSeen = 0;
};

struct Kept {
    SoupCookie* cookie;
    std::uint64_t seen;
    gint64 expires; // in microseconds; G_MAXINT64 for a cookie of the session
};

bool older(const Kept& a, const Kept& b)
{
    return a.seen != b.seen ? a.seen < b.seen : a.expires < b.expires;
}

void prune(Bound& bound, GList* cookies)
{
    std::map<CookieKey, std::uint64_t> seen;
    std::map<std::string, std::vector<Kept>> sites;
    std::size_t total = 0;
    for (GList* item = cookies; item; item = item->next) {
        auto* cookie = static_cast<SoupCookie*>(item->data);
        CookieKey key = keyOf(cookie);
        auto known = bound.firstSeen.find(key);
        const std::uint64_t when = known != bound.firstSeen.end() ? known->second : bound.nextSeen;
        seen.emplace(key, when);
        std::string host = std::get<0>(key);
        if (!host.empty() && host.front() == '.')
            host.erase(0, 1);
        GDateTime* expiry = soup_cookie_get_expires(cookie);
        const gint64 expires = expiry ? g_date_time_to_unix(expiry) * G_USEC_PER_SEC + g_date_time_get_microsecond(expiry) : G_MAXINT64;
        sites[platform::PublicSuffix::siteOf(host)].push_back({cookie, when, expires});
        ++total;
    }
    ++bound.nextSeen;
    bound.firstSeen = std::move(seen);

    std::vector<SoupCookie*> doomed;
    // Each site its own share, newest kept.
    for (auto& [site, kept] : sites) {
        std::stable_sort(kept.begin(), kept.end(), older);
        if (kept.size() <= CookieJarBound::kMaxCookiesPerSite)
            continue;
        const std::size_t excess = kept.size() - CookieJarBound::kMaxCookiesPerSite;
        for (std::size_t i = 0; i < excess; ++i)
            doomed.push_back(kept[i].cookie);
        kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(excess));
        total -= excess;
    }
    // All of them: the site that keeps the most loses its oldest, one at a time.
    if (total > CookieJarBound::kMaxCookies) {
        std::vector<std::pair<std::vector<Kept>*, std::size_t>> heap; // a site's cookies, the first still kept
        for (auto& [site, kept] : sites)
            heap.emplace_back(&kept, 0);
        auto fewer = [](const auto& a, const auto& b) { return a.first->size() - a.second < b.first->size() - b.second; };
        std::make_heap(heap.begin(), heap.end(), fewer);
        while (total > CookieJarBound::kMaxCookies) {
            std::pop_heap(heap.begin(), heap.end(), fewer);
            auto& most = heap.back();
            doomed.push_back((*most.first)[most.second++].cookie);
            --total;
            std::push_heap(heap.begin(), heap.end(), fewer);
        }
    }
    for (SoupCookie* cookie : doomed) {
        bound.firstSeen.erase(keyOf(cookie));
        webkit_cookie_manager_delete_cookie(bound.manager, cookie, nullptr, nullptr, nullptr);
    }
}

void onAllCookies(GObject* source, GAsyncResult* result, gpointer data)
{
    auto& bound = *static_cast<Bound*>(data);
    GError* error = nullptr;
    GList* cookies = webkit_cookie_manager_get_all_cookies_finish(WEBKIT_COOKIE_MANAGER(source), result, &error);
    if (error)
        g_error_free(error);
    else
        prune(bound, cookies);
    g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
    bound.pass.finished();
}

void onJarChanged(WebKitCookieManager*, gpointer data)
{
    static_cast<Bound*>(data)->pass.changed();
}

} // namespace

void CookieJarBound::install(WebKitWebContext* context)
{
    // Lives as long as the context (contexts last until the process ends).
    auto* bound = new Bound(webkit_web_context_get_cookie_manager(context));
    g_object_set_data_full(G_OBJECT(context), "hyb-cookie-jar-bound", bound, [](gpointer data) { delete static_cast<Bound*>(data); });
    g_signal_connect(bound->manager, "changed", G_CALLBACK(onJarChanged), bound);
    bound->pass.changed();
}

} // namespace webengine
