// The values the application and the messaging app exchange: requests and responses (each family with a
// base class, so a receiver tells them apart with a dynamic type test), the media message with its media
// objects, the card item, and the two flat records the pasteboard conversion reads.
//
// Plain data: a new object has every field unset, 0 or false; nothing is checked on assignment (the
// limits are checked when a request is sent). Unset texts and data are std::nullopt, which is not the
// same as empty: several conversions write a field only "when set".
#pragma once

#include "platform/core/Value.h"
#include "platform/ui/Image.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace messenger {

using OptString = std::optional<std::string>;
using OptData = std::optional<platform::Bytes>;

// ---- media objects ----

class MXMediaObject {
public:
    virtual ~MXMediaObject() = default;
};

class MXImageObject : public MXMediaObject {
public:
    static std::shared_ptr<MXImageObject> object() { return std::make_shared<MXImageObject>(); }
    OptData imageData;
    OptString imageUrl;
};

class MXMusicObject : public MXMediaObject {
public:
    static std::shared_ptr<MXMusicObject> object() { return std::make_shared<MXMusicObject>(); }
    OptString musicUrl;
    OptString musicLowBandUrl;
    OptString musicDataUrl;
    OptString musicLowBandDataUrl;
};

class MXVideoObject : public MXMediaObject {
public:
    static std::shared_ptr<MXVideoObject> object() { return std::make_shared<MXVideoObject>(); }
    OptString videoUrl;
    OptString videoLowBandUrl;
};

class MXWebpageObject : public MXMediaObject {
public:
    static std::shared_ptr<MXWebpageObject> object() { return std::make_shared<MXWebpageObject>(); }
    OptString webpageUrl;
};

class MXFileObject : public MXMediaObject {
public:
    static std::shared_ptr<MXFileObject> object() { return std::make_shared<MXFileObject>(); }
    OptString fileExtension;
    OptData fileData;
};

class MXAppExtendObject : public MXMediaObject {
public:
    static std::shared_ptr<MXAppExtendObject> object() { return std::make_shared<MXAppExtendObject>(); }
    OptString extInfo;
    OptData fileData;
    OptString url;
};

class MXEmoticonObject : public MXMediaObject {
public:
    static std::shared_ptr<MXEmoticonObject> object() { return std::make_shared<MXEmoticonObject>(); }
    OptData emoticonData;
};

class MXMediaMessage {
public:
    static std::shared_ptr<MXMediaMessage> message() { return std::make_shared<MXMediaMessage>(); }

    // Stores the image's JPEG encoding at quality 0.6 as thumbData; a null image (or one that cannot be
    // encoded) changes nothing.
    void setThumbImage(const platform::Image::Ptr& image);

    OptString title;
    OptString description;
    OptData thumbData;
    OptString mediaTagName;
    std::shared_ptr<MXMediaObject> mediaObject;
    OptString messageExt;
    OptString messageAction;

};

// The media message flattened to the pasteboard's keys.
class MXMediaInternalMessage {
public:
    static std::shared_ptr<MXMediaInternalMessage> message() { return std::make_shared<MXMediaInternalMessage>(); }
    OptString title;
    OptString description;
    OptData thumbData;
    OptString mediaTagName;
    std::uint64_t objectType = 0;
    OptString extInfo;
    OptString fileExt;
    OptData fileData;
    OptString mediaUrl;
    OptString mediaLowBandUrl;
    OptString mediaDataUrl;
    OptString mediaLowBandDataUrl;
    OptString messageExt;
    OptString messageAction;
};

// A sign-in request read from a pasteboard message.
class MXAuthInternal {
public:
    OptString scope;
    OptString state;
};

class MXCardItem {
public:
    OptString cardId;
    OptString extMsg;
    std::uint32_t cardState = 0; // in a response: the card's success flag
};

// ---- requests ----

class BaseReq {
public:
    virtual ~BaseReq() = default;
    std::int32_t type = 0;
    OptString openID;
};

class SendAuthReq : public BaseReq {
public:
    OptString scope;
    OptString state;
};

class SendMessageToMXReq : public BaseReq {
public:
    OptString text;
    std::shared_ptr<MXMediaMessage> message;
    bool bText = false;
    std::int32_t scene = 0;
};

class PayReq : public BaseReq {
public:
    OptString partnerId;
    OptString prepayId;
    OptString nonceStr;
    OptString package;
    OptString sign;
    std::uint32_t timeStamp = 0;
};

class GetMessageFromMXReq : public BaseReq {
public:
    OptString lang;
    OptString country;
};

class ShowMessageFromMXReq : public BaseReq {
public:
    std::shared_ptr<MXMediaMessage> message;
    OptString lang;
    OptString country;
};

class LaunchFromMXReq : public BaseReq {
public:
    std::shared_ptr<MXMediaMessage> message;
    OptString lang;
    OptString country;
};

class OpenTempSessionReq : public BaseReq {
public:
    OptString username;
    OptString sessionFrom;
};

class OpenWebviewReq : public BaseReq {
public:
    OptString url;
};

class OpenRankListReq : public BaseReq {};

class JumpToBizProfileReq : public BaseReq {
public:
    OptString username;
    OptString extMsg;
    std::int32_t profileType = 0;
};

class JumpToBizWebviewReq : public BaseReq {
public:
    std::int32_t webType = 0; // only 0 is sent
    OptString tousrname;
    OptString extMsg;
};

class AddCardToMXCardPackageReq : public BaseReq {
public:
    std::vector<std::shared_ptr<MXCardItem>> cardAry;
};

// ---- responses ----

// Error codes the client itself produces; every other value comes from the messaging app.
inline constexpr std::int32_t kMXSuccess = 0;
inline constexpr std::int32_t kMXErrCodeCommon = -1;
inline constexpr std::int32_t kMXErrCodeUserCancel = -2;
inline constexpr std::int32_t kMXErrCodeAuthDeny = -4;

class BaseResp {
public:
    virtual ~BaseResp() = default;
    std::int32_t errCode = 0;
    OptString errStr;
    std::int32_t type = 0;
};

class SendAuthResp : public BaseResp {
public:
    OptString code;
    OptString state;
    OptString lang;
    OptString country;
};

class SendMessageToMXResp : public BaseResp {
public:
    OptString lang;
    OptString country;
};

class PayResp : public BaseResp {
public:
    OptString returnKey;
};

class GetMessageFromMXResp : public BaseResp {
public:
    OptString text;
    std::shared_ptr<MXMediaMessage> message;
    bool bText = false;
};

class ShowMessageFromMXResp : public BaseResp {};
class OpenTempSessionResp : public BaseResp {};
class OpenWebviewResp : public BaseResp {};
class OpenRankListResp : public BaseResp {};

class AddCardToMXCardPackageResp : public BaseResp {
public:
    std::vector<std::shared_ptr<MXCardItem>> cardAry;
};

// The receiver of what the messaging app sends (onReq) and of the answers to the application's requests
// (onResp). Both are optional: respondsToReq/respondsToResp say whether the delegate takes them, and the
// client asks before each call.
class MXApiDelegate {
public:
    virtual ~MXApiDelegate() = default;
    virtual bool respondsToReq() const { return false; }
    virtual bool respondsToResp() const { return false; }
    virtual void onReq(const std::shared_ptr<BaseReq>& /*req*/) {}
    virtual void onResp(const std::shared_ptr<BaseResp>& /*resp*/) {}
};

} // namespace messenger
