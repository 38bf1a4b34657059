#include "webengine/LoopbackRequestHead.h"

#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/HTTPSyntax.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>

namespace webengine {

namespace {

constexpr std::size_t kNonceDigits = 32;

bool sameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char differ = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

bool isToken(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (c <= ' ' || c >= 0x7f || std::string_view("()<>@,;:\\\"/[]?={}").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

std::string macOf(std::string_view named, std::string_view key)
{
    const std::string text(named);
    char* mac = g_compute_hmac_for_string(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(key.data()), key.size(), text.c_str(),
                                          static_cast<gssize>(text.size()));
    std::string hex = mac ? mac : "";
    g_free(mac);
    return hex;
}

} // namespace

LoopbackHeadReader::State LoopbackHeadReader::take(std::string_view bytes)
{
    if (m_state != State::Incomplete)
        return m_state;
    // Only the last three bytes already looked through may start the empty line's "\r\n\r\n".
    const std::size_t searchFrom = m_bytes.size() >= 3 ? m_bytes.size() - 3 : 0;
    m_bytes.append(bytes);
    const auto end = m_bytes.find("\r\n\r\n", searchFrom);
    // A head's end may start at the bound: what came is refused once no end can start there any more, so the same
    // bytes are taken or refused however the reads cut them.
    if ((end == std::string::npos && m_bytes.size() > kMaxLoopbackHeadBytes + 3) || (end != std::string::npos && end > kMaxLoopbackHeadBytes)) {
        m_bytes.clear();
        m_bytes.shrink_to_fit();
        return m_state = State::TooLarge;
    }
    if (end == std::string::npos)
        return m_state;
    m_headBytes = end + 2;
    return m_state = State::Complete;
}

std::string LoopbackHeadReader::takeRest()
{
    return m_state == State::Complete ? m_bytes.substr(m_headBytes + 2) : std::string();
}

std::optional<std::string> loopbackFieldOf(const LoopbackFields& fields, std::string_view name)
{
    std::optional<std::string> found;
    for (const auto& [field, value] : fields) {
        if (!platform::http::equalsIgnoringCase(field, name))
            continue;
        found = found ? *found + ", " + value : value;
    }
    return found;
}

std::optional<LoopbackRequestLine> splitLoopbackRequestLine(std::string_view head)
{
    const std::string_view line = head.substr(0, head.find("\r\n"));
    const auto firstSpace = line.find(' ');
    const auto lastSpace = line.rfind(' ');
    if (firstSpace == std::string_view::npos || lastSpace == firstSpace)
        return std::nullopt;
    return LoopbackRequestLine{line.substr(0, firstSpace), line.substr(firstSpace + 1, lastSpace - firstSpace - 1), line.substr(lastSpace + 1)};
}

std::optional<LoopbackRequestHead> readLoopbackRequestHead(std::string_view head)
{
    const std::optional<LoopbackRequestLine> line = splitLoopbackRequestLine(head);
    if (!line)
        return std::nullopt;
    const std::string_view target = line->target;
    if (!isToken(line->method) || target.empty() || target[0] != '/' || (line->version != "HTTP/1.1" && line->version != "HTTP/1.0"))
        return std::nullopt;
    // (A space in the target would make the line read differently by another reader; the engine escapes it.)
    for (char c : target) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            return std::nullopt;
    }
    LoopbackRequestHead read{std::string(line->method), std::string(target), {}};
    // Each field line ends with "\r\n" (the last one's too, as the reader gives the head; a last line without
    // it is read to the end).
    const auto lineEnd = head.find("\r\n");
    for (std::size_t at = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2; at < head.size();) {
        const auto end = std::min(head.find("\r\n", at), head.size());
        const std::string_view fieldLine = head.substr(at, end - at);
        at = end + 2;
        const auto colon = fieldLine.find(':');
        // A lone line break or a NUL in a value is refused, not passed on cut (a Content-Length "5<NUL>..." read as 5)
        // nor dropped unseen.
        if (colon == std::string_view::npos || !isToken(fieldLine.substr(0, colon))
            || !platform::HTTPHeaderFields::isValidValue(fieldLine.substr(colon + 1)))
            return std::nullopt;
        read.fields.emplace_back(std::string(fieldLine.substr(0, colon)), std::string(platform::http::trimmed(fieldLine.substr(colon + 1))));
    }
    return read;
}

std::optional<std::uint64_t> loopbackBodyLength(const LoopbackFields& fields)
{
    const std::optional<std::string> length = loopbackFieldOf(fields, "Content-Length");
    if (!length)
        return 0;
    char* end = nullptr;
    errno = 0;
    const std::uint64_t bodyLength = g_ascii_strtoull(length->c_str(), &end, 10);
    if (length->empty() || *end || errno || !g_ascii_isdigit((*length)[0]))
        return std::nullopt;
    return bodyLength;
}

std::string writeLoopbackMark(std::uint64_t view, std::string_view nonce, std::string_view key)
{
    if (nonce.empty())
        return {};
    const std::string named = std::to_string(view) + "." + std::string(nonce);
    return named + "." + macOf(named, key);
}

std::optional<LoopbackMark> readLoopbackMark(std::string_view mark, std::string_view key)
{
    const auto second = mark.rfind('.');
    const auto first = second == std::string_view::npos || second == 0 ? std::string_view::npos : mark.rfind('.', second - 1);
    if (first == std::string_view::npos || second - first - 1 != kNonceDigits)
        return std::nullopt;
    const std::string mac = macOf(mark.substr(0, second), key);
    if (mac.empty() || !sameText(mark.substr(second + 1), mac))
        return std::nullopt;
    LoopbackMark read{0, std::string(mark.substr(first + 1, kNonceDigits))};
    char* end = nullptr;
    const std::string viewText(mark.substr(0, first));
    const std::uint64_t view = g_ascii_strtoull(viewText.c_str(), &end, 10);
    read.view = end && !*end && !viewText.empty() ? view : 0;
    return read;
}

} // namespace webengine
