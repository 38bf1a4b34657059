#include "webengine/RoutedLoad.h"

#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/HTTPSyntax.h"
#include "platform/net/URLError.h"
#include "platform/runloop/HandOver.h"
#include "webengine/BridgeOrigin.h"
#include "webengine/RoutedRequestBody.h"
#include "webengine/StreamingBody.h"

#include <gio/gio.h>

namespace webengine {

namespace {

using Work = std::function<void()>;

// Runs work on the main thread from an idle source of its own (FIFO among these sources). The work is
// made on the URL-loading thread; g_idle_add_full hands it over under the main context's lock.
void deliverOnMain(Work work)
{
    auto* handed = new Work(std::move(work));
    platform::handOverSent(handed);
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            platform::handOverReceived(data);
            (*static_cast<Work*>(data))();
            return G_SOURCE_REMOVE;
        },
        handed, [](gpointer data) { delete static_cast<Work*>(data); });
}

} // namespace

platform::URLRequest RoutedLoad::platformRequestFor(const std::shared_ptr<RoutedRequest>& request, const std::string& mainDocumentURL)
{
    platform::URLRequest result = platformRequestFor(request->url(), request->method(), request->headers(), {}, mainDocumentURL);
    // The body is read only for a load that goes out over HTTP: the application's protocols (its schemes, the
    // whitelist's refusals) and files take none. The engine's handing over of a body that holds a Blob stops
    // this process (its blob registry lives in the other processes), so a page's Blob sent to any of them, a
    // foreign page's to a refused host among them, must not be asked for at all.
    result.setHTTPBodySource([weak = std::weak_ptr<RoutedRequest>(request)](std::function<void(platform::URLRequest::FoundBody)> ready) {
        deliverOnMain([weak, ready = std::move(ready)] {
            platform::URLRequest::FoundBody found;
            std::shared_ptr<RoutedRequest> request = weak.lock();
            // A request the page let go meanwhile sends no body but a failing one: never another body than its own.
            const RoutedRequest::Body gone{{}, request ? nullptr : RoutedRequestBody::failed("the page's request went")};
            const RoutedRequest::Body& body = request ? request->body() : gone;
            if (body.stream) {
                found.stream = body.stream;
                found.streamLength = body.streamLength;
            }
            else if (!body.bytes.empty())
                found.bytes = platform::Bytes(body.bytes.begin(), body.bytes.end());
            ready(std::move(found));
        });
    });
    return result;
}

platform::URLRequest RoutedLoad::platformRequestFor(const std::string& url, const std::string& method, const HeaderList& headers,
                                                    std::string_view body, const std::string& mainDocumentURL)
{
    platform::URLRequest result(url);
    result.setHTTPMethod(method);
    for (const auto& [name, value] : headers) {
        // Headers the engine would not send are dropped rather than failing the whole load.
        (void)result.addValue(value, name);
    }
    if (!body.empty())
        result.setHTTPBody(body);
    result.setMainDocumentURL(platform::URL::fromString(mainDocumentURL));
    return result;
}

std::shared_ptr<RoutedLoad> RoutedLoad::start(const std::shared_ptr<RoutedRequest>& request, const std::string& mainDocumentURL,
                                              std::uint64_t webViewIdentifier, AfterDelivery afterDelivery,
                                              std::function<void(RoutedLoad&)> onEnd)
{
    auto load = std::make_shared<RoutedLoad>(request);
    load->m_afterDelivery = std::move(afterDelivery);
    load->m_onEnd = std::move(onEnd);
    platform::URLRequest platformRequest = platformRequestFor(request, mainDocumentURL);
    platformRequest.setWebViewIdentifier(webViewIdentifier);
    // Cookies as a browser sends them for this request, from the store of its view's kind: a view that shows
    // pages the application did not write keeps its cookies apart from the application's.
    const RouteCookies cookies = routeCookiesOf(request->headers(), request->url());
    load->m_cookiesForOthers = cookies.carried && !cookies.applications;
    platformRequest.setHTTPShouldHandleCookies(cookies.carried);
    platformRequest.setCookieSiteContext(cookies.sameSite ? platform::HTTPCookieSiteContext::SameSite : platform::HTTPCookieSiteContext::CrossSite);
    if (request->isFromForeignView()) {
        platformRequest.setHTTPCookieStorage(&platform::HTTPCookieStorage::forForeignContent());
        platformRequest.setFromForeignPage(true);
    }
    load->m_connection = platform::URLConnection::make(platformRequest, load, false);
    load->m_connection->setDeliveryTarget(deliverOnMain);
    // The body comes no faster than the page's process takes it (see taken()).
    load->m_connection->keepReceivedData();
    load->m_connection->start();
    return load;
}

RoutedLoad::~RoutedLoad()
{
    if (m_body) {
        StreamingBody::fail(m_body, "the load was dropped");
        g_object_unref(m_body);
    }
}

void RoutedLoad::cancel()
{
    m_onEnd = nullptr;
    if (auto connection = std::exchange(m_connection, nullptr))
        connection->cancel();
    if (m_body)
        StreamingBody::fail(m_body, "the load was cancelled");
}

void RoutedLoad::abandon()
{
    if (auto connection = std::exchange(m_connection, nullptr))
        connection->cancel();
    StreamingBody::fail(m_body, "the page gave the body up");
    end();
}

void RoutedLoad::end()
{
    m_connection.reset();
    // Last: the owner may drop this load.
    if (auto onEnd = std::exchange(m_onEnd, nullptr))
        onEnd(*this);
}

void RoutedLoad::didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response)
{
    if (m_body)
        return;
    // An answer a redirect brought from another origin goes only where the engine checks who reads it.
    const std::string answeringURL = response.url() ? response.url()->absoluteString() : std::string();
    if (!answeringURL.empty() && !mayAnswerFrom(m_request->headers(), m_request->url(), answeringURL)) {
        if (auto connection = std::exchange(m_connection, nullptr))
            connection->cancel();
        m_request->fail(platform::makeURLError(platform::kURLErrorResourceUnavailable,
                                               "redirected to another origin than the request's own", m_request->url()));
        end();
        return;
    }
    HeaderList headers;
    int status = 200;
    if (response.isHTTP()) {
        status = response.statusCode();
        for (const auto& field : response.allHeaderFields().fields()) {
            // An answer made with the user's cookies is no one's to read by "any origin" but the application's:
            // the route then names the one reader readerOriginOf gives (the asker of the answer's own origin).
            if (m_cookiesForOthers && g_ascii_strcasecmp(field.first.c_str(), "Access-Control-Allow-Origin") == 0 &&
                platform::http::trimmed(field.second) == "*")
                continue;
            headers.push_back(field);
        }
    } else if (!response.mimeType().empty()) {
        std::string type = response.mimeType();
        if (!response.textEncodingName().empty())
            type += "; charset=" + response.textEncodingName();
        headers.emplace_back("Content-Type", type);
    }
    m_body = StreamingBody::create();
    // A reader that gives the body up (the page or frame went) ends the load: its connection closes.
    StreamingBody::setAbandonedHandler(m_body, [weak = weak_from_this()] {
        deliverOnMain([weak] {
            if (auto self = weak.lock(); self && self->m_connection)
                self->abandon();
        });
    });
    StreamingBody::setTakenHandler(m_body, [weak = weak_from_this()](std::size_t bytes) {
        if (auto self = weak.lock())
            self->taken(bytes);
    });
    // The page's call hears first where the answer came from (its own URL, not the route's) and that its body
    // went out; then who may read it is decided by the URL that answered: a redirect to another origin answers
    // for that one.
    if (m_request->call()) {
        const auto withoutFragment = [](std::string_view url) { return url.substr(0, url.find('#')); };
        const bool redirected = !answeringURL.empty() && withoutFragment(answeringURL) != withoutFragment(m_request->url());
        const long long total = m_sendTotal >= 0 ? m_sendTotal : m_sent;
        if (redirected || m_sent > 0 || m_sendTotal >= 0)
            m_request->tellCall(redirected ? answeringURL : std::string(), total, total, true);
    }
    m_request->respondWithStream(status, std::move(headers), m_body, response.expectedContentLength(), answeringURL);
}

void RoutedLoad::taken(std::size_t bytes)
{
    if (!m_afterDelivery) {
        delivered(bytes);
        return;
    }
    m_onItsWay += bytes;
    m_afterDelivery([weak = weak_from_this(), bytes] {
        if (auto self = weak.lock())
            self->delivered(bytes);
    });
}

void RoutedLoad::delivered(std::size_t bytes)
{
    m_onItsWay -= std::min(bytes, m_onItsWay);
    if (!m_connection)
        return;
    if (!m_transportEnded) {
        m_connection->releaseReceivedData(bytes);
        return;
    }
    if (m_onItsWay == 0 && StreamingBody::bufferedSize(m_body) == 0)
        end();
}

void RoutedLoad::transportEnded()
{
    m_transportEnded = true;
    if (m_onItsWay == 0 && StreamingBody::bufferedSize(m_body) == 0)
        end();
}

void RoutedLoad::didReceiveData(platform::URLConnection& connection, const platform::Bytes& data)
{
    if (!m_body)
        didReceiveResponse(connection, platform::URLResponse());
    StreamingBody::append(m_body, data.data(), data.size());
}

void RoutedLoad::didSendBodyData(platform::URLConnection&, std::int64_t, std::int64_t totalBytesWritten,
                                 std::int64_t totalBytesExpectedToWrite)
{
    m_sent = totalBytesWritten;
    m_sendTotal = totalBytesExpectedToWrite;
    if (m_body)
        return;
    // Every 50 ms, as a browser tells a page, or sooner for each further MiB of a body that goes out faster:
    // each is a message to the page's process.
    constexpr std::int64_t kProgressInterval = 50'000;
    constexpr long long kProgressBytes = 1 << 20;
    const std::int64_t now = g_get_monotonic_time();
    if (now - m_progressTold < kProgressInterval && m_sent - m_sentTold < kProgressBytes)
        return;
    m_progressTold = now;
    m_sentTold = m_sent;
    m_request->tellCall({}, m_sent, m_sendTotal, false);
}

void RoutedLoad::didFinishLoading(platform::URLConnection& connection)
{
    if (!m_body)
        didReceiveResponse(connection, platform::URLResponse());
    StreamingBody::finish(m_body);
    transportEnded();
}

void RoutedLoad::didFailWithError(platform::URLConnection&, const platform::Error& error)
{
    if (!m_body) {
        m_request->fail(error);
        end();
        return;
    }
    StreamingBody::fail(m_body, error.localizedDescription());
    transportEnded();
}

} // namespace webengine
