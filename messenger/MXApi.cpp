#include "messenger/MXApi.h"

#include "messenger/AppCommunicateData.h"
#include "messenger/MMApiRegister.h"
#include "messenger/MXText.h"
#include "messenger/MessengerApiUtil.h"
#include "messenger/WapAuthHandler.h"
#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/formats/JSON.h"
#include "platform/text/PercentEscaping.h"
#include "platform/text/TextEncoding.h"

#include <initializer_list>
#include <string_view>
#include <utility>

namespace messenger {

namespace {

std::optional<std::string> g_appId;
std::optional<std::string> g_conversationAccount;

constexpr std::size_t kMaxNameLength = 1024;
constexpr std::size_t kMaxExtMsgLength = 2048;
constexpr std::size_t kMaxWebviewUrlLength = 10240;
constexpr std::size_t kMaxCards = 40;
constexpr std::size_t kMaxArgumentLength = MXApi::kMaxArgumentLength;

std::size_t lengthOf(const OptString& text) { return text ? platform::utf16Length(*text) : 0; }
bool nonEmpty(const OptString& text) { return text && !text->empty(); }

// Whether each named field is within kMaxArgumentLength UTF-16 units; the first that is not is logged.
bool withinArgumentLength(std::string_view request, std::initializer_list<std::pair<const char*, const OptString*>> fields) {
    for (const auto& [name, value] : fields) {
        if (lengthOf(*value) > kMaxArgumentLength) {
            platform::Log::writef("%.*s refused: %s is %zu characters long, more than %zu", static_cast<int>(request.size()),
                                  request.data(), name, lengthOf(*value), kMaxArgumentLength);
            return false;
        }
    }
    return true;
}
const std::string& orEmpty(const OptString& text) {
    static const std::string empty;
    return text ? *text : empty;
}

// Opens "messenger://app/<appId>/<command>".
bool openCommand(std::string_view command) {
    auto url = MessengerApiUtil::getMessengerUrl(g_appId, command);
    return url && platform::Application::shared().openURL(*url);
}

bool auth(const SendAuthReq& req, const std::shared_ptr<BaseReq>& original) {
    if (!MessengerApiUtil::isiOS7plus()) {
        auto url = MXApi::packReq(original);
        return url && platform::Application::shared().openURL(*url);
    }
    if (!nonEmpty(req.scope) || !withinArgumentLength("Sign-in request", {{"scope", &req.scope}, {"state", &req.state}}))
        return false;
    g_conversationAccount.reset();
    return openCommand("auth/?scope=" + MessengerApiUtil::escapingForURLArgument(*req.scope) +
                       "&state=" + MessengerApiUtil::escapingForURLArgument(orEmpty(req.state)));
}

bool pay(const PayReq& req) {
    if (!nonEmpty(req.package) || !nonEmpty(req.partnerId) || !nonEmpty(req.prepayId) || !nonEmpty(req.sign) || !nonEmpty(req.nonceStr))
        return false;
    if (!withinArgumentLength("Payment request", {{"nonceStr", &req.nonceStr},
                                                  {"package", &req.package},
                                                  {"partnerId", &req.partnerId},
                                                  {"prepayId", &req.prepayId},
                                                  {"sign", &req.sign}}))
        return false;
    g_conversationAccount.reset();
    auto arg = [](const OptString& s) { return MessengerApiUtil::escapingForURLArgument(*s); };
    return openCommand("pay/?nonceStr=" + arg(req.nonceStr) + "&package=" + arg(req.package) + "&partnerId=" + arg(req.partnerId) +
                       "&prepayId=" + arg(req.prepayId) + "&timeStamp=" + std::to_string(req.timeStamp) + "&sign=" + arg(req.sign) +
                       "&signType=SHA1");
}

bool openProfile(const JumpToBizProfileReq& req) {
    std::size_t length = lengthOf(req.username);
    if (length == 0 || length > kMaxNameLength || lengthOf(req.extMsg) > kMaxExtMsgLength)
        return false;
    std::string command = "openprofile/?username=" + *req.username + "&profiletype=" + std::to_string(req.profileType);
    if (nonEmpty(req.extMsg))
        command += "&extmsg=" + *req.extMsg;
    return openCommand(command);
}

bool jumpToBizWebview(const JumpToBizWebviewReq& req) {
    std::size_t length = lengthOf(req.tousrname);
    if (req.webType != 0 || length == 0 || length > kMaxNameLength || lengthOf(req.extMsg) > kMaxExtMsgLength)
        return false;
    std::string command = "jumptobizwebview/?webtype=" + std::to_string(req.webType) + "&tousername=" + *req.tousrname;
    if (nonEmpty(req.extMsg))
        command += "&extmsg=" + *req.extMsg;
    return openCommand(command);
}

bool addCardToMXCardPackageReq(const AddCardToMXCardPackageReq& req) {
    if (req.cardAry.empty() || req.cardAry.size() > kMaxCards)
        return false;
    platform::Dictionary cards;
    for (std::size_t i = 0; i < req.cardAry.size(); ++i) {
        MXCardItem* card = req.cardAry[i].get();
        std::size_t idLength = card ? lengthOf(card->cardId) : 0;
        if (idLength == 0 || idLength > kMaxNameLength || lengthOf(card->extMsg) > kMaxExtMsgLength)
            return false;
        if (!nonEmpty(card->extMsg))
            card->extMsg = "";
        cards.set("id" + std::to_string(i), *card->cardId);
        cards.set("ext" + std::to_string(i), *card->extMsg);
    }
    auto json = platform::JSON::writePretty(platform::Value(std::move(cards)));
    if (!json)
        return false;
    return openCommand("cardpackage/?" + platform::addPercentEscapes(json.value()));
}

bool openTempSession(const OpenTempSessionReq& req) {
    if (lengthOf(req.username) > kMaxNameLength || !withinArgumentLength("Temporary session request", {{"sessionFrom", &req.sessionFrom}}))
        return false;
    return openCommand("opentempsession/?username=" + orEmpty(req.username) +
                       "&sessionFrom=" + MessengerApiUtil::escapingForURLArgumentOnly(orEmpty(req.sessionFrom)));
}

bool openWebview(const OpenWebviewReq& req) {
    if (lengthOf(req.url) > kMaxWebviewUrlLength)
        return false;
    return openCommand("openwebview/?url=" + MessengerApiUtil::encodeUrl(orEmpty(req.url)));
}

// The text after the first "?" (up to a "#"), or "".
std::string_view queryOf(std::string_view url) {
    auto mark = url.find('?');
    if (mark == std::string_view::npos)
        return {};
    std::string_view query = url.substr(mark + 1);
    return query.substr(0, query.find('#'));
}

OptString param(const std::map<std::string, std::string>& params, const char* key) {
    auto it = params.find(key);
    return it == params.end() ? std::nullopt : OptString(it->second);
}

std::int32_t intParam(const std::map<std::string, std::string>& params, const char* key) {
    auto it = params.find(key);
    return it == params.end() ? 0 : saturate32(integerValue(it->second));
}

bool hasLongerPrefix(std::string_view url, const std::string& prefix) {
    return url.size() > prefix.size() && url.substr(0, prefix.size()) == prefix;
}

void deliverResp(MXApiDelegate* delegate, std::shared_ptr<BaseResp> resp) {
    if (delegate->respondsToResp())
        delegate->onResp(resp);
}

template <class Resp>
bool handleRetResp(std::string_view url, const std::string& prefix, MXApiDelegate* delegate) {
    if (!hasLongerPrefix(url, prefix))
        return false;
    auto params = MXApi::parseURLParams(queryOf(url));
    auto resp = std::make_shared<Resp>();
    resp->errCode = intParam(params, "ret");
    resp->errStr = param(params, "notifyStr");
    deliverResp(delegate, resp);
    return true;
}

bool handleAuthOpenUrl(std::string_view url, MXApiDelegate* delegate) {
    std::string prefix = *g_appId + "://oauth";
    if (url.substr(0, prefix.size()) != prefix)
        return false;
    auto params = MXApi::parseURLParams(queryOf(url));
    auto resp = std::make_shared<SendAuthResp>();
    OptString code = param(params, "code");
    if (!code)
        resp->errCode = kMXErrCodeCommon;
    else if (*code == "authdeny")
        resp->errCode = kMXErrCodeAuthDeny;
    else
        resp->code = code;
    resp->errStr = param(params, "reason");
    resp->state = param(params, "state");
    resp->lang = param(params, "lang");
    resp->country = param(params, "country");
    // A web sign-in's page closes before the delegate hears how it ended.
    WapAuthHandler::shareWapAuthHandlerInstance()->endWapAuth();
    deliverResp(delegate, resp);
    return true;
}

bool handlePayOpenUrl(std::string_view url, MXApiDelegate* delegate) {
    if (!hasLongerPrefix(url, *g_appId + "://pay/"))
        return false;
    auto params = MXApi::parseURLParams(queryOf(url));
    auto resp = std::make_shared<PayResp>();
    resp->returnKey = param(params, "returnKey");
    resp->errCode = intParam(params, "ret");
    resp->errStr = param(params, "notifyStr");
    deliverResp(delegate, resp);
    return true;
}

std::vector<std::shared_ptr<MXCardItem>> cardsFromInfo(const OptString& info) {
    std::vector<std::shared_ptr<MXCardItem>> cards;
    if (!nonEmpty(info))
        return cards;
    auto decoded = platform::removePercentEscapes(*info);
    if (!decoded)
        return cards;
    auto json = platform::JSON::parse(*decoded);
    if (!json || !json->isArray())
        return cards;
    for (const platform::Value& element : json->arrayOrEmpty()) {
        if (!element.isDictionary())
            continue;
        auto card = std::make_shared<MXCardItem>();
        if (const std::string* id = element["card_id"].getString())
            card->cardId = *id;
        if (const std::string* ext = element["card_ext"].getString())
            card->extMsg = *ext;
        const platform::Value& success = element["is_succ"];
        if (const std::string* s = success.getString())
            card->cardState = static_cast<std::uint32_t>(saturate32(integerValue(*s)));
        else if (success.isNumber())
            card->cardState = static_cast<std::uint32_t>(saturate32(success.doubleValue()));
        if (nonEmpty(card->cardId))
            cards.push_back(std::move(card));
    }
    return cards;
}

bool handleAddCardOpenUrl(std::string_view url, MXApiDelegate* delegate) {
    if (!hasLongerPrefix(url, *g_appId + "://cardPackage/"))
        return false;
    auto params = MXApi::parseURLParams(queryOf(url));
    auto resp = std::make_shared<AddCardToMXCardPackageResp>();
    resp->errCode = intParam(params, "errCode");
    resp->cardAry = cardsFromInfo(param(params, "addCardInfo"));
    deliverResp(delegate, resp);
    return true;
}

bool handlePasteboardMessage(std::string_view url, MXApiDelegate* delegate) {
    if (!MessengerApiUtil::isAppOpenUrl(url, *g_appId))
        return false;
    auto message = AppCommunicate::appCommunicateDataForAppID(*g_appId);
    if (!message)
        return false;
    g_conversationAccount = message->conversationAccount;
    switch (message->command()) {
    case kMXCommandMediaMessage: {
        auto req = std::dynamic_pointer_cast<ShowMessageFromMXReq>(message->DataToReq());
        if (!req)
            return false;
        if (delegate->respondsToReq())
            delegate->onReq(req);
        return true;
    }
    case kMXCommandGetMessage: {
        auto req = std::dynamic_pointer_cast<GetMessageFromMXReq>(message->DataToReq());
        if (!req)
            return false;
        if (delegate->respondsToReq())
            delegate->onReq(req);
        return true;
    }
    case kMXCommandLaunch: {
        auto req = std::dynamic_pointer_cast<LaunchFromMXReq>(message->DataToReq());
        if (!req)
            return false;
        if (delegate->respondsToReq())
            delegate->onReq(req);
        return true;
    }
    case kMXCommandSendMessageResp:
    case kMXCommandSendMessageRespShort: {
        auto resp = std::dynamic_pointer_cast<SendMessageToMXResp>(message->DataToResp());
        if (!resp)
            return false;
        deliverResp(delegate, resp);
        return true;
    }
    case kMXCommandAuthResp: {
        auto resp = std::dynamic_pointer_cast<SendAuthResp>(message->DataToResp());
        if (!resp)
            return false;
        deliverResp(delegate, resp);
        return true;
    }
    default:
        return true;
    }
}

} // namespace

// ---- registration and the app ----

bool MXApi::registerApp(const std::optional<std::string>& appId) {
    if (!MessengerApiUtil::checkAppId(appId, "registerApp"))
        return false;
    g_appId = appId;
    return MMApiRegister::registerApp(appId);
}

bool MXApi::registerApp(const std::optional<std::string>& appId, const std::string& description) {
    if (!MessengerApiUtil::checkAppId(appId, "registerApp"))
        return false;
    g_appId = appId;
    return MMApiRegister::registerApp(appId, description);
}

bool MXApi::isMXAppInstalled() {
    auto url = MessengerApiUtil::getMessengerUrl(g_appId);
    return url && platform::Application::shared().canOpenURL(*url);
}

bool MXApi::isMXAppSupportApi() { return platform::Application::shared().canOpenURL(std::string(kMessengerScheme) + "://"); }

std::string MXApi::getMXAppInstallUrl() { return "https://apps.example.com/app/messenger"; }

std::string MXApi::getApiVersion() { return kMessengerApiVersion; }

bool MXApi::openMXApp() {
    g_conversationAccount.reset();
    auto url = MessengerApiUtil::getMessengerUrl(g_appId);
    return url && platform::Application::shared().openURL(*url);
}

const std::optional<std::string>& MXApi::appId() { return g_appId; }
const std::optional<std::string>& MXApi::conversationAccount() { return g_conversationAccount; }

void MXApi::resetForTesting() {
    g_appId.reset();
    g_conversationAccount.reset();
    MessengerApiUtil::resetForTesting();
}

// ---- sending ----

bool MXApi::sendReq(const std::shared_ptr<BaseReq>& req) {
    BaseReq* r = req.get();
    if (!r)
        return false;
    if (auto* q = dynamic_cast<SendAuthReq*>(r))
        return auth(*q, req);
    if (auto* q = dynamic_cast<PayReq*>(r))
        return pay(*q);
    if (auto* q = dynamic_cast<JumpToBizProfileReq*>(r))
        return openProfile(*q);
    if (auto* q = dynamic_cast<JumpToBizWebviewReq*>(r))
        return jumpToBizWebview(*q);
    if (auto* q = dynamic_cast<AddCardToMXCardPackageReq*>(r))
        return addCardToMXCardPackageReq(*q);
    if (auto* q = dynamic_cast<OpenTempSessionReq*>(r))
        return openTempSession(*q);
    if (auto* q = dynamic_cast<OpenWebviewReq*>(r))
        return openWebview(*q);
    if (dynamic_cast<OpenRankListReq*>(r))
        return openCommand("openranklist/");
    auto url = packReq(req);
    return url && platform::Application::shared().openURL(*url);
}

bool MXApi::sendResp(const std::shared_ptr<BaseResp>& resp) {
    if (!resp)
        return false;
    auto url = packResp(resp);
    return url && platform::Application::shared().openURL(*url);
}

bool MXApi::sendAuthReq(const std::shared_ptr<SendAuthReq>& req, const std::shared_ptr<platform::ViewController>& viewController,
                        MXApiDelegate* delegate) {
    if (!req)
        return false;
    if (isMXAppInstalled())
        return sendReq(req);
    if (!withinArgumentLength("Sign-in request", {{"scope", &req->scope}, {"state", &req->state}}))
        return false;
    return WapAuthHandler::shareWapAuthHandlerInstance()->beginWapAuth(req, viewController, g_appId.value_or(""), delegate);
}

std::optional<std::string> MXApi::packReq(const std::shared_ptr<BaseReq>& req) {
    if (!req)
        return std::nullopt;
    auto message = std::make_shared<AppCommunicateData>();
    message->conversationAccount = g_conversationAccount;
    if (!message->ReqToData(req) || !AppCommunicate::setAppCommunicateData(message, g_appId))
        return std::nullopt;
    g_conversationAccount.reset();
    return MessengerApiUtil::getMessengerUrl(g_appId, "sendreq/?");
}

std::optional<std::string> MXApi::packResp(const std::shared_ptr<BaseResp>& resp) {
    if (!resp)
        return std::nullopt;
    auto message = std::make_shared<AppCommunicateData>();
    message->conversationAccount = g_conversationAccount;
    message->returnFromApp = true;
    message->result = resp->errCode;
    if (!message->RespToData(resp) || !AppCommunicate::setAppCommunicateData(message, g_appId))
        return std::nullopt;
    g_conversationAccount.reset();
    return MessengerApiUtil::getMessengerUrl(g_appId, "sendresp/?");
}

// ---- receiving ----

std::map<std::string, std::string> MXApi::parseURLParams(std::string_view query) {
    std::map<std::string, std::string> params;
    while (true) {
        std::size_t amp = query.find('&');
        std::string_view part = query.substr(0, amp);
        std::size_t eq = part.find('=');
        if (eq != std::string_view::npos) {
            std::string_view rest = part.substr(eq + 1);
            params.insert_or_assign(std::string(part.substr(0, eq)), std::string(rest.substr(0, rest.find('='))));
        }
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return params;
}

bool MXApi::handleOpenURL(std::string_view url, MXApiDelegate* delegate) {
    if (!delegate || !g_appId)
        return false;
    return handleAuthOpenUrl(url, delegate) || handlePayOpenUrl(url, delegate) || WapAuthHandler::shareWapAuthHandlerInstance()->handleWapOAuthOpenUrl(url) ||
           handleAddCardOpenUrl(url, delegate) || handleRetResp<OpenTempSessionResp>(url, *g_appId + "://opentempsession/", delegate) ||
           handleRetResp<OpenWebviewResp>(url, *g_appId + "://openwebview/", delegate) ||
           handleRetResp<OpenRankListResp>(url, *g_appId + "://openranklist/", delegate) || handlePasteboardMessage(url, delegate);
}

} // namespace messenger
