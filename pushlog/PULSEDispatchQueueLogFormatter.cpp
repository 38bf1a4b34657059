#include "pushlog/PULSEDispatchQueueLogFormatter.h"

#include <array>
#include <string_view>

namespace pushlog {

namespace {

// The shared system queues, whose label says nothing about who logged.
bool isSharedSystemQueueLabel(const std::string& label) {
    static constexpr std::array<std::string_view, 6> labels = {
        "com.apple.root.low-priority",           "com.apple.root.default-priority",
        "com.apple.root.high-priority",          "com.apple.root.low-overcommit-priority",
        "com.apple.root.default-overcommit-priority", "com.apple.root.high-overcommit-priority"};
    for (std::string_view shared : labels)
        if (label == shared)
            return true;
    return false;
}

} // namespace

PULSEDispatchQueueLogFormatter::PULSEDispatchQueueLogFormatter() {
    m_replacements.emplace("com.apple.main-thread", "main");
}

std::optional<std::string> PULSEDispatchQueueLogFormatter::replacementStringForQueueLabel(const std::string& label) const {
    std::lock_guard lock(m_lock);
    auto it = m_replacements.find(label);
    if (it == m_replacements.end())
        return std::nullopt;
    return it->second;
}

void PULSEDispatchQueueLogFormatter::setReplacementString(std::optional<std::string> shortLabel,
                                                          const std::string& label) {
    std::lock_guard lock(m_lock);
    if (shortLabel)
        m_replacements.insert_or_assign(label, std::move(*shortLabel));
    else
        m_replacements.erase(label);
}

std::string PULSEDispatchQueueLogFormatter::stringFromDate(platform::Date date) {
    if (m_atomicLoggerCount.load() > 1) {
        thread_local DateText perThread('-', ':');
        return perThread.format(date);
    }
    if (!m_threadUnsafeDateFormatter)
        m_threadUnsafeDateFormatter.emplace('-', ':');
    return m_threadUnsafeDateFormatter->format(date);
}

std::string PULSEDispatchQueueLogFormatter::queueThreadLabelForLogMessage(const PULSELogMessage& message) const {
    const std::string& queueLabel = message.queueLabel();
    const std::optional<std::string>& threadName = message.threadName();
    const bool hasThreadName = threadName && !threadName->empty();
    std::string label;
    bool replaceable = true;
    if (!queueLabel.empty() && !isSharedSystemQueueLabel(queueLabel)) {
        label = queueLabel;
    } else if (hasThreadName) {
        label = *threadName;
    } else {
        label = message.threadID();
        replaceable = false;
    }
    if (replaceable) {
        if (std::optional<std::string> shortLabel = replacementStringForQueueLabel(label))
            label = std::move(*shortLabel);
    }
    const std::uint64_t maxLength = m_maxQueueLength.load();
    const std::uint64_t minLength = m_minQueueLength.load();
    if (maxLength != 0 && label.size() > maxLength)
        label.resize(maxLength);
    else if (label.size() < minLength)
        label.append(minLength - label.size(), ' ');
    return label;
}

LogText PULSEDispatchQueueLogFormatter::formatLogMessage(const PULSELogMessage& message) {
    std::string line = stringFromDate(message.timestamp());
    line += " [";
    line += queueThreadLabelForLogMessage(message);
    line += "] ";
    line += message.message();
    return makeLogText(std::move(line));
}

} // namespace pushlog
