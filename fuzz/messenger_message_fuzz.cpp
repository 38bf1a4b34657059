// Bytes as the pasteboard item another application left (both system generations), read as the message
// for an app id and converted back into a request and a response.
#include "messenger/AppCommunicateData.h"
#include "messenger/MessengerApiUtil.h"
#include "platform/system/Device.h"
#include "platform/system/Pasteboard.h"
#include "support/PrivateEnvironment.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::Pasteboard::setStorageFolder(hybtest::makeTemporaryFolder("messenger-message-fuzz"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const platform::Bytes bytes(data, data + size);
    const bool modern = size % 2 == 0;
    platform::Device::current().setSystemVersion(modern ? "9.0" : "6.1");
    messenger::MessengerApiUtil::resetForTesting();
    auto board = modern ? platform::Pasteboard::general() : platform::Pasteboard::withName("messenger_data", true);
    board->setData(bytes, "content");
    if (auto message = messenger::AppCommunicate::appCommunicateDataForAppID("mxabc")) {
        message->DataToReq();
        message->DataToResp();
        message->authRequest();
        message->authResp();
        message->textMessage();
        message->mediaInternalMessage();
    }
    // The same bytes straight as a received dictionary.
    if (auto plist = messenger::MessengerApiUtil::propertyListFromData(std::string_view(reinterpret_cast<const char*>(data), size)))
        if (const platform::Dictionary* dict = plist->getDictionary()) {
            messenger::AppCommunicateData received(*dict);
            received.DataToReq();
            received.DataToResp();
        }
    return 0;
}
