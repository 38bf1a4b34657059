// The HTTP statistics session: the application's usage sessions (a session-start report when one
// begins, a session-end report with the pages seen when one ends, 30 s of inactivity ending it), three
// periodic checks (device facts daily, crash logs daily, location facts every two hours), and the road
// of every report request: held until the TCP session has logged in (20 at most, the oldest dropped),
// numbered with a report flag "<request id>:<whole seconds>", sent once, with its request and backup
// addresses by kind; failures logged with their texts and the items returned to the report cache.
//
// It owns the report cache, the location facts, the badge controller and the cache store "PULSEJSON",
// in which its state lives across runs:
//   "__PULSEHistroyCache"  the report cache          "__PULSELocationLog"   the location facts
//   "__PULSEStart_time"    session start              "__PULSELeft_time"     when the application left
//   "__PULSECheckTime", "__PULSECrashTimer", "__PULSELocationTimer"   the checks' last runs
// A stored value of another type than the one written reads as a fresh default (0, an empty cache,
// empty location facts).
//
// Thread: the client thread; its timers and connections run on that thread's run loop.
#pragma once

#include "push/PULSEReportRequest.h"

#include "platform/runloop/Timer.h"

#include <deque>
#include <memory>
#include <string>

namespace push {

class PULSEBadgeNumberController;
class PULSEFileCacheController;
class PULSELocationInfoController;
class PULSEReportCacheController;

class PULSEHttpSessionController : public PULSEReportSession,
                                   public PULSEHttpRequestDelegate,
                                   public std::enable_shared_from_this<PULSEHttpSessionController> {
public:
    static constexpr std::size_t kMaxBlockedRequests = 20;
    static constexpr double kSessionGap = 30.0;
    static constexpr double kDeviceInterval = 86400.0;
    static constexpr double kCrashInterval = 86400.0;
    static constexpr double kLocationInterval = 7200.0;

    static constexpr const char* kHistoryCacheKey = "__PULSEHistroyCache";
    static constexpr const char* kLocationLogKey = "__PULSELocationLog";
    static constexpr const char* kStartTimeKey = "__PULSEStart_time";
    static constexpr const char* kLeftTimeKey = "__PULSELeft_time";
    static constexpr const char* kCheckTimeKey = "__PULSECheckTime";
    static constexpr const char* kCrashTimerKey = "__PULSECrashTimer";
    static constexpr const char* kLocationTimerKey = "__PULSELocationTimer";
    static constexpr const char* kCrashLogKey = "__PULSECrashLog";

    // Made, restored from the cache store and installed on the hub (report session and report cache).
    static std::shared_ptr<PULSEHttpSessionController> create();
    ~PULSEHttpSessionController() override;

    void trySetupSession();
    void prepareActive(double time);
    void reportInactive(double time);
    void serialize();
    void reportMsgStatus(std::uint16_t type, std::uint64_t messageID, std::int32_t flag);
    void sendAllBlockedHttpReports() override;
    void sendHttpReport(const std::shared_ptr<PULSEReportRequest>& request) override;
    void locationInfoChangeViaNetworkState(int status);
    void didReceivedHttpFeedback(const std::shared_ptr<PULSEHttpResponse>& response) override;
    void didNotReceivedFromRequest(const std::shared_ptr<PULSEReportRequest>& request, const std::string& reportFlag,
                                   const platform::Error& error) override;

    static std::string getHttpNetworkErrorStringWith(long code);
    std::string getDefaultAddress(std::int64_t reportType) const;
    std::string getBackUpAddress(std::int64_t reportType) const;

    const std::shared_ptr<PULSEReportCacheController>& reportCache() const { return m_reportCache; }
    const std::shared_ptr<PULSEFileCacheController>& fileCache() const { return m_fileCache; }
    const std::shared_ptr<PULSEBadgeNumberController>& badgeNumberManager() const { return m_badgeNumberManager; }
    const std::shared_ptr<PULSELocationInfoController>& locationInfo() const { return m_locationInfo; }
    bool isSetup() const { return m_isSetup; }
    double closeTime() const { return m_closeTime; }
    double startTime() const { return m_startTime; }
    const std::deque<std::shared_ptr<PULSEReportRequest>>& blockedRequests() const { return m_httpBlockedQueue; }
    const std::string& reportFlag() const { return m_reportFlag; }

private:
    struct Check {
        double interval;
        const char* key;
        bool reportWhenNew;
        void (PULSEHttpSessionController::*report)();
        std::shared_ptr<platform::Timer> timer;
        double last = 0;
    };

    PULSEHttpSessionController();
    void setupSession(double time);
    void closeSession();
    void resumeSession();
    void resumeTimer();
    void foldCrashRecords();
    void saveSessionWithTime(double time);
    void saveCheckTimer();
    void makeReportCache(std::shared_ptr<PULSEReportCacheController> cache);
    void p_startTimer();
    void p_closeTimer();
    void startCheck(Check& check);
    void fireCheck(Check& check);
    void storeCheckTime(const Check& check);
    void reportLaunch();
    void reportActive(double sessionStartTime, double sessionCloseTime);
    void reportDeviceInfo();
    void reportCrashLog();
    void reportLocation();
    void doSendHttpReport(const std::shared_ptr<PULSEReportRequest>& request);
    bool mayGoNow() const;

    std::shared_ptr<PULSEReportCacheController> m_reportCache;
    std::shared_ptr<PULSEFileCacheController> m_fileCache;
    std::shared_ptr<PULSEBadgeNumberController> m_badgeNumberManager;
    std::deque<std::shared_ptr<PULSEReportRequest>> m_httpBlockedQueue;
    bool m_isSetup = false;
    double m_closeTime = 0;
    double m_startTime = 0;
    Check m_deviceCheck;
    Check m_crashCheck;
    Check m_locationCheck;
    std::shared_ptr<PULSELocationInfoController> m_locationInfo;
    std::string m_reportFlag;
};

} // namespace push
