// The page's "Keychain" service: string values kept in the keychain under string keys, all under the
// one service name the application bundle names ("SERVICE_NAME" of its "config.plist").
//
// Guarantees:
// - The service name is read on the main thread at each action; the keychain work and the answer run
//   as one block per action on the plug-in's own serial queue (shared by every instance), in the order
//   the actions came, answering the command's callback. However many calls the page makes at once, they
//   take one worker thread and hold one item's value at a time.
// - getForKey [key]: OK with the value; Error "error retrieving value for key '<key>' : <error>" when no
//   value is read ("(null)" as the error when the key simply has no item).
// - setForKey [key, value]: OK without a message, or Error with the error's description.
// - removeForKey [key]: OK without a message, or Error with the error's description (a key without an
//   item is the keychain's item-not-found error).
// - Too few arguments: Error "incorrect number of arguments for getForkey" / "... for setForKey" /
//   "... for removeForKey". A key or value that is not a string counts as missing; so does a service
//   name when the bundle has no "config.plist" (or one above kMaxConfigBytes, or one without a string
//   "SERVICE_NAME").
// Made by the name "HYBKeychain" once registerClass() ran.
#pragma once

#include "runtime/HYBPlugin.h"

#include <cstddef>
#include <optional>
#include <string>

namespace plugins {

class HYBKeychain : public runtime::HYBPlugin {
public:
    static constexpr std::size_t kMaxConfigBytes = 64 * 1024;

    using HYBPlugin::HYBPlugin;

    static void registerClass();

    void getForKey(const runtime::HYBInvokedUrlCommand& command);
    void setForKey(const runtime::HYBInvokedUrlCommand& command);
    void removeForKey(const runtime::HYBInvokedUrlCommand& command);

    // "SERVICE_NAME" of the bundle's "config.plist", read now.
    static std::optional<std::string> serviceName();

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBKeychain"; }

private:
    // Reads the service name, then runs `work` on the keychain queue and sends its answer.
    void inBackground(const runtime::HYBInvokedUrlCommand& command,
                      std::function<runtime::HYBPluginResult(const runtime::HYBInvokedUrlCommand&, const std::optional<std::string>&)> work);
};

} // namespace plugins
