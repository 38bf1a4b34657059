#include "push/PULSEAddress.h"

#include <climits>
#include <vector>

namespace push {

namespace {

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

} // namespace

std::int32_t PULSEIntValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<std::int64_t>(INT_MAX) + 1)
            value = static_cast<std::int64_t>(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<std::int32_t>(value);
}

bool PULSEAddress::p_addressVerify(std::string_view host, std::uint16_t port) {
    if (port == 0)
        return false;
    auto pieces = split(host, ".");
    if (pieces.size() != 4)
        return false;
    for (auto piece : pieces) {
        if (PULSEIntValue(piece) >= 256)
            return false;
    }
    return true;
}

std::optional<PULSEAddress> PULSEAddress::make(std::string host, std::int64_t port) {
    auto port16 = static_cast<std::uint16_t>(port);
    if (port16 == 0)
        port16 = 80;
    if (host.empty() || !p_addressVerify(host, port16))
        return std::nullopt;
    return PULSEAddress(std::move(host), port16);
}

std::optional<PULSEAddress> PULSEAddress::initWithString(std::string_view text) {
    auto pieces = split(text, ":");
    std::int64_t port = pieces.size() >= 2 ? PULSEIntValue(pieces[1]) : 0;
    return make(std::string(pieces[0]), port);
}

std::optional<PULSEAddress> PULSEAddress::initWithDictionary(const platform::Dictionary& info) {
    const auto* host = info[kHostKey].getString();
    if (!host)
        return std::nullopt;
    return make(*host, info[kPortKey].integerValue());
}

std::optional<PULSEAddress> PULSEAddress::initWithString(std::string_view text, std::string_view templateURL) {
    auto address = initWithString(text);
    if (!address)
        return std::nullopt;
    std::string url = "http://" + address->m_host + ":" + std::to_string(address->m_port);
    if (auto path = analyseResourcePath(templateURL))
        url += *path;
    address->m_httpWrapAddress = std::move(url);
    return address;
}

std::optional<std::string> PULSEAddress::analyseResourcePath(std::string_view url) {
    if (url.empty())
        return std::nullopt;
    auto pieces = split(url, "//");
    std::string_view rest = pieces.size() >= 2 ? pieces[1] : url;
    std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    return std::string(rest.substr(slash));
}

std::string PULSEAddress::absoluteString() const {
    return m_host + ":" + std::to_string(m_port);
}

platform::Dictionary PULSEAddress::infoDictionary() const {
    return platform::Dictionary{{kHostKey, platform::Value(m_host)}, {kPortKey, platform::Value(static_cast<int>(m_port))}};
}

} // namespace push
