// The page's "NetworkStatus" service: getConnectionInfo answers the kind of connection ("wifi", "2g",
// "3g", "4g", "cellular", "none" or "unknown") and keeps the page's callback, which then hears every
// change of it.
//
// Guarantees:
// - Main thread: start-up, the action, the reachability notifier (scheduled on the main run loop) and
//   every answer.
// - A change is sent only when the type differs from the last one; getConnectionInfo sends the current
//   one. Each getConnectionInfo replaces the kept callback; a change before the page ever asked is sent
//   without a callback id, which the command delegate drops.
// - In the background the notifier is stopped; back in the foreground it is restarted and the type is
//   sent when it changed meanwhile.
// - On a cellular connection the radio technology decides the generation (from system 7.0; "cellular"
//   below it); a change of the radio technology is reported like a reachability change.
// Made by the name "HYBConnection" once registerClass() ran.
#pragma once

#include "plugins/HYBReachability.h"
#include "runtime/HYBPlugin.h"

#include <memory>
#include <optional>
#include <string>

namespace plugins {

class HYBConnection : public runtime::HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;
    ~HYBConnection() override;

    static void registerClass();

    void pluginInitialize() override;

    // The page action "getConnectionInfo" (no arguments).
    void getConnectionInfo(const runtime::HYBInvokedUrlCommand& command);
    // OK with connectionType(), keeping the callback, to the kept callback id.
    void sendPluginResult();
    // The connection type of a reachability object.
    static std::string w3cConnectionTypeFor(const HYBReachability& reachability);
    static bool isCellularConnection(const std::string& type);
    // Takes the reachability's type when it differs from the last one and sends it; nullptr sends the last.
    void updateReachability(const std::shared_ptr<HYBReachability>& reachability);
    void updateConnectionType(const platform::Notification& notification);
    void onPause();
    void onResume();

    const std::string& connectionType() const { return m_connectionType; }
    const std::shared_ptr<HYBReachability>& internetReach() const { return m_internetReach; }

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBConnection"; }

private:
    std::optional<std::string> m_callbackId;
    std::shared_ptr<HYBReachability> m_internetReach;
    std::string m_connectionType = "none";
    bool m_paused = false;
};

} // namespace plugins
