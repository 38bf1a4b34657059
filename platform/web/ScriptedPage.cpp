#include "platform/web/ScriptedPage.h"

namespace platform {

std::string ScriptedPage::withoutFragment(std::string_view url) {
    return std::string(url.substr(0, url.find('#')));
}

void ScriptedPage::setAnswer(std::string script, std::string answer) { m_answers[std::move(script)] = std::move(answer); }

void ScriptedPage::removeAnswer(const std::string& script) { m_answers.erase(script); }

std::optional<std::string> ScriptedPage::answerFor(std::string_view script) const {
    if (m_handler) {
        if (auto answer = m_handler(script))
            return answer;
    }
    auto it = m_answers.find(script);
    if (it != m_answers.end())
        return it->second;
    return std::nullopt;
}

void ScriptedPage::setFrames(const std::string& documentURL, std::vector<std::string> frameURLs) {
    m_frames[withoutFragment(documentURL)] = std::move(frameURLs);
}

std::vector<std::string> ScriptedPage::framesOf(const std::string& documentURL) const {
    auto it = m_frames.find(withoutFragment(documentURL));
    return it == m_frames.end() ? std::vector<std::string>{} : it->second;
}

void ScriptedPage::setRedirect(const std::string& url, std::string target) { m_redirects[withoutFragment(url)] = std::move(target); }

std::optional<std::string> ScriptedPage::redirectOf(const std::string& url) const {
    auto it = m_redirects.find(withoutFragment(url));
    return it == m_redirects.end() ? std::nullopt : std::optional<std::string>(it->second);
}

void ScriptedPage::setFailure(const std::string& url, Error error) { m_failures[withoutFragment(url)] = std::move(error); }

std::optional<Error> ScriptedPage::failureOf(const std::string& url) const {
    auto it = m_failures.find(withoutFragment(url));
    return it == m_failures.end() ? std::nullopt : std::optional<Error>(it->second);
}

void ScriptedPage::setStalled(const std::string& url, bool stalled) { m_stalled[withoutFragment(url)] = stalled; }

bool ScriptedPage::isStalled(const std::string& url) const {
    auto it = m_stalled.find(withoutFragment(url));
    return it != m_stalled.end() && it->second;
}

} // namespace platform
