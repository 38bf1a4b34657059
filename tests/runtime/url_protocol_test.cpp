#include "runtime/HYBURLProtocol.h"

#include "platform/device/PhotoLibrary.h"
#include "platform/web/HeadlessWebView.h"
#include "runtime/HYBWhitelist.h"

#include "BridgeFixture.h"
#include "support/LogCapture.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>

using namespace runtime;
using runtime::testing::Bridge;
using runtime::testing::probeCommand;

namespace {

constexpr std::int64_t kNumber = 4242;

// A request as the page of the web view `webView` names makes it (0: no web view's).
platform::URLRequest bridgeRequest(const std::map<std::string, std::string>& headers,
                                   const std::string& url = "file:///!hyb_exec", std::uint64_t webView = 0) {
    platform::URLRequest request{std::string_view(url)};
    request.setWebViewIdentifier(webView);
    for (const auto& [name, value] : headers)
        EXPECT_TRUE(request.setValue(value, name).ok());
    return request;
}

class URLProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        HYBURLProtocol::resetForTesting();
        whitelist = std::make_shared<const HYBWhitelist>(std::vector<std::string>{"http://allowed.example"});
        HYBURLProtocol::registerViewController(kNumber, bridge.host->view->identifier(), whitelist, bridge.queue);
        // The page's queue holds one command from each poke until a fetch takes it.
        bridge.host->view->page().setScriptHandler([this](std::string_view script) -> std::optional<std::string> {
            if (script != "hybrid.require('hybrid/exec').nativeFetchMessages()")
                return std::nullopt;
            return std::exchange(pageHasCommand, false) ? "[" + probeCommand("cb1", "\"fetched\"") + "]" : "";
        });
    }
    void TearDown() override { HYBURLProtocol::resetForTesting(); }

    // Sends the request as the page's XHR and waits for its answer.
    platform::HeadlessWebView::XHRResult send(platform::URLRequest request) {
        pageHasCommand = true;
        std::optional<platform::HeadlessWebView::XHRResult> answer;
        bridge.host->view->pageSendsRequest(std::move(request), [&](platform::HeadlessWebView::XHRResult result) { answer = result; });
        EXPECT_TRUE(hybtest::runMainUntil([&] { return answer.has_value(); }));
        return answer.value_or(platform::HeadlessWebView::XHRResult{});
    }
    // Lets the work posted to the main run loop so far run (the loop is first in, first out).
    void settle() {
        bool reached = false;
        platform::RunLoop::main().perform([&] { reached = true; });
        EXPECT_TRUE(hybtest::runMainUntil([&] { return reached; }));
        // And the page's answers, with the queue's coming back to the page after them.
        hybtest::runMainUntil([] { return false; }, std::chrono::milliseconds(30));
    }

    Bridge bridge;
    std::shared_ptr<const HYBWhitelist> whitelist;
    bool pageHasCommand = false;
};

TEST_F(URLProtocolTest, APokeIsAnsweredAtOnceAndFetchesCommandsOnTheMainThread) {
    auto answer = send(bridgeRequest({{"vc", std::to_string(kNumber)}, {"rc", "1"}}));
    ASSERT_TRUE(answer.response.has_value());
    EXPECT_EQ(answer.response->statusCode(), 200);
    EXPECT_EQ(answer.response->allHeaderFields().value("Content-Type").value_or(""), "text/plain");
    EXPECT_TRUE(answer.body.empty());
    settle();
    EXPECT_EQ(bridge.probe->calls, std::vector<std::string>{"run:fetched"});
}

TEST_F(URLProtocolTest, PokesAreAcceptedOnlyByTheRequestIdRule) {
    const std::string vc = std::to_string(kNumber);
    send(bridgeRequest({{"vc", vc}, {"rc", "7"}}));
    settle();
    EXPECT_TRUE(bridge.probe->calls.empty()) << "the first poke after a reset must be 1";
    send(bridgeRequest({{"vc", vc}, {"rc", "1"}}));
    settle();
    send(bridgeRequest({{"vc", vc}, {"rc", "1"}}));
    settle();
    EXPECT_EQ(bridge.probe->calls.size(), 1u) << "a repeated id is refused";
    send(bridgeRequest({{"vc", vc}, {"rc", "3"}}));
    settle();
    EXPECT_EQ(bridge.probe->calls.size(), 2u) << "a higher id after an accepted one is accepted";
    bridge.queue->resetRequestId();
    send(bridgeRequest({{"vc", vc}, {"rc", "1"}}));
    settle();
    EXPECT_EQ(bridge.probe->calls.size(), 3u) << "a page load starts the ids again";
}

TEST_F(URLProtocolTest, CommandsInTheHeaderAreQueuedAndTheRequestIsNotTaken) {
    auto request = bridgeRequest({{"vc", std::to_string(kNumber)}, {"rc", "1"}, {"cmds", "[" + probeCommand("cb2", "\"carried\"") + "]"}},
                                 "file:///!hyb_exec", bridge.host->view->identifier());
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(request));
    EXPECT_TRUE(bridge.probe->calls.empty()) << "commands never run on the loading thread";
    settle();
    EXPECT_EQ(bridge.probe->calls, std::vector<std::string>{"run:carried"});
}

TEST_F(URLProtocolTest, TheCallerIsFoundByItsHeaderOrItsUserAgent) {
    hybtest::LogCapture log;
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({{"vc", std::to_string(kNumber)}})));
    EXPECT_TRUE(log.contains("!hybrid request missing rc header"));

    // The user agent's last parentheses name the controller; "vc" wins over it.
    EXPECT_TRUE(HYBURLProtocol::canInitWithRequest(bridgeRequest(
        {{"User-Agent", "Mozilla/5.0 (X11; Linux) Engine (" + std::to_string(kNumber) + ")"}, {"rc", "2"}}, "file:///!hyb_exec",
        bridge.host->view->identifier())));
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(
        bridgeRequest({{"User-Agent", "Agent (" + std::to_string(kNumber) + ")"}, {"vc", "99"}, {"rc", "2"}})));
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({{"User-Agent", "Agent (99)"}, {"rc", "1"}})))
        << "an unregistered number is never taken";
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({{"User-Agent", "Agent without number"}, {"rc", "1"}})));
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({{"rc", "1"}})));
    settle();
    EXPECT_TRUE(bridge.probe->calls.empty()) << "nothing is queued for unknown callers (and id 2 is not a first poke)";

    HYBURLProtocol::unregisterViewController(kNumber);
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({{"vc", std::to_string(kNumber)}, {"rc", "1"}})));
}

TEST_F(URLProtocolTest, OnlyTheNamedControllersOwnWebViewReachesItsQueue) {
    // Another web view's page (the in-app browser's, say) knows the number and sends every form of signal.
    std::shared_ptr<platform::HeadlessWebView> foreign = platform::HeadlessWebView::create();
    hybtest::LogCapture log;
    const std::string vc = std::to_string(kNumber);
    const std::string carried = "[" + probeCommand("cb3", "\"foreign\"") + "]";
    std::optional<platform::HeadlessWebView::XHRResult> poked;
    std::optional<platform::HeadlessWebView::XHRResult> carrying;
    pageHasCommand = true;
    foreign->pageSendsRequest(bridgeRequest({{"vc", vc}, {"rc", "1"}}), [&](auto result) { poked = result; });
    foreign->pageSendsRequest(bridgeRequest({{"User-Agent", "Agent (" + vc + ")"}, {"rc", "1"}, {"cmds", carried}}),
                              [&](auto result) { carrying = result; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return poked && carrying; }));
    // The same requests as a page of no web view at all would make them, and a forged stamp of a view that
    // does not exist.
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({{"vc", vc}, {"rc", "1"}, {"cmds", carried}})));
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({{"vc", vc}, {"rc", "1"}}, "file:///!hyb_exec", foreign->identifier() + 1000)));
    settle();
    EXPECT_TRUE(bridge.probe->calls.empty()) << "no poke was taken and no batch queued";
    EXPECT_TRUE(bridge.evaluated().empty()) << "not even a fetch from the application's page";
    EXPECT_TRUE(log.contains("Refused a bridge request naming view " + vc));
    EXPECT_FALSE(poked->response && poked->response->statusCode() == 200 && !poked->error) << "the poke is not answered as taken";

    // The controller's own page still reaches it, by number in either place.
    send(bridgeRequest({{"User-Agent", "Agent (" + vc + ")"}, {"rc", "1"}, {"cmds", carried}}));
    settle();
    ASSERT_FALSE(bridge.probe->calls.empty());
    EXPECT_EQ(bridge.probe->calls.front(), "run:foreign");
}

TEST_F(URLProtocolTest, ANonWhitelistedSubResourceGetsA401WithTheRejectionText) {
    auto answer = send(bridgeRequest({{"vc", std::to_string(kNumber)}}, "http://refused.example/data.json"));
    ASSERT_TRUE(answer.response.has_value());
    EXPECT_EQ(answer.response->statusCode(), 401);
    EXPECT_EQ(std::string(answer.body.begin(), answer.body.end()),
              "ERROR whitelist rejection: url='http://refused.example/data.json'");
    EXPECT_EQ(answer.response->allHeaderFields().value("Content-Type").value_or(""), "text/plain");

    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({{"vc", std::to_string(kNumber)}}, "http://allowed.example/x")));
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({{"vc", std::to_string(kNumber)}}, "custom://refused.example/x")))
        << "a scheme the whitelist does not govern is left alone";
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({}, "http://refused.example/x")))
        << "requests of other web views are not judged";

    // A redirect of a view's load is judged alike, and also refused to the bridge path or to no readable URL.
    const auto hop = [](const std::map<std::string, std::string>& headers, const std::string& url) {
        platform::URLRequest request = bridgeRequest(headers, url);
        if (url.empty())
            request.setURL(std::nullopt);
        return HYBURLProtocol::refusesRedirectTo(request);
    };
    const std::map<std::string, std::string> view = {{"vc", std::to_string(kNumber)}};
    EXPECT_TRUE(hop(view, "http://refused.example/x"));
    EXPECT_TRUE(hop(view, "http://allowed.example/!hyb_exec"));
    EXPECT_TRUE(hop(view, ""));
    EXPECT_FALSE(hop(view, "http://allowed.example/x"));
    EXPECT_FALSE(hop(view, "custom://refused.example/x"));
    EXPECT_FALSE(hop({}, "http://refused.example/x"));
    EXPECT_FALSE(hop({{"vc", "99"}}, ""));
}

TEST_F(URLProtocolTest, OnlyTheFirstControllersWhitelistCountsAndWithoutOneNothingIsRefused) {
    HYBURLProtocol::resetForTesting();
    hybtest::LogCapture log;
    HYBURLProtocol::registerViewController(1, bridge.host->view->identifier(), nullptr, bridge.queue);
    EXPECT_TRUE(log.contains("WARNING: NO whitelist has been set in HYBURLProtocol."));
    HYBURLProtocol::registerViewController(2, bridge.host->view->identifier(), whitelist, bridge.queue);
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(bridgeRequest({{"vc", "2"}}, "http://refused.example/x")));
}

TEST_F(URLProtocolTest, AssetURLsAreAnsweredFromThePhotoLibraryForAnyWebView) {
    hybtest::TempHome home;
    const platform::Bytes picture{0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 0xFF, 0xD9};
    auto written = platform::PhotoLibrary().writeImageData(picture, "jpg");
    ASSERT_TRUE(written.ok());

    // No "vc" and no user agent number: asset URLs are served to every web view.
    auto answer = send(platform::URLRequest(*written));
    ASSERT_TRUE(answer.response.has_value());
    EXPECT_EQ(answer.response->statusCode(), 200);
    EXPECT_EQ(answer.body, picture);
    EXPECT_EQ(answer.response->allHeaderFields().value("Content-Type").value_or(""), "image/jpeg");

    // An asset of many steps (each read as the reader makes room, never whole) arrives whole.
    platform::Bytes large(2 * platform::URLProtocol::kStepBytes + 5);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<std::uint8_t>(i * 31 + i / 997);
    auto writtenLarge = platform::PhotoLibrary().writeImageData(large, "jpg");
    ASSERT_TRUE(writtenLarge.ok());
    auto largeAnswer = send(platform::URLRequest(*writtenLarge));
    ASSERT_TRUE(largeAnswer.response.has_value());
    EXPECT_EQ(largeAnswer.response->statusCode(), 200);
    EXPECT_TRUE(largeAnswer.body == large) << largeAnswer.body.size() << " bytes came";

    auto unknown = send(platform::URLRequest(std::string_view("assets-library://asset/asset.JPG?id=NOPE&ext=JPG")));
    ASSERT_TRUE(unknown.response.has_value());
    EXPECT_EQ(unknown.response->statusCode(), 404);
    EXPECT_TRUE(unknown.body.empty());

    platform::PhotoLibrary::setAccessAllowed(false);
    auto refused = send(platform::URLRequest(*written));
    platform::PhotoLibrary::setAccessAllowed(true);
    ASSERT_TRUE(refused.response.has_value());
    EXPECT_EQ(refused.response->statusCode(), 401);
}

TEST(URLProtocolNumbers, LeadingIntegersReadAsThePlatformReadsThem) {
    EXPECT_EQ(HYBURLProtocol::longLongValue("140234)"), 140234);
    EXPECT_EQ(HYBURLProtocol::longLongValue("  -17abc"), -17);
    EXPECT_EQ(HYBURLProtocol::longLongValue("+5"), 5);
    EXPECT_EQ(HYBURLProtocol::longLongValue("x1"), 0);
    EXPECT_EQ(HYBURLProtocol::longLongValue(""), 0);
    EXPECT_EQ(HYBURLProtocol::longLongValue("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(HYBURLProtocol::longLongValue("99999999999999999999"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(HYBURLProtocol::longLongValue("-99999999999999999999"), std::numeric_limits<std::int64_t>::min());
}

} // namespace

// The bridge path is the one the web-process module sends as a bridge request, written exactly so: a
// spelling the module sends as an ordinary load (escaped, with a trailing "/", ...) is no bridge request here
// either; the query and the fragment are not part of the path.
TEST_F(URLProtocolTest, OnlyThePathWrittenExactlySoIsTheBridge) {
    const std::string vc = std::to_string(kNumber);
    const auto carries = [&](const std::string& url) {
        auto request = bridgeRequest({{"vc", vc}, {"rc", "1"}, {"cmds", "[" + probeCommand("cb3", "\"via\"") + "]"}}, url,
                                     bridge.host->view->identifier());
        EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(request));
        settle();
        return !std::exchange(bridge.probe->calls, {}).empty();
    };
    for (const char* url : {"http://allowed.example/%21hyb_exec", "http://allowed.example/!hyb_exec/", "file:///%21hyb_exec",
                            "http://allowed.example/!hyb_ex%65c", "http://allowed.example/!HYB_EXEC", "http://allowed.example//!hyb_exec",
                            "http://allowed.example/a/!hyb_exec", "http://allowed.example/!hyb_exec;x"})
        EXPECT_FALSE(carries(url)) << url;
    for (const char* url : {"file:///!hyb_exec", "http://allowed.example/!hyb_exec", "http://allowed.example:8080/!hyb_exec?1#f",
                            "file:///!hyb_exec#x"})
        EXPECT_TRUE(carries(url)) << url;
    // A poke on another spelling is not taken either (the ordinary loaders answer it).
    EXPECT_FALSE(HYBURLProtocol::canInitWithRequest(
        bridgeRequest({{"vc", vc}, {"rc", "2"}}, "http://allowed.example/%21hyb_exec", bridge.host->view->identifier())));
}
