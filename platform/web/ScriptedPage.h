// The page behind a HeadlessWebView: what it answers to scripts and what its documents do when they
// load. Tests (and the headless application) script it; the engine asks it.
//
// Guarantees:
// - Main thread only, like the web view that asks it.
// - Script answers, first that applies: the script handler (when it gives a value), the exact answers
//   set with setAnswer, then the engine's built-ins (document.readyState, location.href, the load token,
//   navigator.userAgent, document.body==null). Every evaluated script is recorded, in order.
// - URLs given to setFrames, setRedirect, setFailure and setStalled are compared without their fragment.
#pragma once

#include "platform/core/Error.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class ScriptedPage {
public:
    using ScriptHandler = std::function<std::optional<std::string>(std::string_view script)>;

    void setAnswer(std::string script, std::string answer);
    void removeAnswer(const std::string& script);
    void setScriptHandler(ScriptHandler handler) { m_handler = std::move(handler); }
    // The answer from the handler or the exact answers, if any.
    std::optional<std::string> answerFor(std::string_view script) const;

    // The document at documentURL asks for these frames (in order) once its own data has loaded.
    void setFrames(const std::string& documentURL, std::vector<std::string> frameURLs);
    std::vector<std::string> framesOf(const std::string& documentURL) const;
    // A load of url is redirected to target (before any data).
    void setRedirect(const std::string& url, std::string target);
    std::optional<std::string> redirectOf(const std::string& url) const;
    // A load of url fails with the error instead of loading.
    void setFailure(const std::string& url, Error error);
    std::optional<Error> failureOf(const std::string& url) const;
    // A load of url never ends by itself; stopLoading or a newer navigation cancels it.
    void setStalled(const std::string& url, bool stalled = true);
    bool isStalled(const std::string& url) const;

    void recordEvaluation(std::string script) { m_evaluated.push_back(std::move(script)); }
    const std::vector<std::string>& evaluatedScripts() const { return m_evaluated; }
    void clearEvaluatedScripts() { m_evaluated.clear(); }

    // The URL text up to its first "#".
    static std::string withoutFragment(std::string_view url);

private:
    ScriptHandler m_handler;
    std::map<std::string, std::string, std::less<>> m_answers;
    std::map<std::string, std::vector<std::string>> m_frames;
    std::map<std::string, std::string> m_redirects;
    std::map<std::string, Error> m_failures;
    std::map<std::string, bool> m_stalled;
    std::vector<std::string> m_evaluated;
};

} // namespace platform
