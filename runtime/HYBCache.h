// The page's "Cache" service: clear empties the shared URL cache in the background and answers at once
// with "Hybrid iOS webview cache cleared." (percent-escaped).
//
// Guarantees: main thread for the action; only the purge runs on the global concurrent queue. The answer
// does not wait for the purge, and a failing purge is not reported. Every clear is followed by a purge that
// starts after it; clears made while one waits to start share it. The plug-in keeps the last command.
// Made by the names "HYBCache" and "Cache" once registerClass() ran (the application delegate runs it).
#pragma once

#include "runtime/HYBPlugin.h"

#include <optional>
#include <string>
#include <string_view>

namespace runtime {

class HYBCache : public HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;
    using HYBPlugin::error;

    // Registers the class by its names with the plug-in classes (once; later calls do nothing).
    static void registerClass();

    // The page action "clear".
    void clear(const HYBInvokedUrlCommand& command);
    // Answers the kept command with status OK and the escaped confirmation.
    void success();
    // Answers the kept command with status Error and the escaped description.
    void error(std::string_view description);

    const std::optional<HYBInvokedUrlCommand>& command() const { return m_command; }
    const HYBActionTable& actions() const override;
    std::string className() const override { return "HYBCache"; }

private:
    void answer(HYBCommandStatus status, const std::string& text);

    std::optional<HYBInvokedUrlCommand> m_command;
};

} // namespace runtime
