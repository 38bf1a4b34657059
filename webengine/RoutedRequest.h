// One sub-resource load of a page (image, script, XHR, fetch, ...), handed back by the web process so that
// the application's URL protocols can answer it.
//
// Guarantees: main thread only. Answered at most once: the first respond() or fail() wins and later calls
// do nothing. A request dropped unanswered fails towards the page as cancelled, so a page never waits for an
// answer that cannot come. The request may be answered after its web view is gone (the answer is dropped).
// Once the engine no longer waits for an answer (the page or frame that asked went, or the engine cancelled
// the load) while none was given, the request counts as withdrawn: it is answered no more, and the handler
// set for it runs.
#pragma once

#include "platform/core/Error.h"
#include "platform/files/InputStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

typedef struct _WebKitURISchemeRequest WebKitURISchemeRequest;
typedef struct _GInputStream GInputStream;
typedef struct _GObject GObject;

namespace webengine {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

class RoutedRequest {
public:
    // Takes a reference on `request`; `originalURL` is what the page asked for.
    RoutedRequest(WebKitURISchemeRequest* request, std::string originalURL);
    ~RoutedRequest();
    RoutedRequest(const RoutedRequest&) = delete;
    RoutedRequest& operator=(const RoutedRequest&) = delete;

    const std::string& url() const { return m_url; }
    const std::string& method() const { return m_method; }
    const HeaderList& headers() const { return m_headers; }
    // The first header of that name (case-insensitive), if any.
    std::optional<std::string> header(std::string_view name) const;
    // The request body (POST, PUT), taken once from the engine's stream: whole when it is at most
    // kWholeBodyBytes (`bytes`), else a stream that reads on as the load sends it, at any size (`stream`, whose
    // first bytes are those read to find that out). The engine is asked for it only when the web process
    // marked the body as bytes alone (Messages.h): a body that holds a Blob cannot be handed to this process
    // (asking stops it), so any other body of a method that carries one is a stream that fails (the load fails
    // towards the page; no body is sent in its place).
    struct Body {
        std::string bytes;
        std::shared_ptr<platform::InputStream> stream;
        // The stream's whole length as the page's call gave it (the module's HYB_BODY_LENGTH_HEADER), -1 when
        // unknown: the body then goes out with that "Content-Length", and fails if it turns out otherwise.
        long long streamLength = -1;
    };
    static constexpr std::size_t kWholeBodyBytes = 1024 * 1024;
    const Body& body();

    // The number of the page's call that made the load (the module's HYB_CALL_HEADER), 0 when none is known.
    std::uint64_t call() const { return m_call; }
    // Tells the page's call, ahead of the answer, the URL that answered ("" while none did) and how much of its
    // body went out (HYB_CALL_MESSAGE). Nothing for a load no call is known for.
    void tellCall(const std::string& answeringURL, long long sent, long long total, bool sentWhole);

    bool isAnswered() const { return m_answered; }
    // Whether the request comes from a web view that shows pages the application did not write
    // (WebView::setShowsForeignPages).
    bool isFromForeignView() const;
    // Runs `withdrawn` on the main thread, from a turn of its own, once the engine no longer waits for this
    // request's answer while none was given (then isAnswered() is true). The handler may drop the request.
    void setWithdrawnHandler(std::function<void()> withdrawn);
    // Whether the engine let the request go unanswered, found out now rather than on a later turn (the
    // handler then runs before this returns).
    bool checkWithdrawn();

    // Answers with a status, headers and a body. A "Content-Type" header is added when missing (text/plain).
    // An answer that names no reader ("Access-Control-Allow-Origin") names the one readerOriginOf gives, if
    // any (BridgeOrigin.h): the application's file documents, or a document of the answer's own origin; never
    // any origin ("*"), and never another origin for another origin's answer.
    void respond(int status, HeaderList headers, std::string body);
    // Answers with a stream of `length` bytes (-1 when unknown); takes its own reference on the stream.
    // `answeringURL`: the URL that answered, after redirects ("" for the request's).
    void respondWithStream(int status, HeaderList headers, GInputStream* stream, long long length,
                           const std::string& answeringURL = {});
    // Fails the load towards the page (its XHR sees an error, its image onerror).
    void fail(const platform::Error& error);

private:
    static void onToggle(void* data, GObject* object, int isLast);
    void finish(int status, HeaderList headers, GInputStream* stream, long long length, const std::string& answeringURL);

    WebKitURISchemeRequest* m_request;
    std::string m_url;
    std::string m_method;
    HeaderList m_headers;
    std::optional<Body> m_body;
    bool m_bodyIsBytes = false;
    long long m_bodyLength = -1;
    std::uint64_t m_call = 0;
    bool m_answered = false;
    // Set by setWithdrawnHandler: this object's reference on the engine's request is then a toggle reference,
    // which tells when it became the last one (the engine let the request go).
    std::function<void()> m_onWithdrawn;
    bool m_toggled = false;
    unsigned m_withdrawnCheck = 0;
};

} // namespace webengine
