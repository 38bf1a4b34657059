// The address lookup of the push client: the 128-byte lookup request, the reader of the lookup service's
// JSON reply (which stores the default connect address, the UDP report address and the wrap URLs of the
// two HTTP report servers) and the report addresses of this run.
//
// Reply reader: a reply that is not a JSON object, or an empty one, gives nothing and stores nothing;
// otherwise "user", "ips", "udp_report" and "op_conns" are read in this order, a value of the wrong
// JSON type counting as absent; the values stored while reading stay even when the reply gives no
// result. Elements of "op_conns" that are not strings are skipped.
//
// Thread: the client thread; nothing is locked.
#pragma once

#include "push/PULSEAddress.h"

#include "platform/Crypto.h"
#include "platform/Value.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace push {

// What a lookup gives: where to connect, where UDP reports go, and the alternative connect addresses
// in the order to try them.
struct PULSELookupResult {
    std::string connectAddress;
    std::string udpReportAddress;
    std::vector<std::string> optionAddresses;
    friend bool operator==(const PULSELookupResult&, const PULSELookupResult&) = default;
};

class PULSEAddressController {
public:
    static constexpr std::size_t kRequestSize = 128;
    using Request = std::array<std::uint8_t, kRequestSize>;

    // The lookup request: 80 00, "UF", 0, the network type, the uid's low byte, four zeros, then the
    // carrier name written from byte 4 on (over those bytes), the app key at 42, the SDK version at 92.
    static Request requestData();

    // Reads one reply; the result when "ips" (3 or more), "udp_report" (1 or more) and "op_conns" are
    // all present.
    std::optional<PULSELookupResult> parse(platform::ByteSpan reply);

    // Report addresses of this run: an empty text does nothing; an address that does not verify
    // empties the field and removes the stored URL.
    void setHttpReportAddress(const std::string& address);
    void setUserReportAddress(const std::string& address);
    std::optional<std::string> httpReportAddress() const;
    // This run's user report URL, else the stored one.
    std::optional<std::string> userReportAddress() const;

    // The stored addresses, or their built-in defaults.
    static std::string defaultConnectAddress();
    static std::string defaultReportAddress();
    // The built-in lookup address.
    static std::string defaultSisHostAddress();

private:
    void parseUserAddress(const platform::Value& value);
    std::optional<std::string> parseIpsAddress(const platform::Value& value);
    std::optional<std::string> parseUdpReportAddress(const platform::Value& value);
    std::optional<std::vector<std::string>> parseOptionAddress(const platform::Value& value);

    std::optional<PULSEAddress> m_userReportAddress;
    std::optional<PULSEAddress> m_httpReportAddress;
};

} // namespace push
