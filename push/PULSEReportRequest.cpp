#include "push/PULSEReportRequest.h"

#include "push/PULSEClientController.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSELogging.h"
#include "push/PULSEReportCacheController.h"
#include "push/PULSEUserDefaultsController.h"
#include "push/PULSEUtilities.h"

#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"

#include <cinttypes>
#include <cmath>

namespace push {

namespace {

std::size_t jsonSize(const platform::Value& value) {
    const auto data = PULSEJSONData(value);
    return data ? data->size() : 0;
}

std::string realContentsText(const PULSEReportRequest& request) {
    return platform::Value(request.realContents()).description();
}

// A time stamp of exactly ten decimal digits, read as a signed 32-bit integer.
bool hasTenDigitTime(const platform::Dictionary& item) {
    const platform::Value* itime = item.find("itime");
    if (!itime)
        return false;
    std::int64_t seconds = 0;
    if (const auto* integer = itime->getInteger())
        seconds = *integer;
    else if (const auto* real = itime->getDouble(); real && std::isfinite(*real) && std::fabs(*real) < 1e18)
        seconds = static_cast<std::int64_t>(*real);
    else
        return false;
    const auto truncated = static_cast<std::int32_t>(seconds);
    return truncated >= 1'000'000'000;
}

std::shared_ptr<PULSEReportCacheController> reportCache() { return PULSEClientController::sharedClient().reportCache(); }

} // namespace

// ---- the request ----

PULSEReportRequest::PULSEReportRequest() : m_reportTimeStamp(static_cast<std::int64_t>(PULSECorrectedTime())) {}

bool PULSEReportRequest::packData() { return !m_packetValueData.has_value(); }

std::optional<platform::Bytes> PULSEReportRequest::packetData() {
    if (m_packetValueData)
        return m_packetValueData;
    auto& client = PULSEClientController::sharedClient();
    const auto& identity = client.userDefaults();
    m_hasSubpackage = false;
    m_reportBody = platform::Dictionary{
        {"platform", "i"},
        {"uid", static_cast<std::int64_t>(client.uid())},
        {"sdk_ver", PULSESDKVersion()},
        {"app_key", identity ? identity->appKey() : std::string()},
    };

    // History: what earlier requests could not deliver rides along.
    platform::Dictionary taken;
    if (auto cache = reportCache()) {
        PULSEReportCacheController history(*cache);
        history.PULSEEnumerateObjectsUsingBlock([&](const std::string& flag, const platform::Value& value, bool&) {
            if (value.isDictionary()) {
                m_reportContents.push_back(value);
            } else if (const auto* set = value.getArray()) {
                for (const auto& item : *set)
                    if (item.isDictionary())
                        m_reportContents.push_back(item);
            }
            taken.set(flag, value);
        });
        for (const auto& [flag, value] : taken)
            cache->removeCacheObjectForKey(flag);
    }

    (void)packData();
    if (!m_reportContents.empty()) {
        p_dropContentBeyondMaxSize();
        p_addContents();
        const platform::Value* contents = m_reportBody.find("content");
        if (!m_isSendLock && contents && contents->getArray() && !contents->getArray()->empty()) {
            m_packetValueData = PULSEJSONData(platform::Value(m_reportBody));
            if (m_packetValueData) {
                setResponseBlock();
                return m_packetValueData;
            }
        }
    }
    // No body: the history taken out of the cache goes back, so that a later report carries it.
    if (auto cache = reportCache())
        for (const auto& [flag, value] : taken)
            cache->addCacheObject(value, flag);
    return std::nullopt;
}

std::size_t PULSEReportRequest::p_calculateCurrentSize() const {
    return jsonSize(platform::Value(m_reportBody)) + jsonSize(m_reportContents.back()) + 10;
}

void PULSEReportRequest::p_dropContentBeyondMaxSize() {
    std::size_t size = p_calculateCurrentSize();
    // From the second newest to the oldest; once over the limit every older item goes too.
    for (std::size_t i = m_reportContents.size() - 1; i-- > 0;) {
        size += jsonSize(m_reportContents[i]) + 1;
        if (size > kMaxContentSize) {
            m_reportContents.erase(m_reportContents.begin() + static_cast<std::ptrdiff_t>(i));
            PULSE_LOG_WARN("content too large, drop the content");
        }
    }
}

void PULSEReportRequest::p_addContents() {
    m_realContents.clear();
    std::size_t size = p_calculateCurrentSize();
    m_realContents.push_back(std::move(m_reportContents.back()));
    m_reportContents.pop_back();
    while (!m_reportContents.empty()) {
        size += jsonSize(m_reportContents.back()) + 1;
        if (size > kMaxPacketSize) {
            m_hasSubpackage = true;
            break;
        }
        m_realContents.push_back(std::move(m_reportContents.back()));
        m_reportContents.pop_back();
    }
    if (!m_realContents.empty())
        m_reportBody.set("content", m_realContents);
}

std::optional<platform::URLRequest> PULSEReportRequest::generateReportRequest() {
    const auto packet = packetData();
    if (!packet)
        return std::nullopt;
    auto body = gzipCompressData(*packet);
    if (!body)
        return std::nullopt;
    m_bodyData = std::move(*body);
    platform::URLRequest request(PULSEEndpoints::shared().statisticsURL, platform::URLRequestCachePolicy::UseProtocolCachePolicy, kTimeout);
    request.setHTTPMethod("POST");
    const auto& identity = PULSEClientController::sharedClient().userDefaults();
    (void)request.setValue("application/json", "Content-Type");
    (void)request.setValue("gzip", "Accept-Encoding");
    (void)request.setValue("gzip", "Content-Encoding");
    (void)request.setValue(identity ? identity->appKey() : std::string(), "X-App-Key");
    (void)request.setValue(p_generateRequestHead(), "Authorization");
    request.setHTTPBody(m_bodyData);
    return request;
}

std::string PULSEReportRequest::p_generateRequestHead() const {
    const auto& identity = PULSEClientController::sharedClient().userDefaults();
    const std::string uid = std::to_string(PULSEClientController::sharedClient().uid());
    const std::string password = identity && identity->password() ? *identity->password() : std::string();
    const std::string signature = md5HexString(uid + md5HexString(password) + PULSEMD5Data(m_bodyData));
    const std::string token = uid + ":" + signature;
    return "Basic " + PULSEBase64String(platform::ByteSpan(reinterpret_cast<const std::uint8_t*>(token.data()), token.size()));
}

void PULSEReportRequest::setResponseBlock() {
    std::weak_ptr<PULSEReportRequest> weak = weak_from_this();
    m_responseBlock = [weak](const std::optional<platform::URLResponse>& response, const platform::Bytes&,
                             const std::weak_ptr<PULSEHttpRequestDelegate>& delegate) -> std::shared_ptr<PULSEHttpResponse> {
        return std::make_shared<PULSEReportResponse>(response, delegate, weak.lock());
    };
}

void PULSEReportRequest::send() {
    if (auto session = PULSEClientController::sharedClient().reportSession())
        session->sendHttpReport(shared_from_this());
}

bool PULSEReportRequest::startDelaySend() { return PULSEReportManager::startDelaySend(shared_from_this()); }

std::string PULSEReportRequest::generateSessionId() const {
    const auto& identity = PULSEClientController::sharedClient().userDefaults();
    return md5HexString((identity ? identity->appKey() + identity->sharedUdid() : std::string()) +
                        std::to_string(static_cast<unsigned long>(m_reportTimeStamp)));
}

bool PULSEReportRequest::compareInfo(const platform::Dictionary& a, const platform::Dictionary& b) {
    auto withoutTime = [](platform::Dictionary d) {
        if (d.contains("itime"))
            d.set("itime", "");
        return d;
    };
    return withoutTime(a) == withoutTime(b);
}

// ---- responses ----

PULSEHttpResponse::PULSEHttpResponse(const std::optional<platform::URLResponse>& response,
                                     std::weak_ptr<PULSEHttpRequestDelegate> delegate, std::shared_ptr<PULSEReportRequest> request)
    : m_statusCode(response ? response->statusCode() : 0), m_delegate(std::move(delegate)), m_request(std::move(request)) {}

void PULSEReportResponse::deleteContent() {
    if (auto cache = reportCache(); cache && m_request && m_request->reportFlag())
        cache->removeSendingObjectForKey(*m_request->reportFlag());
}

void PULSEReportResponse::saveReportPackage() {
    if (auto cache = reportCache(); cache && m_request && m_request->reportFlag())
        cache->changeSendingObjectFailedForKey(*m_request->reportFlag());
}

void PULSEReportResponse::handleReceipt() {
    const std::string contents = m_request ? realContentsText(*m_request) : std::string("(null)");
    const long status = static_cast<long>(m_statusCode);
    switch (m_statusCode) {
    case 200:
        PULSE_LOG_DEBUG("send report:%s log succed", contents.c_str());
        deleteContent();
        return;
    case 400: PULSE_LOG_ERROR("report:%s Parameter Error,error Code:%ld", contents.c_str(), status); break;
    case 401: PULSE_LOG_ERROR("report:%s Validate Error,error Code:%ld", contents.c_str(), status); break;
    case 403: PULSE_LOG_ERROR("report:%s log forbidden failed,error Code:%ld", contents.c_str(), status); break;
    case 500:
        PULSE_LOG_ERROR("report:%s inner Error", contents.c_str());
        saveReportPackage();
        return;
    default:
        PULSE_LOG_ERROR("report:%s log failed,error Code:%ld", contents.c_str(), status);
        if (m_statusCode < 400 || m_statusCode > 499) {
            saveReportPackage();
            return;
        }
        break;
    }
    // 400-499: the server will not take these items, now or later.
    deleteContent();
    saveReportPackage();
}

// ---- the exchange ----

std::shared_ptr<PULSEHttpRequest> PULSEHttpRequest::create(std::weak_ptr<PULSEHttpRequestDelegate> delegate,
                                                           std::shared_ptr<PULSEReportRequest> postData, std::string requestAddress,
                                                           std::string backUpAddress) {
    std::shared_ptr<PULSEHttpRequest> request(new PULSEHttpRequest());
    request->m_delegate = std::move(delegate);
    request->m_postData = std::move(postData);
    request->m_requestAddress = std::move(requestAddress);
    request->m_backUpAddress = std::move(backUpAddress);
    return request;
}

void PULSEHttpRequest::send(const platform::URLRequest& request) {
    if (m_postData && m_postData->cacheRequestRequired())
        writeToCache();
    if (PULSEClientController::sharedClient().currentNetworkStatus() == 0) {
        returnToCache();
        return;
    }
    m_response.reset();
    m_result.clear();
    m_keepAlive = shared_from_this();
    m_connection = platform::URLConnection::make(request, weak_from_this(), false);
    m_connection->scheduleInRunLoop(platform::RunLoop::current());
    m_connection->start();
}

void PULSEHttpRequest::writeToCache() {
    auto cache = reportCache();
    if (!cache || !m_postData || !m_postData->reportFlag())
        return;
    platform::Array gathered;
    auto gather = [&](const platform::Value& item) {
        const auto* dictionary = item.getDictionary();
        if (!dictionary || !hasTenDigitTime(*dictionary) || cache->containsCacheObject(item))
            return;
        for (const auto& kept : gathered)
            if (PULSEReportCacheController::reportEqual(kept, item))
                return;
        gathered.push_back(item);
    };
    for (const auto& item : m_postData->realContents()) {
        if (const auto* members = item.getArray()) {
            for (const auto& member : *members)
                gather(member);
        } else {
            gather(item);
        }
    }
    if (!gathered.empty())
        cache->addSendingCacheObject(platform::Value(std::move(gathered)), *m_postData->reportFlag());
}

void PULSEHttpRequest::returnToCache() {
    if (auto cache = reportCache(); cache && m_postData && m_postData->reportFlag())
        cache->changeSendingObjectFailedForKey(*m_postData->reportFlag());
}

void PULSEHttpRequest::didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) { m_response = response; }

void PULSEHttpRequest::didReceiveData(platform::URLConnection&, const platform::Bytes& data) { m_result = data; }

void PULSEHttpRequest::didFinishLoading(platform::URLConnection&) {
    auto self = std::move(m_keepAlive);
    m_connection.reset();
    if (!m_postData)
        return;
    m_postData->setIsSendRequestLock(false);
    if (m_postData->responseBlock())
        m_reportResponse = m_postData->responseBlock()(m_response, m_result, m_delegate);
    else
        m_reportResponse = std::make_shared<PULSEReportResponse>(m_response, m_delegate, m_postData);
    if (auto delegate = m_delegate.lock())
        delegate->didReceivedHttpFeedback(m_reportResponse);
}

void PULSEHttpRequest::didFailWithError(platform::URLConnection& connection, const platform::Error& error) {
    auto self = std::move(m_keepAlive);
    const std::string failed = connection.currentRequest().urlString();
    m_connection.reset();
    m_reportResponse.reset();
    if (!m_postData)
        return;
    m_postData->setIsSendRequestLock(false);
    if (m_postData->isSendRequestLock())
        return;
    auto sameAddress = [](const std::string& a, const std::string& b) {
        const auto left = platform::URL::fromString(a);
        const auto right = platform::URL::fromString(b);
        return left && right ? left->absoluteString() == right->absoluteString() : a == b;
    };
    // One retry at the backup; a backup that names the same address must not start a loop of retries.
    if (!m_triedBackUp && sameAddress(failed, m_requestAddress)) {
        m_triedBackUp = true;
        if (m_backUpAddress.empty()) {
            returnToCache();
            return;
        }
        platform::URLRequest retry = connection.currentRequest();
        retry.setURL(platform::URL::fromString(m_backUpAddress));
        send(retry);
        return;
    }
    if (auto delegate = m_delegate.lock())
        delegate->didNotReceivedFromRequest(m_postData, m_postData->reportFlag().value_or(std::string()), error);
}

// ---- delayed send ----

bool PULSEReportManager::startDelaySend(const std::shared_ptr<PULSEReportRequest>& request) {
    const std::int64_t index = request ? request->reSendTimerIndex() : -1;
    if (index < 0 || index > 3)
        return false;
    platform::RunLoop::current().scheduleTimer(platform::seconds(kDelays[index]), [request] {
        request->setReSendTimerIndex(request->reSendTimerIndex() + 1);
        request->send();
    });
    return true;
}

} // namespace push
