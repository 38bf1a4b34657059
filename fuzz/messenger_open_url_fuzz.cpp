// Any text as a URL opened into the application (any application may open the return scheme), with the
// app id registered and a delegate that keeps what it is handed; and the same text as a query.
#include "messenger/MXApi.h"
#include "platform/system/Pasteboard.h"
#include "support/PrivateEnvironment.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

class Recorder : public messenger::MXApiDelegate {
public:
    bool respondsToReq() const override { return true; }
    bool respondsToResp() const override { return true; }
    void onReq(const std::shared_ptr<messenger::BaseReq>& req) override {
        if (!req)
            std::abort();
    }
    void onResp(const std::shared_ptr<messenger::BaseResp>& resp) override {
        if (!resp)
            std::abort();
        if (auto* cards = dynamic_cast<messenger::AddCardToMXCardPackageResp*>(resp.get()))
            for (const auto& card : cards->cardAry)
                if (!card || !card->cardId || card->cardId->empty())
                    std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::Pasteboard::setStorageFolder(hybtest::makeTemporaryFolder("messenger-open-url-fuzz"));
    messenger::MXApi::registerApp(std::string("mxabc"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Recorder recorder;
    messenger::MXApi::handleOpenURL(text, &recorder);
    messenger::MXApi::handleOpenURL("mxabc://" + std::string(text), &recorder);
    for (const auto& [key, value] : messenger::MXApi::parseURLParams(text))
        if (key.find('&') != std::string::npos || key.find('=') != std::string::npos || value.find('&') != std::string::npos)
            std::abort();
    return 0;
}
