// The URL protocol: what each request opens, what each return URL gives the delegate, and the helpers.
#include "MessengerFixture.h"

#include "messenger/AppCommunicateData.h"
#include "platform/formats/JSON.h"
#include "platform/text/PercentEscaping.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace messenger;
using messengertest::RecordingDelegate;

namespace {

class URLProtocolTest : public messengertest::MessengerTest {
protected:
    URLProtocolTest() {
        platform::Application::shared().addInstalledScheme("messenger");
        MXApi::registerApp(std::string("mxabc"));
    }
    // The URLs opened so far, then forgets them.
    static std::vector<std::string> opened() {
        auto urls = platform::Application::shared().openedURLs();
        platform::Application::shared().clearOpenedURLs();
        return urls;
    }
    static std::shared_ptr<PayReq> payReq() {
        auto req = std::make_shared<PayReq>();
        req->partnerId = "4711";
        req->prepayId = "pp20";
        req->package = "Sign=Pay Now&x=1/2";
        req->nonceStr = "n0nce";
        req->sign = "ABCDEF";
        req->timeStamp = 1700000000;
        return req;
    }
    RecordingDelegate delegate;
};

TEST_F(URLProtocolTest, PayURLByteForByte) {
    ASSERT_TRUE(MXApi::sendReq(payReq()));
    EXPECT_EQ(opened(), std::vector<std::string>{"messenger://app/mxabc/pay/?nonceStr=n0nce&package=Sign%3DPay%20Now%26x%3D1%2F2"
                                                 "&partnerId=4711&prepayId=pp20&timeStamp=1700000000&sign=ABCDEF&signType=SHA1"});
    auto zero = payReq();
    zero->timeStamp = 0;
    ASSERT_TRUE(MXApi::sendReq(zero));
    EXPECT_NE(opened().at(0).find("&timeStamp=0&"), std::string::npos);

    auto noSign = payReq();
    noSign->sign = "";
    EXPECT_FALSE(MXApi::sendReq(noSign));
    noSign->sign.reset();
    EXPECT_FALSE(MXApi::sendReq(noSign));
    EXPECT_TRUE(opened().empty());

    platform::Application::shared().removeInstalledScheme("messenger");
    EXPECT_FALSE(MXApi::sendReq(payReq()));
    EXPECT_FALSE(MXApi::isMXAppInstalled());
}

TEST_F(URLProtocolTest, ShortRequestsAndTheirChecks) {
    auto profile = std::make_shared<JumpToBizProfileReq>();
    profile->username = "gh_1";
    profile->profileType = -1;
    ASSERT_TRUE(MXApi::sendReq(profile));
    profile->extMsg = "m";
    ASSERT_TRUE(MXApi::sendReq(profile));
    EXPECT_EQ(opened(), (std::vector<std::string>{"messenger://app/mxabc/openprofile/?username=gh_1&profiletype=-1",
                                                  "messenger://app/mxabc/openprofile/?username=gh_1&profiletype=-1&extmsg=m"}));
    profile->username = "";
    EXPECT_FALSE(MXApi::sendReq(profile));

    auto web = std::make_shared<JumpToBizWebviewReq>();
    web->tousrname = "gh_2";
    ASSERT_TRUE(MXApi::sendReq(web));
    web->webType = 1;
    EXPECT_FALSE(MXApi::sendReq(web));

    auto session = std::make_shared<OpenTempSessionReq>();
    session->username = "u";
    session->sessionFrom = "a b/?";
    ASSERT_TRUE(MXApi::sendReq(session));
    auto webview = std::make_shared<OpenWebviewReq>();
    webview->url = "https://x.com/a?b=c d";
    ASSERT_TRUE(MXApi::sendReq(webview));
    webview->url = std::string(10241, 'a');
    EXPECT_FALSE(MXApi::sendReq(webview));
    ASSERT_TRUE(MXApi::sendReq(std::make_shared<OpenRankListReq>()));
    EXPECT_EQ(opened(), (std::vector<std::string>{"messenger://app/mxabc/jumptobizwebview/?webtype=0&tousername=gh_2",
                                                  "messenger://app/mxabc/opentempsession/?username=u&sessionFrom=a%20b/?",
                                                  "messenger://app/mxabc/openwebview/?url=https%3A%2F%2Fx.com%2Fa%3Fb%3Dc%20d",
                                                  "messenger://app/mxabc/openranklist/"}));
    EXPECT_FALSE(MXApi::sendReq(nullptr));
}

TEST_F(URLProtocolTest, TextsWithoutAProtocolLimitAreBoundedBeforeAURLIsMade) {
    const std::string longest(1024, 'p');
    const std::string tooLong(30u << 20, 'p'); // a 30 MB partner id
    // Each payment text, sign-in scope and state, and a temporary session's origin.
    std::vector<std::function<std::shared_ptr<BaseReq>(const std::string&)>> requests = {
        [](const std::string& t) { auto r = payReq(); r->partnerId = t; return r; },
        [](const std::string& t) { auto r = payReq(); r->prepayId = t; return r; },
        [](const std::string& t) { auto r = payReq(); r->package = t; return r; },
        [](const std::string& t) { auto r = payReq(); r->nonceStr = t; return r; },
        [](const std::string& t) { auto r = payReq(); r->sign = t; return r; },
        [](const std::string& t) { auto r = std::make_shared<SendAuthReq>(); r->scope = t; return r; },
        [](const std::string& t) { auto r = std::make_shared<SendAuthReq>(); r->scope = "s"; r->state = t; return r; },
        [](const std::string& t) { auto r = std::make_shared<OpenTempSessionReq>(); r->username = "u"; r->sessionFrom = t; return r; },
    };
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_TRUE(MXApi::sendReq(requests[i](longest))) << i;
        EXPECT_EQ(opened().size(), 1u) << i;
        EXPECT_FALSE(MXApi::sendReq(requests[i](longest + "\xc3\xa9"))) << i;
        EXPECT_FALSE(MXApi::sendReq(requests[i](tooLong))) << i;
        EXPECT_TRUE(opened().empty()) << i;
    }
}

TEST_F(URLProtocolTest, CardPackageRequests) {
    auto cards = std::make_shared<AddCardToMXCardPackageReq>();
    EXPECT_FALSE(MXApi::sendReq(cards)); // no cards
    for (int i = 0; i < 41; ++i) {
        auto card = std::make_shared<MXCardItem>();
        card->cardId = "c" + std::to_string(i);
        cards->cardAry.push_back(card);
    }
    EXPECT_FALSE(MXApi::sendReq(cards)); // 41 cards
    cards->cardAry.resize(2);
    cards->cardAry[1]->cardId.reset();
    EXPECT_FALSE(MXApi::sendReq(cards)); // a card without id
    cards->cardAry[1]->cardId = "c1";
    cards->cardAry[1]->extMsg = "e1";
    ASSERT_TRUE(MXApi::sendReq(cards));
    EXPECT_EQ(cards->cardAry[0]->extMsg, ""); // written into the card first
    std::string url = opened().at(0);
    const std::string prefix = "messenger://app/mxabc/cardpackage/?";
    ASSERT_EQ(url.substr(0, prefix.size()), prefix);
    auto json = platform::JSON::parse(platform::removePercentEscapes(url.substr(prefix.size())).value());
    ASSERT_TRUE(json);
    EXPECT_EQ(json.value(), platform::Value(platform::Dictionary{{"id0", "c0"}, {"ext0", ""}, {"id1", "c1"}, {"ext1", "e1"}}));
}

TEST_F(URLProtocolTest, MessagesGoThroughThePasteboardWithTheConversationAccount) {
    // A message from the app leaves its account; the next outgoing message carries it, once.
    platform::Dictionary launch{{"command", "2040"}, {"account", "acct-1"}};
    platform::Dictionary all{{"mxabc", launch}};
    auto bytes = MessengerApiUtil::dataFromPropertyList(platform::Value(all));
    platform::Pasteboard::general()->setData(*bytes, "content");
    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://", &delegate));
    ASSERT_EQ(delegate.reqs.size(), 1u);
    EXPECT_TRUE(std::dynamic_pointer_cast<LaunchFromMXReq>(delegate.reqs[0]));
    EXPECT_EQ(MXApi::conversationAccount(), "acct-1");

    auto text = std::make_shared<SendMessageToMXReq>();
    text->bText = true;
    text->text = "hi";
    ASSERT_TRUE(MXApi::sendReq(text));
    EXPECT_EQ(opened(), std::vector<std::string>{"messenger://app/mxabc/sendreq/?"});
    EXPECT_FALSE(MXApi::conversationAccount());
    auto sent = AppCommunicate::appCommunicateDataForAppID("mxabc");
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->conversationAccount, "acct-1");

    auto resp = std::make_shared<ShowMessageFromMXResp>();
    resp->errCode = -3;
    ASSERT_TRUE(MXApi::sendResp(resp));
    EXPECT_EQ(opened(), std::vector<std::string>{"messenger://app/mxabc/sendresp/?"});
    auto back = AppCommunicate::appCommunicateDataForAppID("mxabc");
    ASSERT_TRUE(back);
    EXPECT_EQ((*back->propertList())["result"], platform::Value("-3"));
    EXPECT_EQ((*back->propertList())["returnFromApp"], platform::Value("1"));

    text->text = "";
    EXPECT_FALSE(MXApi::sendReq(text));
    EXPECT_TRUE(opened().empty());
}

TEST_F(URLProtocolTest, AuthRequestsByGeneration) {
    auto auth = std::make_shared<SendAuthReq>();
    auth->scope = "snsapi userinfo";
    ASSERT_TRUE(MXApi::sendReq(auth));
    EXPECT_EQ(opened(), std::vector<std::string>{"messenger://app/mxabc/auth/?scope=snsapi%20userinfo&state="});
    auth->scope = "";
    EXPECT_FALSE(MXApi::sendReq(auth));

    useSystem("6.1");
    auth->scope = "s";
    ASSERT_TRUE(MXApi::sendReq(auth));
    EXPECT_EQ(opened(), std::vector<std::string>{"messenger://app/mxabc/sendreq/?"});
    auto message = AppCommunicate::appCommunicateDataForAppID("mxabc");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->command(), 1030u);

    // Without the app the web sign-in takes over (and answers yes).
    platform::Application::shared().removeInstalledScheme("messenger");
    EXPECT_TRUE(MXApi::sendAuthReq(auth, nullptr, &delegate));
    EXPECT_TRUE(opened().empty());
    EXPECT_FALSE(MXApi::sendAuthReq(nullptr, nullptr, &delegate));
}

TEST_F(URLProtocolTest, ReturnURLsBecomeResponses) {
    EXPECT_FALSE(MXApi::handleOpenURL("mxabc://pay/", &delegate)); // not longer than the prefix, no message
    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://pay/?ret=-2&returnKey=a%20b&notifyStr=n", &delegate));
    auto pay = std::dynamic_pointer_cast<PayResp>(delegate.resps.at(0));
    ASSERT_TRUE(pay);
    EXPECT_EQ(pay->errCode, -2);
    EXPECT_EQ(pay->returnKey, "a%20b"); // values stay encoded
    EXPECT_EQ(pay->errStr, "n");
    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://pay/?ret=abc&notifyStr=%zz%", &delegate));
    pay = std::dynamic_pointer_cast<PayResp>(delegate.resps.at(1));
    EXPECT_EQ(pay->errCode, 0);
    EXPECT_EQ(pay->errStr, "%zz%");
    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://pay/?ret=99999999999&x", &delegate));
    EXPECT_EQ(std::dynamic_pointer_cast<PayResp>(delegate.resps.at(2))->errCode, 2147483647);

    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://oauth?code=authdeny&state=s", &delegate));
    auto deny = std::dynamic_pointer_cast<SendAuthResp>(delegate.resps.at(3));
    EXPECT_EQ(deny->errCode, -4);
    EXPECT_FALSE(deny->code);
    EXPECT_EQ(deny->state, "s");
    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://oauth", &delegate));
    EXPECT_EQ(delegate.resps.at(4)->errCode, -1);
    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://oauth?code=c1&reason=r", &delegate));
    auto granted = std::dynamic_pointer_cast<SendAuthResp>(delegate.resps.at(5));
    EXPECT_EQ(granted->code, "c1");
    EXPECT_EQ(granted->errStr, "r");

    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://openranklist/?ret=3&notifyStr=x", &delegate));
    EXPECT_TRUE(std::dynamic_pointer_cast<OpenRankListResp>(delegate.resps.at(6)));
    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://opentempsession/?ret=1", &delegate));
    EXPECT_TRUE(std::dynamic_pointer_cast<OpenTempSessionResp>(delegate.resps.at(7)));
    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://openwebview/?ret=1", &delegate));
    EXPECT_TRUE(std::dynamic_pointer_cast<OpenWebviewResp>(delegate.resps.at(8)));

    // A delegate without onResp still has the URL recognised.
    RecordingDelegate deaf;
    deaf.takesResp = false;
    EXPECT_TRUE(MXApi::handleOpenURL("mxabc://pay/?ret=0", &deaf));
    EXPECT_TRUE(deaf.resps.empty());
    EXPECT_FALSE(MXApi::handleOpenURL("mxabc://pay/?ret=0", nullptr));
    EXPECT_FALSE(MXApi::handleOpenURL("other://pay/?ret=0", &delegate));
    EXPECT_FALSE(MXApi::handleOpenURL("mxabc://" + std::string(100 * 1024, 'z'), &delegate));
    EXPECT_TRUE(MXApi::handleOpenURL("mxabc://pay/?" + std::string(100 * 1024, '&'), &delegate));
}

TEST_F(URLProtocolTest, CardPackageResponses) {
    auto cards = [&](const std::string& info) {
        delegate.resps.clear();
        EXPECT_TRUE(MXApi::handleOpenURL("mxabc://cardPackage/?errCode=5&addCardInfo=" + info, &delegate));
        auto resp = std::dynamic_pointer_cast<AddCardToMXCardPackageResp>(delegate.resps.at(0));
        EXPECT_EQ(resp->errCode, 5);
        return resp->cardAry;
    };
    std::string good = platform::escapeURLComponent(
        R"([{"card_id":"a","card_ext":"x","is_succ":"1"},{"card_id":""},5,{"card_id":7},{"card_id":"b","is_succ":0}])");
    auto list = cards(good);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->cardId, "a");
    EXPECT_EQ(list[0]->extMsg, "x");
    EXPECT_EQ(list[0]->cardState, 1u);
    EXPECT_EQ(list[1]->cardId, "b");
    EXPECT_TRUE(cards("%7B%zz").empty());                                 // bad escapes
    EXPECT_TRUE(cards(platform::escapeURLComponent("[{\"card_id\"")).empty()); // bad JSON
    EXPECT_TRUE(cards(platform::escapeURLComponent("{\"card_id\":\"a\"}")).empty()); // not an array
    EXPECT_TRUE(cards("").empty());
}

TEST_F(URLProtocolTest, PasteboardMessagesByCommand) {
    auto put = [](platform::Dictionary entry) {
        auto bytes = MessengerApiUtil::dataFromPropertyList(platform::Value(platform::Dictionary{{"mxabc", std::move(entry)}}));
        platform::Pasteboard::general()->setData(*bytes, "content");
    };
    EXPECT_FALSE(MXApi::handleOpenURL("mxabc://", &delegate)); // no message
    put({{"command", "1070"}});
    EXPECT_TRUE(MXApi::handleOpenURL("mxabc://", &delegate));
    EXPECT_TRUE(delegate.reqs.empty() && delegate.resps.empty());
    put({{"command", "2010"}, {"result", "-7"}});
    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://", &delegate));
    EXPECT_EQ(std::dynamic_pointer_cast<SendMessageToMXResp>(delegate.resps.at(0))->errCode, -7);
    put({{"command", "1010"}, {"objectType", "5"}, {"mediaUrl", "u"}});
    EXPECT_FALSE(MXApi::handleOpenURL("mxabc://", &delegate));
    put({{"command", "2000"}, {"openID", "o"}});
    ASSERT_TRUE(MXApi::handleOpenURL("mxabc://", &delegate));
    EXPECT_EQ(std::dynamic_pointer_cast<GetMessageFromMXReq>(delegate.reqs.at(0))->openID, "o");
}

TEST_F(URLProtocolTest, NothingWorksWithoutAnAppId) {
    MXApi::resetForTesting();
    EXPECT_FALSE(MXApi::registerApp(std::nullopt));
    EXPECT_FALSE(MXApi::isMXAppInstalled());
    EXPECT_TRUE(MXApi::isMXAppSupportApi());
    EXPECT_FALSE(MXApi::sendReq(payReq()));
    EXPECT_FALSE(MXApi::openMXApp());
    EXPECT_FALSE(MXApi::handleOpenURL("mxabc://pay/?ret=0", &delegate));
    EXPECT_EQ(MXApi::getApiVersion(), "1.6");
}

TEST(MXApiParams, SplitsAtAmpersandAndEquals) {
    auto params = MXApi::parseURLParams("a=1&b=x=y=z&c&=v&a=2&d=");
    EXPECT_EQ(params, (std::map<std::string, std::string>{{"a", "2"}, {"b", "x"}, {"", "v"}, {"d", ""}}));
    EXPECT_TRUE(MXApi::parseURLParams("").empty());
}

TEST(MessengerApiUtilText, EscapingSetsAndBase64) {
    EXPECT_EQ(MessengerApiUtil::escapingForURLArgument("a b&c=d/e?f%g+h~é"), "a%20b%26c%3Dd%2Fe%3Ff%25g%2Bh~%C3%A9");
    EXPECT_EQ(MessengerApiUtil::escapingForURLArgumentOnly("a b&c=d/e?f%g+h<"), "a%20b&c=d/e?f%g+h%3C");
    EXPECT_EQ(MessengerApiUtil::encodeUrl("a b~*'\"{}"), "a%20b%7E%2A%27%22%7B%7D");
    EXPECT_EQ(MessengerApiUtil::unescapingFromURLArgument("a+b%21"), "a b!");
    EXPECT_FALSE(MessengerApiUtil::unescapingFromURLArgument("%zz"));
    EXPECT_EQ(MessengerApiUtil::encodeByJsonAndUrlEncode("\\x41+\\X42"), "A B");

    EXPECT_EQ(MessengerApiUtil::encodeBase64("hello"), "aGVsbG8=");
    EXPECT_FALSE(MessengerApiUtil::encodeBase64(""));
    EXPECT_EQ(MessengerApiUtil::decodeBase64("aGVsbG8="), "hello");
    EXPECT_EQ(MessengerApiUtil::decodeBase64("aGVsbG8=xy"), "hello"); // a partial group is not read
    EXPECT_FALSE(MessengerApiUtil::decodeWithBase64("abc"));
    EXPECT_FALSE(MessengerApiUtil::decodeBase64("/w=="));             // not UTF-8
    EXPECT_EQ(MessengerApiUtil::decodeWithBase64("/w=="), platform::Bytes{0xff});

    EXPECT_EQ(MessengerApiUtil::getAppUrlWithPlatformId("x", "a"), "x://platformId=messenger/a");
    EXPECT_EQ(MessengerApiUtil::getMessengerUrl(std::nullopt), std::nullopt);
    EXPECT_FALSE(MessengerApiUtil::getMessengerUrl(std::string("a b"), "pay/"));
    EXPECT_TRUE(MessengerApiUtil::isAppOpenUrl("mxabc://x", "mxabc"));
    EXPECT_FALSE(MessengerApiUtil::isAppOpenUrl("mxabcd://x", "mxabc"));
}

TEST(MessengerObjects, DefaultsAndThumbnails) {
    BaseResp resp;
    EXPECT_EQ(resp.errCode, 0);
    EXPECT_FALSE(resp.errStr);
    AppCommunicateData data;
    EXPECT_EQ(data.result, 1);

    auto message = MXMediaMessage::message();
    message->thumbData = platform::Bytes{1};
    message->setThumbImage(nullptr);
    EXPECT_EQ(message->thumbData, platform::Bytes{1});
    message->setThumbImage(platform::Image::solidColor(platform::Color::fromRGBA255(0, 128, 255), {16, 16}));
    ASSERT_TRUE(message->thumbData);
    auto decoded = platform::Image::decode(*message->thumbData);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded.value()->pixelWidth(), 16);
    EXPECT_EQ((*message->thumbData)[0], 0xff); // JPEG
    EXPECT_EQ((*message->thumbData)[1], 0xd8);
}

} // namespace
