// What the two event-store fuzz targets share: a home of their own, a batch upload that answers at once,
// and a run of every store operation over whatever the database file holds.
#pragma once

#include "StatsFuzzHome.h"
#include "stats/MXStatConfig.h"
#include "stats/MXStatEvent.h"
#include "stats/MXStatStore.h"

#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/formats/JSON.h"
#include "support/PrivateEnvironment.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace statsfuzz {

inline void installHome() {
    static const bool installed = [] {
        // On a memory file system where there is one (every insert is committed on its own), removed
        // however the run ends; else in the run's own temporary folder.
        char pattern[] = "/dev/shm/hyb-stats-store-fuzz-XXXXXX";
        std::string root;
        if (::mkdtemp(pattern)) {
            root = pattern;
            hybtest::removeWhenThisProgramEnds(root);
        } else {
            root = hybtest::makeTemporaryFolder("hyb-stats-store-fuzz");
        }
        if (root.empty())
            std::abort();
        installHomeIn(root);
        platform::Log::setCaptureHook([](std::string_view) {}); // quiet
        return true;
    }();
    (void)installed;
}

inline std::string databasePath() {
    return platform::AppFolders::current().documents() + "/.messenger_analysis_MXStatStore";
}

inline void removeDatabase() {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        (void)std::remove((databasePath() + suffix).c_str());
}

// Answers every batch with success at once; every body row must be one JSON object text.
class Upload : public stats::MXStatDispatcherProtocol {
public:
    void sendEvent(std::shared_ptr<stats::MXStatEvent> event, Completion completion) override { completion(true, event); }
    void send(std::vector<stats::MXStatStoreEvent> events, BatchCompletion completion) override {
        if (events.empty())
            __builtin_trap();
        for (const stats::MXStatStoreEvent& event : events) {
            auto parsed = platform::JSON::parse(event.content);
            if (!parsed.ok() || !parsed->isDictionary())
                __builtin_trap();
        }
        {
            std::lock_guard lock(m_mutex);
            ++m_batches;
        }
        completion(m_succeed ? stats::MXStatUploadOutcome::Sent : stats::MXStatUploadOutcome::Refused, events);
    }
    int batches() {
        std::lock_guard lock(m_mutex);
        return m_batches;
    }
    bool m_succeed = true;

private:
    std::mutex m_mutex;
    int m_batches = 0;
};

// Every operation of the store over the file as it stands; then the cached count must agree with the file.
inline void exerciseStore(bool succeed) {
    stats::MXStatConfig::getInstance().setMaxStoreEventCount(64);
    auto upload = std::make_shared<Upload>();
    upload->m_succeed = succeed;
    auto store = stats::MXStatStore::create();
    store->setDispatcher(upload);
    store->launch();
    std::vector<stats::MXStatStoreEvent> loaded;
    store->queue()->sync([&] { store->loadCachedEvents(loaded); });
    (void)store->loadUser();
    (void)store->getMstSharedUDID();
    store->loadConfig([](const stats::MXStatDataConfig&) {});
    auto event = std::make_shared<stats::MXStatCustomEvent>();
    event->eventID = "fuzz";
    store->storeEvent(event, false, nullptr);
    store->storeUser({"u'", 1, "v\"", 2});
    store->storeConfig({1, "{}", "m", 3});
    store->sendCachedEvents(-1);
    // Batches follow one another through the queue: wait until no new one starts.
    int seen = -1;
    for (int round = 0; round < 1000 && seen != upload->batches(); ++round) {
        seen = upload->batches();
        store->queue()->sync([] {});
        store->queue()->sync([] {});
    }
    store->queue()->sync([] {});
    if (store->storedEventCount() != store->getStoredEventsNum())
        __builtin_trap();
    store->close();
}

} // namespace statsfuzz
