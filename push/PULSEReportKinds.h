// The statistics report kinds and their responses:
//
//   kind              class                          type  content item
//   session start     PULSEUserLoginReportRequest      1   "active_launch"
//   session end       PULSEUserActiveReportRequest     2   "active_terminate" with the recorded pages
//   device facts      PULSEUserDeviceReportRequest     3   PULSEDeviceInfo, only when it changed
//   location facts    PULSELocationReportRequest       5   "loc_info", only when it changed
//   badge             PULSEBadgeNumberReportRequest   11   POST to the user endpoint (own body)
//
// The session items carry "itime" (the request's time stamp), "session_id", "date", "time" and
// "timezone". The device and location kinds compare their item with the last one the server accepted
// ("__PULSELastDeviceInfo", "__PULSELastLocation" in the cache store, stored on status 200); an equal
// item (apart from "itime") makes no request at all.
//
// Badge: {"uid","platform":"i","app_key","itime","content":{"badge":n}} (a negative n is sent as 0),
// uncompressed, headers "Content-Type: text/plain", "Accept: application/json", "Authorization"; never
// cached. Its response tells the badge controller whether to keep the report (500 and unknown statuses)
// or forget it (200, 400, 401).
//
// Thread: the client thread.
#pragma once

#include "push/PULSEReportRequest.h"

#include <memory>

namespace push {

class PULSEBadgeNumberController;
class PULSELocationInfoController;
class PULSEPageFlow;

class PULSEUserLoginReportRequest : public PULSEReportRequest {
public:
    PULSEUserLoginReportRequest();
    bool packData() override;
};

class PULSEUserActiveReportRequest : public PULSEReportRequest {
public:
    PULSEUserActiveReportRequest();
    void setReportActives(const std::shared_ptr<PULSEPageFlow>& actives, double sessionStartTime, double sessionCloseTime);
    bool packData() override;

private:
    std::shared_ptr<PULSEPageFlow> m_actives;
    double m_sessionStartTime = 0;
    double m_sessionCloseTime = 0;
};

class PULSEUserDeviceReportRequest : public PULSEReportRequest {
public:
    static constexpr const char* kLastDeviceInfoKey = "__PULSELastDeviceInfo";
    PULSEUserDeviceReportRequest();
    bool packData() override;
    void setResponseBlock() override;
};

class PULSELocationReportRequest : public PULSEReportRequest {
public:
    static constexpr const char* kLastLocationKey = "__PULSELastLocation";
    PULSELocationReportRequest();
    void setLocationInfoController(const PULSELocationInfoController& info);
    bool packData() override;
    void setResponseBlock() override;

private:
    std::shared_ptr<PULSELocationInfoController> m_locationInfoController;
};

// Device and location responses: the base handling, then on 200 the item becomes the stored one.
class PULSEStoredContentResponse : public PULSEReportResponse {
public:
    PULSEStoredContentResponse(const std::optional<platform::URLResponse>& response, std::weak_ptr<PULSEHttpRequestDelegate> delegate,
                               std::shared_ptr<PULSEReportRequest> request, const char* key);
    void handleReceipt() override;

private:
    const char* m_key;
};

class PULSEBadgeNumberReportRequest : public PULSEReportRequest {
public:
    static constexpr std::uint64_t kReportType = 11;

    explicit PULSEBadgeNumberReportRequest(std::weak_ptr<PULSEBadgeNumberController> controller);
    // The 32 bits read as signed, so that a negative value is sent as 0 rather than as 4294967293.
    void setBadgeNumber(std::uint32_t badge) { m_badgeCount = static_cast<std::int32_t>(badge); }
    std::int64_t badgeCount() const { return m_badgeCount; }
    bool isAgainSend() const { return m_isAgainSend; }

    std::optional<platform::URLRequest> generateReportRequest() override;
    void setResponseBlock() override;
    bool cacheRequestRequired() const override { return false; }
    // The controller's lock while this is its current report; otherwise locked.
    bool isSendRequestLock() const override;
    void setIsSendRequestLock(bool lock) override;
    bool startDelaySend();
    const std::weak_ptr<PULSEBadgeNumberController>& controller() const { return m_controller; }

private:
    std::weak_ptr<PULSEBadgeNumberController> m_controller;
    bool m_isAgainSend = false;
    std::int64_t m_badgeCount = 0;
};

class PULSEBadgeNumberReportResponse : public PULSEHttpResponse {
public:
    using PULSEHttpResponse::PULSEHttpResponse;
    void handleReceipt() override;
};

} // namespace push
