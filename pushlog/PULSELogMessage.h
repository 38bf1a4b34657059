// One log message: the text and the facts the caller gave, plus the facts of the calling thread.
//
// Guarantees:
// - Immutable after construction. Copies share the text (the same string object), so a logger can tell
//   whether a formatter gave back the message's own text or a new line (identity, not equality).
// - Thread id, thread name, queue label and timestamp are taken on the constructing thread, never later
//   on a logger's queue. The thread's name is the one it had when it built its first message (threads
//   are named as they start).
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace pushlog {

// The text of a message or of a formatted line. Null means "no line" (a formatter drops the message).
using LogText = std::shared_ptr<const std::string>;

LogText makeLogText(std::string text);

// A message text made when a logger first asks for it, on that logger's queue, rather than by the
// caller: for lines whose text costs more to make than the rest of their caller's work. The maker must
// be safe to run on another thread; it runs once, and stays (with what it holds) until the message goes.
class DeferredLogText {
public:
    explicit DeferredLogText(std::function<std::string()> make) : m_make(std::move(make)) {}
    const LogText& text();
    // Lets go of the text made (on the thread that made it, so its memory goes back there) once no
    // logger reads it any more; the maker stays until the message goes.
    void releaseText() { m_text.reset(); }

private:
    std::once_flag m_once;
    std::function<std::string()> m_make;
    LogText m_text;
};

class PULSELogMessage {
public:
    // The timestamp is the given one, or now when none is given.
    PULSELogMessage(std::string message, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                    std::string file, std::string function, std::uint64_t line, platform::Value tag = {},
                    std::int64_t options = 0, std::optional<platform::Date> timestamp = std::nullopt);

    const std::string& message() const { return *messageText(); }
    // The text as a shared object; formatters that pass the text on unchanged return this very object.
    const LogText& messageText() const { return m_deferred ? m_deferred->text() : m_message; }
    std::uint64_t level() const { return m_level; }
    std::uint64_t flag() const { return m_flag; }
    std::int64_t context() const { return m_context; }
    const std::string& file() const { return *m_file; }
    const std::string& fileName() const { return m_fileName; }
    const std::string& function() const { return *m_function; }
    std::uint64_t line() const { return m_line; }
    const platform::Value& tag() const { return m_tag; }
    std::int64_t options() const { return m_options; }
    platform::Date timestamp() const { return m_timestamp; }
    const std::string& threadID() const { return m_threadID; }
    const std::optional<std::string>& threadName() const { return m_threadName; }
    const std::string& queueLabel() const { return *m_queueLabel; }

    // The same from the C strings a logging call passes (null ones become "(null)"); repeated file and
    // function names are shared between the messages of a thread rather than copied each time.
    PULSELogMessage(LogText message, std::uint64_t level, std::uint64_t flag, std::int64_t context, const char* file,
                    const char* function, std::uint64_t line, platform::Value tag, std::int64_t options);
    // The same with a text made later (copies share it, and it is made once).
    PULSELogMessage(std::shared_ptr<DeferredLogText> message, std::uint64_t level, std::uint64_t flag,
                    std::int64_t context, const char* file, const char* function, std::uint64_t line,
                    platform::Value tag, std::int64_t options);

    // For the logging core, once every logger has handled the message: a text made later is let go of,
    // unless a logger kept a copy of the message (which still reads it).
    void releaseDeferredText() {
        if (m_deferred && m_deferred.use_count() == 1)
            m_deferred->releaseText();
    }

    // A copy of this message whose text is `line`; every other field keeps its value.
    PULSELogMessage withMessage(LogText line) const;

    // The last path component of `file`, cut before its last "." when it has one.
    static std::string fileNameForPath(std::string_view file);

private:
    LogText m_message;
    std::shared_ptr<DeferredLogText> m_deferred; // when set, the text is its
    std::uint64_t m_level;
    std::uint64_t m_flag;
    std::int64_t m_context;
    std::shared_ptr<const std::string> m_file;
    std::string m_fileName;
    std::shared_ptr<const std::string> m_function;
    std::uint64_t m_line;
    platform::Value m_tag;
    std::int64_t m_options;
    platform::Date m_timestamp;
    std::string m_threadID;
    std::optional<std::string> m_threadName;
    std::shared_ptr<const std::string> m_queueLabel;
};

} // namespace pushlog
