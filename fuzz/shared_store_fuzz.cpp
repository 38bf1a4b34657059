// The keychain file and the pasteboard files are written by whoever can write the folder (another
// process playing another application, a damaged disk): reading arbitrary bytes from them must answer
// an error or values, never crash, and never touch the file.
#include "platform/system/Keychain.h"
#include "platform/system/Pasteboard.h"
#include "support/PrivateEnvironment.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {
const std::string& folder() {
    static std::string dir = [] {
        const std::string made = hybtest::makeTemporaryFolder("hyb-store-fuzz");
        if (made.empty())
            std::abort();
        platform::Pasteboard::setStorageFolder(made + "/boards");
        return made;
    }();
    return dir;
}

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace platform;
    const std::string keychainPath = folder() + "/keychain.plist";
    writeFile(keychainPath, data, size);
    Keychain keychain(keychainPath);
    Value result;
    Dictionary query{{kSecClass, kSecClassGenericPassword}, {kSecAttrSynchronizable, kSecAttrSynchronizableAny},
                     {kSecReturnData, true}, {kSecReturnAttributes, true}, {kSecMatchLimit, kSecMatchLimitAll}};
    (void)keychain.copyMatching(query, &result);

    auto board = Pasteboard::general();
    std::filesystem::create_directories(folder() + "/boards");
    writeFile(folder() + "/boards/general.pasteboard", data, size);
    (void)board->items();
    (void)board->string();
    (void)board->dataForPasteboardType("content");
    (void)board->pasteboardTypes();
    (void)board->changeCount();
    if (std::filesystem::file_size(folder() + "/boards/general.pasteboard") != size)
        std::abort();  // reading never changes the file
    return 0;
}
