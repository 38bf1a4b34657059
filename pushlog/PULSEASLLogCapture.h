// Reads the messages that appear in the system log (platform::SystemLog) back into the logging core as
// ordinary messages with the file name "PULSEASLLogCapture", which the system-log logger does not write
// back.
//
// Thread: start, stop and the capture level may be used from any thread. Passes run on the high-priority
// global queue, one per system-log notification, one at a time: each message is handled once.
#pragma once

#include "platform/system/SystemLog.h"

#include <cstdint>
#include <optional>

namespace pushlog {

class PULSEASLLogCapture {
public:
    PULSEASLLogCapture() = delete;

    // Starts capturing when not running (registration on the default-priority global queue).
    static void start();
    // Stops after the next pass.
    static void stop();
    static bool isRunning();

    // Which flags are taken over (31 at first); also the level of each captured message.
    static std::uint64_t captureLevel();
    static void setCaptureLevel(std::uint64_t level);

    // Adds the condition "Level" <= 7 to a query.
    static void configureAslQuery(platform::SystemLogQuery& query);
    // Hands one system-log record to the core, when it has text, time and nanoseconds and its flag is in
    // the capture level.
    static void aslMessageRecieved(const platform::SystemLogRecord& record);

    struct FlagAndDelivery {
        std::uint64_t flag;
        bool asynchronous;
    };
    // 0-2: error, synchronous; 3: warning; 4: info; 5: debug; anything else: verbose (asynchronous).
    static FlagAndDelivery flagForSystemLogLevel(std::int64_t level);

private:
    static void captureAslLogs(std::uint64_t generation);
};

} // namespace pushlog
