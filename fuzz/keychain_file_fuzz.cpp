// The keychain's files (its item file and the change log beside it) as any bytes: damaged, cut or foreign.
// The input's first two bytes say how many of the rest are the item file; the others are the log. A read
// must answer with the items (damage a crash can leave never locks the keychain; never a crash or a wait), and when a change is made, a second keychain reading
// the files afterwards must see exactly the items the first one holds.
#include "platform/system/Keychain.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string& folder() {
    static const std::string path = [] {
        std::string pattern = (fs::temp_directory_path() / "hyb-keychain-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        return pattern;
    }();
    return path;
}

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

void write(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

platform::Dictionary everything() {
    return platform::Dictionary{{platform::kSecClass, platform::kSecClassGenericPassword},
                                {platform::kSecAttrSynchronizable, platform::kSecAttrSynchronizableAny},
                                {platform::kSecReturnAttributes, true},
                                {platform::kSecReturnData, true},
                                {platform::kSecMatchLimit, platform::kSecMatchLimitAll}};
}

platform::Dictionary item(const std::string& account) {
    return platform::Dictionary{{platform::kSecClass, platform::kSecClassGenericPassword},
                                {platform::kSecAttrAccount, account},
                                {platform::kSecAttrService, "fuzz"},
                                {platform::kSecAttrSynchronizable, true}};
}

// The items a new keychain reads from the files, or the status it answers.
platform::Value readAfresh(const std::string& path, platform::OSStatus& status) {
    platform::Keychain keychain(path);
    platform::Value all;
    status = keychain.copyMatching(everything(), &all);
    return all;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = folder() + "/keychain.plist";
    std::error_code ignored;
    fs::remove(path, ignored);
    fs::remove(path + ".journal", ignored);
    fs::remove(path + ".damaged", ignored);
    fs::remove(path + ".journal.damaged", ignored);
    const std::size_t split = size >= 2 ? std::min<std::size_t>((data[0] | (data[1] << 8)), size - 2) : 0;
    if (size >= 2) {
        if (split > 0)
            write(path, data + 2, split);
        if (size - 2 - split > 0)
            write(path + ".journal", data + 2 + split, size - 2 - split);
    }

    platform::Keychain keychain(path);
    platform::Value before;
    const platform::OSStatus read = keychain.copyMatching(everything(), &before);
    // Damaged contents never lock the keychain: only a file that is no regular one, or too large, is refused.
    check(read == platform::errSecSuccess || read == platform::errSecItemNotFound);

    // Changes of every kind; after each that was made, the files say what the keychain holds.
    const platform::Bytes value(static_cast<std::size_t>(size % 64), 0x5a);
    platform::Dictionary added = item("added");
    added.set(platform::kSecValueData, value);
    const platform::OSStatus changes[] = {
        keychain.add(added),
        keychain.update(item("added"), platform::Dictionary{{platform::kSecAttrLabel, "changed"}}),
        keychain.deleteItems(platform::Dictionary{{platform::kSecClass, platform::kSecClassGenericPassword},
                                                  {platform::kSecAttrSynchronizable, platform::kSecAttrSynchronizableAny},
                                                  {platform::kSecAttrAccount, "added"}}),
        keychain.add(added),
    };
    (void)changes;
    platform::Value held;
    const platform::OSStatus holds = keychain.copyMatching(everything(), &held);
    platform::OSStatus again = 0;
    const platform::Value onDisk = readAfresh(path, again);
    check(again == holds);
    check(onDisk == held);
    // What was set aside is bounded.
    for (const char* aside : {".damaged", ".journal.damaged"})
        check(fs::file_size(path + aside, ignored) <= 4u * 1024 * 1024 || !fs::exists(path + aside, ignored));
    return 0;
}
