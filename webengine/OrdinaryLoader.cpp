#include "webengine/OrdinaryLoader.h"

#include "webengine/SoupHeaders.h"

#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <strings.h>

namespace webengine {

namespace {

constexpr long long kUnsupportedURL = -1002;
constexpr long long kFileDoesNotExist = -1100;
constexpr long long kCannotConnect = -1004;

bool hasPrefix(const std::string& text, const char* prefix)
{
    return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

void loadFile(const std::shared_ptr<RoutedRequest>& request)
{
    GFile* file = g_file_new_for_uri(request->url().c_str());
    GError* error = nullptr;
    GFileInfo* info = g_file_query_info(file, G_FILE_ATTRIBUTE_STANDARD_SIZE "," G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE
                                        "," G_FILE_ATTRIBUTE_STANDARD_TYPE,
                                        G_FILE_QUERY_INFO_NONE, nullptr, &error);
    GFileInputStream* stream = nullptr;
    if (info && g_file_info_get_file_type(info) == G_FILE_TYPE_REGULAR)
        stream = g_file_read(file, nullptr, &error);
    if (!stream) {
        request->fail(platform::Error(platform::kURLErrorDomain, kFileDoesNotExist,
                                      error ? error->message : "The requested file is not a regular file."));
    } else {
        HeaderList headers;
        const char* contentType = g_file_info_get_content_type(info);
        char* mime = contentType ? g_content_type_get_mime_type(contentType) : nullptr;
        headers.emplace_back("Content-Type", mime ? mime : "application/octet-stream");
        g_free(mime);
        request->respondWithStream(200, std::move(headers), G_INPUT_STREAM(stream), g_file_info_get_size(info));
        g_object_unref(stream);
    }
    if (error)
        g_error_free(error);
    if (info)
        g_object_unref(info);
    g_object_unref(file);
}

SoupSession* sharedSession()
{
    static SoupSession* session = soup_session_new();
    return session;
}

struct HTTPLoad {
    std::shared_ptr<RoutedRequest> request;
    SoupMessage* message;
};

void onHTTPSent(GObject* source, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<HTTPLoad> load(static_cast<HTTPLoad*>(data));
    GError* error = nullptr;
    GInputStream* stream = soup_session_send_finish(SOUP_SESSION(source), result, &error);
    if (!stream) {
        load->request->fail(platform::Error(platform::kURLErrorDomain, kCannotConnect, error->message));
        g_error_free(error);
        g_object_unref(load->message);
        return;
    }
    SoupMessageHeaders* responseHeaders = soup_message_get_response_headers(load->message);
    HeaderList headers = headerListOf(responseHeaders);
    const goffset length = soup_message_headers_get_content_length(responseHeaders);
    const bool known = soup_message_headers_get_encoding(responseHeaders) == SOUP_ENCODING_CONTENT_LENGTH;
    load->request->respondWithStream(static_cast<int>(soup_message_get_status(load->message)), std::move(headers),
                                     stream, known ? length : -1);
    g_object_unref(stream);
    g_object_unref(load->message);
}

void loadHTTP(const std::shared_ptr<RoutedRequest>& request, const std::string& userAgent)
{
    SoupMessage* message = soup_message_new(request->method().c_str(), request->url().c_str());
    if (!message) {
        request->fail(platform::Error(platform::kURLErrorDomain, kUnsupportedURL, "bad URL"));
        return;
    }
    SoupMessageHeaders* headers = soup_message_get_request_headers(message);
    for (const auto& [key, value] : request->headers()) {
        if (strcasecmp(key.c_str(), "Host") != 0)
            soup_message_headers_append(headers, key.c_str(), value.c_str());
    }
    if (!request->header("User-Agent") && !userAgent.empty())
        soup_message_headers_replace(headers, "User-Agent", userAgent.c_str());
    const std::string& body = request->body();
    if (!body.empty()) {
        GBytes* bytes = g_bytes_new(body.data(), body.size());
        const auto type = request->header("Content-Type");
        soup_message_set_request_body_from_bytes(message, type ? type->c_str() : "application/octet-stream", bytes);
        g_bytes_unref(bytes);
    }
    soup_session_send_async(sharedSession(), message, G_PRIORITY_DEFAULT, nullptr, onHTTPSent,
                            new HTTPLoad{request, message});
}

} // namespace

void OrdinaryLoader::load(const std::shared_ptr<RoutedRequest>& request, const std::string& userAgent)
{
    if (hasPrefix(request->url(), "file:"))
        return loadFile(request);
    if (hasPrefix(request->url(), "http:") || hasPrefix(request->url(), "https:"))
        return loadHTTP(request, userAgent);
    request->fail(platform::Error(platform::kURLErrorDomain, kUnsupportedURL,
                                  "unsupported URL: " + request->url()));
}

} // namespace webengine
