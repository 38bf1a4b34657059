// A stand-in for the messaging app, installed for the scheme "messenger" by the tests
// (Application::setProgramForScheme). It is started with the URL the application opened and answers by
// printing "open <url>" lines, which come back into the application. It reads what it gets with the
// platform's URL and property-list readers only, never with the client's classes, so the tests check the
// wire format independently of the code that writes it.
//
//   messenger://app/<appid>/pay/?...      -> open <appid>://pay/?returnKey=...&ret=<n>&notifyStr=...
//   messenger://app/<appid>/auth/?...     -> open <appid>://oauth?code=...&state=...
//   messenger://app/<appid>/sendreq/?     -> reads and clears the message for <appid> on the pasteboard
//                                            of the system generation, writes a response there and
//                                            answers open <appid>://
//   messenger://app/<appid>/begin/<cmd>   -> begins an exchange: writes a 1010 (app-extension object),
//                                            2000 or 2040 message for <appid> and answers open <appid>://
//   messenger://app/<appid>/registry      -> reads <appid>'s entry in the registry "messenger_register"
//                                            and answers open <appid>://registered?name=...&first=...&last=...
//
// Scripted by its environment: MESSENGER_APP_SYSTEM_VERSION (the pasteboard generation, default "9.0"),
// MESSENGER_APP_PAY_RET (default 0), MESSENGER_APP_RESP_COMMAND (2010 or 2020, default 2010),
// MESSENGER_APP_RESP_RESULT (default 0). Anything unexpected: a message on standard error and exit 2.
#include "platform/formats/PropertyList.h"
#include "platform/system/Device.h"
#include "platform/system/Pasteboard.h"
#include "platform/text/PercentEscaping.h"
#include "platform/text/TextEncoding.h"
#include "platform/text/URL.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <string>

namespace {

using platform::Dictionary;
using platform::Value;

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "messenger_app: " << message << std::endl;
    std::exit(2);
}

std::string env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

bool modernPasteboard() { return std::atof(platform::Device::current().systemVersion().c_str()) > 6.9; }

std::map<std::string, std::string> queryItems(const std::string& query) {
    std::map<std::string, std::string> items;
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        std::string part = query.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::size_t eq = part.find('=');
        if (eq == std::string::npos)
            fail("query part without \"=\": " + part);
        auto value = platform::removePercentEscapes(part.substr(eq + 1));
        if (!value)
            fail("bad escapes in " + part);
        if (!items.emplace(part.substr(0, eq), *value).second)
            fail("repeated query key " + part.substr(0, eq));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return items;
}

void expectKeys(const std::map<std::string, std::string>& items, const std::set<std::string>& keys) {
    for (const auto& [key, value] : items)
        if (!keys.count(key))
            fail("unexpected query key " + key);
    for (const auto& key : keys)
        if (!items.count(key))
            fail("missing query key " + key);
}

std::string escaped(const std::string& text) { return platform::escapeURLComponent(text); }

// ---- pasteboards of the system generation ----

std::shared_ptr<platform::Pasteboard> dataBoard() {
    return modernPasteboard() ? platform::Pasteboard::general() : platform::Pasteboard::withName("messenger_data", true);
}

Dictionary takeAll() {
    auto board = dataBoard();
    auto data = board->dataForPasteboardType("content");
    if (!data)
        fail("no message on the pasteboard");
    board->setData({}, "content");
    auto plist = platform::PropertyList::read(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    if (!plist || !plist->isDictionary())
        fail("the pasteboard item is not a property-list dictionary");
    Dictionary all = *plist->getDictionary();
    if (const std::string* old = all["old_text"].getString(); old && !old->empty() && modernPasteboard())
        board->setString(*old);
    return all;
}

void writeMessage(const std::string& appId, Dictionary message, const platform::Bytes& fileData) {
    auto board = dataBoard();
    Dictionary all;
    if (modernPasteboard()) {
        if (!fileData.empty())
            message.set("fileData", fileData);
        if (auto old = board->string(); old && !old->empty())
            all.set("old_text", *old);
    } else {
        auto file = platform::Pasteboard::withName("messenger_file", true);
        if (!file || !file->setData(fileData, "content"))
            fail("cannot write messenger_file");
    }
    all.set(appId, std::move(message));
    auto bytes = platform::PropertyList::write(Value(std::move(all)), platform::PropertyList::Format::Binary);
    if (!bytes || !board->setData(platform::Bytes(bytes->begin(), bytes->end()), "content"))
        fail("cannot write the message");
}

// ---- the request message ----

const std::string* stringValue(const Dictionary& m, const std::string& key) {
    const Value* v = m.find(key);
    if (!v)
        return nullptr;
    if (!v->isString())
        fail("\"" + key + "\" is not a string");
    return v->getString();
}

void checkLength(const Dictionary& m, const std::string& key, std::size_t limit, std::size_t minimum = 0) {
    const std::string* s = stringValue(m, key);
    std::size_t length = s ? platform::utf16Length(*s) : 0;
    if ((s && length > limit) || length < minimum)
        fail("\"" + key + "\" outside its limit");
}

void checkData(const Dictionary& m, const std::string& key, std::size_t limit) {
    const Value* v = m.find(key);
    if (v && (!v->isBytes() || v->getBytes()->size() > limit))
        fail("\"" + key + "\" is not data within its limit");
}

void checkRequest(const Dictionary& m, const platform::Bytes& fileData) {
    static const std::set<std::string> known = {"command", "returnFromApp", "result", "account", "sdkver", "scope", "state", "title",
                                                "description", "thumbData", "mediaTagName", "messageExt", "messageAction",
                                                "objectType", "mediaUrl", "mediaLowBandUrl", "mediaDataUrl", "mediaLowBandDataUrl",
                                                "extInfo", "fileExt", "fileData", "scene", "openID"};
    for (const auto& [key, value] : m)
        if (!known.count(key))
            fail("unexpected key \"" + key + "\"");
    const std::string* command = stringValue(m, "command");
    if (!command)
        fail("no \"command\"");
    const std::string* fromApp = stringValue(m, "returnFromApp");
    if (!fromApp || *fromApp != "0")
        fail("\"returnFromApp\" is not \"0\"");
    if (!stringValue(m, "result"))
        fail("no \"result\"");
    const std::string* sdk = stringValue(m, "sdkver");
    if (!sdk || *sdk != "1.6")
        fail("\"sdkver\" is not \"1.6\"");
    stringValue(m, "account");
    if (!stringValue(m, "scene") && *command != "1030")
        fail("no \"scene\"");
    if (*command == "1020") {
        checkLength(m, "title", 10240, 1);
    } else if (*command == "1010") {
        checkLength(m, "title", 512);
        checkLength(m, "description", 1024);
        checkData(m, "thumbData", 32768);
        checkLength(m, "mediaTagName", 64);
        checkLength(m, "messageExt", 2048);
        checkLength(m, "messageAction", 2048);
        for (const char* key : {"mediaUrl", "mediaLowBandUrl", "mediaDataUrl", "mediaLowBandDataUrl"})
            checkLength(m, key, 10240);
        checkLength(m, "extInfo", 2048);
        checkLength(m, "fileExt", 64);
        checkData(m, "fileData", 10485760);
        const std::string* type = stringValue(m, "objectType");
        if (!type || type->size() != 1 || (*type)[0] < '2' || (*type)[0] > '8')
            fail("bad \"objectType\"");
        if (fileData.size() > 10485760)
            fail("media data over its limit");
    } else if (*command == "1030") {
        checkLength(m, "scope", 1024, 1);
        checkLength(m, "state", 1024);
    } else {
        fail("unexpected command " + *command);
    }
}

void sendreq(const std::string& appId) {
    Dictionary all = takeAll();
    const Value* entry = all.find(appId);
    if (!entry || !entry->isDictionary())
        fail("no message for " + appId);
    platform::Bytes fileData;
    if (!modernPasteboard()) {
        auto file = platform::Pasteboard::withName("messenger_file", true);
        if (auto data = file->dataForPasteboardType("content"))
            fileData = *data;
        file->setData({}, "content");
    }
    checkRequest(*entry->getDictionary(), fileData);
    std::string command = env("MESSENGER_APP_RESP_COMMAND", "2010");
    Dictionary response{{"command", command}, {"returnFromApp", "1"}, {"result", env("MESSENGER_APP_RESP_RESULT", "0")}, {"sdkver", "1.6"}};
    if (command == "2010") {
        response.set("language", "en");
        response.set("country", "DE");
    }
    writeMessage(appId, std::move(response), {});
    std::cout << "open " << appId << "://" << std::endl;
}

void begin(const std::string& appId, const std::string& command) {
    Dictionary message{{"command", command}, {"returnFromApp", "0"}, {"result", "0"}, {"sdkver", "1.6"}, {"openID", "openid-7"},
                       {"language", "en"}, {"country", "DE"}};
    platform::Bytes fileData;
    if (command == "1010") {
        message.set("title", "From the messaging app");
        message.set("objectType", "7");
        message.set("extInfo", "ext-info");
        message.set("mediaUrl", "https://example.com/app");
        fileData = {1, 2, 3};
    } else if (command == "2040") {
        message.set("messageExt", "launch-ext");
        message.set("messageAction", "launch-action");
    } else if (command != "2000") {
        fail("cannot begin command " + command);
    }
    writeMessage(appId, std::move(message), fileData);
    std::cout << "open " << appId << "://" << std::endl;
}

// The application's entry in the registry, checked as the messaging app reads it.
void registry(const std::string& appId) {
    auto board = platform::Pasteboard::withName("messenger_register", false);
    if (!board)
        fail("no registry pasteboard");
    if (!board->isPersistent())
        fail("the registry is not persistent");
    auto data = board->dataForPasteboardType("content");
    if (!data)
        fail("no registry content");
    platform::PropertyList::Format format{};
    auto plist = platform::PropertyList::read(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()), &format);
    if (!plist.ok() || !plist->isDictionary() || format != platform::PropertyList::Format::Binary)
        fail("the registry is not a binary property-list dictionary");
    const Value& entry = (*plist)[appId];
    if (!entry.isDictionary())
        fail("no entry for " + appId);
    if (entry["appID"].stringOr("") != appId)
        fail("the entry's appID is not " + appId);
    for (const char* key : {"firstLaunchTime", "laststLaunchTime"}) {
        const std::string time = entry[key].stringOr("");
        if (time.empty() || time.find_first_not_of("0123456789") != std::string::npos)
            fail(std::string("\"") + key + "\" is not decimal text");
    }
    std::cout << "open " << appId << "://registered?name=" << escaped(entry["appName"].stringOr("")) << "&first="
              << entry["firstLaunchTime"].stringOr("") << "&last=" << entry["laststLaunchTime"].stringOr("") << std::endl;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        fail("usage: messenger_app <url>");
    platform::Device::current().setSystemVersion(env("MESSENGER_APP_SYSTEM_VERSION", "9.0"));
    auto url = platform::URL::fromString(argv[1]);
    if (!url || url->scheme() != "messenger" || url->host() != std::optional<std::string>("app"))
        fail(std::string("not a messenger://app/ URL: ") + argv[1]);
    std::vector<std::string> path = url->pathComponents(); // "/", appid, command...
    if (path.size() < 3)
        fail(std::string("no command in ") + argv[1]);
    const std::string& appId = path[1];
    const std::string& command = path[2];
    std::string query = url->query().value_or("");
    if (command == "pay") {
        auto items = queryItems(query);
        expectKeys(items, {"nonceStr", "package", "partnerId", "prepayId", "timeStamp", "sign", "signType"});
        for (const auto& [key, value] : items)
            if (value.empty() && key != "timeStamp")
                fail("empty " + key);
        if (items["signType"] != "SHA1" || items["timeStamp"].find_first_not_of("0123456789") != std::string::npos)
            fail("bad signType or timeStamp");
        std::cout << "open " << appId << "://pay/?returnKey=" << escaped("rk-" + items["prepayId"])
                  << "&ret=" << env("MESSENGER_APP_PAY_RET", "0") << "&notifyStr=" << escaped("paid " + items["partnerId"]) << std::endl;
    } else if (command == "auth") {
        auto items = queryItems(query);
        expectKeys(items, {"scope", "state"});
        std::cout << "open " << appId << "://oauth?code=code-1&state=" << escaped(items["state"]) << std::endl;
    } else if (command == "sendreq") {
        if (!query.empty())
            fail("sendreq with a query: " + query);
        sendreq(appId);
    } else if (command == "registry" && path.size() == 3) {
        registry(appId);
    } else if (command == "begin" && path.size() == 4) {
        begin(appId, path[3]);
    } else {
        fail(std::string("unexpected URL ") + argv[1]);
    }
    return 0;
}
