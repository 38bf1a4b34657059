// The address lookup of the push client: the 128-byte lookup request, the reader of the lookup service's
// JSON reply (which stores the default connect address, the UDP report address and the wrap URLs of the
// two HTTP report servers) and the report addresses of this run.
//
// Reply reader: a reply that is not a JSON object, or an empty one, gives nothing and stores nothing;
// otherwise "user", "ips", "udp_report" and "op_conns" are read in this order, a value of the wrong
// JSON type counting as absent; the values stored while reading stay even when the reply gives no
// result. Elements of "op_conns" that are not strings are skipped.
//
// Lookup (getAddressFromSis): each of the three lookup names that resolves (IPv4 only, 2 s wait
// "dnsIdentifier") gets one query on the first lookup port (4 s) and, without a result, one on the second
// (2 s), waiting on "sisDefaultIdentifer"; then the built-in lookup address the same way. The first
// result ends the lookup; with nothing answering it takes 24 s.
//
// Thread: the client thread (the waits turn its run loop); nothing is locked.
#pragma once

#include "push/PULSEAddress.h"
#include "push/PULSEUdpSocket.h"

#include "platform/core/Crypto.h"
#include "platform/core/Value.h"

#include <array>
#include <memory>
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

class PULSEAddressController : public PULSEUdpSocketDelegate,
                               public std::enable_shared_from_this<PULSEAddressController> {
public:
    static constexpr const char* kSisIdentifier = "sisDefaultIdentifer";
    static constexpr const char* kDNSIdentifier = "dnsIdentifier";
    static constexpr double kDNSTimeout = 2.0;
    static constexpr double kDefaultPortTimeout = 4.0;
    static constexpr double kSecondPortTimeout = 2.0;

    // Made shared: the UDP socket holds it weakly as its delegate.
    static std::shared_ptr<PULSEAddressController> create() { return std::shared_ptr<PULSEAddressController>(new PULSEAddressController()); }
    ~PULSEAddressController() override;

    std::optional<PULSELookupResult> getAddressFromSis();
    std::optional<PULSELookupResult> sendSisRequest();
    std::optional<PULSELookupResult> sendSisRequest(const std::string& address, bool toDefaultPort);
    void resetUdpSocket();
    void stop();
    // The lookup name at index % 3, resolved.
    std::optional<std::string> getSisHostAddress(std::size_t index);
    // The first IPv4 address of a name, waiting at most 2 s; none when it does not resolve.
    static std::optional<std::string> getAddressByHostDomain(const std::string& name);
    // The connect host resolved, with its port ("a.b.c.d:7000"); none when it does not resolve.
    static std::optional<std::string> defaultConnectDomainAddress();

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

    // PULSEUdpSocketDelegate: only the current socket's calls count.
    void didSendData(const platform::Bytes& data, PULSEUdpSocket& socket) override;
    void didNotSendData(const platform::Bytes& data, PULSEUdpSocket& socket) override;
    void didReceivedData(const platform::Bytes& data, PULSEUdpSocket& socket) override;
    void didNotReceivedData(PULSEUdpSocket& socket, const PULSEUdpError& error) override;

    const std::shared_ptr<PULSEUdpSocket>& udpSocket() const { return m_udpSocket; }

private:
    PULSEAddressController() = default;
    void parseUserAddress(const platform::Value& value);
    std::optional<std::string> parseIpsAddress(const platform::Value& value);
    std::optional<std::string> parseUdpReportAddress(const platform::Value& value);
    std::optional<std::vector<std::string>> parseOptionAddress(const platform::Value& value);

    std::shared_ptr<PULSEUdpSocket> m_udpSocket;
    // The result of the query in progress, set by the reply.
    std::optional<PULSELookupResult> m_queryResult;
    std::optional<PULSEAddress> m_userReportAddress;
    std::optional<PULSEAddress> m_httpReportAddress;
};

} // namespace push
