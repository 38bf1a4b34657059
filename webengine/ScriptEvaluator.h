// Script evaluation in a WebKit web view's page, through the web-process module: what the web view's
// "evaluate and return the string result" means on this engine.
//
// Scripts go to the module in a "hyb.eval" message; it evaluates each in order in the page's main frame
// (those of the engine's world, which the page's script cannot reach, first, then those of the page's own
// world) and replies with each one's result as text. This process runs no script engine for results.
// Guarantees and traps:
// - A result is the script's completion value as text: "" for undefined, null, a function and an
//   exception (a toString that throws included); other values in their script string form.
// - Messages to one page are taken in the order they were sent.
// - evaluate() is synchronous: it runs nested turns of the GLib default main context until the answer or
//   the time-out comes, so other sources (timers, posted work, other bridge calls, even another
//   evaluation) may run inside the wait. The state the answer lands in lives on the heap and is shared
//   with the reply's callback, so an answer arriving after the time-out finds valid memory and is dropped.
// - Main thread only.
#pragma once

#include "platform/core/Error.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

typedef struct _WebKitWebView WebKitWebView;

namespace webengine {

inline constexpr const char* kWebEngineErrorDomain = "HYBWebEngine";
// kEvaluationStoppedInDialog: the page's script is stopped in a dialog that waits for its answer.
enum WebEngineErrorCode : long long { kEvaluationTimedOut = 1, kEvaluationRefused = 2, kEvaluationFailed = 3, kEvaluationStoppedInDialog = 4 };

class ScriptEvaluator {
public:
    // The results of scripts sent together, one text each, or the reason none came (the page's process
    // ended, the view went away).
    using Results = std::function<void(platform::Result<std::vector<std::string>> texts)>;

    // Sends the scripts in one message without waiting: those of the engine's world run first, then the
    // page's. `results` (the engine's world's texts, then the page's) runs from the main loop when the page
    // has run them all.
    static void send(WebKitWebView* view, std::vector<std::string> engineScripts, std::vector<std::string> pageScripts,
                     Results results);
    // The same without results: nothing comes back. What is sent later to the page runs after them, so the
    // results of a later send() tell that they have run.
    static void post(WebKitWebView* view, std::vector<std::string> engineScripts, std::vector<std::string> pageScripts);

    // `giveUp`, when given, ends the wait early (kEvaluationStoppedInDialog) once it holds: the page cannot
    // answer. `inEngineWorld`: the script runs in the engine's world, where nothing the page changed (its
    // prototypes, its globals) is seen.
    static platform::Result<std::string> evaluate(WebKitWebView* view, const std::string& script,
                                                  std::chrono::milliseconds timeout, const std::function<bool()>& giveUp = {},
                                                  bool inEngineWorld = false);
};

} // namespace webengine
