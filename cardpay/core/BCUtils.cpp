#include "cardpay/core/BCUtils.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/StorePlace.h"
#include "platform/application/Application.h"
#include "platform/runloop/Clock.h"
#include "platform/system/Device.h"
#include "platform/system/Locale.h"
#include "platform/formats/PropertyList.h"
#include "platform/text/RegularExpression.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Toolbar.h"
#include "platform/text/URL.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace cardpay {

namespace {

constexpr std::size_t kMaxSettingsListLength = 1 << 20;

platform::Size displaySize() {
    const platform::Rect bounds = platform::Screen::main().bounds();
    const double shortSide = std::min(bounds.size.width, bounds.size.height);
    const double longSide = std::max(bounds.size.width, bounds.size.height);
    if (platform::isLandscape(platform::Application::shared().statusBarOrientation()))
        return {longSide, shortSide};
    return {shortSide, longSide};
}

double systemVersion() { return std::strtod(platform::Device::current().systemVersion().c_str(), nullptr); }

// The settings list: empty when there is no file, nothing when the file there holds no settings (cut
// short, larger than it is read to, not a dictionary).
std::optional<platform::Dictionary> readSettings() {
    const std::string path = BCUtils::settingsListPath();
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? std::optional(platform::Dictionary{}) : std::nullopt;
    if (!S_ISREG(info.st_mode) || static_cast<std::size_t>(info.st_size) > kMaxSettingsListLength)
        return std::nullopt;
    auto list = platform::PropertyList::readFile(path);
    if (!list.ok() || !list->isDictionary())
        return std::nullopt;
    return *list->getDictionary();
}

} // namespace

double BCUtils::displayWidth() { return displaySize().width; }
double BCUtils::displayHeight() { return displaySize().height; }

double BCUtils::statusBarHeight() {
    const platform::Rect frame = platform::Application::shared().statusBarFrame();
    return std::min(frame.size.width, frame.size.height);
}

platform::Point BCUtils::displayCenter() { return {displayWidth() / 2, displayHeight() / 2}; }

double BCUtils::viewControllerBoundsOriginY() { return iOS7Device() ? statusBarHeight() : 0; }

double BCUtils::rotatedWidth() {
    const platform::Size size = BCDataContainer::instance()->toRotationSize();
    return size.width > 0 && size.height > 0 ? size.width : displayHeight();
}

double BCUtils::rotatedHeight() {
    const platform::Size size = BCDataContainer::instance()->toRotationSize();
    return size.width > 0 && size.height > 0 ? size.height : displayWidth();
}

double BCUtils::rotatedOffset() { return rotatedWidth() - displayWidth(); }

platform::Point BCUtils::rotatedDisplayCenter() { return {rotatedWidth() / 2, rotatedHeight() / 2}; }

bool BCUtils::shouldChangeOrientation(platform::InterfaceOrientation orientation) {
    if (orientation == platform::InterfaceOrientation::Unknown)
        return false;
    return platform::isLandscape(orientation) != platform::isLandscape(platform::Application::shared().statusBarOrientation());
}

bool BCUtils::iOS7Device() { return systemVersion() >= 7.0; }

bool BCUtils::iPadDevice() { return platform::Device::current().userInterfaceIdiom() == platform::UserInterfaceIdiom::Pad; }

platform::Color BCUtils::navBarColor() { return platform::Color::fromRGBA255(92, 163, 218); }
platform::Color BCUtils::navBarTitleColor() { return platform::Color::white(); }
platform::Color BCUtils::borderColor() { return platform::Color::fromRGBA255(149, 210, 254); }
platform::Color BCUtils::focusedTextFieldBorderColor() { return platform::Color::fromRGBA255(24, 127, 189); }
platform::Color BCUtils::greenTextColor() { return platform::Color::fromRGBA255(12, 127, 122, 0.88); }
platform::Color BCUtils::redTextColor() { return platform::Color::fromRGBA255(255, 82, 82, 0.88); }
platform::Color BCUtils::resultTitleColor() { return platform::Color::fromRGBA255(21, 138, 152); }
platform::Color BCUtils::underLineNormalColor() { return platform::Color::fromRGBA255(48, 116, 171); }
platform::Color BCUtils::adBackgroundColor() { return platform::Color::fromRGBA255(255, 122, 127); }

bool BCUtils::checkCardId(std::string_view card) {
    if (card.size() < 13 || card.size() > 19)
        return false;
    int sum = 0;
    bool doubled = false;
    for (auto it = card.rbegin(); it != card.rend(); ++it) {
        int digit = (*it >= '0' && *it <= '9') ? *it - '0' : 0;
        if (doubled) {
            digit *= 2;
            if (digit > 9)
                digit -= 9;
        }
        sum += digit;
        doubled = !doubled;
    }
    return sum % 10 == 0;
}

std::optional<std::string> BCUtils::getFormatCardID(std::string_view card) {
    if (card.empty())
        return std::nullopt;
    std::string out;
    out.reserve(card.size() + card.size() / 4);
    std::size_t characters = 0;
    for (std::size_t i = 0; i < card.size(); ++i) {
        out += card[i];
        // A character ends where the next byte is not a UTF-8 continuation byte.
        const bool characterEnds = i + 1 == card.size() || (static_cast<unsigned char>(card[i + 1]) & 0xC0) != 0x80;
        if (characterEnds && ++characters % 4 == 0)
            out += ' ';
    }
    return out;
}

std::string BCUtils::getNormalCardID(std::string_view card) {
    std::string out;
    for (const char c : card)
        if (c != ' ')
            out += c;
    return out;
}

bool BCUtils::isValidateTextField(std::string_view text, std::string_view regex) {
    return platform::RegularExpression::wholeMatch(text, regex);
}

std::string BCUtils::getCurrentYear() {
    const std::time_t now = static_cast<std::time_t>(std::floor(platform::Clock::current().wallNow().secondsSince1970));
    std::tm parts{};
    localtime_r(&now, &parts);
    char text[16];
    std::snprintf(text, sizeof text, "%04d", parts.tm_year + 1900);
    return text;
}

std::shared_ptr<platform::Toolbar> BCUtils::myToolBar(std::weak_ptr<BCEditDoneTarget> target) {
    auto bar = std::make_shared<platform::Toolbar>(platform::Rect{{0, 0}, {displayWidth(), 44}});
    auto done = platform::BarButtonItem::withTitle(BCLocale::instance()->getStringById(10012), platform::BarButtonItemStyle::Done);
    done->setTarget(target, [target](platform::BarButtonItem&) {
        if (auto t = target.lock())
            t->editDone();
    });
    bar->setItems({platform::BarButtonItem::flexibleSpace(), done});
    return bar;
}

std::string BCUtils::settingsListPath() { return platform::AppFolders::current().library() + "/BCPayClient.plist"; }

std::optional<std::string> BCUtils::readUserIdFromFile(const std::string& key) {
    const platform::Dictionary settings = readSettings().value_or(platform::Dictionary{});
    if (const std::string* value = settings[key].getString())
        return *value;
    return std::nullopt;
}

bool BCUtils::writeUserIdToFile(const std::string& value, const std::string& key) {
    const std::string path = settingsListPath();
    std::optional<platform::Dictionary> settings = readSettings();
    if (!settings) {
        // A list that is not read is set aside whole before a fresh one is written, never written over.
        const std::optional<std::string> aside = platform::StorePlace::moveAside(path, "BCUtils");
        if (!aside && errno != ENOENT) {
            platform::Log::write("BCUtils: the unreadable settings list " + path + " cannot be moved aside (" + std::strerror(errno) +
                                 "); \"" + key + "\" is not stored");
            return false;
        }
        if (aside)
            platform::Log::write("BCUtils: ignoring unreadable settings list " + path + "; it was moved aside to " + *aside);
        settings.emplace();
    }
    settings->set(key, value);
    // XML, or the binary form when the list holds what XML cannot carry.
    const platform::Value list(*settings);
    const auto format = platform::PropertyList::write(list, platform::PropertyList::Format::XML).ok() ? platform::PropertyList::Format::XML
                                                                                                    : platform::PropertyList::Format::Binary;
    return platform::PropertyList::writeFile(list, path, format, kMaxSettingsListLength).ok();
}

std::optional<std::string> BCUtils::currentUID() {
    if (iOS7Device())
        return std::nullopt;
    return platform::Device::current().identifierForVendor();
}

std::optional<std::string> BCUtils::currentLang() {
    const std::string locale = platform::Locale::currentIdentifier();
    if (locale.starts_with("zh"))
        return "zh_CN";
    if (locale.starts_with("en"))
        return "en_US";
    return std::nullopt;
}

std::string BCUtils::currentScreen() {
    const platform::Rect bounds = platform::Screen::main().bounds();
    const double scale = platform::Screen::main().scale();
    return std::to_string(std::lround(bounds.size.width * scale)) + "*" + std::to_string(std::lround(bounds.size.height * scale));
}

bool BCUtils::isWebAddress(std::string_view url) {
    const auto parsed = platform::URL::fromString(url);
    if (!parsed)
        return false;
    std::string scheme = parsed->scheme();
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return (scheme == "http" || scheme == "https") && parsed->host() && !parsed->host()->empty();
}

} // namespace cardpay
