#include "platform/web/ScriptDialogPresenter.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/AlertView.h"
#include "platform/web/WebView.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace platform {

namespace {

// A leave question shows these words, not the page's.
constexpr const char* kLeaveMessage = "Leave this page? What you entered on it may not be kept.";
constexpr const char* kBlockTitle = "Block Dialogs";
// The button that confirms (OK, Leave); the cancel button is 0.
constexpr long kConfirmIndex = 1;

std::string withoutFragment(const std::string& url) { return url.substr(0, url.find('#')); }

} // namespace

class ScriptDialogPresenter::AlertDelegate : public AlertViewDelegate {
public:
    void didPresentAlertView(AlertView& alert) override { shared().presented(alert); }
    // Every way an alert goes (a tap, Return in its field, code) passes here, before the fade.
    void willDismissWithButtonIndex(AlertView& alert, long index) override { shared().clicked(alert, index); }
    void didDismissWithButtonIndex(AlertView& alert, long) override { shared().dismissed(alert); }
};

ScriptDialogPresenter& ScriptDialogPresenter::shared()
{
    static auto* presenter = new ScriptDialogPresenter();  // never destroyed: alerts may outlive static destruction
    return *presenter;
}

ScriptDialogPresenter::ScriptDialogPresenter()
    : m_delegate(std::make_shared<AlertDelegate>())
{
}

void ScriptDialogPresenter::present(const WebView& webView, std::shared_ptr<ScriptDialog> dialog)
{
    if (!dialog || dialog->isAnswered())
        return;
    Entry entry{webView.identifier(), &webView, withoutFragment(dialog->pageURL()), std::move(dialog)};
    ViewState& state = m_views[entry.webView];
    const Clock::TimePoint now = Clock::current().now();
    // A row is the view's, whatever page each dialog names: a page that changes its address between
    // dialogs (the history's, a navigation to itself with another query) keeps its row.
    const bool inARow = state.answered && now - state.lastAnswer < seconds(kInARowSeconds);
    // Blocked, and so is the rest of a row that blocking ended, from whatever page its dialogs come.
    if (isBlocked(entry.webView, entry.page) || (inARow && state.blockingRow)) {
        state.answered = true;
        state.lastAnswer = now;
        state.blockingRow = true;
        answerBlocked(*entry.dialog);
        return;
    }
    state.blockingRow = false;
    state.inARow = inARow ? state.inARow + 1 : 1;
    entry.offersBlocking = state.inARow > kInARowBeforeBlocking;
    const ScriptDialog* key = entry.dialog.get();
    entry.dialog->setAnsweredHandler([key] { shared().dialogAnswered(key); });
    m_waiting.push_back(std::move(entry));
    showNext();
}

void ScriptDialogPresenter::closeDialogsOf(std::uint64_t webViewIdentifier)
{
    std::vector<std::shared_ptr<ScriptDialog>> dialogs;
    for (const Entry& entry : m_waiting) {
        if (entry.webView == webViewIdentifier)
            dialogs.push_back(entry.dialog);
    }
    if (m_shown && m_shown->webView == webViewIdentifier)
        dialogs.push_back(m_shown->dialog);
    m_views.erase(webViewIdentifier);
    for (const auto& dialog : dialogs)
        dialog->cancel();
}

void ScriptDialogPresenter::showNext()
{
    if (m_alert || m_waiting.empty())
        return;
    m_shown = std::make_unique<Entry>(std::move(m_waiting.front()));
    m_waiting.pop_front();
    const ScriptDialog& dialog = *m_shown->dialog;
    std::string cancel = "Cancel";
    std::vector<std::string> others{"OK"};
    switch (dialog.kind()) {
    case ScriptDialog::Kind::Alert:
        cancel = "OK";
        others.clear();
        break;
    case ScriptDialog::Kind::Confirm:
    case ScriptDialog::Kind::Prompt:
        break;
    case ScriptDialog::Kind::LeavePage:
        cancel = "Stay";
        others = {"Leave"};
        break;
    }
    if (m_shown->offersBlocking)
        others.push_back(kBlockTitle);
    const bool leave = dialog.kind() == ScriptDialog::Kind::LeavePage;
    m_alert = AlertView::create(dialog.title(), leave ? std::string(kLeaveMessage) : dialog.message(), m_delegate, cancel, std::move(others));
    m_blockIndex = m_shown->offersBlocking ? m_alert->numberOfButtons() - 1 : -1;
    // Return is OK (an alert's only button of its own), Leave: never "Block Dialogs".
    m_alert->setPreferredButtonIndex(dialog.kind() == ScriptDialog::Kind::Alert ? m_alert->cancelButtonIndex() : kConfirmIndex);
    if (dialog.kind() == ScriptDialog::Kind::Prompt) {
        m_alert->setAlertViewStyle(AlertViewStyle::PlainTextInput);
        m_alert->textFieldAtIndex(0)->setText(dialog.defaultText());
    }
    m_alert->show();
}

void ScriptDialogPresenter::clicked(AlertView& alert, long index)
{
    if (&alert != m_alert.get() || !m_shown || m_shown->dialog->isAnswered())
        return;
    const std::shared_ptr<ScriptDialog> dialog = m_shown->dialog;
    ViewState& state = m_views[m_shown->webView];
    state.answered = true;
    state.lastAnswer = Clock::current().now();
    m_answeringFromAlert = true;
    if (index >= 0 && index == m_blockIndex) {
        state.blockedPages.push_back(m_shown->page);
        if (state.blockedPages.size() > kMaxBlockedPages)
            state.blockedPages.pop_front();
        state.blockingRow = true;
        // Those of the view waiting behind it came in the same row.
        std::vector<std::shared_ptr<ScriptDialog>> blocked{dialog};
        for (const Entry& entry : m_waiting) {
            if (entry.webView == m_shown->webView)
                blocked.push_back(entry.dialog);
        }
        for (const auto& each : blocked)
            answerBlocked(*each);
    } else if (index == kConfirmIndex && dialog->kind() != ScriptDialog::Kind::Alert) {
        std::optional<std::string> text;
        if (auto field = alert.textFieldAtIndex(0))
            text = field->text();
        dialog->confirm(std::move(text));
    } else {
        dialog->cancel();
    }
    m_answeringFromAlert = false;
}

void ScriptDialogPresenter::dismissed(AlertView& alert)
{
    if (&alert != m_alert.get())
        return;
    m_alert.reset();
    m_shown.reset();
    m_blockIndex = -1;
    showNext();
}

void ScriptDialogPresenter::presented(AlertView& alert)
{
    if (&alert == m_alert.get() && m_shown)
        NotificationCenter::defaultCenter().post(kScriptDialogDidShowNotification, m_shown->sender);
}

void ScriptDialogPresenter::dialogAnswered(const ScriptDialog* dialog)
{
    std::erase_if(m_waiting, [dialog](const Entry& entry) { return entry.dialog.get() == dialog; });
    if (m_shown && m_shown->dialog.get() == dialog && !m_answeringFromAlert && m_alert)
        m_alert->dismissWithClickedButtonIndex(m_alert->cancelButtonIndex(), false);
}

void ScriptDialogPresenter::answerBlocked(ScriptDialog& dialog)
{
    if (dialog.kind() == ScriptDialog::Kind::LeavePage)
        dialog.confirm();
    else
        dialog.cancel();
}

bool ScriptDialogPresenter::isBlocked(std::uint64_t webView, const std::string& page) const
{
    const auto found = m_views.find(webView);
    if (found == m_views.end())
        return false;
    const auto& blocked = found->second.blockedPages;
    return std::find(blocked.begin(), blocked.end(), page) != blocked.end();
}

} // namespace platform
