// Registering the app id: the registry pasteboard the messaging app reads, the icon choice, the
// statistics bridge and its background event, and the two archivable registry records.
#include "MessengerFixture.h"

#include "messenger/AppRegisterInfo.h"
#include "messenger/MMApiRegister.h"
#include "messenger/StatMX.h"
#include "platform/formats/PropertyList.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/system/Bundle.h"
#include "platform/ui/Screen.h"
#include "stats/MXStatConfig.h"
#include "support/HostilePropertyLists.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace messenger;
using platform::Dictionary;
using platform::Value;

namespace {

class RegisterTest : public messengertest::MessengerTest {
protected:
    RegisterTest() {
        m_clock.install();
        writeInfo({{"CFBundleIdentifier", "org.example.shop"}, {"CFBundleName", "Shop"}, {"CFBundleDisplayName", "Shop Display"}});
        stats::MXStat::setEventSinkForTesting([this](std::shared_ptr<stats::MXStatEvent> event) { m_events.push_back(std::move(event)); });
    }
    ~RegisterTest() override { platform::Screen::main().resetToDefaults(); }

    void writeInfo(const Dictionary& keys) {
        auto text = platform::PropertyList::write(Value(keys), platform::PropertyList::Format::XML);
        ASSERT_TRUE(text.ok());
        m_home.writeBundleFile("Info.plist", *text);
    }
    static std::string bundle() { return platform::Bundle::main().bundlePath(); }
    // The registry as the messaging app reads it.
    static Value registry() {
        auto board = platform::Pasteboard::withName("messenger_register", false);
        if (!board)
            return Value();
        auto data = board->dataForPasteboardType("content");
        if (!data)
            return Value();
        platform::PropertyList::Format format{};
        auto plist = platform::PropertyList::read(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()), &format);
        EXPECT_EQ(format, platform::PropertyList::Format::Binary);
        return plist.ok() ? *plist : Value();
    }
    static void writeRegistry(const platform::Bytes& bytes) {
        ASSERT_TRUE(platform::Pasteboard::withName("messenger_register", true)->setData(bytes, "content"));
    }
    static platform::Bytes binary(const Value& value) {
        auto text = platform::PropertyList::write(value, platform::PropertyList::Format::Binary);
        return platform::Bytes(text->begin(), text->end());
    }
    static std::string iconName() {
        auto path = MMApiRegister::getIconString();
        return path ? path->substr(bundle().size() + 1) : "(none)";
    }
    void useScale(double scale) {
        platform::Screen::main().setScale(scale);
        MMApiRegister::resetForTesting();
    }
    std::size_t backgroundEvents() const {
        std::size_t count = 0;
        for (const auto& event : m_events)
            if (auto custom = std::dynamic_pointer_cast<stats::MXStatCustomEvent>(event))
                count += custom->eventID == std::optional<std::string>("onBackground_MX");
        return count;
    }

    platform::VirtualClock m_clock{platform::Date{1'700'000'000.0}};
    std::vector<std::shared_ptr<stats::MXStatEvent>> m_events;
};

TEST_F(RegisterTest, TheEntryNamesTheApplicationAndASecondRegistrationKeepsTheFirstLaunchTime) {
    EXPECT_FALSE(MXApi::registerApp(std::nullopt));
    EXPECT_FALSE(platform::Pasteboard::withName("messenger_register", false));

    ASSERT_TRUE(MXApi::registerApp(std::string("mxabc")));
    auto board = platform::Pasteboard::withName("messenger_register", false);
    ASSERT_TRUE(board);
    EXPECT_TRUE(board->isPersistent());
    Value entry = registry()["mxabc"];
    EXPECT_EQ(entry["appID"].stringOr(""), "mxabc");
    EXPECT_EQ(entry["appIdentifier"].stringOr(""), "org.example.shop");
    EXPECT_EQ(entry["appName"].stringOr(""), "Shop Display");
    EXPECT_EQ(entry["firstLaunchTime"].stringOr(""), "1700000000");
    EXPECT_EQ(entry["laststLaunchTime"].stringOr(""), "1700000000");
    EXPECT_FALSE(entry.getDictionary()->contains("appDescriptionSDK"));
    EXPECT_FALSE(entry.getDictionary()->contains("appIcon")) << "no icon file in the bundle";

    m_clock.advance(250);
    ASSERT_TRUE(MXApi::registerApp(std::string("mxabc"), "A shop"));
    entry = registry()["mxabc"];
    EXPECT_EQ(entry["firstLaunchTime"].stringOr(""), "1700000000");
    EXPECT_EQ(entry["laststLaunchTime"].stringOr(""), "1700000250");
    EXPECT_EQ(entry["appDescriptionSDK"].stringOr(""), "A shop");
}

TEST_F(RegisterTest, TimesPastTheYear2106WrapAsUnsigned32BitText) {
    platform::VirtualClock late{platform::Date{4294967296.0 + 5}};
    late.install();
    ASSERT_TRUE(MMApiRegister::registerApp(std::string("mx1")));
    EXPECT_EQ(registry()["mx1"]["laststLaunchTime"].stringOr(""), "5");
    m_clock.install();
}

TEST_F(RegisterTest, DescriptionsOf1To1024CharactersAreStored) {
    auto described = [](const std::string& description) {
        EXPECT_TRUE(MMApiRegister::registerApp(std::string("mxd"), description));
        return registry()["mxd"]["appDescriptionSDK"].stringOr("(absent)");
    };
    std::string exact;
    for (int i = 0; i < 1024; ++i)
        exact += "é"; // 1024 characters, 2048 bytes
    EXPECT_EQ(described(exact), exact);
    EXPECT_EQ(described(exact + "x"), "(absent)") << "1025 characters";
    EXPECT_EQ(described(""), "(absent)");
    EXPECT_EQ(described("x"), "x");
    EXPECT_TRUE(MMApiRegister::registerApp(std::string("mxd"), std::nullopt));
    EXPECT_EQ(registry()["mxd"]["appDescriptionSDK"].stringOr("(absent)"), "(absent)") << "each entry is built anew";
}

TEST_F(RegisterTest, TheIconFitsTheScreenOrIsTheLastOfTheList) {
    writeInfo({{"CFBundleIconFiles", platform::Array{"a@2x.png", "b@2x.png"}}});
    for (double scale : {1.0, 3.0}) {
        useScale(scale);
        EXPECT_EQ(iconName(), "b@2x.png") << "scale " << scale;
    }
    useScale(2.0);
    EXPECT_EQ(iconName(), "a@2x.png");

    writeInfo({{"CFBundleIconFiles", platform::Array{"i@2x.png", 7, "i.png", "j.png"}}});
    EXPECT_EQ(iconName(), "i@2x.png");
    useScale(1.0);
    EXPECT_EQ(iconName(), "i.png") << "non-names are passed over";
    useScale(2.0);
    EXPECT_EQ(iconName(), "i@2x.png");
    platform::Screen::main().setScale(1.0);
    EXPECT_EQ(iconName(), "i@2x.png") << "the screen is asked once per process";

    writeInfo({{"CFBundleIconFiles", platform::Array{}}, {"CFBundleIconFile", "single.png"}});
    EXPECT_EQ(iconName(), "Icon@2x.png") << "an empty list goes to the default";
    writeInfo({{"CFBundleIconFiles", "not a list"}, {"CFBundleIconFile", "single.png"}});
    EXPECT_EQ(iconName(), "single.png");
    writeInfo({{"CFBundleIconFiles", platform::Array{1, 2}}});
    EXPECT_EQ(iconName(), "Icon@2x.png");
    useScale(1.0);
    writeInfo({{"CFBundleName", "Shop"}});
    EXPECT_EQ(iconName(), "Icon.png");
    m_home.writeBundleFile("Info.plist", "");
    EXPECT_EQ(iconName(), "(none)") << "no Info.plist";
}

TEST_F(RegisterTest, TheIconBytesComeFromTheChosenFileElseIconPng) {
    useScale(1.0);
    writeInfo({{"CFBundleIconFile", "shop.png"}, {"CFBundleName", "Shop"}});
    m_home.writeBundleFile("shop.png", "SHOP-ICON");
    m_home.writeBundleFile("Icon.png", "DEFAULT-ICON");
    ASSERT_TRUE(MMApiRegister::registerApp(std::string("mxi")));
    EXPECT_EQ(registry()["mxi"]["appIcon"], Value(platform::Bytes{'S', 'H', 'O', 'P', '-', 'I', 'C', 'O', 'N'}));

    writeInfo({{"CFBundleIconFile", "missing.png"}, {"CFBundleName", "Shop"}});
    ASSERT_TRUE(MMApiRegister::registerApp(std::string("mxi")));
    const Value entry = registry()["mxi"];
    const platform::Bytes* icon = entry["appIcon"].getBytes();
    ASSERT_TRUE(icon);
    EXPECT_EQ(std::string(icon->begin(), icon->end()), "DEFAULT-ICON");

    writeInfo({{"CFBundleIconFile", "."}, {"CFBundleName", "Shop"}}); // a folder, not a file
    std::remove((bundle() + "/Icon.png").c_str());
    ASSERT_TRUE(MMApiRegister::registerApp(std::string("mxi")));
    EXPECT_FALSE(registry()["mxi"].getDictionary()->contains("appIcon"));
}

TEST_F(RegisterTest, AnEmptyDisplayNameFallsBackToTheBundleName) {
    writeInfo({{"CFBundleDisplayName", ""}, {"CFBundleName", "Plain Shop"}});
    ASSERT_TRUE(MMApiRegister::registerApp(std::string("mxn")));
    EXPECT_EQ(registry()["mxn"]["appName"].stringOr(""), "Plain Shop");
    writeInfo({{"CFBundleDisplayName", 12}});
    ASSERT_TRUE(MMApiRegister::registerApp(std::string("mxn")));
    EXPECT_FALSE(registry()["mxn"].getDictionary()->contains("appName"));
    EXPECT_FALSE(registry()["mxn"].getDictionary()->contains("appIdentifier"));
}

TEST_F(RegisterTest, OtherApplicationsEntriesAreKeptAndABrokenRegistryIsLeftAlone) {
    Dictionary others{{"other", Dictionary{{"appID", "other"}, {"firstLaunchTime", "1"}}},
                      {"odd", platform::Array{1, "two"}},
                      {"text", "just text"},
                      {"dates", platform::Array{platform::Date{978307200.0 + 3e9}, platform::Date{-1.5e9}, platform::Date{1e13}}},
                      {"unsigned", Value::unsignedInteger(18446744073709551615u)},
                      {"nul", std::string("a\0b", 3)},
                      {"mxk", Dictionary{{"firstLaunchTime", 1234}, {"appName", "stale"}}}};
    writeRegistry(binary(Value(others)));
    ASSERT_TRUE(MMApiRegister::registerApp(std::string("mxk")));
    Value read = registry();
    for (const char* key : {"other", "odd", "text", "dates", "unsigned", "nul"})
        EXPECT_EQ(read[key], others[key]) << key;
    EXPECT_EQ(read["mxk"]["firstLaunchTime"].stringOr(""), "1700000000") << "an old time that is not text";
    EXPECT_EQ(read["mxk"]["appName"].stringOr(""), "Shop Display");
    // Written by another writer in XML: read and kept as it holds them.
    const std::string xml = "<plist><dict><key>other</key><dict><key>n</key><integer>18446744073709551615</integer>"
                            "<key>when</key><date>2100-01-01T00:00:00Z</date><key>then</key><date>1900-01-01T00:00:00Z</date>"
                            "</dict></dict></plist>";
    writeRegistry(platform::Bytes(xml.begin(), xml.end()));
    ASSERT_TRUE(MMApiRegister::registerApp(std::string("mxk")));
    EXPECT_EQ(registry()["other"]["n"], Value::unsignedInteger(18446744073709551615u));
    EXPECT_EQ(registry()["other"]["when"], Value(platform::Date{4102444800.0}));
    EXPECT_EQ(registry()["other"]["then"], Value(platform::Date{-2208988800.0}));

    // What cannot be read as a registry is kept as it is, and said once in the log.
    const std::string pastTheRanges = "<plist><dict><key>other</key><integer>18446744073709551616</integer></dict></plist>";
    const std::string nulKey = "62706c6973743030d1010262006100005178080b100000000000000101000000000000000300000000000000"
                               "0000000000000000000012"; // {"a\u0000": "x"}
    platform::Bytes nulKeyBytes;
    for (std::size_t i = 0; i < nulKey.size(); i += 2)
        nulKeyBytes.push_back(static_cast<std::uint8_t>(std::stoi(nulKey.substr(i, 2), nullptr, 16)));
    for (const platform::Bytes& broken : {platform::Bytes{'n', 'o', 't', ' ', 'a', ' ', 'p', 'l', 'i', 's', 't'},
                                          binary(Value(platform::Array{"a", "list"})),
                                          platform::Bytes(pastTheRanges.begin(), pastTheRanges.end()), nulKeyBytes}) {
        writeRegistry(broken);
        hybtest::LogCapture log;
        for (int launch = 0; launch < 3; ++launch)
            EXPECT_FALSE(MMApiRegister::registerApp(std::string("mxk")));
        EXPECT_EQ(platform::Pasteboard::withName("messenger_register", false)->dataForPasteboardType("content"), broken);
        std::size_t said = 0;
        for (const std::string& line : log.lines())
            said += line.find("The messaging app's registry") != std::string::npos;
        EXPECT_EQ(said, 1u);
    }
    // An empty item holds nothing to lose: the registry starts afresh.
    writeRegistry(platform::Bytes{});
    ASSERT_TRUE(MMApiRegister::registerApp(std::string("mxk")));
    read = registry();
    ASSERT_TRUE(read.isDictionary());
    EXPECT_EQ(read.getDictionary()->size(), 1u);
    EXPECT_EQ(read["mxk"]["appID"].stringOr(""), "mxk");
}

TEST_F(RegisterTest, DamagedRegistriesOfEveryShapeTakeTheApplicationsEntryOrAreLeftAlone) {
    Dictionary others{{"other", Dictionary{{"appID", "other"}, {"appIcon", platform::Bytes{1, 2, 3}}}},
                      {"mxr", Dictionary{{"firstLaunchTime", "1500000000"}}},
                      {"list", platform::Array{1, "two", Dictionary{{"k", true}}}}};
    const platform::Bytes seed = binary(Value(others));
    std::uint32_t state = 12345;
    for (int round = 0; round < 200; ++round) {
        platform::Bytes damaged = seed;
        for (int flips = 0; flips < 1 + round % 4; ++flips) {
            state = state * 1103515245u + 12345u;
            damaged[(state >> 8) % damaged.size()] ^= static_cast<std::uint8_t>(1u << ((state >> 4) % 8));
        }
        if (round % 7 == 0)
            damaged.resize((state >> 3) % damaged.size());
        writeRegistry(damaged);
        if (!MMApiRegister::enterInRegistry("mxr", std::string("d"))) {
            // Not read: left as it was.
            ASSERT_EQ(platform::Pasteboard::withName("messenger_register", false)->dataForPasteboardType("content"), damaged)
                << "round " << round;
            continue;
        }
        Value read = registry();
        ASSERT_EQ(read["mxr"]["appID"].stringOr(""), "mxr") << "round " << round;
    }
}

TEST_F(RegisterTest, ARegistryTooLargeToReadIsLeftAlone) {
    writeRegistry(platform::Bytes(MMApiRegister::kMaxRegistryBytes + 1, 'x'));
    auto board = platform::Pasteboard::withName("messenger_register", false);
    const long long changes = board->changeCount();
    {
        // Judged before it is made persistent or written again, and said once however often the
        // application starts.
        hybtest::LogCapture log;
        for (int launch = 0; launch < 3; ++launch)
            EXPECT_FALSE(MMApiRegister::registerApp(std::string("mxl")));
        std::size_t said = 0;
        for (const std::string& line : log.lines())
            said += line.find("The messaging app's registry is larger than the 16777216 bytes") != std::string::npos;
        EXPECT_EQ(said, 1u) << ::testing::PrintToString(log.lines());
    }
    EXPECT_EQ(board->changeCount(), changes) << "not rewritten";
    EXPECT_FALSE(board->isPersistent());
    auto data = board->dataForPasteboardType("content");
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), MMApiRegister::kMaxRegistryBytes + 1) << "nothing lost";
    EXPECT_EQ(stats::MXStatConfig::getInstance().appkey(), std::optional<std::string>("IMXOPmxl")) << "statistics start anyway";
}

// Registries as wide as a property list is read with: one read whole takes the application's entry when
// the rewrite reads back too, and is otherwise left as it is. Keys count towards that bound in XML as in
// binary, so an XML registry whose binary rewrite could not be read is not read either.
TEST_F(RegisterTest, AWideRegistryIsEnteredWhenItsRewriteReadsBackElseLeftAlone) {
    const auto keys = [](std::size_t count) {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < count; ++i)
            names.push_back("a" + std::to_string(i));
        return names;
    };
    const auto bytesOf = [](const std::string& text) { return platform::Bytes(text.begin(), text.end()); };
    writeRegistry(bytesOf(hybtest::binaryDictionaryOf(keys(131000))));
    ASSERT_TRUE(MMApiRegister::enterInRegistry("mxw", std::nullopt));
    Value read = registry();
    ASSERT_TRUE(read.isDictionary());
    EXPECT_EQ(read.getDictionary()->size(), 131001u);
    EXPECT_EQ(read["mxw"]["appID"].stringOr(""), "mxw");
    EXPECT_EQ(read["a130999"], Value(true));
    // 131,071 keys read (the dictionary, its keys and their values are 262,143 nodes), but with the
    // entry the rewrite would not: left alone. An XML registry of 131,100 keys is not read at all.
    for (const platform::Bytes& wide : {bytesOf(hybtest::binaryDictionaryOf(keys(131071))), bytesOf(hybtest::xmlDictionaryOf(keys(131100)))}) {
        writeRegistry(wide);
        hybtest::LogCapture log;
        EXPECT_FALSE(MMApiRegister::enterInRegistry("mxw", std::nullopt)) << wide.size();
        EXPECT_EQ(platform::Pasteboard::withName("messenger_register", false)->dataForPasteboardType("content"), wide);
        EXPECT_TRUE(log.contains("The messaging app's registry")) << ::testing::PrintToString(log.lines());
    }
}

// Another writer's registry holding an empty string stored as UTF-16 (marker 0x60, no unit) is read:
// the application is entered and that entry kept.
TEST_F(RegisterTest, ARegistryHoldingAnEmptyUTF16StringTakesTheApplicationsEntry) {
    const auto text = [](const std::string& ascii) { return hybtest::leafObject(0x50, ascii); };
    const auto dictionary = [](const std::vector<std::uint32_t>& keys, const std::vector<std::uint32_t>& values) {
        std::string object = hybtest::containerMarker(0xD0, keys.size());
        for (const auto& refs : {keys, values})
            for (std::uint32_t ref : refs)
                hybtest::appendBigEndian(object, ref, 4);
        return object;
    };
    const std::string list = hybtest::binaryList(
        {dictionary({1}, {2}), text("other"), dictionary({3, 4}, {5, 6}), text("appName"), text("appID"), "\x60", text("other")});
    writeRegistry(platform::Bytes(list.begin(), list.end()));
    ASSERT_TRUE(MMApiRegister::registerApp(std::string("mxe")));
    Value read = registry();
    EXPECT_EQ(read["other"], Value(Dictionary{{"appName", ""}, {"appID", "other"}}));
    EXPECT_EQ(read["mxe"]["appID"].stringOr(""), "mxe");
}

TEST_F(RegisterTest, TheStatisticsKeyIsTheAppIdAfterIMXOP) {
    hybtest::LogCapture log;
    EXPECT_EQ(StatMX::ConvertMXappkey(std::string("mx0")), std::optional<std::string>("IMXOPmx0"));
    EXPECT_EQ(StatMX::ConvertMXappkey(std::nullopt), std::nullopt);
    EXPECT_TRUE(log.contains("[WARN]appkey is nil"));
    ASSERT_TRUE(MXApi::registerApp(std::string("mx0")));
    EXPECT_EQ(StatMX::getInstance().appkey(), std::optional<std::string>("IMXOPmx0"));
    EXPECT_EQ(stats::MXStatConfig::getInstance().appkey(), std::optional<std::string>("IMXOPmx0"));
}

TEST_F(RegisterTest, EachMoveToTheBackgroundIsOneRealTimeEventHoweverOftenTheAppRegistered) {
    ASSERT_TRUE(MXApi::registerApp(std::string("mxabc")));
    ASSERT_TRUE(MXApi::registerApp(std::string("mxabc")));
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidEnterBackgroundNotification);
    EXPECT_EQ(backgroundEvents(), 1u);
    auto custom = std::dynamic_pointer_cast<stats::MXStatCustomEvent>(m_events.back());
    ASSERT_TRUE(custom);
    EXPECT_EQ(custom->appkey, std::optional<std::string>("IMXOPmxabc"));
    EXPECT_TRUE(custom->isRealTime);
    EXPECT_FALSE(custom->kvs);
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidEnterBackgroundNotification);
    EXPECT_EQ(backgroundEvents(), 2u);
}

TEST_F(RegisterTest, RegistryRecordsArchiveEveryFieldUnderItsKey) {
    AppRegisterInfo::registerArchiveClass();
    AppSettingItem::registerArchiveClass();
    AppRegisterInfo fresh;
    EXPECT_EQ(fresh.description(), "{ name:(null) appid:(null)}");
    EXPECT_FALSE(fresh.appID);
    EXPECT_EQ(fresh.appInfoVer, 0u);

    auto info = std::make_shared<AppRegisterInfo>();
    info->appAddedByUser = true;
    info->appID = "mxabc";
    info->appName = "Shop";
    info->appDescription = "desc";
    info->needUpdateWatermark = true;
    info->appInfoVer = 0xFFFFFFFFFFull;
    info->lastUpdateIconTime = 4000000000u;
    info->appInfoFlag = 0xFFFFFFFFu;
    info->nextUpdateInfoTime = 3000000000u;
    info->appDownloadUrlMD5 = "md5";
    info->rankWeight = 9;
    EXPECT_EQ(info->description(), "{ name:Shop appid:mxabc}");

    platform::KeyedArchiver coder;
    info->encodeWithCoder(coder);
    EXPECT_EQ(coder.fields()["added"], platform::ArchiveValue(true));
    EXPECT_EQ(coder.fields()["description"], platform::ArchiveValue("desc"));
    EXPECT_EQ(coder.fields()["needUpdateWaterMark"], platform::ArchiveValue(true));
    EXPECT_EQ(coder.fields()["appinfoflag"], platform::ArchiveValue(-1)) << "a 32-bit integer";
    EXPECT_EQ(coder.fields()["lastUpdateIconTime"], platform::ArchiveValue(4000000000u));
    EXPECT_FALSE(coder.fields().contains("rankWeight"));

    auto bytes = platform::KeyedArchiver::archivedData(platform::ArchiveValue(std::static_pointer_cast<platform::KeyedArchivable>(info)));
    ASSERT_TRUE(bytes.ok());
    auto back = platform::KeyedUnarchiver::unarchive(*bytes);
    ASSERT_TRUE(back.ok());
    auto read = back->objectOfClass<AppRegisterInfo>();
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->appAddedByUser);
    EXPECT_EQ(read->appID, info->appID);
    EXPECT_EQ(read->appDescription, info->appDescription);
    EXPECT_TRUE(read->needUpdateWatermark);
    EXPECT_EQ(read->appInfoVer, info->appInfoVer);
    EXPECT_EQ(read->lastUpdateIconTime, 4000000000u);
    EXPECT_EQ(read->appInfoFlag, 0xFFFFFFFFu);
    EXPECT_EQ(read->nextUpdateInfoTime, 3000000000u);
    EXPECT_EQ(read->appDownloadUrlMD5, info->appDownloadUrlMD5);
    EXPECT_FALSE(read->appName4ZhTw);
    EXPECT_EQ(read->rankWeight, 0u);

    auto item = std::make_shared<AppSettingItem>();
    item->appID = "mxabc";
    item->openID = "open-1";
    item->flag = 0x80000001u;
    item->appAddedByUser = true;
    auto itemBytes = platform::KeyedArchiver::archivedData(platform::ArchiveValue(std::static_pointer_cast<platform::KeyedArchivable>(item)));
    ASSERT_TRUE(itemBytes.ok());
    auto itemBack = platform::KeyedUnarchiver::unarchive(*itemBytes)->objectOfClass<AppSettingItem>();
    ASSERT_TRUE(itemBack);
    EXPECT_EQ(itemBack->openID, item->openID);
    EXPECT_EQ(itemBack->flag, 0x80000001u);
    EXPECT_TRUE(itemBack->appAddedByUser);
}

} // namespace
