// The page actions of a plug-in class, by action name: the page's action "clear" runs the member
// function the table lists under "clear". Each plug-in class builds its table once:
//
//     const HYBActionTable& HYBCache::actions() const {
//         static const HYBActionTable table = HYBActionTable::of<HYBCache>({{"clear", &HYBCache::clear}});
//         return table;
//     }
//
// A subclass that keeps its base's actions passes the base's table as `inherited`. Names compare exactly.
// Immutable once built; safe to read from any thread.
#pragma once

#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace runtime {

class HYBInvokedUrlCommand;
class HYBPlugin;

class HYBActionTable {
public:
    using Action = std::function<void(HYBPlugin&, const HYBInvokedUrlCommand&)>;

    HYBActionTable() = default;

    template <class Plugin>
    static HYBActionTable of(std::initializer_list<std::pair<const char*, void (Plugin::*)(const HYBInvokedUrlCommand&)>> actions,
                             const HYBActionTable& inherited = HYBActionTable()) {
        HYBActionTable table = inherited;
        for (const auto& [name, member] : actions) {
            auto method = member;
            table.m_actions.insert_or_assign(name, [method](HYBPlugin& plugin, const HYBInvokedUrlCommand& command) {
                (static_cast<Plugin&>(plugin).*method)(command);
            });
        }
        return table;
    }

    // The action of that name, or nullptr.
    const Action* find(std::string_view name) const {
        auto it = m_actions.find(name);
        return it == m_actions.end() ? nullptr : &it->second;
    }
    std::size_t size() const { return m_actions.size(); }

private:
    std::map<std::string, Action, std::less<>> m_actions;
};

} // namespace runtime
