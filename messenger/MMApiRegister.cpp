#include "messenger/MMApiRegister.h"

#include "messenger/MessengerApiUtil.h"
#include "messenger/StatMX.h"

#include "platform/core/Log.h"
#include "platform/core/SeededHash.h"
#include "platform/files/PosixIO.h"
#include "platform/formats/PropertyList.h"
#include "platform/runloop/Clock.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Bundle.h"
#include "platform/text/TextEncoding.h"
#include "platform/ui/Screen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

namespace messenger {

namespace {

constexpr const char* kContentType = "content";

// Whether the main screen is double-resolution (scale exactly 2), asked once per process.
std::optional<bool>& cachedRetina() {
    static std::optional<bool> retina;
    return retina;
}

bool isRetina() {
    std::optional<bool>& retina = cachedRetina();
    if (!retina)
        retina = platform::Screen::main().scale() == 2.0;
    return *retina;
}

const std::string* nonEmptyString(const platform::Value& value) {
    const std::string* text = value.getString();
    return text && !text->empty() ? text : nullptr;
}

// The first name that fits the screen, else the last; nothing for a list without names.
std::optional<std::string> iconFromList(const platform::Array& list) {
    const bool retina = isRetina();
    std::optional<std::string> last;
    for (const platform::Value& entry : list) {
        const std::string* name = entry.getString();
        if (!name)
            continue;
        if ((name->find("@2x") != std::string::npos) == retina)
            return *name;
        last = *name;
    }
    return last;
}

// The bytes of a regular file of at most kMaxIconBytes.
std::optional<platform::Bytes> readIcon(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    platform::Bytes bytes;
    const bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                    platform::readAll(fd, bytes, MMApiRegister::kMaxIconBytes + 1) && bytes.size() <= MMApiRegister::kMaxIconBytes;
    ::close(fd);
    if (!ok)
        return std::nullopt;
    return bytes;
}

std::string nowText() {
    const double now = std::floor(platform::Clock::current().wallNow().secondsSince1970);
    return std::to_string(static_cast<std::uint32_t>(static_cast<std::int64_t>(now)));
}

} // namespace

MMApiRegister& MMApiRegister::shareInstance() {
    static auto* instance = new MMApiRegister(); // lives until the process ends
    return *instance;
}

bool MMApiRegister::registerApp(const std::optional<std::string>& appId) {
    static const std::optional<std::string> kNoDescription;
    return registerApp(appId, kNoDescription);
}

bool MMApiRegister::registerApp(const std::optional<std::string>& appId, const std::optional<std::string>& description) {
    if (!MessengerApiUtil::checkAppId(appId, "registerApp"))
        return false;
    shareInstance().startMST(*appId);
    return enterInRegistry(*appId, description);
}

bool MMApiRegister::enterInRegistry(const std::string& appId, const std::optional<std::string>& description) {
    auto pasteboard = platform::Pasteboard::withName(getRegisterPasteboardName(), true);
    if (!pasteboard)
        return false;
    // Read once, bounded by its size (judged from the file's before a byte is read): a registry too large
    // to read is neither made persistent nor written over, and said once.
    auto stored = pasteboard->dataForPasteboardType(kContentType, kMaxRegistryBytes);
    if (!stored && stored.error().domain == platform::kPOSIXErrorDomain && stored.error().code == EFBIG) {
        shareInstance().refuseTooLargeOnce();
        return false;
    }
    // Made persistent only then, and only when it is not yet (a change rewrites the whole file; one that
    // holds no pasteboard is set aside by it, and the registry read again).
    if (!pasteboard->isPersistent())
        pasteboard->setPersistent(true);
    if (!stored)
        stored = pasteboard->dataForPasteboardType(kContentType, kMaxRegistryBytes);
    if (!stored)
        return false;
    // What cannot be read as a registry holds other applications' entries all the same: it is kept, and
    // this application stays out of it. Only no item, or an empty one, starts a registry afresh.
    platform::Dictionary registry;
    if (*stored && !(*stored)->empty()) {
        const platform::Bytes& bytes = **stored;
        auto plist = platform::PropertyList::read(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        if (!plist || !plist->isDictionary()) {
            shareInstance().refuseOnce(bytes, plist ? std::string("it is not a dictionary") : plist.error().localizedDescription());
            return false;
        }
        registry = std::move(*plist->getDictionary());
    }

    platform::Dictionary entry = buildAppDictionary(appId, registry[appId]);
    if (description) {
        const std::size_t length = platform::utf16Length(*description);
        if (length >= 1 && length <= kMaxDescriptionLength)
            entry.set("appDescriptionSDK", *description);
    }
    registry.set(appId, std::move(entry));
    auto data = platform::PropertyList::write(platform::Value(std::move(registry)), platform::PropertyList::Format::Binary);
    if (!data) {
        platform::Log::write("The messaging app's registry cannot be written, " + appId + " is not entered: " +
                             data.error().localizedDescription());
        return false;
    }
    // Past what is read back, the registry would read as none and refuse every entry after this one.
    if (data->size() > kMaxRegistryBytes) {
        platform::Log::write("The messaging app's registry would pass the " + std::to_string(kMaxRegistryBytes) +
                             " bytes it is read up to with " + appId + " in it; " + appId + " is not entered");
        return false;
    }
    return pasteboard->setData(platform::Bytes(data->begin(), data->end()), kContentType);
}

void MMApiRegister::refuseOnce(const platform::Bytes& registry, const std::string& why) {
    const std::size_t seen = platform::SeededHash()(std::string_view(reinterpret_cast<const char*>(registry.data()), registry.size()));
    if (m_refused == seen)
        return;
    m_refused = seen;
    platform::Log::write("The messaging app's registry (" + std::to_string(registry.size()) +
                         " bytes) cannot be read, and is left as it is; the application is not entered: " + why);
}

void MMApiRegister::refuseTooLargeOnce() {
    if (m_saidTooLarge)
        return;
    m_saidTooLarge = true;
    platform::Log::write("The messaging app's registry is larger than the " + std::to_string(kMaxRegistryBytes) +
                         " bytes it is read up to: it is left as it is, unread, and the application is not entered");
}

void MMApiRegister::startMST(const std::string& appId) {
    StatMX::startWithAppkey(appId);
    // One observer for the process: each move to the background is one event, however often the
    // application registers.
    if (m_observing)
        return;
    m_observing = true;
    platform::NotificationCenter::defaultCenter().addObserver(
        this, platform::kApplicationDidEnterBackgroundNotification, nullptr,
        [this](const platform::Notification& notification) { DidEnterBackground(notification); });
}

void MMApiRegister::DidEnterBackground(const platform::Notification&) { StatMX::onBackground(); }

std::optional<platform::Dictionary> MMApiRegister::getRegisterDictionary(const platform::Pasteboard& pasteboard) {
    auto data = pasteboard.dataForPasteboardType(kContentType, kMaxRegistryBytes);
    return data ? registryFrom(*data) : std::nullopt;
}

std::optional<platform::Dictionary> MMApiRegister::registryFrom(const std::optional<platform::Bytes>& data) {
    if (!data)
        return std::nullopt;
    auto plist = MessengerApiUtil::propertyListFromData(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    if (!plist || !plist->isDictionary())
        return std::nullopt;
    return std::move(*plist->getDictionary());
}

std::optional<std::string> MMApiRegister::getIconString() {
    const platform::Bundle bundle = platform::Bundle::main();
    const platform::Dictionary info = bundle.infoDictionary();
    if (info.empty())
        return std::nullopt;
    std::optional<std::string> name;
    if (const platform::Array* list = info["CFBundleIconFiles"].getArray())
        name = iconFromList(*list);
    else if (const std::string* single = nonEmptyString(info["CFBundleIconFile"]))
        name = *single;
    if (!name)
        name = isRetina() ? "Icon@2x.png" : "Icon.png";
    return bundle.bundlePath() + "/" + *name;
}

platform::Dictionary MMApiRegister::buildAppDictionary(const std::string& appId, const platform::Value& oldAppDictionary) {
    const platform::Bundle bundle = platform::Bundle::main();
    const platform::Dictionary info = bundle.infoDictionary();
    platform::Dictionary entry;

    if (auto path = getIconString()) {
        auto icon = readIcon(*path);
        if (!icon)
            icon = readIcon(bundle.bundlePath() + "/Icon.png");
        if (icon)
            entry.set("appIcon", std::move(*icon));
    }
    if (const std::string* identifier = info["CFBundleIdentifier"].getString())
        entry.set("appIdentifier", *identifier);
    if (const std::string* name = nonEmptyString(info["CFBundleDisplayName"]))
        entry.set("appName", *name);
    else if (const std::string* plain = info["CFBundleName"].getString())
        entry.set("appName", *plain);

    const std::string now = nowText();
    const std::string* first = oldAppDictionary["firstLaunchTime"].getString();
    entry.set("firstLaunchTime", first ? *first : now);
    entry.set("laststLaunchTime", now);
    entry.set("appID", appId);
    return entry;
}

void MMApiRegister::resetForTesting() {
    MMApiRegister& self = shareInstance();
    if (self.m_observing)
        platform::NotificationCenter::defaultCenter().removeObserver(&self);
    self.m_observing = false;
    self.m_refused.reset();
    self.m_saidTooLarge = false;
    cachedRetina().reset();
}

} // namespace messenger
