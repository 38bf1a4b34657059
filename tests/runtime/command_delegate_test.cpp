#include "runtime/HYBCommandDelegateImpl.h"

#include "platform/runloop/DispatchQueue.h"
#include "platform/text/URL.h"

#include "BridgeFixture.h"
#include "support/LogCapture.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using namespace runtime;
using namespace runtime::testing;

namespace {

constexpr const char* kCallback = "hybrid.require('hybrid/exec').nativeCallback(";

std::vector<std::string> callbacks(const std::vector<std::string>& scripts) {
    std::vector<std::string> out;
    for (const auto& script : scripts)
        if (script.rfind(kCallback, 0) == 0)
            out.push_back(script);
    return out;
}

} // namespace

TEST(HYBCommandDelegateImpl, TheCallbackTextOfEachMessageKind) {
    using S = HYBCommandStatus;
    auto text = [](const HYBPluginResult& result) { return HYBCommandDelegateImpl::callbackScript(result, "Device123"); };
    EXPECT_EQ(text(HYBPluginResult::resultWithStatus(S::Ok)), "hybrid.require('hybrid/exec').nativeCallback('Device123',1,null,0)");
    EXPECT_EQ(HYBCommandDelegateImpl::callbackScript(std::nullopt, "a"), "hybrid.require('hybrid/exec').nativeCallback('a',0,null,0)");
    EXPECT_EQ(text(HYBPluginResult::messageAsString(S::Error, "it's \"x\"\n")),
              "hybrid.require('hybrid/exec').nativeCallback('Device123',9,\"it's \\\"x\\\"\\n\",0)");
    EXPECT_EQ(text(HYBPluginResult::messageAsInt(S::Ok, -5)), "hybrid.require('hybrid/exec').nativeCallback('Device123',1,-5,0)");
    EXPECT_EQ(text(HYBPluginResult::messageAsDouble(S::Ok, 0.5)), "hybrid.require('hybrid/exec').nativeCallback('Device123',1,0.5,0)");
    EXPECT_EQ(text(HYBPluginResult::messageAsBool(S::Ok, true)), "hybrid.require('hybrid/exec').nativeCallback('Device123',1,true,0)");
    EXPECT_EQ(text(HYBPluginResult::messageAsArray(S::Ok, {1, "a"})),
              "hybrid.require('hybrid/exec').nativeCallback('Device123',1,[1,\"a\"],0)");
    EXPECT_EQ(text(HYBPluginResult::messageAsDictionary(S::Ok, {{"k", 1}})),
              "hybrid.require('hybrid/exec').nativeCallback('Device123',1,{\"k\":1},0)");
    EXPECT_EQ(text(HYBPluginResult::messageAsArrayBuffer(S::Ok, platform::Bytes{0, 1, 2})),
              "hybrid.require('hybrid/exec').nativeCallback('Device123',1,{\"HYBType\":\"ArrayBuffer\",\"data\":\"AAEC\"},0)");
    EXPECT_EQ(text(HYBPluginResult::messageAsMultipart(S::Ok, {platform::Bytes{0, 1, 2}, "x", 5})),
              "hybrid.require('hybrid/exec').nativeCallback('Device123',1,{\"HYBType\":\"MultiPart\",\"messages\":"
              "[{\"HYBType\":\"ArrayBuffer\",\"data\":\"AAEC\"},\"x\",5]},0)");
    EXPECT_EQ(text(HYBPluginResult::messageToErrorObject(S::IOError, 5)),
              "hybrid.require('hybrid/exec').nativeCallback('Device123',6,{\"code\":5},0)");
    HYBPluginResult kept = HYBPluginResult::messageAsString(S::Ok, "p");
    kept.setKeepCallbackAsBool(true);
    EXPECT_EQ(text(kept), "hybrid.require('hybrid/exec').nativeCallback('Device123',1,\"p\",1)");
}

TEST(HYBCommandDelegateImpl, CallbackIdsAreCheckedBeforeAnswering) {
    Bridge bridge;
    hybtest::LogCapture log;
    const std::string allowed = std::string(97, 'a') + "._-";
    ASSERT_EQ(allowed.size(), 100u);
    EXPECT_TRUE(HYBCommandDelegateImpl::isValidCallbackId(allowed));
    EXPECT_FALSE(HYBCommandDelegateImpl::isValidCallbackId(allowed + "b"));
    EXPECT_FALSE(HYBCommandDelegateImpl::isValidCallbackId(std::nullopt));
    for (const char* bad : {"a b", "a'b", "a\\b", "a)b", "\xC3\xA9", "a\nb"})
        EXPECT_FALSE(HYBCommandDelegateImpl::isValidCallbackId(std::string(bad))) << bad;

    bridge.delegate->sendPluginResult(HYBPluginResult(), std::string("INVALID"));
    EXPECT_TRUE(log.lines().empty());
    bridge.delegate->sendPluginResult(HYBPluginResult(), allowed + "b");
    bridge.delegate->sendPluginResult(HYBPluginResult(), std::string("a b"));
    bridge.delegate->sendPluginResult(HYBPluginResult(), std::nullopt);
    EXPECT_EQ(log.lines(), std::vector<std::string>(3, "Invalid callback id received by sendPluginResult"));
    bridge.delegate->sendPluginResult(HYBPluginResult(), allowed);

    ASSERT_TRUE(hybtest::runMainUntil([&] { return !callbacks(bridge.evaluated()).empty(); }));
    EXPECT_EQ(callbacks(bridge.evaluated()),
              (std::vector<std::string>{"hybrid.require('hybrid/exec').nativeCallback('" + allowed + "',0,null,0)"}));
}

TEST(HYBCommandDelegateImpl, ASynchronousAnswerInsideAPassIsEvaluatedAtOnce) {
    Bridge bridge;
    bridge.probe->onRun = [&](const HYBInvokedUrlCommand& command) {
        bridge.delegate->sendPluginResult(HYBPluginResult::messageAsInt(HYBCommandStatus::Ok, 1), command.callbackId());
        bridge.probe->calls.push_back("evaluated " + std::to_string(callbacks(bridge.evaluated()).size()));
    };
    bridge.queue->enqueueCommandBatch("[" + probeCommand("s1", "0") + "]");
    bridge.queue->executePending();
    EXPECT_EQ(bridge.probe->calls, (std::vector<std::string>{"run:0", "evaluated 1"}));
}

TEST(HYBCommandDelegateImpl, BackgroundAnswersAreEvaluatedOnTheMainThreadAfterThePassInOrder) {
    Bridge bridge;
    std::atomic<int> sent{0};
    bridge.probe->onRun = [&](const HYBInvokedUrlCommand& command) {
        std::string id = *command.callbackId();
        bridge.delegate->runInBackground([&, id] {
            bridge.delegate->sendPluginResult(HYBPluginResult::messageAsString(HYBCommandStatus::Ok, id), id);
            ++sent;
        });
    };
    bridge.queue->enqueueCommandBatch("[" + probeCommand("b1", "0") + "]");
    bridge.queue->executePending();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return sent == 1 && !callbacks(bridge.evaluated()).empty(); }));
    EXPECT_EQ(callbacks(bridge.evaluated()), (std::vector<std::string>{"hybrid.require('hybrid/exec').nativeCallback('b1',1,\"b1\",0)"}));
}

TEST(HYBCommandDelegateImpl, AnswersOfADelayedFlushWaitForALaterTurn) {
    Bridge bridge;
    bridge.probe->onRun = [&](const HYBInvokedUrlCommand& command) {
        bridge.delegate->sendPluginResult(HYBPluginResult(HYBCommandStatus::Ok, platform::Value()), command.callbackId());
    };
    bridge.queue->enqueueCommandBatch("[" + probeCommand("d1", "0") + "," + probeCommand("d2", "0") + "]");
    bridge.delegate->flushCommandQueueWithDelayedJs();
    EXPECT_EQ(bridge.probe->calls.size(), 2u);
    EXPECT_TRUE(bridge.evaluated().empty());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return callbacks(bridge.evaluated()).size() == 2; }));
    EXPECT_EQ(callbacks(bridge.evaluated()), (std::vector<std::string>{"hybrid.require('hybrid/exec').nativeCallback('d1',1,null,0)",
                                                                       "hybrid.require('hybrid/exec').nativeCallback('d2',1,null,0)"}));
}

TEST(HYBCommandDelegateImpl, EvaluatedScriptIsWrappedAndTheCommandsItReturnsRun) {
    Bridge bridge;
    const std::string wrapped = "try{hybrid.require('hybrid/exec').nativeEvalAndFetch(function(){go()})}catch(e){console.log('exeption nativeEvalAndFetch : '+e);};";
    bridge.host->view->page().setAnswer(wrapped, "[" + probeCommand("e1", "7") + "]");
    bridge.delegate->evalJs("go()", false);
    EXPECT_EQ(bridge.evaluated(), (std::vector<std::string>{wrapped})); // at once
    EXPECT_TRUE(bridge.probe->calls.empty()); // the returned commands run when the answer comes back
    ASSERT_TRUE(hybtest::runMainUntil([&] { return bridge.probe->calls.size() == 1; }));
    EXPECT_EQ(bridge.probe->calls, (std::vector<std::string>{"run:7"}));

    bridge.delegate->evalJs("go()");
    EXPECT_EQ(bridge.evaluated().size(), 1u); // scheduled, outside a pass
    ASSERT_TRUE(hybtest::runMainUntil([&] { return bridge.probe->calls.size() == 2; }));
    EXPECT_EQ(bridge.evaluated().back(), wrapped);
}

TEST(HYBCommandDelegateImpl, ResourcesAreFoundUnderTheWebRoot) {
    hybtest::TempHome home;
    home.writeBundleFile("www/index.html", "<html></html>");
    home.writeBundleFile("www/img/a.png", "png");
    Bridge bridge;
    EXPECT_EQ(bridge.delegate->pathForResource("index.html"), home.folders().bundle() + "/www/index.html");
    EXPECT_EQ(bridge.delegate->pathForResource("img/a.png"), home.folders().bundle() + "/www/img/a.png");
    EXPECT_EQ(bridge.delegate->pathForResource("a.png"), std::nullopt);
    EXPECT_EQ(bridge.delegate->pathForResource("../www/index.html"), std::nullopt);
}

TEST(HYBCommandDelegateImpl, WhitelistGovernsOnlyItsSchemesAndNothingAnswersOnceTheControllerIsGone) {
    Bridge bridge;
    bridge.host->accessList = std::make_unique<HYBWhitelist>(std::vector<std::string>{"http://good.example"});
    bridge.host->preferences.set("k", "v");
    EXPECT_TRUE(bridge.delegate->URLIsWhitelisted(*platform::URL::fromString("http://good.example/x")));
    EXPECT_FALSE(bridge.delegate->URLIsWhitelisted(*platform::URL::fromString("http://evil.example/x")));
    EXPECT_TRUE(bridge.delegate->URLIsWhitelisted(*platform::URL::fromString("mailto:a@b.c")));
    EXPECT_EQ(bridge.delegate->settings(), (platform::Dictionary{{"k", "v"}}));
    EXPECT_EQ(bridge.delegate->userAgent(), "Test Agent (7)");
    EXPECT_EQ(bridge.delegate->getCommandInstance("PROBE"), bridge.probe);

    std::weak_ptr<platform::HeadlessWebView> view = bridge.host->view;
    auto delegate = bridge.delegate;
    bridge = Bridge(); // the controller, its queue and web view go away
    EXPECT_EQ(delegate->getCommandInstance("probe"), nullptr);
    EXPECT_EQ(delegate->userAgent(), "");
    EXPECT_TRUE(delegate->settings().empty());
    delegate->evalJs("x()", false); // reaches nothing, does not crash
}
