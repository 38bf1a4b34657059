// The statistics client's test fixture: a temporary home whose bundle says who the application is, an
// installed virtual clock, a private pasteboard folder, every process-wide fact back at its default and
// the log captured; plus recording fakes of the store and the dispatcher.
#pragma once

#include "stats/MXStatConfig.h"
#include "stats/MXStatDispatcherProtocol.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatSharedUDID.h"
#include "stats/MXStatStoreProtocol.h"

#include "support/DeviceServices.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

#include "platform/device/InterfaceHardwareAddress.h"
#include "platform/device/Reachability.h"
#include "platform/formats/PropertyList.h"
#include "platform/net/NetworkInfo.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/system/Device.h"
#include "platform/system/Pasteboard.h"
#include "platform/system/TimeZone.h"
#include "platform/ui/Screen.h"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace statstest {

// Flags of the usual networks.
inline constexpr platform::ReachabilityFlags kWiFiFlags = platform::kReachabilityFlagsReachable;
inline constexpr platform::ReachabilityFlags kCellularFlags =
    platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsIsWWAN;
inline constexpr platform::ReachabilityFlags kNoNetworkFlags = 0;

inline void resetProcessState() {
    stats::MXStatConfig::getInstance().resetToDefaults();
    stats::MXStatSharedUDID::forgetCachedValue();
    stats::MXStatHelper::forgetEventIndex();
    platform::Reachability::setOverrideFlags(std::nullopt);
    platform::NetworkInfo::current().resetToDefaults();
    platform::Screen::main().resetToDefaults();
    platform::InterfaceHardwareAddress::resetToDefaults();
    platform::TimeZone::setSystemName(std::nullopt);
    hybtest::resetDeviceServices();
}

// Writes the bundle's Info.plist with these keys.
inline void writeInfoPlist(const hybtest::TempHome& home, const platform::Dictionary& keys) {
    auto text = platform::PropertyList::write(platform::Value(keys), platform::PropertyList::Format::XML);
    ASSERT_TRUE(text.ok());
    home.writeBundleFile("Info.plist", *text);
}

class StatsTest : public ::testing::Test {
protected:
    StatsTest() {
        m_clock.install();
        resetProcessState();
        platform::Pasteboard::setStorageFolder(m_home.root() + "/pasteboards");
        writeInfoPlist(m_home, {{"CFBundleIdentifier", "org.example.stats"}, {"CFBundleShortVersionString", "2.1"}});
    }
    ~StatsTest() override {
        resetProcessState();
        platform::Pasteboard::setStorageFolder({});
    }

    hybtest::TempHome m_home;
    platform::VirtualClock m_clock;
    hybtest::LogCapture m_log;
};

// Records what the strategy step and the helper ask of the store. Completions run at once.
class RecordingStore : public stats::MXStatStoreProtocol {
public:
    struct Stored {
        std::shared_ptr<stats::MXStatEvent> event;
        bool hasTrySent = false;
    };

    void storeEvent(std::shared_ptr<stats::MXStatEvent> event, bool hasTrySent, std::function<void()> completion) override {
        {
            std::lock_guard lock(m_mutex);
            m_stored.push_back({std::move(event), hasTrySent});
            ++m_count;
        }
        if (completion)
            completion();
    }
    std::uint32_t storedEventCount() const override {
        std::lock_guard lock(m_mutex);
        return m_count;
    }
    void sendCachedEvents(std::int32_t count) override {
        std::lock_guard lock(m_mutex);
        m_flushes.push_back(count);
    }
    std::optional<stats::MXStatUser> loadUser() override {
        std::lock_guard lock(m_mutex);
        ++m_userLoads;
        return m_user;
    }
    void storeUser(const stats::MXStatUser& user) override {
        std::lock_guard lock(m_mutex);
        m_storedUsers.push_back(user);
        m_user = user;
    }

    void setUser(std::optional<stats::MXStatUser> user) {
        std::lock_guard lock(m_mutex);
        m_user = std::move(user);
    }
    void setCount(std::uint32_t count) {
        std::lock_guard lock(m_mutex);
        m_count = count;
    }
    std::vector<Stored> stored() const {
        std::lock_guard lock(m_mutex);
        return m_stored;
    }
    std::vector<std::int32_t> flushes() const {
        std::lock_guard lock(m_mutex);
        return m_flushes;
    }
    std::vector<stats::MXStatUser> storedUsers() const {
        std::lock_guard lock(m_mutex);
        return m_storedUsers;
    }
    int userLoads() const {
        std::lock_guard lock(m_mutex);
        return m_userLoads;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Stored> m_stored;
    std::uint32_t m_count = 0;
    std::vector<std::int32_t> m_flushes;
    std::optional<stats::MXStatUser> m_user;
    std::vector<stats::MXStatUser> m_storedUsers;
    int m_userLoads = 0;
};

// Records sent events and answers with a set outcome at once.
class RecordingDispatcher : public stats::MXStatDispatcherProtocol {
public:
    void sendEvent(std::shared_ptr<stats::MXStatEvent> event, Completion completion) override {
        bool succeeds = false;
        {
            std::lock_guard lock(m_mutex);
            m_sent.push_back(event);
            succeeds = m_succeeds;
        }
        if (completion)
            completion(succeeds, event);
    }
    void send(std::vector<stats::MXStatStoreEvent>, BatchCompletion) override {}
    void setSucceeds(bool succeeds) {
        std::lock_guard lock(m_mutex);
        m_succeeds = succeeds;
    }
    std::vector<std::shared_ptr<stats::MXStatEvent>> sent() const {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }

private:
    mutable std::mutex m_mutex;
    bool m_succeeds = true;
    std::vector<std::shared_ptr<stats::MXStatEvent>> m_sent;
};

} // namespace statstest
