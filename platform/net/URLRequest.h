// A URL request: what a connection or a URL protocol loads. A plain value; copying copies (the body
// stream, when there is one, is shared between copies, as one stream can only be read once).
//
// Header setters refuse header injection (CR, LF or NUL in a name or value) with an error and leave the
// request unchanged; see HTTPHeaderFields.
#pragma once

#include "platform/core/Value.h"
#include "platform/files/InputStream.h"
#include "platform/net/HTTPCookie.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/text/URL.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class HTTPCookieStorage;
enum class URLRequestCachePolicy {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReturnCacheDataElseLoad = 2,
    ReturnCacheDataDontLoad = 3,
};

class URLRequest {
public:
    static constexpr double kDefaultTimeoutInterval = 60.0;

    URLRequest() = default;
    explicit URLRequest(URL url, URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy,
                        double timeoutInterval = kDefaultTimeoutInterval);
    // From text; text that is not a URL gives a request without a URL, whose load fails with
    // kURLErrorBadURL.
    explicit URLRequest(std::string_view urlText, URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy,
                        double timeoutInterval = kDefaultTimeoutInterval);

    const std::optional<URL>& url() const { return m_url; }
    void setURL(std::optional<URL> url) { m_url = std::move(url); }
    // The URL's absolute string, or "" when there is no URL.
    std::string urlString() const { return m_url ? m_url->absoluteString() : std::string(); }
    // The scheme of the URL in lower case ("" when there is no URL).
    std::string scheme() const;

    // "GET" unless set.
    const std::string& httpMethod() const { return m_method; }
    void setHTTPMethod(std::string method) { m_method = std::move(method); }

    const HTTPHeaderFields& allHTTPHeaderFields() const { return m_headers; }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const { return m_headers.value(name); }
    [[nodiscard]] Status setValue(std::string_view value, std::string_view name) { return m_headers.setValue(name, value); }
    [[nodiscard]] Status addValue(std::string_view value, std::string_view name) { return m_headers.addValue(name, value); }
    bool removeValue(std::string_view name) { return m_headers.remove(name); }
    void clearHTTPHeaderFields() { m_headers.clear(); }

    // The body is either bytes or a stream; setting one clears the other.
    const std::optional<Bytes>& httpBody() const { return m_body; }
    void setHTTPBody(Bytes body);
    void setHTTPBody(std::string_view body);
    const std::shared_ptr<InputStream>& httpBodyStream() const { return m_bodyStream; }
    void setHTTPBodyStream(std::shared_ptr<InputStream> stream);
    // A body found only when the request goes out over HTTP (a URL protocol or a file takes none, so nothing
    // reads it for them): URLConnection runs the source on the URL-loading thread, once, just before it hands
    // the request to the transport; the source hands the body over, from any thread, through `ready` (bytes,
    // a stream, or neither for none). Unset: the body is the one set.
    // A stream whose length is known (`streamLength`, else -1) goes out with that "Content-Length" (and fails if
    // it gives more or fewer bytes); one of unknown length goes out in chunks.
    struct FoundBody {
        std::optional<Bytes> bytes;
        std::shared_ptr<InputStream> stream;
        std::int64_t streamLength = -1;
    };
    using BodySource = std::function<void(std::function<void(FoundBody)> ready)>;
    const BodySource& httpBodySource() const { return m_bodySource; }
    void setHTTPBodySource(BodySource source) { m_bodySource = std::move(source); }

    // Seconds without progress after which the load fails with kURLErrorTimedOut.
    double timeoutInterval() const { return m_timeoutInterval; }
    void setTimeoutInterval(double seconds) { m_timeoutInterval = seconds; }
    // Whether the time-out bounds the whole load, from its start to its end, and not only idle time (a
    // reply that trickles in keeps an idle time-out from ever firing). Off unless set.
    bool timeoutBoundsWholeLoad() const { return m_timeoutBoundsWholeLoad; }
    void setTimeoutBoundsWholeLoad(bool b) { m_timeoutBoundsWholeLoad = b; }
    // Whether the transport may send the request a second time by itself: a request sent on a kept-alive
    // connection that the server closed before answering is otherwise sent again on a new one. When
    // not, the request goes out on a connection of its own and such a failure is the caller's to judge
    // (for a request that must not arrive twice). Unless set, only a request of a safe method (GET, HEAD,
    // OPTIONS, TRACE: one that changes nothing on the server) may be sent again; a POST, PUT, PATCH,
    // DELETE or any other method is sent once, whoever builds it: it follows no redirect that would send it
    // again (a 307 or 308, any redirect of a method other than POST), whose reply is then its response.
    bool transportMayResend() const;
    void setTransportMayResend(bool b) { m_transportMayResend = b; }

    URLRequestCachePolicy cachePolicy() const { return m_cachePolicy; }
    void setCachePolicy(URLRequestCachePolicy p) { m_cachePolicy = p; }

    // Whether the cookie storage adds cookies to the request and takes those of the reply.
    bool httpShouldHandleCookies() const { return m_shouldHandleCookies; }
    void setHTTPShouldHandleCookies(bool b) { m_shouldHandleCookies = b; }
    // Which storage: the shared one unless set (a store that lives as long as the process, such as
    // HTTPCookieStorage::forForeignContent()).
    HTTPCookieStorage* httpCookieStorage() const { return m_cookieStorage; }
    void setHTTPCookieStorage(HTTPCookieStorage* storage) { m_cookieStorage = storage; }
    // How the request relates to the site that makes it: a request of another site carries and stores no
    // SameSite Strict or Lax cookie.
    HTTPCookieSiteContext cookieSiteContext() const { return m_cookieSiteContext; }
    void setCookieSiteContext(HTTPCookieSiteContext context) { m_cookieSiteContext = context; }

    // The URL of the page the load is for; it decides the OnlyFromMainDocumentDomain cookie policy.
    const std::optional<URL>& mainDocumentURL() const { return m_mainDocumentURL; }
    void setMainDocumentURL(std::optional<URL> url) { m_mainDocumentURL = std::move(url); }

    // The web view whose page made the request (WebView::identifier()), 0 for a request no page made. The
    // engines set it, from what they know of the request's page (a page cannot name another view here);
    // native code sets it on a top-level load it makes for a page (the real engine then loads the page's
    // choice, not the application's document).
    std::uint64_t webViewIdentifier() const { return m_webViewIdentifier; }
    void setWebViewIdentifier(std::uint64_t identifier) { m_webViewIdentifier = identifier; }

    // Set by the engines on a navigation question that only changes the fragment of the page's main document
    // (the same document, nothing loads); false for every load, a frame's or a redirect's. A frame's
    // navigation inside its own document never carries it.
    bool isMainDocumentFragmentChange() const { return m_mainDocumentFragmentChange; }
    void setMainDocumentFragmentChange(bool change) { m_mainDocumentFragmentChange = change; }

    // Set by the engines on the loads of a page in a view that shows foreign pages
    // (WebView::showsForeignPages): the application's protocols answer them from files of its bundle and
    // home only (AppFolders::holds), as the engines bound such a page's file URLs.
    bool isFromForeignPage() const { return m_fromForeignPage; }
    void setFromForeignPage(bool foreign) { m_fromForeignPage = foreign; }

    // A load carried for a web engine that keeps HTTP's rules itself (the web view's loopback route): the
    // transport follows no redirect (a 3xx is the response, for the engine to follow or not), hands the body
    // over as the server coded it (offering no coding of its own), has no time-out once connected (the
    // engine's page keeps its own), and takes a final head the connection's close ended after whole lines as
    // whole, with an empty body, as the engine does (another load fails with kURLErrorBadServerResponse). Off
    // unless set.
    bool passesThrough() const { return m_passesThrough; }
    void setPassesThrough(bool b) { m_passesThrough = b; }
    // The URL as the engine sends it, which the transport sends as written: a browser sends characters the
    // platform's URLs refuse ("[]{}|^`\" and a "%" without two hex digits); url() then holds its escaped
    // form, which decides cookies and the URL protocols. Empty unless set.
    const std::string& urlAsSent() const { return m_urlAsSent; }
    void setURLAsSent(std::string text) { m_urlAsSent = std::move(text); }

private:
    std::optional<URL> m_url;
    std::string m_method = "GET";
    HTTPHeaderFields m_headers;
    std::optional<Bytes> m_body;
    std::shared_ptr<InputStream> m_bodyStream;
    BodySource m_bodySource;
    double m_timeoutInterval = kDefaultTimeoutInterval;
    URLRequestCachePolicy m_cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;
    bool m_shouldHandleCookies = true;
    bool m_timeoutBoundsWholeLoad = false;
    std::optional<bool> m_transportMayResend; // unset: by the method
    std::optional<URL> m_mainDocumentURL;
    std::uint64_t m_webViewIdentifier = 0;
    bool m_mainDocumentFragmentChange = false;
    bool m_fromForeignPage = false;
    bool m_passesThrough = false;
    std::string m_urlAsSent;
    HTTPCookieStorage* m_cookieStorage = nullptr;
    HTTPCookieSiteContext m_cookieSiteContext = HTTPCookieSiteContext::SameSite;
};

} // namespace platform
