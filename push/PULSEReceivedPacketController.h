// The TCP packet format of the push protocol, receiving side: the base of every received packet, the
// response prefix, the acknowledgement, the answers to registration, login and device-token requests,
// and the dispatcher that turns one complete packet into one of them by its command.
//
// Received header, 20 bytes, big-endian: u16 length, u8 version, u8 command, u64 rid, u64 uid. A
// response (commands 0, 1, 13) goes on with a u16 status at 20 and, when it is not 0, a length-prefixed
// error description; its own fields start at 22 and are read only for status 0.
//
// Guarantees:
// - Parsing never reads outside the packet: a field that would end past it reads as 0, a string as
//   nothing (PULSEBufferReaders.h), so a short packet gives zero fields, never a failure.
// - Thread: parsed and handled on the client thread; handleReceipt reaches the session and the stored
//   identity through the hub.
#pragma once

#include "push/PULSEBufferReaders.h"
#include "push/PULSEPacket.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace push {

class PULSEReceivedPacketController : public PULSENetElement {
public:
    static constexpr std::size_t kHeaderLength = 20;
    static constexpr std::size_t kMinimumLength = 6;

    // The received header, read from the packet's bytes.
    explicit PULSEReceivedPacketController(PULSEBytesView packet);

    // One complete packet to its object: nothing for fewer than 6 bytes or a header length beyond the
    // bytes given, for command 100 (silently) and for commands nobody handles ("receive unrecognized
    // command").
    static std::shared_ptr<PULSEReceivedPacketController> packetWithBuffer(PULSEBytesView packet);
    // How many more bytes the packet begun by these bytes needs: 6 minus the count below 6 bytes, else
    // the header length minus the count when that is larger, else 0.
    static std::uint16_t expectedBufferLen(PULSEBytesView bytes);

    // Whether the packet begun by these bytes (all of it, or its first bytes as they arrive) can be what
    // its header says. The protocol cannot find its step again once a length is wrong, so a packet of a
    // command the client reads (0, 1, 3, 13, 19) whose fields do not end where its length says is
    // Broken: a text that runs past the packet's end, or bytes after its last field. A packet cut short
    // at its declared length (fields missing from the end) is read as it stands, zero fields and all;
    // lengths below 6 and other commands are framed by their length alone.
    enum class Shape {
        Fits,       // consistent with its length so far (it may still be arriving)
        NeedsBytes, // cannot be judged before more of it has arrived
        Broken,     // cannot be what its length says
    };
    struct ShapeCheck {
        Shape shape = Shape::Fits;
        std::size_t fieldsEnd = 0; // for Broken: where its fields end (the text's end when it runs past)
    };
    static ShapeCheck packetShape(PULSEBytesView held);

    // What the packet does once delivered to the session. Nothing here.
    virtual void handleReceipt() {}

protected:
    // Where the next field is read: 20 after the header, then past each field read.
    std::uint16_t m_offset = 0;
};

class PULSEResponse : public PULSEReceivedPacketController {
public:
    explicit PULSEResponse(PULSEBytesView packet);

    std::uint16_t statusCode() const { return m_statusCode; }
    const std::optional<std::string>& errorDescription() const { return m_errorDescription; }

protected:
    std::uint16_t m_statusCode = 0;
    std::optional<std::string> m_errorDescription;
};

// Command 19: the acknowledgement of a request; the session uses its rid.
class PULSEAck : public PULSEReceivedPacketController {
public:
    explicit PULSEAck(PULSEBytesView packet);

    std::uint8_t reqCmd() const { return m_reqCmd; }
    std::uint8_t stepCode() const { return m_stepCode; }
    std::uint8_t statusCode() const { return m_statusCode; }
    std::uint64_t timestamp() const { return m_timestamp; }

    void handleReceipt() override;
    // "[PULSEAck] - requestCmd:%u, step:%u, status:%u, timestamp:%llu"
    std::string description() const override;

private:
    std::uint8_t m_reqCmd = 0;
    std::uint8_t m_stepCode = 0;
    std::uint8_t m_statusCode = 0;
    std::uint64_t m_timestamp = 0;
};

// Command 0. For status 0 the body's uid replaces the header's.
class PULSERegistrationResponse : public PULSEResponse {
public:
    explicit PULSERegistrationResponse(PULSEBytesView packet);

    const std::optional<std::string>& password() const { return m_password; }
    const std::optional<std::string>& registrationID() const { return m_registrationID; }

    void handleReceipt() override;
    std::string description() const override;

private:
    std::optional<std::string> m_password;
    std::optional<std::string> m_registrationID;
};

// Command 1.
class PULSELoginResponse : public PULSEResponse {
public:
    explicit PULSELoginResponse(PULSEBytesView packet);

    std::uint32_t sessionID() const { return m_sessionID; }
    std::uint16_t serverVersion() const { return m_serverVersion; }
    const std::optional<std::string>& sessionKey() const { return m_sessionKey; }
    std::uint32_t serverTime() const { return m_serverTime; }

    void handleReceipt() override;
    std::string description() const override;

private:
    std::uint32_t m_sessionID = 0;
    std::uint16_t m_serverVersion = 0;
    std::optional<std::string> m_sessionKey;
    std::uint32_t m_serverTime = 0;
};

// Command 13: the response prefix only. Status 0 records the current device token as uploaded.
class PULSEDeviceTokenReportResponse : public PULSEResponse {
public:
    using PULSEResponse::PULSEResponse;
    void handleReceipt() override;
};

// Declared for completeness: heartbeats are answered by acknowledgements, never by this.
class PULSEHeartbeatResponse : public PULSEResponse {
public:
    using PULSEResponse::PULSEResponse;
};

// Command 3: a pushed message (type, id, text whose last line is kept). Type 20 carries the reply to a
// tags-and-alias request and goes to the tags manager, with no receipt; every other type goes to the
// message centre and is acknowledged with a receipt, repeats included (the centre sends it once the
// message is kept).
class PULSEMessageDispatchController : public PULSEReceivedPacketController {
public:
    static constexpr std::uint8_t kTagAliasReplyType = 20;

    explicit PULSEMessageDispatchController(PULSEBytesView packet);

    void handleReceipt() override;
    void sendReceipt() const;
    // The message dictionary; nothing for type 20 and for texts without one.
    std::optional<platform::Dictionary> getDispatchMessageUserInfo() const;
    // "[PULSEMessage] - fromUid:%llu, msgType:%zd, msgId:%llu, msgContent:%@ - <header description>"
    std::string description() const override;

    std::uint8_t recv_commandType() const { return m_commandType; }
    std::uint64_t recv_uniqueID() const { return m_uniqueID; }
    std::uint64_t recv_fromUid() const { return 0; }
    const std::optional<std::string>& recv_messageContent() const { return m_messageContent; }

private:
    std::uint8_t m_commandType = 0;
    std::uint64_t m_uniqueID = 0;
    std::optional<std::string> m_messageContent;
};

} // namespace push
