// Bytes as the registry item "content" of "messenger_register" that other applications left: the
// application enters itself (its entry rebuilt, the others kept), and the result must read back as a
// dictionary holding its entry; or it stays out, and the bytes stay as they were.
#include "messenger/MMApiRegister.h"
#include "platform/system/Pasteboard.h"
#include "support/PrivateEnvironment.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::Pasteboard::setStorageFolder(hybtest::makeTemporaryFolder("messenger-registry-fuzz"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto board = platform::Pasteboard::withName(messenger::MMApiRegister::getRegisterPasteboardName(), true);
    if (!board || !board->setData(platform::Bytes(data, data + size), "content"))
        return 0;
    const std::string description(reinterpret_cast<const char*>(data), size < 40 ? size : 40);
    if (!messenger::MMApiRegister::enterInRegistry("mxabc", description)) {
        // Not entered: what was there is kept as it was (unless it could not be read for its size).
        auto kept = board->dataForPasteboardType("content");
        if (!kept || (size <= messenger::MMApiRegister::kMaxRegistryBytes && *kept != platform::Bytes(data, data + size)))
            std::abort();
        return 0;
    }
    auto registry = messenger::MMApiRegister::getRegisterDictionary(*board);
    if (!registry || !(*registry)["mxabc"].isDictionary() || (*registry)["mxabc"]["appID"].stringOr("") != "mxabc")
        std::abort();
    return 0;
}
