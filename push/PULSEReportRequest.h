// HTTP statistics reports: the request that gathers content items (its own newest one, the items left
// over, and the history of the report cache), caps them, and builds the gzip JSON body with its
// "Authorization" header; the exchange that POSTs it (with one retry at a backup address) and hands the
// items in flight to the report cache; the responses that decide by HTTP status whether the items are
// done with or must ride along with a later request; and the delayed send.
//
// Body: {"platform":"i","uid":u,"sdk_ver":"2.1.0","app_key":k,"content":[newest first]}, gzip (window
// bits 31). Header fields in this order: "Content-Type: application/json", "Accept-Encoding: gzip",
// "Content-Encoding: gzip", "X-App-Key", "Authorization: Basic " + Base64(u ":" md5hex(u + md5hex(password)
// + md5hex(gzip body))). POST, 30 s.
//
// Guarantees:
// - Sizes: older items are dropped once the body would pass 10240 bytes (the newest item always goes);
//   a body holds at most 100240 bytes of items.
// - No item is lost on the way: history items taken out of the report cache by a request that then
//   yields no body go back to the cached set; items in flight that cannot be sent (no network, or a
//   failed primary with no backup address) go back to the cached set at once, so the next report
//   carries them.
// - Thread: made, sent and answered on the client thread (the connection delivers on its run loop).
#pragma once

#include "platform/core/Value.h"
#include "platform/net/URLConnection.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace push {

class PULSEHttpResponse;
class PULSEReportRequest;

// The session that gates, numbers and sends report requests (the HTTP statistics session).
class PULSEReportSession {
public:
    virtual ~PULSEReportSession() = default;
    virtual void sendHttpReport(const std::shared_ptr<PULSEReportRequest>& request) = 0;
    // The TCP session logged in: the requests held until then go now.
    virtual void sendAllBlockedHttpReports() {}
};

class PULSEHttpRequestDelegate {
public:
    virtual ~PULSEHttpRequestDelegate() = default;
    virtual void didReceivedHttpFeedback(const std::shared_ptr<PULSEHttpResponse>& response) = 0;
    virtual void didNotReceivedFromRequest(const std::shared_ptr<PULSEReportRequest>& request, const std::string& reportFlag,
                                           const platform::Error& error) = 0;
};

class PULSEReportRequest : public std::enable_shared_from_this<PULSEReportRequest> {
public:
    using ResponseBlock = std::function<std::shared_ptr<PULSEHttpResponse>(
        const std::optional<platform::URLResponse>& response, const platform::Bytes& data,
        const std::weak_ptr<PULSEHttpRequestDelegate>& delegate)>;

    static constexpr std::size_t kMaxContentSize = 10240;
    static constexpr std::size_t kMaxPacketSize = 100240;
    static constexpr double kTimeout = 30.0;
    static constexpr std::uint8_t kValidRequired = 1;
    static constexpr std::uint8_t kLoginRequired = 2;

    PULSEReportRequest();
    virtual ~PULSEReportRequest() = default;

    // The kind adds its content item when this answers true (base: the body is not built yet).
    virtual bool packData();
    // The uncompressed JSON body, built once; nothing when there is nothing to send.
    std::optional<platform::Bytes> packetData();
    // The POST of the gzip body to the statistics endpoint; nothing when there is no body.
    virtual std::optional<platform::URLRequest> generateReportRequest();
    // "Basic <token>" over bodyData.
    std::string p_generateRequestHead() const;
    virtual void setResponseBlock();
    // Hands the request to the HTTP statistics session.
    void send();
    // Sends again after 40, 100, 200 or 300 s (steps 0-3); false from the fifth step on.
    bool startDelaySend();
    std::string generateSessionId() const;
    // Equal apart from their "itime" values.
    static bool compareInfo(const platform::Dictionary& a, const platform::Dictionary& b);

    virtual bool isSendRequestLock() const { return false; }
    virtual void setIsSendRequestLock(bool) {}
    virtual bool cacheRequestRequired() const { return true; }

    std::int64_t reportTimeStamp() const { return m_reportTimeStamp; }
    bool hasSubpackage() const { return m_hasSubpackage; }
    std::uint8_t controlFlag() const { return m_controlFlag; }
    void setControlFlag(std::uint8_t flag) { m_controlFlag = flag; }
    bool validRequired() const { return m_controlFlag & kValidRequired; }
    bool loginRequired() const { return m_controlFlag & kLoginRequired; }
    bool IsSendLock() const { return m_isSendLock; }
    void setIsSendLock(bool lock) { m_isSendLock = lock; }
    bool isResend() const { return false; }
    const std::optional<std::string>& reportFlag() const { return m_reportFlag; }
    void setReportFlag(std::optional<std::string> flag) { m_reportFlag = std::move(flag); }
    std::uint64_t reportType() const { return m_reportType; }
    void setReportType(std::uint64_t type) { m_reportType = type; }
    platform::Array& reportContents() { return m_reportContents; }
    const platform::Array& realContents() const { return m_realContents; }
    const platform::Dictionary& content() const { return m_content; }
    void setContent(platform::Dictionary content) { m_content = std::move(content); }
    const ResponseBlock& responseBlock() const { return m_responseBlock; }
    const platform::Bytes& bodyData() const { return m_bodyData; }
    std::int64_t reSendTimerIndex() const { return m_reSendTimerIndex; }
    void setReSendTimerIndex(std::int64_t index) { m_reSendTimerIndex = index; }

protected:
    void setReportTimeStamp(std::int64_t seconds) { m_reportTimeStamp = seconds; }
    void setBodyData(platform::Bytes body) { m_bodyData = std::move(body); }

    ResponseBlock m_responseBlock;

private:
    void p_dropContentBeyondMaxSize();
    void p_addContents();
    std::size_t p_calculateCurrentSize() const;

    platform::Dictionary m_reportBody;
    std::int64_t m_reportTimeStamp = 0;
    bool m_hasSubpackage = false;
    std::uint8_t m_controlFlag = kValidRequired;
    bool m_isSendLock = false;
    std::optional<platform::Bytes> m_packetValueData;
    std::optional<std::string> m_reportFlag;
    std::uint64_t m_reportType = 0;
    platform::Array m_reportContents;
    platform::Array m_realContents;
    platform::Dictionary m_content;
    platform::Bytes m_bodyData;
    std::int64_t m_reSendTimerIndex = 0;
};

class PULSEHttpResponse {
public:
    PULSEHttpResponse(const std::optional<platform::URLResponse>& response, std::weak_ptr<PULSEHttpRequestDelegate> delegate,
                      std::shared_ptr<PULSEReportRequest> request);
    virtual ~PULSEHttpResponse() = default;

    std::int64_t statusCode() const { return m_statusCode; }
    const std::shared_ptr<PULSEReportRequest>& request() const { return m_request; }
    virtual void handleReceipt() {}
    virtual void deleteContent() {}
    std::string description() const { return "need enable description"; }

protected:
    std::int64_t m_statusCode = 0;
    std::weak_ptr<PULSEHttpRequestDelegate> m_delegate;
    std::shared_ptr<PULSEReportRequest> m_request;
};

// What an HTTP status does to the request's items: done with (deleteContent) or kept for a later
// request (saveReportPackage).
class PULSEReportResponse : public PULSEHttpResponse {
public:
    using PULSEHttpResponse::PULSEHttpResponse;
    void handleReceipt() override;
    void deleteContent() override;
    void saveReportPackage();
};

// One POST of a report request, with one retry at the backup address. It lives until its exchange ends,
// whoever holds it.
class PULSEHttpRequest : public platform::URLConnectionDelegate, public std::enable_shared_from_this<PULSEHttpRequest> {
public:
    static std::shared_ptr<PULSEHttpRequest> create(std::weak_ptr<PULSEHttpRequestDelegate> delegate,
                                                    std::shared_ptr<PULSEReportRequest> postData, std::string requestAddress,
                                                    std::string backUpAddress);

    void send(const platform::URLRequest& request);
    const std::shared_ptr<PULSEHttpResponse>& reportResponse() const { return m_reportResponse; }
    std::string description() const { return "need enable description"; }

    void didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) override;
    void didReceiveData(platform::URLConnection&, const platform::Bytes& data) override;
    void didFinishLoading(platform::URLConnection&) override;
    void didFailWithError(platform::URLConnection& connection, const platform::Error& error) override;

private:
    PULSEHttpRequest() = default;
    void writeToCache();
    // The items in flight cannot go now: back to the cached set for the next report.
    void returnToCache();

    std::shared_ptr<PULSEHttpResponse> m_reportResponse;
    std::weak_ptr<PULSEHttpRequestDelegate> m_delegate;
    std::shared_ptr<PULSEReportRequest> m_postData;
    std::optional<platform::URLResponse> m_response;
    platform::Bytes m_result;
    std::string m_backUpAddress;
    std::string m_requestAddress;
    bool m_triedBackUp = false;
    std::shared_ptr<platform::URLConnection> m_connection;
    // The exchange keeps itself while its connection runs (the connection holds it weakly).
    std::shared_ptr<PULSEHttpRequest> m_keepAlive;
};

class PULSEReportManager {
public:
    static constexpr double kDelays[4] = {40.0, 100.0, 200.0, 300.0};
    static bool startDelaySend(const std::shared_ptr<PULSEReportRequest>& request);
};

} // namespace push
