#include "pushlog/PULSECustomFormatter.h"

namespace pushlog {

const char* PULSECustomFormatter::tagForType(std::uint64_t type) {
    switch (type) {
    case 0: return "PULSE";
    case 1: return "PULSEPUSH";
    default: return "(null)";
    }
}

const char* PULSECustomFormatter::letterForFlag(std::uint64_t flag) {
    switch (flag) {
    case 1: return "E";
    case 2: return "W";
    case 4: return "I";
    case 8: return "D";
    default: return "V";
    }
}

std::string PULSECustomFormatter::stringFromDate(platform::Date date) {
    std::string text;
    appendDate(text, date);
    return text;
}

void PULSECustomFormatter::appendDate(std::string& text, platform::Date date) {
    if (m_atomicLoggerCount.load() > 1) {
        thread_local DateText perThread('-', '.');
        perThread.appendTo(text, date);
        return;
    }
    if (!m_threadUnsafeDateFormatter)
        m_threadUnsafeDateFormatter.emplace('-', '.');
    m_threadUnsafeDateFormatter->appendTo(text, date);
}

LogText PULSECustomFormatter::formatLogMessage(const PULSELogMessage& message) {
    const char* tag = tagForType(m_type);
    std::string line;
    line.reserve(23 + 3 + std::char_traits<char>::length(tag) + 8 + message.fileName().size() + 2 +
                 message.message().size() + 1);
    appendDate(line, message.timestamp());
    line += " | ";
    line += tag;
    line += " | ";
    line += letterForFlag(message.flag());
    line += " - [";
    line += message.fileName();
    line += "] ";
    line += message.message();
    return makeLogText(std::move(line));
}

} // namespace pushlog
