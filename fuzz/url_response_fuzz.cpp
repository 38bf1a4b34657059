// Response heads as the transport reads them (line by line) and as a URL response reads their fields:
// the MIME type and charset out of "Content-Type", the expected length out of "Content-Length". The type
// and charset are rebuilt into a header value when a response is handed on to the web engine, so they
// must stay sendable.
#include "fuzz/FuzzHead.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/URLResponse.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool isLowercase(std::string_view text) {
    for (char c : text)
        if (std::isupper(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool hasOuterSpace(std::string_view text) {
    return !text.empty() && (text.front() == ' ' || text.front() == '\t' || text.back() == ' ' || text.back() == '\t');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    platform::HTTPResponseHead head;
    // The status line first when the input has none, so that most inputs reach the fields.
    if (!text.starts_with("HTTP/"))
        (void)head.consumeLine("HTTP/1.1 200 OK\r\n");
    fuzzing::consumeLines(head, text);
    static const auto url = platform::URL::fromString("http://www.example.com/page");
    const platform::URLResponse response = platform::URLResponse::http(url, head.statusCode(), head.fields(), head.httpVersion());

    const std::int64_t length = response.expectedContentLength();
    if (length < -1)
        std::abort();
    if (length >= 0) {
        const std::string declared = response.allHeaderFields().value("Content-Length").value_or("");
        if (declared.find(std::to_string(length)) == std::string::npos)
            std::abort();
    }

    const std::string& type = response.mimeType();
    const std::string& charset = response.textEncodingName();
    if (type.find(';') != std::string::npos || !isLowercase(type) || hasOuterSpace(type) || !isLowercase(charset))
        std::abort();
    if (!response.allHeaderFields().contains("Content-Type") && (!type.empty() || !charset.empty()))
        std::abort();
    const std::string rebuilt = charset.empty() ? type : type + "; charset=" + charset;
    if (!platform::HTTPHeaderFields::isValidValue(rebuilt))
        std::abort();

    // A response that is not HTTP keeps what it is given.
    const platform::URLResponse plain(url, type, length, charset);
    if (plain.mimeType() != type || plain.textEncodingName() != charset || plain.expectedContentLength() != length || plain.isHTTP())
        std::abort();
    return 0;
}
