// The online configuration: the newest SDK (type 1) and application (type 2) records that collector
// replies carried, kept in the store's config table, applied at once and again at every launch.
//
// Guarantees:
// - Thread: every call from any thread. The held records and application properties are behind one mutex
//   (copies out). The speed test runs on the holder's own serial queue ("StatStore", not the store's).
// - Records only move forward: a record replaces the held one of its type only with a higher version.
// - The holder works on the store's file through the store's own connection (one owner per file),
//   under MXStatSQLLock().
// - Malformed records and content are logged and ignored; malformed content is also reported through
//   the error reporter (the client's error events).
#pragma once

#include "stats/MXStatDataConfigHolderProtocol.h"
#include "stats/MXStatDatabase.h"
#include "stats/MXStatStoreEvent.h"

#include "platform/core/Value.h"
#include "platform/runloop/DispatchQueue.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace stats {

class MXStatStore;

inline constexpr const char* kMXStatHibernateKey = "__HIBERNATE__";
inline constexpr const char* kMXStatKillKey = "__MST_KILL__";
inline constexpr const char* kMXStatTestSpeedKey = "__MST_TEST_SPEED__";
inline constexpr std::uint32_t MXStatDataConfigTypeSDK = 1;
inline constexpr std::uint32_t MXStatDataConfigTypeApp = 2;

class MXStatDataConfigHolder : public MXStatDataConfigHolderProtocol,
                               public std::enable_shared_from_this<MXStatDataConfigHolder> {
public:
    using ErrorReporter = std::function<void(const std::string& error)>;
    // Runs a speed test of the targets text (on the holder's queue).
    using SpeedTest = std::function<void(const std::string& targets)>;

    // Made on the first call over the process's store (later calls return it); it becomes MXStatHelper's
    // holder and MXStatConfig's source of application properties.
    static std::shared_ptr<MXStatDataConfigHolder> initSingleton(const std::function<void()>& block);
    // Nothing before initSingleton.
    static std::shared_ptr<MXStatDataConfigHolder> getInstance();
    // A holder over a given store (tests): creates the queue, re-applies every stored record, calls block.
    static std::shared_ptr<MXStatDataConfigHolder> create(std::shared_ptr<MXStatStore> store,
                                                          const std::function<void()>& block = {});

    ~MXStatDataConfigHolder() override;

    platform::Value getAppProperty(const std::string& key) const;
    void setConfig(const MXStatDataConfig& config);
    void updateOnlineConfig(const platform::Dictionary& reply) override;
    void updateConfig(const platform::Dictionary& record, std::uint32_t type);
    std::optional<MXStatDataConfig> getConfig(std::uint32_t type) const;
    void encode(platform::Dictionary& event) const override;

    bool getDB() { return m_db.getDB(); }
    void closeDB() { m_db.closeDB(); }
    void deleteDB() { m_db.deleteDB(); }

    // Where malformed content is reported (the client's trackError); nothing until set.
    void setErrorReporter(ErrorReporter reporter);
    // Replaces what a speed-test order runs (tests); the default is runSpeedTest.
    void setSpeedTest(SpeedTest test);
    // The speed test of the targets, as ordered: results into MXStatConfig, the event into the store's
    // file (and the store counts its unsent rows again). Runs on the caller's thread.
    void runSpeedTest(const std::string& targets);

    const std::shared_ptr<platform::DispatchQueue>& queue() const { return m_queue; }

private:
    explicit MXStatDataConfigHolder(std::shared_ptr<MXStatStore> store);
    void report(const std::string& error) const;
    void applySDKConfig(const platform::Dictionary& content);

    const std::shared_ptr<platform::DispatchQueue> m_queue;
    const std::shared_ptr<MXStatStore> m_store;
    MXStatDatabase& m_db; // the store's

    mutable std::mutex m_mutex;
    std::optional<MXStatDataConfig> m_sdkCfg;
    std::optional<MXStatDataConfig> m_appCfg;
    platform::Dictionary m_appProperties;
    ErrorReporter m_errorReporter;
    SpeedTest m_speedTest;
};

} // namespace stats
