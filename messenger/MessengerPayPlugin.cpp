#include "messenger/MessengerPayPlugin.h"

#include "messenger/MXApi.h"
#include "messenger/MXText.h"
#include "platform/core/Log.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/Notification.h"
#include "platform/text/TextEncoding.h"

#include <algorithm>
#include <utility>
#include <variant>

namespace messenger {

namespace {

using runtime::HYBCommandStatus;
using runtime::HYBPluginResult;

// A text field of the order; other types count as absent.
OptString textField(const platform::Value& order, const char* key) {
    if (const std::string* s = order[key].getString())
        return *s;
    return std::nullopt;
}

// "timeStamp": the signed 32-bit value of a number or a numeric text (saturated; other values 0), kept
// in the unsigned field as the platform's conversion keeps it.
std::uint32_t timeStampField(const platform::Value& order) {
    const platform::Value& value = order["timeStamp"];
    std::int32_t stamp = 0;
    if (const std::string* s = value.getString())
        stamp = saturate32(integerValue(*s));
    else if (const std::int64_t* i = value.getInteger())
        stamp = saturate32(*i);
    else if (const double* d = value.getDouble())
        stamp = saturate32(*d);
    return static_cast<std::uint32_t>(stamp);
}

// The pay request of the page's order, or the reason there is none.
std::variant<std::shared_ptr<PayReq>, std::string> payRequest(const runtime::HYBInvokedUrlCommand& command) {
    const platform::Value argument = command.argumentAtIndex(0);
    const std::string* text = argument.getString();
    if (!text)
        return std::string("pay: the order (argument 0) must be a JSON text");
    auto parsed = platform::JSON::parse(*text);
    if (!parsed)
        return "pay: the order is not valid JSON: " + parsed.error().localizedDescription();
    if (!parsed->isDictionary())
        return std::string("pay: the order must be a JSON object");
    const platform::Value& order = parsed.value();
    auto req = std::make_shared<PayReq>();
    req->partnerId = textField(order, "partnerId");
    req->prepayId = textField(order, "prepayId");
    req->package = textField(order, "packageValue");
    req->nonceStr = textField(order, "nonceStr");
    req->timeStamp = timeStampField(order);
    req->sign = textField(order, "sign");
    std::pair<const char*, const OptString*> required[] = {
        {"partnerId", &req->partnerId}, {"prepayId", &req->prepayId}, {"packageValue", &req->package},
        {"nonceStr", &req->nonceStr},   {"sign", &req->sign},
    };
    for (const auto& [name, field] : required) {
        if (!*field || (*field)->empty())
            return std::string("pay: the order's \"") + name + "\" is missing or empty";
        if (platform::utf16Length(**field) > MXApi::kMaxArgumentLength)
            return std::string("pay: the order's \"") + name + "\" is longer than " +
                   std::to_string(MXApi::kMaxArgumentLength) + " characters";
    }
    return req;
}

} // namespace

void MessengerPayPlugin::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<MessengerPayPlugin>("MessengerPayPlugin");
    (void)registered;
}

const runtime::HYBActionTable& MessengerPayPlugin::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<MessengerPayPlugin>({
        {"pay", &MessengerPayPlugin::pay},
        {"checkAppInstalled", &MessengerPayPlugin::checkAppInstalled},
    });
    return table;
}

void MessengerPayPlugin::pluginInitialize() {
    std::optional<std::string> appKey;
    if (auto delegate = commandDelegate()) {
        const platform::Dictionary settings = delegate->settings();
        if (const std::string* key = settings[kMessengerAppKeySetting].getString())
            appKey = *key;
    }
    MXApi::registerApp(appKey);
}

void MessengerPayPlugin::answer(HYBPluginResult result, const std::optional<std::string>& callbackId) {
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), callbackId);
}

void MessengerPayPlugin::pay(const runtime::HYBInvokedUrlCommand& command) {
    std::string refusal;
    if (!MXApi::appId()) {
        refusal = "pay: no messaging-app id is configured (setting \"messenger_appkey\")";
    } else {
        auto request = payRequest(command);
        if (auto* reason = std::get_if<std::string>(&request))
            refusal = std::move(*reason);
        else if (!MXApi::sendReq(std::get<std::shared_ptr<PayReq>>(request)))
            refusal = "pay: the messaging app is not installed or could not be opened";
    }
    if (!refusal.empty()) {
        answer(HYBPluginResult::messageAsString(HYBCommandStatus::Error, std::move(refusal)), command.callbackId());
        return;
    }
    m_currentCallbackId = command.callbackId();
}

void MessengerPayPlugin::checkAppInstalled(const runtime::HYBInvokedUrlCommand& command) {
    answer(HYBPluginResult::messageAsString(HYBCommandStatus::Ok, MXApi::isMXAppInstalled() ? "true" : "false"), command.callbackId());
}

void MessengerPayPlugin::handleOpenURL(const platform::Notification& notification) {
    const std::string* url = notification.userInfo[runtime::kHYBPluginHandleOpenURLKey].getString();
    if (!url)
        return;
    std::string scheme = url->substr(0, std::min(url->find(':'), url->size()));
    platform::Log::write("Scheme: " + scheme);
    if (scheme.rfind("mx", 0) == 0)
        MXApi::handleOpenURL(*url, this);
}

void MessengerPayPlugin::onResp(const std::shared_ptr<BaseResp>& resp) {
    auto* payResp = dynamic_cast<PayResp*>(resp.get());
    if (!m_currentCallbackId || !payResp)
        return;
    HYBPluginResult result;
    if (payResp->errCode == kMXSuccess)
        result = HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok);
    else if (payResp->errCode == kMXErrCodeUserCancel)
        result = HYBPluginResult::messageAsString(HYBCommandStatus::Error, kMessengerPayCancelledText);
    else if (payResp->errStr)
        result = HYBPluginResult::messageAsString(HYBCommandStatus::Error, *payResp->errStr);
    else
        result = HYBPluginResult::resultWithStatus(HYBCommandStatus::Error);
    std::optional<std::string> callbackId = std::exchange(m_currentCallbackId, std::nullopt);
    answer(std::move(result), callbackId);
}

} // namespace messenger
