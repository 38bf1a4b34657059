#include "push/PULSESessionRequests.h"

#include "push/PULSEClientController.h"
#include "push/PULSEPushConfigController.h"
#include "push/PULSEUserDefaultsController.h"
#include "push/PULSEUtilities.h"

namespace push {

namespace {

PULSEClientController& client() {
    return PULSEClientController::sharedClient();
}

std::uint8_t configuredEnvironment() {
    const auto& config = client().pushConfig();
    return static_cast<std::uint8_t>(config ? config->configApsEnvironment() : 0);
}

std::uint8_t buildEnvironment() {
    return static_cast<std::uint8_t>(client().apsEvironment());
}

std::string appKey() {
    const auto& defaults = client().userDefaults();
    return defaults ? defaults->appKey() : std::string();
}

std::optional<std::string> currentDeviceToken() {
    const auto& defaults = client().userDefaults();
    return defaults ? defaults->currentDeviceToken() : std::nullopt;
}

} // namespace

PULSERegistrationRequest::PULSERegistrationRequest() {
    setVersion(8);
    setProtocolType(0);
    setControlFlag(14);
}

bool PULSERegistrationRequest::packData() {
    if (!PULSERequest::packData())
        return false;
    auto& buffer = *packetBuffer();
    const auto& defaults = client().userDefaults();
    const std::string udid = defaults ? defaults->sharedUdid() : std::string();
    pulse_appendString(buffer, udid + "$$ $$" + client().bundleIdentifier() + "$$" + appKey());
    pulse_appendString(buffer, client().bundleVersion().description());
    pulse_appendString(buffer, client().systemVersion() + "$$" + client().modelName() + "$$ $$ $$" +
                                   client().pushChannel() + "$$" + PULSESDKVersion());
    auto token = currentDeviceToken();
    pulse_appendString(buffer, token && !token->empty() ? *token : std::string(" "));
    pulse_appendInt8(buffer, configuredEnvironment());
    pulse_appendInt8(buffer, buildEnvironment());
    pulse_appendInt8(buffer, 1);
    return true;
}

std::string PULSERegistrationRequest::description() const {
    return "[PULSERegistrationRequest] - " + PULSERequest::description();
}

PULSELoginRequest::PULSELoginRequest() {
    setVersion(12);
    setProtocolType(1);
    setControlFlag(14);
}

bool PULSELoginRequest::packData() {
    if (!PULSERequest::packData())
        return false;
    auto& buffer = *packetBuffer();
    const auto& defaults = client().userDefaults();
    const std::string password = defaults && defaults->password() ? *defaults->password() : std::string();
    for (std::uint8_t byte : {0x69, 0x00, 0x00, 0x00})
        pulse_appendInt8(buffer, byte);
    pulse_appendString(buffer, md5HexString(password));
    pulse_appendInt32(buffer, PULSESDKVersionNumber());
    pulse_appendString(buffer, appKey());
    pulse_appendInt8(buffer, 1);
    return true;
}

std::string PULSELoginRequest::description() const {
    return "[PULSELoginRequest] - " + PULSERequest::description();
}

PULSEHeartbeatRequest::PULSEHeartbeatRequest() {
    setVersion(3);
    setProtocolType(2);
    setControlFlag(41);
}

std::string PULSEHeartbeatRequest::description() const {
    return "[PULSEHeartbeatRequest] - " + PULSERequest::description();
}

PULSEDeviceTokenReportRequest::PULSEDeviceTokenReportRequest() {
    setVersion(2);
    setProtocolType(13);
    setControlFlag(21);
}

bool PULSEDeviceTokenReportRequest::packData() {
    if (!PULSERequest::packData())
        return false;
    auto& buffer = *packetBuffer();
    pulse_appendString(buffer, currentDeviceToken());
    pulse_appendInt8(buffer, configuredEnvironment());
    pulse_appendInt8(buffer, buildEnvironment());
    return true;
}

} // namespace push
