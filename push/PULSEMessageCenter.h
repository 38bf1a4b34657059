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
// - A message is receipted only once it is kept: each new message goes into the message store
//   (PULSEMessageStore), and the receipts of the messages dispatched since the last commit (repeats
//   included) leave only once commit() synced the store, which happens at the end of each read of the
//   connection (and on a later turn of the thread's run loop for messages dispatched elsewhere). A
//   commit that fails sends none of them and posts nothing: the server sends them again.
// - A message whose id the store remembers (also from before a restart) is not posted again; the last
//   101 ids dispatched are listed in receivedMsgIdsArray.
// - The notification is posted on the main queue, after the commit, with a PULSEHeldMessageTag as its
//   object; the message waits in the store until its receiver reports it handed over
//   (handedOver, through PULSEService::messagesHandedOver), also across restarts (heldMessages).
// - The centre itself belongs to the client thread.
#pragma once

#include "push/PULSEPacket.h"
#include "push/PULSEReportRequest.h"

#include "platform/core/Value.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace push {

class PULSEMessageDispatchController;
class PULSEMessageStore;

// The object of the message notifications the client posts: the id under which the message waits in
// the store for its receiver.
struct PULSEHeldMessageTag {
    std::uint64_t messageID = 0;
};

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

class PULSEMessageCenter : public std::enable_shared_from_this<PULSEMessageCenter> {
public:
    static constexpr std::size_t kMaxRememberedIds = 101;

    // The store at the path, or at PULSEMessageStore::defaultPath() when none is given; opened at first use.
    explicit PULSEMessageCenter(std::string storePath = {});
    ~PULSEMessageCenter();
    PULSEMessageCenter(const PULSEMessageCenter&) = delete;
    PULSEMessageCenter& operator=(const PULSEMessageCenter&) = delete;

    // De-duplicates and keeps the message, and its receipt until the next commit.
    void dispatchMessage(const PULSEMessageDispatchController& message);
    // Syncs the store, then sends the receipts kept and posts the new messages.
    void commit();

    // The messages waiting for their receiver, oldest first, with their message dictionaries.
    struct HeldMessage {
        std::uint64_t messageID = 0;
        std::optional<platform::Dictionary> info;
    };
    std::vector<HeldMessage> heldMessages();
    void handedOver(const std::vector<std::uint64_t>& messageIDs);
    PULSEMessageStore& store();

    // The message dictionary of a text; nothing (with a warning) without "message" or without JSON.
    static std::optional<platform::Dictionary> getPULSEMessageFromInfo(const platform::Value& info);
    static std::optional<platform::Dictionary> messageDictionary(std::string_view text);

    const std::deque<std::uint64_t>& receivedMsgIdsArray() const { return m_receivedMsgIds; }

private:
    struct Accepted {
        std::uint64_t messageID;
        std::string text;
    };

    std::deque<std::uint64_t> m_receivedMsgIds; // oldest first
    std::string m_storePath;
    std::unique_ptr<PULSEMessageStore> m_store;
    std::vector<std::shared_ptr<PULSERequest>> m_receipts; // waiting for the next commit
    std::vector<Accepted> m_accepted;                      // posted after the next commit
    bool m_commitPosted = false;
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
