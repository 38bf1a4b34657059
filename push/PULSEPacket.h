// The TCP packet format of the push protocol, sending side: the header model shared by sent and
// received packets (PULSENetElement), the base of every sent packet (PULSERequest) with its control
// flags and acknowledgement timer, the receipt (PULSEReceipt), and the big-endian writers.
//
// Sent header, 24 bytes, big-endian: u16 length (header included), u8 version, u8 command, u64 rid,
// u32 session id (0 when not logged in), u64 uid (0 before registration); then the command's body.
//
// Guarantees:
// - Thread: built, sent and timed on the client thread (the ack timer fires on the run loop of the
//   thread that started it). Nothing here locks.
// - packetData() answers a whole packet of 2 to 7167 bytes, or nothing with an error line: a packet of
//   7168 bytes or more, or one holding a string or data field of more than 65535 bytes (its 16-bit
//   count could not say how long it is), is never sent, and nothing is truncated.
// - Every new request draws one request id from the session through the hub; a copy draws one as well
//   and throws it away (it keeps the original's id).
#pragma once

#include "platform/core/Value.h"
#include "platform/formats/KeyedArchiver.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class Timer;
}

namespace push {

class PULSEReceivedPacketController;

// ---- big-endian writers ----

// A packet being built: its bytes, and whether a field could not be written.
class PULSEPacketBuffer {
public:
    static constexpr std::size_t kInitialCapacity = 128;
    PULSEPacketBuffer() { m_bytes.reserve(kInitialCapacity); }

    const platform::Bytes& bytes() const { return m_bytes; }
    platform::Bytes& bytes() { return m_bytes; }
    std::size_t size() const { return m_bytes.size(); }
    // A string or data field longer than 65535 bytes was refused: the packet must not be sent.
    bool hasOverlongField() const { return m_overlongField; }
    void markOverlongField() { m_overlongField = true; }

private:
    platform::Bytes m_bytes;
    bool m_overlongField = false;
};

inline constexpr std::size_t kPULSEMaxFieldLength = 0xFFFF;
inline constexpr std::size_t kPULSEMaxPacketLength = 7 * 1024 - 1; // 7167: the largest packet sent

void pulse_appendInt8(PULSEPacketBuffer& buffer, std::uint8_t value);
void pulse_appendInt16(PULSEPacketBuffer& buffer, std::uint16_t value);
void pulse_appendInt32(PULSEPacketBuffer& buffer, std::uint32_t value);
void pulse_appendInt64(PULSEPacketBuffer& buffer, std::uint64_t value);
// A u16 byte count, then the UTF-8 bytes (none for no string or an empty one). More than 65535 bytes
// append nothing, log an error and mark the buffer, so that pulse_setPacketLen refuses the packet.
void pulse_appendString(PULSEPacketBuffer& buffer, std::optional<std::string_view> text);
// The same for raw bytes.
void pulse_appendDataWithLength(PULSEPacketBuffer& buffer, platform::ByteSpan data);
// Writes the buffer's length into bytes 0-1. NO, with error and info lines, for a marked buffer or a
// length of 65536 or more, or 7168 or more; NO with an error line for fewer than 2 bytes.
bool pulse_setPacketLen(PULSEPacketBuffer& buffer);

// ---- header model ----

class PULSENetElement : public platform::KeyedArchivable {
public:
    PULSENetElement() = default;
    explicit PULSENetElement(const platform::KeyedUnarchiver& coder);

    std::uint8_t version() const { return m_version; }
    void setVersion(std::uint8_t version) { m_version = version; }
    // The command number.
    std::uint8_t protocolType() const { return m_protocolType; }
    void setProtocolType(std::uint8_t command) { m_protocolType = command; }
    std::uint64_t rid() const { return m_rid; }
    void setRid(std::uint64_t rid) { m_rid = rid; }
    std::uint64_t uid() const { return m_uid; }
    void setUid(std::uint64_t uid) { m_uid = uid; }

    // "[PULSENetElement] - version:%u, command:%u, rid:%llu, juid:%llu"
    virtual std::string description() const;

    std::string archiveClassName() const override { return "PULSENetElement"; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;

    // Registers the archivable packet classes (PULSENetElement, PULSERequest, PULSEReceipt,
    // PULSESetTagAlias) by name.
    static void registerArchiveClasses();

protected:
    std::uint8_t m_version = 0;
    std::uint8_t m_protocolType = 0;
    std::uint64_t m_rid = 0;
    std::uint64_t m_uid = 0;
};

// ---- sent packets ----

class PULSERequest : public PULSENetElement, public std::enable_shared_from_this<PULSERequest> {
public:
    enum ControlFlag : std::uint8_t {
        kLoginRequired = 1,
        kAckOrRespRequired = 2,
        kIsExclusive = 4,
        kHasHighPriority = 8,
        kCanBeQueuedIfNotLogin = 16,
        kAckOrRespRequiredForVersion1 = 32,
    };
    static constexpr std::size_t kSentHeaderLength = 24;
    static constexpr double kAckTimeout = 10.0;

    // Draws the next request id.
    PULSERequest();
    explicit PULSERequest(const platform::KeyedUnarchiver& coder);
    ~PULSERequest() override;

    std::uint8_t controlFlag() const { return m_controlFlag; }
    void setControlFlag(std::uint8_t flag) { m_controlFlag = flag; }
    bool loginRequired() const { return m_controlFlag & kLoginRequired; }
    bool ackOrRespRequired() const { return m_controlFlag & kAckOrRespRequired; }
    bool isExclusive() const { return m_controlFlag & kIsExclusive; }
    bool hasHighPriority() const { return m_controlFlag & kHasHighPriority; }
    bool canBeQueuedIfNotLogin() const { return m_controlFlag & kCanBeQueuedIfNotLogin; }
    bool ackOrRespRequiredForVersion1() const { return m_controlFlag & kAckOrRespRequiredForVersion1; }
    bool isIMMessageRequest() const { return false; }

    // The whole packet (header with the session's id and the stored uid, then the body), or nothing.
    std::optional<platform::Bytes> packetData();
    // Appends the body to the packet being built. The base answers whether a packet is being built;
    // subclasses call it first and append their fields after it.
    virtual bool packData();

    // Hands the request to the session.
    void send();
    // The session's waiting queue replaces a request equal to a new one: by default, the same id.
    virtual bool isEqualToRequest(const PULSERequest& other) const { return m_rid == other.m_rid; }

    // A one-shot 10 s timer on the current run loop, held weakly; its firing reaches the session's
    // onAckTimeoutForRequest unless the timer was stopped or replaced meanwhile.
    void startAckTimeoutTimer();
    void stopAckTimeoutTimer();
    void onAckTimeout(platform::Timer& timer);
    std::shared_ptr<platform::Timer> ackTimeoutTimer() const { return m_ackTimeoutTimer.lock(); }

    // A copy made through the class's own initialiser (which draws an id that is discarded), with the
    // header fields, the control flag and the packet buffer of this one.
    std::shared_ptr<PULSERequest> copy() const;

    std::string archiveClassName() const override { return "PULSERequest"; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;

protected:
    // The packet being built; null outside packetData().
    PULSEPacketBuffer* packetBuffer() { return m_packetBuffer.get(); }
    // A fresh object of the same class, made by its normal initialiser.
    virtual std::shared_ptr<PULSERequest> makeInstance() const { return std::make_shared<PULSERequest>(); }
    // Copies what a subclass adds (called by copy() after the base fields).
    virtual void copyFieldsTo(PULSERequest&) const {}

private:
    std::uint8_t m_controlFlag = 0;
    std::unique_ptr<PULSEPacketBuffer> m_packetBuffer;
    std::weak_ptr<platform::Timer> m_ackTimeoutTimer;
};

// The generic answer to a received packet: version and rid of that packet, its command + 1 (kept to 8
// bits), flag 25 (login, high priority, queued while logged out); body the u16 status.
class PULSEReceipt : public PULSERequest {
public:
    static constexpr std::uint8_t kControlFlag = kLoginRequired | kHasHighPriority | kCanBeQueuedIfNotLogin;

    PULSEReceipt();
    explicit PULSEReceipt(const PULSEReceivedPacketController& dispatch);
    explicit PULSEReceipt(const platform::KeyedUnarchiver& coder);

    std::uint64_t toUid() const { return m_toUid; }
    std::uint16_t statusCode() const { return m_statusCode; }
    void setStatusCode(std::uint16_t status) { m_statusCode = status; }

    bool packData() override;
    // "[PULSEReceipt] - status:%d, toUid:%llu - <header description>"
    std::string description() const override;
    std::string archiveClassName() const override { return "PULSEReceipt"; }

protected:
    std::shared_ptr<PULSERequest> makeInstance() const override { return std::make_shared<PULSEReceipt>(); }
    void copyFieldsTo(PULSERequest& copy) const override;

private:
    std::uint64_t m_toUid = 0;
    std::uint16_t m_statusCode = 0;
};

} // namespace push
