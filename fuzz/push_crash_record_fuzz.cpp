// Folds arbitrary bytes as the crash-record file the crash handlers leave behind: nothing may crash,
// the file is always gone afterwards, and every folded crash log holds a message and a count of at
// least 1.
#include "push/PULSECrashLog.h"
#include "push/PULSEFileCacheController.h"

#include "PushFuzzHome.h"

#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::installTemporaryPushHome("push-crash-record-fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto store = push::PULSEFileCacheController::startShareInstance("PULSEJSON", 0, false);
    if (!store)
        std::abort();
    store->removeObjectForKey(push::kPULSECrashLogKey);
    const std::string path = store->pathForName(push::kPULSECrashRecordFileName);
    auto& files = platform::FileManager::defaultManager();
    if (!files.writeAtomically(path, platform::Bytes(data, data + size)).ok())
        return 0;
    (void)push::PULSEFoldCrashRecords(*store);
    if (files.fileExists(path))
        std::abort();
    const auto stored = store->objectForKey(push::kPULSECrashLogKey);
    if (const auto* set = stored.getSet()) {
        for (const auto& entry : *set) {
            const auto* pair = entry.getArray();
            const auto* log = pair && pair->size() == 2 ? (*pair)[0].getDictionary() : nullptr;
            if (!log || !(*log)["message"].getString() || (*log)["message"].getString()->empty() ||
                !(*log)["count"].getInteger() || *(*log)["count"].getInteger() < 1)
                std::abort();
        }
    }
    return 0;
}
