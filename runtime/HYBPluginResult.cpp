#include "runtime/HYBPluginResult.h"

#include "platform/formats/JSON.h"
#include "runtime/HYBBase64.h"
#include "platform/core/Log.h"

#include <array>
#include <atomic>

namespace runtime {
namespace {

std::atomic<bool> g_verbose{false};

constexpr std::array<std::string_view, 10> kStatusNames = {
    "No result", "OK", "Class not found", "Illegal access", "Instantiation error",
    "Malformed url", "IO error", "Invalid action", "JSON error", "Error",
};

platform::Dictionary arrayBufferDictionary(const platform::Bytes& bytes) {
    // Set one by one: a dictionary made from a list would copy the text (a file's bytes as Base64).
    platform::Dictionary dictionary;
    dictionary.set("HYBType", "ArrayBuffer");
    dictionary.set("data", hybBase64Encode(bytes));
    return dictionary;
}

std::string callbackString(const char* function, std::string_view callbackId, const std::optional<std::string>& json) {
    std::string script = "hybrid.";
    script += function;
    script += "('";
    script += callbackId;
    script += "',";
    script += json.value_or("null");
    script += ");";
    return script;
}

} // namespace

HYBPluginResult::HYBPluginResult() : HYBPluginResult(HYBCommandStatus::NoResult, platform::Value()) {}

HYBPluginResult::HYBPluginResult(HYBCommandStatus status, platform::Value message)
    : m_status(status), m_message(std::move(message)) {}

HYBPluginResult HYBPluginResult::resultWithStatus(HYBCommandStatus status) {
    return HYBPluginResult(status, platform::Value());
}

HYBPluginResult HYBPluginResult::messageAsString(HYBCommandStatus status, std::string message) {
    return HYBPluginResult(status, platform::Value(std::move(message)));
}

HYBPluginResult HYBPluginResult::messageAsArray(HYBCommandStatus status, platform::Array message) {
    return HYBPluginResult(status, platform::Value(std::move(message)));
}

HYBPluginResult HYBPluginResult::messageAsInt(HYBCommandStatus status, std::int32_t message) {
    return HYBPluginResult(status, platform::Value(message));
}

HYBPluginResult HYBPluginResult::messageAsDouble(HYBCommandStatus status, double message) {
    return HYBPluginResult(status, platform::Value(message));
}

HYBPluginResult HYBPluginResult::messageAsBool(HYBCommandStatus status, bool message) {
    return HYBPluginResult(status, platform::Value(message));
}

HYBPluginResult HYBPluginResult::messageAsDictionary(HYBCommandStatus status, platform::Dictionary message) {
    return HYBPluginResult(status, platform::Value(std::move(message)));
}

HYBPluginResult HYBPluginResult::messageAsArrayBuffer(HYBCommandStatus status, const platform::Bytes& message) {
    return HYBPluginResult(status, platform::Value(arrayBufferDictionary(message)));
}

HYBPluginResult HYBPluginResult::messageAsMultipart(HYBCommandStatus status, const platform::Array& messages) {
    platform::Array parts;
    parts.reserve(messages.size());
    for (const platform::Value& message : messages) {
        if (const platform::Bytes* bytes = message.getBytes())
            parts.emplace_back(arrayBufferDictionary(*bytes));
        else
            parts.push_back(message);
    }
    platform::Dictionary multipart;
    multipart.set("HYBType", "MultiPart");
    multipart.set("messages", std::move(parts));
    return HYBPluginResult(status, platform::Value(std::move(multipart)));
}

HYBPluginResult HYBPluginResult::messageToErrorObject(HYBCommandStatus status, std::int32_t errorCode) {
    return HYBPluginResult(status, platform::Value(platform::Dictionary{{"code", errorCode}}));
}

std::string HYBPluginResult::argumentsAsJSON() const {
    std::string text;
    appendArgumentsAsJSON(text);
    return text;
}

void HYBPluginResult::appendArgumentsAsJSON(std::string& out) const {
    if (platform::Status written = platform::JSON::append(out, m_message); !written) {
        platform::Log::write("NSArray JSONString error: " + written.error().localizedDescription());
        out += "null";
    }
}

std::optional<std::string> HYBPluginResult::toJSONString() const {
    platform::Dictionary answer{
        {"status", static_cast<std::int32_t>(m_status)},
        {"message", m_message},
        {"keepCallback", m_keepCallback},
    };
    platform::Result<std::string> text = platform::JSON::writePretty(platform::Value(std::move(answer)));
    if (!text) {
        platform::Log::write("toJSONString error: " + text.error().localizedDescription());
        return std::nullopt;
    }
    if (isVerbose())
        platform::Log::write("PluginResult:toJSONString - " + *text);
    return std::move(text).value();
}

std::string HYBPluginResult::toSuccessCallbackString(std::string_view callbackId) const {
    std::string script = callbackString("callbackSuccess", callbackId, toJSONString());
    if (isVerbose())
        platform::Log::write("PluginResult toSuccessCallbackString: " + script);
    return script;
}

std::string HYBPluginResult::toErrorCallbackString(std::string_view callbackId) const {
    std::string script = callbackString("callbackError", callbackId, toJSONString());
    if (isVerbose())
        platform::Log::write("PluginResult toErrorCallbackString: " + script);
    return script;
}

std::string_view HYBPluginResult::statusName(HYBCommandStatus status) {
    auto index = static_cast<std::size_t>(status);
    return index < kStatusNames.size() ? kStatusNames[index] : std::string_view();
}

void HYBPluginResult::setVerbose(bool verbose) {
    g_verbose = verbose;
}

bool HYBPluginResult::isVerbose() {
    return g_verbose;
}

} // namespace runtime
