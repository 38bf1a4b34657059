#include "webengine/BridgeOrigin.h"

#include "platform/net/PublicSuffix.h"
#include "platform/text/URL.h"
#include "webengine/RouteURL.h"

#include <glib.h>

#include <algorithm>

namespace webengine {

namespace {

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return g_ascii_tolower(c); });
    return text;
}

} // namespace

std::optional<std::string> originOf(const std::string& url)
{
    std::optional<platform::URL> parsed = platform::URL::fromString(url);
    if (!parsed)
        return std::nullopt;
    if (parsed->isFileURL())
        return std::string("file://");
    const std::string scheme = lowered(parsed->scheme());
    if ((scheme != "http" && scheme != "https") || !parsed->host() || parsed->host()->empty())
        return std::nullopt;
    const std::string host = lowered(*parsed->host());
    std::string origin = scheme + "://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host);
    const int ownPort = scheme == "https" ? 443 : 80;
    if (parsed->port() && *parsed->port() != ownPort)
        origin += ":" + std::to_string(*parsed->port());
    return origin;
}

bool isPageOriginsBridgeRequest(const std::string& url, const HeaderList& headers, const std::string& page)
{
    const std::optional<std::string> pageOrigin = originOf(page);
    if (!pageOrigin || originOf(url) != pageOrigin)
        return false;
    for (const auto& [name, value] : headers) {
        if (g_ascii_strcasecmp(name.c_str(), "Origin") != 0)
            continue;
        if (g_ascii_strcasecmp(value.c_str(), pageOrigin->c_str()) != 0)
            return false;
    }
    return true;
}

bool isPageOriginsNavigation(const HeaderList& headers, const std::string& page)
{
    const std::optional<std::string> pageOrigin = originOf(page);
    bool named = false;
    for (const auto& [name, value] : headers) {
        if (g_ascii_strcasecmp(name.c_str(), "Referer") != 0)
            continue;
        if (!pageOrigin || originOf(value) != pageOrigin)
            return false;
        named = true;
    }
    return named || !pageOrigin || *pageOrigin == "file://";
}

std::optional<std::string> readerOriginOf(const HeaderList& requestHeaders, const std::string& answeringURL)
{
    // The application's own resources (its files, file systems and other schemes) are of its file pages'
    // origin: only a document or worker of a local origin can ask for them (the engine refuses the rest).
    std::optional<std::string> own = originOf(answeringURL);
    const std::string scheme = answeringURL.substr(0, answeringURL.find(':'));
    if (!own && g_ascii_strcasecmp(scheme.c_str(), "http") != 0 && g_ascii_strcasecmp(scheme.c_str(), "https") != 0)
        own = std::string("file://");
    std::optional<std::string> asker;
    for (const auto& [name, value] : requestHeaders) {
        if (g_ascii_strcasecmp(name.c_str(), "Origin") != 0)
            continue;
        if (asker && g_ascii_strcasecmp(asker->c_str(), value.c_str()) != 0)
            return std::nullopt; // two askers: neither is believed
        asker = value;
    }
    if (!asker)
        return own;
    if (g_ascii_strcasecmp(asker->c_str(), "file://") == 0 || g_ascii_strcasecmp(asker->c_str(), kLocalRouteOrigin) == 0)
        return *asker;
    if (own && g_ascii_strcasecmp(asker->c_str(), own->c_str()) == 0)
        return own;
    // A worker of a web page's script, of its site's route origin: as that site.
    if (const std::optional<std::string> site = routeOriginSite(*asker); site && own && g_ascii_strcasecmp(site->c_str(), own->c_str()) == 0)
        return asker;
    return std::nullopt;
}

bool mayAnswerFrom(const HeaderList& requestHeaders, const std::string& requestURL, const std::string& answeringURL)
{
    if (answeringURL == requestURL)
        return true;
    const std::optional<std::string> asked = originOf(requestURL);
    if (asked && asked == originOf(answeringURL))
        return true;
    std::optional<std::string> site;
    std::optional<std::string> asker;
    for (const auto& [name, value] : requestHeaders) {
        const bool isSite = g_ascii_strcasecmp(name.c_str(), "Sec-Fetch-Site") == 0;
        if (!isSite && g_ascii_strcasecmp(name.c_str(), "Origin") != 0)
            continue;
        std::optional<std::string>& mark = isSite ? site : asker;
        if (mark && g_ascii_strcasecmp(mark->c_str(), value.c_str()) != 0)
            return false; // two marks: neither is believed
        mark = value;
    }
    if (site)
        return g_ascii_strcasecmp(site->c_str(), "cross-site") == 0 || g_ascii_strcasecmp(site->c_str(), "same-site") == 0;
    // (The engine marks the site of requests to secure hosts only.) An asker of another origin than the URL's.
    return asker && !asker->empty() && (!asked || g_ascii_strcasecmp(asker->c_str(), asked->c_str()) != 0);
}

RouteCookies routeCookiesOf(const HeaderList& requestHeaders, const std::string& requestURL)
{
    std::optional<std::string> asker;
    std::optional<std::string> site;
    std::optional<std::string> mode;
    for (const auto& [name, value] : requestHeaders) {
        std::optional<std::string>* mark = nullptr;
        if (g_ascii_strcasecmp(name.c_str(), "Origin") == 0)
            mark = &asker;
        else if (g_ascii_strcasecmp(name.c_str(), "Sec-Fetch-Site") == 0)
            mark = &site;
        else if (g_ascii_strcasecmp(name.c_str(), "Sec-Fetch-Mode") == 0)
            mark = &mode;
        if (!mark)
            continue;
        if (*mark && g_ascii_strcasecmp((*mark)->c_str(), value.c_str()) != 0)
            return {}; // two marks: neither is believed, and nothing is carried
        *mark = lowered(value);
    }
    RouteCookies cookies;
    if (asker && (*asker == "file://" || *asker == kLocalRouteOrigin)) {
        cookies.carried = cookies.sameSite = cookies.applications = true;
        return cookies;
    }
    const std::optional<std::string> target = originOf(requestURL);
    // A worker of a web page's script asks as its site.
    if (asker) {
        if (const std::optional<std::string> routed = routeOriginSite(*asker))
            asker = lowered(*routed);
    }
    const bool ofAnotherOrigin = asker && (!target || *asker != *target);
    if (ofAnotherOrigin && mode != "no-cors" && mode != "navigate")
        return cookies;
    cookies.carried = true;
    if (site) {
        cookies.sameSite = *site == "same-origin" || *site == "same-site" || *site == "none";
    } else if (asker && target) {
        const std::optional<platform::URL> askerURL = platform::URL::fromString(*asker);
        const std::optional<platform::URL> targetURL = platform::URL::fromString(requestURL);
        cookies.sameSite = askerURL && targetURL && askerURL->host() && targetURL->host() &&
                           askerURL->scheme() == lowered(targetURL->scheme()) &&
                           platform::PublicSuffix::siteOf(*askerURL->host()) == platform::PublicSuffix::siteOf(*targetURL->host());
    }
    return cookies;
}

bool hasSignalFragment(const std::string& url)
{
    const auto hash = url.find('#');
    return hash != std::string::npos && (url.compare(hash + 1, 3, "%01") == 0 || url.compare(hash + 1, 3, "%02") == 0);
}

} // namespace webengine
