#include "pushlog/PULSEMultiFormatter.h"

#include <algorithm>

namespace pushlog {

PULSEMultiFormatter::PULSEMultiFormatter()
    : m_queue(platform::DispatchQueue::createSerial("pulse.logging.multiformatter")) {}

PULSELogMessage PULSEMultiFormatter::logMessageForLine(LogText line, const PULSELogMessage& originalMessage) {
    return originalMessage.withMessage(std::move(line));
}

LogText PULSEMultiFormatter::formatLogMessage(const PULSELogMessage& message) {
    LogText line = message.messageText();
    m_queue->sync([&] {
        for (const auto& formatter : m_formatters) {
            line = formatter->formatLogMessage(logMessageForLine(line, message));
            if (!line)
                return;
        }
    });
    return line;
}

std::vector<std::shared_ptr<PULSELogFormatter>> PULSEMultiFormatter::formatters() {
    std::vector<std::shared_ptr<PULSELogFormatter>> copy;
    m_queue->sync([&] { copy = m_formatters; });
    return copy;
}

void PULSEMultiFormatter::addFormatter(std::shared_ptr<PULSELogFormatter> formatter) {
    m_queue->async([self = shared_from_this(), formatter = std::move(formatter)] {
        self->m_formatters.push_back(formatter);
    });
}

void PULSEMultiFormatter::removeFormatter(const std::shared_ptr<PULSELogFormatter>& formatter) {
    m_queue->async([self = shared_from_this(), formatter] { std::erase(self->m_formatters, formatter); });
}

void PULSEMultiFormatter::removeAllFormatters() {
    m_queue->async([self = shared_from_this()] { self->m_formatters.clear(); });
}

bool PULSEMultiFormatter::isFormattingWithFormatter(const std::shared_ptr<PULSELogFormatter>& formatter) {
    bool found = false;
    m_queue->sync([&] { found = std::find(m_formatters.begin(), m_formatters.end(), formatter) != m_formatters.end(); });
    return found;
}

} // namespace pushlog
