#include "pushlog/PULSELogMessage.h"

#include "platform/runloop/Clock.h"
#include "platform/runloop/DispatchQueue.h"

#include <cstdio>
#include <sys/prctl.h>
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

// Read from the kernel at the thread's first message and kept: threads take their names as they start,
// and a system call for every message of a busy thread costs more than the rest of the message.
const std::optional<std::string>& callingThreadName() {
    thread_local const std::optional<std::string> name = []() -> std::optional<std::string> {
        char text[17] = {}; // the kernel keeps 16 bytes with the terminator
        if (prctl(PR_GET_NAME, text) != 0 || text[0] == '\0')
            return std::nullopt;
        return std::string(text);
    }();
    return name;
}

// The text of a C string, shared with earlier messages of this thread that passed the same text.
std::shared_ptr<const std::string> internedText(const char* text) {
    struct Entry {
        const char* pointer = nullptr;
        std::shared_ptr<const std::string> value;
    };
    thread_local Entry entries[8];
    thread_local unsigned next = 0;
    if (!text)
        text = "(null)";
    for (Entry& entry : entries)
        if (entry.pointer == text && *entry.value == text)
            return entry.value;
    Entry& entry = entries[next++ % 8];
    entry.pointer = text;
    entry.value = std::make_shared<const std::string>(text);
    return entry.value;
}

// The label of the calling thread's current queue, shared with earlier messages of this thread from a
// queue of the same label rather than copied each time.
std::shared_ptr<const std::string> currentQueueLabel() {
    // Never destroyed: any thread may log while the process ends.
    static const auto* none = new std::shared_ptr<const std::string>(std::make_shared<const std::string>());
    thread_local std::shared_ptr<const std::string> last = *none;
    const platform::DispatchQueue* queue = platform::DispatchQueue::current();
    if (!queue || queue->label().empty())
        return *none;
    if (*last != queue->label())
        last = std::make_shared<const std::string>(queue->label());
    return last;
}

} // namespace

PULSELogMessage::PULSELogMessage(LogText message, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                                 const char* file, const char* function, std::uint64_t line, platform::Value tag,
                                 std::int64_t options)
    : m_message(message ? std::move(message) : makeLogText({})), m_level(level), m_flag(flag), m_context(context),
      m_file(internedText(file)), m_fileName(fileNameForPath(*m_file)), m_function(internedText(function)),
      m_line(line), m_tag(std::move(tag)), m_options(options), m_timestamp(platform::Clock::current().wallNow()),
      m_threadID(callingThreadID()), m_threadName(callingThreadName()),
      m_queueLabel(currentQueueLabel()) {}

PULSELogMessage::PULSELogMessage(std::string message, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                                 std::string file, std::string function, std::uint64_t line, platform::Value tag,
                                 std::int64_t options, std::optional<platform::Date> timestamp)
    : m_message(makeLogText(std::move(message))), m_level(level), m_flag(flag), m_context(context),
      m_file(std::make_shared<const std::string>(std::move(file))), m_fileName(fileNameForPath(*m_file)),
      m_function(std::make_shared<const std::string>(std::move(function))), m_line(line),
      m_tag(std::move(tag)), m_options(options), m_timestamp(timestamp ? *timestamp : platform::Clock::current().wallNow()),
      m_threadID(callingThreadID()), m_threadName(callingThreadName()), m_queueLabel(currentQueueLabel()) {}

PULSELogMessage::PULSELogMessage(std::shared_ptr<DeferredLogText> message, std::uint64_t level, std::uint64_t flag,
                                 std::int64_t context, const char* file, const char* function, std::uint64_t line,
                                 platform::Value tag, std::int64_t options)
    : PULSELogMessage(LogText(), level, flag, context, file, function, line, std::move(tag), options) {
    m_deferred = std::move(message);
}

const LogText& DeferredLogText::text() {
    std::call_once(m_once, [this] { m_text = makeLogText(m_make ? m_make() : std::string()); });
    return m_text;
}

PULSELogMessage PULSELogMessage::withMessage(LogText line) const {
    PULSELogMessage copy(*this);
    copy.m_message = line ? std::move(line) : makeLogText({});
    copy.m_deferred.reset();
    return copy;
}

std::string PULSELogMessage::fileNameForPath(std::string_view file) {
    const std::size_t slash = file.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? file : file.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string_view::npos)
        name = name.substr(0, dot);
    return std::string(name);
}

} // namespace pushlog
