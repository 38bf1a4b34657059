// Registration of the application's app id with the messaging app: it starts the statistics bridge
// (StatMX), which reports each move of the application to the background, and enters the application in
// the registry the messaging app reads: the named pasteboard "messenger_register", one item "content"
// holding a binary property list that maps app ids to entries (name, bundle id, icon, description,
// launch times). Other applications' entries are kept as they were read.
//
// Guarantees:
// - Main thread (the background notification arrives there too).
// - The background observer is added once per process, however often the app is registered; the
//   registry entry is rewritten at every registration.
// - Failures are false: no pasteboard, a registry too large to read (judged from its size before a byte
//   is read; the pasteboard is neither made persistent nor rewritten, and it is said in the log once), a
//   registry that cannot be read as a property-list dictionary (left as it is, said in the log once for
//   the same bytes; an empty UTF-16 string reads as an empty string), a registry that cannot be written
//   (past kMaxRegistryBytes or the values and keys a property list is read back with: said in the log).
//   A stored registry is never written over unless it was read whole; an empty item starts a registry
//   afresh. The statistics start does not depend on them.
// - Times are whole seconds of platform::Clock's wall time, as unsigned 32-bit decimal text.
#pragma once

#include "platform/core/Value.h"
#include "platform/runloop/Notification.h"
#include "platform/system/Pasteboard.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace messenger {

class MMApiRegister {
public:
    // Registry items beyond this are not read (and not overwritten).
    static constexpr std::size_t kMaxRegistryBytes = 16u << 20;
    // Icon files beyond this are left out of the entry.
    static constexpr std::size_t kMaxIconBytes = 4u << 20;
    static constexpr std::size_t kMaxDescriptionLength = 1024; // UTF-16 units

    static MMApiRegister& shareInstance();

    static bool registerApp(const std::optional<std::string>& appId);
    static bool registerApp(const std::optional<std::string>& appId, const std::optional<std::string>& description);

    // Enters the application in the registry pasteboard (registerApp without the statistics start).
    static bool enterInRegistry(const std::string& appId, const std::optional<std::string>& description);
    // Starts the statistics bridge and observes the moves to the background (once per process).
    void startMST(const std::string& appId);
    void DidEnterBackground(const platform::Notification& notification);

    static std::string getRegisterPasteboardName() { return "messenger_register"; }
    // The registry: the item "content" (at most kMaxRegistryBytes, judged before it is read) parsed as a
    // property list, when that is a dictionary.
    static std::optional<platform::Dictionary> getRegisterDictionary(const platform::Pasteboard& pasteboard);
    // The path of the application's icon file; nothing without an Info.plist.
    static std::optional<std::string> getIconString();
    // The application's entry, built anew; only "firstLaunchTime" comes from the old entry.
    static platform::Dictionary buildAppDictionary(const std::string& appId, const platform::Value& oldAppDictionary);

    // Forgets the observer and the cached screen answer (tests).
    static void resetForTesting();

private:
    MMApiRegister() = default;
    // The registry held in an item's bytes, when they are a dictionary's property list.
    static std::optional<platform::Dictionary> registryFrom(const std::optional<platform::Bytes>& data);
    // Says once for the same bytes that the stored registry cannot be read.
    void refuseOnce(const platform::Bytes& registry, const std::string& why);
    // Says once in the process that the stored registry is too large to be read.
    void refuseTooLargeOnce();
    bool m_observing = false;
    std::optional<std::size_t> m_refused; // the hash of the registry refused last
    bool m_saidTooLarge = false;
};

} // namespace messenger
