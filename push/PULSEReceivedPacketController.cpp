#include "push/PULSEReceivedPacketController.h"

#include "push/PULSEClientController.h"
#include "push/PULSEService.h"
#include "push/PULSETagAlias.h"
#include "push/PULSELogging.h"
#include "push/PULSEMessageCenter.h"
#include "push/PULSEUserDefaultsController.h"

#include <cinttypes>
#include <cstdio>

namespace push {

namespace {

std::uint16_t headerLength(PULSEBytesView bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

const char* textOrNull(const std::optional<std::string>& text) { return text ? text->c_str() : "(null)"; }

template <class T>
std::shared_ptr<PULSEReceivedPacketController> make(PULSEBytesView packet) {
    return std::make_shared<T>(packet);
}

} // namespace

// ---- base and dispatcher ----

PULSEReceivedPacketController::PULSEReceivedPacketController(PULSEBytesView packet) {
    std::uint16_t offset = 2;
    m_version = PULSEReadInt8(packet, offset);
    m_protocolType = PULSEReadInt8(packet, offset);
    m_rid = PULSEReadInt64(packet, offset);
    m_uid = PULSEReadInt64(packet, offset);
    m_offset = offset;
}

std::shared_ptr<PULSEReceivedPacketController> PULSEReceivedPacketController::packetWithBuffer(PULSEBytesView packet) {
    if (packet.size() < kMinimumLength || headerLength(packet) > packet.size())
        return nullptr;
    switch (packet[3]) {
    case 0: return make<PULSERegistrationResponse>(packet);
    case 1: return make<PULSELoginResponse>(packet);
    case 3: return make<PULSEMessageDispatchController>(packet);
    case 13: return make<PULSEDeviceTokenReportResponse>(packet);
    case 19: return make<PULSEAck>(packet);
    case 100: return nullptr;
    default:
        PULSE_LOG_ERROR("receive unrecognized command");
        return nullptr;
    }
}

std::uint16_t PULSEReceivedPacketController::expectedBufferLen(PULSEBytesView bytes) {
    if (bytes.size() < kMinimumLength)
        return static_cast<std::uint16_t>(kMinimumLength - bytes.size());
    const std::uint16_t length = headerLength(bytes);
    return length > bytes.size() ? static_cast<std::uint16_t>(length - bytes.size()) : 0;
}

namespace {

// The fields of a received body, walked over the bytes held of a packet of a declared length.
class ShapeWalk {
public:
    ShapeWalk(PULSEBytesView held, std::size_t declared) : m_held(held), m_declared(declared) {}

    // Each step answers false when the walk is over (its outcome is then set).
    bool fixed(std::size_t width, std::uint64_t* value = nullptr) {
        if (m_at + width > m_declared)
            return finish(Shape::Fits); // cut short at its length: read as zero fields
        if (m_at + width > m_held.size())
            return finish(Shape::NeedsBytes);
        if (value) {
            *value = 0;
            for (std::size_t i = 0; i < width; ++i)
                *value = (*value << 8) | m_held[m_at + i];
        }
        m_at += width;
        return true;
    }
    bool text() {
        std::uint64_t count = 0;
        if (!fixed(2, &count))
            return false;
        m_at += count;
        if (m_at > m_declared)
            return finish(Shape::Broken);
        return true;
    }
    PULSEReceivedPacketController::ShapeCheck end() {
        if (!m_over)
            finish(m_at == m_declared ? Shape::Fits : Shape::Broken);
        return {m_shape, m_at};
    }

private:
    using Shape = PULSEReceivedPacketController::Shape;
    bool finish(Shape shape) {
        m_shape = shape;
        m_over = true;
        return false;
    }

    PULSEBytesView m_held;
    std::size_t m_declared;
    std::size_t m_at = PULSEReceivedPacketController::kHeaderLength;
    Shape m_shape = Shape::Fits;
    bool m_over = false;
};

} // namespace

PULSEReceivedPacketController::ShapeCheck PULSEReceivedPacketController::packetShape(PULSEBytesView held) {
    if (held.size() < 2)
        return {Shape::NeedsBytes, 0};
    const std::size_t declared = headerLength(held);
    if (declared < kMinimumLength)
        return {Shape::Fits, 0};
    if (held.size() < 4)
        return {Shape::NeedsBytes, 0}; // no command yet
    ShapeWalk walk(held, declared);
    if (!walk.fixed(0))
        return walk.end();
    std::uint64_t status = 0;
    switch (held[3]) {
    case 0: // registration: status, then uid, password and registration id, or the error text
        if (walk.fixed(2, &status))
            (void)(status != 0 ? walk.text() : walk.fixed(8) && walk.text() && walk.text());
        break;
    case 1: // login: status, then session id, server version, session key and server time, or the error text
        if (walk.fixed(2, &status))
            (void)(status != 0 ? walk.text() : walk.fixed(4) && walk.fixed(2) && walk.text() && walk.fixed(4));
        break;
    case 13: // device token: status, and the error text when it is not 0
        if (walk.fixed(2, &status) && status != 0)
            (void)walk.text();
        break;
    case 19: // acknowledgement: requested command, step, status, time stamp
        (void)(walk.fixed(1) && walk.fixed(1) && walk.fixed(1) && walk.fixed(8));
        break;
    case 3: // pushed message: type, id, text
        (void)(walk.fixed(1) && walk.fixed(8) && walk.text());
        break;
    default: return {Shape::Fits, 0};
    }
    return walk.end();
}

// ---- response prefix ----

PULSEResponse::PULSEResponse(PULSEBytesView packet) : PULSEReceivedPacketController(packet) {
    m_statusCode = PULSEReadInt16(packet, m_offset);
    if (m_statusCode != 0)
        m_errorDescription = PULSEReadString(packet, m_offset);
}

// ---- acknowledgement ----

PULSEAck::PULSEAck(PULSEBytesView packet) : PULSEReceivedPacketController(packet) {
    m_reqCmd = PULSEReadInt8(packet, m_offset);
    m_stepCode = PULSEReadInt8(packet, m_offset);
    m_statusCode = PULSEReadInt8(packet, m_offset);
    m_timestamp = PULSEReadInt64(packet, m_offset);
}

void PULSEAck::handleReceipt() {
    if (auto session = PULSEClientController::sharedClient().requestSession())
        session->onAckOrRespReceived(*this);
}

std::string PULSEAck::description() const {
    char text[128];
    std::snprintf(text, sizeof text, "[PULSEAck] - requestCmd:%u, step:%u, status:%u, timestamp:%" PRIu64, unsigned(m_reqCmd),
                  unsigned(m_stepCode), unsigned(m_statusCode), m_timestamp);
    return text;
}

// ---- registration ----

PULSERegistrationResponse::PULSERegistrationResponse(PULSEBytesView packet) : PULSEResponse(packet) {
    if (m_statusCode != 0)
        return;
    m_uid = PULSEReadInt64(packet, m_offset);
    m_password = PULSEReadString(packet, m_offset);
    m_registrationID = PULSEReadString(packet, m_offset);
}

void PULSERegistrationResponse::handleReceipt() {
    if (auto session = PULSEClientController::sharedClient().requestSession()) {
        session->onAckOrRespReceived(*this);
        session->onRegisterRespond(*this);
    }
}

std::string PULSERegistrationResponse::description() const {
    char text[64];
    std::snprintf(text, sizeof text, "[PULSERegistrationResponse] - uid:%" PRIu64 ", password:", m_uid);
    return std::string(text) + textOrNull(m_password) + ", registrationID:" + textOrNull(m_registrationID) + " - " +
           PULSENetElement::description();
}

// ---- login ----

PULSELoginResponse::PULSELoginResponse(PULSEBytesView packet) : PULSEResponse(packet) {
    if (m_statusCode != 0)
        return;
    m_sessionID = PULSEReadInt32(packet, m_offset);
    m_serverVersion = PULSEReadInt16(packet, m_offset);
    m_sessionKey = PULSEReadString(packet, m_offset);
    m_serverTime = PULSEReadInt32(packet, m_offset);
}

void PULSELoginResponse::handleReceipt() {
    if (auto session = PULSEClientController::sharedClient().requestSession()) {
        session->onAckOrRespReceived(*this);
        session->onLoginRespond(*this);
    }
}

std::string PULSELoginResponse::description() const {
    char text[128];
    std::snprintf(text, sizeof text, "[PULSELoginResponse] - sid:%u, serverVersion:%u, serverTime:%u, sessionKey:", m_sessionID,
                  unsigned(m_serverVersion), m_serverTime);
    return std::string(text) + textOrNull(m_sessionKey) + " - " + PULSENetElement::description();
}

// ---- device token ----

void PULSEDeviceTokenReportResponse::handleReceipt() {
    auto& client = PULSEClientController::sharedClient();
    if (auto session = client.requestSession())
        session->onAckOrRespReceived(*this);
    if (m_statusCode != 0)
        return;
    if (const auto& identity = client.userDefaults()) {
        identity->setUploadedDeviceToken(identity->currentDeviceToken());
        if (PULSEService::currentLogLevel() > 14)
            PULSE_LOG_DEBUG("upload device token success, token is : %s",
                            identity->currentDeviceToken().value_or("(null)").c_str());
        else
            PULSE_LOG_INFO("upload device token success");
    }
}

// ---- pushed message ----

PULSEMessageDispatchController::PULSEMessageDispatchController(PULSEBytesView packet) : PULSEReceivedPacketController(packet) {
    m_commandType = PULSEReadInt8(packet, m_offset);
    m_uniqueID = PULSEReadInt64(packet, m_offset);
    m_messageContent = PULSEReadString(packet, m_offset);
    if (m_messageContent) {
        const auto lastBreak = m_messageContent->rfind('\n');
        if (lastBreak != std::string::npos)
            m_messageContent->erase(0, lastBreak + 1);
    }
}

void PULSEMessageDispatchController::handleReceipt() {
    auto& client = PULSEClientController::sharedClient();
    if (m_commandType == kTagAliasReplyType) {
        if (const auto& tagAlias = client.tagAliasMng())
            tagAlias->doSetTagsAliasCallbackWithRetJson(m_messageContent.value_or(std::string()));
        return;
    }
    // A message sent again because its receipt has not reached the server yet was handed over already
    // (whether or not its id is still among the remembered ones); it is answered again all the same.
    if (auto session = client.requestSession(); session && session->isReceiptPending(m_uniqueID)) {
        PULSE_LOG_WARN("Found repeated message whose receipt is on its way, and throw it away - msgId:%" PRIu64, m_uniqueID);
    } else if (const auto& center = client.messageCenter()) {
        // Kept first: the centre sends the receipt once the message is safe.
        center->dispatchMessage(*this);
        return;
    }
    sendReceipt();
}

void PULSEMessageDispatchController::sendReceipt() const {
    std::make_shared<PULSEMessageReceipt>(*this)->send();
}

std::optional<platform::Dictionary> PULSEMessageDispatchController::getDispatchMessageUserInfo() const {
    if (m_commandType == kTagAliasReplyType)
        return std::nullopt;
    return PULSEMessageCenter::messageDictionary(m_messageContent.value_or(std::string()));
}

std::string PULSEMessageDispatchController::description() const {
    char text[128];
    std::snprintf(text, sizeof text, "[PULSEMessage] - fromUid:%" PRIu64 ", msgType:%d, msgId:%" PRIu64 ", msgContent:", recv_fromUid(),
                  int(m_commandType), m_uniqueID);
    return std::string(text) + textOrNull(m_messageContent) + " - " + PULSENetElement::description();
}

} // namespace push
