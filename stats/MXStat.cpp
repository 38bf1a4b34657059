#include "stats/MXStat.h"

#include "stats/MXStatConfig.h"
#include "stats/MXStatDataConfigHolder.h"
#include "stats/MXStatDispatcher.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatKeyChain.h"
#include "stats/MXStatLog.h"
#include "stats/MXStatReportStrategy.h"
#include "stats/MXStatStore.h"

#include "platform/runloop/Clock.h"
#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/text/Format.h"
#include "platform/text/Text.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <utility>

namespace stats {

namespace {

// ---- the singleton ----

std::atomic<MXStat*> g_instance{nullptr};

std::mutex& creationMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

MXStat* existingInstance() { return g_instance.load(std::memory_order_acquire); }

std::function<void(std::shared_ptr<MXStatEvent>)>& eventSink() {
    static auto* sink = new std::function<void(std::shared_ptr<MXStatEvent>)>();
    return *sink;
}

// ---- time ----

std::int64_t nowSeconds() {
    return static_cast<std::int64_t>(std::floor(platform::Clock::current().wallNow().secondsSince1970));
}

// Seconds from a begin time to now, at least 1 (also when the clock went back).
std::uint32_t elapsedSince(std::uint32_t begin) {
    const auto now = static_cast<std::uint32_t>(nowSeconds());
    return now > begin ? now - begin : 1;
}

// ---- the session ----

struct SessionState {
    std::mutex mutex;
    std::uint32_t sessionId = 0;
    std::uint32_t lastActivity = 0;
    std::int64_t nextMidnight = 0;
    std::uint32_t reportCount = 0;
    bool additionSent = false;
};

SessionState& session() {
    static auto* state = new SessionState();
    return *state;
}

// A new id from random() seeded with the time; resets the per-session count and the next local midnight.
// The caller holds the session lock.
std::uint32_t generateSessionIdLocked(SessionState& s) {
    s.reportCount = 0;
    const std::int64_t t = nowSeconds();
    ::srandom(static_cast<unsigned>(t));
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm local{};
    ::localtime_r(&tt, &local);
    s.nextMidnight = t + 86400 - (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
    return static_cast<std::uint32_t>(::random());
}

// ---- timers and the pre-start cache ----

struct Timers {
    std::mutex mutex;
    std::map<std::string, std::uint32_t> entries;
    bool created = false;
};

Timers& pageTimers() {
    static auto* timers = new Timers();
    return *timers;
}

Timers& eventTimers() {
    static auto* timers = new Timers();
    return *timers;
}

struct PreStartCache {
    std::mutex mutex;
    std::vector<std::shared_ptr<MXStatEvent>> events;
};

PreStartCache& preStartCache() {
    static auto* cache = new PreStartCache();
    return *cache;
}

// ---- gates ----

MXStatConfig& config() { return MXStatConfig::getInstance(); }

bool statGate() { return config().statEnable(); }
bool enableGate() { return MXStatHelper::getInstance().checkMSTEnable() && config().statEnable(); }

bool isEmpty(const OptString& text) { return !text || text->empty(); }

void warnNotStarted() { MXStatLog("[WARN]MST's init method is NOT invoked."); }

// ---- the report path ----

// The queueing step: the per-session limit, then the strategy on the API queue.
void enqueueEvent(const std::shared_ptr<MXStatEvent>& event, const std::shared_ptr<MXStatReportStrategy>& strategy) {
    if (!event) {
        MXStatDebugLog("[WARN]NULL event to report.");
        return;
    }
    {
        SessionState& s = session();
        const std::int32_t limit = config().maxSessionStatReportCount();
        std::lock_guard lock(s.mutex);
        if (limit >= 1 && s.reportCount >= static_cast<std::uint32_t>(limit))
            return;
        ++s.reportCount;
    }
    if (const auto& sink = eventSink())
        sink(event);
    else
        strategy->reportEvent(event);
}

std::shared_ptr<MXStatReportStrategy>& publishedStrategy() {
    static auto* strategy = new std::shared_ptr<MXStatReportStrategy>();
    return *strategy;
}

// The report entry: caches until the client is started, then queues the cache and the event in order.
void reportEvent(const std::shared_ptr<MXStatEvent>& event) {
    PreStartCache& cache = preStartCache();
    std::lock_guard lock(cache.mutex);
    if (!existingInstance()) {
        warnNotStarted();
        // The size is tested under the cache's lock, so racing callers cannot push it past its bound.
        if (cache.events.size() < MXStat::kMaxCachedEvents)
            cache.events.push_back(event);
        else
            MXStatLog("[ERROR]Too many cached sending events befor MST started.");
        return;
    }
    const std::shared_ptr<MXStatReportStrategy> strategy = publishedStrategy();
    std::vector<std::shared_ptr<MXStatEvent>> cached = std::exchange(cache.events, {});
    for (const auto& earlier : cached)
        enqueueEvent(earlier, strategy);
    enqueueEvent(event, strategy);
}

template <class Event>
std::shared_ptr<Event> makeEvent(std::uint32_t sid, const OptString& appkey, bool isRealTime) {
    auto event = std::make_shared<Event>();
    event->sid = sid;
    event->appkey = appkey;
    event->isRealTime = isRealTime;
    return event;
}

std::uint32_t currentSessionIdNow() {
    SessionState& s = session();
    std::lock_guard lock(s.mutex);
    return s.sessionId;
}

// The addition check: at most once per process unless forced; an addition event when an IM is set.
void reportAdditionOnce(bool force, const OptString& appkey, bool isRealTime) {
    if (!config().statEnable())
        return;
    {
        SessionState& s = session();
        std::lock_guard lock(s.mutex);
        if (!force && s.additionSent)
            return;
        s.additionSent = true;
    }
    if (config().im())
        reportEvent(makeEvent<MXStatAdditionEvent>(currentSessionIdNow(), appkey, isRealTime));
}

void onSessionStarted(std::uint32_t sid, const OptString& appkey, bool isRealTime) {
    if (sid != 0 && config().reportStrategy() == MXStatReportAtLaunch)
        MXStatStore::getInstance()->sendCachedEvents(-1);
    reportEvent(makeEvent<MXStatSessionEnv>(sid, appkey, isRealTime));
    reportAdditionOnce(true, appkey, false);
}

// Touches the session; returns its id. A session started here reports its environment after the lock is
// let go.
std::uint32_t touchSession(bool timeoutCheck, const OptString& appkey, bool isRealTime) {
    SessionState& s = session();
    const std::uint32_t timeout = config().sessionTimeoutSecs();
    bool started = false;
    std::uint32_t sid = 0;
    {
        std::lock_guard lock(s.mutex);
        const auto now = static_cast<std::uint32_t>(nowSeconds());
        if (timeoutCheck && static_cast<std::uint32_t>(now - s.lastActivity) >= timeout) {
            s.sessionId = generateSessionIdLocked(s);
            started = true;
        }
        if (static_cast<std::int64_t>(now) >= s.nextMidnight) {
            s.sessionId = generateSessionIdLocked(s);
            started = true;
        }
        s.lastActivity = now;
        if (s.sessionId == 0) {
            MXStatDebugLog("session == 0");
            s.sessionId = generateSessionIdLocked(s);
            started = true;
        }
        sid = s.sessionId;
    }
    if (started)
        onSessionStarted(sid, appkey, isRealTime);
    return sid;
}

// A fresh id for an event of its own; the session keeps its id.
std::uint32_t freshSessionId() {
    SessionState& s = session();
    std::lock_guard lock(s.mutex);
    const std::uint32_t kept = s.sessionId;
    const std::uint32_t fresh = generateSessionIdLocked(s);
    s.sessionId = kept;
    return fresh;
}

std::string describe(const platform::Value& value) { return platform::formatString("%@", {value}); }

// Starts a timer under the key; false (logged) when it exists or the timers are full.
bool beginTimer(Timers& timers, const std::string& key, const std::string& eventId) {
    std::lock_guard lock(timers.mutex);
    timers.created = true;
    if (timers.entries.count(key)) {
        MXStatLog("[ERROR]Duplicate key %s for event_id:%s", key.c_str(), eventId.c_str());
        return false;
    }
    if (timers.entries.size() >= config().maxParallelTimingEvents()) {
        MXStatLog("[ERROR]Too many parallel events in memory.");
        return false;
    }
    timers.entries.emplace(key, static_cast<std::uint32_t>(nowSeconds()));
    return true;
}

// Takes the timer under the key: its begin time; nothing (logged unless no begin ever ran) without one.
std::optional<std::uint32_t> endTimer(Timers& timers, const std::string& key, const std::string& eventId) {
    std::lock_guard lock(timers.mutex);
    if (!timers.created)
        return std::nullopt;
    auto it = timers.entries.find(key);
    if (it == timers.entries.end()) {
        MXStatLog("[ERROR]NULL key %s for event_id:%s", key.c_str(), eventId.c_str());
        return std::nullopt;
    }
    const std::uint32_t begin = it->second;
    timers.entries.erase(it);
    return begin;
}

std::shared_ptr<MXStatCustomEvent> customEvent(std::uint32_t sid, const std::string& eventId, const OptString& appkey,
                                               bool isRealTime, std::uint32_t duration) {
    auto event = makeEvent<MXStatCustomEvent>(sid, appkey, isRealTime);
    event->eventID = eventId;
    event->duration = duration;
    return event;
}


bool acceptsEventId(const OptString& eventId) {
    if (!isEmpty(eventId))
        return true;
    MXStatLog("[ERROR]Failed to trace nil/empty event_id.");
    return false;
}

void beginTimed(const std::string& key, const std::string& eventId, const OptString& appkey) {
    if (beginTimer(eventTimers(), key, eventId))
        reportAdditionOnce(false, appkey, false);
}

// The custom event that ends the timer under the key, its duration filled in; nothing without a timer.
std::shared_ptr<MXStatCustomEvent> endTimed(const std::string& key, const std::string& eventId, const OptString& appkey,
                                            bool isRealTime) {
    const auto begin = endTimer(eventTimers(), key, eventId);
    if (!begin)
        return nullptr;
    return customEvent(touchSession(false, appkey, isRealTime), eventId, appkey, isRealTime, elapsedSince(*begin));
}

} // namespace

// ---- the singleton ----

MXStat::MXStat() = default;

MXStat::~MXStat() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

MXStat& MXStat::getInstance() {
    if (MXStat* instance = existingInstance())
        return *instance;
    std::lock_guard lock(creationMutex());
    if (MXStat* instance = existingInstance())
        return *instance;
    auto* instance = new MXStat();
    instance->startUp();
    g_instance.store(instance, std::memory_order_release);
    return *instance;
}

std::shared_ptr<platform::DispatchQueue> MXStat::getTaskQueue() { return getInstance().m_strategy->apiQueue(); }

void MXStat::startUp() {
    MXStatHelper& helper = MXStatHelper::getInstance();
    helper.setMSTEnableFlag(true);
    const std::shared_ptr<MXStatStore> store = MXStatStore::getInstance();
    const std::shared_ptr<MXStatDispatcher> dispatcher = MXStatDispatcher::getInstance();
    store->setDispatcher(dispatcher);
    m_strategy = std::make_shared<MXStatReportStrategy>(store, dispatcher);
    publishedStrategy() = m_strategy;
    if (auto holder = MXStatDataConfigHolder::initSingleton([] {}))
        holder->setErrorReporter([](const std::string& error) { MXStat::trackError(error); });
    helper.getUser();
    store->launch();
    if (config().reportStrategy() == MXStatReportAtLaunch)
        store->sendCachedEvents(-1);
    config().setPushDeviceToken(helper.getXGDeviceToken());

    auto& center = platform::NotificationCenter::defaultCenter();
    auto observe = [&](const char* name, void (MXStat::*handler)()) {
        center.addObserver(this, name, nullptr, [this, handler](const platform::Notification&) { (this->*handler)(); });
    };
    observe(platform::kApplicationWillResignActiveNotification, &MXStat::onWillApplicationResignActive);
    observe(platform::kApplicationDidEnterBackgroundNotification, &MXStat::onWillApplicationEnterBackground);
    observe(platform::kApplicationDidBecomeActiveNotification, &MXStat::onDidApplicationBecomeActive);
    observe(platform::kApplicationWillEnterForegroundNotification, &MXStat::onWillApplicationEnterForeground);
    observe(platform::kApplicationWillTerminateNotification, &MXStat::onWillApplicationWillTerminate);
}

void MXStat::resetForTesting() {
    // Work queued for the ending test finishes in that test's home: the API queue hands events to the
    // store, the store batches to the upload, whose completion hands back to the store.
    if (MXStat* instance = existingInstance()) {
        instance->m_strategy->apiQueue()->sync([] {});
        const auto store = MXStatStore::getInstance();
        store->queue()->sync([] {});
        MXStatDispatcher::getInstance()->queue()->sync([] {});
        store->queue()->sync([] {});
        if (auto holder = MXStatDataConfigHolder::getInstance())
            holder->queue()->sync([] {});
    }
    std::lock_guard lock(creationMutex());
    delete g_instance.exchange(nullptr);
    publishedStrategy().reset();
    eventSink() = {};
    {
        SessionState& s = session();
        std::lock_guard sessionLock(s.mutex);
        s.sessionId = 0;
        s.lastActivity = 0;
        s.nextMidnight = 0;
        s.reportCount = 0;
        s.additionSent = false;
    }
    for (Timers* timers : {&pageTimers(), &eventTimers()}) {
        std::lock_guard timerLock(timers->mutex);
        timers->entries.clear();
        timers->created = false;
    }
    std::lock_guard cacheLock(preStartCache().mutex);
    preStartCache().events.clear();
}

void MXStat::setEventSinkForTesting(std::function<void(std::shared_ptr<MXStatEvent>)> sink) { eventSink() = std::move(sink); }

OptString MXStat::mstCurrentPage() const {
    std::lock_guard lock(m_pageMutex);
    return m_currentPage;
}

OptString MXStat::lastPage() const {
    std::lock_guard lock(m_pageMutex);
    return m_lastPage;
}

void MXStat::setCurrentPage(OptString page) {
    std::lock_guard lock(m_pageMutex);
    m_currentPage = std::move(page);
}

void MXStat::setLastPage(OptString page) {
    std::lock_guard lock(m_pageMutex);
    m_lastPage = std::move(page);
}

std::uint32_t MXStat::currentSessionId() { return currentSessionIdNow(); }

// ---- start and sessions ----

void MXStat::startWithAppkey(const OptString& appkey) {
    if (!statGate())
        return;
    if (isEmpty(appkey)) {
        MXStatLog("[ERROR]Failed to start mst sdk with nil/empty appkey.");
        return;
    }
    // Every start adds its key to the "|"-joined list each event carries: a key already there is not
    // added again, and the list stays within kMaxAppkeysLength bytes.
    if (appkey->find('|') != std::string::npos) {
        MXStatLog("[ERROR]Failed to start mst sdk: the appkey holds \"|\".");
        return;
    }
    const OptString configured = config().appkey();
    const std::string joined = configured ? "|" + *configured + "|" : std::string();
    if (joined.find("|" + *appkey + "|") == std::string::npos) {
        const std::string keys = configured ? *configured + "|" + *appkey : *appkey;
        if (keys.size() > kMaxAppkeysLength) {
            MXStatLog("[ERROR]Failed to start mst sdk: the appkeys would be %zu bytes long, more than %zu.", keys.size(),
                      kMaxAppkeysLength);
            return;
        }
        config().setAppkey(keys);
    }
    MXStatDebugLog("MST instance started");
    getInstance();
    touchSession(true, std::nullopt, false);
}

bool MXStat::startWithAppkey(const OptString& appkey, const std::string& checkedSdkVersion) {
    if (platform::compareNumeric(checkedSdkVersion, kMXStatSDKVersion) > 0) {
        MXStatLog("[ERROR]Current SDK's version %s is lower than expected %s, use latest MST SDK instead.", kMXStatSDKVersion,
                  checkedSdkVersion.c_str());
        config().setStatEnable(false);
        return false;
    }
    startWithAppkey(appkey);
    return true;
}

void MXStat::commitCachedStats(std::int32_t count) {
    if (!statGate())
        return;
    if (!existingInstance()) {
        warnNotStarted();
        return;
    }
    MXStatStore::getInstance()->sendCachedEvents(count);
}

void MXStat::startNewSession(bool isRealTime) {
    if (!statGate())
        return;
    touchSession(true, std::nullopt, isRealTime);
}

void MXStat::stopSession() {
    if (!existingInstance()) {
        warnNotStarted();
        return;
    }
    SessionState& s = session();
    std::lock_guard lock(s.mutex);
    s.lastActivity = 0;
}

// ---- page views ----

void MXStat::trackPageViewBegin(const OptString& page, const OptString& appkey) {
    if (!enableGate())
        return;
    if (isEmpty(page)) {
        MXStatLog("[ERROR]Failed to trace nil/empty page.");
        return;
    }
    getInstance().setCurrentPage(page);
    trackDirectPageViewBegin(page, appkey);
}

void MXStat::trackPageViewEnd(const OptString& page, const OptString& appkey, bool isRealTime) {
    if (!enableGate())
        return;
    if (isEmpty(page)) {
        MXStatLog("[ERROR]Failed to trace nil/empty page.");
        return;
    }
    trackDirectPageViewEnd(page, appkey, isRealTime);
    getInstance().setCurrentPage(std::nullopt);
}

void MXStat::trackDirectPageViewBegin(const OptString& page, const OptString& appkey) {
    if (!statGate())
        return;
    if (isEmpty(page)) {
        MXStatLog("[ERROR]Failed to trace nil/empty page.");
        return;
    }
    {
        Timers& timers = pageTimers();
        std::lock_guard lock(timers.mutex);
        if (timers.entries.count(*page)) {
            MXStatLog("[ERROR]Duplicate entry page %s", page->c_str());
            return;
        }
        if (timers.entries.size() >= config().maxParallelTimingEvents()) {
            MXStatLog("[ERROR]Too many parallel page events in memory.");
            return;
        }
        timers.entries.emplace(*page, static_cast<std::uint32_t>(nowSeconds()));
    }
    MXStatDebugLog("Trace begin page:%s", page->c_str());
    reportAdditionOnce(false, appkey, false);
    touchSession(true, appkey, false);
}

void MXStat::trackDirectPageViewEnd(const OptString& page, const OptString& appkey, bool isRealTime) {
    if (!statGate())
        return;
    if (isEmpty(page)) {
        MXStatLog("[ERROR]Failed to trace nil/empty page.");
        return;
    }
    std::uint32_t begin = 0;
    {
        Timers& timers = pageTimers();
        std::lock_guard lock(timers.mutex);
        auto it = timers.entries.find(*page);
        if (it == timers.entries.end()) {
            MXStatLog("[ERROR]NULL entry for page:%s", page->c_str());
            return;
        }
        begin = it->second;
        timers.entries.erase(it);
    }
    const std::uint32_t sid = touchSession(false, appkey, false);
    MXStat& instance = getInstance();
    auto event = makeEvent<MXStatPageView>(sid, appkey, isRealTime);
    event->page = page;
    event->refer = instance.lastPage();
    event->duration = elapsedSince(begin);
    reportEvent(event);
    instance.setLastPage(page);
}

// ---- errors ----

void MXStat::trackException(const std::optional<MXStatException>& exception, const OptString& appkey, bool isRealTime) {
    if (!enableGate())
        return;
    if (!exception) {
        MXStatLog("[ERROR]Failed to trace nil exception.");
        return;
    }
    platform::Array symbols(exception->callStackSymbols.begin(), exception->callStackSymbols.end());
    auto event = makeEvent<MXStatErrorEvent>(freshSessionId(), appkey, isRealTime);
    event->error = platform::formatString("%@\n%@", {exception->reason, platform::Value(std::move(symbols))});
    event->attr = 1;
    reportEvent(event);
}

void MXStat::trackError(const OptString& error, const OptString& appkey, bool isRealTime) {
    if (!enableGate())
        return;
    if (isEmpty(error)) {
        MXStatLog("[ERROR]Failed to trace nil/empty error.");
        return;
    }
    auto event = makeEvent<MXStatErrorEvent>(touchSession(false, appkey, isRealTime), appkey, isRealTime);
    event->error = error;
    event->attr = 0;
    reportEvent(event);
}

// ---- custom events ----

std::string MXStat::customTimerKey(const std::string& eventId, const std::optional<platform::Array>& args) {
    std::string key = eventId + "[";
    if (args)
        for (const platform::Value& arg : *args)
            key += describe(arg);
    return key;
}

std::string MXStat::keyValueTimerKey(const std::string& eventId, const std::optional<platform::Dictionary>& props) {
    std::string key = eventId + "{";
    if (props)
        for (const auto& entry : *props) {
            key += entry.key;
            key += describe(entry.value);
        }
    return key;
}

void MXStat::trackCustomEvent(const OptString& eventId, const std::optional<platform::Array>& args, const OptString& appkey,
                              bool isRealTime) {
    if (!enableGate())
        return;
    if (!eventId) {
        MXStatLog("[ERROR]Failed to trace nil event_id.");
        return;
    }
    const std::uint32_t sid = touchSession(false, appkey, isRealTime);
    reportAdditionOnce(false, std::nullopt, false);
    auto event = customEvent(sid, *eventId, appkey, isRealTime, 0);
    event->args = args;
    reportEvent(event);
}

void MXStat::trackCustomEventBegin(const OptString& eventId, const std::optional<platform::Array>& args, const OptString& appkey) {
    if (enableGate() && acceptsEventId(eventId))
        beginTimed(customTimerKey(*eventId, args), *eventId, appkey);
}

void MXStat::trackCustomEventEnd(const OptString& eventId, const std::optional<platform::Array>& args, const OptString& appkey,
                                 bool isRealTime) {
    if (!enableGate() || !acceptsEventId(eventId))
        return;
    if (auto event = endTimed(customTimerKey(*eventId, args), *eventId, appkey, isRealTime)) {
        event->args = args;
        reportEvent(event);
    }
}

void MXStat::trackCustomKeyValueEvent(const OptString& eventId, const std::optional<platform::Dictionary>& props,
                                      const OptString& appkey, bool isRealTime) {
    if (!enableGate() || !acceptsEventId(eventId))
        return;
    const std::uint32_t sid = touchSession(false, appkey, isRealTime);
    reportAdditionOnce(false, std::nullopt, false);
    auto event = customEvent(sid, *eventId, appkey, isRealTime, 0);
    event->kvs = props;
    reportEvent(event);
}

void MXStat::trackCustomKeyValueEventBegin(const OptString& eventId, const std::optional<platform::Dictionary>& props,
                                           const OptString& appkey) {
    if (enableGate() && acceptsEventId(eventId))
        beginTimed(keyValueTimerKey(*eventId, props), *eventId, appkey);
}

void MXStat::trackCustomKeyValueEventEnd(const OptString& eventId, const std::optional<platform::Dictionary>& props,
                                         const OptString& appkey, bool isRealTime) {
    if (!enableGate() || !acceptsEventId(eventId))
        return;
    if (auto event = endTimed(keyValueTimerKey(*eventId, props), *eventId, appkey, isRealTime)) {
        event->kvs = props;
        reportEvent(event);
    }
}

void MXStat::trackCustomKeyValueEventDuration(std::uint32_t seconds, const OptString& eventId,
                                              const std::optional<platform::Dictionary>& props, const OptString& appkey,
                                              bool isRealTime) {
    if (!enableGate() || !acceptsEventId(eventId))
        return;
    if (seconds == 0) {
        MXStatLog("[ERROR] event:%s duration should not be zero", eventId->c_str());
        return;
    }
    auto event = customEvent(touchSession(false, appkey, isRealTime), *eventId, appkey, isRealTime, seconds);
    event->kvs = props;
    reportEvent(event);
}

// ---- reports ----

void MXStat::reportIM(const OptString& im, const OptString& appkey, bool isRealTime) {
    if (!enableGate())
        return;
    touchSession(false, appkey, isRealTime);
    config().setIm(im);
    reportAdditionOnce(true, appkey, isRealTime);
}

void MXStat::reportAccount(const OptString& account, std::int8_t type, const OptString& ext, const OptString& appkey,
                           bool isRealTime) {
    if (!enableGate())
        return;
    const std::uint32_t sid = touchSession(false, appkey, isRealTime);
    config().setAccount(account);
    config().setAccountType(type);
    config().setAccountExt(ext);
    if (config().statEnable() && config().account())
        reportEvent(makeEvent<MXStatAccountEvent>(sid, appkey, isRealTime));
}

void MXStat::reportAppMonitorStat(const std::shared_ptr<MXStatAppMonitorStat>& stat, const OptString& appkey, bool isRealTime) {
    if (!enableGate())
        return;
    if (!stat || !stat->interface) {
        MXStatLog("[ERROR]Invalid arguments for reportAppMonitorStat:NULL stat object or null interface name in stat object.");
        return;
    }
    auto event = makeEvent<MXStatMonitorStatEvent>(touchSession(false, appkey, isRealTime), appkey, isRealTime);
    event->stat = stat;
    reportEvent(event);
}

void MXStat::trackGameUser(const OptString& uid, const OptString& world, const OptString& level, const OptString& appkey,
                           bool isRealTime) {
    if (!enableGate())
        return;
    if (!uid) {
        MXStatLog("[ERROR]Invalid arguments for trackGameUser: null uid.");
        return;
    }
    auto event = makeEvent<MXStatGameUserEvent>(touchSession(false, appkey, isRealTime), appkey, isRealTime);
    event->uid = uid;
    event->world = world;
    event->level = level;
    reportEvent(event);
}

std::string MXStat::getMstUDID() { return MXStatStore::getInstance()->getMstSharedUDID(); }

// ---- the application's moves ----

void MXStat::onWillApplicationResignActive() {
    if (!statGate())
        return;
    touchSession(false, std::nullopt, false);
    if (const OptString page = mstCurrentPage())
        trackDirectPageViewEnd(page, std::nullopt, false);
}

void MXStat::onDidApplicationBecomeActive() {
    if (!statGate())
        return;
    touchSession(true, std::nullopt, false);
    if (const OptString page = mstCurrentPage())
        trackDirectPageViewBegin(page, std::nullopt);
}

void MXStat::onWillApplicationEnterForeground() {
    if (!statGate())
        return;
    touchSession(true, std::nullopt, false);
}

void MXStat::onWillApplicationEnterBackground() {
    if (!statGate())
        return;
    touchSession(false, std::nullopt, false);
}

void MXStat::onWillApplicationWillTerminate() {
    MXStatDebugLog("MST shutdown.");
    MXStatStore::getInstance()->close();
    if (const std::uint64_t index = MXStatHelper::currentIndex(); index != 0)
        MXStatKeyChain::save(kMXStatEventIndexKeychainKey, platform::Value(static_cast<std::int64_t>(index)));
}

} // namespace stats
