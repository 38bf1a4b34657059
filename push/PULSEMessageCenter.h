// Pushed messages: the message centre turns each custom message (command 3, any type but 20) into the
// notification "kPULSENetworkDidReceiveMessageNotification" for the application, once per message id,
// and every message (repeats included) is acknowledged with a 35-byte receipt.
//
// Message dictionary (the notification's user information), from the message text's JSON object:
// "content" from "message" (no dictionary without it), "title" and "content_type" when present, and
// "extras" when it is a dictionary or a text holding a JSON dictionary. A text that is not JSON, or has
// no "message", gives a warning and a notification without user information.
//
// Guarantees:
// - The last 101 ids are remembered (memory only): a message repeated within them is not posted again;
//   after 102 distinct ids the first is forgotten.
// - The notification is posted on the main queue; the centre itself belongs to the client thread.
#pragma once

#include "push/PULSEPacket.h"
#include "push/PULSEReportRequest.h"

#include "platform/Value.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>

namespace push {

class PULSEMessageDispatchController;

inline constexpr const char* kPULSENetworkDidReceiveMessageNotification = "kPULSENetworkDidReceiveMessageNotification";
// Named for applications that observe it: messages of protocol type 100 (instant messages), which this
// client's dispatcher does not receive, would be posted under it.
inline constexpr const char* kPULSENetworkDidReceiveIMMessageNotification = "kPULSENetworkDidReceiveIMMessageNotification";

// The receipt of a pushed message: version and rid of the message, command 4, flag 25, the stored uid;
// body u16 0, u8 message type, u64 message id.
class PULSEMessageReceipt : public PULSEReceipt {
public:
    static constexpr std::size_t kPacketLength = 35;

    PULSEMessageReceipt() = default;
    explicit PULSEMessageReceipt(const PULSEMessageDispatchController& message);

    std::uint8_t messageType() const { return m_messageType; }
    std::uint64_t messageID() const { return m_messageID; }

    bool packData() override;
    // "[PULSEMessageReceipt] - msgType:%d, msgId:%llu - <header description>"
    std::string description() const override;

protected:
    std::shared_ptr<PULSERequest> makeInstance() const override { return std::make_shared<PULSEMessageReceipt>(); }
    void copyFieldsTo(PULSERequest& copy) const override;

private:
    std::uint8_t m_messageType = 0;
    std::uint64_t m_messageID = 0;
};

class PULSEMessageCenter {
public:
    static constexpr std::size_t kMaxRememberedIds = 101;

    // De-duplicates and posts the message (not its receipt: the dispatcher sends that).
    void dispatchMessage(const PULSEMessageDispatchController& message);

    // The message dictionary of a text; nothing (with a warning) without "message" or without JSON.
    static std::optional<platform::Dictionary> getPULSEMessageFromInfo(const platform::Value& info);
    static std::optional<platform::Dictionary> messageDictionary(std::string_view text);

    const std::deque<std::uint64_t>& receivedMsgIdsArray() const { return m_receivedMsgIds; }

private:
    std::deque<std::uint64_t> m_receivedMsgIds; // oldest first
};

// The HTTP message-state report (kind 4): {"itime", "type": "msg_status", "result": state, "msg_id": id
// text, "flag": flag (left out when it is kNoFlag)}.
class PULSEMessageReportRequest : public PULSEReportRequest {
public:
    static constexpr std::int32_t kNoFlag = -10000;

    PULSEMessageReportRequest();
    void setActiveType(std::uint16_t messageStateType, std::string messageID, std::int32_t flag);
    bool packData() override;
    void setResponseBlock() override;

private:
    std::uint16_t m_messageStateType = 0;
    std::string m_messageID;
    std::int32_t m_flag = kNoFlag;
};

class PULSEMessageReportResponse : public PULSEReportResponse {
public:
    using PULSEReportResponse::PULSEReportResponse;
};

} // namespace push
