// Feeds other applications' SharedUDID records to the protocol: the input (split in two at its first
// byte's value) becomes the data of two slot pasteboards and of the company's keychain item; the protocol
// must answer a 40-character id, the keychain must give a 40-character id or none, and the keychain
// readers must not fail.
#include "StatsFuzzHome.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatSharedUDID.h"

#include "platform/system/Keychain.h"
#include "platform/system/Pasteboard.h"
#include "platform/system/UserDefaults.h"
#include "support/PrivateEnvironment.h"

#include "stats/MXStatKeyChain.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
void installHome() {
    static const bool installed = [] {
        const std::string root = hybtest::makeTemporaryFolder("hyb-stats-fuzz");
        if (root.empty())
            std::abort();
        statsfuzz::installHomeIn(root);
        platform::Pasteboard::setStorageFolder(root + "/pasteboards");
        return true;
    }();
    (void)installed;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    installHome();
    const std::size_t split = size ? std::min<std::size_t>(data[0], size - 1) + 1 : 0;
    const platform::Bytes first(data, data + split);
    const platform::Bytes second(data + split, data + size);

    (void)platform::Pasteboard::withName(std::string(stats::kMXStatSharedUDIDSlotPrefix) + "0", true)
        ->setData(first, stats::kMXStatSharedUDIDType);
    (void)platform::Pasteboard::withName(std::string(stats::kMXStatSharedUDIDSlotPrefix) + "1", true)
        ->setData(second, stats::kMXStatSharedUDIDType);
    platform::Dictionary item = stats::MXStatKeyChain::getKeychainQuery("org.example");
    (void)platform::Keychain::shared().deleteItems(item);
    item.set(platform::kSecValueData, first);
    (void)platform::Keychain::shared().add(item);

    stats::MXStatSharedUDID::forgetCachedValue();
    (void)platform::UserDefaults::standard().remove(stats::kSharedUDIDKey);
    if (stats::MXStatSharedUDID::value().size() != 40)
        __builtin_trap();
    if (auto stored = stats::MXStatHelper::getSharedUDID(); stored && stored->size() != 40)
        __builtin_trap();
    (void)stats::MXStatHelper::getInstance().getXGDeviceToken();
    for (int slot = 0; slot < 3; ++slot)
        platform::Pasteboard::removeWithName(std::string(stats::kMXStatSharedUDIDSlotPrefix) + std::to_string(slot));
    return 0;
}
