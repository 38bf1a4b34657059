// Shows the script dialogs of every web view (ScriptDialog) as alerts (AlertView) above every screen, the
// launch screen and presented screens included, one at a time in the order the pages opened them, and
// gives each page the person's answer.
//
// - The alert's title names the page (ScriptDialog::title); its message is the page's. An alert has OK; a
//   confirmation Cancel and OK; a prompt a text field holding the default text, over Cancel and OK (Return
//   in the field is OK: the page gets the field's text); a leave question Stay and Leave, under a message
//   of its own (what a page puts there is not shown).
// - The page gets the answer when the button is tapped, while the alert fades out.
// - A web view whose pages open dialog after dialog (each less than kInARowSeconds after the answer to the
//   one before, on the platform clock, whatever page each names: a page may change its address between
//   them) is offered, from the kInARowBeforeBlocking + 1st such dialog on, one more button, "Block
//   Dialogs". Chosen, it answers the dialog as cancelled, and so, at once and unshown, every later dialog
//   of that page (its address without the fragment, in that web view) for the web view's life, and every
//   dialog of the view that goes on the row, from whatever page (a page that leads to page after page).
//   A leave question so answered lets the person leave: no page keeps anyone. Return is OK (an alert's
//   OK, Leave), never "Block Dialogs".
// - A dialog answered elsewhere (its page went) leaves the queue, or its alert goes at once.
// - A web view that goes away (closeDialogsOf) takes its dialogs with it, shown or waiting, answered as
//   cancelled.
// - Posts kScriptDialogDidShowNotification, with the web view as sender, once a dialog's alert has faded
//   in.
//
// Main thread only. Process-wide; never destroyed.
#pragma once

#include "platform/runloop/Clock.h"
#include "platform/web/ScriptDialog.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

namespace platform {

class AlertView;
class WebView;

inline constexpr const char* kScriptDialogDidShowNotification = "ScriptDialogDidShowNotification";

class ScriptDialogPresenter {
public:
    static constexpr double kInARowSeconds = 1;
    static constexpr int kInARowBeforeBlocking = 2;
    // Pages of one web view whose dialogs are blocked; one more forgets the oldest.
    static constexpr std::size_t kMaxBlockedPages = 64;

    static ScriptDialogPresenter& shared();

    // Shows the dialog once the dialogs before it are answered (at once when none waits).
    void present(const WebView& webView, std::shared_ptr<ScriptDialog> dialog);
    // The web view went: its dialogs are answered as cancelled, and what was kept for it is forgotten.
    void closeDialogsOf(std::uint64_t webViewIdentifier);

    // The alert showing a dialog now, or null (tests tap it).
    std::shared_ptr<AlertView> shownAlert() const { return m_alert; }
    // The dialog it shows, or null.
    std::shared_ptr<ScriptDialog> shownDialog() const { return m_shown ? m_shown->dialog : nullptr; }
    // Dialogs waiting behind the one shown.
    std::size_t waitingCount() const { return m_waiting.size(); }

private:
    struct Entry {
        std::uint64_t webView = 0;
        const WebView* sender = nullptr;  // identity only, for the notification
        std::string page;                 // the page's address without the fragment
        std::shared_ptr<ScriptDialog> dialog;
        bool offersBlocking = false;
    };
    // What is kept of one web view's dialogs.
    struct ViewState {
        int inARow = 0;
        bool answered = false;
        Clock::TimePoint lastAnswer{};
        bool blockingRow = false;  // the row going on was blocked: its later dialogs are answered at once
        std::deque<std::string> blockedPages;
    };
    class AlertDelegate;

    ScriptDialogPresenter();
    void showNext();
    void clicked(AlertView& alert, long index);
    void dismissed(AlertView& alert);
    void presented(AlertView& alert);
    // The dialog was answered (by the alert or elsewhere): it leaves the queue, or its alert goes.
    void dialogAnswered(const ScriptDialog* dialog);
    // Answers as a blocked page's dialog is answered.
    static void answerBlocked(ScriptDialog& dialog);
    bool isBlocked(std::uint64_t webView, const std::string& page) const;

    std::deque<Entry> m_waiting;
    std::unique_ptr<Entry> m_shown;
    std::shared_ptr<AlertView> m_alert;
    long m_blockIndex = -1;
    bool m_answeringFromAlert = false;
    std::map<std::uint64_t, ViewState> m_views;
    std::shared_ptr<AlertDelegate> m_delegate;
};

} // namespace platform
