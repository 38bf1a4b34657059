#include "PushTest.h"

#include "push/PULSEUtilities.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Bundle.h"
#include "platform/system/UserDefaults.h"

#include "support/RunLoopWait.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <mutex>
#include <random>
#include <thread>

using namespace push;

namespace {

class Utilities : public pushtest::PushTest {};

platform::Bytes bytesOf(std::string_view text) {
    return platform::Bytes(text.begin(), text.end());
}

platform::Bytes gunzip(const platform::Bytes& gz) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 31), Z_OK);
    stream.next_in = const_cast<Bytef*>(gz.data());
    stream.avail_in = static_cast<uInt>(gz.size());
    platform::Bytes out;
    std::uint8_t chunk[4096];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
    }
    EXPECT_EQ(status, Z_STREAM_END);
    EXPECT_EQ(stream.avail_in, 0u);
    inflateEnd(&stream);
    return out;
}

} // namespace

TEST_F(Utilities, SDKVersion) {
    EXPECT_EQ(PULSESDKVersion(), "2.1.0");
    EXPECT_EQ(PULSESDKVersionNumber(), 131328u);
    EXPECT_EQ(PULSEHexStringToInt("20100"), 131328u);
    EXPECT_EQ(PULSEHexStringToInt(""), 0u);
    EXPECT_EQ(PULSEHexStringToInt("FF"), 255u);
    // Nothing but the rule is checked: lower case reads 32 too high, and the value wraps at 32 bits.
    EXPECT_EQ(PULSEHexStringToInt("a"), 42u);
    EXPECT_EQ(PULSEHexStringToInt("100000000"), 0u);
}

TEST_F(Utilities, TimeZoneOffsetsInWholeHours) {
    EXPECT_EQ(PULSETimeZoneOffsetText(28800), "+8");
    EXPECT_EQ(PULSETimeZoneOffsetText(19800), "+5");
    EXPECT_EQ(PULSETimeZoneOffsetText(3600), "+1");
    EXPECT_EQ(PULSETimeZoneOffsetText(1800), "0");
    EXPECT_EQ(PULSETimeZoneOffsetText(0), "0");
    EXPECT_EQ(PULSETimeZoneOffsetText(-1800), "0");
    EXPECT_EQ(PULSETimeZoneOffsetText(-18000), "-5");
    EXPECT_EQ(PULSETimeZoneOffsetText(-12600), "-3");
}

TEST_F(Utilities, LocalTimeZoneAndDateStrings) {
    const char* oldTZ = std::getenv("TZ");
    const std::string saved = oldTZ ? oldTZ : "";
    setenv("TZ", "IST-5:30", 1);
    tzset();
    EXPECT_EQ(PULSETimeZoneOffset(), "+5");
    std::string date;
    std::string time;
    PULSEDateAndTimeStrings(0, date, time);
    EXPECT_EQ(date, "1970-01-01");
    EXPECT_EQ(time, "05:30:00");
    setenv("TZ", "XST3:30", 1); // 3.5 hours west
    tzset();
    EXPECT_EQ(PULSETimeZoneOffset(), "-3");
    if (oldTZ)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(Utilities, ClocksReadTheInstalledClockAndTheServerCorrection) {
    EXPECT_DOUBLE_EQ(PULSECurrentTime(), 1'700'000'000.0);
    m_clock.advance(1.5);
    EXPECT_DOUBLE_EQ(PULSECurrentTime(), 1'700'000'001.5);
    EXPECT_DOUBLE_EQ(PULSECorrectedTime(), 1'700'000'001.5);
    PULSEClientController::sharedClient().setServerTimeOffsetSource([] { return -30; });
    EXPECT_DOUBLE_EQ(PULSECorrectedTime(), 1'700'000'001.5 - 30);
}

TEST_F(Utilities, RandomDeviceIDs) {
    for (int i = 0; i < 50; ++i) {
        const std::string id = PULSERandomDeviceID();
        ASSERT_EQ(id.size(), 24u);
        EXPECT_EQ(id.substr(0, 6), "iPhone");
        for (std::size_t at = 6; at < 24; at += 2) {
            EXPECT_EQ(id[at], '0') << id; // characters 7, 9, ... 23 counting from 1
            EXPECT_NE(std::string("0123456789abcdef").find(id[at + 1]), std::string::npos) << id;
        }
    }
}

TEST_F(Utilities, SocketAddresses) {
    const auto loopback = PULSESocketAddress("loopback", 7000);
    ASSERT_TRUE(loopback);
    EXPECT_EQ(*loopback, (PULSESockAddr{0x10, 0x02, 0x1B, 0x58, 0x7F, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(PULSESocketAddress("localhost", 7000), loopback);
    // inet_addr rules, and only the low 16 bits of the port.
    EXPECT_EQ(PULSESocketAddress("10.1", 0x10050),
              (PULSESockAddr{0x10, 0x02, 0x00, 0x50, 0x0A, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(PULSESocketAddress("", 80), std::nullopt);
    EXPECT_EQ(PULSESocketAddress("push.example", 80), std::nullopt);
    EXPECT_EQ(PULSESocketAddress("Localhost", 80), std::nullopt);
    EXPECT_EQ(PULSESocketAddress("255.255.255.255", 80), std::nullopt);
    EXPECT_EQ(PULSESocketAddress(std::string_view("127.0.0.1\0junk", 14), 80), std::nullopt);
}

TEST_F(Utilities, DigestsAndBase64) {
    EXPECT_EQ(md5HexString(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5HexString("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5HexString(std::string_view("abc\0def", 7)), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(PULSEMD5Data(bytesOf(std::string_view("abc\0def", 7))), platform::Crypto::md5Hex(bytesOf(std::string_view("abc\0def", 7))));
    EXPECT_NE(PULSEMD5Data(bytesOf(std::string_view("abc\0def", 7))), md5HexString("abc"));
    EXPECT_EQ(PULSEBase64String(bytesOf("")), "");
    EXPECT_EQ(PULSEBase64String(bytesOf("f")), "Zg==");
    EXPECT_EQ(PULSEBase64String(bytesOf("foobar")), "Zm9vYmFy");
    EXPECT_EQ(PULSEBase64String(platform::Bytes{0xFB, 0xFF}), "+/8=");
}

TEST_F(Utilities, GzipInflatesBackWithZlib) {
    std::mt19937 random(7);
    platform::Bytes data(100 * 1000);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(random());
    const auto gz = gzipCompressData(data);
    ASSERT_TRUE(gz);
    // Random bytes do not shrink: the output grew past several 16 KiB steps.
    EXPECT_GT(gz->size(), data.size());
    EXPECT_EQ((*gz)[0], 0x1F);
    EXPECT_EQ((*gz)[1], 0x8B);
    EXPECT_EQ(gunzip(*gz), data);

    const platform::Bytes text = bytesOf(std::string(50000, 'x'));
    const auto small = gzipCompressData(text);
    ASSERT_TRUE(small);
    EXPECT_LT(small->size(), 1000u);
    EXPECT_EQ(gunzip(*small), text);

    EXPECT_EQ(gzipCompressData(platform::Bytes()), platform::Bytes());
}

TEST_F(Utilities, JSONObjectOfBytes) {
    auto object = PULSEJSONObject(bytesOf(R"({"a":[1,"x",null]})"));
    ASSERT_TRUE(object);
    EXPECT_EQ((*object)["a"][1], platform::Value("x"));
    EXPECT_TRUE(PULSEJSONObject(bytesOf("[]")));
    EXPECT_TRUE(logLines().empty());

    EXPECT_EQ(PULSEJSONObject(platform::Bytes()), std::nullopt);
    EXPECT_TRUE(logLines().empty());
    for (std::string_view bad : {"{", "12", "\"text\"", "null", "{\"a\":1} x", "\xff"})
        EXPECT_EQ(PULSEJSONObject(bytesOf(bad)), std::nullopt) << bad;
    EXPECT_EQ(logLines(), std::vector<std::string>(6, "trans data to obj with error:3840"));
    const auto messages = logMessages();
    EXPECT_EQ(messages[0].flag(), pushlog::PULSELogFlagError);
    EXPECT_EQ(messages[0].level(), 31u);
    EXPECT_EQ(messages[0].context(), 0);
    EXPECT_EQ(messages[0].fileName(), "PULSEUtilities");
    EXPECT_NE(messages[0].function().find("PULSEJSONObject"), std::string::npos);
    EXPECT_TRUE(messages[0].tag().isNull());
}

TEST_F(Utilities, JSONDataOfValues) {
    platform::Dictionary object{{"b", 1}, {"a", platform::Array{true, "x", nullptr, 2.5}}};
    auto data = PULSEJSONData(object);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), R"({"b":1,"a":[true,"x",null,2.5]})");
    EXPECT_TRUE(logLines().empty());

    EXPECT_EQ(PULSEJSONData(platform::Value("scalar")), std::nullopt);
    EXPECT_EQ(PULSEJSONData(platform::Value()), std::nullopt);
    EXPECT_EQ(PULSEJSONData(platform::Array{platform::Bytes{1}}), std::nullopt);
    EXPECT_EQ(PULSEJSONData(platform::Dictionary{{"d", platform::Date{1}}}), std::nullopt);
    EXPECT_EQ(PULSEJSONData(platform::Array{std::numeric_limits<double>::infinity()}), std::nullopt);
    EXPECT_EQ(logLines(), std::vector<std::string>(5, "serialization unknown type"));
}

TEST_F(Utilities, MissingFactsGiveFixedTexts) {
    EXPECT_EQ(PULSECarrierName(), "-1");
    EXPECT_EQ(PULSEMobileNetworkCode(), "-1");
    EXPECT_EQ(PULSEMobileCountryCode(), "-1");
    EXPECT_EQ(PULSEWiFiSSID(), "Not Found");
    EXPECT_EQ(PULSEWiFiBSSID(), "Not Found");
    EXPECT_EQ(PULSELanguage(), "-1");
    EXPECT_EQ(PULSEAppVersion(), "");
    platform::Device::current().setSystemVersion("");
    EXPECT_EQ(PULSESystemVersion(), "-1");

    // A carrier without codes, a network without a BSSID.
    platform::NetworkInfo::current().setCarrier(platform::NetworkInfo::Carrier{"中国联通", std::nullopt, std::nullopt});
    platform::NetworkInfo::current().setCurrentWiFiNetwork(platform::NetworkInfo::WiFiNetwork{"home", std::nullopt});
    EXPECT_EQ(PULSECarrierName(), "中国联通");
    EXPECT_EQ(PULSEMobileCountryCode(), "-1");
    EXPECT_EQ(PULSEWiFiSSID(), "home");
    EXPECT_EQ(PULSEWiFiBSSID(), "Not Found");
}

TEST_F(Utilities, FactsTheTestSets) {
    platform::NetworkInfo::current().setCarrier(platform::NetworkInfo::Carrier{"Carrier", "460", "01"});
    platform::NetworkInfo::current().setCurrentWiFiNetwork(
        platform::NetworkInfo::WiFiNetwork{"office", "aa:bb:cc:dd:ee:ff"});
    EXPECT_EQ(PULSECarrierName(), "Carrier");
    EXPECT_EQ(PULSEMobileCountryCode(), "460");
    EXPECT_EQ(PULSEMobileNetworkCode(), "01");
    EXPECT_EQ(PULSEWiFiSSID(), "office");
    EXPECT_EQ(PULSEWiFiBSSID(), "aa:bb:cc:dd:ee:ff");

    ASSERT_TRUE(platform::UserDefaults::standard().set("AppleLanguages", platform::Array{"zh-Hans", "en"}));
    EXPECT_EQ(PULSELanguage(), "zh-Hans");
    ASSERT_TRUE(platform::UserDefaults::standard().set("AppleLanguages", platform::Array{}));
    EXPECT_EQ(PULSELanguage(), "-1");

    platform::Device::current().setMachine(std::string(200, 'm'));
    EXPECT_EQ(PULSEDeviceModel(), std::string(127, 'm'));
    platform::Device::current().setSystemVersion("8.4");
    EXPECT_EQ(PULSESystemVersion(), "8.4");
}

TEST_F(Utilities, ScreenClasses) {
    auto& screen = platform::Screen::main();
    screen.setBounds({0, 0, 320, 480});
    screen.setScale(1);
    EXPECT_EQ(PULSEScreenResolution(), "320x480");
    screen.setScale(2);
    EXPECT_EQ(PULSEScreenResolution(), "640x960");
    screen.setBounds({0, 0, 320, 568});
    EXPECT_EQ(PULSEScreenResolution(), "640x1136");
    platform::Device::current().setUserInterfaceIdiom(platform::UserInterfaceIdiom::Pad);
    EXPECT_EQ(PULSEScreenResolution(), "2048x1536");
}

TEST_F(Utilities, NetworkTypeAndCarrierCodes) {
    EXPECT_EQ(PULSECarrierCode("中国移动"), 1);
    EXPECT_EQ(PULSECarrierCode("中国联通"), 2);
    EXPECT_EQ(PULSECarrierCode("中国电信"), 3);
    EXPECT_EQ(PULSECarrierCode("中国电信 "), 0);
    EXPECT_EQ(PULSECarrierCode("-1"), 0);

    auto& client = PULSEClientController::sharedClient();
    client.setNetworkStatusSource([] { return 2; });
    EXPECT_EQ(PULSENetworkType("中国移动"), 4);
    client.setNetworkStatusSource([] { return 3; });
    EXPECT_EQ(PULSENetworkType("中国电信"), 3);
    EXPECT_EQ(PULSENetworkType("other"), 0);
    client.setNetworkStatusSource([] { return 0; });
    EXPECT_EQ(PULSENetworkType("中国移动"), 0);

    EXPECT_EQ(PULSENetworkStatusName(-1), "NetworkUnknown");
    EXPECT_EQ(PULSENetworkStatusName(0), "NotReachable");
    EXPECT_EQ(PULSENetworkStatusName(2), "ReachableViaWiFi");
    EXPECT_EQ(PULSENetworkStatusName(3), "ReachableViaWWAN");
    EXPECT_EQ(PULSENetworkStatusName(1), "");
}

TEST_F(Utilities, DeviceInfoDictionary) {
    m_home.writeBundleFile("Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleShortVersionString</key><string>3.2</string></dict></plist>)");
    PULSEClientController::sharedClient().setServerTimeOffsetSource([] { return 10; });
    const platform::Dictionary info = PULSEDeviceInfo();
    EXPECT_EQ(info.keys(), (std::vector<std::string>{"itime", "type", "os_version", "sdk_version", "timezone",
                                                     "app_versioncode", "app_versionname", "language",
                                                     "resolution", "Channel", "model"}));
    EXPECT_EQ(info["itime"], platform::Value(1'700'000'010));
    EXPECT_EQ(info["type"], platform::Value("device_info"));
    EXPECT_EQ(info["os_version"], platform::Value("9.0"));
    EXPECT_EQ(info["sdk_version"], platform::Value("2.1.0"));
    EXPECT_EQ(info["app_versioncode"], platform::Value("3.2"));
    EXPECT_EQ(info["app_versionname"], platform::Value("3.2"));
    EXPECT_EQ(info["language"], platform::Value("-1"));
    EXPECT_EQ(info["resolution"], platform::Value("640x1136"));
    EXPECT_EQ(info["Channel"], platform::Value(""));
    EXPECT_EQ(info["model"], platform::Value(platform::Device::current().machine()));
}

TEST_F(Utilities, NotificationsArePostedLaterOnTheMainQueue) {
    std::vector<std::string> seen;
    int observer = 0;
    platform::NotificationCenter::defaultCenter().addObserver(&observer, "", nullptr, [&](const platform::Notification& n) {
        if (n.name.rfind("kPULSETest", 0) == 0)
            seen.push_back(n.name + ":" + n.userInfo["k"].stringOr("-"));
    });
    PULSEPostNotificationWithUserInfo("kPULSETestOne", platform::Dictionary{{"k", "v"}});
    PULSEPostNotification("kPULSETestTwo");
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(hybtest::runMainUntil([&] { return seen.size() == 2; }));
    platform::NotificationCenter::defaultCenter().removeObserver(&observer);
    EXPECT_EQ(seen, (std::vector<std::string>{"kPULSETestOne:v", "kPULSETestTwo:-"}));
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("PULSEPostNotificationWithUserInfo kPULSETestOne ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "PULSEPostNotificationWithUserInfo kPULSETestTwo (null)");
    EXPECT_EQ(logMessages()[0].flag(), pushlog::PULSELogFlagDebug);
}

// The client's road to the main queue: blocks run in the order handed over, from whatever threads; a
// batch on a thread holds its blocks until it ends, then they run together.
TEST_F(Utilities, BlocksForTheMainQueueKeepTheirOrderAndABatchHandsThemOverAtItsEnd) {
    std::vector<std::string> ran;
    std::mutex ranMutex;
    const auto record = [&](std::string what) {
        return [&ran, &ranMutex, what] {
            std::lock_guard lock(ranMutex);
            ran.push_back(what);
        };
    };
    {
        const PULSEMainQueueBatch outer;
        PULSEPerformOnMainQueue(record("a1"));
        {
            const PULSEMainQueueBatch inner;
            PULSEPerformOnMainQueue(record("a2"));
        }
        // Another thread's block goes on its way while this thread's batch still holds its own.
        std::thread other([&] { PULSEPerformOnMainQueue(record("b1")); });
        other.join();
        ASSERT_TRUE(hybtest::runMainUntil([&] {
            std::lock_guard lock(ranMutex);
            return ran.size() == 1;
        }));
        PULSEPerformOnMainQueue(record("a3"));
        std::lock_guard lock(ranMutex);
        EXPECT_EQ(ran, std::vector<std::string>{"b1"});
    }
    PULSEPerformOnMainQueue(record("a4"));
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        std::lock_guard lock(ranMutex);
        return ran.size() == 5;
    }));
    EXPECT_EQ(ran, (std::vector<std::string>{"b1", "a1", "a2", "a3", "a4"}));

    // A thousand notifications of one batch arrive in order, each with its own information.
    std::vector<std::int64_t> seen;
    int observer = 0;
    platform::NotificationCenter::defaultCenter().addObserver(&observer, "kPULSETestBurst", nullptr, [&](const platform::Notification& n) {
        seen.push_back(n.userInfo["n"].integerValue());
    });
    {
        const PULSEMainQueueBatch batch;
        for (int n = 0; n < 1000; ++n)
            PULSEPostNotificationWithUserInfo("kPULSETestBurst", platform::Dictionary{{"n", n}});
    }
    ASSERT_TRUE(hybtest::runMainUntil([&] { return seen.size() == 1000; }));
    platform::NotificationCenter::defaultCenter().removeObserver(&observer);
    for (int n = 0; n < 1000; ++n)
        ASSERT_EQ(seen[static_cast<std::size_t>(n)], n);
}

TEST(Endpoints, SharedEndpointsAreReplaceable) {
    const PULSEEndpoints builtIn = PULSEEndpoints::builtIn();
    EXPECT_EQ(PULSEEndpoints::shared(), builtIn);
    EXPECT_EQ(builtIn.lookupPorts[0], 19000);
    EXPECT_EQ(builtIn.lookupPorts[1], 80);
    EXPECT_EQ(builtIn.connectHost.port, 7000);
    EXPECT_EQ(builtIn.defaultConnectAddress.port, 7000);
    EXPECT_EQ(builtIn.defaultReportAddress.port, 9001);
    EXPECT_TRUE(builtIn.statisticsURL.ends_with("/v2/report"));
    EXPECT_TRUE(builtIn.userURL.ends_with("/v1/user/"));
    PULSEEndpoints local = builtIn;
    local.lookupHosts = {"lookup0.test", "lookup1.test", "lookup2.test"};
    local.connectHost = {"connect.test", 40000};
    PULSEEndpoints::setShared(local);
    EXPECT_EQ(PULSEEndpoints::shared(), local);
    PULSEEndpoints::resetShared();
    EXPECT_EQ(PULSEEndpoints::shared(), builtIn);
}
