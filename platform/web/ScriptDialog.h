// A dialog a page's script opened: an alert, a confirmation, a prompt for a line of text, or the question
// whether to leave the page (its "beforeunload" handler asked for it). The page's script waits until the
// dialog is answered. An engine makes one for each dialog its page opens and hands it to its web view,
// which shows it (ScriptDialogPresenter).
//
// Guarantees:
// - Main thread only.
// - Answered once: the first answer goes to the page, later ones do nothing. A dialog dropped unanswered is
//   answered as cancelled: the alert closed, the confirmation refused, the prompt answered null, the page
//   kept.
// - What a page gives is bounded before anything lays it out: the message and the default text keep at most
//   kMaxCharacters characters (whole UTF-8 sequences, invalid bytes as U+FFFD), a longer one ending in "…".
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class ScriptDialog {
public:
    enum class Kind { Alert, Confirm, Prompt, LeavePage };
    // What goes back to the page: whether the person confirmed (OK; Leave for a leave question) and, for a
    // prompt confirmed, the text, none when it is the page's own default text (which the dialog may hold
    // only cut: the engine gives the page's own back whole).
    using Reply = std::function<void(bool confirmed, std::optional<std::string> text)>;

    static constexpr std::size_t kMaxCharacters = 2000;

    // `pageURL`: the address of the page whose script opened it.
    ScriptDialog(Kind kind, std::string_view message, std::string_view defaultText, std::string pageURL, Reply reply);
    ~ScriptDialog();
    ScriptDialog(const ScriptDialog&) = delete;
    ScriptDialog& operator=(const ScriptDialog&) = delete;

    Kind kind() const { return m_kind; }
    const std::string& message() const { return m_message; }
    const std::string& defaultText() const { return m_defaultText; }
    const std::string& pageURL() const { return m_pageURL; }
    // What names the page to the person: its host for a page of the web, its file's name for a file (the
    // folder's for a folder), else "".
    std::string title() const;

    // OK, or Leave: `text` is the prompt's answer (ignored for the other kinds); none, or the default text
    // as held here, answers the page's own default text.
    void confirm(std::optional<std::string> text = std::nullopt);
    // Cancel, Stay, or the alert closed.
    void cancel();
    bool isAnswered() const { return !m_reply; }
    // Told once, after the answer went to the page, whoever gave it.
    void setAnsweredHandler(std::function<void()> handler) { m_answeredHandler = std::move(handler); }

private:
    void answer(bool confirmed, std::optional<std::string> text);

    Kind m_kind;
    std::string m_message;
    std::string m_defaultText;
    std::string m_pageURL;
    Reply m_reply;
    std::function<void()> m_answeredHandler;
};

} // namespace platform
