// The messenger tests' common ground: a fresh home with its own pasteboard folder (also in the
// environment, so a started stand-in app shares it), system 9.0, and no app id, conversation account
// or installed schemes left from an earlier test. Registration starts the statistics client: here it runs
// without a network (its events are stored in the home, never sent) and starts afresh in each test. RecordingDelegate keeps what the client hands over.
#pragma once

#include "messenger/MMApiRegister.h"
#include "messenger/MXApi.h"
#include "messenger/MXObjects.h"
#include "messenger/MessengerApiUtil.h"
#include "platform/application/Application.h"
#include "platform/device/Reachability.h"
#include "platform/system/Device.h"
#include "platform/system/Pasteboard.h"
#include "platform/ui/Image.h"
#include "stats/MXStat.h"
#include "stats/MXStatConfig.h"
#include "support/TempHome.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace messengertest {

class MessengerTest : public hybtest::TempHomeTest {
protected:
    MessengerTest() {
        std::string folder = m_home.root() + "/pasteboards";
        ::setenv("HYB_PASTEBOARD_DIR", folder.c_str(), 1);
        platform::Pasteboard::setStorageFolder(folder);
        platform::Application::shared().resetForTesting();
        messenger::MXApi::resetForTesting();
        resetStatistics();
        useSystem("9.0");
    }
    ~MessengerTest() override {
        platform::Application::shared().resetForTesting();
        messenger::MXApi::resetForTesting();
        resetStatistics();
        platform::Reachability::setOverrideFlags(std::nullopt);
        platform::Device::current().resetToDefaults();
        platform::Pasteboard::setStorageFolder("");
        ::unsetenv("HYB_PASTEBOARD_DIR");
    }
    static void resetStatistics() {
        stats::MXStat::resetForTesting();
        messenger::MMApiRegister::resetForTesting();
        stats::MXStatConfig::getInstance().resetToDefaults();
        platform::Reachability::setOverrideFlags(0);
    }
    static void useSystem(const std::string& version) {
        platform::Device::current().setSystemVersion(version);
        messenger::MessengerApiUtil::resetForTesting();
    }
    // PNG bytes of a small picture: a thumbnail that decodes.
    static platform::Bytes pngThumb() {
        auto png = platform::Image::solidColor(platform::Color::fromRGBA255(200, 40, 40), {8, 8})->pngData();
        return platform::Bytes(png.value().begin(), png.value().end());
    }
};

class RecordingDelegate : public messenger::MXApiDelegate {
public:
    bool respondsToReq() const override { return takesReq; }
    bool respondsToResp() const override { return takesResp; }
    void onReq(const std::shared_ptr<messenger::BaseReq>& req) override { reqs.push_back(req); }
    void onResp(const std::shared_ptr<messenger::BaseResp>& resp) override { resps.push_back(resp); }

    bool takesReq = true;
    bool takesResp = true;
    std::vector<std::shared_ptr<messenger::BaseReq>> reqs;
    std::vector<std::shared_ptr<messenger::BaseResp>> resps;
};

} // namespace messengertest
