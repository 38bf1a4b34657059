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
    if (m_atomicLoggerCount.load() > 1) {
        thread_local DateText perThread('-', '.');
        return perThread.format(date);
    }
    if (!m_threadUnsafeDateFormatter)
        m_threadUnsafeDateFormatter.emplace('-', '.');
    return m_threadUnsafeDateFormatter->format(date);
}

LogText PULSECustomFormatter::formatLogMessage(const PULSELogMessage& message) {
    std::string line = stringFromDate(message.timestamp());
    line += " | ";
    line += tagForType(m_type);
    line += " | ";
    line += letterForFlag(message.flag());
    line += " - [";
    line += message.fileName();
    line += "] ";
    line += message.message();
    return makeLogText(std::move(line));
}

} // namespace pushlog
