// The script texts through which the push client's news reaches the page: document events carrying a
// JSON object, and the pushed-message callback of the page's push script.
//
// Guarantees:
// - Outside data never stands in script text unescaped: event data is JSON written by platform::JSON
//   (which escapes quotes, backslashes, "/", line breaks, U+2028 and U+2029), and the message callback
//   gets its JSON text as a script string literal, so the page receives exactly that text.
// - Data JSON cannot hold (bytes, dates) gives an error, never a broken script.
// - Pure functions; any thread.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <optional>
#include <string>
#include <string_view>

namespace push {

enum class PulsePageEvent { OpenNotification, ReceiveNotification, ReceiveMessage, SetTagsWithAlias };

// "pulse.openNotification", "pulse.receiveNotification", "pulse.receiveMessage", "pulse.setTagsWithAlias".
std::string_view pulsePageEventName(PulsePageEvent event);

// The compact JSON text of event data.
platform::Result<std::string> pulseEventJSON(const platform::Value& data);

// "hybrid.fireDocumentEvent('<name>',<json>)"; `json` is JSON text (or "null").
std::string pulseDocumentEventScript(PulsePageEvent event, std::string_view json);

// "window.plugins.pulsePlugin.receiveMessageIniOSCallback(<the JSON text as a string literal>)", or with
// null when there is no text.
std::string pulseMessageCallbackScript(const std::optional<std::string>& json);

// The two scripts of a pushed message, in order: the document event, then the callback. A message
// without user information (its text was not a JSON object with a "message") carries null in both.
platform::Result<std::pair<std::string, std::string>> pulseMessageScripts(const platform::Dictionary& userInfo);

// The payload of the remote notification that launched the application: the launch options' entry under
// the remote-notification key when it is a dictionary holding at least one key; none otherwise.
std::optional<platform::Dictionary> pulseLaunchNotification(const platform::Dictionary& launchOptions);

} // namespace push
