#include "pushlog/PULSELogMessage.h"

#include "pushlog/PlatformGlue.h"

#include <cstdio>
#include <pthread.h>
#include <unistd.h>

namespace pushlog {

LogText makeLogText(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

namespace {

// The kernel thread id in lowercase hexadecimal, cached per thread.
const std::string& callingThreadID() {
    thread_local const std::string id = [] {
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "%x", static_cast<unsigned>(gettid()));
        return std::string(buffer);
    }();
    return id;
}

std::optional<std::string> callingThreadName() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
        return std::nullopt;
    return std::string(name);
}

} // namespace

PULSELogMessage::PULSELogMessage(std::string message, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                                 std::string file, std::string function, std::uint64_t line, platform::Value tag,
                                 std::int64_t options, std::optional<platform::Date> timestamp)
    : m_message(makeLogText(std::move(message))), m_level(level), m_flag(flag), m_context(context),
      m_file(std::move(file)), m_fileName(fileNameForPath(m_file)), m_function(std::move(function)), m_line(line),
      m_tag(std::move(tag)), m_options(options), m_timestamp(timestamp ? *timestamp : glue::now()),
      m_threadID(callingThreadID()), m_threadName(callingThreadName()), m_queueLabel(glue::currentQueueLabel()) {}

PULSELogMessage PULSELogMessage::withMessage(LogText line) const {
    PULSELogMessage copy(*this);
    copy.m_message = line ? std::move(line) : makeLogText({});
    return copy;
}

std::string PULSELogMessage::fileNameForPath(const std::string& file) {
    const std::size_t slash = file.find_last_of('/');
    std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos)
        name.resize(dot);
    return name;
}

} // namespace pushlog
