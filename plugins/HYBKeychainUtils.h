// Small string values in the keychain: one generic-password item per key (the account) under a service
// name, every item synchronizable.
//
// Guarantees:
// - Errors are in kHYBKeychainUtilsErrorDomain without details: -2000 when a key, value or service name
//   is missing (read, store), 0 when a key or service name is missing (delete), -1999 when an item exists
//   but its value cannot be read (no data, or data that is not UTF-8 text), else the keychain's status.
// - A read of a key without an item answers no value and no error.
// - Store reads first: the same value again writes nothing (status 0); an unreadable item is deleted and
//   added again; an existing value is updated only when updateExisting. Each store logs
//   "save keychain status: <status>".
// - Delete of a key without an item fails with the keychain's item-not-found status.
// - Sizes: a value of more than Keychain::kMaxDataLength bytes fails before the keychain is read, with the
//   keychain's item-too-large status (one of that length is stored); that status and the keychain-full one
//   carry a description saying which limit was passed (the value's, the whole item's, the keychain's).
// - The application's keychain (platform::Keychain::shared()).
// - Thread: any thread (the keychain serialises its calls); nothing orders calls of different threads.
#pragma once

#include "platform/core/Error.h"

#include <optional>
#include <string>

namespace plugins {

inline constexpr const char* kHYBKeychainUtilsErrorDomain = "HYBKeychainUtilsErrorDomain";

class HYBKeychainUtils {
public:
    static constexpr long long kMissingArgumentError = -2000;
    static constexpr long long kMissingDeleteArgumentError = 0;
    static constexpr long long kUnreadableItemError = -1999;

    // The value, no value (no item), or an error.
    static platform::Result<std::optional<std::string>> getPasswordForUsername(const std::optional<std::string>& username,
                                                                               const std::optional<std::string>& serviceName);
    static platform::Status storeUsername(const std::optional<std::string>& username, const std::optional<std::string>& password,
                                          const std::optional<std::string>& serviceName, bool updateExisting);
    static platform::Status deleteItemForUsername(const std::optional<std::string>& username, const std::optional<std::string>& serviceName);

    static platform::Error error(long long code);
};

} // namespace plugins
