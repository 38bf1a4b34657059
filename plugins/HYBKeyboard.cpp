#include "plugins/HYBKeyboard.h"

#include "platform/core/Log.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/web/WebView.h"
#include "platform/ui/KeyboardManager.h"
#include "platform/ui/ViewController.h"

namespace plugins {

namespace {

constexpr const char* kShowScript =
    "hybrid.plugins.Keyboard.isVisible = true; hybrid.fireWindowEvent('native.keyboardshow', { 'keyboardHeight': %s }); ";
constexpr const char* kShowScriptNewName = "hybrid.fireWindowEvent('native.showkeyboard', { 'keyboardHeight': %s }); ";
constexpr const char* kHideScripts[] = {
    "hybrid.plugins.Keyboard.isVisible = false; hybrid.fireWindowEvent('native.keyboardhide'); ",
    "hybrid.fireWindowEvent('native.hidekeyboard'); ",
};

// The first argument as a flag; nothing when it is missing or null.
std::optional<bool> flagArgument(const runtime::HYBInvokedUrlCommand& command) {
    const platform::Value& value = command.argumentAtIndex(0);
    if (value.isNull())
        return std::nullopt;
    return value.boolValue();
}

} // namespace

HYBKeyboard::~HYBKeyboard() {
    platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
    center.removeObservation(m_keyboardShowObserver);
    center.removeObservation(m_keyboardHideObserver);
}

void HYBKeyboard::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<HYBKeyboard>("HYBKeyboard");
    (void)registered;
}

const runtime::HYBActionTable& HYBKeyboard::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<HYBKeyboard>({
        {"hideKeyboardAccessoryBar", &HYBKeyboard::hideKeyboardAccessoryBar},
        {"disableScroll", &HYBKeyboard::disableScroll},
        {"close", &HYBKeyboard::close},
        {"show", &HYBKeyboard::show},
        {"editingChanged", &HYBKeyboard::editingChanged},
    });
    return table;
}

void HYBKeyboard::pluginInitialize() {
    setHideKeyboardAccessoryBar(true);
    setDisableScroll(false);
    platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
    // The centre keeps the handlers until the destructor removes them, so `this` is alive in each.
    m_keyboardShowObserver = center.addObserver(platform::kKeyboardWillShowNotification, nullptr, platform::DispatchQueue::main(),
                                                [this](const platform::Notification& notification) { keyboardWillShow(notification); });
    m_keyboardHideObserver = center.addObserver(platform::kKeyboardWillHideNotification, nullptr, platform::DispatchQueue::main(),
                                                [this](const platform::Notification&) { keyboardWillHide(); });
}

void HYBKeyboard::hideKeyboardAccessoryBar(const runtime::HYBInvokedUrlCommand& command) {
    if (std::optional<bool> flag = flagArgument(command))
        setHideKeyboardAccessoryBar(*flag);
}

void HYBKeyboard::disableScroll(const runtime::HYBInvokedUrlCommand& command) {
    if (std::optional<bool> flag = flagArgument(command))
        setDisableScroll(*flag);
}

void HYBKeyboard::close(const runtime::HYBInvokedUrlCommand&) {
    if (std::shared_ptr<platform::WebView> view = webView())
        view->endEditing(true);
}

void HYBKeyboard::show(const runtime::HYBInvokedUrlCommand&) {
    platform::Log::write("Showing keyboard not supported in iOS due to platform limitations.");
}

void HYBKeyboard::editingChanged(const runtime::HYBInvokedUrlCommand& command) {
    std::optional<bool> editing = flagArgument(command);
    std::shared_ptr<platform::WebView> view = webView();
    if (editing && view)
        view->pageEditingChanged(*editing);
}

void HYBKeyboard::setHideKeyboardAccessoryBar(bool hide) {
    if (hide == m_hideKeyboardAccessoryBar)
        return;
    platform::WebView::setInputAccessoryBarHidden(hide);
    m_hideKeyboardAccessoryBar = hide;
}

void HYBKeyboard::setDisableScroll(bool disable) {
    if (disable == m_disableScroll)
        return;
    if (std::shared_ptr<platform::WebView> view = webView()) {
        platform::ScrollView& scrollView = view->scrollView();
        scrollView.setScrollEnabled(!disable);
        if (disable)
            scrollView.setDelegate(std::static_pointer_cast<HYBKeyboard>(shared_from_this()));
        else
            scrollView.setDelegate({});
    }
    m_disableScroll = disable;
}

void HYBKeyboard::scrollViewDidScroll(platform::ScrollView& scrollView) {
    if (scrollView.contentOffset() != platform::Point{})
        scrollView.setContentOffset(platform::Point{});
}

std::string HYBKeyboard::heightText(double height) { return platform::Value(height).description(); }

void HYBKeyboard::keyboardWillShow(const platform::Notification& notification) {
    platform::Rect frame = platform::KeyboardManager::endFrame(notification).value_or(platform::Rect());
    if (std::shared_ptr<platform::ViewController> controller = viewController())
        frame = controller->view()->convertRectFrom(frame, nullptr);
    const std::string height = heightText(frame.size.height);
    evalJs(platform::formatString(kShowScript, height.c_str()));
    evalJs(platform::formatString(kShowScriptNewName, height.c_str()));
}

void HYBKeyboard::keyboardWillHide() {
    for (const char* script : kHideScripts)
        evalJs(script);
}

void HYBKeyboard::evalJs(std::string script) {
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->evalJs(std::move(script));
}

} // namespace plugins
