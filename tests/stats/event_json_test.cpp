#include "StatsTest.h"

#include "stats/MXStatEvent.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatKeyChain.h"

#include "platform/formats/JSON.h"

using namespace stats;
using namespace statstest;

namespace {

class EventJsonTest : public StatsTest {
protected:
    static platform::Value json(MXStatEvent& event) {
        const std::string text = event.toJsonString();
        auto parsed = platform::JSON::parse(text);
        EXPECT_TRUE(parsed.ok()) << text;
        return parsed.ok() ? *parsed : platform::Value();
    }
};

TEST_F(EventJsonTest, HeaderKeys) {
    MXStatConfig::getInstance().setAppkey("KEY");
    MXStatConfig::getInstance().setCustomerUserID("user-7");
    MXStatEvent event;
    event.sid = 77;
    platform::Value object = json(event);
    EXPECT_EQ(object["idx"], platform::Value(event.eventIndex));
    EXPECT_EQ(object["ts"], platform::Value(event.ts));
    EXPECT_EQ(object["si"], platform::Value(77));
    EXPECT_EQ(object["sv"], platform::Value("1.4.6"));
    EXPECT_EQ(object["ut"], platform::Value(0)); // no store: no user
    EXPECT_EQ(object["ch"], platform::Value("appstore"));
    EXPECT_EQ(object["av"], platform::Value("2.1"));
    EXPECT_TRUE(object["mc"].isString());
    EXPECT_EQ(object["cui"], platform::Value("user-7"));
    EXPECT_TRUE(object["cav"].isNull());
    EXPECT_EQ(object["mid"], platform::Value("none")); // no push token
    EXPECT_EQ(object["et"], platform::Value(0));
    EXPECT_EQ(object["ky"], platform::Value("KEY"));

    // The event's own key wins; the host's version is preferred; a push token replaces "none".
    event.appkey = "OWN";
    MXStatConfig::getInstance().setCustomerAppVersion("9.9");
    MXStatConfig::getInstance().setPushDeviceToken("token");
    object = json(event);
    EXPECT_EQ(object["ky"], platform::Value("OWN"));
    EXPECT_EQ(object["av"], platform::Value("9.9"));
    EXPECT_EQ(object["cav"], platform::Value("9.9"));
    EXPECT_EQ(object["mid"], platform::Value("token"));
}

TEST_F(EventJsonTest, TheRunningIndexStartsFromTheSavedOne) {
    ASSERT_TRUE(MXStatKeyChain::save(kMXStatEventIndexKeychainKey, platform::Value(41)));
    MXStatEvent first;
    MXStatEvent second;
    EXPECT_EQ(first.eventIndex, 142u);
    EXPECT_EQ(second.eventIndex, 143u);

    for (const platform::Value& saved : {platform::Value(1), platform::Value("500"), platform::Value(-9)}) {
        MXStatHelper::forgetEventIndex();
        ASSERT_TRUE(MXStatKeyChain::save(kMXStatEventIndexKeychainKey, saved));
        EXPECT_EQ(MXStatEvent().eventIndex, 1u) << saved.description();
    }

    // Past 2^63 - 10001 the index starts again at 1.
    MXStatHelper::setCurrentIndex((std::uint64_t{1} << 63) - 10001);
    EXPECT_EQ(MXStatEvent().eventIndex, (std::uint64_t{1} << 63) - 10000);
    EXPECT_EQ(MXStatEvent().eventIndex, 1u);
}

TEST_F(EventJsonTest, PageViewWithItsOwnPageAsReferrer) {
    MXStatPageView view;
    view.page = "home";
    view.refer = "home";
    view.duration = 5;
    const platform::Value object = json(view);
    EXPECT_EQ(object["pi"], platform::Value("home"));
    EXPECT_EQ(object["rf"], platform::Value("-"));
    EXPECT_EQ(object["du"], platform::Value(5));
    EXPECT_EQ(object["et"], platform::Value(1));
    EXPECT_EQ(view.refer, "-");

    MXStatPageView first;
    first.page = "home";
    EXPECT_FALSE(json(first).getDictionary()->contains("rf"));
}

TEST_F(EventJsonTest, SessionEnvironmentKeepsVersionsInsideEv) {
    platform::Reachability::setOverrideFlags(kWiFiFlags);
    MXStatSessionEnv event;
    const platform::Value object = json(event);
    for (const char* key : {"sv", "ch", "av"})
        EXPECT_FALSE(object.getDictionary()->contains(key)) << key;
    const platform::Value& ev = object["ev"];
    EXPECT_EQ(ev["sv"], platform::Value("1.4.6"));
    EXPECT_EQ(ev["ch"], platform::Value("appstore"));
    EXPECT_EQ(ev["av"], platform::Value("2.1"));
    EXPECT_EQ(ev["os"], platform::Value(2));
    EXPECT_EQ(ev["cn"], platform::Value("WIFI"));
    EXPECT_TRUE(platform::JSON::parse(ev["wf"].stringOr("")).ok());
    EXPECT_EQ(object["ut"], platform::Value(0));
    EXPECT_EQ(object["et"], platform::Value(2));
    // No configuration holder yet: both inner objects empty.
    EXPECT_EQ(object["cfg"], platform::Value(platform::Dictionary{{"1", platform::Dictionary{}}, {"2", platform::Dictionary{}}}));

    struct Holder : MXStatDataConfigHolderProtocol {
        void encode(platform::Dictionary& event) const override {
            event.set("cfg", platform::Dictionary{{"1", platform::Dictionary{{"v", 3}}}, {"2", platform::Dictionary{}}});
        }
        void updateOnlineConfig(const platform::Dictionary&) override {}
    };
    auto holder = std::make_shared<Holder>();
    MXStatHelper::getInstance().setConfigHolder(holder);
    EXPECT_EQ(json(event)["cfg"]["1"]["v"], platform::Value(3));
    MXStatHelper::getInstance().setConfigHolder({});
}

TEST_F(EventJsonTest, ErrorTextKeepsItsFirstHundredLines) {
    std::string text;
    for (int line = 1; line <= 150; ++line)
        text += (line > 1 ? "\n" : "") + std::string("line ") + std::to_string(line);
    MXStatErrorEvent error;
    error.error = text;
    error.attr = 1;
    error.availableMemory = "2048";
    MXStatConfig::getInstance().setAccount("acc");
    platform::Reachability::setOverrideFlags(kCellularFlags);
    const platform::Value object = json(error);
    const std::string sent = object["er"].stringOr("");
    EXPECT_EQ(std::count(sent.begin(), sent.end(), '\n'), 99);
    EXPECT_EQ(sent.substr(sent.rfind('\n') + 1), "line 100");
    EXPECT_EQ(object["ea"], platform::Value(1));
    EXPECT_EQ(object["ut"], platform::Value(0));
    auto kv = platform::JSON::parse(object["errkv"].stringOr(""));
    ASSERT_TRUE(kv.ok());
    EXPECT_EQ((*kv)["im"], platform::Value("acc")); // no im: the account
    EXPECT_EQ((*kv)["fram"], platform::Value(2048));
    EXPECT_EQ((*kv)["cn"], platform::Value("CellNetwork"));
    EXPECT_FALSE(kv->getDictionary()->contains("from"));

    MXStatErrorEvent few;
    few.error = "a\nb\n";
    EXPECT_EQ(json(few)["er"], platform::Value("a\nb\n"));
}

TEST_F(EventJsonTest, MonitorStatWithoutSamplingIsSentWithOne) {
    MXStatMonitorStatEvent event;
    event.stat = std::make_shared<MXStatAppMonitorStat>();
    EXPECT_FALSE(json(event).getDictionary()->contains("na")); // no interface: no keys
    event.stat->interface = "login";
    event.stat->consumedMilliseconds = 1234;
    event.stat->returnCode = -3;
    platform::Reachability::setOverrideFlags(kNoNetworkFlags);
    const platform::Value object = json(event);
    EXPECT_EQ(object["na"], platform::Value("login"));
    EXPECT_EQ(object["sp"], platform::Value(1));
    EXPECT_EQ(object["tm"], platform::Value(1234));
    EXPECT_EQ(object["rc"], platform::Value(-3));
    EXPECT_EQ(object["et"], platform::Value(1002));
    EXPECT_FALSE(object.getDictionary()->contains("cn")); // not reachable
    EXPECT_EQ(event.stat->sampling, 1u);
}

TEST_F(EventJsonTest, OwnKeysOfTheOtherTypes) {
    MXStatConfig& config = MXStatConfig::getInstance();
    MXStatCustomEvent custom;
    custom.eventID = "buy";
    custom.kvs = platform::Dictionary{{"n", 2}};
    platform::Value object = json(custom);
    EXPECT_EQ(object["ei"], platform::Value("buy"));
    EXPECT_EQ(object["kv"]["n"], platform::Value(2));
    EXPECT_FALSE(object.getDictionary()->contains("ar"));
    EXPECT_FALSE(object.getDictionary()->contains("du"));

    MXStatAdditionEvent addition;
    EXPECT_FALSE(json(addition).getDictionary()->contains("im"));
    config.setIm("1234");
    EXPECT_EQ(json(addition)["im"], platform::Value("1234"));
    EXPECT_EQ(addition.getType(), 1001);

    config.setAccount("me");
    config.setAccountType(3);
    MXStatAccountEvent account;
    object = json(account);
    EXPECT_EQ(object["acc"], platform::Value(platform::Dictionary{{"a", "me"}, {"t", 3}}));
    EXPECT_EQ(object["im"], platform::Value("me"));

    MXStatGameUserEvent game;
    game.uid = "g";
    game.level = "9";
    object = json(game);
    EXPECT_EQ(object["gid"], platform::Value("g"));
    EXPECT_EQ(object["lev"], platform::Value("9"));
    EXPECT_FALSE(object.getDictionary()->contains("wod"));

    MXStatTestSpeed result;
    result.dm = "a";
    result.pt = 80;
    result.st = -1;
    EXPECT_EQ(platform::JSON::parse(result.toJsonString()).value(),
              platform::Value(platform::Dictionary{{"dm", "a"}, {"pt", 80}, {"st", -1}}));
    EXPECT_EQ(result.description(), "MSTTestSpeed info is dm:a , pt:80 , rip:(null) , st:-1 , ts:(null) , tm:(null) ");
    MXStatTestSpeedEvent speed;
    speed.sp = "[" + result.toJsonString() + "]";
    speed.cn = "WIFI";
    object = json(speed);
    EXPECT_EQ(object["sp"], platform::Value(*speed.sp));
    EXPECT_EQ(object["cn"], platform::Value("WIFI"));
    EXPECT_EQ(object["et"], platform::Value(1004));
}

TEST_F(EventJsonTest, AwkwardTextsRoundTrip) {
    const std::string awkward = std::string("quote \" back \\ slash / tab \t nul ") + '\0' + " bell \x07 emoji \xF0\x9F\x98\x80 \xE2\x80\xA8";
    MXStatCustomEvent custom;
    custom.eventID = awkward;
    custom.args = platform::Array{awkward, 1};
    const platform::Value object = json(custom);
    EXPECT_EQ(object["ei"], platform::Value(awkward));
    EXPECT_EQ(object["ar"][0], platform::Value(awkward));
}

} // namespace
