#include "push/PULSEReportKinds.h"

#include "push/PULSEBadgeNumberController.h"
#include "push/PULSEClientController.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSELocationInfoController.h"
#include "push/PULSELogging.h"
#include "push/PULSEPageFlow.h"
#include "push/PULSEUserDefaultsController.h"
#include "push/PULSEUtilities.h"

#include <cmath>

namespace push {

namespace {

constexpr std::uint8_t kStatisticsControlFlag = 1;

std::shared_ptr<PULSEFileCacheController> cacheStore() {
    return PULSEFileCacheController::shareInstanceWithType(PULSEFileCacheController::kCacheTypeCache);
}

// "itime", "session_id", "date", "time" and "timezone" of a session item.
platform::Dictionary sessionItem(const PULSEReportRequest& request, const char* type) {
    std::string date;
    std::string time;
    PULSEDateAndTimeStrings(request.reportTimeStamp(), date, time);
    return platform::Dictionary{
        {"type", type},
        {"itime", request.reportTimeStamp()},
        {"session_id", request.generateSessionId()},
        {"date", date},
        {"time", time},
        {"timezone", PULSETimeZoneOffset()},
    };
}

// The item goes when it differs (apart from "itime") from the one stored under the key; an equal one
// locks the request so that no request is made at all.
void appendWhenChanged(PULSEReportRequest& request, const platform::Dictionary& item, const char* key) {
    request.setContent(item);
    auto store = cacheStore();
    if (!store || !store->hasObjectForKey(key)) {
        request.reportContents().push_back(item);
        return;
    }
    const auto stored = store->objectForKey(key).toValue();
    const auto* last = stored ? stored->getDictionary() : nullptr;
    if (!last)
        return;
    const bool same = PULSEReportRequest::compareInfo(*last, item);
    if (!same)
        request.reportContents().push_back(item);
    request.setIsSendLock(same);
}

template <class Response, class... Extra>
void installResponse(PULSEReportRequest& request, PULSEReportRequest::ResponseBlock& block, Extra... extra) {
    std::weak_ptr<PULSEReportRequest> weak = request.weak_from_this();
    block = [weak, extra...](const std::optional<platform::URLResponse>& response, const platform::Bytes&,
                             const std::weak_ptr<PULSEHttpRequestDelegate>& delegate) -> std::shared_ptr<PULSEHttpResponse> {
        return std::make_shared<Response>(response, delegate, weak.lock(), extra...);
    };
}

platform::Value listOrEmptyText(const platform::Array& list) {
    return list.empty() ? platform::Value("") : platform::Value(list);
}

} // namespace

// ---- session start and end ----

PULSEUserLoginReportRequest::PULSEUserLoginReportRequest() {
    setReportType(1);
    setControlFlag(kStatisticsControlFlag);
}

bool PULSEUserLoginReportRequest::packData() {
    if (!PULSEReportRequest::packData())
        return false;
    auto item = sessionItem(*this, "active_launch");
    setContent(item);
    reportContents().push_back(std::move(item));
    return true;
}

PULSEUserActiveReportRequest::PULSEUserActiveReportRequest() {
    setReportType(2);
    setControlFlag(kStatisticsControlFlag);
}

void PULSEUserActiveReportRequest::setReportActives(const std::shared_ptr<PULSEPageFlow>& actives, double sessionStartTime,
                                                    double sessionCloseTime) {
    m_actives = actives ? actives->copy() : nullptr;
    m_sessionStartTime = sessionStartTime;
    m_sessionCloseTime = sessionCloseTime;
}

bool PULSEUserActiveReportRequest::packData() {
    if (!PULSEReportRequest::packData())
        return false;
    auto whole = [](double seconds) {
        return std::isfinite(seconds) && std::fabs(seconds) < 9.2e18 ? static_cast<std::int64_t>(seconds) : 0;
    };
    setReportTimeStamp(whole(m_sessionCloseTime));
    auto item = sessionItem(*this, "active_terminate");
    item.set("duration", whole(m_sessionCloseTime - m_sessionStartTime));
    item.set("activities", listOrEmptyText(m_actives ? m_actives->pageFlow() : platform::Array()));
    setContent(item);
    reportContents().push_back(std::move(item));
    return true;
}

// ---- device and location ----

PULSEUserDeviceReportRequest::PULSEUserDeviceReportRequest() {
    setReportType(3);
    setControlFlag(kStatisticsControlFlag);
}

bool PULSEUserDeviceReportRequest::packData() {
    if (!PULSEReportRequest::packData())
        return false;
    appendWhenChanged(*this, PULSEDeviceInfo(), kLastDeviceInfoKey);
    return true;
}

void PULSEUserDeviceReportRequest::setResponseBlock() {
    installResponse<PULSEStoredContentResponse>(*this, m_responseBlock, kLastDeviceInfoKey);
}

PULSELocationReportRequest::PULSELocationReportRequest() {
    setReportType(5);
    setControlFlag(kStatisticsControlFlag);
}

void PULSELocationReportRequest::setLocationInfoController(const PULSELocationInfoController& info) {
    m_locationInfoController = info.copy();
}

bool PULSELocationReportRequest::packData() {
    if (!PULSEReportRequest::packData())
        return false;
    const PULSELocationInfoController empty;
    const auto& info = m_locationInfoController ? *m_locationInfoController : empty;
    platform::Dictionary item{
        {"type", "loc_info"},
        {"itime", reportTimeStamp()},
        {"wifi", listOrEmptyText(info.wifiInfo())},
        {"cell", listOrEmptyText(info.cellInfo())},
        {"gps", listOrEmptyText(info.gpsInfo())},
    };
    appendWhenChanged(*this, item, kLastLocationKey);
    return true;
}

void PULSELocationReportRequest::setResponseBlock() {
    installResponse<PULSEStoredContentResponse>(*this, m_responseBlock, kLastLocationKey);
}

PULSEStoredContentResponse::PULSEStoredContentResponse(const std::optional<platform::URLResponse>& response,
                                                       std::weak_ptr<PULSEHttpRequestDelegate> delegate,
                                                       std::shared_ptr<PULSEReportRequest> request, const char* key)
    : PULSEReportResponse(response, std::move(delegate), std::move(request)), m_key(key) {}

void PULSEStoredContentResponse::handleReceipt() {
    PULSEReportResponse::handleReceipt();
    if (m_statusCode != 200 || !m_request)
        return;
    if (auto store = cacheStore())
        store->setObject(platform::Value(m_request->content()), m_key);
}

// ---- badge ----

PULSEBadgeNumberReportRequest::PULSEBadgeNumberReportRequest(std::weak_ptr<PULSEBadgeNumberController> controller)
    : m_controller(std::move(controller)) {
    setReportType(kReportType);
    setControlFlag(kStatisticsControlFlag);
}

std::optional<platform::URLRequest> PULSEBadgeNumberReportRequest::generateReportRequest() {
    auto& client = PULSEClientController::sharedClient();
    const auto& identity = client.userDefaults();
    const platform::Dictionary body{
        {"uid", static_cast<std::int64_t>(client.uid())},
        {"platform", "i"},
        {"app_key", identity ? identity->appKey() : std::string()},
        {"itime", reportTimeStamp()},
        {"content", platform::Dictionary{{"badge", m_badgeCount < 0 ? 0 : m_badgeCount}}},
    };
    auto packet = PULSEJSONData(platform::Value(body));
    if (!packet || packet->empty()) {
        PULSE_LOG_ERROR("http report packet too short");
        return std::nullopt;
    }
    setBodyData(std::move(*packet));
    setResponseBlock();
    platform::URLRequest request(PULSEEndpoints::shared().userURL, platform::URLRequestCachePolicy::UseProtocolCachePolicy, kTimeout);
    request.setHTTPMethod("POST");
    (void)request.setValue("text/plain", "Content-Type");
    (void)request.setValue("application/json", "Accept");
    (void)request.setValue(p_generateRequestHead(), "Authorization");
    request.setHTTPBody(bodyData());
    return request;
}

void PULSEBadgeNumberReportRequest::setResponseBlock() { installResponse<PULSEBadgeNumberReportResponse>(*this, m_responseBlock); }

bool PULSEBadgeNumberReportRequest::isSendRequestLock() const {
    auto controller = m_controller.lock();
    if (!controller || controller->badgeReport().get() != this)
        return true;
    return controller->isSendingLock();
}

void PULSEBadgeNumberReportRequest::setIsSendRequestLock(bool lock) {
    // An answer to a report that is no longer current must not unlock the current one.
    if (auto controller = m_controller.lock(); controller && controller->badgeReport().get() == this)
        controller->setIsSendingLock(lock);
}

bool PULSEBadgeNumberReportRequest::startDelaySend() {
    if (auto controller = m_controller.lock())
        controller->startDelaySendBadge(std::static_pointer_cast<PULSEBadgeNumberReportRequest>(shared_from_this()));
    return true;
}

void PULSEBadgeNumberReportResponse::handleReceipt() {
    auto request = std::dynamic_pointer_cast<PULSEBadgeNumberReportRequest>(m_request);
    if (!request)
        return;
    const long badge = static_cast<long>(request->badgeCount());
    bool keep = true;
    switch (m_statusCode) {
    case 200: PULSE_LOG_INFO("set badge:%ld succeed", badge); keep = false; break;
    case 400: PULSE_LOG_INFO("send badge:%ld parameter validate failed!", badge); keep = false; break;
    case 401: PULSE_LOG_INFO("send badge:%ld parameter check failed!", badge); keep = false; break;
    case 500: PULSE_LOG_INFO("warning:badge:%ld inner error failed", badge); break;
    default: PULSE_LOG_INFO("warning:badge:%ld default error:%ld", badge, static_cast<long>(m_statusCode)); break;
    }
    if (auto controller = request->controller().lock())
        controller->stopDelayTimer(keep, request);
}

} // namespace push
