// The page's "MessengerPay" service: pays an order through the messaging app and tells whether the app
// is installed.
//
// Guarantees:
// - Main thread (page actions and the open-URL notification arrive there).
// - At initialisation the setting "messenger_appkey" is registered as the client's app id (none: the
//   client stays unregistered and checkAppInstalled answers "false").
// - pay: the order (argument 0, a JSON object text) becomes a pay request and opens the messaging app;
//   its answer comes later from the app's return URL: OK for 0, Error "用户取消支付" for -2, Error with
//   the app's text otherwise. One pay waits at a time; a newer one replaces it and only the newer one
//   is answered. A pay the client refuses (no app id, a bad or incomplete order, the app not installed)
//   is answered at once with Error and a message naming the cause, and leaves a waiting pay as it was.
// - Only URLs whose scheme begins with "mx" go to the client; only pay responses answer the page.
// Made by the name "MessengerPayPlugin" once registerClass() ran.
#pragma once

#include "messenger/MXObjects.h"
#include "runtime/HYBPlugin.h"

#include <optional>
#include <string>

namespace messenger {

// The setting that holds the app id (settings keys are lower-cased).
inline constexpr const char* kMessengerAppKeySetting = "messenger_appkey";
inline constexpr const char* kMessengerPayCancelledText = "用户取消支付";

class MessengerPayPlugin : public runtime::HYBPlugin, public MXApiDelegate {
public:
    using HYBPlugin::HYBPlugin;

    static void registerClass();

    void pluginInitialize() override;
    void pay(const runtime::HYBInvokedUrlCommand& command);
    void checkAppInstalled(const runtime::HYBInvokedUrlCommand& command);
    void handleOpenURL(const platform::Notification& notification) override;

    bool respondsToResp() const override { return true; }
    void onResp(const std::shared_ptr<BaseResp>& resp) override;

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "MessengerPayPlugin"; }

    const std::optional<std::string>& currentCallbackId() const { return m_currentCallbackId; }

private:
    void answer(runtime::HYBPluginResult result, const std::optional<std::string>& callbackId);

    std::optional<std::string> m_currentCallbackId;
};

} // namespace messenger
