// The page's script dialogs: handed to the client from a turn of their own, answered whenever it answers.
#include "webengine/WebKitEngine.h"

#include <webkit2/webkit2.h>

#include <algorithm>

namespace webengine {

int WebKitEngine::onScriptDialog(WebKitWebView*, void* dialog, WebKitEngine* self)
{
    self->openScriptDialog(dialog);
    return TRUE;  // answered by the client, later: WebKit shows nothing of its own
}

void WebKitEngine::openScriptDialog(void* dialogPointer)
{
    auto* dialog = webkit_script_dialog_ref(static_cast<WebKitScriptDialog*>(dialogPointer));
    const WebKitScriptDialogType type = webkit_script_dialog_get_dialog_type(dialog);
    platform::ScriptDialog::Kind kind = platform::ScriptDialog::Kind::Alert;
    switch (type) {
    case WEBKIT_SCRIPT_DIALOG_ALERT:
        break;
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
        kind = platform::ScriptDialog::Kind::Confirm;
        break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
        kind = platform::ScriptDialog::Kind::Prompt;
        break;
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
        kind = platform::ScriptDialog::Kind::LeavePage;
        break;
    }
    const char* message = webkit_script_dialog_get_message(dialog);
    const char* defaultText = type == WEBKIT_SCRIPT_DIALOG_PROMPT ? webkit_script_dialog_prompt_get_default_text(dialog) : nullptr;
    // The reply holds the dialog's reference until the answer, which closes it: the page's script goes on.
    auto opened = std::make_shared<platform::ScriptDialog>(
        kind, message ? message : "", defaultText ? defaultText : "", url(), [dialog, type](bool confirmed, std::optional<std::string> text) {
            if (type == WEBKIT_SCRIPT_DIALOG_CONFIRM || type == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
                webkit_script_dialog_confirm_set_confirmed(dialog, confirmed);
            if (type == WEBKIT_SCRIPT_DIALOG_PROMPT && confirmed)
                webkit_script_dialog_prompt_set_text(dialog, text ? text->c_str() : webkit_script_dialog_prompt_get_default_text(dialog));
            webkit_script_dialog_close(dialog);
            webkit_script_dialog_unref(dialog);
        });
    std::erase_if(m_dialogs, [](const OpenDialog& open) {
        auto held = open.dialog.lock();
        return !held || held->isAnswered();
    });
    m_dialogs.push_back(OpenDialog{opened, m_documents});
    // Handed over from a turn of its own, never inside WebKit's signal: an answer given at once (a page
    // whose dialogs are blocked, a client that keeps none) would close the dialog there, and WebKit lets
    // go of its own reference only after the signal, by then on a dialog it has already let go.
    defer([this, opened] { m_client.scriptDialogOpened(opened); });
}

bool WebKitEngine::isDialogWaiting() const
{
    return std::any_of(m_dialogs.begin(), m_dialogs.end(), [](const OpenDialog& open) {
        auto held = open.dialog.lock();
        return held && !held->isAnswered();
    });
}

void WebKitEngine::cancelScriptDialogs(unsigned document)
{
    std::vector<std::shared_ptr<platform::ScriptDialog>> cancelled;
    std::erase_if(m_dialogs, [&](const OpenDialog& open) {
        if (open.document > document)
            return false;
        if (auto held = open.dialog.lock())
            cancelled.push_back(std::move(held));
        return true;
    });
    for (const auto& dialog : cancelled)
        dialog->cancel();
}

} // namespace webengine
