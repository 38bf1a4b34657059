#include "push/PULSEHttpSessionController.h"

#include "push/PULSEBadgeNumberController.h"
#include "push/PULSEClientController.h"
#include "push/PULSECrashLog.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSELocationInfoController.h"
#include "push/PULSELogging.h"
#include "push/PULSEMessageCenter.h"
#include "push/PULSEPageFlow.h"
#include "push/PULSEReportCacheController.h"
#include "push/PULSEReportKinds.h"
#include "push/PULSESessionController.h"
#include "push/PULSEUserDefaultsController.h"
#include "push/PULSEUtilities.h"

#include "platform/runloop/RunLoop.h"

#include <cinttypes>
#include <cmath>

namespace push {

namespace {

// A stored number as a whole number; anything else (absent, another type, not finite) is 0.
std::int64_t wholeNumber(const platform::ArchiveValue& value) {
    if (const auto* integer = value.getInteger())
        return *integer;
    if (const auto* real = value.getDouble(); real && std::isfinite(*real) && std::fabs(*real) < 9.2e18)
        return static_cast<std::int64_t>(*real);
    return 0;
}

std::int64_t truncated(double seconds) {
    return std::isfinite(seconds) && std::fabs(seconds) < 9.2e18 ? static_cast<std::int64_t>(seconds) : 0;
}

std::shared_ptr<PULSESessionController> tcpSession() {
    return std::dynamic_pointer_cast<PULSESessionController>(PULSEClientController::sharedClient().requestSession());
}

} // namespace

std::shared_ptr<PULSEHttpSessionController> PULSEHttpSessionController::create() {
    std::shared_ptr<PULSEHttpSessionController> session(new PULSEHttpSessionController());
    session->m_badgeNumberManager = std::make_shared<PULSEBadgeNumberController>();
    session->resumeSession();
    session->resumeTimer();
    session->foldCrashRecords();
    session->m_isSetup = true;
    auto& client = PULSEClientController::sharedClient();
    client.setReportSession(session);
    client.setReportCache(session->m_reportCache);
    return session;
}

PULSEHttpSessionController::PULSEHttpSessionController()
    : m_fileCache(PULSEFileCacheController::startShareInstance(PULSEFileCacheController::kCacheFileName,
                                                               PULSEFileCacheController::kCacheTypeCache, false)),
      m_deviceCheck{kDeviceInterval, kCheckTimeKey, true, &PULSEHttpSessionController::reportDeviceInfo, nullptr},
      m_crashCheck{kCrashInterval, kCrashTimerKey, false, &PULSEHttpSessionController::reportCrashLog, nullptr},
      m_locationCheck{kLocationInterval, kLocationTimerKey, true, &PULSEHttpSessionController::reportLocation, nullptr} {}

PULSEHttpSessionController::~PULSEHttpSessionController() {
    p_closeTimer();
    if (m_reportCache)
        m_reportCache->setSyncBlock(nullptr);
}

// ---- restoring and saving ----

void PULSEHttpSessionController::makeReportCache(std::shared_ptr<PULSEReportCacheController> cache) {
    m_reportCache = cache ? std::move(cache) : std::make_shared<PULSEReportCacheController>();
    std::weak_ptr<PULSEReportCacheController> weakCache = m_reportCache;
    std::weak_ptr<PULSEFileCacheController> weakStore = m_fileCache;
    // Runs with the cache's lock held: it reads the cache and writes the store, nothing else.
    m_reportCache->setSyncBlock([weakCache, weakStore] {
        auto cache = weakCache.lock();
        auto store = weakStore.lock();
        if (cache && store)
            store->setObject(platform::Value(cache->encodeWithCoder()), kHistoryCacheKey);
    });
}

void PULSEHttpSessionController::resumeSession() {
    const auto stored = m_fileCache ? m_fileCache->objectForKey(kHistoryCacheKey).toValue() : std::nullopt;
    const auto* archive = stored ? stored->getDictionary() : nullptr;
    makeReportCache(archive ? std::make_shared<PULSEReportCacheController>(*archive) : nullptr);
    m_reportCache->resetCache();

    auto location = m_fileCache ? m_fileCache->objectForKey(kLocationLogKey).objectOfClass<PULSELocationInfoController>() : nullptr;
    m_locationInfo = location ? location : std::make_shared<PULSELocationInfoController>();

    const std::int64_t start = m_fileCache ? wholeNumber(m_fileCache->objectForKey(kStartTimeKey)) : 0;
    m_startTime = static_cast<double>(start);
    if (start <= 0)
        m_startTime = PULSECorrectedTime();
    else
        m_closeTime = static_cast<double>(wholeNumber(m_fileCache->objectForKey(kLeftTimeKey)));
}

void PULSEHttpSessionController::resumeTimer() {
    for (Check* check : {&m_deviceCheck, &m_crashCheck, &m_locationCheck})
        check->last = m_fileCache ? static_cast<double>(wholeNumber(m_fileCache->objectForKey(check->key))) : 0;
}

void PULSEHttpSessionController::saveSessionWithTime(double time) {
    m_closeTime = time;
    if (m_fileCache) {
        m_fileCache->setObject(time, kLeftTimeKey);
        m_fileCache->setObject(m_startTime, kStartTimeKey);
    }
    saveCheckTimer();
}

void PULSEHttpSessionController::saveCheckTimer() {
    for (const Check* check : {&m_deviceCheck, &m_crashCheck, &m_locationCheck})
        storeCheckTime(*check);
}

void PULSEHttpSessionController::storeCheckTime(const Check& check) {
    if (m_fileCache)
        m_fileCache->setObject(check.last, check.key);
}

void PULSEHttpSessionController::serialize() {
    if (m_fileCache)
        m_fileCache->synchronize();
}

void PULSEHttpSessionController::foldCrashRecords() {
    if (!m_fileCache)
        return;
    const double crashTime = PULSEFoldCrashRecords(*m_fileCache);
    // The crashed run never went inactive: its session ends at the crash, so its end report still comes.
    if (crashTime > m_closeTime && crashTime >= m_startTime && m_fileCache->hasObjectForKey(kStartTimeKey)) {
        m_closeTime = crashTime;
        m_fileCache->setObject(crashTime, kLeftTimeKey);
    }
}

// ---- usage sessions ----

void PULSEHttpSessionController::trySetupSession() { setupSession(PULSECorrectedTime()); }

void PULSEHttpSessionController::setupSession(double time) {
    PULSE_LOG_DEBUG("Action - setupSession");
    if (m_isSetup)
        return;
    m_isSetup = true;
    m_startTime = time;
    if (!m_reportCache)
        makeReportCache(nullptr);
    if (const auto& pages = PULSEClientController::sharedClient().pageFlowController())
        pages->setupSession();
}

void PULSEHttpSessionController::closeSession() {
    if (!m_isSetup)
        return;
    reportLaunch();
    reportActive(m_startTime, m_closeTime);
    if (const auto& pages = PULSEClientController::sharedClient().pageFlowController())
        pages->closeSession();
    m_isSetup = false;
    m_closeTime = 0;
    m_startTime = 0;
}

void PULSEHttpSessionController::prepareActive(double time) {
    if (const auto& pages = PULSEClientController::sharedClient().pageFlowController())
        pages->resetCurrentPage(time);
    m_badgeNumberManager->becomeActive();
    if (m_closeTime > 0) {
        // 1e20 as the single-precision constant it was written as.
        const double limit = static_cast<double>(1e20f);
        const double away = time - m_closeTime;
        if (time - m_startTime > limit || away > kSessionGap || away < 0) {
            closeSession();
            setupSession(time);
        }
        m_closeTime = 0;
    } else {
        reportLaunch();
    }
    p_startTimer();
}

void PULSEHttpSessionController::reportInactive(double time) {
    if (const auto& pages = PULSEClientController::sharedClient().pageFlowController())
        pages->savePageFlowWithTime(time);
    m_badgeNumberManager->willInactive();
    saveSessionWithTime(time);
    p_closeTimer();
    if (m_fileCache) {
        m_fileCache->setObject(platform::ArchiveValue(m_locationInfo), kLocationLogKey);
        m_fileCache->setObject(platform::Value(m_reportCache->encodeWithCoder()), kHistoryCacheKey);
    }
}

// ---- reports ----

void PULSEHttpSessionController::reportLaunch() { std::make_shared<PULSEUserLoginReportRequest>()->send(); }

void PULSEHttpSessionController::reportActive(double sessionStartTime, double sessionCloseTime) {
    auto report = std::make_shared<PULSEUserActiveReportRequest>();
    const auto& pages = PULSEClientController::sharedClient().pageFlowController();
    report->setReportActives(pages ? pages->currentFlow() : nullptr, sessionStartTime, sessionCloseTime);
    report->send();
}

void PULSEHttpSessionController::reportDeviceInfo() { std::make_shared<PULSEUserDeviceReportRequest>()->send(); }

void PULSEHttpSessionController::reportCrashLog() {
    if (!PULSEClientController::sharedClient().isReportCrash() || !m_fileCache)
        return;
    const auto stored = m_fileCache->objectForKey(kCrashLogKey);
    const auto* entries = stored.getSet();
    if (!entries || entries->empty())
        return;
    std::make_shared<PULSECrashHandlerReportRequest>()->send();
}

void PULSEHttpSessionController::reportLocation() {
    if (m_locationInfo->count() == 0 && m_locationInfo->wifiInfo().empty() && m_locationInfo->cellInfo().empty() &&
        m_locationInfo->gpsInfo().empty())
        return;
    auto report = std::make_shared<PULSELocationReportRequest>();
    report->setLocationInfoController(*m_locationInfo);
    report->send();
    m_locationInfo->clearAllInfo();
    if (m_fileCache)
        m_fileCache->setObject(platform::ArchiveValue(m_locationInfo), kLocationLogKey);
}

void PULSEHttpSessionController::reportMsgStatus(std::uint16_t type, std::uint64_t messageID, std::int32_t flag) {
    auto report = std::make_shared<PULSEMessageReportRequest>();
    report->setActiveType(type, messageID == 0 ? std::string() : std::to_string(messageID), flag);
    report->send();
}

// ---- sending ----

bool PULSEHttpSessionController::mayGoNow() const {
    auto& client = PULSEClientController::sharedClient();
    const auto& identity = client.userDefaults();
    auto session = tcpSession();
    return identity && !identity->appKey().empty() && client.uid() != 0 && session && session->isLogin();
}

void PULSEHttpSessionController::sendHttpReport(const std::shared_ptr<PULSEReportRequest>& request) {
    if (!request)
        return;
    if ((request->validRequired() || request->loginRequired()) && !mayGoNow()) {
        if (m_httpBlockedQueue.size() >= kMaxBlockedRequests)
            m_httpBlockedQueue.pop_front();
        m_httpBlockedQueue.push_back(request);
        return;
    }
    if (request->reportFlag()) {
        PULSE_LOG_DEBUG("report flag %s is in sending state, do not send it again", request->reportFlag()->c_str());
        return;
    }
    doSendHttpReport(request);
}

void PULSEHttpSessionController::sendAllBlockedHttpReports() {
    auto blocked = std::move(m_httpBlockedQueue);
    m_httpBlockedQueue.clear();
    for (const auto& request : blocked)
        doSendHttpReport(request);
}

void PULSEHttpSessionController::doSendHttpReport(const std::shared_ptr<PULSEReportRequest>& request) {
    const auto urlRequest = request->generateReportRequest();
    if (!urlRequest)
        return;
    char flag[48];
    std::snprintf(flag, sizeof flag, "%llu:%llu",
                  static_cast<unsigned long long>(PULSEClientController::sharedClient().getRId(0)),
                  static_cast<unsigned long long>(truncated(PULSECurrentTime())));
    m_reportFlag = flag;
    request->setReportFlag(m_reportFlag);
    const auto type = static_cast<std::int64_t>(static_cast<std::int32_t>(request->reportType()));
    auto exchange = PULSEHttpRequest::create(weak_from_this(), request, getDefaultAddress(type), getBackUpAddress(type));
    exchange->send(*urlRequest);
    if (request->hasSubpackage()) {
        PULSE_LOG_DEBUG("report beyond limit size, send subPackage");
        auto rest = std::make_shared<PULSEReportRequest>();
        rest->reportContents() = request->reportContents();
        rest->send();
    }
}

std::string PULSEHttpSessionController::getDefaultAddress(std::int64_t reportType) const {
    if (reportType <= 9)
        return PULSEEndpoints::shared().statisticsURL;
    if (reportType <= 19)
        return PULSEEndpoints::shared().userURL;
    return {};
}

std::string PULSEHttpSessionController::getBackUpAddress(std::int64_t reportType) const {
    if (reportType > 19)
        return {};
    auto session = tcpSession();
    const auto& addresses = session ? session->addressController() : nullptr;
    const auto& identity = PULSEClientController::sharedClient().userDefaults();
    std::optional<std::string> address;
    if (reportType <= 9) {
        if (addresses)
            address = addresses->httpReportAddress();
        if ((!address || address->empty()) && identity)
            address = identity->backupHttpReportAddress();
    } else {
        if (addresses)
            address = addresses->userReportAddress();
        if ((!address || address->empty()) && identity)
            address = identity->backupUserReportAddress();
    }
    return address.value_or(std::string());
}

void PULSEHttpSessionController::didReceivedHttpFeedback(const std::shared_ptr<PULSEHttpResponse>& response) {
    if (response)
        response->handleReceipt();
}

void PULSEHttpSessionController::didNotReceivedFromRequest(const std::shared_ptr<PULSEReportRequest>& request,
                                                           const std::string& reportFlag, const platform::Error& error) {
    if (!request)
        return;
    const auto type = request->reportType();
    if (type <= 10) {
        if (!request->isResend())
            m_reportCache->changeSendingObjectFailedForKey(reportFlag);
        PULSE_LOG_ERROR("http上报错误:%s", getHttpNetworkErrorStringWith(static_cast<long>(error.code)).c_str());
    } else if (type == PULSEBadgeNumberReportRequest::kReportType) {
        if (auto badge = std::dynamic_pointer_cast<PULSEBadgeNumberReportRequest>(request))
            PULSE_LOG_INFO("设置badge:%ld 错误:%ld", static_cast<long>(badge->badgeCount()), static_cast<long>(error.code));
    }
}

std::string PULSEHttpSessionController::getHttpNetworkErrorStringWith(long code) {
    switch (code) {
    case 1: return "找不到服务器主机";
    case 2: return "主机未知错误";
    case -1014: return "请求资源0字节";
    case -1013: return "需要用户验证信息";
    case -1012: return "用户取消验证";
    case -1011: return "错误的服务器响应";
    case -1010: return "跳转到不存在的地址";
    case -1009: return "设备没有连接到网络";
    case -1008: return "请求资源不存在";
    case -1007: return "连接地址跳转过多";
    case -1006: return "DNS解析失败";
    case -1005: return "网络连接丢失";
    case -1004: return "无法连接到主机";
    case -1003: return "找不到主机";
    case -1002: return "不支持的URL";
    case -1001: return "连接超时";
    case -1000: return "错误的URL地址";
    case -999: return "请求被取消";
    case -998: return "未知错误";
    default: return std::to_string(code);
    }
}

// ---- network facts ----

void PULSEHttpSessionController::locationInfoChangeViaNetworkState(int status) {
    PULSE_LOG_DEBUG("network state changed: %d", status);
    PULSERefreshCrashRecord(status);
    if (status == kPULSEReachableViaWiFi)
        m_locationInfo->addWifiInfo(platform::Dictionary{{"mac_address", PULSEWiFiBSSID()}, {"ssid", PULSEWiFiSSID()}});
    else if (status == kPULSEReachableViaWWAN)
        m_locationInfo->addCellInfo(
            platform::Dictionary{{"mobile_network_code", PULSEMobileNetworkCode()}, {"mobile_country_code", PULSEMobileCountryCode()}});
}

// ---- periodic checks ----

void PULSEHttpSessionController::p_startTimer() {
    startCheck(m_crashCheck);
    startCheck(m_deviceCheck);
    startCheck(m_locationCheck);
}

void PULSEHttpSessionController::p_closeTimer() {
    for (Check* check : {&m_crashCheck, &m_deviceCheck, &m_locationCheck}) {
        if (check->timer)
            check->timer->invalidate();
        check->timer.reset();
    }
}

void PULSEHttpSessionController::startCheck(Check& check) {
    if (check.timer)
        check.timer->invalidate();
    check.timer.reset();
    const double now = PULSECorrectedTime();
    if (check.last == 0 && m_fileCache)
        check.last = static_cast<double>(static_cast<std::int32_t>(wholeNumber(m_fileCache->objectForKey(check.key))));
    if (check.last == 0) {
        if (check.reportWhenNew)
            (this->*check.report)();
        check.last = now;
        storeCheckTime(check);
    }
    std::int64_t elapsed = truncated(now - check.last);
    // Taken as unsigned: a clock that went back counts as a check long overdue.
    if (static_cast<std::uint64_t>(elapsed) >= static_cast<std::uint64_t>(check.interval)) {
        (this->*check.report)();
        check.last = now;
        storeCheckTime(check);
        elapsed = 0;
    }
    std::weak_ptr<PULSEHttpSessionController> weak = weak_from_this();
    Check* fired = &check;
    check.timer = platform::RunLoop::current().scheduleTimer(platform::seconds(check.interval - static_cast<double>(elapsed)),
                                                             [weak, fired] {
                                                                 if (auto self = weak.lock())
                                                                     self->fireCheck(*fired);
                                                             });
}

void PULSEHttpSessionController::fireCheck(Check& check) {
    const double now = PULSECorrectedTime();
    if (&check == &m_deviceCheck) {
        const bool neverAccepted = !m_fileCache || !m_fileCache->hasObjectForKey(PULSEUserDeviceReportRequest::kLastDeviceInfoKey);
        if (now - check.last >= check.interval || neverAccepted) {
            check.last = now;
            storeCheckTime(check);
            startCheck(check);
            reportDeviceInfo();
        }
        return;
    }
    if (m_fileCache)
        m_fileCache->removeObjectForKey(check.key);
    if (now - check.last >= check.interval) {
        check.last = now;
        storeCheckTime(check);
        startCheck(check);
        (this->*check.report)();
    }
}

} // namespace push
