#include "platform/core/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include <sys/uio.h>
#include <unistd.h>

namespace platform {
namespace {

struct LogState {
    std::mutex mutex;
    std::shared_ptr<Log::Hook> hook;
};

LogState& state() {
    static auto* s = new LogState; // logging must work during static destruction
    return *s;
}

std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size <= 0)
        return {};
    std::string out(static_cast<std::size_t>(size) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(size));
    return out;
}

void writeToStderr(std::string_view line) {
    iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {const_cast<char*>("\n"), 1}};
    ssize_t ignored = ::writev(STDERR_FILENO, parts, 2);
    (void)ignored;
}

} // namespace

void Log::write(std::string_view line) {
    auto& s = state();
    std::shared_ptr<Hook> hook;
    {
        std::lock_guard lock(s.mutex);
        hook = s.hook;
    }
    if (hook) {
        (*hook)(line);
        return;
    }
    std::lock_guard lock(s.mutex);
    writeToStderr(line);
}

void Log::writef(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = vformat(format, args);
    va_end(args);
    write(line);
}

Log::Hook Log::setCaptureHook(Hook hook) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::shared_ptr<Hook> previous = std::move(s.hook);
    if (hook)
        s.hook = std::make_shared<Hook>(std::move(hook));
    return previous ? *previous : Hook{};
}

std::string formatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = vformat(format, args);
    va_end(args);
    return out;
}

namespace {
// The last line of a process that stops: to the capture hook, and also where people look when a
// captured process ends.
void writeFailure(std::string_view description) {
    std::string line = "Internal-consistency failure: ";
    line += description;
    auto& s = state();
    std::shared_ptr<Log::Hook> hook;
    {
        std::lock_guard lock(s.mutex);
        hook = s.hook;
    }
    if (hook)
        (*hook)(line);
    writeToStderr(line);
}
} // namespace

void internalInconsistency(std::string_view description) {
    writeFailure(description);
    std::abort();
}

void configurationFailure(std::string_view description) {
    writeFailure(description);
    std::fflush(nullptr);
    // Other threads may still run: no exit handlers, no static destructors.
    std::_Exit(kConfigurationFailureExitStatus);
}

} // namespace platform
