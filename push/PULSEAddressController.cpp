#include "push/PULSEAddressController.h"

#include "push/PULSEClientController.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSEUserDefaultsController.h"
#include "push/PULSEUtilities.h"

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
