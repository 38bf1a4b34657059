// The page events of pushed messages and launching notifications: any bytes as a message's text, and as
// a launch payload. Both scripts of a message stay single script lines, and the callback's string
// literal reads back as exactly the event's JSON text.
#include "push/PULSEMessageCenter.h"
#include "push/PulsePageEvents.h"

#include "platform/application/Application.h"
#include "platform/formats/JSON.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kEventPrefix = "hybrid.fireDocumentEvent('pulse.receiveMessage',";
constexpr std::string_view kCallbackPrefix = "window.plugins.pulsePlugin.receiveMessageIniOSCallback(";

bool isOneScriptLine(std::string_view script) {
    return script.find('\n') == std::string_view::npos && script.find('\r') == std::string_view::npos &&
           script.find("\xE2\x80\xA8") == std::string_view::npos && script.find("\xE2\x80\xA9") == std::string_view::npos &&
           script.find("</") == std::string_view::npos;
}

// The text between a prefix and the closing parenthesis.
std::string_view argumentOf(std::string_view script, std::string_view prefix) {
    if (script.substr(0, prefix.size()) != prefix || script.empty() || script.back() != ')')
        std::abort();
    return script.substr(prefix.size(), script.size() - prefix.size() - 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto message = push::PULSEMessageCenter::messageDictionary(text);
    auto scripts = push::pulseMessageScripts(message.value_or(platform::Dictionary()));
    if (scripts) {
        if (!isOneScriptLine(scripts->first) || !isOneScriptLine(scripts->second))
            std::abort();
        const std::string_view json = argumentOf(scripts->first, kEventPrefix);
        const std::string_view literal = argumentOf(scripts->second, kCallbackPrefix);
        if (json == "null") {
            if (literal != "null")
                std::abort();
        } else {
            auto passed = platform::JSON::parse(literal, platform::JSON::ReadMode::Fragment);
            if (!passed || !passed->isString() || *passed->getString() != json)
                std::abort();
            if (!platform::JSON::parse(json).ok())
                std::abort();
        }
    }

    auto payload = platform::JSON::parse(text, platform::JSON::ReadMode::Fragment);
    if (payload) {
        platform::Dictionary options;
        options.set(platform::kApplicationLaunchOptionsRemoteNotificationKey, *payload);
        if (auto launch = push::pulseLaunchNotification(options)) {
            if (launch->empty())
                std::abort();
            auto json = push::pulseEventJSON(platform::Value(*launch));
            if (!json || !isOneScriptLine(push::pulseDocumentEventScript(push::PulsePageEvent::OpenNotification, *json)))
                std::abort();
        }
    }
    return 0;
}
