// Carries one sub-resource load of a page through platform's URL loading, as the phone's web view does:
// the URL protocol registry first (the XHR bridge, "hybfile:", the whitelist's refusals), then the built-in
// loaders (http and https, file). What comes back answers the page as it arrives: the response at once,
// then the body streamed (StreamingBody); a failure after the response breaks the body off.
//
// Guarantees: started and answered on the main thread. The connection's calls come back through GLib idle
// sources of their own, never through the main run loop's perform queue: a synchronous script evaluation
// waiting in a nested loop inside a perform callout still lets the answer reach a page that is blocked in a
// synchronous XHR. The owner (the engine of the page) holds the load; `onEnd` tells it the load ended, and
// cancel() stops it (the page's request then fails as cancelled when the load is dropped). A page that gives a
// body up before its end (the engine cancels its read or closes the stream) ends the load as well.
//
// The body's window (the transport's, URLConnection.h) holds its bytes until they reach the page's web process,
// not only until the engine reads them: the engine sends what it reads on at once, and what it has not sent yet
// it keeps in this process. The load ends once its body has all gone there, so a page cannot have more bodies on
// their way than it has loads.
#pragma once

#include "platform/net/URLConnection.h"
#include "webengine/RoutedRequest.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace webengine {

class RoutedLoad : public platform::URLConnectionDelegate, public std::enable_shared_from_this<RoutedLoad> {
public:
    // Runs the function it is given once the bytes the engine read so far have reached the page's process.
    using AfterDelivery = std::function<void(std::function<void()>)>;

    // `mainDocumentURL`: the URL of the page that makes the load; `webViewIdentifier`: its web view's
    // (URLRequest::webViewIdentifier). `onEnd` runs on the main thread once the request was answered and its
    // body delivered, or given up by the page (not after cancel()).
    static std::shared_ptr<RoutedLoad> start(const std::shared_ptr<RoutedRequest>& request, const std::string& mainDocumentURL,
                                             std::uint64_t webViewIdentifier, AfterDelivery afterDelivery,
                                             std::function<void(RoutedLoad&)> onEnd);
    void cancel();

    // The platform request for a routed request (method, headers, main document; the body found as it goes
    // out over HTTP).
    static platform::URLRequest platformRequestFor(const std::shared_ptr<RoutedRequest>& request, const std::string& mainDocumentURL);
    // The same from the parts the web process sent (outside input: any text).
    static platform::URLRequest platformRequestFor(const std::string& url, const std::string& method, const HeaderList& headers,
                                                   std::string_view body, const std::string& mainDocumentURL);

    explicit RoutedLoad(std::shared_ptr<RoutedRequest> request) : m_request(std::move(request)) {}
    ~RoutedLoad() override;
    RoutedLoad(const RoutedLoad&) = delete;
    RoutedLoad& operator=(const RoutedLoad&) = delete;

    void didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) override;
    void didReceiveData(platform::URLConnection&, const platform::Bytes& data) override;
    // Tells the page's call how much of its body went out (its upload events), every 50 ms or MiB.
    void didSendBodyData(platform::URLConnection&, std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                         std::int64_t totalBytesExpectedToWrite) override;
    void didFinishLoading(platform::URLConnection&) override;
    void didFailWithError(platform::URLConnection&, const platform::Error& error) override;

private:
    // The page gave the body up: the connection is cancelled and the load ends for its owner.
    void abandon();
    // The engine read `bytes` of the body: they leave the window once they reached the page's process.
    void taken(std::size_t bytes);
    void delivered(std::size_t bytes);
    // The transport's part ended: the load ends once what the body holds and what is on its way went.
    void transportEnded();
    void end();

    std::shared_ptr<RoutedRequest> m_request;
    std::shared_ptr<platform::URLConnection> m_connection;
    std::function<void(RoutedLoad&)> m_onEnd;
    GInputStream* m_body = nullptr; // once the response went to the page
    AfterDelivery m_afterDelivery;
    std::size_t m_onItsWay = 0;     // read by the engine, not yet known to have reached the page's process
    bool m_transportEnded = false;
    // The body's bytes sent and their total (-1: unknown), and when the page's call last heard of them.
    long long m_sent = 0;
    long long m_sendTotal = -1;
    std::int64_t m_progressTold = 0;
    long long m_sentTold = 0;
    // The load carries cookies for an asker that is not the application's own document.
    bool m_cookiesForOthers = false;

};

} // namespace webengine
