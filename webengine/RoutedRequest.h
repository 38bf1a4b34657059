// One sub-resource load of a page (image, script, XHR, fetch, ...), handed back by the web process so that
// the application's URL protocols can answer it.
//
// Guarantees: main thread only. Answered at most once: the first respond() or fail() wins and later calls
// do nothing. A request dropped unanswered fails towards the page as cancelled, so a page never waits for an
// answer that cannot come. The request may be answered after its web view is gone (the answer is dropped).
#pragma once

#include "platform/Error.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

typedef struct _WebKitURISchemeRequest WebKitURISchemeRequest;
typedef struct _GInputStream GInputStream;

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
    // The request body (POST, PUT): read once from the engine's stream, bounded.
    const std::string& body();

    bool isAnswered() const { return m_answered; }

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
    void finish(int status, HeaderList headers, GInputStream* stream, long long length, const std::string& answeringURL);

    WebKitURISchemeRequest* m_request;
    std::string m_url;
    std::string m_method;
    HeaderList m_headers;
    std::optional<std::string> m_body;
    bool m_answered = false;
};

} // namespace webengine
