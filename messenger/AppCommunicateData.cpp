#include "messenger/AppCommunicateData.h"

#include "messenger/MXText.h"
#include "messenger/MessengerApiUtil.h"
#include "platform/system/Pasteboard.h"
#include "platform/text/TextEncoding.h"
#include "platform/ui/Image.h"

namespace messenger {

namespace {

constexpr const char* kContentType = "content";
constexpr const char* kOldTextKey = "old_text";

bool withinLength(const OptString& text, std::size_t limit) { return !text || platform::utf16Length(*text) <= limit; }
bool withinBytes(const OptData& data, std::size_t limit) { return !data || data->size() <= limit; }

bool isImage(const platform::Bytes& data) {
    platform::DecodeLimits limits;
    limits.maxFileBytes = kMXMaxThumbBytes;
    return platform::Image::decode(data, 1, limits).ok();
}

// A string field of a received dictionary: absent -> nothing; another type -> `bad` is set.
OptString stringField(const platform::Dictionary& dict, const char* key, bool& bad) {
    const platform::Value* value = dict.find(key);
    if (!value)
        return std::nullopt;
    if (const std::string* s = value->getString())
        return *s;
    bad = true;
    return std::nullopt;
}

OptData dataField(const platform::Dictionary& dict, const char* key, bool& bad) {
    const platform::Value* value = dict.find(key);
    if (!value)
        return std::nullopt;
    if (const platform::Bytes* b = value->getBytes())
        return *b;
    bad = true;
    return std::nullopt;
}

// The integer value of a decimal field (a string as the platform reads one, or an integer).
std::optional<std::int64_t> numberField(const platform::Dictionary& dict, const char* key) {
    const platform::Value* value = dict.find(key);
    if (!value)
        return std::nullopt;
    if (const std::string* s = value->getString())
        return integerValue(*s);
    if (const std::int64_t* i = value->getInteger())
        return *i;
    return 0;
}

std::string decimal(std::int64_t n) { return std::to_string(n); }

} // namespace

// ---- received dictionary ----

AppCommunicateData::AppCommunicateData(const platform::Dictionary& plist) {
    if (!plist.contains("command"))
        return;
    m_command = static_cast<std::uint64_t>(numberField(plist, "command").value_or(0));
    bool bad = false;
    conversationAccount = stringField(plist, "account", bad);
    returnFromApp = stringField(plist, "returnFromApp", bad) == std::optional<std::string>("1");
    openID = stringField(plist, "openID", bad);
    sdkVer = stringField(plist, "sdkver", bad);
    lang = stringField(plist, "language", bad);
    country = stringField(plist, "country", bad);
    result = saturate32(numberField(plist, "result").value_or(0));
    if (auto s = numberField(plist, "scene"))
        scene = saturate32(*s);
    m_malformed = bad;
    m_dictionary = plist;
}

// ---- writing ----

void AppCommunicateData::writeCommon(std::uint64_t command) {
    m_command = command;
    platform::Dictionary dict;
    dict.set("command", std::to_string(command));
    dict.set("returnFromApp", returnFromApp ? "1" : "0");
    dict.set("result", decimal(result));
    if (conversationAccount)
        dict.set("account", *conversationAccount);
    dict.set("sdkver", kMessengerApiVersion);
    m_dictionary = std::move(dict);
}

bool AppCommunicateData::MakeCommand(std::uint64_t command) {
    writeCommon(command);
    return true;
}

void AppCommunicateData::setIfPresent(const char* key, const OptString& value) {
    if (value)
        m_dictionary->set(key, *value);
}

void AppCommunicateData::writeMediaData(const OptData& data) {
    if (!MessengerApiUtil::isiOS7plus())
        fileData = data;
    else if (data)
        m_dictionary->set("fileData", *data);
}

bool AppCommunicateData::writeMediaMessage(const MXMediaMessage& message) {
    if (!withinLength(message.title, kMXMaxTitleLength) || !withinLength(message.description, kMXMaxDescriptionLength) ||
        !withinBytes(message.thumbData, kMXMaxThumbBytes) || (message.thumbData && !isImage(*message.thumbData)) ||
        !withinLength(message.mediaTagName, kMXMaxTagNameLength) || !withinLength(message.messageExt, kMXMaxMessageExtLength) ||
        !withinLength(message.messageAction, kMXMaxMessageExtLength))
        return false;
    setIfPresent("title", message.title);
    setIfPresent("description", message.description);
    if (message.thumbData)
        m_dictionary->set("thumbData", *message.thumbData);
    setIfPresent("mediaTagName", message.mediaTagName);
    setIfPresent("messageExt", message.messageExt);
    setIfPresent("messageAction", message.messageAction);

    // The media object's fields by its class.
    struct Fields {
        int type = 0;
        OptString urls[4];
        OptString extInfo;
        OptString fileExt;
        OptData data;
    } f;
    const MXMediaObject* object = message.mediaObject.get();
    if (auto* o = dynamic_cast<const MXImageObject*>(object))
        f = {2, {o->imageUrl}, {}, {}, o->imageData};
    else if (auto* o = dynamic_cast<const MXMusicObject*>(object))
        f = {3, {o->musicUrl, o->musicLowBandUrl, o->musicDataUrl, o->musicLowBandDataUrl}, {}, {}, {}};
    else if (auto* o = dynamic_cast<const MXVideoObject*>(object))
        f = {4, {o->videoUrl, o->videoLowBandUrl}, {}, {}, {}};
    else if (auto* o = dynamic_cast<const MXWebpageObject*>(object))
        f = {5, {o->webpageUrl}, {}, {}, {}};
    else if (auto* o = dynamic_cast<const MXFileObject*>(object))
        f = {6, {}, {}, o->fileExtension, o->fileData};
    else if (auto* o = dynamic_cast<const MXAppExtendObject*>(object))
        f = {7, {o->url}, o->extInfo, {}, o->fileData};
    else if (auto* o = dynamic_cast<const MXEmoticonObject*>(object))
        f = {8, {}, {}, {}, o->emoticonData};
    else
        return false;

    bool anyUrl = false;
    for (const OptString& url : f.urls) {
        if (!withinLength(url, kMXMaxMediaUrlLength))
            return false;
        anyUrl = anyUrl || url.has_value();
    }
    if (!anyUrl && !f.data && !f.extInfo)
        return false;
    if (!withinBytes(f.data, kMXMaxMediaDataBytes) || !withinLength(f.extInfo, kMXMaxExtInfoLength) ||
        !withinLength(f.fileExt, kMXMaxFileExtLength))
        return false;

    m_dictionary->set("objectType", std::to_string(f.type));
    static const char* const kUrlKeys[4] = {"mediaUrl", "mediaLowBandUrl", "mediaDataUrl", "mediaLowBandDataUrl"};
    for (int i = 0; i < 4; ++i)
        setIfPresent(kUrlKeys[i], f.urls[i]);
    setIfPresent("extInfo", f.extInfo);
    setIfPresent("fileExt", f.fileExt);
    writeMediaData(f.data);
    return true;
}

void AppCommunicateData::writeInternalMessage(const MXMediaInternalMessage& m) {
    if (!m_dictionary)
        writeCommon(kMXCommandMediaMessage);
    setIfPresent("title", m.title);
    setIfPresent("description", m.description);
    if (m.thumbData)
        m_dictionary->set("thumbData", *m.thumbData);
    setIfPresent("mediaTagName", m.mediaTagName);
    m_dictionary->set("objectType", std::to_string(m.objectType));
    setIfPresent("extInfo", m.extInfo);
    setIfPresent("fileExt", m.fileExt);
    setIfPresent("mediaUrl", m.mediaUrl);
    setIfPresent("mediaLowBandUrl", m.mediaLowBandUrl);
    setIfPresent("mediaDataUrl", m.mediaDataUrl);
    setIfPresent("mediaLowBandDataUrl", m.mediaLowBandDataUrl);
    setIfPresent("messageExt", m.messageExt);
    setIfPresent("messageAction", m.messageAction);
    writeMediaData(m.fileData);
}

bool AppCommunicateData::ReqToData(const std::shared_ptr<BaseReq>& req, const std::shared_ptr<MXMediaInternalMessage>& flat) {
    if (auto* auth = dynamic_cast<const SendAuthReq*>(req.get())) {
        writeCommon(kMXCommandAuth);
        if (!auth->scope || !withinLength(auth->scope, kMXMaxScopeLength) || !withinLength(auth->state, kMXMaxStateLength))
            return false;
        m_dictionary->set("scope", *auth->scope);
        setIfPresent("state", auth->state);
        return true;
    }
    if (auto* send = dynamic_cast<const SendMessageToMXReq*>(req.get())) {
        bool ok;
        if (send->bText) {
            writeCommon(kMXCommandTextMessage);
            std::size_t length = send->text ? platform::utf16Length(*send->text) : 0;
            ok = length >= 1 && length <= kMXMaxTextLength;
            if (ok)
                m_dictionary->set("title", *send->text);
        } else {
            writeCommon(kMXCommandMediaMessage);
            ok = send->message && writeMediaMessage(*send->message);
        }
        m_dictionary->set("scene", decimal(send->scene));
        setIfPresent("openID", send->openID);
        return ok;
    }
    auto writeFromApp = [&](std::uint64_t command, const OptString& language, const OptString& region) {
        writeCommon(command);
        if (flat)
            writeInternalMessage(*flat);
        setIfPresent("openID", req->openID);
        setIfPresent("language", language);
        setIfPresent("country", region);
        return true;
    };
    if (auto* get = dynamic_cast<const GetMessageFromMXReq*>(req.get())) {
        writeCommon(kMXCommandGetMessage);
        setIfPresent("openID", get->openID);
        setIfPresent("language", get->lang);
        setIfPresent("country", get->country);
        return true;
    }
    if (auto* show = dynamic_cast<const ShowMessageFromMXReq*>(req.get()))
        return writeFromApp(kMXCommandMediaMessage, show->lang, show->country);
    if (auto* launch = dynamic_cast<const LaunchFromMXReq*>(req.get()))
        return writeFromApp(kMXCommandLaunch, launch->lang, launch->country);
    return false;
}

bool AppCommunicateData::RespToData(const std::shared_ptr<BaseResp>& resp) {
    if (auto* auth = dynamic_cast<const SendAuthResp*>(resp.get())) {
        writeCommon(kMXCommandAuthResp);
        setIfPresent("state", auth->state);
        return true;
    }
    if (auto* get = dynamic_cast<const GetMessageFromMXResp*>(resp.get())) {
        if (get->bText) {
            writeCommon(kMXCommandTextMessage);
            std::size_t length = get->text ? platform::utf16Length(*get->text) : 0;
            if (length < 1 || length > kMXMaxTextLength)
                return false;
            m_dictionary->set("title", *get->text);
            return true;
        }
        writeCommon(kMXCommandMediaMessage);
        return get->message && writeMediaMessage(*get->message);
    }
    if (dynamic_cast<const ShowMessageFromMXResp*>(resp.get())) {
        writeCommon(kMXCommandShowMessageResp);
        return true;
    }
    if (auto* send = dynamic_cast<const SendMessageToMXResp*>(resp.get())) {
        writeCommon(kMXCommandSendMessageRespShort);
        setIfPresent("language", send->lang);
        setIfPresent("country", send->country);
        return true;
    }
    return false;
}

// ---- reading ----

std::shared_ptr<MXMediaMessage> AppCommunicateData::readMediaMessage(bool full) const {
    const platform::Dictionary& d = *m_dictionary;
    bool bad = false;
    auto message = MXMediaMessage::message();
    message->messageExt = stringField(d, "messageExt", bad);
    message->messageAction = stringField(d, "messageAction", bad);
    if (!full)
        return bad ? nullptr : message;
    auto type = numberField(d, "objectType");
    if (!type)
        return nullptr;
    message->title = stringField(d, "title", bad);
    message->description = stringField(d, "description", bad);
    message->thumbData = dataField(d, "thumbData", bad);
    message->mediaTagName = stringField(d, "mediaTagName", bad);
    OptString url = stringField(d, "mediaUrl", bad);
    OptString lowBandUrl = stringField(d, "mediaLowBandUrl", bad);
    OptString dataUrl = stringField(d, "mediaDataUrl", bad);
    OptString lowBandDataUrl = stringField(d, "mediaLowBandDataUrl", bad);
    OptString extInfo = stringField(d, "extInfo", bad);
    OptString fileExt = stringField(d, "fileExt", bad);
    if (bad)
        return nullptr;
    switch (*type) {
    case 2: {
        auto o = MXImageObject::object();
        o->imageUrl = url;
        o->imageData = fileData;
        message->mediaObject = o;
        break;
    }
    case 3: {
        auto o = MXMusicObject::object();
        o->musicUrl = url;
        o->musicLowBandUrl = lowBandUrl;
        o->musicDataUrl = dataUrl;
        o->musicLowBandDataUrl = lowBandDataUrl;
        message->mediaObject = o;
        break;
    }
    case 4: {
        auto o = MXVideoObject::object();
        o->videoUrl = url;
        o->videoLowBandUrl = lowBandUrl;
        message->mediaObject = o;
        break;
    }
    case 5: {
        auto o = MXWebpageObject::object();
        o->webpageUrl = url;
        message->mediaObject = o;
        break;
    }
    case 6: {
        auto o = MXFileObject::object();
        o->fileExtension = fileExt;
        o->fileData = fileData;
        message->mediaObject = o;
        break;
    }
    case 7: {
        auto o = MXAppExtendObject::object();
        o->url = url;
        o->extInfo = extInfo;
        o->fileData = fileData;
        message->mediaObject = o;
        break;
    }
    case 8: {
        auto o = MXEmoticonObject::object();
        o->emoticonData = fileData;
        message->mediaObject = o;
        break;
    }
    default:
        return nullptr;
    }
    return message;
}

std::shared_ptr<BaseReq> AppCommunicateData::DataToReq() const {
    if (!m_dictionary || m_malformed)
        return nullptr;
    switch (m_command) {
    case kMXCommandLaunch: {
        auto message = readMediaMessage(false);
        if (!message)
            return nullptr;
        auto req = std::make_shared<LaunchFromMXReq>();
        req->openID = openID;
        req->lang = lang;
        req->country = country;
        req->message = message;
        return req;
    }
    case kMXCommandGetMessage: {
        auto req = std::make_shared<GetMessageFromMXReq>();
        req->openID = openID;
        req->lang = lang;
        req->country = country;
        return req;
    }
    case kMXCommandMediaMessage: {
        auto message = readMediaMessage(true);
        if (!message || !dynamic_cast<MXAppExtendObject*>(message->mediaObject.get()))
            return nullptr;
        auto req = std::make_shared<ShowMessageFromMXReq>();
        req->openID = openID;
        req->message = message;
        req->lang = lang;
        req->country = country;
        return req;
    }
    default:
        return nullptr;
    }
}

std::shared_ptr<BaseResp> AppCommunicateData::DataToResp() const {
    if (!m_dictionary || m_malformed)
        return nullptr;
    switch (m_command) {
    case kMXCommandSendMessageResp: {
        auto resp = std::make_shared<SendMessageToMXResp>();
        resp->errCode = result;
        resp->lang = lang;
        resp->country = country;
        return resp;
    }
    case kMXCommandSendMessageRespShort: {
        auto resp = std::make_shared<SendMessageToMXResp>();
        resp->errCode = result;
        return resp;
    }
    case kMXCommandAuthResp: {
        auto resp = std::make_shared<SendAuthResp>();
        resp->errCode = result;
        return resp;
    }
    default:
        return nullptr;
    }
}

std::shared_ptr<MXAuthInternal> AppCommunicateData::authRequest() const {
    if (!m_dictionary || m_command != kMXCommandAuth)
        return nullptr;
    bool bad = false;
    auto auth = std::make_shared<MXAuthInternal>();
    auth->scope = stringField(*m_dictionary, "scope", bad);
    auth->state = stringField(*m_dictionary, "state", bad);
    if (bad || !auth->scope || !withinLength(auth->scope, kMXMaxScopeLength) || !withinLength(auth->state, kMXMaxStateLength))
        return nullptr;
    return auth;
}

std::shared_ptr<SendAuthResp> AppCommunicateData::authResp() const {
    if (!m_dictionary || m_command != kMXCommandAuth)
        return nullptr;
    bool bad = false;
    auto resp = std::make_shared<SendAuthResp>();
    resp->state = stringField(*m_dictionary, "state", bad);
    if (bad || !withinLength(resp->state, kMXMaxStateLength))
        return nullptr;
    return resp;
}

std::optional<std::string> AppCommunicateData::textMessage() const {
    if (!m_dictionary || m_command != kMXCommandTextMessage)
        return std::nullopt;
    bool bad = false;
    OptString title = stringField(*m_dictionary, "title", bad);
    if (bad || !withinLength(title, kMXMaxTextLength))
        return std::nullopt;
    return title;
}

std::shared_ptr<MXMediaInternalMessage> AppCommunicateData::mediaInternalMessage() const {
    if (!m_dictionary || m_command != kMXCommandMediaMessage)
        return nullptr;
    const platform::Dictionary& d = *m_dictionary;
    auto type = numberField(d, "objectType");
    if (!type)
        return nullptr;
    bool bad = false;
    auto m = MXMediaInternalMessage::message();
    m->objectType = static_cast<std::uint64_t>(*type);
    m->title = stringField(d, "title", bad);
    m->description = stringField(d, "description", bad);
    m->thumbData = dataField(d, "thumbData", bad);
    m->mediaTagName = stringField(d, "mediaTagName", bad);
    m->extInfo = stringField(d, "extInfo", bad);
    m->fileExt = stringField(d, "fileExt", bad);
    m->fileData = fileData;
    m->mediaUrl = stringField(d, "mediaUrl", bad);
    m->mediaLowBandUrl = stringField(d, "mediaLowBandUrl", bad);
    m->mediaDataUrl = stringField(d, "mediaDataUrl", bad);
    m->mediaLowBandDataUrl = stringField(d, "mediaLowBandDataUrl", bad);
    m->messageExt = stringField(d, "messageExt", bad);
    m->messageAction = stringField(d, "messageAction", bad);
    if (bad || !withinLength(m->title, kMXMaxTitleLength) || !withinLength(m->description, kMXMaxDescriptionLength) ||
        !withinBytes(m->thumbData, kMXMaxThumbBytes) || !withinLength(m->mediaTagName, kMXMaxTagNameLength) ||
        !withinLength(m->extInfo, kMXMaxExtInfoLength) || !withinLength(m->fileExt, kMXMaxFileExtLength) ||
        !withinBytes(m->fileData, kMXMaxMediaDataBytes) || !withinLength(m->mediaUrl, kMXMaxMediaUrlLength) ||
        !withinLength(m->mediaLowBandUrl, kMXMaxMediaUrlLength) || !withinLength(m->mediaDataUrl, kMXMaxMediaUrlLength) ||
        !withinLength(m->mediaLowBandDataUrl, kMXMaxMediaUrlLength) || !withinLength(m->messageExt, kMXMaxMessageExtLength) ||
        !withinLength(m->messageAction, kMXMaxMessageExtLength))
        return nullptr;
    if (!m->mediaUrl && !m->extInfo && !m->fileData)
        return nullptr;
    return m;
}

// ---- pasteboards ----

namespace {

std::shared_ptr<platform::Pasteboard> namedBoard(const std::string& name) {
    auto board = platform::Pasteboard::withName(name, true);
    if (board && !board->isPersistent())
        board->setPersistent(true);
    return board;
}

// Takes the message data of a pasteboard and empties the item. A message too large to be one is judged
// by the pasteboard's size, not read, and left where it is.
std::optional<platform::Value> takePropertyList(platform::Pasteboard& board) {
    auto data = board.dataForPasteboardType(kContentType, AppCommunicate::kMaxMessageBytes);
    if (!data || !data->has_value())
        return std::nullopt;
    board.setData({}, kContentType);
    const platform::Bytes& bytes = **data;
    return MessengerApiUtil::propertyListFromData(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool writePropertyList(platform::Pasteboard& board, const platform::Dictionary& dict) {
    auto bytes = MessengerApiUtil::dataFromPropertyList(platform::Value(dict));
    return bytes && board.setData(*bytes, kContentType);
}

// A message entry with a decimal "command"; anything else is no message.
std::shared_ptr<AppCommunicateData> messageFromEntry(const platform::Value& entry) {
    const platform::Dictionary* dict = entry.getDictionary();
    if (!dict)
        return nullptr;
    const platform::Value& command = (*dict)["command"];
    const std::string* text = command.getString();
    bool numeric = command.isInteger() || (text && !text->empty() && text->find_first_not_of("0123456789") == std::string::npos);
    if (!numeric)
        return nullptr;
    return std::make_shared<AppCommunicateData>(*dict);
}

} // namespace

bool AppCommunicate::setAppCommunicateData(const std::shared_ptr<AppCommunicateData>& data, const std::optional<std::string>& appId) {
    if (!data || !appId || !data->propertList())
        return false;
    if (MessengerApiUtil::isiOS7plus()) {
        auto board = platform::Pasteboard::general();
        platform::Dictionary all;
        all.set(*appId, *data->propertList());
        if (auto oldText = board->string(); oldText && !oldText->empty())
            all.set(kOldTextKey, *oldText);
        return writePropertyList(*board, all);
    }
    auto dataBoard = namedBoard(getDataPasteboardName());
    auto fileBoard = namedBoard(getFilePasteboardName());
    if (!dataBoard || !fileBoard)
        return false;
    platform::Dictionary all;
    if (auto previous = takePropertyList(*dataBoard); previous && previous->isDictionary())
        all = *previous->getDictionary();
    all.set(*appId, *data->propertList());
    if (!writePropertyList(*dataBoard, all))
        return false;
    return fileBoard->setData(data->fileData.value_or(platform::Bytes()), kContentType);
}

std::shared_ptr<AppCommunicateData> AppCommunicate::appCommunicateDataForAppID(const std::string& appId) {
    if (MessengerApiUtil::isiOS7plus()) {
        auto board = platform::Pasteboard::general();
        auto plist = takePropertyList(*board);
        if (!plist || !plist->isDictionary())
            return nullptr;
        const platform::Dictionary& all = *plist->getDictionary();
        if (const std::string* oldText = all[kOldTextKey].getString(); oldText && !oldText->empty())
            board->setString(*oldText);
        auto message = messageFromEntry(all[appId]);
        if (!message)
            return nullptr;
        const platform::Value& data = all[appId]["fileData"];
        if (const platform::Bytes* bytes = data.getBytes())
            message->fileData = *bytes;
        else if (!data.isNull())
            return nullptr;
        return message;
    }
    auto dataBoard = namedBoard(getDataPasteboardName());
    auto fileBoard = namedBoard(getFilePasteboardName());
    if (!dataBoard || !fileBoard)
        return nullptr;
    auto plist = takePropertyList(*dataBoard);
    auto file = fileBoard->dataForPasteboardType(kContentType, kMXMaxMediaDataBytes);
    fileBoard->setData({}, kContentType);
    if (!plist || !plist->isDictionary())
        return nullptr;
    auto message = messageFromEntry((*plist)[appId]);
    if (!message)
        return nullptr;
    if (file && file->has_value() && !(*file)->empty())
        message->fileData = std::move(**file);
    return message;
}

} // namespace messenger
