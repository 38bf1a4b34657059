#include "push/PULSEMessageCenter.h"

#include "push/PULSEClientController.h"
#include "push/PULSELogging.h"
#include "push/PULSEMessageStore.h"
#include "push/PULSEReceivedPacketController.h"
#include "push/PULSEUtilities.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <utility>

namespace push {

// ---- receipt ----

PULSEMessageReceipt::PULSEMessageReceipt(const PULSEMessageDispatchController& message)
    : PULSEReceipt(message), m_messageType(message.recv_commandType()), m_messageID(message.recv_uniqueID()) {}

bool PULSEMessageReceipt::packData() {
    if (!PULSEReceipt::packData())
        return false;
    pulse_appendInt8(*packetBuffer(), m_messageType);
    pulse_appendInt64(*packetBuffer(), m_messageID);
    return true;
}

std::string PULSEMessageReceipt::description() const {
    char text[96];
    std::snprintf(text, sizeof text, "[PULSEMessageReceipt] - msgType:%d, msgId:%" PRIu64 " - ", int(m_messageType), m_messageID);
    return text + PULSENetElement::description();
}

void PULSEMessageReceipt::copyFieldsTo(PULSERequest& copy) const {
    PULSEReceipt::copyFieldsTo(copy);
    auto& receipt = static_cast<PULSEMessageReceipt&>(copy);
    receipt.m_messageType = m_messageType;
    receipt.m_messageID = m_messageID;
}

// ---- message centre ----

PULSEMessageCenter::PULSEMessageCenter(std::string storePath) : m_storePath(std::move(storePath)) {}

PULSEMessageCenter::~PULSEMessageCenter() = default;

PULSEMessageStore& PULSEMessageCenter::store() {
    if (!m_store)
        m_store = std::make_unique<PULSEMessageStore>(m_storePath.empty() ? PULSEMessageStore::defaultPath() : m_storePath);
    return *m_store;
}

void PULSEMessageCenter::dispatchMessage(const PULSEMessageDispatchController& message) {
    const std::uint64_t id = message.recv_uniqueID();
    std::string text = message.recv_messageContent().value_or(std::string());
    if (!store().accept(id, message.recv_commandType(), text)) {
        PULSE_LOG_WARN("Found repeated message, and throw it away - msgId:%" PRIu64, id);
    } else {
        if (m_receivedMsgIds.size() >= kMaxRememberedIds)
            m_receivedMsgIds.pop_front();
        m_receivedMsgIds.push_back(id);
        m_accepted.push_back({id, std::move(text)});
    }
    m_receipts.push_back(std::make_shared<PULSEMessageReceipt>(message));
    if (m_commitPosted)
        return;
    // Messages that come outside a read of the connection are committed on the next turn.
    m_commitPosted = true;
    platform::RunLoop::current().perform([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->m_commitPosted = false;
            self->commit();
        }
    });
}

void PULSEMessageCenter::commit() {
    if (m_receipts.empty() && m_accepted.empty())
        return;
    auto receipts = std::exchange(m_receipts, {});
    auto accepted = std::exchange(m_accepted, {});
    if (auto kept = store().commit(); !kept) {
        PULSE_LOG_ERROR("%zu pushed messages cannot be kept (%s): they and %zu receipts wait for the server to send them again",
                        accepted.size(), kept.error().localizedDescription().c_str(), receipts.size());
        return;
    }
    for (const auto& receipt : receipts)
        receipt->send();
    for (auto& message : accepted) {
        auto tag = std::make_shared<const PULSEHeldMessageTag>(PULSEHeldMessageTag{message.messageID});
        auto info = messageDictionary(message.text);
        auto note = std::make_shared<const platform::Notification>(
            platform::Notification{kPULSENetworkDidReceiveMessageNotification, tag.get(), info ? std::move(*info) : platform::Dictionary()});
        PULSE_LOG_DEBUG_LATER([note] {
            return std::string("PULSEPostNotificationWithUserInfo ") + note->name + " " + platform::Value(note->userInfo).description();
        });
        PULSEPerformOnMainQueue([note, tag] { platform::NotificationCenter::defaultCenter().post(*note); });
    }
}

std::vector<PULSEMessageCenter::HeldMessage> PULSEMessageCenter::heldMessages() {
    std::vector<HeldMessage> held;
    for (auto& message : store().held())
        held.push_back({message.id, messageDictionary(message.text)});
    return held;
}

void PULSEMessageCenter::handedOver(const std::vector<std::uint64_t>& messageIDs) { store().handedOver(messageIDs); }

namespace {

// The message dictionary from the parsed object, its values moved out of it.
std::optional<platform::Dictionary> messageFromInfo(platform::Value info) {
    auto* object = info.getDictionary();
    platform::Value* message = object ? object->find("message") : nullptr;
    if (!message) {
        PULSE_LOG_WARN("缺少自定义消息必须字段message");
        return std::nullopt;
    }
    // Made from a copy of its full shape (one allocation for the four entries), filled, and rid of the
    // keys the message does not have; the keys keep this order.
    static const platform::Dictionary kShape{{"content", {}}, {"title", {}}, {"content_type", {}}, {"extras", {}}};
    platform::Dictionary dictionary(kShape);
    *dictionary.find("content") = std::move(*message);
    if (auto* title = object->find("title"))
        *dictionary.find("title") = std::move(*title);
    else
        dictionary.remove("title");
    if (auto* contentType = object->find("content_type"))
        *dictionary.find("content_type") = std::move(*contentType);
    else
        dictionary.remove("content_type");
    platform::Value* extras = object->find("extras");
    std::optional<platform::Value> parsedExtras;
    if (extras && !extras->isDictionary()) {
        // A text holding a JSON dictionary stands for one; anything else is left out.
        const auto* text = extras->getString();
        if (text)
            parsedExtras = PULSEJSONObject(platform::ByteSpan(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
        extras = parsedExtras && parsedExtras->isDictionary() ? &*parsedExtras : nullptr;
    }
    if (extras)
        *dictionary.find("extras") = std::move(*extras);
    else
        dictionary.remove("extras");
    return dictionary;
}

} // namespace

std::optional<platform::Dictionary> PULSEMessageCenter::messageDictionary(std::string_view text) {
    auto info = PULSEJSONObject(platform::ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    return messageFromInfo(info ? std::move(*info) : platform::Value());
}

std::optional<platform::Dictionary> PULSEMessageCenter::getPULSEMessageFromInfo(const platform::Value& info) {
    return messageFromInfo(info);
}

// ---- message-state report ----

PULSEMessageReportRequest::PULSEMessageReportRequest() { setReportType(4); }

void PULSEMessageReportRequest::setActiveType(std::uint16_t messageStateType, std::string messageID, std::int32_t flag) {
    m_messageStateType = messageStateType;
    m_messageID = std::move(messageID);
    m_flag = flag;
}

bool PULSEMessageReportRequest::packData() {
    const bool packing = PULSEReportRequest::packData();
    if (!packing)
        return false;
    platform::Dictionary item{
        {"itime", reportTimeStamp()},
        {"type", "msg_status"},
        {"result", static_cast<std::int64_t>(m_messageStateType)},
        {"msg_id", m_messageID},
    };
    if (m_flag != kNoFlag)
        item.set("flag", static_cast<std::int64_t>(m_flag));
    setContent(item);
    reportContents().push_back(std::move(item));
    return packing;
}

void PULSEMessageReportRequest::setResponseBlock() {
    std::weak_ptr<PULSEReportRequest> weak = weak_from_this();
    m_responseBlock = [weak](const std::optional<platform::URLResponse>& response, const platform::Bytes&,
                             const std::weak_ptr<PULSEHttpRequestDelegate>& delegate) -> std::shared_ptr<PULSEHttpResponse> {
        return std::make_shared<PULSEMessageReportResponse>(response, delegate, weak.lock());
    };
}

} // namespace push
