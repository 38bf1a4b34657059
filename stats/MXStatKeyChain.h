// The statistics client's keychain items: generic passwords whose service and account are both the item's
// key, accessible after the first unlock, each holding an archive of one value (a binary property list;
// only this client reads it).
//
// Thread: any (the keychain serialises its calls).
#pragma once

#include "platform/core/Value.h"

#include <optional>
#include <string>

namespace stats {

class MXStatKeyChain {
public:
    MXStatKeyChain() = delete;

    static platform::Dictionary getKeychainQuery(const std::string& key);
    // Replaces the item with the archive of the value; false when it could not be written (a value a
    // property list cannot hold, a keychain failure).
    static bool save(const std::string& key, const platform::Value& value);
    // The unarchived value; nothing when there is no item or its archive cannot be read ("Unarchive of
    // %@ failed: %@" is logged then).
    static std::optional<platform::Value> load(const std::string& key);
    static void deleteItem(const std::string& key);
};

} // namespace stats
