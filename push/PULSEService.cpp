#include "push/PULSEService.h"

#include "platform/runloop/DispatchSemaphore.h"

#include "push/PULSEAlert.h"
#include "push/PULSEClientController.h"
#include "push/PULSEDelegateSynchronize.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSELocalNotificationController.h"
#include "push/PULSELogging.h"
#include "push/PULSEPushConfigController.h"
#include "push/PULSEThread.h"
#include "push/PULSEUserDefaultsController.h"
#include "push/PULSEUtilities.h"

#include "pushlog/PULSEASLLogger.h"
#include "pushlog/PULSECustomFormatter.h"
#include "pushlog/PULSEFileLogger.h"
#include "pushlog/PULSELog.h"
#include "pushlog/PULSELogFileManagerDefault.h"
#include "pushlog/PULSETTYLogger.h"

#include "platform/application/Application.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"

#include <atomic>
#include <cstdlib>
#include <utility>

namespace push {

namespace {

std::mutex g_serviceMutex;
std::unique_ptr<PULSEService> g_service;

std::once_flag g_loggerOnce;
std::atomic<std::uint64_t> g_currentLogLevel{0};

constexpr std::uint64_t kDebugLevel = 15;
constexpr std::uint64_t kInfoLevel = 7;

std::uint64_t unsignedValueOf(const platform::Value* value) {
    if (!value)
        return 0;
    if (value->isNumber())
        return static_cast<std::uint64_t>(value->integerValue());
    if (const std::string* text = value->getString())
        return std::strtoull(text->c_str(), nullptr, 10);
    return 0;
}

platform::Dictionary locationEntry(double latitude, double longitude, platform::Value altitude,
                                   platform::Value horizontal, platform::Value vertical) {
    platform::Dictionary entry;
    entry.set("lat", latitude);
    entry.set("lng", longitude);
    entry.set("altitude", std::move(altitude));
    entry.set("horizontalAccuracy", std::move(horizontal));
    entry.set("verticalAccuracy", std::move(vertical));
    return entry;
}

// Tags and alias as a log line shows them: "(null)", the text, or the set's texts in braces.
std::string describe(const platform::ArchiveValue& value) {
    if (const std::string* text = value.getString())
        return *text;
    if (const platform::ArchiveSet* set = value.getSet()) {
        std::string out = "{(";
        for (const auto& item : *set)
            out += (out.size() > 2 ? ", " : "") + describe(item);
        return out + ")}";
    }
    return "(null)";
}

// The stored registration id, "" before registration (the client thread, or any thread once it ended).
std::string storedRegistrationID() { return PULSEClientController::sharedClient().readRegistrationID().value_or(""); }

} // namespace

// ---- the shared service ----

PULSEService& PULSEService::sharedService() {
    std::lock_guard lock(g_serviceMutex);
    if (!g_service) {
        auto thread = PULSEThread::builder(PULSERunLoopMode::Alive)->build();
        thread->setThreadName(std::string(kClientThreadName));
        g_service.reset(new PULSEService(thread->runLoop()));
        g_service->m_clientThread = thread;
        PULSEClientController::sharedClient().PulseThreadManager().addThread(thread);
    }
    return *g_service;
}

void PULSEService::resetForTesting(std::shared_ptr<platform::RunLoop> clientLoop) {
    std::lock_guard lock(g_serviceMutex);
    g_service.reset();
    g_service.reset(new PULSEService(std::move(clientLoop)));
}

PULSEService::PULSEService(std::shared_ptr<platform::RunLoop> clientLoop) : m_clientLoop(std::move(clientLoop)) {
    observeLifecycle();
}

PULSEService::~PULSEService() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

std::shared_ptr<platform::RunLoop> PULSEService::clientLoop() const { return m_clientLoop; }

void PULSEService::onClient(std::function<void()> block) const {
    if (m_clientLoop)
        m_clientLoop->perform(std::move(block));
}

// ---- pushed messages for the page ----

void PULSEService::heldMessages(std::function<void(std::vector<PULSEMessageCenter::HeldMessage>)> done) {
    auto answer = [done = std::move(done)](std::vector<PULSEMessageCenter::HeldMessage> held) mutable {
        platform::DispatchQueue::main()->async(
            [done = std::move(done), held = std::move(held)]() mutable { done(std::move(held)); });
    };
    auto& service = sharedService();
    if (!service.m_clientLoop) {
        answer({});
        return;
    }
    service.onClient([answer = std::move(answer)]() mutable {
        const auto& center = PULSEClientController::sharedClient().messageCenter();
        answer(center ? center->heldMessages() : std::vector<PULSEMessageCenter::HeldMessage>{});
    });
}

void PULSEService::messagesHandedOver(std::vector<std::uint64_t> messageIDs) {
    sharedService().onClient([messageIDs = std::move(messageIDs)] {
        if (const auto& center = PULSEClientController::sharedClient().messageCenter())
            center->handedOver(messageIDs);
    });
}

// ---- set-up ----

void PULSEService::setupWithOption(const platform::Dictionary& launchOptions, const std::string& appKey,
                                   const std::string& channel, bool apsForProduction) {
    sharedService().commonSetup(launchOptions, appKey, channel, apsForProduction);
}

void PULSEService::setupWithOption(const platform::Dictionary& launchOptions) {
    sharedService().commonSetup(launchOptions, std::nullopt, {}, false);
}

static void loadEndpointsFile(const std::string& path) {
    auto loaded = PULSEEndpoints::loadFile(path);
    if (!loaded)
        PULSE_LOG_ERROR("push endpoints not loaded: %s", loaded.error().localizedDescription().c_str());
}

void PULSEService::commonSetup(const platform::Dictionary& launchOptions, const std::optional<std::string>& appKey,
                               const std::string& channel, bool apsForProduction) {
    {
        std::lock_guard lock(m_onceMutex);
        if (m_setupDone)
            return;
        m_setupDone = true;
    }
    setupPulseLogger();
    const platform::Bundle bundle = platform::Bundle::main();
    if (const std::string endpoints = bundle.pathForResource(kEndpointsFileName, "plist"); !endpoints.empty())
        loadEndpointsFile(endpoints);

    auto config = std::make_shared<PULSEPushConfigController>();
    if (!appKey) {
        const std::string path = bundle.pathForResource("PushConfig", "plist");
        if (path.empty())
            PULSE_LOG_ERROR("找不到pushConfig.plist文件");
        if (path.empty() || !config->loadWithUrl(path)) {
            PULSE_LOG_ERROR("获取push配置文件信息失败,请检查pushConfig.plist文件的配置参数是否合法");
            onClient([] { PULSEClientController::sharedClient().setPushConfig(nullptr); });
            return;
        }
    } else if (!config->setAppKey(appKey, channel, apsForProduction)) {
        PULSE_LOG_ERROR("请检查\"setupWithOption:appKey:channel:apsForProduction:\"方法的参数值");
        onClient([config] { PULSEClientController::sharedClient().setPushConfig(config); });
        return;
    }
    onClient([config] { PULSEClientController::sharedClient().setPushConfig(config); });

    PULSE_LOG_INFO("%s--------------------Pulse SDK Version:%s--build:%u----------\n-----------------AppKey:%s"
                   "----------------\n----------------------------------------------------------------",
                   "\n--------------------------- Pulse Log ----------------------------\n",
                   PULSESDKVersion().c_str(), kBuildNumber, config->applicationKey().c_str());

    // A process that ends without the application's end (its termination) ends the client thread before
    // the process's state that the thread reads (made during set-up) is torn down.
    static std::once_flag exitHook;
    std::call_once(exitHook, [] {
        // What the thread reads of the process is made before the hook, so that it is torn down after it.
        (void)PULSEDelegateSynchronize::stateForIdentifier({});
        (void)PULSEEndpoints::shared();
        std::atexit([] {
            PULSEService* service = nullptr;
            {
                std::lock_guard lock(g_serviceMutex);
                service = g_service.get();
            }
            // Outside the lock: the thread's last work may ask for the service.
            if (service)
                service->finishClientThread();
        });
    });

    const platform::Dictionary* launchPayload = nullptr;
    if (const platform::Value* entry = launchOptions.find(platform::kApplicationLaunchOptionsRemoteNotificationKey))
        launchPayload = entry->getDictionary();
    setupClient();
    handleRemoteNotification(launchPayload ? *launchPayload : platform::Dictionary(), true);
}

void PULSEService::setupClient() {
    const platform::Bundle bundle = platform::Bundle::main();
    std::string systemVersion = platform::Device::current().systemVersion();
    std::string identifier = bundle.bundleIdentifier();
    platform::Value version;
    if (const platform::Value raw = bundle.objectForInfoDictionaryKey("CFBundleVersion"); raw.isNumber())
        version = raw;
    else if (const std::string* text = raw.getString())
        version = std::strtod(text->c_str(), nullptr);
    std::optional<std::string> profile;
    if (std::string path = bundle.pathForResource("embedded", "mobileprovision"); !path.empty())
        profile = std::move(path);
    std::string machine = platform::Device::current().machine().substr(0, 127);
    onClient([systemVersion = std::move(systemVersion), identifier = std::move(identifier), version = std::move(version),
              profile = std::move(profile), machine = std::move(machine)] {
        auto& client = PULSEClientController::sharedClient();
        client.setSystemVersion(systemVersion);
        client.setBundleIdentifier(identifier);
        client.setBundleVersion(version);
        client.setEmProvisionUrl(profile);
        client.setModelName(machine);
        client.setup();
    });
}

void PULSEService::setupPulseLogger() {
    std::call_once(g_loggerOnce, [] {
        auto formatter = std::make_shared<pushlog::PULSECustomFormatter>(0);
        auto files = std::make_shared<pushlog::PULSELogFileManagerDefault>();
        files->setMaximumNumberOfLogFiles(7);
        auto fileLogger = std::make_shared<pushlog::PULSEFileLogger>(files);
        fileLogger->setRollingFrequency(86400);
        fileLogger->setLogFormatter(formatter);
        pushlog::PULSELog::addLogger(fileLogger, kDebugLevel);

        // The terminal and the system log take the set-up's own level, info, whatever was chosen before
        // (the application's start-up road switches debug on first): the client's routine chatter (every
        // retry of a connection nobody answers) is debug, in the log files, and reaches the terminal only
        // when debug is asked for after set-up.
        const auto& system = pushlog::PULSEASLLogger::sharedInstance();
        system->setLogFormatter(formatter);
        const auto& terminal = pushlog::PULSETTYLogger::sharedInstance();
        terminal->setLogFormatter(formatter);
        using pushlog::PULSECLIColor;
        terminal->setForegroundColor(PULSECLIColor(1.0, 0.0, 0.0), std::nullopt, pushlog::PULSELogFlagError);
        terminal->setForegroundColor(PULSECLIColor(254 / 255.0, 186 / 255.0, 173 / 255.0), std::nullopt,
                                     pushlog::PULSELogFlagWarning);
        terminal->setForegroundColor(PULSECLIColor(0.0, 1.0, 0.0), std::nullopt, pushlog::PULSELogFlagInfo);
        terminal->setForegroundColor(PULSECLIColor(65 / 255.0, 105 / 255.0, 225 / 255.0), std::nullopt,
                                     pushlog::PULSELogFlagVerbose);
        terminal->setColorsEnabled(true);
    });
    // Every set-up takes its own level, also one of a service made again (the loggers are made once).
    changeLoggerLevel(kInfoLevel);
}

// ---- logging ----

void PULSEService::setDebugMode() { changeLoggerLevel(kDebugLevel); }

void PULSEService::setLogOFF() { changeLoggerLevel(0); }

void PULSEService::changeLoggerLevel(std::uint64_t level) {
    const auto& terminal = pushlog::PULSETTYLogger::sharedInstance();
    pushlog::PULSELog::removeLogger(terminal);
    pushlog::PULSELog::addLogger(terminal, level);
    const auto& system = pushlog::PULSEASLLogger::sharedInstance();
    pushlog::PULSELog::removeLogger(system);
    pushlog::PULSELog::addLogger(system, level);
    g_currentLogLevel = level;
}

std::uint64_t PULSEService::currentLogLevel() { return g_currentLogLevel.load(); }

// ---- the platform's side ----

void PULSEService::registerDeviceToken(const platform::Bytes& deviceToken) {
    std::string bytes(deviceToken.begin(), deviceToken.end());
    sharedService().onClient([bytes = std::move(bytes)] { PULSEClientController::sharedClient().updateDeviceToken(bytes); });
}

void PULSEService::registerForRemoteNotificationTypes(unsigned types, const std::optional<std::set<std::string>>&) {
    // The platform's user-notification settings carry types only; categories have no counterpart here.
    auto& application = platform::Application::shared();
    if (std::strtod(platform::Device::current().systemVersion().c_str(), nullptr) >= 8.0) {
        application.registerForRemoteNotifications();
        application.registerUserNotificationSettings(types);
    } else {
        application.registerForRemoteNotificationTypes(types);
    }
}

void PULSEService::handleRemoteNotification(const platform::Dictionary& payload) {
    sharedService().handleRemoteNotification(payload, false);
}

void PULSEService::handleRemoteNotification(const platform::Dictionary& payload, bool atLaunch) {
    if (payload.empty())
        return;
    const auto state = platform::Application::shared().applicationState();
    std::uint16_t code = kOpenOther;
    {
        std::lock_guard lock(m_onceMutex);
        const std::uint64_t messageId = unsignedValueOf(payload.find("_p_msgid"));
        if (atLaunch) {
            m_launchMessageId = messageId;
            if (m_launchMessageId == 0)
                m_launchHandled = true;
            code = kOpenLaunch;
        } else {
            // Only a launching notification with an id can come again; without one (no launching
            // notification at all) nothing is held back.
            if (!m_launchHandled) {
                m_launchHandled = true;
                if (m_launchMessageId != 0 && messageId == m_launchMessageId)
                    return;
            }
            switch (state) {
            case platform::ApplicationState::Active: code = kOpenActive; break;
            case platform::ApplicationState::Background: code = kOpenInBackground; break;
            case platform::ApplicationState::Inactive: code = m_isFromBackground ? kOpenFromBackground : kOpenActive; break;
            }
        }
    }
    PULSE_LOG_DEBUG("remote info:\n%s \nreport result: %d ,appState: %d", platform::Value(payload).description().c_str(),
                    code, static_cast<int>(state));
    platform::Array item{platform::Value(static_cast<std::int64_t>(code)), platform::Value(payload)};
    onClient([item = platform::Value(std::move(item))] { PULSEClientController::sharedClient().handleRemoteNotification(item); });
}

// ---- tags and alias ----

void PULSEService::setTagsAlias(const platform::ArchiveValue& tags, const platform::ArchiveValue& alias,
                                std::shared_ptr<PULSESetTagAliasArg> arg) {
    arg->setTags(tags);
    arg->setAlias(alias);
    onClient([arg = std::move(arg)] {
        auto& client = PULSEClientController::sharedClient();
        if (!client.userDefaults() || !client.userDefaults()->isAppRegisted()) {
            PULSE_LOG_ERROR("app not registed, give up set tag:%s alias:%s", describe(arg->tags()).c_str(),
                            describe(arg->alias()).c_str());
            return;
        }
        client.setTagAlias(arg);
    });
}

void PULSEService::setTags(const platform::ArchiveValue& tags, const platform::ArchiveValue& alias,
                           const std::optional<std::string>& callbackName,
                           const std::shared_ptr<PULSETagAliasCallbackTarget>& target) {
    auto arg = PULSESetTagAliasArg::create();
    arg->setType(PULSESetTagAliasArg::kCallback);
    if (callbackName && target) {
        arg->setCallback(target, *callbackName);
        if (!arg->cbInvocation())
            PULSEAlert("Pulse Warning",
                       "setTagsAlias callback selector NOT found (callback selector not implemented for target object)");
    } else if (target) {
        PULSEAlert("Pulse Warning", "setTagsAlias callback will NOT be invoked due to nil callback selector");
    } else if (callbackName) {
        PULSEAlert("Pulse Warning", "setTagsAlias callback will NOT be invoked due to nil target");
    }
    sharedService().setTagsAlias(tags, alias, std::move(arg));
}

void PULSEService::setTags(const platform::ArchiveValue& tags, const platform::ArchiveValue& alias,
                           PULSETagAliasCallback completion) {
    auto arg = PULSESetTagAliasArg::create();
    arg->setType(PULSESetTagAliasArg::kBlock);
    arg->setCompletionHandler(std::move(completion));
    sharedService().setTagsAlias(tags, alias, std::move(arg));
}

void PULSEService::setTagsInBackground(const platform::ArchiveValue& tags, const platform::ArchiveValue& alias) {
    auto arg = PULSESetTagAliasArg::create();
    arg->setType(PULSESetTagAliasArg::kBackground);
    sharedService().setTagsAlias(tags, alias, std::move(arg));
}

void PULSEService::setAlias(const platform::ArchiveValue& alias, const std::optional<std::string>& callbackName,
                            const std::shared_ptr<PULSETagAliasCallbackTarget>& target) {
    setTags(platform::ArchiveValue(), alias, callbackName, target);
}

std::optional<platform::ArchiveSet> PULSEService::filterValidTags(const platform::ArchiveValue& tags) {
    return PULSETagAliasValidation::filterValidTags(tags);
}

// ---- page views, location, badge, crash logs ----

void PULSEService::startLogPageView(const std::optional<std::string>& pageName) {
    sharedService().onClient([pageName] { PULSEClientController::sharedClient().setViewStart(pageName); });
}

void PULSEService::stopLogPageView(const std::optional<std::string>& pageName) {
    sharedService().onClient([pageName] { PULSEClientController::sharedClient().setViewStop(pageName); });
}

void PULSEService::beginLogPageView(const std::string& pageName, std::int32_t seconds) {
    platform::Array view{platform::Value(pageName), platform::Value(static_cast<std::int64_t>(seconds))};
    sharedService().onClient([view = std::move(view)] { PULSEClientController::sharedClient().setViewLogSecond(view); });
}

void PULSEService::setLatitude(double latitude, double longitude) {
    platform::Value entry(locationEntry(latitude, longitude, "", "", ""));
    sharedService().onClient([entry = std::move(entry)] { PULSEClientController::sharedClient().setLatitude(entry); });
}

void PULSEService::setLocation(const std::optional<PULSELocationFix>& location) {
    if (!location) {
        PULSE_LOG_ERROR("参数location不能为空");
        return;
    }
    platform::Value entry(locationEntry(location->latitude, location->longitude, location->altitude,
                                        location->horizontalAccuracy, location->verticalAccuracy));
    sharedService().onClient([entry = std::move(entry)] { PULSEClientController::sharedClient().setLatitude(entry); });
}

bool PULSEService::setBadge(std::int64_t value) {
    if (value < 0 || value > kMaxBadge)
        return false;
    sharedService().onClient([value] { PULSEClientController::sharedClient().setBadgeNumberReport(value); });
    return true;
}

void PULSEService::resetBadge() {
    sharedService().onClient([] { PULSEClientController::sharedClient().setBadgeNumberReport(0); });
}

void PULSEService::crashLogON() {
    sharedService().onClient([] { PULSEClientController::sharedClient().setCrashLogON(); });
}

bool PULSEService::clientEnded() const { return !m_clientLoop || m_clientEnded.load(std::memory_order_acquire); }

std::string PULSEService::registrationID() {
    PULSEService& service = sharedService();
    if (service.clientEnded() || service.m_clientLoop->isCurrent())
        return storedRegistrationID();
    // The hub's fields belong to the client thread: the id is read there, and an answer that does not come
    // within two seconds (a client thread stuck) is no id.
    auto result = std::make_shared<std::string>();
    auto done = std::make_shared<platform::DispatchSemaphore>(0);
    service.m_clientLoop->perform([result, done] {
        *result = storedRegistrationID();
        done->signal();
    });
    if (!done->wait(std::chrono::seconds(2)))
        return "";
    return *result;
}

void PULSEService::registrationID(std::function<void(std::string)> done) {
    PULSEService& service = sharedService();
    auto read = std::make_shared<std::function<void(std::string)>>(std::move(done));
    // Each read is answered once: by the client thread, or after its end by the main thread.
    auto answer = [](const std::shared_ptr<std::function<void(std::string)>>& read, std::string id) {
        platform::DispatchQueue::main()->async([read, id = std::move(id)]() mutable {
            if (auto done = std::exchange(*read, nullptr))
                done(std::move(id));
        });
    };
    if (service.clientEnded() || service.m_clientLoop->isCurrent()) {
        answer(read, storedRegistrationID());
        return;
    }
    std::erase_if(service.m_pendingIdReads, [](const auto& pending) { return !*pending; });
    service.m_pendingIdReads.push_back(read);
    service.m_clientLoop->perform([read, answer] { answer(read, storedRegistrationID()); });
}

void PULSEService::answerPendingIdReads() {
    for (auto& read : std::exchange(m_pendingIdReads, {}))
        platform::DispatchQueue::main()->async([read] {
            if (auto done = std::exchange(*read, nullptr))
                done(storedRegistrationID());
        });
}

// ---- local notifications ----

std::optional<platform::LocalNotification> PULSEService::setLocalNotification(
    const std::optional<platform::Date>& fireDate, const std::optional<std::string>& alertBody, std::int32_t badge,
    const std::optional<std::string>& alertAction, const std::optional<std::string>& identifierKey,
    const std::optional<platform::Dictionary>& userInfo, const std::optional<std::string>& soundName,
    const std::optional<platform::Dictionary>& region, bool regionTriggersOnce, const std::optional<std::string>& category) {
    return PULSELocalNotificationController::setLocalNotification(fireDate, alertBody, badge, alertAction, identifierKey,
                                                                  userInfo, soundName, region, regionTriggersOnce, category);
}

std::optional<std::vector<platform::LocalNotification>> PULSEService::findLocalNotificationWithIdentifier(
    const std::optional<std::string>& identifierKey) {
    return PULSELocalNotificationController::findLocalNotificationWithIdentifier(identifierKey);
}

void PULSEService::deleteLocalNotificationWithIdentifierKey(const std::optional<std::string>& identifierKey) {
    PULSELocalNotificationController::deleteLocalNotificationWithIdentifierKey(identifierKey);
}

void PULSEService::deleteLocalNotification(const std::optional<platform::LocalNotification>& notification) {
    PULSELocalNotificationController::deleteLocalNotification(notification);
}

void PULSEService::clearAllLocalNotifications() { PULSELocalNotificationController::clearAllLocalNotifications(); }

std::shared_ptr<platform::AlertView> PULSEService::showLocalNotificationAtFront(
    const std::optional<platform::LocalNotification>& notification, const std::optional<std::string>& identifierKey) {
    return PULSELocalNotificationController::showLocalNotificationAtFront(notification, identifierKey);
}

// ---- the application's lifecycle ----

void PULSEService::observeLifecycle() {
    auto& center = platform::NotificationCenter::defaultCenter();
    const void* application = nullptr;
    center.addObserver(this, platform::kApplicationWillTerminateNotification, application, [this](const platform::Notification&) {
        reportInactive();
        synchronize();
        // The process ends next: the client thread ends first, so that its last work completes and
        // nothing of it runs while the process tears its state down.
        finishClientThread();
        // What the page asked of the client thread and it left unanswered is answered from what it left.
        answerPendingIdReads();
    });
    center.addObserver(this, platform::kApplicationDidBecomeActiveNotification, application,
                       [this](const platform::Notification&) { m_isFromBackground = false; });
    center.addObserver(this, platform::kApplicationDidEnterBackgroundNotification, application,
                       [this](const platform::Notification&) {
                           m_isFromBackground = true;
                           reportInactive();
                           synchronize();
                           onClient([] { PULSEClientController::sharedClient().onEnterBackground(); });
                       });
    center.addObserver(this, platform::kApplicationWillEnterForegroundNotification, application,
                       [this](const platform::Notification&) {
                           onClient([] { PULSEClientController::sharedClient().onDidBecomeActive(); });
                           reportLaunch();
                       });
}

void PULSEService::finishClientThread() {
    if (!m_clientLoop || m_clientLoop->isCurrent())
        return;
    // Nothing answers the client's waits any more once the process ends: they give up at once.
    PULSEDelegateSynchronize::abandonAllWaits();
    if (m_clientThread)
        m_clientThread->finish(kFinishLimit);
    // Ended and joined: what it wrote is the calling thread's to read.
    m_clientEnded.store(true, std::memory_order_release);
}

void PULSEService::reportLaunch() const {
    const double now = PULSECorrectedTime();
    onClient([now] { PULSEClientController::sharedClient().reportLaunch(now); });
}

void PULSEService::reportInactive() const {
    const double now = PULSECorrectedTime();
    onClient([now] { PULSEClientController::sharedClient().reportInactive(now); });
}

void PULSEService::synchronize() const {
    onClient([] { PULSEClientController::sharedClient().synchronizeData(); });
}

} // namespace push
