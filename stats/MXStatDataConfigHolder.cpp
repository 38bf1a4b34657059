#include "stats/MXStatDataConfigHolder.h"

#include "stats/MXStatConfig.h"
#include "stats/MXStatDispatcher.h"
#include "stats/MXStatEvent.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatLog.h"
#include "stats/MXStatReachability.h"
#include "stats/MXStatStore.h"

#include "platform/formats/JSON.h"
#include "platform/text/Text.h"
#include "platform/text/TextEncoding.h"

#include <sqlite3.h>

#include <cmath>
#include <limits>

namespace stats {

namespace {

constexpr const char* kInsertSpeedEvent =
    "insert into events(content, status, send_count,ts) values(@CONTENT, @STATUS, @SENDCOUNT, @TS)";

// The class a value would have had in the platform's object world, for messages.
const char* className(const platform::Value& value) {
    switch (value.type()) {
    case platform::Value::Type::Null: return "NSNull";
    case platform::Value::Type::Bool:
    case platform::Value::Type::Integer:
    case platform::Value::Type::UnsignedInteger:
    case platform::Value::Type::Double: return "NSNumber";
    case platform::Value::Type::String: return "NSString";
    case platform::Value::Type::Bytes: return "NSData";
    case platform::Value::Type::Date: return "NSDate";
    case platform::Value::Type::Array: return "NSArray";
    case platform::Value::Type::Dictionary: return "NSDictionary";
    }
    return "NSObject";
}

// A number as an unsigned 32-bit value: integers wrap, fractions are cut, what a 64-bit integer cannot
// hold (and NaN) reads as 0.
std::uint32_t unsignedValue(const platform::Value& value) {
    if (const double* d = value.getDouble()) {
        if (!std::isfinite(*d) || *d >= 9.2e18 || *d <= -9.2e18)
            return 0;
        return static_cast<std::uint32_t>(static_cast<std::int64_t>(*d));
    }
    return static_cast<std::uint32_t>(value.integerValue());
}

std::shared_ptr<MXStatDataConfigHolder>& singleton() {
    static auto* holder = new std::shared_ptr<MXStatDataConfigHolder>();
    return *holder;
}

std::mutex& singletonMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

} // namespace

bool MXStatDataConfig::decode(const platform::Dictionary& record) {
    const platform::Value* c = record.find("c");
    const platform::Value* v = record.find("v");
    const platform::Value* m = record.find("m");
    if (!c || !v || !m)
        return false;
    if (!c->isDictionary()) {
        MXStatLog("Not NSDictionary for decoded config content:%s", className(*c));
        return false;
    }
    if (!v->isNumber() && !v->isBool()) {
        MXStatLog("Not NSDictionary for decoded config version:%s", className(*v));
        return false;
    }
    if (!m->isString()) {
        MXStatLog("Not NSDictionary for decoded config md5:%s", className(*m));
        return false;
    }
    auto text = platform::JSON::writeCompact(*c);
    if (!text)
        return false;
    md5 = *m->getString();
    content = std::move(*text);
    version = unsignedValue(*v);
    return true;
}

void MXStatDataConfig::encodeWithNoContent(platform::Dictionary* dictionary) const {
    if (dictionary)
        dictionary->set("v", static_cast<std::int64_t>(version));
}

std::shared_ptr<MXStatDataConfigHolder> MXStatDataConfigHolder::initSingleton(const std::function<void()>& block) {
    {
        std::lock_guard lock(singletonMutex());
        if (singleton())
            return singleton();
    }
    auto holder = create(MXStatStore::getInstance(), block);
    std::lock_guard lock(singletonMutex());
    if (!singleton()) {
        singleton() = holder;
        MXStatHelper::getInstance().setConfigHolder(holder);
        std::weak_ptr<MXStatDataConfigHolder> weak = holder;
        MXStatConfig::getInstance().setAppPropertySource([weak](const std::string& key) {
            auto strong = weak.lock();
            return strong ? strong->getAppProperty(key) : platform::Value();
        });
    }
    return singleton();
}

std::shared_ptr<MXStatDataConfigHolder> MXStatDataConfigHolder::getInstance() {
    std::lock_guard lock(singletonMutex());
    return singleton();
}

std::shared_ptr<MXStatDataConfigHolder> MXStatDataConfigHolder::create(std::shared_ptr<MXStatStore> store,
                                                                       const std::function<void()>& block) {
    std::shared_ptr<MXStatDataConfigHolder> holder(new MXStatDataConfigHolder(std::move(store)));
    holder->m_db.getDB();
    std::vector<MXStatDataConfig> stored;
    holder->m_store->loadConfig([&stored](const MXStatDataConfig& config) { stored.push_back(config); });
    for (const auto& config : stored)
        holder->setConfig(config);
    if (block)
        block();
    return holder;
}

MXStatDataConfigHolder::MXStatDataConfigHolder(std::shared_ptr<MXStatStore> store)
    : m_queue(platform::DispatchQueue::createSerial(kMXStatStoreQueueLabel)),
      m_store(std::move(store)),
      m_db(m_store->database()) {}

MXStatDataConfigHolder::~MXStatDataConfigHolder() = default;

platform::Value MXStatDataConfigHolder::getAppProperty(const std::string& key) const {
    std::lock_guard lock(m_mutex);
    return m_appProperties[key];
}

std::optional<MXStatDataConfig> MXStatDataConfigHolder::getConfig(std::uint32_t type) const {
    std::lock_guard lock(m_mutex);
    if (type == MXStatDataConfigTypeSDK)
        return m_sdkCfg;
    if (type == MXStatDataConfigTypeApp)
        return m_appCfg;
    return std::nullopt;
}

void MXStatDataConfigHolder::encode(platform::Dictionary& event) const {
    platform::Dictionary sdk;
    platform::Dictionary app;
    {
        std::lock_guard lock(m_mutex);
        if (m_sdkCfg)
            m_sdkCfg->encodeWithNoContent(&sdk);
        if (m_appCfg)
            m_appCfg->encodeWithNoContent(&app);
    }
    event.set("cfg", platform::Dictionary{{"1", std::move(sdk)}, {"2", std::move(app)}});
}

void MXStatDataConfigHolder::setErrorReporter(ErrorReporter reporter) {
    std::lock_guard lock(m_mutex);
    m_errorReporter = std::move(reporter);
}

void MXStatDataConfigHolder::setSpeedTest(SpeedTest test) {
    std::lock_guard lock(m_mutex);
    m_speedTest = std::move(test);
}

void MXStatDataConfigHolder::report(const std::string& error) const {
    ErrorReporter reporter;
    {
        std::lock_guard lock(m_mutex);
        reporter = m_errorReporter;
    }
    if (reporter)
        reporter(error);
}

void MXStatDataConfigHolder::updateOnlineConfig(const platform::Dictionary& reply) {
    // A reply that carries "mid" is about the device id, not configuration.
    if (reply.contains("mid"))
        return;
    const platform::Dictionary* cfg = reply["cfg"].getDictionary();
    if (!cfg)
        return;
    if (const auto* sdk = (*cfg)["1"].getDictionary())
        updateConfig(*sdk, MXStatDataConfigTypeSDK);
    if (const auto* app = (*cfg)["2"].getDictionary())
        updateConfig(*app, MXStatDataConfigTypeApp);
}

void MXStatDataConfigHolder::updateConfig(const platform::Dictionary& record, std::uint32_t type) {
    MXStatDebugLog("Start update configuration from MST's reponse content");
    MXStatDataConfig config;
    if (!config.decode(record)) {
        MXStatLog("[ERROR]Failed to decode config for %s", platform::Value(record).description().c_str());
        return;
    }
    config.type = type;
    const auto held = getConfig(type);
    const std::uint32_t local = held ? held->version : 0;
    if (local < config.version) {
        setConfig(config);
        m_store->storeConfig(config);
    } else {
        MXStatDebugLog("[WARN]Local has version:%u for config:%u, while remote has version:%u", local, type,
                       config.version);
    }
}

void MXStatDataConfigHolder::setConfig(const MXStatDataConfig& config) {
    auto parsed = platform::JSON::parse(config.content);
    if (!parsed) {
        const std::string error = "Decode response config JSON error :" + parsed.error().localizedDescription();
        MXStatLog("%s", error.c_str());
        report(error);
        return;
    }
    const platform::Dictionary* content = parsed->getDictionary();
    if (!content) {
        const std::string error = std::string("Not NSDictionary for decoded response config object:") + className(*parsed);
        MXStatLog("%s", error.c_str());
        report(error);
        return;
    }
    if (config.type == MXStatDataConfigTypeSDK) {
        {
            std::lock_guard lock(m_mutex);
            m_sdkCfg = config;
        }
        applySDKConfig(*content);
    } else if (config.type == MXStatDataConfigTypeApp) {
        std::lock_guard lock(m_mutex);
        m_appCfg = config;
        m_appProperties = *content;
    }
}

void MXStatDataConfigHolder::applySDKConfig(const platform::Dictionary& content) {
    MXStatConfig& settings = MXStatConfig::getInstance();
    const platform::Value& rs = content["rs"];
    if (rs.isNumber() && rs.integerValue() >= 1) {
        const std::int64_t strategy = std::min<std::int64_t>(rs.integerValue(), std::numeric_limits<std::int32_t>::max());
        settings.setReportStrategy(static_cast<std::int32_t>(strategy));
    }
    const MXStatEnv& env = MXStatHelper::getInstance().getEnv();
    if (const std::string* hibernate = content[kMXStatHibernateKey].getString()) {
        if (platform::compareNumeric(*hibernate, env.sdk_version) >= 0)
            settings.setStatEnable(false);
    }
    if (const platform::Dictionary* kill = content[kMXStatKillKey].getDictionary()) {
        const auto matches = [kill](const char* key, const std::string& own) {
            const std::string* value = (*kill)[key].getString();
            return value && *value == own;
        };
        if (matches("sv", env.sdk_version) || matches("md", env.modulename) || matches("av", env.app_version))
            MXStatHelper::getInstance().setMSTEnableFlag(false);
    }
    if (const std::string* targets = content[kMXStatTestSpeedKey].getString(); targets && !targets->empty()) {
        m_queue->async([weak = weak_from_this(), targets = *targets] {
            auto self = weak.lock();
            if (!self)
                return;
            SpeedTest test;
            {
                std::lock_guard lock(self->m_mutex);
                test = self->m_speedTest;
            }
            if (test)
                test(targets);
            else
                self->runSpeedTest(targets);
        });
    }
}

void MXStatDataConfigHolder::runSpeedTest(const std::string& targets) {
    const auto internet = MXStatReachability::reachabilityForInternetConnection();
    if (!internet || !internet->isReachable()) {
        MXStatLog("taSocket event since no active network.");
        return;
    }
    MXStatDispatcher::speedTest(targets);
    MXStatConfig& settings = MXStatConfig::getInstance();
    auto event = std::make_shared<MXStatTestSpeedEvent>();
    event->sp = settings.sp();
    event->op = settings.op();
    event->cn = settings.cn();
    const std::string text = event->toJsonString();
    const std::size_t length = platform::utf16Length(text);
    if (length > settings.maxReportEventLength()) {
        MXStatLog("[ERROR]Too large event content length to report:%lu", static_cast<unsigned long>(length));
        return;
    }
    std::lock_guard sqlLock(MXStatSQLLock());
    const int rc = m_db.runKept(
        kInsertSpeedEvent,
        [&](sqlite3_stmt* statement) {
            MXStatDatabase::bindText(statement, 1, text);
            sqlite3_bind_int(statement, 2, static_cast<int>(MXStatStoreEventStatusStored));
            sqlite3_bind_int(statement, 3, 0);
            sqlite3_bind_int64(statement, 4, static_cast<sqlite3_int64>(event->ts));
        },
        "Failed to prepare insert events", "Failed to exec satement to insert events.");
    // The store's count of unsent rows must include this one, or batches would start one row late.
    if (rc == SQLITE_DONE)
        m_store->countStoredEvents();
}

} // namespace stats
