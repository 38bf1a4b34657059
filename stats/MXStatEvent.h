// Statistics events: every record the client reports is an event that turns itself into one compact JSON
// object text (toJsonString): the header keys every event carries, then the keys of its own type.
//
// Guarantees:
// - Creation stamps the time (whole seconds of platform::Clock's wall time) and the next running index
//   (MXStatHelper::nextEventIndex: the keychain's saved index is read once per process).
// - toJsonString reads the environment, the settings, the user and the network at the moment it runs;
//   "" (and "error json format") when the object cannot be written as JSON.
// - Thread: an event is filled by the API before it is queued and then encoded by one queue at a time
//   (encoding a page view may set its referrer to "-", a monitor event its stat's sampling to 1).
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace stats {

// Event types.
inline constexpr std::int32_t MXStatEventTypeBase = 0;
inline constexpr std::int32_t MXStatEventTypePageView = 1;
inline constexpr std::int32_t MXStatEventTypeSessionEnv = 2;
inline constexpr std::int32_t MXStatEventTypeError = 3;
inline constexpr std::int32_t MXStatEventTypeCustom = 1000;
inline constexpr std::int32_t MXStatEventTypeAddition = 1001;
inline constexpr std::int32_t MXStatEventTypeMonitor = 1002;
inline constexpr std::int32_t MXStatEventTypeGameUser = 1003;
inline constexpr std::int32_t MXStatEventTypeTestSpeed = 1004;

// What every event type answers.
class MXStatEventProtocol {
public:
    virtual ~MXStatEventProtocol() = default;
    virtual std::int32_t getType() const = 0;
    // Adds the type's own keys.
    virtual void encode(platform::Dictionary& dictionary) = 0;
};

class MXStatEvent : public MXStatEventProtocol {
public:
    // Stamps ts and eventIndex.
    MXStatEvent();

    std::int32_t getType() const override { return MXStatEventTypeBase; }
    void encode(platform::Dictionary&) override {}
    // The header keys, then encode, as compact JSON.
    std::string toJsonString();

    std::uint32_t sid = 0;              // session id
    std::uint32_t ts = 0;               // creation time, whole seconds since 1970
    std::optional<std::string> appkey;  // nullopt: the configured key
    bool isRealTime = false;            // sent at once whatever the strategy
    std::uint64_t eventIndex = 0;       // running index
};

class MXStatPageView : public MXStatEvent {
public:
    std::int32_t getType() const override { return MXStatEventTypePageView; }
    void encode(platform::Dictionary& dictionary) override;

    std::optional<std::string> page;
    std::optional<std::string> refer;
    std::uint32_t duration = 0; // seconds
};

class MXStatSessionEnv : public MXStatEvent {
public:
    std::int32_t getType() const override { return MXStatEventTypeSessionEnv; }
    void encode(platform::Dictionary& dictionary) override;
};

class MXStatErrorEvent : public MXStatEvent {
public:
    std::int32_t getType() const override { return MXStatEventTypeError; }
    void encode(platform::Dictionary& dictionary) override;

    std::optional<std::string> error;
    std::uint32_t attr = 0; // 1 exception, 0 error text
    std::optional<std::string> availableMemory;
    std::optional<std::string> freeDiskSpace;
    std::optional<std::string> processName;
};

class MXStatCustomEvent : public MXStatEvent {
public:
    std::int32_t getType() const override { return MXStatEventTypeCustom; }
    void encode(platform::Dictionary& dictionary) override;

    std::optional<std::string> eventID;
    std::optional<platform::Array> args;
    std::optional<platform::Dictionary> kvs;
    std::uint32_t duration = 0; // seconds
};

class MXStatAdditionEvent : public MXStatEvent {
public:
    std::int32_t getType() const override { return MXStatEventTypeAddition; }
    void encode(platform::Dictionary& dictionary) override;
};

// Reads the account settings of MXStatConfig.
class MXStatAccountEvent : public MXStatEvent {
public:
    std::int32_t getType() const override { return MXStatEventTypeAddition; }
    void encode(platform::Dictionary& dictionary) override;
};

// One network request's figures, filled by the host.
struct MXStatAppMonitorStat {
    std::optional<std::string> interface; // required
    std::uint32_t requestPackageSize = 0;
    std::uint32_t responsePackageSize = 0;
    std::uint64_t consumedMilliseconds = 0;
    std::int32_t returnCode = 0;
    std::int32_t resultType = 0;
    std::uint32_t sampling = 0;
};

class MXStatMonitorStatEvent : public MXStatEvent {
public:
    std::int32_t getType() const override { return MXStatEventTypeMonitor; }
    void encode(platform::Dictionary& dictionary) override;

    std::shared_ptr<MXStatAppMonitorStat> stat;
};

class MXStatGameUserEvent : public MXStatEvent {
public:
    std::int32_t getType() const override { return MXStatEventTypeGameUser; }
    void encode(platform::Dictionary& dictionary) override;

    std::optional<std::string> uid;
    std::optional<std::string> world;
    std::optional<std::string> level;
};

class MXStatTestSpeedEvent : public MXStatEvent {
public:
    std::int32_t getType() const override { return MXStatEventTypeTestSpeed; }
    void encode(platform::Dictionary& dictionary) override;

    std::optional<std::string> sp; // JSON array text of the speed-test results
    std::optional<std::string> op;
    std::optional<std::string> cn;
};

// One speed-test result. Every key is written only when set.
struct MXStatTestSpeed {
    std::optional<std::string> dm;  // host
    std::optional<std::int64_t> pt; // port
    std::optional<std::string> rip; // resolved IPv4 address
    std::optional<std::int64_t> st; // 0 connected, -1 failed
    std::optional<std::int64_t> ts; // start, seconds since 1970
    std::optional<std::int64_t> tm; // elapsed, hundredths of a second

    std::string toJsonString() const;
    // "MSTTestSpeed info is dm:%@ , pt:%@ , rip:%@ , st:%@ , ts:%@ , tm:%@ " ("(null)" for what is unset).
    std::string description() const;
};

} // namespace stats
