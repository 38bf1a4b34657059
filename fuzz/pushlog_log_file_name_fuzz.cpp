// Log file names come from whatever lies in the logs folder; the system-log records the capture reads
// may come from anywhere. Neither may crash the recogniser or the record reader.
#include "platform/system/SystemLog.h"
#include "pushlog/LogFileNames.h"
#include "pushlog/PULSEASLLogCapture.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // "<application name>\n<file name>"
    const std::size_t newline = input.find('\n');
    const std::string_view app = newline == std::string_view::npos ? std::string_view() : input.substr(0, newline);
    const std::string_view name = newline == std::string_view::npos ? input : input.substr(newline + 1);
    (void)pushlog::isLogFileName(name, app);
    (void)pushlog::isLogFileDateText(name);
    (void)pushlog::logFileNameForAttempt(std::string(name), size % 5);

    // "<Level>\0<Time>\0<TimeNanoSec>\0<Message>" as a record; levels 0 to 2 would be delivered
    // synchronously, which needs no logger: there is none.
    platform::SystemLogRecord record;
    const char* keys[] = {"Level", "Time", "TimeNanoSec", "Message"};
    std::size_t at = 0;
    for (const char* key : keys) {
        const std::size_t end = input.find('\0', at);
        (void)record.set(key, input.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    platform::SystemLogQuery query;
    pushlog::PULSEASLLogCapture::configureAslQuery(query);
    if (query.matches(record))
        pushlog::PULSEASLLogCapture::aslMessageRecieved(record);
    return 0;
}
