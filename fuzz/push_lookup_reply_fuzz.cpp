// Replies of the lookup service: any bytes go through the reply reader. It answers nothing or a result
// whose three parts are texts, and the report addresses it keeps are wrap URLs of verified addresses.
#include "push/PULSEAddressController.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto controller = push::PULSEAddressController::create();
    auto result = controller->parse(platform::ByteSpan(data, size));
    if (result) {
        // Texts by type; every alternative address was a text of the reply.
        std::size_t total = result->connectAddress.size() + result->udpReportAddress.size();
        for (const auto& option : result->optionAddresses)
            total += option.size();
        if (total > size)
            std::abort();
    }
    for (const auto& url : {controller->httpReportAddress(), controller->userReportAddress()}) {
        if (url && url->rfind("http://", 0) != 0)
            std::abort();
    }
    return 0;
}
