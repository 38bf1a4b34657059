#include "push/PulsePageEvents.h"

#include "platform/application/Application.h"
#include "platform/formats/JSON.h"

namespace push {

std::string_view pulsePageEventName(PulsePageEvent event) {
    switch (event) {
    case PulsePageEvent::OpenNotification: return "pulse.openNotification";
    case PulsePageEvent::ReceiveNotification: return "pulse.receiveNotification";
    case PulsePageEvent::ReceiveMessage: return "pulse.receiveMessage";
    case PulsePageEvent::SetTagsWithAlias: return "pulse.setTagsWithAlias";
    }
    return {};
}

platform::Result<std::string> pulseEventJSON(const platform::Value& data) { return platform::JSON::writeCompact(data); }

std::string pulseDocumentEventScript(PulsePageEvent event, std::string_view json) {
    const std::string_view name = pulsePageEventName(event);
    std::string script;
    script.reserve(32 + name.size() + json.size());
    script += "hybrid.fireDocumentEvent('";
    script += name;
    script += "',";
    script += json;
    script += ')';
    return script;
}

std::string pulseMessageCallbackScript(const std::optional<std::string>& json) {
    std::string script = "window.plugins.pulsePlugin.receiveMessageIniOSCallback(";
    if (json)
        platform::JSON::appendQuoted(script, *json);
    else
        script += "null";
    script += ')';
    return script;
}

platform::Result<std::pair<std::string, std::string>> pulseMessageScripts(const platform::Dictionary& userInfo) {
    if (userInfo.empty())
        return std::pair{pulseDocumentEventScript(PulsePageEvent::ReceiveMessage, "null"), pulseMessageCallbackScript(std::nullopt)};
    auto json = pulseEventJSON(platform::Value(userInfo));
    if (!json)
        return json.error();
    return std::pair{pulseDocumentEventScript(PulsePageEvent::ReceiveMessage, *json), pulseMessageCallbackScript(*json)};
}

std::optional<platform::Dictionary> pulseLaunchNotification(const platform::Dictionary& launchOptions) {
    const platform::Value* entry = launchOptions.find(platform::kApplicationLaunchOptionsRemoteNotificationKey);
    const platform::Dictionary* payload = entry ? entry->getDictionary() : nullptr;
    if (!payload || payload->empty())
        return std::nullopt;
    return *payload;
}

} // namespace push
