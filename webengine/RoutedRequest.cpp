#include "webengine/RoutedRequest.h"

#include "webengine/BridgeOrigin.h"
#include "webengine/RoutedRequestBody.h"
#include "webengine/SoupHeaders.h"
#include "webengine/WebKitEngine.h"
#include "webprocess/Messages.h"

#include <webkit2/webkit2.h>

#include <cstring>
#include <memory>
#include <utility>
#include <strings.h>

namespace webengine {

namespace {

bool hasHeader(const HeaderList& headers, const char* name)
{
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name) == 0)
            return true;
    }
    return false;
}

// A header's decimal number: digits only, at most 18 of them (no sign, no spaces); nothing for any other text.
std::optional<std::int64_t> decimalOf(const std::string& text)
{
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

RoutedRequest::RoutedRequest(WebKitURISchemeRequest* request, std::string originalURL)
    : m_request(WEBKIT_URI_SCHEME_REQUEST(g_object_ref(request)))
    , m_url(std::move(originalURL))
{
    const char* method = webkit_uri_scheme_request_get_http_method(request);
    m_method = method ? method : "GET";
    m_headers = headerListOf(webkit_uri_scheme_request_get_http_headers(request));
    // The web process's marks are for this process alone: they go out with no load.
    std::string length;
    std::erase_if(m_headers, [&](const auto& header) {
        if (strcasecmp(header.first.c_str(), HYB_BODY_HEADER) == 0)
            m_bodyIsBytes = header.second == HYB_BODY_BYTES;
        else if (strcasecmp(header.first.c_str(), HYB_BODY_LENGTH_HEADER) == 0)
            length = header.second;
        else if (strcasecmp(header.first.c_str(), HYB_CALL_HEADER) == 0)
            m_call = decimalOf(header.second).value_or(0);
        else
            return false;
        return true;
    });
    if (m_bodyIsBytes)
        m_bodyLength = static_cast<long long>(decimalOf(length).value_or(-1));
}

RoutedRequest::~RoutedRequest()
{
    if (m_withdrawnCheck)
        g_source_remove(m_withdrawnCheck);
    if (!m_answered)
        fail(platform::Error(platform::kURLErrorDomain, -999, "cancelled"));
    if (m_toggled)
        g_object_remove_toggle_ref(G_OBJECT(m_request), onToggle, this);
    else
        g_object_unref(m_request);
}

void RoutedRequest::setWithdrawnHandler(std::function<void()> withdrawn)
{
    m_onWithdrawn = std::move(withdrawn);
    if (std::exchange(m_toggled, true))
        return;
    // The engine holds the request while it waits for the answer and lets it go when it no longer does: the
    // toggle reference hears when this object's reference is the last.
    g_object_add_toggle_ref(G_OBJECT(m_request), onToggle, this);
    g_object_unref(m_request);
}

void RoutedRequest::onToggle(void* data, GObject*, int isLast)
{
    auto* self = static_cast<RoutedRequest*>(data);
    if (!isLast || self->m_answered || self->m_withdrawnCheck)
        return;
    // Not from inside the engine's release: from a turn of its own, and only if the engine did not take the
    // request back meanwhile.
    self->m_withdrawnCheck = g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer data) -> gboolean {
        auto* request = static_cast<RoutedRequest*>(data);
        request->m_withdrawnCheck = 0;
        (void)request->checkWithdrawn();
        return G_SOURCE_REMOVE;
    }, self, nullptr);
}

bool RoutedRequest::checkWithdrawn()
{
    if (!m_toggled || m_answered || g_atomic_int_get(&G_OBJECT(m_request)->ref_count) != 1)
        return false;
    m_answered = true;
    // Last: the handler may drop this request.
    if (auto withdrawn = m_onWithdrawn)
        withdrawn();
    return true;
}

bool RoutedRequest::isFromForeignView() const
{
    WebKitWebView* view = webkit_uri_scheme_request_get_web_view(m_request);
    const WebKitEngine* engine = view ? WebKitEngine::fromView(view) : nullptr;
    return engine && engine->showsForeignPages();
}

std::optional<std::string> RoutedRequest::header(std::string_view name) const
{
    for (const auto& [key, value] : m_headers) {
        if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0)
            return value;
    }
    return std::nullopt;
}

const RoutedRequest::Body& RoutedRequest::body()
{
    if (m_body)
        return *m_body;
    m_body = Body{};
    if (!m_bodyIsBytes) {
        if (strcasecmp(m_method.c_str(), "GET") != 0 && strcasecmp(m_method.c_str(), "HEAD") != 0)
            m_body->stream = RoutedRequestBody::failed("the page's request body cannot be handed to the application");
        return *m_body;
    }
    GInputStream* stream = webkit_uri_scheme_request_get_http_body(m_request);
    if (!stream)
        return *m_body;
    std::string& first = m_body->bytes;
    char buffer[16384];
    for (;;) {
        GError* error = nullptr;
        const gssize n = g_input_stream_read(stream, buffer, sizeof buffer, nullptr, &error);
        g_clear_error(&error);
        if (n <= 0) {
            // An unreadable body goes as a stream that fails: the load fails rather than send what it read.
            if (n < 0)
                m_body->stream = RoutedRequestBody::failed("the page's request body could not be read");
            break;
        }
        first.append(buffer, static_cast<size_t>(n));
        if (first.size() > kWholeBodyBytes) {
            m_body->stream = RoutedRequestBody::make(stream, std::move(first));
            m_body->streamLength = m_bodyLength;
            first.clear();
            break;
        }
    }
    g_object_unref(stream);
    return *m_body;
}

void RoutedRequest::tellCall(const std::string& answeringURL, long long sent, long long total, bool sentWhole)
{
    if (!m_call || m_answered)
        return;
    WebKitWebView* view = webkit_uri_scheme_request_get_web_view(m_request);
    if (!view)
        return;
    GVariant* parameters = g_variant_new(HYB_CALL_TYPE, static_cast<guint64>(m_call), answeringURL.c_str(), static_cast<gint64>(sent),
                                         static_cast<gint64>(total), sentWhole);
    webkit_web_view_send_message_to_page(view, webkit_user_message_new(HYB_CALL_MESSAGE, parameters), nullptr, nullptr, nullptr);
}

void RoutedRequest::respond(int status, HeaderList headers, std::string body)
{
    if (m_answered)
        return;
    const auto length = static_cast<long long>(body.size());
    GBytes* bytes = g_bytes_new(body.data(), body.size());
    GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
    g_bytes_unref(bytes);
    finish(status, std::move(headers), stream, length, m_url);
    g_object_unref(stream);
}

void RoutedRequest::respondWithStream(int status, HeaderList headers, GInputStream* stream, long long length,
                                      const std::string& answeringURL)
{
    if (m_answered)
        return;
    finish(status, std::move(headers), stream, length, answeringURL.empty() ? m_url : answeringURL);
}

void RoutedRequest::finish(int status, HeaderList headers, GInputStream* stream, long long length, const std::string& answeringURL)
{
    m_answered = true;
    if (!hasHeader(headers, "Content-Type"))
        headers.emplace_back("Content-Type", "text/plain");
    // Every routed load is another origin's for the engine (the route's scheme), which lets a document or
    // worker read the answer only when the answer names its origin. The route names one reader at most, never
    // any ("*"): the engine then decides by the asker's own security origin (BridgeOrigin.h).
    if (!hasHeader(headers, "Access-Control-Allow-Origin")) {
        if (std::optional<std::string> reader = readerOriginOf(m_headers, answeringURL)) {
            headers.emplace_back("Access-Control-Allow-Origin", *reader);
            // The route's own loads carry the process's cookies: the answer is a credentialed one.
            if (!hasHeader(headers, "Access-Control-Allow-Credentials"))
                headers.emplace_back("Access-Control-Allow-Credentials", "true");
            if (!hasHeader(headers, "Vary"))
                headers.emplace_back("Vary", "Origin");
        }
    }
    WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, length);
    webkit_uri_scheme_response_set_status(response, static_cast<guint>(status), nullptr);
    // Setting the header list replaces every header, Content-Type included, so it is in the list above.
    SoupMessageHeaders* soupHeaders = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    for (const auto& [name, value] : headers) {
        if (strcasecmp(name.c_str(), "Content-Type") == 0)
            webkit_uri_scheme_response_set_content_type(response, value.c_str());
        soup_message_headers_append(soupHeaders, name.c_str(), value.c_str());
    }
    webkit_uri_scheme_response_set_http_headers(response, soupHeaders); // takes ownership
    webkit_uri_scheme_request_finish_with_response(m_request, response);
    g_object_unref(response);
}

void RoutedRequest::fail(const platform::Error& error)
{
    if (m_answered)
        return;
    m_answered = true;
    const bool cancelled = error.domain == platform::kURLErrorDomain && error.code == -999;
    GError* gerror = g_error_new_literal(G_IO_ERROR, cancelled ? G_IO_ERROR_CANCELLED : G_IO_ERROR_FAILED,
                                         error.localizedDescription().c_str());
    webkit_uri_scheme_request_finish_error(m_request, gerror);
    g_error_free(gerror);
}

} // namespace webengine
