#include "platform/net/HTTPResponseHead.h"

#include "platform/net/HTTPSyntax.h"


namespace platform {

bool HTTPResponseHead::parseStatusLine(std::string_view line, std::string& version, int& status) {
    if (line.substr(0, 5) != "HTTP/")
        return false;
    std::size_t space = line.find(' ');
    if (space == std::string_view::npos || space + 4 > line.size())
        return false;
    std::string_view code = line.substr(space + 1, 3);
    for (char c : code)
        if (c < '0' || c > '9')
            return false;
    if (space + 4 < line.size() && line[space + 4] != ' ')
        return false;
    version = std::string(line.substr(0, space));
    status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
    return true;
}

HTTPResponseHead::Line HTTPResponseHead::consumeLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);

    std::string version;
    int status = 0;
    if (parseStatusLine(line, version, status)) {
        *this = HTTPResponseHead();
        m_httpVersion = std::move(version);
        m_statusCode = status;
        // The reason: what follows the code and its space, kept only when it is a valid field value.
        const std::size_t space = line.find(' ');
        const std::string_view reason = http::trimmed(space + 5 <= line.size() ? line.substr(space + 5) : std::string_view());
        if (HTTPHeaderFields::isValidValue(reason))
            m_reasonPhrase = std::string(reason);
        return Line::StatusLine;
    }
    if (m_complete || m_statusCode == 0)
        return Line::Ignored;
    if (line.empty()) {
        m_complete = true;
        return Line::End;
    }
    if (m_bytes + line.size() > kMaxHeadBytes)
        return Line::Ignored;
    m_bytes += line.size();
    if (line.front() == ' ' || line.front() == '\t') {
        // A folded line continues the previous field.
        if (m_lastName.empty() || !HTTPHeaderFields::isValidValue(line))
            return Line::Ignored;
        std::string value = m_fields.value(m_lastName).value_or("");
        value += ' ';
        value += http::trimmed(line);
        (void)m_fields.setValue(m_lastName, value);
        return Line::Field;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return Line::Ignored;
    std::string_view name = line.substr(0, colon);
    std::string_view value = http::trimmed(line.substr(colon + 1));
    if (!HTTPHeaderFields::isValidName(name) || !HTTPHeaderFields::isValidValue(value))
        return Line::Ignored;
    bool isSetCookie = http::equalsIgnoringCase(name, "Set-Cookie");
    if (isSetCookie) {
        if (m_setCookies.size() >= kMaxSetCookies)
            return Line::Ignored;
        m_setCookies.emplace_back(value);
    }
    if (!m_fields.contains(name) && m_fields.size() >= kMaxFields)
        return Line::Ignored;
    (void)m_fields.addValue(name, value);
    m_lastName = std::string(name);
    return Line::Field;
}

} // namespace platform
