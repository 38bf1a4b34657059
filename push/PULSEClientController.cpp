#include "push/PULSEClientController.h"

#include "push/PULSECrashLog.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSEHttpSessionController.h"
#include "push/PULSEBadgeNumberController.h"
#include "push/PULSELocationInfoController.h"
#include "push/PULSELogging.h"
#include "push/PULSEMessageCenter.h"
#include "push/PULSENetworkController.h"
#include "push/PULSEPageFlow.h"
#include "push/PULSESessionRequests.h"
#include "push/PULSETagAlias.h"
#include "push/PULSEUDPReport.h"
#include "push/PULSEUtilities.h"

#include "push/PULSEPushConfigController.h"
#include "push/PULSEUserDefaultsController.h"

#include "platform/device/Reachability.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"
#include "platform/system/UserDefaults.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace push {

namespace {

// Until the network controller installs its reachability: the platform's view of the network in general.
int platformNetworkStatus() {
    auto reachability = platform::Reachability::createWithAddress("0.0.0.0");
    platform::ReachabilityFlags flags = 0;
    if (!reachability || !reachability->getFlags(flags) || !(flags & platform::kReachabilityFlagsReachable))
        return 0;
    return (flags & platform::kReachabilityFlagsIsWWAN) ? 3 : 2;
}

std::unique_ptr<PULSEClientController>& sharedSlot() {
    static auto* slot = new std::unique_ptr<PULSEClientController>; // lives for the process
    return *slot;
}

// Calls a source outside the lock that guards it (a source may take time or call back into the client).
template <class R>
R callSource(std::mutex& mutex, const std::function<R()>& slot) {
    std::function<R()> source;
    {
        std::lock_guard lock(mutex);
        source = slot;
    }
    return source ? source() : R{};
}

std::mutex& sharedSlotMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

PULSEClientController::PULSEClientController()
    : m_pulseThreadManager(PULSEThreadController::shareThreadInstance()), m_networkStatusSource(platformNetworkStatus) {}

PULSEClientController::~PULSEClientController() {
    // The check timer calls into this hub; the network controller gives the network-status source back
    // while the hub is still whole.
    stopDeviceTokenUpdatedCheckTimer();
    m_networkService.reset();
}

PULSEClientController& PULSEClientController::sharedClient() {
    std::lock_guard lock(sharedSlotMutex());
    auto& slot = sharedSlot();
    if (!slot)
        slot.reset(new PULSEClientController);
    return *slot;
}

void PULSEClientController::resetForTesting() {
    std::unique_ptr<PULSEClientController> old;
    {
        std::lock_guard lock(sharedSlotMutex());
        old = std::move(sharedSlot());
    }
}

std::string PULSEClientController::pushChannel() const {
    // The channel belongs to the push configuration, which the set-up installs.
    return m_pushConfig ? m_pushConfig->pushChanel() : std::string();
}

void PULSEClientController::setCrashLogON() {
    if (m_isReportCrash)
        return;
    m_isReportCrash = true;
    PULSEInstallCrashHandlers();
}

void PULSEClientController::removeCrashReport() { PULSERemoveCrashHandlers(); }

std::uint64_t PULSEClientController::getRId(int kind) {
    if (auto session = requestSession())
        return session->getRId(kind);
    m_plainRId += 2;
    return m_plainRId - 1;
}

std::uint32_t PULSEClientController::sessionID() const {
    auto session = requestSession();
    return session ? session->sessionID() : 0;
}

std::uint64_t PULSEClientController::uid() const {
    return m_userDefaults ? m_userDefaults->uid() : 0;
}

int PULSEClientController::currentNetworkStatus() const {
    return callSource(m_sourcesMutex, m_networkStatusSource);
}

void PULSEClientController::setNetworkStatusSource(NetworkStatusSource source) {
    std::lock_guard lock(m_sourcesMutex);
    m_networkStatusSource = source ? std::move(source) : NetworkStatusSource(platformNetworkStatus);
}

std::int32_t PULSEClientController::proofTimeInterval() const {
    return callSource(m_sourcesMutex, m_serverTimeOffsetSource);
}

void PULSEClientController::setServerTimeOffsetSource(ServerTimeOffsetSource source) {
    std::lock_guard lock(m_sourcesMutex);
    m_serverTimeOffsetSource = std::move(source);
}

} // namespace push

// ---- the client's life ----

namespace push {

namespace {

constexpr const char* kNoDeviceTokenWarning =
    "Not get deviceToken yet. Maybe: your certificate not configured APNs? or current network is not so good so "
    "APNs registration failed?  or there is no APNs register code? Please refer to Pulse docs.";
// Provisioning profiles are a few kilobytes; anything far larger is not one.
constexpr std::uintmax_t kMaxProfileBytes = 1 << 20;

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive (ASCII) search; npos when absent.
std::size_t findNoCase(std::string_view text, std::string_view word, std::size_t from = 0) {
    if (word.size() > text.size())
        return std::string_view::npos;
    for (std::size_t i = from; i + word.size() <= text.size(); ++i) {
        std::size_t j = 0;
        while (j < word.size() && lowerAscii(text[i + j]) == lowerAscii(word[j]))
            ++j;
        if (j == word.size())
            return i;
    }
    return std::string_view::npos;
}

// A profile's bytes; each is one ISO Latin-1 character, so positions count characters.
std::optional<std::string> readProfile(std::string path) {
    if (path.rfind("file://", 0) == 0)
        path.erase(0, 7);
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > kMaxProfileBytes)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        return std::nullopt;
    return bytes;
}

// The integer a payload value stands for: numbers as themselves, texts by their leading digits, else 0.
std::int64_t integerOf(const platform::Value* value) {
    if (!value)
        return 0;
    if (const auto* integer = value->getInteger())
        return *integer;
    if (const auto* real = value->getDouble())
        return std::isfinite(*real) && std::fabs(*real) < 9.2e18 ? static_cast<std::int64_t>(*real) : 0;
    if (const auto* text = value->getString())
        return std::strtoll(text->c_str(), nullptr, 10);
    return 0;
}

std::uint64_t unsignedOf(const platform::Value* value) {
    if (value) {
        if (const auto* text = value->getString()) {
            const char* start = text->c_str();
            while (*start == ' ')
                ++start;
            return *start == '-' ? 0 : std::strtoull(start, nullptr, 10);
        }
    }
    return static_cast<std::uint64_t>(integerOf(value));
}

} // namespace

void PULSEClientController::setup() {
    PULSE_LOG_INFO("Action - setup");
    if (m_bundleIdentifier.empty()) {
        PULSE_LOG_ERROR("no bundle id set");
        return;
    }
    PULSEFileCacheController::startShareInstance("PULSEDocument", 1, true)->setAutoSynchronizeEnable(false);
    PULSEFileCacheController::startShareInstance("PULSEJSON", 0, false);
    m_clientNotificationCenter = std::make_shared<platform::NotificationCenter>();
    m_tagAliasMng = std::make_shared<PULSETagAlias>();
    m_messageCenter = std::make_shared<PULSEMessageCenter>();
    m_pageFlowController = std::make_shared<PULSEPageFlowSession>();
    loadApsEnvironment();
    m_userDefaults = std::make_shared<PULSEUserDefaultsController>(
        m_bundleIdentifier, m_pushConfig ? m_pushConfig->applicationKey() : std::string());
    m_networkService = PULSENetworkController::create();
    m_networkService->reportSession()->locationInfoChangeViaNetworkState(m_networkService->currentNetworkStatus());
    m_pageFlowController->trySetupSession();
    m_deviceTokenStatusCheckTimes = kDeviceTokenChecks;
    startDeviceTokenUpdatedCheckTimer();
    reportLaunch(PULSECorrectedTime());
    UDPReportAPNSState();
}

void PULSEClientController::close() {
    stopDeviceTokenUpdatedCheckTimer();
    m_networkService.reset();
    m_userDefaults.reset();
    m_pushConfig.reset();
    m_messageCenter.reset();
    m_pageFlowController.reset();
}

void PULSEClientController::loadApsEnvironment() {
    m_apsEvironment = 0;
    if (!m_emProvisionUrl) {
        PULSE_LOG_ERROR("load aps evi error, no em provision url");
        m_apsEvironment = -1;
        return;
    }
    const auto profile = readProfile(*m_emProvisionUrl);
    if (!profile) {
        m_apsEvironment = -2;
        return;
    }
    const std::string_view text = *profile;
    const std::size_t position = findNoCase(text, "aps-environment");
    if (position == std::string_view::npos) {
        m_apsEvironment = -3;
        return;
    }
    const std::string_view window = text.substr(position, 100);
    const std::size_t end = findNoCase(window, "</string>");
    const std::string_view entry = end == std::string_view::npos ? text.substr(position, 50) : window.substr(0, end);
    if (findNoCase(entry, "development") != std::string_view::npos)
        m_apsEvironment = 1;
    else if (findNoCase(entry, "production") != std::string_view::npos)
        m_apsEvironment = 2;
    else
        m_apsEvironment = -4;
}

std::string PULSEClientController::stringWithDeviceToken(const std::string& tokenBytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(tokenBytes.size() * 2);
    for (unsigned char byte : tokenBytes) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0x0f]);
    }
    return hex;
}

void PULSEClientController::updateDeviceToken(const std::string& tokenBytes) {
    if (m_deviceTokenUpdated) {
        PULSE_LOG_WARN("Pulse WARN device token should NOT be updated for multi times");
        return;
    }
    stopDeviceTokenUpdatedCheckTimer();
    m_deviceTokenUpdated = true;
    if (m_userDefaults)
        m_userDefaults->setCurrentDeviceToken(stringWithDeviceToken(tokenBytes));
    if (m_networkService)
        m_networkService->trySetupSession();
    std::make_shared<PULSEDeviceTokenReportRequest>()->send();
}

void PULSEClientController::startDeviceTokenUpdatedCheckTimer() {
    stopDeviceTokenUpdatedCheckTimer();
    m_deviceTokenStatusCheckTimer = platform::RunLoop::current().scheduleRepeatingTimer(
        platform::seconds(kDeviceTokenCheckInterval), [this](platform::Timer&) { checkDeviceTokenUpdated(); });
}

void PULSEClientController::stopDeviceTokenUpdatedCheckTimer() {
    if (auto timer = m_deviceTokenStatusCheckTimer.lock())
        timer->invalidate();
    m_deviceTokenStatusCheckTimer.reset();
}

void PULSEClientController::checkDeviceTokenUpdated() {
    if (m_deviceTokenUpdated || m_deviceTokenStatusCheckTimes < 1) {
        stopDeviceTokenUpdatedCheckTimer();
        return;
    }
    --m_deviceTokenStatusCheckTimes;
    PULSE_LOG_WARN("%s\n", kNoDeviceTokenWarning);
}

std::optional<std::string> PULSEClientController::readRegistrationID() const {
    if (!m_userDefaults)
        return std::nullopt;
    if (const std::string* stored = m_userDefaults->infoDictionary()[PULSEUserDefaultsController::kRegistrationIdKey].getString();
        stored && !stored->empty())
        return *stored;
    if (const auto& id = m_userDefaults->registrationID(); id && !id->empty())
        return id;
    return std::nullopt;
}

std::shared_ptr<PULSEHttpSessionController> PULSEClientController::httpSession() const {
    return m_networkService ? m_networkService->reportSession() : nullptr;
}

void PULSEClientController::handleRemoteNotification(const platform::Value& codeAndPayload) {
    const platform::Array* array = codeAndPayload.getArray();
    if (!array || array->empty())
        return;
    const auto code = static_cast<std::uint16_t>(integerOf(&(*array)[0]));
    const platform::Value* payload = array->size() > 1 ? &(*array)[1] : nullptr;
    const platform::Dictionary* fields = payload ? payload->getDictionary() : nullptr;
    const platform::Value* messageId = fields ? fields->find("_p_msgid") : nullptr;
    const platform::Value* flag = fields ? fields->find("_p_flag") : nullptr;
    auto session = httpSession();
    if (!session)
        return;
    session->reportMsgStatus(code, unsignedOf(messageId), flag ? static_cast<std::int32_t>(integerOf(flag)) : -10000);
}

void PULSEClientController::reportLaunch(double time) {
    m_becomeActiveTime = std::floor(time);
    if (auto session = httpSession())
        session->prepareActive(time);
}

void PULSEClientController::reportInactive(double time) {
    if (auto session = httpSession())
        session->reportInactive(time);
}

void PULSEClientController::UDPReportAPNSState() { std::make_shared<PULSEAPNSStateReport>()->send(); }

void PULSEClientController::onDidBecomeActive() {
    if (m_networkService)
        m_networkService->onResumeFromInactive();
}

void PULSEClientController::onEnterBackground() {
    if (m_networkService)
        m_networkService->onEnterBackground();
}

void PULSEClientController::setTagAlias(const std::shared_ptr<PULSESetTagAliasArg>& arg) {
    if (m_tagAliasMng && arg)
        m_tagAliasMng->setTagsAlias(arg);
}

void PULSEClientController::setBadgeNumberReport(std::int64_t badge) {
    if (auto session = httpSession(); session && session->badgeNumberManager())
        session->badgeNumberManager()->setBadge(badge);
}

static bool checkPageName(const std::optional<std::string>& name) {
    if (name)
        return true;
    PULSE_LOG_ERROR("参数错误，pageName不能为空");
    return false;
}

void PULSEClientController::setViewStart(const std::optional<std::string>& name) {
    if (m_pageFlowController && checkPageName(name))
        m_pageFlowController->setViewStart(name);
}

void PULSEClientController::setViewStop(const std::optional<std::string>& name) {
    if (m_pageFlowController && checkPageName(name))
        m_pageFlowController->setViewStop(name);
}

void PULSEClientController::setViewLogSecond(const platform::Array& view) {
    if (m_pageFlowController)
        m_pageFlowController->setViewLogSecond(view);
}

void PULSEClientController::setLatitude(const platform::Value& location) {
    if (auto session = httpSession(); session && session->locationInfo())
        session->locationInfo()->addGpsInfo(location);
}

void PULSEClientController::synchronizeData() {
    if (m_userDefaults)
        m_userDefaults->synchronize();
    if (auto written = platform::UserDefaults::standard().synchronize(); !written)
        PULSE_LOG_WARN("standard defaults not written: %s", written.error().localizedDescription().c_str());
}

} // namespace push
