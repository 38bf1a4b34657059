// One answer from a plug-in to the page: a status, a message of one of the message kinds, and whether
// the page keeps its callback for further answers.
//
// A result is a plain value; it may be made on any thread and handed to the command delegate, which
// delivers it on the main thread.
#pragma once

#include "platform/core/Value.h"

#include <any>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace runtime {

enum class HYBCommandStatus : std::int32_t {
    NoResult = 0,
    Ok = 1,
    ClassNotFound = 2,
    IllegalAccess = 3,
    InstantiationError = 4,
    MalformedUrl = 5,
    IOError = 6,
    InvalidAction = 7,
    JSONError = 8,
    Error = 9,
};

class HYBPluginResult {
public:
    // Status 0 ("No result") without a message.
    HYBPluginResult();
    HYBPluginResult(HYBCommandStatus status, platform::Value message);

    // Factories, one per message kind.
    static HYBPluginResult resultWithStatus(HYBCommandStatus status);
    static HYBPluginResult messageAsString(HYBCommandStatus status, std::string message);
    static HYBPluginResult messageAsArray(HYBCommandStatus status, platform::Array message);
    static HYBPluginResult messageAsInt(HYBCommandStatus status, std::int32_t message);
    static HYBPluginResult messageAsDouble(HYBCommandStatus status, double message);
    static HYBPluginResult messageAsBool(HYBCommandStatus status, bool message);
    static HYBPluginResult messageAsDictionary(HYBCommandStatus status, platform::Dictionary message);
    // {"HYBType": "ArrayBuffer", "data": Base64 of the bytes}.
    static HYBPluginResult messageAsArrayBuffer(HYBCommandStatus status, const platform::Bytes& message);
    // {"HYBType": "MultiPart", "messages": [...]}, each byte element turned into its ArrayBuffer dictionary.
    static HYBPluginResult messageAsMultipart(HYBCommandStatus status, const platform::Array& messages);
    // {"code": errorCode}.
    static HYBPluginResult messageToErrorObject(HYBCommandStatus status, std::int32_t errorCode);

    HYBCommandStatus status() const { return m_status; }
    // The payload; null when there is none.
    const platform::Value& message() const { return m_message; }
    bool keepCallback() const { return m_keepCallback; }
    void setKeepCallbackAsBool(bool keepCallback) { m_keepCallback = keepCallback; }
    // Carried beside the result for the plug-in's own use; never sent.
    const std::any& associatedObject() const { return m_associatedObject; }
    void setAssociatedObject(std::any object) { m_associatedObject = std::move(object); }

    // The JSON text of the message alone, as the callback script carries it ("null" without a message).
    // A message that JSON cannot hold is logged and answered as "null", so the script stays well-formed.
    std::string argumentsAsJSON() const;
    // The same text appended to out, with no copy of the message or of its text on the way.
    void appendArgumentsAsJSON(std::string& out) const;

    // Older answer forms, for plug-ins that evaluate their own script.
    // {"status", "message", "keepCallback"} as pretty-printed JSON; nothing when it cannot be written.
    std::optional<std::string> toJSONString() const;
    // "hybrid.callbackSuccess('<id>',<json>);" and "hybrid.callbackError('<id>',<json>);".
    std::string toSuccessCallbackString(std::string_view callbackId) const;
    std::string toErrorCallbackString(std::string_view callbackId) const;

    // The status's name: "No result", "OK", ... "Error".
    static std::string_view statusName(HYBCommandStatus status);

    // Diagnostic log lines of the older forms; off at start.
    static void setVerbose(bool verbose);
    static bool isVerbose();

private:
    HYBCommandStatus m_status;
    platform::Value m_message;
    bool m_keepCallback = false;
    std::any m_associatedObject;
};

} // namespace runtime
