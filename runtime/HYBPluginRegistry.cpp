#include "runtime/HYBPluginRegistry.h"

#include "platform/core/Log.h"
#include "runtime/TextCase.h"

#include <algorithm>
#include <typeinfo>

namespace runtime {

HYBPluginRegistry::HYBPluginRegistry(platform::Dictionary pluginsMap, HYBPluginClassRegistry& classes)
    : m_pluginsMap(std::move(pluginsMap)), m_classes(classes) {
    m_pluginObjects.reserve(20);
}

void HYBPluginRegistry::registerPlugin(std::shared_ptr<HYBPlugin> plugin, const std::string& className) {
    if (!plugin)
        return;
    plugin->setViewController(m_viewController);
    plugin->setCommandDelegate(m_commandDelegate);
    auto existing = std::find_if(m_pluginObjects.begin(), m_pluginObjects.end(),
                                 [&](const auto& entry) { return entry.first == className; });
    if (existing != m_pluginObjects.end())
        existing->second = plugin;
    else
        m_pluginObjects.emplace_back(className, plugin);
    plugin->pluginInitialize();
}

void HYBPluginRegistry::registerPluginWithPluginName(std::shared_ptr<HYBPlugin> plugin, std::string_view pluginName) {
    if (!plugin)
        return;
    std::string className = plugin->className();
    m_pluginsMap.set(lowercased(pluginName), className);
    registerPlugin(std::move(plugin), className);
}

std::shared_ptr<HYBPlugin> HYBPluginRegistry::getCommandInstance(std::string_view pluginName) {
    const std::string* mapped = m_pluginsMap[lowercased(pluginName)].getString();
    if (!mapped)
        return nullptr;
    std::string className = *mapped;
    if (auto alias = m_aliases.find(className); alias != m_aliases.end())
        className = alias->second;
    if (std::shared_ptr<HYBPlugin> existing = pluginForClassName(className))
        return existing;
    std::shared_ptr<HYBPlugin> plugin = m_classes.create(className, m_webView.lock());
    if (!plugin) {
        platform::Log::write("HYBPlugin class " + className + " (pluginName: " + std::string(pluginName) +
                             ") does not exist.");
        return nullptr;
    }
    // One class may be registered under several names: the plug-in already made for another of them is the
    // one live plug-in of the class, and the new object is dropped before it was ever initialised.
    const HYBPlugin& made = *plugin;
    for (const auto& [name, live] : m_pluginObjects) {
        const HYBPlugin& other = *live;
        if (typeid(other) == typeid(made)) {
            m_aliases.emplace(className, name);
            return live;
        }
    }
    registerPlugin(plugin, className);
    return plugin;
}

std::shared_ptr<HYBPlugin> HYBPluginRegistry::pluginForClassName(std::string_view className) const {
    for (const auto& [name, plugin] : m_pluginObjects)
        if (name == className)
            return plugin;
    return nullptr;
}

} // namespace runtime
