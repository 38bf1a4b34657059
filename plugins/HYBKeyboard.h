// The page's "Keyboard" service: tells the page when the keyboard shows and hides, hides the bar of form
// helpers above it, stops the web view from scrolling and closes the keyboard.
//
// Guarantees:
// - Main thread: actions and the keyboard notifications (observed on the main queue).
// - No action answers. An action whose first argument is missing or null changes nothing; any other
//   value is read as the platform reads a boolean.
// - The page's focus of an editable element (reported by editingChanged) makes the web view the first
//   responder, so the keyboard shows with its notifications, 216 points high on a phone.
// - From start-up the bar of form helpers is hidden (WebView::setInputAccessoryBarHidden, process-wide).
// - Each will-show notification evaluates, in order,
//     hybrid.plugins.Keyboard.isVisible = true; hybrid.fireWindowEvent('native.keyboardshow', ...)
//     hybrid.fireWindowEvent('native.showkeyboard', ...)
//   with { 'keyboardHeight': <h> }, h the end frame's height in the view controller's view, as plain
//   decimal text; each will-hide evaluates the two hide scripts (see kHideScripts in the .cpp).
// - While scrolling is disabled the web view's scroll view cannot scroll and any offset goes back to zero.
// Made by the name "HYBKeyboard" once registerClass() ran.
#pragma once

#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/ScrollView.h"
#include "runtime/HYBPlugin.h"

#include <string>

namespace plugins {

class HYBKeyboard : public runtime::HYBPlugin, public platform::ScrollViewDelegate {
public:
    using HYBPlugin::HYBPlugin;
    ~HYBKeyboard() override;

    static void registerClass();

    void pluginInitialize() override;

    // ---- page actions ----
    // 0: whether the bar of form helpers is hidden.
    void hideKeyboardAccessoryBar(const runtime::HYBInvokedUrlCommand& command);
    // 0: whether the web view stops scrolling.
    void disableScroll(const runtime::HYBInvokedUrlCommand& command);
    // Ends editing in the web view, which dismisses the keyboard.
    void close(const runtime::HYBInvokedUrlCommand& command);
    // Only logs: the keyboard cannot be shown without an editable element.
    void show(const runtime::HYBInvokedUrlCommand& command);
    // 0: whether an editable element of the page has the focus. The desktop's engine does not tell the
    // platform, so the page's bridge script reports it; the web view then is (or stops being) the
    // keyboard's first responder (WebView::pageEditingChanged).
    void editingChanged(const runtime::HYBInvokedUrlCommand& command);

    bool hideKeyboardAccessoryBar() const { return m_hideKeyboardAccessoryBar; }
    void setHideKeyboardAccessoryBar(bool hide);
    bool disableScroll() const { return m_disableScroll; }
    void setDisableScroll(bool disable);

    void scrollViewDidScroll(platform::ScrollView& scrollView) override;

    // The keyboard height as the page reads it: the number's plain decimal text ("216", "216.5").
    static std::string heightText(double height);

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBKeyboard"; }

private:
    void keyboardWillShow(const platform::Notification& notification);
    void keyboardWillHide();
    void evalJs(std::string script);

    platform::NotificationCenter::Token m_keyboardShowObserver = 0;
    platform::NotificationCenter::Token m_keyboardHideObserver = 0;
    bool m_hideKeyboardAccessoryBar = false;
    bool m_disableScroll = false;
};

} // namespace plugins
