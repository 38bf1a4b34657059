// Starts the push client's two file stores over arbitrary file bytes: as their files (the document
// store's enciphered or not), as an older archive, or as an older JSON file for the migration, with and
// without the migration due; optionally the stored identity reads them. Nothing may crash, and a store
// must always come up.
#include "push/PULSEAES.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSEUserDefaultsController.h"

#include "PushFuzzHome.h"

#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/system/UserDefaults.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using Store = push::PULSEFileCacheController;

void writeFile(const std::string& path, const platform::Bytes& bytes) {
    auto& files = platform::FileManager::defaultManager();
    (void)files.createDirectory(platform::deletingLastPathComponent(path));
    (void)files.writeAtomically(path, bytes);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::installTemporaryPushHome("push-store-fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t flags = data[0];
    const platform::Bytes bytes(data + 1, data + size);
    const auto folders = platform::AppFolders::current();
    const std::string cachePath = folders.caches() + "/Pulse/PULSEJSON";
    const std::string olderPath = folders.caches() + "/Pulse/PULSE";
    const std::string documentPath = folders.documents() + "/PulseDocument/PULSEDocument";

    auto& defaults = platform::UserDefaults::standard();
    const int version = (flags & 1) ? 0 : 1; // 0: the migration is due
    (void)defaults.set(Store::kCacheVersionKey, version);
    (void)defaults.set(Store::kDocumentVersionKey, version);
    (void)defaults.set(Store::kNotFirstStartKey, (flags & 2) == 0);
    writeFile(cachePath, bytes);
    if (flags & 4) {
        auto enciphered = push::PULSEAES::AES256EncryptData(bytes, Store::kCacheKeyString);
        writeFile(documentPath, enciphered.value_or(bytes));
    } else {
        writeFile(documentPath, bytes);
    }
    if (flags & 8)
        writeFile(olderPath, bytes);

    auto document = Store::startShareInstance("PULSEDocument", 1, true);
    auto cache = Store::startShareInstance("PULSEJSON", 0, false);
    if (!document || !cache)
        std::abort();
    (void)cache->description();
    (void)document->description();
    if (flags & 16)
        push::PULSEUserDefaultsController identity("org.fuzz.app", "fuzz-app-key");
    Store::resetForTesting();

    auto& files = platform::FileManager::defaultManager();
    (void)files.removeItem(cachePath);
    (void)files.removeItem(olderPath);
    (void)files.removeItem(documentPath);
    return 0;
}
