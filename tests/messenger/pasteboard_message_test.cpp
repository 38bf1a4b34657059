// The pasteboard message: conversions with their limits, both pasteboard generations, and what another
// application may leave on the pasteboard.
#include "MessengerFixture.h"

#include "messenger/AppCommunicateData.h"
#include "messenger/MMApiRegister.h"
#include "messenger/MessengerApiUtil.h"
#include "platform/formats/PropertyList.h"

#include "support/HostilePropertyLists.h"
#include "support/WorkCost.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using namespace messenger;
using platform::Bytes;
using platform::Dictionary;
using platform::Value;

namespace {

class PasteboardMessageTest : public messengertest::MessengerTest {
protected:
    // The dictionary a request converts to, or nothing when the conversion fails.
    static std::optional<Dictionary> convert(const std::shared_ptr<BaseReq>& req, AppCommunicateData* out = nullptr) {
        AppCommunicateData data;
        if (!data.ReqToData(req))
            return std::nullopt;
        if (out)
            *out = data;
        return *data.propertList();
    }
    static std::shared_ptr<SendMessageToMXReq> textReq(std::string text) {
        auto req = std::make_shared<SendMessageToMXReq>();
        req->bText = true;
        req->text = std::move(text);
        return req;
    }
    static std::shared_ptr<SendMessageToMXReq> mediaReq(std::shared_ptr<MXMediaObject> object) {
        auto req = std::make_shared<SendMessageToMXReq>();
        req->message = MXMediaMessage::message();
        req->message->mediaObject = std::move(object);
        return req;
    }
    static std::shared_ptr<MXWebpageObject> webpage(std::string url) {
        auto page = MXWebpageObject::object();
        page->webpageUrl = std::move(url);
        return page;
    }
    // Puts raw bytes on the general pasteboard as the message item.
    static void putRaw(const Bytes& bytes) { platform::Pasteboard::general()->setData(bytes, "content"); }
    static void putPlist(const Value& value) {
        auto bytes = platform::PropertyList::write(value, platform::PropertyList::Format::Binary);
        putRaw(Bytes(bytes->begin(), bytes->end()));
    }
    static Bytes contentItem() { return platform::Pasteboard::general()->dataForPasteboardType("content").value_or(Bytes{9}); }
};

TEST_F(PasteboardMessageTest, CommonFieldsAndTextLimits) {
    AppCommunicateData data;
    data.conversationAccount = "acct";
    auto req = textReq(std::string(10240, 'x'));
    req->openID = "oid";
    req->scene = 2;
    ASSERT_TRUE(data.ReqToData(req));
    const Dictionary& d = *data.propertList();
    EXPECT_EQ(d["command"], Value("1020"));
    EXPECT_EQ(d["returnFromApp"], Value("0"));
    EXPECT_EQ(d["result"], Value("1")); // a new message's result
    EXPECT_EQ(d["account"], Value("acct"));
    EXPECT_EQ(d["sdkver"], Value("1.6"));
    EXPECT_EQ(d["scene"], Value("2"));
    EXPECT_EQ(d["openID"], Value("oid"));
    EXPECT_EQ(data.command(), 1020u);

    EXPECT_FALSE(convert(textReq(std::string(10241, 'x'))));
    EXPECT_FALSE(convert(textReq("")));
    // Limits count UTF-16 units: 10240 CJK characters are 30720 bytes but fit; one more does not.
    std::string cjk;
    for (int i = 0; i < 10240; ++i)
        cjk += "文";
    EXPECT_TRUE(convert(textReq(cjk)));
    EXPECT_FALSE(convert(textReq(cjk + "文")));
    // "scene" and "openID" are written even when the text part fails.
    AppCommunicateData failed;
    auto empty = textReq("");
    empty->openID = "o";
    EXPECT_FALSE(failed.ReqToData(empty));
    EXPECT_EQ((*failed.propertList())["openID"], Value("o"));
}

TEST_F(PasteboardMessageTest, MediaMessageChecksThumbnailsObjectsAndUrls) {
    auto req = mediaReq(webpage("https://example.com/a"));
    req->message->title = "T";
    req->message->thumbData = pngThumb();
    auto dict = convert(req);
    ASSERT_TRUE(dict);
    EXPECT_EQ((*dict)["command"], Value("1010"));
    EXPECT_EQ((*dict)["objectType"], Value("5"));
    EXPECT_EQ((*dict)["mediaUrl"], Value("https://example.com/a"));
    EXPECT_EQ((*dict)["thumbData"], Value(pngThumb()));

    req->message->thumbData = Bytes{1, 2, 3}; // not an image
    EXPECT_FALSE(convert(req));
    Bytes big = pngThumb();
    big.resize(32769, 0); // decodes, but over the limit
    req->message->thumbData = big;
    EXPECT_FALSE(convert(req));
    req->message->thumbData.reset();

    EXPECT_FALSE(convert(mediaReq(MXWebpageObject::object())));          // no URL, data or extInfo
    EXPECT_FALSE(convert(mediaReq(nullptr)));                            // no object
    EXPECT_FALSE(convert(mediaReq(std::make_shared<MXMediaObject>())));  // a class the protocol lacks
    EXPECT_FALSE(convert(mediaReq(webpage(std::string(10241, 'u')))));
    req->message->title = std::string(513, 't');
    EXPECT_FALSE(convert(req));
}

TEST_F(PasteboardMessageTest, MediaDataTravelsBesideOrInsideByGeneration) {
    auto file = MXFileObject::object();
    file->fileData = Bytes{7, 8};
    file->fileExtension = "pdf";
    AppCommunicateData modern;
    auto dict = convert(mediaReq(file), &modern);
    ASSERT_TRUE(dict);
    EXPECT_EQ((*dict)["fileData"], Value(Bytes{7, 8}));
    EXPECT_EQ((*dict)["fileExt"], Value("pdf"));
    EXPECT_FALSE(modern.fileData);

    useSystem("6.1");
    AppCommunicateData old;
    dict = convert(mediaReq(file), &old);
    ASSERT_TRUE(dict);
    EXPECT_FALSE(dict->contains("fileData"));
    EXPECT_EQ(old.fileData, Bytes({7, 8}));
}

TEST_F(PasteboardMessageTest, ResponsesConvertWithTheirCommands) {
    AppCommunicateData data;
    EXPECT_TRUE(data.RespToData(std::make_shared<ShowMessageFromMXResp>()));
    EXPECT_EQ(data.command(), 1070u);
    auto send = std::make_shared<SendMessageToMXResp>();
    send->lang = "en";
    ASSERT_TRUE(data.RespToData(send));
    EXPECT_EQ((*data.propertList())["command"], Value("2020"));
    EXPECT_EQ((*data.propertList())["language"], Value("en"));
    EXPECT_FALSE(data.RespToData(std::make_shared<PayResp>()));
    EXPECT_FALSE(data.ReqToData(std::make_shared<PayReq>()));
}

TEST_F(PasteboardMessageTest, ReceivedDictionariesBecomeRequestsAndResponses) {
    AppCommunicateData sent(Dictionary{{"command", "2010"}, {"result", "-3"}, {"language", "de"}, {"country", "AT"}, {"returnFromApp", "1"}});
    EXPECT_TRUE(sent.returnFromApp);
    auto resp = std::dynamic_pointer_cast<SendMessageToMXResp>(sent.DataToResp());
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->errCode, -3);
    EXPECT_EQ(resp->lang, "de");

    auto auth = std::dynamic_pointer_cast<SendAuthResp>(AppCommunicateData(Dictionary{{"command", "2030"}, {"result", "0"}}).DataToResp());
    ASSERT_TRUE(auth);
    EXPECT_FALSE(auth->code);

    Dictionary show{{"command", "1010"}, {"objectType", "7"}, {"extInfo", "x"}, {"title", "t"}};
    auto req = std::dynamic_pointer_cast<ShowMessageFromMXReq>(AppCommunicateData(show).DataToReq());
    ASSERT_TRUE(req);
    EXPECT_EQ(std::dynamic_pointer_cast<MXAppExtendObject>(req->message->mediaObject)->extInfo, "x");
    show.set("objectType", "5"); // a webpage object is not delivered
    EXPECT_FALSE(AppCommunicateData(show).DataToReq());
    show.set("objectType", "99");
    EXPECT_FALSE(AppCommunicateData(show).DataToReq());
    show.set("objectType", "7");
    show.set("title", Bytes{1}); // wrong type
    EXPECT_FALSE(AppCommunicateData(show).DataToReq());
    show.set("title", "t");
    show.set("thumbData", "text");
    EXPECT_FALSE(AppCommunicateData(show).DataToReq());

    AppCommunicateData none(Dictionary{{"title", "no command"}});
    EXPECT_EQ(none.command(), 0u);
    EXPECT_FALSE(none.propertList());
    EXPECT_FALSE(none.DataToReq());
    EXPECT_FALSE(none.DataToResp());
}

TEST_F(PasteboardMessageTest, ModernGenerationKeepsTheUsersTextAndReadsOnce) {
    auto board = platform::Pasteboard::general();
    board->setString("old_text of the user");
    auto message = std::make_shared<AppCommunicateData>();
    ASSERT_TRUE(message->ReqToData(textReq("hello")));
    ASSERT_TRUE(AppCommunicate::setAppCommunicateData(message, std::string("mxabc")));
    EXPECT_NE(board->string(), std::optional<std::string>("old_text of the user"));

    auto read = AppCommunicate::appCommunicateDataForAppID("mxabc");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->command(), 1020u);
    EXPECT_EQ(read->textMessage(), "hello");
    EXPECT_EQ(board->string(), std::optional<std::string>("old_text of the user"));
    EXPECT_FALSE(AppCommunicate::appCommunicateDataForAppID("mxabc"));

    EXPECT_FALSE(AppCommunicate::setAppCommunicateData(nullptr, std::string("mxabc")));
    EXPECT_FALSE(AppCommunicate::setAppCommunicateData(message, std::nullopt));
    EXPECT_FALSE(AppCommunicate::setAppCommunicateData(std::make_shared<AppCommunicateData>(), std::string("mxabc")));
}

TEST_F(PasteboardMessageTest, OlderGenerationUsesNamedPasteboardsAndKeepsOtherApps) {
    useSystem("6.1");
    auto first = std::make_shared<AppCommunicateData>();
    ASSERT_TRUE(first->ReqToData(textReq("for other")));
    ASSERT_TRUE(AppCommunicate::setAppCommunicateData(first, std::string("other")));
    auto file = MXImageObject::object();
    file->imageData = Bytes{4, 5, 6};
    auto second = std::make_shared<AppCommunicateData>();
    ASSERT_TRUE(second->ReqToData(mediaReq(file)));
    ASSERT_TRUE(AppCommunicate::setAppCommunicateData(second, std::string("mxabc")));
    auto dataBoard = platform::Pasteboard::withName("messenger_data", false);
    ASSERT_TRUE(dataBoard);
    EXPECT_TRUE(dataBoard->isPersistent());

    auto read = AppCommunicate::appCommunicateDataForAppID("mxabc");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->fileData, Bytes({4, 5, 6}));
    auto flat = read->mediaInternalMessage();
    ASSERT_TRUE(flat);
    EXPECT_EQ(flat->objectType, 2u);
    EXPECT_EQ(flat->fileData, Bytes({4, 5, 6}));
    EXPECT_EQ(platform::Pasteboard::withName("messenger_file", false)->dataForPasteboardType("content"), Bytes{});
    EXPECT_FALSE(AppCommunicate::appCommunicateDataForAppID("other")); // reading cleared the whole item
}

TEST_F(PasteboardMessageTest, ForeignItemsGiveNothingAndAreCleared) {
    putRaw(Bytes{'n', 'o', 't', ' ', 'a', ' ', 'p', 'l', 'i', 's', 't'});
    EXPECT_FALSE(AppCommunicate::appCommunicateDataForAppID("mxabc"));
    EXPECT_EQ(contentItem(), Bytes{});

    putPlist(Value(platform::Array{Value("not a dictionary")}));
    EXPECT_FALSE(AppCommunicate::appCommunicateDataForAppID("mxabc"));
    EXPECT_EQ(contentItem(), Bytes{});

    putPlist(Value(Dictionary{{"someone_else", Dictionary{{"command", "2010"}}}}));
    EXPECT_FALSE(AppCommunicate::appCommunicateDataForAppID("mxabc"));

    for (Value command : {Value(), Value("abc"), Value(Bytes{1}), Value(""), Value("-5")}) {
        Dictionary entry{{"result", "0"}};
        if (!command.isNull())
            entry.set("command", command);
        putPlist(Value(Dictionary{{"mxabc", entry}}));
        EXPECT_FALSE(AppCommunicate::appCommunicateDataForAppID("mxabc")) << command.description();
        EXPECT_EQ(contentItem(), Bytes{});
    }
    putPlist(Value(Dictionary{{"mxabc", "a string"}}));
    EXPECT_FALSE(AppCommunicate::appCommunicateDataForAppID("mxabc"));
    putPlist(Value(Dictionary{{"mxabc", Dictionary{{"command", "1010"}, {"fileData", "text"}}}}));
    EXPECT_FALSE(AppCommunicate::appCommunicateDataForAppID("mxabc"));
}

TEST_F(PasteboardMessageTest, UnusedReadersCheckTheirCommandsAndLimits) {
    AppCommunicateData auth(Dictionary{{"command", "1030"}, {"scope", "s"}, {"state", std::string(1025, 'x')}});
    EXPECT_FALSE(auth.authRequest());
    EXPECT_FALSE(auth.authResp());
    AppCommunicateData okAuth(Dictionary{{"command", "1030"}, {"scope", "s"}});
    ASSERT_TRUE(okAuth.authRequest());
    EXPECT_EQ(okAuth.authRequest()->scope, "s");
    EXPECT_FALSE(okAuth.textMessage());
    AppCommunicateData media(Dictionary{{"command", "1010"}, {"objectType", "5"}});
    EXPECT_FALSE(media.mediaInternalMessage()); // no URL, extInfo or data
    AppCommunicateData media2(Dictionary{{"command", "1010"}, {"objectType", "5"}, {"mediaUrl", "u"}});
    ASSERT_TRUE(media2.mediaInternalMessage());
    EXPECT_EQ(media2.mediaInternalMessage()->objectType, 5u);

    // The flat message travels beside a request sent by the messaging app's side.
    AppCommunicateData flat;
    auto internal = MXMediaInternalMessage::message();
    internal->objectType = 7;
    internal->extInfo = "e";
    ASSERT_TRUE(flat.ReqToData(std::make_shared<ShowMessageFromMXReq>(), internal));
    EXPECT_EQ((*flat.propertList())["objectType"], Value("7"));
    EXPECT_TRUE(flat.MakeCommand(2000));
    EXPECT_EQ((*flat.propertList())["command"], Value("2000"));
}

} // namespace

namespace {

// A board's "content" item made of these bytes.
void putOn(const std::string& board, const std::string& bytes) {
    auto pasteboard = board == "general" ? platform::Pasteboard::general() : platform::Pasteboard::withName(board, true);
    ASSERT_TRUE(pasteboard);
    ASSERT_TRUE(pasteboard->setData(Bytes(bytes.begin(), bytes.end()), "content"));
}

} // namespace

TEST_F(PasteboardMessageTest, HostileListsOnEveryRoadAreRefusedOnASmallStack) {
    for (const std::string& hostile : hybtest::hostilePropertyLists()) {
        // The message on the general pasteboard, and on the older generation's named one.
        putOn("general", hostile);
        std::shared_ptr<AppCommunicateData> read = std::make_shared<AppCommunicateData>();
        ASSERT_TRUE(hybtest::runOnSmallStack([&] { read = AppCommunicate::appCommunicateDataForAppID("mxabc"); }));
        EXPECT_FALSE(read);
        EXPECT_EQ(contentItem(), Bytes{});
        useSystem("6.1");
        putOn("messenger_data", hostile);
        read = std::make_shared<AppCommunicateData>();
        ASSERT_TRUE(hybtest::runOnSmallStack([&] { read = AppCommunicate::appCommunicateDataForAppID("mxabc"); }));
        EXPECT_FALSE(read);
        useSystem("9.0");

        // The registry: refused, and left as it was.
        putOn("messenger_register", hostile);
        bool entered = true;
        ASSERT_TRUE(hybtest::runOnSmallStack([&] { entered = MMApiRegister::enterInRegistry("mxabc", std::nullopt); }));
        EXPECT_FALSE(entered);
        EXPECT_EQ(platform::Pasteboard::withName("messenger_register", false)->dataForPasteboardType("content"),
                  Bytes(hostile.begin(), hostile.end()));

        // The client's version the messaging app leaves.
        putOn("messenger_sdk_infomation", hostile);
        std::string version = "unset";
        ASSERT_TRUE(hybtest::runOnSmallStack([&] { version = MessengerApiUtil::getSDKVersion(); }));
        EXPECT_TRUE(version == "" || version == "1.0") << version;
    }
}

TEST_F(PasteboardMessageTest, ManyKeysWithOneHashReadInTimeLinearInTheirBytesAtEachRoadsBound) {
    // Each road costs about what it costs for as many ordinary keys of the same lengths, put in the same
    // place: a bucket of all the keys costs tens of times that.
    const auto costAgainstOrdinaryKeys = [](const std::string& board, const std::string& bytes, const std::string& plain,
                                            const std::function<void()>& work) {
        return hybtest::costAgainstBaseline({work, [&] { putOn(board, bytes); }}, {work, [&] { putOn(board, plain); }}, 8);
    };
    // The registry at its 16 MiB bound: 32,768 keys the library's fixed string hash maps to one value
    // (one bucket of them blocked registration 92 s at every launch), read in linear time. Written back
    // (their two-byte characters as UTF-16) it would pass what is read, so the application is not entered
    // and the registry stays as it was.
    std::vector<std::string> keys = hybtest::stdHashCollidingKeys(32768, 480);
    const std::string registry = hybtest::binaryDictionaryOf(keys);
    ASSERT_LE(registry.size(), MMApiRegister::kMaxRegistryBytes);
    ASSERT_GT(registry.size(), MMApiRegister::kMaxRegistryBytes - (1u << 20));
    bool entered = true;
    hybtest::Costs costs = costAgainstOrdinaryKeys("messenger_register", registry, hybtest::binaryDictionaryOf(hybtest::ordinaryKeysLike(keys)),
                                                   [&] { entered = MMApiRegister::enterInRegistry("mxabc", std::nullopt); });
    EXPECT_LT(costs.ratio(), 8) << costs;
    EXPECT_FALSE(entered);
    EXPECT_EQ(platform::Pasteboard::withName("messenger_register", false)->dataForPasteboardType("content"),
              Bytes(registry.begin(), registry.end()));
    // As many of half the length, read, entered in and written back within the bound (half as many
    // would cost a bucket of them only about ten times the ordinary keys, too close to the bound).
    keys = hybtest::stdHashCollidingKeys(32768, 240);
    costs = costAgainstOrdinaryKeys("messenger_register", hybtest::binaryDictionaryOf(keys),
                                    hybtest::binaryDictionaryOf(hybtest::ordinaryKeysLike(keys)),
                                    [&] { entered = MMApiRegister::enterInRegistry("mxabc", std::nullopt); });
    EXPECT_LT(costs.ratio(), 8) << costs;
    EXPECT_TRUE(entered);
    // The message on the general pasteboard at its 24 MiB bound: 65,536 such keys, read whole (no entry
    // for this application among them).
    keys = hybtest::stdHashCollidingKeys(65536, 352);
    const std::string message = hybtest::binaryDictionaryOf(keys);
    ASSERT_LE(message.size(), AppCommunicate::kMaxMessageBytes);
    ASSERT_GT(message.size(), AppCommunicate::kMaxMessageBytes - (1u << 20));
    std::shared_ptr<AppCommunicateData> read = std::make_shared<AppCommunicateData>();
    costs = costAgainstOrdinaryKeys("general", message, hybtest::binaryDictionaryOf(hybtest::ordinaryKeysLike(keys)),
                                    [&] { read = AppCommunicate::appCommunicateDataForAppID("mxabc"); });
    EXPECT_LT(costs.ratio(), 8) << costs;
    EXPECT_FALSE(read);
    EXPECT_EQ(contentItem(), Bytes{});
    // 65,536 keys that djb2 maps to one value (the property-list library's writer took 113 s over them):
    // the registry of them written back at once, whole.
    const std::vector<std::string> djb2Keys = hybtest::djb2CollidingKeys(65536);
    costs = costAgainstOrdinaryKeys("messenger_register", hybtest::binaryDictionaryOf(djb2Keys),
                                    hybtest::binaryDictionaryOf(hybtest::ordinaryKeysLike(djb2Keys)),
                                    [&] { entered = MMApiRegister::enterInRegistry("mxabc", std::nullopt); });
    EXPECT_LT(costs.ratio(), 8) << costs;
    EXPECT_TRUE(entered);
    auto written = MMApiRegister::getRegisterDictionary(*platform::Pasteboard::withName("messenger_register", false));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->size(), djb2Keys.size() + 1);
    EXPECT_TRUE((*written)[djb2Keys.back()].isBool());
}

TEST_F(PasteboardMessageTest, AMessageTooLargeToBeOneIsJudgedByItsSize) {
    // 24 MB and a byte, past the message bound though within the pasteboards' own: not taken.
    putOn("general", std::string(AppCommunicate::kMaxMessageBytes + 1, 'x'));
    auto item = platform::Pasteboard::general()->dataForPasteboardType("content", AppCommunicate::kMaxMessageBytes);
    ASSERT_FALSE(item.ok());
    EXPECT_FALSE(AppCommunicate::appCommunicateDataForAppID("mxabc"));

    // 100 MB (a sparse file: never written, so it would read as zeros): refused by its size alone, and
    // left to whoever put it there.
    const std::string path = platform::Pasteboard::storageFolder() + "/general.pasteboard";
    std::filesystem::resize_file(path, 100u << 20);
    EXPECT_FALSE(AppCommunicate::appCommunicateDataForAppID("mxabc"));
    EXPECT_EQ(std::filesystem::file_size(path), 100u << 20);
}
