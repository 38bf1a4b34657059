#include "stats/MXStatEvent.h"

#include "stats/MXStatConfig.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatReachability.h"

#include "platform/runloop/Clock.h"

#include <cmath>

namespace stats {

namespace {

constexpr std::size_t kMaxErrorLines = 100;

void setIfPresent(platform::Dictionary& dictionary, const char* key, const std::optional<std::string>& value) {
    if (value)
        dictionary.set(key, *value);
}

// Environment texts are never missing, only empty.
void setIfNotEmpty(platform::Dictionary& dictionary, const char* key, const std::string& value) {
    if (!value.empty())
        dictionary.set(key, value);
}

// "WIFI" or "CellNetwork" as the internet connection is reachable, else nothing.
std::optional<std::string> networkKind() {
    const auto reachability = MXStatReachability::reachabilityForInternetConnection();
    if (!reachability)
        return std::nullopt;
    const platform::ReachabilityFlags flags = reachability->reachabilityFlags();
    if (!reachability->isReachableWithFlags(flags))
        return std::nullopt;
    if (MXStatReachability::isReachableViaWiFiWithFlags(flags))
        return "WIFI";
    if (MXStatReachability::isReachableViaWWANWithFlags(flags))
        return "CellNetwork";
    return std::nullopt;
}

// customerAppVersion, else the bundle's version.
std::optional<std::string> appVersion(const MXStatConfig& config, const MXStatEnv& env) {
    if (auto version = config.customerAppVersion())
        return version;
    if (!env.app_version.empty())
        return env.app_version;
    return std::nullopt;
}

std::int32_t userType() {
    const auto user = MXStatHelper::getInstance().getUser();
    return user ? user->userType : 0;
}

// The first lines of a text (split and joined on "\n").
std::string firstLines(const std::string& text, std::size_t count) {
    std::size_t end = 0;
    for (std::size_t line = 0; line < count; ++line) {
        end = text.find('\n', end);
        if (end == std::string::npos)
            return text;
        if (line + 1 < count)
            ++end;
    }
    return text.substr(0, end);
}

std::string optionalDescription(const std::optional<std::string>& value) {
    return value ? *value : "(null)";
}

std::string optionalDescription(const std::optional<std::int64_t>& value) {
    return value ? std::to_string(*value) : "(null)";
}

} // namespace

MXStatEvent::MXStatEvent()
    : ts(static_cast<std::uint32_t>(std::floor(platform::Clock::current().wallNow().secondsSince1970))),
      eventIndex(MXStatHelper::nextEventIndex()) {}

std::string MXStatEvent::toJsonString() {
    const MXStatConfig& config = MXStatConfig::getInstance();
    const MXStatEnv& env = MXStatHelper::getInstance().getEnv();
    const std::int32_t type = getType();

    platform::Dictionary dictionary;
    dictionary.set("idx", eventIndex);
    dictionary.set("ts", ts);
    dictionary.set("si", sid);
    if (type != MXStatEventTypeSessionEnv) {
        setIfNotEmpty(dictionary, "sv", env.sdk_version);
        dictionary.set("ut", userType());
        setIfPresent(dictionary, "ch", config.channel());
        setIfPresent(dictionary, "av", appVersion(config, env));
    }
    dictionary.set("mc", MXStatHelper::getMacAddress());
    setIfPresent(dictionary, "cui", config.customerUserID());
    setIfPresent(dictionary, "cav", config.customerAppVersion());
    setIfNotEmpty(dictionary, "ui", env.deviceid);
    setIfPresent(dictionary, "ifa", config.ifa());
    dictionary.set("mid", config.pushDeviceToken().value_or("none"));
    setIfPresent(dictionary, "ifv", env.ifv);
    dictionary.set("et", type);
    setIfPresent(dictionary, "ky", appkey ? appkey : config.appkey());

    encode(dictionary);
    return MXStatHelper::getJson(platform::Value(std::move(dictionary)));
}

void MXStatPageView::encode(platform::Dictionary& dictionary) {
    setIfPresent(dictionary, "pi", page);
    dictionary.set("du", duration);
    if (page && refer && *page == *refer)
        refer = "-";
    setIfPresent(dictionary, "rf", refer);
}

void MXStatSessionEnv::encode(platform::Dictionary& dictionary) {
    const MXStatConfig& config = MXStatConfig::getInstance();
    MXStatHelper& helper = MXStatHelper::getInstance();
    const MXStatEnv& env = helper.getEnv();

    platform::Dictionary ev;
    ev.set("pl", env.platform);
    ev.set("tz", env.timezone);
    ev.set("ov", env.os_version);
    setIfPresent(ev, "av", appVersion(config, env));
    ev.set("os", 2);
    ev.set("sv", env.sdk_version);
    ev.set("lg", env.language);
    ev.set("sr", env.resolution);
    setIfNotEmpty(ev, "op", env.mccmnc);
    ev.set("md", env.devicename);
    ev.set("mf", env.modulename);
    ev.set("wf", helper.fetchSSIDInfo());
    setIfPresent(ev, "ch", config.channel());
    setIfPresent(ev, "cn", networkKind());
    dictionary.set("ev", std::move(ev));
    dictionary.set("ut", userType());
    if (auto holder = helper.configHolder())
        holder->encode(dictionary);
    else
        dictionary.set("cfg", platform::Dictionary{{"1", platform::Dictionary{}}, {"2", platform::Dictionary{}}});
}

void MXStatErrorEvent::encode(platform::Dictionary& dictionary) {
    const MXStatConfig& config = MXStatConfig::getInstance();
    const MXStatEnv& env = MXStatHelper::getInstance().getEnv();

    if (error)
        dictionary.set("er", firstLines(*error, kMaxErrorLines));
    dictionary.set("ea", attr);
    dictionary.set("ut", userType());

    platform::Dictionary kv;
    setIfNotEmpty(kv, "pl", env.platform);
    setIfNotEmpty(kv, "tz", env.timezone);
    setIfNotEmpty(kv, "ov", env.os_version);
    setIfPresent(kv, "av", appVersion(config, env));
    kv.set("os", 2);
    kv.set("sv", env.sdk_version);
    kv.set("lg", env.language);
    kv.set("sr", env.resolution);
    setIfNotEmpty(kv, "op", env.mccmnc);
    kv.set("md", env.devicename);
    kv.set("mf", env.modulename);
    setIfPresent(kv, "ch", config.channel());
    setIfPresent(kv, "cn", networkKind());
    setIfPresent(kv, "cui", config.customerUserID());
    setIfNotEmpty(kv, "ui", env.deviceid);
    if (auto im = config.im())
        kv.set("im", *im);
    else
        setIfPresent(kv, "im", config.account());
    setIfPresent(kv, "pcn", processName);
    if (availableMemory)
        kv.set("fram", platform::Value(*availableMemory).integerValue());
    if (freeDiskSpace)
        kv.set("from", platform::Value(*freeDiskSpace).integerValue());
    dictionary.set("errkv", MXStatHelper::getJson(platform::Value(std::move(kv))));
}

void MXStatCustomEvent::encode(platform::Dictionary& dictionary) {
    setIfPresent(dictionary, "ei", eventID);
    if (args)
        dictionary.set("ar", *args);
    if (kvs)
        dictionary.set("kv", *kvs);
    if (duration != 0)
        dictionary.set("du", duration);
}

void MXStatAdditionEvent::encode(platform::Dictionary& dictionary) {
    setIfPresent(dictionary, "im", MXStatConfig::getInstance().im());
}

void MXStatAccountEvent::encode(platform::Dictionary& dictionary) {
    const MXStatConfig& config = MXStatConfig::getInstance();
    const auto account = config.account();
    platform::Dictionary acc;
    setIfPresent(acc, "a", account);
    acc.set("t", static_cast<int>(config.accountType()));
    setIfPresent(acc, "e", config.accountExt());
    dictionary.set("acc", std::move(acc));
    setIfPresent(dictionary, "im", account);
}

void MXStatMonitorStatEvent::encode(platform::Dictionary& dictionary) {
    if (!stat || !stat->interface)
        return;
    if (stat->sampling == 0)
        stat->sampling = 1;
    dictionary.set("na", *stat->interface);
    dictionary.set("rq", stat->requestPackageSize);
    dictionary.set("rp", stat->responsePackageSize);
    dictionary.set("tm", stat->consumedMilliseconds);
    dictionary.set("rc", stat->returnCode);
    dictionary.set("sp", stat->sampling);
    dictionary.set("rt", stat->resultType);
    setIfNotEmpty(dictionary, "op", MXStatHelper::getInstance().getEnv().mccmnc);
    setIfPresent(dictionary, "cn", networkKind());
}

void MXStatGameUserEvent::encode(platform::Dictionary& dictionary) {
    setIfPresent(dictionary, "gid", uid);
    setIfPresent(dictionary, "wod", world);
    setIfPresent(dictionary, "lev", level);
}

void MXStatTestSpeedEvent::encode(platform::Dictionary& dictionary) {
    setIfPresent(dictionary, "sp", sp);
    setIfPresent(dictionary, "op", op);
    setIfPresent(dictionary, "cn", cn);
}

std::string MXStatTestSpeed::toJsonString() const {
    platform::Dictionary dictionary;
    setIfPresent(dictionary, "dm", dm);
    if (pt)
        dictionary.set("pt", *pt);
    setIfPresent(dictionary, "rip", rip);
    if (st)
        dictionary.set("st", *st);
    if (ts)
        dictionary.set("ts", *ts);
    if (tm)
        dictionary.set("tm", *tm);
    return MXStatHelper::getJson(platform::Value(std::move(dictionary)));
}

std::string MXStatTestSpeed::description() const {
    return "MSTTestSpeed info is dm:" + optionalDescription(dm) + " , pt:" + optionalDescription(pt) +
           " , rip:" + optionalDescription(rip) + " , st:" + optionalDescription(st) +
           " , ts:" + optionalDescription(ts) + " , tm:" + optionalDescription(tm) + " ";
}

} // namespace stats
