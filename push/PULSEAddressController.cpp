#include "push/PULSEAddressController.h"

#include "push/PULSEClientController.h"
#include "push/PULSEDelegateSynchronize.h"
#include "push/PULSELogging.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSEUserDefaultsController.h"
#include "push/PULSEUtilities.h"

#include "platform/net/HostResolver.h"

#include <algorithm>
#include <cstring>

namespace push {

namespace {

// Copies a text into the request at an offset, cut to the field.
void writeField(PULSEAddressController::Request& request, std::size_t offset, std::size_t size,
                std::string_view text) {
    std::memcpy(request.data() + offset, text.data(), std::min(size, text.size()));
}

const std::string* stringElement(const platform::Array& array, std::size_t index) {
    return index < array.size() ? array[index].getString() : nullptr;
}

} // namespace

PULSEAddressController::~PULSEAddressController() {
    stop();
}

std::optional<PULSELookupResult> PULSEAddressController::getAddressFromSis() {
    PULSE_LOG_DEBUG("开始Sis解析");
    resetUdpSocket();
    return sendSisRequest();
}

std::optional<PULSELookupResult> PULSEAddressController::sendSisRequest() {
    for (std::size_t index = 0; index < 3; ++index) {
        if (auto address = getSisHostAddress(index)) {
            if (auto result = sendSisRequest(*address, true))
                return result;
        }
    }
    return sendSisRequest(defaultSisHostAddress(), true);
}

std::optional<PULSELookupResult> PULSEAddressController::sendSisRequest(const std::string& address, bool toDefaultPort) {
    resetUdpSocket();
    const auto request = requestData();
    const auto ports = PULSEEndpoints::shared().lookupPorts;
    const std::uint16_t port = toDefaultPort ? ports[0] : ports[1];
    const double timeout = toDefaultPort ? kDefaultPortTimeout : kSecondPortTimeout;
    m_queryResult.reset();
    if (m_udpSocket->sendData(platform::Bytes(request.begin(), request.end()), address, port, timeout))
        PULSEDelegateSynchronize::runMethodBlockThread([] {}, timeout, kSisIdentifier);
    auto result = std::move(m_queryResult);
    m_queryResult.reset();
    if (!result && toDefaultPort) {
        resetUdpSocket();
        return sendSisRequest(address, false);
    }
    return result;
}

void PULSEAddressController::resetUdpSocket() {
    stop();
    m_udpSocket = PULSEUdpSocket::create(weak_from_this());
}

void PULSEAddressController::stop() {
    if (m_udpSocket) {
        m_udpSocket->close();
        m_udpSocket.reset();
    }
}

std::optional<std::string> PULSEAddressController::getSisHostAddress(std::size_t index) {
    return getAddressByHostDomain(PULSEEndpoints::shared().lookupHosts[index % 3]);
}

std::optional<std::string> PULSEAddressController::getAddressByHostDomain(const std::string& name) {
    std::shared_ptr<platform::HostResolver::Lookup> lookup;
    const platform::Value result = PULSEDelegateSynchronize::runMethodBlockThread(
        [&] {
            lookup = platform::HostResolver::resolve(name, [](std::optional<std::string> address, int error) {
                if (error != 0 || !address) {
                    PULSE_LOG_DEBUG("DNS request failed");
                    PULSEDelegateSynchronize::continueThread(false, platform::Value(0), kDNSIdentifier);
                } else {
                    PULSEDelegateSynchronize::continueThread(true, platform::Value(*address), kDNSIdentifier);
                }
            });
        },
        [](const platform::Value&) {}, [&](const platform::Value&) { lookup->cancel(); }, kDNSIdentifier, kDNSTimeout);
    if (lookup)
        lookup->cancel(); // a late answer finds nobody waiting
    if (const auto* address = result.getString(); address && !address->empty())
        return *address;
    return std::nullopt;
}

std::optional<std::string> PULSEAddressController::defaultConnectDomainAddress() {
    const auto connect = PULSEEndpoints::shared().connectHost;
    auto address = getAddressByHostDomain(connect.host);
    if (!address)
        return std::nullopt;
    return *address + ":" + std::to_string(connect.port);
}

void PULSEAddressController::didSendData(const platform::Bytes&, PULSEUdpSocket&) {}

void PULSEAddressController::didNotSendData(const platform::Bytes&, PULSEUdpSocket& socket) {
    if (&socket == m_udpSocket.get())
        PULSEDelegateSynchronize::continueThread(false, platform::Value(), kSisIdentifier);
}

void PULSEAddressController::didNotReceivedData(PULSEUdpSocket& socket, const PULSEUdpError&) {
    if (&socket == m_udpSocket.get())
        PULSEDelegateSynchronize::continueThread(false, platform::Value(), kSisIdentifier);
}

void PULSEAddressController::didReceivedData(const platform::Bytes& data, PULSEUdpSocket& socket) {
    if (&socket != m_udpSocket.get())
        return;
    m_queryResult = parse(data);
    PULSEDelegateSynchronize::continueThread(m_queryResult.has_value(), platform::Value(m_queryResult ? 1 : 0),
                                             kSisIdentifier);
    stop();
}

PULSEAddressController::Request PULSEAddressController::requestData() {
    Request request{};
    const auto& defaults = PULSEClientController::sharedClient().userDefaults();
    const std::string carrier = PULSECarrierName();
    request[0] = static_cast<std::uint8_t>(kRequestSize & 0xFF);
    request[1] = static_cast<std::uint8_t>(kRequestSize >> 8);
    request[2] = 'U';
    request[3] = 'F';
    request[4] = 0;
    request[5] = static_cast<std::uint8_t>(PULSENetworkType(carrier));
    request[6] = static_cast<std::uint8_t>(defaults ? defaults->uid() & 0xFF : 0);
    // Bytes 7 to 10 stay zero. The carrier name goes over bytes 4 and on, as the service reads it.
    writeField(request, 4, 38, carrier);
    writeField(request, 42, 50, defaults ? defaults->appKey() : std::string());
    writeField(request, 92, 36, PULSESDKVersion());
    return request;
}

std::optional<PULSELookupResult> PULSEAddressController::parse(platform::ByteSpan reply) {
    auto json = PULSEJSONObject(reply);
    const platform::Dictionary* object = json ? json->getDictionary() : nullptr;
    if (!object || object->empty())
        return std::nullopt;
    parseUserAddress((*object)["user"]);
    auto connect = parseIpsAddress((*object)["ips"]);
    auto udpReport = parseUdpReportAddress((*object)["udp_report"]);
    auto options = parseOptionAddress((*object)["op_conns"]);
    if (!connect || !udpReport || !options)
        return std::nullopt;
    return PULSELookupResult{std::move(*connect), std::move(*udpReport), std::move(*options)};
}

void PULSEAddressController::parseUserAddress(const platform::Value& value) {
    if (const auto* text = value.getString())
        setUserReportAddress(*text);
}

std::optional<std::string> PULSEAddressController::parseIpsAddress(const platform::Value& value) {
    const auto* ips = value.getArray();
    if (!ips || ips->size() < 3)
        return std::nullopt;
    const auto& defaults = PULSEClientController::sharedClient().userDefaults();
    if (const auto* connect = stringElement(*ips, 1); connect && !connect->empty() && defaults)
        defaults->setDefaultConAddress(platform::ArchiveValue(*connect));
    if (const auto* http = stringElement(*ips, 2))
        setHttpReportAddress(*http);
    if (const auto* first = stringElement(*ips, 0))
        return *first;
    return std::nullopt;
}

std::optional<std::string> PULSEAddressController::parseUdpReportAddress(const platform::Value& value) {
    const auto* reports = value.getArray();
    const std::string* first = reports ? stringElement(*reports, 0) : nullptr;
    if (!first)
        return std::nullopt;
    if (const auto& defaults = PULSEClientController::sharedClient().userDefaults())
        defaults->setBackupUdpReportAddress(platform::ArchiveValue(*first));
    return *first;
}

std::optional<std::vector<std::string>> PULSEAddressController::parseOptionAddress(const platform::Value& value) {
    const auto* options = value.getArray();
    if (!options)
        return std::nullopt;
    // Only texts are addresses; anything else in the list is skipped.
    std::vector<std::string> addresses;
    for (const auto& element : *options) {
        if (const auto* text = element.getString())
            addresses.push_back(*text);
    }
    return addresses;
}

void PULSEAddressController::setHttpReportAddress(const std::string& address) {
    if (address.empty())
        return;
    m_httpReportAddress = PULSEAddress::initWithString(address, PULSEEndpoints::shared().statisticsURL);
    if (const auto& defaults = PULSEClientController::sharedClient().userDefaults()) {
        defaults->setBackupHttpReportAddress(m_httpReportAddress && m_httpReportAddress->httpWrapAddress()
                                                 ? platform::ArchiveValue(*m_httpReportAddress->httpWrapAddress())
                                                 : platform::ArchiveValue());
    }
}

void PULSEAddressController::setUserReportAddress(const std::string& address) {
    if (address.empty())
        return;
    m_userReportAddress = PULSEAddress::initWithString(address, PULSEEndpoints::shared().userURL);
    if (const auto& defaults = PULSEClientController::sharedClient().userDefaults()) {
        defaults->setBackupUserReportAddress(m_userReportAddress && m_userReportAddress->httpWrapAddress()
                                                 ? platform::ArchiveValue(*m_userReportAddress->httpWrapAddress())
                                                 : platform::ArchiveValue());
    }
}

std::optional<std::string> PULSEAddressController::httpReportAddress() const {
    return m_httpReportAddress ? m_httpReportAddress->httpWrapAddress() : std::nullopt;
}

std::optional<std::string> PULSEAddressController::userReportAddress() const {
    if (m_userReportAddress)
        return m_userReportAddress->httpWrapAddress();
    const auto& defaults = PULSEClientController::sharedClient().userDefaults();
    return defaults ? defaults->backupUserReportAddress() : std::nullopt;
}

std::string PULSEAddressController::defaultConnectAddress() {
    const auto& defaults = PULSEClientController::sharedClient().userDefaults();
    if (defaults)
        return defaults->defaultConAddress();
    const auto& address = PULSEEndpoints::shared().defaultConnectAddress;
    return address.host + ":" + std::to_string(address.port);
}

std::string PULSEAddressController::defaultReportAddress() {
    const auto& defaults = PULSEClientController::sharedClient().userDefaults();
    if (defaults)
        return defaults->backupUdpReportAddress();
    const auto& address = PULSEEndpoints::shared().defaultReportAddress;
    return address.host + ":" + std::to_string(address.port);
}

std::string PULSEAddressController::defaultSisHostAddress() {
    return PULSEEndpoints::shared().lookupAddress;
}

} // namespace push
