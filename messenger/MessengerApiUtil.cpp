#include "messenger/MessengerApiUtil.h"

#include "platform/application/Application.h"
#include "platform/core/Crypto.h"
#include "platform/core/Log.h"
#include "platform/formats/PropertyList.h"
#include "platform/system/Device.h"
#include "platform/system/Pasteboard.h"
#include "platform/text/PercentEscaping.h"
#include "platform/text/TextEncoding.h"
#include "platform/text/URL.h"

#include <cctype>
#include <cstdlib>
#include <exception>

namespace messenger {

namespace {
double g_systemVersion = 0;

std::string plusAsBlank(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '+')
            c = ' ';
    return out;
}
} // namespace

bool MessengerApiUtil::isAppId(std::string_view appId) {
    if (appId.empty() || appId.size() > kMaxAppIdLength || !std::isalpha(static_cast<unsigned char>(appId.front())))
        return false;
    for (const char c : appId) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || !(std::isalnum(byte) || c == '+' || c == '-' || c == '.'))
            return false;
    }
    return true;
}

bool MessengerApiUtil::checkAppId(const std::optional<std::string>& appId, std::string_view call) {
    if (appId && isAppId(*appId))
        return true;
    platform::Log::writef("%.*s refused: the app id must be 1 to %zu characters, a letter then letters, digits, "
                          "\"+\", \"-\" or \".\" (%s)",
                          static_cast<int>(call.size()), call.data(), kMaxAppIdLength,
                          !appId ? "none is set" : appId->size() > kMaxAppIdLength ? "too long" : "not such a name");
    return false;
}

std::optional<std::string> MessengerApiUtil::getMessengerUrl(const std::optional<std::string>& appId) {
    if (!appId || !isAppId(*appId))
        return std::nullopt;
    return std::string(kMessengerScheme) + "://app/" + *appId + "/";
}

std::optional<std::string> MessengerApiUtil::getMessengerUrl(const std::optional<std::string>& appId, std::string_view extraUrl) {
    auto base = getMessengerUrl(appId);
    if (!base)
        return std::nullopt;
    std::string text = *base + std::string(extraUrl);
    if (!platform::URL::fromString(text))
        return std::nullopt;
    return text;
}

bool MessengerApiUtil::isAppOpenUrl(std::string_view url, std::string_view appId) {
    std::string prefix = std::string(appId) + "://";
    return url.substr(0, prefix.size()) == prefix;
}

std::string MessengerApiUtil::escapingForURLArgument(std::string_view text) {
    return platform::addPercentEscapes(text, "", "!*'();:@&=+$,/?%#[]");
}

std::string MessengerApiUtil::escapingForURLArgumentOnly(std::string_view text) {
    return platform::addPercentEscapes(text, ";/?:@=&$-_.+!*'(),%", "");
}

std::string MessengerApiUtil::encodeUrl(std::string_view text) {
    return platform::addPercentEscapes(text, "", ":/?#[]@!$ &'()*+,;=\"<>%{}|\\^~`");
}

std::optional<std::string> MessengerApiUtil::unescapingFromURLArgument(std::string_view text) {
    return platform::removePercentEscapes(plusAsBlank(text));
}

std::optional<std::string> MessengerApiUtil::encodeByJsonAndUrlEncode(std::string_view text) {
    std::string blanks = plusAsBlank(text);
    std::string out;
    out.reserve(blanks.size());
    for (std::size_t i = 0; i < blanks.size(); ++i) {
        if (blanks[i] == '\\' && i + 1 < blanks.size() && (blanks[i + 1] == 'x' || blanks[i + 1] == 'X')) {
            out += '%';
            ++i;
        } else {
            out += blanks[i];
        }
    }
    return platform::removePercentEscapes(out);
}

std::optional<std::string> MessengerApiUtil::encodeBase64(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    return platform::Crypto::base64Encode(platform::bytesOf(text));
}

std::optional<std::string> MessengerApiUtil::nsDataEncodeBase64(const platform::Bytes& data) {
    if (data.empty())
        return std::nullopt;
    return platform::Crypto::base64Encode(data);
}

std::optional<platform::Bytes> MessengerApiUtil::decodeWithBase64(std::string_view text) {
    text = text.substr(0, text.size() / 4 * 4);
    if (text.empty())
        return std::nullopt;
    auto bytes = platform::Crypto::base64Decode(text);
    if (!bytes || bytes->empty())
        return std::nullopt;
    return bytes;
}

std::optional<std::string> MessengerApiUtil::decodeBase64(std::string_view text) {
    auto bytes = decodeWithBase64(text);
    if (!bytes)
        return std::nullopt;
    return platform::decodeUTF8(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

bool MessengerApiUtil::isiOS7plus() {
    if (g_systemVersion < 0.1)
        g_systemVersion = std::atof(platform::Device::current().systemVersion().c_str());
    return g_systemVersion > 6.9;
}

std::optional<platform::Bytes> MessengerApiUtil::dataFromPropertyList(const platform::Value& plist) {
    if (plist.isNull())
        return std::nullopt;
    auto bytes = platform::PropertyList::write(plist, platform::PropertyList::Format::Binary);
    if (!bytes) {
        platform::Log::write("A message for the messaging app cannot be written: " + bytes.error().localizedDescription());
        return std::nullopt;
    }
    return platform::Bytes(bytes->begin(), bytes->end());
}

std::optional<platform::Value> MessengerApiUtil::propertyListFromData(std::string_view data) {
    if (data.empty())
        return std::nullopt;
    auto value = platform::PropertyList::read(data);
    if (!value)
        return std::nullopt;
    return std::move(value.value());
}

std::string MessengerApiUtil::getAppUrl(std::string_view scheme) { return std::string(scheme) + "://"; }

bool MessengerApiUtil::launchApp(std::string_view scheme) { return platform::Application::shared().openURL(getAppUrl(scheme)); }

bool MessengerApiUtil::isAppInstalledWithoutCatchException(std::string_view scheme) {
    return platform::Application::shared().canOpenURL(getAppUrl(scheme));
}

bool MessengerApiUtil::isAppInstalledWithCatchException(std::string_view scheme) {
    try {
        return isAppInstalledWithoutCatchException(scheme);
    } catch (const std::exception&) {
        return false;
    }
}

std::string MessengerApiUtil::getAppUrlWithPlatformId(std::string_view scheme, std::string_view otherArgs) {
    std::string url = std::string(scheme) + "://platformId=messenger";
    if (!otherArgs.empty())
        url += "/" + std::string(otherArgs);
    return url;
}

std::string MessengerApiUtil::getSDKVersion() {
    if (auto board = platform::Pasteboard::withName("messenger_sdk_infomation", false)) {
        if (auto data = board->dataForPasteboardType("content", kMaxSDKInformationBytes); data && data->has_value()) {
            const platform::Bytes& bytes = **data;
            auto plist = propertyListFromData(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
            if (plist)
                if (const std::string* version = (*plist)["version"].getString())
                    return *version;
        }
    }
    if (platform::Application::shared().canOpenURL(std::string(kMessengerScheme) + "://"))
        return "1.0";
    return "";
}

void MessengerApiUtil::resetForTesting() { g_systemVersion = 0; }

} // namespace messenger
