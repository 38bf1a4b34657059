#include "pushlog/PULSEASLLogCapture.h"

#include "platform/runloop/Clock.h"
#include "platform/runloop/DispatchQueue.h"
#include "pushlog/PULSEASLLogger.h"
#include "pushlog/PULSELog.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <memory>
#include <mutex>

namespace pushlog {

namespace {

std::atomic<bool> g_running{false};
// Each start makes a new registration; an older one still waiting for its last pass must not handle
// messages the new one handles.
std::atomic<std::uint64_t> g_generation{0};
// The newest record any registration handled: a new registration's first pass starts after it, so a
// restart within the same second does not hand the same record over twice.
std::atomic<std::uint64_t> g_lastHandledMessageID{0};
std::atomic<std::uint64_t> g_captureLevel{PULSELogLevelVerbose};

std::optional<std::int64_t> decimal(const std::string* text) {
    if (!text)
        return std::nullopt;
    std::int64_t value = 0;
    const char* end = text->data() + text->size();
    auto [ptr, ec] = std::from_chars(text->data(), end, value);
    if (ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

// One registration: its bookkeeping lives as long as the registration does.
struct Registration {
    std::mutex passMutex; // passes run one at a time, so no message is handled twice
    std::uint64_t lastSeenMessageID = 0;
    std::int64_t startTime = 0;
    std::optional<platform::SystemLog::ObserverID> observer;
    std::uint64_t generation = 0;
    bool cancelled = false;

    void cancel() {
        cancelled = true;
        if (observer)
            platform::SystemLog::shared().removeObserver(*observer);
    }
};

void runPass(const std::shared_ptr<Registration>& registration) {
    std::lock_guard lock(registration->passMutex);
    if (registration->cancelled)
        return;
    if (registration->generation != g_generation.load()) {
        registration->cancel(); // capturing was started again meanwhile: the new registration takes over
        return;
    }
    platform::SystemLogQuery query;
    if (registration->lastSeenMessageID != 0)
        query.addNumericCondition(platform::kSystemLogKeyMessageID, platform::SystemLogQuery::Comparison::Greater,
                                  static_cast<std::int64_t>(registration->lastSeenMessageID));
    else {
        query.addNumericCondition(platform::kSystemLogKeyTime, platform::SystemLogQuery::Comparison::GreaterOrEqual,
                                  registration->startTime);
        if (const std::uint64_t handled = g_lastHandledMessageID.load(); handled != 0)
            query.addNumericCondition(platform::kSystemLogKeyMessageID, platform::SystemLogQuery::Comparison::Greater,
                                      static_cast<std::int64_t>(handled));
    }
    PULSEASLLogCapture::configureAslQuery(query);
    for (const platform::SystemLogRecord& record : platform::SystemLog::shared().search(query)) {
        PULSEASLLogCapture::aslMessageRecieved(record);
        if (std::optional<std::int64_t> id = decimal(record.get(platform::kSystemLogKeyMessageID))) {
            registration->lastSeenMessageID = static_cast<std::uint64_t>(*id);
            std::uint64_t handled = g_lastHandledMessageID.load();
            while (handled < registration->lastSeenMessageID &&
                   !g_lastHandledMessageID.compare_exchange_weak(handled, registration->lastSeenMessageID)) {
            }
        }
    }
    if (!g_running.load() || registration->generation != g_generation.load())
        registration->cancel();
}

} // namespace

void PULSEASLLogCapture::start() {
    bool expected = false;
    if (!g_running.compare_exchange_strong(expected, true))
        return;
    const std::uint64_t generation = g_generation.fetch_add(1) + 1;
    platform::DispatchQueue::global(platform::DispatchQueue::Priority::Default)->async([generation] {
        captureAslLogs(generation);
    });
}

void PULSEASLLogCapture::stop() { g_running.store(false); }

bool PULSEASLLogCapture::isRunning() { return g_running.load(); }

std::uint64_t PULSEASLLogCapture::captureLevel() { return g_captureLevel.load(); }

void PULSEASLLogCapture::setCaptureLevel(std::uint64_t level) { g_captureLevel.store(level); }

void PULSEASLLogCapture::configureAslQuery(platform::SystemLogQuery& query) {
    query.addNumericCondition(platform::kSystemLogKeyLevel, platform::SystemLogQuery::Comparison::LessOrEqual, 7);
}

PULSEASLLogCapture::FlagAndDelivery PULSEASLLogCapture::flagForSystemLogLevel(std::int64_t level) {
    switch (level) {
    case 0:
    case 1:
    case 2: return {PULSELogFlagError, false};
    case 3: return {PULSELogFlagWarning, true};
    case 4: return {PULSELogFlagInfo, true};
    case 5: return {PULSELogFlagDebug, true};
    default: return {PULSELogFlagVerbose, true};
    }
}

void PULSEASLLogCapture::aslMessageRecieved(const platform::SystemLogRecord& record) {
    const std::string* text = record.get(platform::kSystemLogKeyMessage);
    const std::optional<std::int64_t> seconds = decimal(record.get(platform::kSystemLogKeyTime));
    const std::optional<std::int64_t> nanoseconds = decimal(record.get(platform::kSystemLogKeyTimeNanoSec));
    if (!text || !seconds || !nanoseconds)
        return;
    const std::int64_t level = decimal(record.get(platform::kSystemLogKeyLevel)).value_or(0);
    const FlagAndDelivery mapped = flagForSystemLogLevel(level);
    const std::uint64_t captureLevel = g_captureLevel.load();
    if ((captureLevel & mapped.flag) == 0)
        return;
    const platform::Date timestamp{static_cast<double>(*seconds) + static_cast<double>(*nanoseconds) / 1e9};
    PULSELog::log(mapped.asynchronous, PULSELogMessage(*text, captureLevel, mapped.flag, 0, kSystemLogCaptureFileName,
                                                       "", 0, platform::Value(), 0, timestamp));
}

void PULSEASLLogCapture::captureAslLogs(std::uint64_t generation) {
    auto registration = std::make_shared<Registration>();
    registration->generation = generation;
    registration->startTime = static_cast<std::int64_t>(std::floor(platform::Clock::current().wallNow().secondsSince1970));
    std::lock_guard lock(registration->passMutex);
    registration->observer = platform::SystemLog::shared().addObserver(
        platform::DispatchQueue::global(platform::DispatchQueue::Priority::High),
        [registration] { runPass(registration); });
}

} // namespace pushlog
