// Objects made from a class name (plug-ins come from the class names config.xml gives; screens, log
// formatters and archived records likewise). One registry per base type and constructor arguments.
//
// Guarantees:
// - Thread: registration and creation from any thread.
// - registerClass() with a name already taken keeps the first registration and answers false.
// - create() with an unknown name gives nullptr; the caller reports it.
// - Static registration (ClassRegistration below) runs before main() but only for object files the
//   linker keeps: a class in a static library needs a reference from the linked program (or register it
//   from an explicit function the program calls).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

template <class Base, class... Args>
class ClassRegistry {
public:
    using Factory = std::function<std::unique_ptr<Base>(Args...)>;

    static ClassRegistry& shared() {
        static auto* registry = new ClassRegistry; // used by static registrations and until exit
        return *registry;
    }

    bool registerClass(std::string name, Factory factory) {
        std::lock_guard lock(m_mutex);
        return m_factories.emplace(std::move(name), std::move(factory)).second;
    }

    template <class Derived>
    bool registerClass(std::string name) {
        return registerClass(std::move(name), [](Args... args) -> std::unique_ptr<Base> {
            return std::make_unique<Derived>(std::forward<Args>(args)...);
        });
    }

    bool unregisterClass(std::string_view name) {
        std::lock_guard lock(m_mutex);
        auto it = m_factories.find(name);
        if (it == m_factories.end())
            return false;
        m_factories.erase(it);
        return true;
    }

    bool contains(std::string_view name) const {
        std::lock_guard lock(m_mutex);
        return m_factories.find(name) != m_factories.end();
    }

    std::unique_ptr<Base> create(std::string_view name, Args... args) const {
        Factory factory;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_factories.find(name);
            if (it == m_factories.end())
                return nullptr;
            factory = it->second;
        }
        return factory(std::forward<Args>(args)...);
    }

    std::vector<std::string> names() const {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> out;
        for (const auto& [name, factory] : m_factories)
            out.push_back(name);
        return out;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::string, Factory, std::less<>> m_factories;
};

// Registers Derived under a name in the shared registry of Base when constructed; declare one at
// namespace scope in the class's .cpp file:
//     static platform::ClassRegistration<Plugin, DevicePlugin> registration("HYBDevice");
template <class Base, class Derived, class... Args>
struct ClassRegistration {
    explicit ClassRegistration(std::string name) {
        ClassRegistry<Base, Args...>::shared().template registerClass<Derived>(std::move(name));
    }
};

} // namespace platform
