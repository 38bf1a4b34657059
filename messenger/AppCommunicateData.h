// The pasteboard message between the application and the messaging app: request and response objects
// to the property-list dictionary and back, with the protocol's field limits (texts in UTF-16 code
// units, data in bytes), and its reading and writing on the pasteboards of either system generation.
//
// Guarantees:
// - Failures are false or nullptr, never an exception; a failed conversion may leave the dictionary
//   half written (callers drop the message).
// - Values of the wrong type in a received dictionary (a "title" that is data, a "thumbData" that is
//   text...) make the back-conversions answer nullptr.
// - Main thread (pasteboards are interface objects).
#pragma once

#include "messenger/MXObjects.h"
#include "platform/core/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace messenger {

// Command codes.
inline constexpr std::uint64_t kMXCommandMediaMessage = 1010;
inline constexpr std::uint64_t kMXCommandTextMessage = 1020;
inline constexpr std::uint64_t kMXCommandAuth = 1030;
inline constexpr std::uint64_t kMXCommandShowMessageResp = 1070;
inline constexpr std::uint64_t kMXCommandGetMessage = 2000;
inline constexpr std::uint64_t kMXCommandSendMessageResp = 2010;
inline constexpr std::uint64_t kMXCommandSendMessageRespShort = 2020;
inline constexpr std::uint64_t kMXCommandAuthResp = 2030;
inline constexpr std::uint64_t kMXCommandLaunch = 2040;

// Field limits.
inline constexpr std::size_t kMXMaxTextLength = 10240;
inline constexpr std::size_t kMXMaxScopeLength = 1024;
inline constexpr std::size_t kMXMaxStateLength = 1024;
inline constexpr std::size_t kMXMaxTitleLength = 512;
inline constexpr std::size_t kMXMaxDescriptionLength = 1024;
inline constexpr std::size_t kMXMaxThumbBytes = 32768;
inline constexpr std::size_t kMXMaxTagNameLength = 64;
inline constexpr std::size_t kMXMaxMessageExtLength = 2048;
inline constexpr std::size_t kMXMaxMediaUrlLength = 10240;
inline constexpr std::size_t kMXMaxExtInfoLength = 2048;
inline constexpr std::size_t kMXMaxFileExtLength = 64;
inline constexpr std::size_t kMXMaxMediaDataBytes = 10485760;

class AppCommunicateData {
public:
    AppCommunicateData() = default;
    // initWithPropertList: a received dictionary.
    explicit AppCommunicateData(const platform::Dictionary& plist);

    // The dictionary; nothing until a conversion starts it.
    const std::optional<platform::Dictionary>& propertList() const { return m_dictionary; }

    bool ReqToData(const std::shared_ptr<BaseReq>& req, const std::shared_ptr<MXMediaInternalMessage>& flat = nullptr);
    bool RespToData(const std::shared_ptr<BaseResp>& resp);
    // The common fields only.
    bool MakeCommand(std::uint64_t command);
    std::shared_ptr<BaseReq> DataToReq() const;
    std::shared_ptr<BaseResp> DataToResp() const;

    // Readers of received messages, each requiring its command.
    std::shared_ptr<MXAuthInternal> authRequest() const;
    std::shared_ptr<SendAuthResp> authResp() const;
    std::optional<std::string> textMessage() const;
    std::shared_ptr<MXMediaInternalMessage> mediaInternalMessage() const;

    std::uint64_t command() const { return m_command; }
    OptData fileData;
    bool returnFromApp = false;
    std::int32_t result = 1;
    std::int32_t scene = 0;
    OptString conversationAccount;
    OptString openID;
    OptString sdkVer;
    OptString lang;
    OptString country;

private:
    void writeCommon(std::uint64_t command);
    bool writeMediaMessage(const MXMediaMessage& message);
    void writeInternalMessage(const MXMediaInternalMessage& message);
    void writeMediaData(const OptData& data);
    void setIfPresent(const char* key, const OptString& value);
    std::shared_ptr<MXMediaMessage> readMediaMessage(bool full) const;

    std::uint64_t m_command = 0;
    std::optional<platform::Dictionary> m_dictionary;
    bool m_malformed = false; // a known key of the received dictionary had the wrong type
};

class AppCommunicate {
public:
    static bool setAppCommunicateData(const std::shared_ptr<AppCommunicateData>& data, const std::optional<std::string>& appId);
    static std::shared_ptr<AppCommunicateData> appCommunicateDataForAppID(const std::string& appId);

    static std::string getDataPasteboardName() { return "messenger_data"; }
    static std::string getFilePasteboardName() { return "messenger_file"; }

    // Messages larger than this are not read (the largest media data is 10 MiB).
    static constexpr std::size_t kMaxMessageBytes = 24u << 20;
};

} // namespace messenger
