#include "push/PULSEUDPReport.h"

#include "push/PULSEClientController.h"
#include "push/PULSELogging.h"
#include "push/PULSEPacket.h"
#include "push/PULSEUserDefaultsController.h"
#include "push/PULSEUtilities.h"

#include "platform/application/Application.h"
#include "platform/system/Device.h"

#include <cstdlib>

namespace push {

PULSEUDPReport::PULSEUDPReport() {
    m_reportBody.set("sdk_ver", platform::Value(PULSESDKVersion()));
    m_reportBody.set("platform", platform::Value("iOS"));
}

void PULSEUDPReport::updateClientInfo() {
    const auto& defaults = PULSEClientController::sharedClient().userDefaults();
    // The uid travels as the unsigned number's bit pattern.
    m_reportBody.set("uid", platform::Value(static_cast<unsigned long long>(defaults ? defaults->uid() : 0)));
    if (defaults && !defaults->appKey().empty())
        m_reportBody.set("senderid", platform::Value(defaults->appKey()));
    else
        m_reportBody.remove("senderid");
}

const platform::Bytes& PULSEUDPReport::packetData() {
    if (!m_packetData) {
        auto body = PULSEJSONData(platform::Value(m_reportBody)).value_or(platform::Bytes());
        PULSEPacketBuffer buffer;
        pulse_appendInt16(buffer, static_cast<std::uint16_t>(body.size() + 2));
        pulse_appendInt8(buffer, 'U');
        pulse_appendInt8(buffer, 'F');
        buffer.bytes().insert(buffer.bytes().end(), body.begin(), body.end());
        m_packetData = std::move(buffer.bytes());
    }
    return *m_packetData;
}

void PULSEUDPReport::send() {
    auto self = weak_from_this().lock();
    if (!self) {
        PULSE_LOG_ERROR("udp report not shared, not sent");
        return;
    }
    if (auto session = PULSEClientController::sharedClient().requestSession())
        session->sendUdpReport(self);
}

PULSEAPNSStateReport::PULSEAPNSStateReport() {
    const auto& application = platform::Application::shared();
    const double systemVersion = std::strtod(platform::Device::current().systemVersion().c_str(), nullptr);
    const unsigned types = systemVersion >= 8.0 ? application.currentUserNotificationSettingsTypes()
                                                : application.enabledRemoteNotificationTypes();
    reportBody().set("apns_state", platform::Value(types));
}

} // namespace push
