// Statistics events stored through the event store (encoding, the hop to the store queue, the lock, the
// check that the open file is still the one at its path, and the insert, timed until the store queue has
// drained), next to raw sqlite3 prepared inserts of the same content texts into the same schema in a
// second file of the same folder, each row committed on its own as the store does, with the same default
// pragmas (the baseline, measured in the same run). Prints both rates and the ratio (goal: at least 0.5).
//
// Then one upload of all those events as one batch to a loopback collector (JSON array, gzip, RC4, a POST
// on a fresh connection, the reply judged), next to the gzip compression of the same array text alone
// (the baseline). Usage: stats_store_bench [events] (default 5000).
#include "BenchArguments.h"

#include "stats/MXStatConfig.h"
#include "stats/MXStatDatabase.h"
#include "stats/MXStatDispatcher.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatEvent.h"
#include "stats/MXStatStore.h"

#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"

#include "support/HTTPTestServer.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kDefaultEvents = 5000;
// Both sides run in alternating chunks, so that both meet the same disk (other work on the machine
// changes what a commit costs from one second to the next).
constexpr int kChunk = 250;

std::string makeHome() {
    std::string pattern = (fs::temp_directory_path() / "stats-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        std::abort();
    platform::AppFolders folders(pattern + "/home", pattern + "/home/App.bundle");
    if (!folders.createFolders().ok())
        std::abort();
    fs::create_directories(folders.bundle());
    const std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                              "<key>CFBundleIdentifier</key><string>org.example.bench</string>"
                              "<key>CFBundleShortVersionString</key><string>2.1</string></dict></plist>";
    (void)platform::FileManager::defaultManager().writeAtomically(folders.infoPlist(), platform::Bytes(plist.begin(), plist.end()));
    platform::AppFolders::install(folders);
    return pattern;
}

// A custom event of about 300 bytes of JSON.
std::shared_ptr<stats::MXStatCustomEvent> makeEvent(int i) {
    auto event = std::make_shared<stats::MXStatCustomEvent>();
    event->eventID = "purchase_completed";
    event->kvs = platform::Dictionary{{"item", "sku-" + std::to_string(100000 + i)},
                                      {"price", 1999},
                                      {"currency", "EUR"},
                                      {"screen", "checkout/confirm"}};
    event->sid = 123456789;
    return event;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The store's side: events through storeEvent, timed until the store queue has drained.
class StoreSide {
public:
    StoreSide() {
        fs::remove(platform::AppFolders::current().documents() + "/.messenger_analysis_MXStatStore");
        m_store = stats::MXStatStore::create();
    }
    double run(const std::vector<std::shared_ptr<stats::MXStatCustomEvent>>& events, std::size_t from, std::size_t to) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = from; i < to; ++i)
            m_store->storeEvent(events[i], false, nullptr);
        m_store->queue()->sync([] {});
        return secondsSince(start);
    }
    std::uint32_t stored() { return m_store->getStoredEventsNum(); }

private:
    std::shared_ptr<stats::MXStatStore> m_store;
};

// The baseline: plain prepared inserts of the same texts, each committed on its own.
class RawSide {
public:
    RawSide() {
        const std::string path = platform::AppFolders::current().documents() + "/raw.db";
        fs::remove(path);
        if (sqlite3_open(path.c_str(), &m_db) != SQLITE_OK ||
            sqlite3_exec(m_db, stats::kMXStatCreateEventsTable, nullptr, nullptr, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(m_db, "insert into events(content, status, send_count,ts) values(?, 1, 0, ?)", -1, &m_insert,
                               nullptr) != SQLITE_OK)
            std::abort();
    }
    ~RawSide() {
        sqlite3_finalize(m_insert);
        sqlite3_close(m_db);
    }
    double run(const std::vector<std::string>& contents, std::uint32_t ts, std::size_t from, std::size_t to) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = from; i < to; ++i) {
            sqlite3_bind_text(m_insert, 1, contents[i].data(), static_cast<int>(contents[i].size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(m_insert, 2, ts);
            if (sqlite3_step(m_insert) != SQLITE_DONE)
                std::abort();
            sqlite3_clear_bindings(m_insert);
            sqlite3_reset(m_insert);
        }
        return secondsSince(start);
    }

private:
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_insert = nullptr;
};

} // namespace

// One batch of every event through the dispatcher to a loopback collector; seconds, or -1 on failure.
double uploadSeconds(const std::vector<std::string>& contents) {
    testsupport::HTTPTestServer collector;
    collector.route("/mstat/report", testsupport::Reply::text(200, R"({"ret":0})", "json"));
    stats::MXStatConfig::getInstance().setStatReportURL(collector.url("/mstat/report"));
    std::vector<stats::MXStatStoreEvent> rows;
    rows.reserve(contents.size());
    for (std::size_t i = 0; i < contents.size(); ++i)
        rows.push_back({static_cast<std::int64_t>(i + 1), contents[i]});
    auto dispatcher = stats::MXStatDispatcher::create(600);
    std::atomic<int> outcome{-1};
    const auto start = std::chrono::steady_clock::now();
    dispatcher->send(std::move(rows), [&](stats::MXStatUploadOutcome result, const std::vector<stats::MXStatStoreEvent>&) {
        outcome = static_cast<int>(result);
    });
    while (outcome == -1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = secondsSince(start);
    return outcome == static_cast<int>(stats::MXStatUploadOutcome::Sent) ? seconds : -1;
}

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = bench::ownArguments(argc, argv);
    char* end = nullptr;
    const long asked = arguments.empty() ? kDefaultEvents : std::strtol(arguments.front().c_str(), &end, 10);
    if (arguments.size() > 1 || (end && (end == arguments.front().c_str() || *end != '\0')) || asked < 1 || asked > 10'000'000) {
        std::fprintf(stderr, "usage: stats_store_bench [EVENTS (1 to 10000000)]\n");
        return 2;
    }
    const int kEvents = static_cast<int>(asked);
    const std::string root = makeHome();
    stats::MXStatConfig::getInstance().setMaxStoreEventCount(static_cast<std::uint32_t>(kEvents) * 2); // no eviction while measuring

    std::vector<std::shared_ptr<stats::MXStatCustomEvent>> events;
    std::vector<std::string> contents;
    std::size_t bytes = 0;
    for (int i = 0; i < kEvents; ++i) {
        events.push_back(makeEvent(i));
        contents.push_back(events.back()->toJsonString());
        bytes += contents.back().size();
    }

    StoreSide store;
    RawSide raw;
    double storeSeconds = 0;
    double rawSeconds = 0;
    for (std::size_t from = 0; from < events.size(); from += kChunk) {
        const std::size_t to = std::min(events.size(), from + kChunk);
        if ((from / kChunk) % 2 == 0) {
            rawSeconds += raw.run(contents, events.front()->ts, from, to);
            storeSeconds += store.run(events, from, to);
        } else {
            storeSeconds += store.run(events, from, to);
            rawSeconds += raw.run(contents, events.front()->ts, from, to);
        }
    }
    bool failed = false;
    if (store.stored() != events.size()) {
        std::fprintf(stderr, "the store kept %u of %zu events\n", store.stored(), events.size());
        failed = true;
    }
    const double ours = static_cast<double>(events.size()) / storeSeconds;
    const double baseline = static_cast<double>(events.size()) / rawSeconds;
    std::printf("%d custom events of %zu bytes of JSON on average\n", kEvents, bytes / kEvents);
    std::printf("event store vs raw sqlite3 prepared inserts (one commit per row): ratio %.2f (goal >= 0.5); "
                "%.0f vs %.0f events/s\n",
                ours / baseline, ours, baseline);

    const std::string array = stats::MXStatDispatcher::jsonArrayText(contents);
    const auto gzipStart = std::chrono::steady_clock::now();
    platform::Bytes packed;
    if (stats::MXStatHelper::GZip(platform::Bytes(array.begin(), array.end()), &packed) != 0)
        std::abort();
    const double gzipSeconds = secondsSince(gzipStart);
    const double upload = uploadSeconds(contents);
    if (upload < 0) {
        std::fprintf(stderr, "the upload failed\n");
        failed = true;
    }
    std::printf("one upload of %d events (%zu bytes of JSON, %zu gzipped) vs gzip alone: ratio %.2f; %.3f s vs %.3f s\n",
                kEvents, array.size(), packed.size(), upload / gzipSeconds, upload, gzipSeconds);
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return failed ? 1 : 0;
}
