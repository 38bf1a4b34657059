#include "push/PULSEPacket.h"

#include "push/PULSEClientController.h"
#include "push/PULSELogging.h"
#include "push/PULSEReceivedPacketController.h"
#include "push/PULSETagAlias.h"

#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"

#include <cinttypes>
#include <cstdio>

namespace push {

namespace {

constexpr const char* kUidKey = "PULSE_net_element_uid";
constexpr const char* kRidKey = "PULSE_net_element_rid";
constexpr const char* kVersionKey = "PULSE_net_element_version";
constexpr const char* kProtocolTypeKey = "PULSE_net_element_protocol_type";
constexpr const char* kControlFlagKey = "PULSE_request_control_flag";
constexpr const char* kPackageDataKey = "PULSE_request_package_data";

template <class T>
void appendBigEndian(PULSEPacketBuffer& buffer, T value) {
    for (int shift = 8 * (static_cast<int>(sizeof(T)) - 1); shift >= 0; shift -= 8)
        buffer.bytes().push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendCounted(PULSEPacketBuffer& buffer, const std::uint8_t* data, std::size_t length) {
    if (length > kPULSEMaxFieldLength) {
        PULSE_LOG_ERROR("packet field too long, %zu bytes", length);
        buffer.markOverlongField();
        return;
    }
    appendBigEndian(buffer, static_cast<std::uint16_t>(length));
    if (length)
        buffer.bytes().insert(buffer.bytes().end(), data, data + length);
}

// "%@" of a buffer: its bytes in hex, as a data object describes itself.
std::string bufferText(const platform::Bytes& bytes) {
    std::string text = "<";
    char pair[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i && i % 4 == 0)
            text += ' ';
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text + ">";
}

} // namespace

// ---- writers ----

void pulse_appendInt8(PULSEPacketBuffer& buffer, std::uint8_t value) { appendBigEndian(buffer, value); }
void pulse_appendInt16(PULSEPacketBuffer& buffer, std::uint16_t value) { appendBigEndian(buffer, value); }
void pulse_appendInt32(PULSEPacketBuffer& buffer, std::uint32_t value) { appendBigEndian(buffer, value); }
void pulse_appendInt64(PULSEPacketBuffer& buffer, std::uint64_t value) { appendBigEndian(buffer, value); }

void pulse_appendString(PULSEPacketBuffer& buffer, std::optional<std::string_view> text) {
    const std::string_view bytes = text.value_or(std::string_view());
    appendCounted(buffer, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void pulse_appendDataWithLength(PULSEPacketBuffer& buffer, platform::ByteSpan data) {
    appendCounted(buffer, data.data(), data.size());
}

bool pulse_setPacketLen(PULSEPacketBuffer& buffer) {
    const std::size_t length = buffer.size();
    if (buffer.hasOverlongField()) {
        PULSE_LOG_ERROR("packet field beyond 65535 bytes, packet length %zu", length);
        PULSE_LOG_INFO("give up this request");
        return false;
    }
    if (length >= 65536) {
        PULSE_LOG_ERROR("packet too long, %lu : %s", static_cast<unsigned long>(length), bufferText(buffer.bytes()).c_str());
        PULSE_LOG_INFO("give up this request");
        return false;
    }
    if (length > kPULSEMaxPacketLength) {
        PULSE_LOG_ERROR("package length beyond limit package length");
        PULSE_LOG_INFO("give up this request");
        return false;
    }
    if (length < 2) {
        PULSE_LOG_ERROR("packet too short, %lu : %s", static_cast<unsigned long>(length), bufferText(buffer.bytes()).c_str());
        return false;
    }
    buffer.bytes()[0] = static_cast<std::uint8_t>(length >> 8);
    buffer.bytes()[1] = static_cast<std::uint8_t>(length);
    return true;
}

// ---- PULSENetElement ----

PULSENetElement::PULSENetElement(const platform::KeyedUnarchiver& coder)
    : m_version(static_cast<std::uint8_t>(coder.decodeInt64(kVersionKey))),
      m_protocolType(static_cast<std::uint8_t>(coder.decodeInt64(kProtocolTypeKey))),
      m_rid(static_cast<std::uint64_t>(coder.decodeInt64(kRidKey))),
      m_uid(static_cast<std::uint64_t>(coder.decodeInt64(kUidKey))) {}

std::string PULSENetElement::description() const {
    char text[160];
    std::snprintf(text, sizeof text, "[PULSENetElement] - version:%u, command:%u, rid:%" PRIu64 ", juid:%" PRIu64,
                  unsigned(m_version), unsigned(m_protocolType), m_rid, m_uid);
    return text;
}

void PULSENetElement::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encode(kUidKey, static_cast<std::int64_t>(m_uid));
    coder.encode(kRidKey, static_cast<std::int64_t>(m_rid));
    coder.encode(kVersionKey, static_cast<int>(m_version));
    coder.encode(kProtocolTypeKey, static_cast<int>(m_protocolType));
}

void PULSENetElement::registerArchiveClasses() {
    platform::KeyedArchiver::registerClass<PULSENetElement>("PULSENetElement");
    platform::KeyedArchiver::registerClass<PULSERequest>("PULSERequest");
    platform::KeyedArchiver::registerClass<PULSEReceipt>("PULSEReceipt");
    PULSESetTagAlias::registerArchiveClass();
}

// ---- PULSERequest ----

PULSERequest::PULSERequest() { m_rid = PULSEClientController::sharedClient().getRId(0); }

PULSERequest::PULSERequest(const platform::KeyedUnarchiver& coder)
    : PULSENetElement(coder), m_controlFlag(static_cast<std::uint8_t>(coder.decodeInt64(kControlFlagKey))) {
    // The packet buffer exists only while a packet is built; an archived one is not taken back.
}

PULSERequest::~PULSERequest() { stopAckTimeoutTimer(); }

std::optional<platform::Bytes> PULSERequest::packetData() {
    auto& client = PULSEClientController::sharedClient();
    m_packetBuffer = std::make_unique<PULSEPacketBuffer>();
    auto& buffer = *m_packetBuffer;
    pulse_appendInt16(buffer, 0);
    pulse_appendInt8(buffer, m_version);
    pulse_appendInt8(buffer, m_protocolType);
    pulse_appendInt64(buffer, m_rid);
    pulse_appendInt32(buffer, client.sessionID());
    pulse_appendInt64(buffer, client.uid());
    (void)packData(); // the body goes out with whatever was appended
    std::optional<platform::Bytes> packet;
    if (pulse_setPacketLen(buffer))
        packet = std::move(buffer.bytes());
    m_packetBuffer.reset();
    return packet;
}

bool PULSERequest::packData() { return m_packetBuffer != nullptr; }

void PULSERequest::send() {
    if (auto session = PULSEClientController::sharedClient().requestSession())
        session->sendRequest(shared_from_this());
}

void PULSERequest::startAckTimeoutTimer() {
    stopAckTimeoutTimer();
    // The callback learns which timer fired through a slot filled once the timer exists.
    auto firing = std::make_shared<std::weak_ptr<platform::Timer>>();
    std::weak_ptr<PULSERequest> weak = weak_from_this();
    auto timer = platform::RunLoop::current().scheduleTimer(platform::seconds(kAckTimeout), [weak, firing] {
        auto self = weak.lock();
        auto timer = firing->lock();
        if (self && timer)
            self->onAckTimeout(*timer);
    });
    *firing = timer;
    m_ackTimeoutTimer = timer;
}

void PULSERequest::stopAckTimeoutTimer() {
    if (auto timer = m_ackTimeoutTimer.lock())
        timer->invalidate();
    m_ackTimeoutTimer.reset();
}

void PULSERequest::onAckTimeout(platform::Timer& timer) {
    if (&timer != m_ackTimeoutTimer.lock().get())
        return;
    stopAckTimeoutTimer();
    if (auto session = PULSEClientController::sharedClient().requestSession())
        session->onAckTimeoutForRequest(shared_from_this());
}

std::shared_ptr<PULSERequest> PULSERequest::copy() const {
    auto copy = makeInstance();
    copy->m_rid = m_rid;
    copy->m_protocolType = m_protocolType;
    copy->m_uid = m_uid;
    copy->m_version = m_version;
    copy->m_controlFlag = m_controlFlag;
    if (m_packetBuffer)
        copy->m_packetBuffer = std::make_unique<PULSEPacketBuffer>(*m_packetBuffer);
    copyFieldsTo(*copy);
    return copy;
}

void PULSERequest::encodeWithCoder(platform::KeyedArchiver& coder) const {
    PULSENetElement::encodeWithCoder(coder);
    coder.encode(kControlFlagKey, static_cast<int>(m_controlFlag));
    coder.encode(kPackageDataKey, m_packetBuffer ? m_packetBuffer->bytes() : platform::Bytes());
}

// ---- PULSEReceipt ----

PULSEReceipt::PULSEReceipt() { setControlFlag(kControlFlag); }

PULSEReceipt::PULSEReceipt(const PULSEReceivedPacketController& dispatch) : PULSEReceipt() {
    m_version = dispatch.version();
    m_rid = dispatch.rid();
    m_protocolType = static_cast<std::uint8_t>(dispatch.protocolType() + 1);
    m_toUid = PULSEClientController::sharedClient().uid();
}

PULSEReceipt::PULSEReceipt(const platform::KeyedUnarchiver& coder) : PULSERequest(coder) {}

bool PULSEReceipt::packData() {
    if (!PULSERequest::packData())
        return false;
    pulse_appendInt16(*packetBuffer(), m_statusCode);
    return true;
}

std::string PULSEReceipt::description() const {
    char text[96];
    std::snprintf(text, sizeof text, "[PULSEReceipt] - status:%d, toUid:%" PRIu64 " - ", int(m_statusCode), m_toUid);
    return text + PULSENetElement::description();
}

void PULSEReceipt::copyFieldsTo(PULSERequest& copy) const {
    auto& receipt = static_cast<PULSEReceipt&>(copy);
    receipt.m_toUid = m_toUid;
    receipt.m_statusCode = m_statusCode;
}

} // namespace push
