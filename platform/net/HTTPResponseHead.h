// The head of an HTTP response read line by line as the transport hands it over: the status line, the
// header fields, the empty line. A pure parser (no I/O) that takes untrusted text.
//
// - A new status line starts a new head (interim 1xx replies and redirects followed by the transport each
//   have their own).
// - Repeated fields are joined with ", " (as responses present them), except "Set-Cookie", whose values
//   are also kept one by one because cookie dates hold commas.
// - Limits: at most kMaxFields fields, kMaxSetCookies cookie lines and kMaxHeadBytes of field text per
//   head; fields past the limits, and
//   lines that are not "name: value" with a valid name, are ignored. Folded lines continue the last field.
#pragma once

#include "platform/net/HTTPHeaderFields.h"

#include <string>
#include <string_view>
#include <vector>

namespace platform {

class HTTPResponseHead {
public:
    static constexpr std::size_t kMaxFields = 256;
    static constexpr std::size_t kMaxSetCookies = 64;
    static constexpr std::size_t kMaxHeadBytes = 256 * 1024;

    enum class Line { StatusLine, Field, End, Ignored };

    // One line, with or without its CR LF.
    Line consumeLine(std::string_view line);

    // True after the empty line that ends a head.
    bool isComplete() const { return m_complete; }
    int statusCode() const { return m_statusCode; }
    const std::string& httpVersion() const { return m_httpVersion; }
    // The status line's reason phrase as the server wrote it ("" when it wrote none).
    const std::string& reasonPhrase() const { return m_reasonPhrase; }
    const HTTPHeaderFields& fields() const { return m_fields; }
    const std::vector<std::string>& setCookieValues() const { return m_setCookies; }

    // Parses "HTTP/1.1 200 OK" (the reason is optional); false when the line is no status line.
    static bool parseStatusLine(std::string_view line, std::string& version, int& status);

private:
    int m_statusCode = 0;
    std::string m_httpVersion;
    std::string m_reasonPhrase;
    HTTPHeaderFields m_fields;
    std::vector<std::string> m_setCookies;
    std::string m_lastName;
    std::size_t m_bytes = 0;
    bool m_complete = false;
};

} // namespace platform
