// A server address of the push client: an IPv4 host in dotted text, a port (never 0) and, for the HTTP
// report servers, a wrap URL "http://host:port/path" made from the path of a template URL.
//
// The host check is a shape test, not an IPv4 parser: exactly four "."-separated pieces whose leading
// integers are below 256 (pieces without digits count as 0). The address text "host:port" is how
// addresses travel between the parts of the client and how they are stored.
//
// Thread: a plain value.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace push {

class PULSEAddress {
public:
    static constexpr const char* kHostKey = "kPULSEAddressHostKey";
    static constexpr const char* kPortKey = "kPULSEAddressPortKey";

    // "host" or "host:port"; the port is the second piece's leading integer cut to 16 bits, 0 gives 80.
    static std::optional<PULSEAddress> initWithString(std::string_view text);
    // The dictionary form (kHostKey, kPortKey).
    static std::optional<PULSEAddress> initWithDictionary(const platform::Dictionary& info);
    // initWithString, then the wrap URL with the path of the template URL (none: no path).
    static std::optional<PULSEAddress> initWithString(std::string_view text, std::string_view templateURL);

    static bool p_addressVerify(std::string_view host, std::uint16_t port);
    // The path of a URL text: from the first "/" after "//" (or in the whole text) to its end.
    static std::optional<std::string> analyseResourcePath(std::string_view url);

    const std::string& host() const { return m_host; }
    std::uint16_t port() const { return m_port; }
    const std::optional<std::string>& httpWrapAddress() const { return m_httpWrapAddress; }
    void setHttpWrapAddress(std::optional<std::string> url) { m_httpWrapAddress = std::move(url); }

    // "host:port".
    std::string absoluteString() const;
    platform::Dictionary infoDictionary() const;

    // Same host and port (the wrap URL does not count).
    bool operator==(const PULSEAddress& other) const { return m_port == other.m_port && m_host == other.m_host; }

private:
    PULSEAddress(std::string host, std::uint16_t port) : m_host(std::move(host)), m_port(port) {}
    static std::optional<PULSEAddress> make(std::string host, std::int64_t port);

    std::string m_host;
    std::uint16_t m_port = 80;
    std::optional<std::string> m_httpWrapAddress;
};

// The leading integer of a text as a signed 32-bit number (white space, a sign and digits; clamped),
// 0 when it has none.
std::int32_t PULSEIntValue(std::string_view text);

} // namespace push
