// Synchronous script evaluation in a WebKit web view: what the web view's "evaluate and return the string
// result" means on this engine.
//
// The engine evaluates asynchronously, so the call runs nested turns of the GLib default main context until
// the answer or the time-out comes. Guarantees and traps:
// - Re-entrant: other sources (timers, posted work, other bridge calls, even another evaluation) may run
//   inside the wait. The state the answer lands in lives on the heap and is shared with the engine's
//   callback, so an answer arriving after the time-out finds valid memory and is dropped.
// - The result is the script's completion value as text, as the web view gives it: "" for undefined,
//   null and exceptions; other values in their script string form.
// - Main thread only.
#pragma once

#include "platform/Error.h"

#include <chrono>
#include <string>

typedef struct _WebKitWebView WebKitWebView;
typedef struct _JSCValue JSCValue;
typedef struct _JSCContext JSCContext;

namespace webengine {

inline constexpr const char* kWebEngineErrorDomain = "HYBWebEngine";
enum WebEngineErrorCode : long long { kEvaluationTimedOut = 1, kEvaluationRefused = 2, kEvaluationFailed = 3 };

// A script's result as the web view gives it (see above); keeps the context the value belongs to.
std::string scriptResultText(JSCValue* value);
// The script context of this process that results belong to, once a result came (null before): the one
// virtual machine of this process, also used to check script text.
JSCContext* scriptResultContext();

class ScriptEvaluator {
public:
    static platform::Result<std::string> evaluate(WebKitWebView* view, const std::string& script,
                                                  std::chrono::milliseconds timeout);
};

} // namespace webengine
