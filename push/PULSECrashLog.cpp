#include "push/PULSECrashLog.h"

#include "push/PULSEFileCacheController.h"

namespace push {

std::string PULSECallStackText(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        if (!line.empty())
            text += line.substr(0, line.find("0x"));
    return text;
}

PULSECrashHandlerReportRequest::PULSECrashHandlerReportRequest() {
    setReportType(6);
    setControlFlag(1);
}

bool PULSECrashHandlerReportRequest::packData() {
    if (!PULSEReportRequest::packData())
        return false;
    auto store = PULSEFileCacheController::shareInstanceWithType(PULSEFileCacheController::kCacheTypeCache);
    if (!store)
        return false;
    const auto stored = store->objectForKey(kPULSECrashLogKey);
    store->removeObjectForKey(kPULSECrashLogKey);
    const auto* entries = stored.getSet();
    if (!entries || entries->empty())
        return false;
    platform::Array logs;
    for (const auto& entry : *entries) {
        const auto* pair = entry.getArray();
        if (!pair || pair->empty())
            continue;
        if (auto log = pair->front().toValue(); log && log->isDictionary())
            logs.push_back(std::move(*log));
    }
    if (logs.empty())
        return false;
    platform::Dictionary item{{"type", "crash_log"}, {"itime", reportTimeStamp()}, {"crashlogs", std::move(logs)}};
    setContent(item);
    reportContents().push_back(std::move(item));
    return true;
}

} // namespace push

// ---- capture ----
//
// Everything a handler touches is prepared beforehand and lives in static storage: the record file's
// descriptor, two buffers of the fixed part (the client thread fills the idle one and flips the index),
// and the earlier handlers. A handler only reads these, formats integers by hand and calls write(2),
// clock_gettime and backtrace/backtrace_symbols_fd (backtrace ran once at install, so nothing is loaded
// in the handler).

#include "push/PULSEClientController.h"
#include "push/PULSELogging.h"
#include "push/PULSEUtilities.h"

#include "platform/files/FileManager.h"
#include "platform/files/StorePlace.h"
#include "platform/formats/JSON.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace push {

namespace {

constexpr int kSignals[] = {SIGABRT, SIGILL, SIGSEGV, SIGFPE, SIGBUS, SIGPIPE};
constexpr std::size_t kSignalCount = std::size(kSignals);
constexpr std::size_t kFixedCapacity = 8192;
constexpr int kMaxFrames = 64;
constexpr char kRecordStart[] = "PULSE-CRASH";
constexpr char kRecordEnd[] = "PULSE-CRASH-END";

struct CrashCapture {
    std::mutex mutex; // install, remove and refresh; never taken by a handler
    bool installed = false;
    std::atomic<int> fd{-1};
    struct sigaction previous[kSignalCount] = {};
    std::terminate_handler previousTerminate = nullptr;
    char fixed[2][kFixedCapacity] = {};
    std::size_t fixedLength[2] = {};
    std::atomic<int> current{0};
    std::atomic<bool> recorded{false};
};

CrashCapture& capture() {
    static CrashCapture* state = new CrashCapture(); // never freed: a handler may run at exit
    return *state;
}

void writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

void writeText(int fd, const char* text) { writeAll(fd, text, std::strlen(text)); }

void writeNumber(int fd, long long value) {
    char digits[24];
    std::size_t i = sizeof digits;
    const bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    do {
        digits[--i] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative)
        digits[--i] = '-';
    writeAll(fd, digits + i, sizeof digits - i);
}

// The record: start line, fixed part, message, time, backtrace lines, end line. Async-signal-safe.
void writeRecord(int signal, const char* message) {
    auto& state = capture();
    const int fd = state.fd.load();
    if (fd < 0)
        return;
    const int index = state.current.load();
    writeText(fd, kRecordStart);
    writeText(fd, "\n");
    writeAll(fd, state.fixed[index], state.fixedLength[index]);
    writeText(fd, "\nmessage ");
    if (message) {
        writeText(fd, message);
    } else {
        writeText(fd, "Signal ");
        writeNumber(fd, signal);
        writeText(fd, " was raised.");
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    writeText(fd, "\ntime ");
    writeNumber(fd, static_cast<long long>(now.tv_sec));
    writeText(fd, "\n");
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    ::backtrace_symbols_fd(frames, count, fd);
    writeText(fd, kRecordEnd);
    writeText(fd, "\n");
}

void PULSESignalHandler(int signal, siginfo_t* info, void* context) {
    auto& state = capture();
    std::size_t index = 0;
    while (index < kSignalCount && kSignals[index] != signal)
        ++index;
    if (index == kSignalCount)
        return;
    const struct sigaction& previous = state.previous[index];
    const bool siginfoHandler = previous.sa_flags & SA_SIGINFO;
    if (!siginfoHandler && previous.sa_handler == SIG_IGN)
        return; // ignored before us: no crash
    if (!state.recorded.exchange(true))
        writeRecord(signal, nullptr);
    if (siginfoHandler && previous.sa_sigaction) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (!siginfoHandler && previous.sa_handler != SIG_DFL) {
        previous.sa_handler(signal);
        return;
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal); // delivered when this handler returns (the signal is blocked in it)
}

[[noreturn]] void PULSETerminateHandler() {
    auto& state = capture();
    // Not a signal handler: the crashing thread may still build the message text.
    std::string message = "terminate called without an active exception";
    if (auto exception = std::current_exception()) {
        try {
            std::rethrow_exception(exception);
        } catch (const std::exception& e) {
            message = e.what();
        } catch (...) {
            message = "unknown exception";
        }
    }
    for (char& c : message)
        if (c == '\n' || c == '\r')
            c = ' ';
    if (!state.recorded.exchange(true))
        writeRecord(SIGABRT, message.c_str());
    if (state.previousTerminate)
        state.previousTerminate();
    std::abort();
}

void refreshFixedPart(CrashCapture& state, int networkStatus) {
    const std::string version = PULSEAppVersion();
    const platform::Dictionary fixed{
        {"versionname", version},
        {"versioncode", version},
        {"device_info", PULSEDeviceInfo()},
        {"networktype", PULSENetworkStatusName(networkStatus)},
        {"offset", static_cast<std::int64_t>(PULSEClientController::sharedClient().proofTimeInterval())},
    };
    const auto json = PULSEJSONData(platform::Value(fixed));
    const int idle = 1 - state.current.load();
    const std::size_t length = json && json->size() < kFixedCapacity ? json->size() : 0;
    if (length)
        std::memcpy(state.fixed[idle], json->data(), length);
    state.fixedLength[idle] = length;
    state.current.store(idle);
}

} // namespace

bool PULSEInstallCrashHandlers() {
    auto store = PULSEFileCacheController::shareInstanceWithType(PULSEFileCacheController::kCacheTypeCache);
    if (!store) {
        PULSE_LOG_WARN("crash capture needs the cache store");
        return false;
    }
    auto& state = capture();
    std::lock_guard lock(state.mutex);
    if (state.installed)
        return true;
    const std::string path = store->pathForName(kPULSECrashRecordFileName);
    // Something else at the record file's place (a pipe would hold the start at open) is moved aside.
    (void)platform::StorePlace::makeFit(path, "The push crash record");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        PULSE_LOG_WARN("crash record file cannot be opened: %s", std::strerror(errno));
        return false;
    }
    // Loads what backtrace needs now, outside any handler.
    void* frames[4];
    (void)::backtrace(frames, 4);
    refreshFixedPart(state, PULSEClientController::sharedClient().currentNetworkStatus());
    state.recorded.store(false);
    state.fd.store(fd);
    state.previousTerminate = std::set_terminate(PULSETerminateHandler);
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        struct sigaction action {};
        action.sa_sigaction = PULSESignalHandler;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ::sigaction(kSignals[i], &action, &state.previous[i]);
    }
    state.installed = true;
    return true;
}

void PULSERemoveCrashHandlers() {
    auto& state = capture();
    std::lock_guard lock(state.mutex);
    if (!state.installed)
        return;
    for (std::size_t i = 0; i < kSignalCount; ++i)
        ::sigaction(kSignals[i], &state.previous[i], nullptr);
    std::set_terminate(state.previousTerminate);
    state.previousTerminate = nullptr;
    const int fd = state.fd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
    state.installed = false;
}

void PULSERefreshCrashRecord(int networkStatus) {
    auto& state = capture();
    std::lock_guard lock(state.mutex);
    if (state.installed)
        refreshFixedPart(state, networkStatus);
}

// ---- folding the records at the next start ----

namespace {

struct CrashRecord {
    platform::Dictionary fixed;
    std::string message;
    std::int64_t time = 0;
    std::vector<std::string> frames;
};

std::vector<CrashRecord> parseRecords(std::string_view text) {
    std::vector<CrashRecord> records;
    CrashRecord* open = nullptr;
    int line = 0; // position within the open record
    while (!text.empty()) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos)
            break; // a line cut short is not taken
        const std::string_view current = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (current == kRecordStart) {
            open = &records.emplace_back();
            line = 1;
            continue;
        }
        if (!open)
            continue;
        if (current == kRecordEnd) {
            open = nullptr;
            continue;
        }
        if (line == 1) {
            auto parsed = platform::JSON::parse(current);
            if (parsed.ok() && parsed->getDictionary())
                open->fixed = *parsed->getDictionary();
        } else if (line == 2 && current.starts_with("message ")) {
            open->message = std::string(current.substr(8));
        } else if (line == 3 && current.starts_with("time ")) {
            open->time = std::atoll(std::string(current.substr(5)).c_str());
        } else if (line > 3) {
            open->frames.emplace_back(current);
        }
        ++line;
    }
    // A record without its message is no crash log.
    std::erase_if(records, [](const CrashRecord& record) { return record.message.empty(); });
    return records;
}

std::optional<std::string> readRecordFile(const std::string& path) {
    // Only a regular file is read: something else there is moved aside, never opened.
    if (platform::StorePlace::makeFit(path, "The push crash record") != platform::StorePlace::Fit::RegularFile)
        return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    std::optional<std::string> text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) <= kMaxCrashRecordFile) {
        std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        bytes.resize(done);
        text = std::move(bytes);
    } else {
        PULSE_LOG_WARN("crash record file too large, dropped");
    }
    ::close(fd);
    return text;
}

} // namespace

double PULSEFoldCrashRecords(PULSEFileCacheController& store) {
    const std::string path = store.pathForName(kPULSECrashRecordFileName);
    const auto text = readRecordFile(path);
    if (!text)
        return 0;
    const auto records = parseRecords(*text);
    double latest = 0;
    if (!records.empty()) {
        std::vector<platform::ArchiveValue> entries;
        const auto stored = store.objectForKey(kPULSECrashLogKey);
        if (const auto* set = stored.getSet())
            entries.assign(set->begin(), set->end());
        for (const auto& record : records) {
            const std::string callStack = PULSECallStackText(record.frames);
            const std::int64_t crashTime = record.time + record.fixed["offset"].integerValue();
            latest = std::max(latest, static_cast<double>(crashTime));
            bool counted = false;
            for (auto& entry : entries) {
                auto* pair = entry.getArray();
                if (!pair || pair->size() != 2 || !(*pair)[1].getString() || *(*pair)[1].getString() != callStack)
                    continue;
                auto* log = (*pair)[0].getDictionary();
                if (!log || !(*log)["message"].getString() || *(*log)["message"].getString() != record.message)
                    continue;
                const auto* count = (*log)["count"].getInteger();
                log->set("count", (count ? *count : 0) + 1);
                counted = true;
                break;
            }
            if (counted)
                continue;
            platform::Array stack;
            for (const auto& frame : record.frames)
                stack.emplace_back(frame);
            platform::Dictionary log{
                {"stacktrace", std::move(stack)},
                {"message", record.message},
                {"count", 1},
                {"crashtime", static_cast<std::int64_t>(static_cast<std::int32_t>(crashTime))},
                {"versionname", record.fixed["versionname"].stringOr("")},
                {"versioncode", record.fixed["versioncode"].stringOr("")},
                {"device_info", record.fixed["device_info"].isDictionary() ? record.fixed["device_info"] : platform::Value(platform::Dictionary{})},
                {"networktype", record.fixed["networktype"].stringOr("")},
            };
            entries.emplace_back(platform::ArchiveArray{platform::ArchiveValue(platform::Value(std::move(log))), callStack});
        }
        platform::ArchiveSet set;
        for (auto& entry : entries)
            set.insert(std::move(entry));
        store.setObject(std::move(set), kPULSECrashLogKey);
    }
    (void)platform::FileManager::defaultManager().removeItem(path);
    return latest;
}

} // namespace push
