// The in-app browser's page input. The first byte chooses what the rest is:
//   0: an option string, parsed (twice, with the same result) and then applied to a hidden browser
//      screen on the headless engine, which is closed again (the user-agent lock must be free after);
//   1: a URL of a page that is not the browser's, through the browser's navigation filter: a "hyb-iab"
//      URL is refused and answers nothing; any other URL (not top-level) is let through and answers nothing;
//   2: the text an injection gives as its answer, read into an answer of status 1, 8 or 9.
// Nothing crashes.
#include "CallbackCountingDelegate.h"
#include "PluginStage.h"
#include "platform/net/URLRequest.h"
#include "platform/text/URL.h"
#include "platform/web/WebView.h"
#include "plugins/HYBInAppBrowser.h"
#include "plugins/HYBInAppBrowserOptions.h"
#include "runtime/HYBUserAgentUtil.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

struct Stage : fuzzing::PluginStage {
    std::shared_ptr<fuzzing::CallbackCountingDelegate> delegate = std::make_shared<fuzzing::CallbackCountingDelegate>();
    std::shared_ptr<plugins::HYBInAppBrowser> plugin = attach<plugins::HYBInAppBrowser>(delegate);

    Stage() { (void)runtime::HYBUserAgentUtil::originalUserAgent(); }  // measured once, not per input
};

Stage* g_stage = nullptr;

void options(const std::string& text) {
    const plugins::HYBInAppBrowserOptions parsed = plugins::HYBInAppBrowserOptions::parseOptions(text);
    check(parsed == plugins::HYBInAppBrowserOptions::parseOptions(text));
    g_stage->plugin->openInInAppBrowser(*platform::URL::fromString("about:blank"), text + ",hidden=yes");
    check(g_stage->plugin->inAppBrowserViewController() != nullptr);
    check(g_stage->plugin->previousStatusBarStyle() == -1);
    const std::shared_ptr<platform::WebView> browser = g_stage->plugin->inAppBrowserViewController()->webView();
    check(browser->frame().isFinite());
    g_stage->plugin->close(runtime::HYBInvokedUrlCommand({}, std::nullopt, "InAppBrowser", "close"));
    check(!g_stage->plugin->inAppBrowserViewController());
    check(runtime::HYBUserAgentUtil::currentToken() == 0);
    g_stage->clock.advance(1);
}

void navigation(const std::string& text) {
    const platform::URLRequest request(text);
    if (!request.url())
        return;
    const platform::URL& url = *request.url();
    const std::string host = url.host().value_or("");
    const bool answers = url.scheme() == "hyb-iab";
    const int before = answers ? g_stage->delegate->answers[host] : 0;
    const std::size_t answerIds = g_stage->delegate->answers.size();
    const bool allowed = g_stage->plugin->shouldStartLoadWithRequest(*g_stage->webView, request, platform::WebViewNavigationType::Other);
    if (answers) {
        // Never loaded, and never taken as an answer.
        check(!allowed);
        check(g_stage->delegate->answers[host] == before);
    } else if (url.scheme() != "itms-apps" && url.scheme() != "itms-appss") {
        check(allowed);
        check(g_stage->delegate->answers.size() == answerIds);
    }
}

void answer(const std::string& text) {
    const runtime::HYBPluginResult result = plugins::HYBInAppBrowser::readAnswer(text);
    check(result.status() == runtime::HYBCommandStatus::Ok || result.status() == runtime::HYBCommandStatus::Error ||
          result.status() == runtime::HYBCommandStatus::JSONError);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_stage = new Stage;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 3 == 0)
        options(text);
    else if (data[0] % 3 == 1)
        navigation(text);
    else
        answer(text);
    return 0;
}
