// The statistics client's public face: starting it with an app key, sessions, page views, errors and
// exceptions, custom events (plain, timed, with key-value properties) and the reports of IM, account,
// network-request figures and game users. Each call checks its gates (the kill switch and statEnable),
// builds one event, stamps it with the session id and hands it on: to a cache of at most 128 events until
// the client is started, then, in order, to the report strategy on the API queue "MessengerAnalysis".
//
// Sessions: a call that touches the session with the time-out check starts a new one when the last
// activity is sessionTimeoutSecs or more ago; any touch starts one at or after the next local midnight;
// a new session reports its environment event (and, with strategy 3, flushes the store first).
//
// Guarantees:
// - Thread: every call from any thread; nothing throws, bad arguments are logged and ignored. The
//   session state (id, last activity, next midnight, per-session count, addition flag) is behind one
//   mutex; the timers and the pre-start cache each behind their own. The lifecycle observers run where
//   the application posts (the main thread).
// - Times are the wall time of platform::Clock::current() in whole seconds; midnight is local
//   (localtime_r, so the TZ environment).
// - Session ids come from random() after srandom(now), as the collector expects them.
// - The singleton is made once by the first call that needs it (startWithAppkey, the page-view calls) and
//   lives until the process ends (resetForTesting undoes it for tests).
#pragma once

#include "stats/MXStatEvent.h"

#include "platform/core/Value.h"
#include "platform/runloop/DispatchQueue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace stats {

class MXStatReportStrategy;

using OptString = std::optional<std::string>;

// What trackException reports of an exception.
struct MXStatException {
    std::string name;
    std::string reason;
    std::vector<std::string> callStackSymbols;
};

class MXStat {
public:
    static constexpr std::size_t kMaxCachedEvents = 128;

    // The singleton, made (start-up steps included) on first use.
    static MXStat& getInstance();
    // The API queue.
    static std::shared_ptr<platform::DispatchQueue> getTaskQueue();

    // ---- start and sessions ----
    // Adds the key to the configured keys ("|"-joined, each once, at most kMaxAppkeysLength bytes in
    // all); a key holding "|" or one that would pass the bound is refused with an error line.
    static constexpr std::size_t kMaxAppkeysLength = 1024;
    static void startWithAppkey(const OptString& appkey);
    // Refuses (and switches statistics off) when the version asked for is newer than this client's.
    static bool startWithAppkey(const OptString& appkey, const std::string& checkedSdkVersion);
    static void commitCachedStats(std::int32_t count);
    static void startNewSession(bool isRealTime = false);
    static void stopSession();

    // ---- page views ----
    static void trackPageViewBegin(const OptString& page, const OptString& appkey = std::nullopt);
    static void trackPageViewEnd(const OptString& page, const OptString& appkey = std::nullopt, bool isRealTime = false);
    static void trackDirectPageViewBegin(const OptString& page, const OptString& appkey = std::nullopt);
    static void trackDirectPageViewEnd(const OptString& page, const OptString& appkey = std::nullopt, bool isRealTime = false);

    // ---- errors ----
    static void trackException(const std::optional<MXStatException>& exception, const OptString& appkey = std::nullopt,
                               bool isRealTime = false);
    static void trackError(const OptString& error, const OptString& appkey = std::nullopt, bool isRealTime = false);

    // ---- custom events ----
    static void trackCustomEvent(const OptString& eventId, const std::optional<platform::Array>& args,
                                 const OptString& appkey = std::nullopt, bool isRealTime = false);
    static void trackCustomEventBegin(const OptString& eventId, const std::optional<platform::Array>& args,
                                      const OptString& appkey = std::nullopt);
    static void trackCustomEventEnd(const OptString& eventId, const std::optional<platform::Array>& args,
                                    const OptString& appkey = std::nullopt, bool isRealTime = false);
    static void trackCustomKeyValueEvent(const OptString& eventId, const std::optional<platform::Dictionary>& props,
                                         const OptString& appkey = std::nullopt, bool isRealTime = false);
    static void trackCustomKeyValueEventBegin(const OptString& eventId, const std::optional<platform::Dictionary>& props,
                                              const OptString& appkey = std::nullopt);
    static void trackCustomKeyValueEventEnd(const OptString& eventId, const std::optional<platform::Dictionary>& props,
                                            const OptString& appkey = std::nullopt, bool isRealTime = false);
    static void trackCustomKeyValueEventDuration(std::uint32_t seconds, const OptString& eventId,
                                                 const std::optional<platform::Dictionary>& props,
                                                 const OptString& appkey = std::nullopt, bool isRealTime = false);

    // ---- reports ----
    static void reportIM(const OptString& im, const OptString& appkey = std::nullopt, bool isRealTime = false);
    static void reportAccount(const OptString& account, std::int8_t type, const OptString& ext,
                              const OptString& appkey = std::nullopt, bool isRealTime = false);
    static void reportAppMonitorStat(const std::shared_ptr<MXStatAppMonitorStat>& stat, const OptString& appkey = std::nullopt,
                                     bool isRealTime = false);
    static void trackGameUser(const OptString& uid, const OptString& world, const OptString& level,
                              const OptString& appkey = std::nullopt, bool isRealTime = false);

    static std::string getMstUDID();
    // Crash reports are not the client's business here.
    static void handleCrashReport() {}

    // Timer keys: "id[" + each argument's description, "id{" + each key and value's description; no
    // separators, no closing bracket.
    static std::string customTimerKey(const std::string& eventId, const std::optional<platform::Array>& args);
    static std::string keyValueTimerKey(const std::string& eventId, const std::optional<platform::Dictionary>& props);

    // The page of the last begun page view not yet ended, and of the last ended one.
    OptString mstCurrentPage() const;
    OptString lastPage() const;
    static std::uint32_t currentSessionId();

    // ---- tests ----
    // Receives what the queueing step would hand to the report strategy, instead of it.
    static void setEventSinkForTesting(std::function<void(std::shared_ptr<MXStatEvent>)> sink);
    // No singleton, no session, empty cache and timers, observers removed.
    static void resetForTesting();

    ~MXStat();
    MXStat(const MXStat&) = delete;
    MXStat& operator=(const MXStat&) = delete;

private:
    MXStat();
    void startUp();

    void onWillApplicationResignActive();
    void onDidApplicationBecomeActive();
    void onWillApplicationEnterForeground();
    void onWillApplicationEnterBackground();
    void onWillApplicationWillTerminate();

    void setCurrentPage(OptString page);
    void setLastPage(OptString page);

    std::shared_ptr<MXStatReportStrategy> m_strategy;
    std::string m_keyForKeyChain;
    mutable std::mutex m_pageMutex;
    OptString m_currentPage;
    OptString m_lastPage;
};

} // namespace stats
