#include "pushlog/PULSEAbstractLogger.h"

#include "pushlog/PULSELog.h"

namespace pushlog {

PULSEAbstractLogger::PULSEAbstractLogger(std::string loggerName)
    : m_loggerName(std::move(loggerName)), m_loggerQueue(platform::DispatchQueue::createSerial(m_loggerName)) {
    m_loggerQueue->setSpecific(this, this);
}

PULSEAbstractLogger::~PULSEAbstractLogger() = default;

std::shared_ptr<PULSELogFormatter> PULSEAbstractLogger::logFormatter() {
    std::shared_ptr<PULSELogFormatter> formatter;
    performOnLoggerQueueAndWait([&] { formatter = m_logFormatter; });
    return formatter;
}

void PULSEAbstractLogger::setLogFormatter(std::shared_ptr<PULSELogFormatter> formatter) {
    std::shared_ptr<PULSEAbstractLogger> self = shared_from_this();
    auto change = [self, formatter = std::move(formatter)] {
        if (formatter == self->m_logFormatter)
            return;
        if (self->m_logFormatter)
            self->m_logFormatter->willRemoveFromLogger(*self);
        self->m_logFormatter = formatter;
        if (formatter)
            formatter->didAddToLogger(*self);
    };
    PULSELog::loggingQueue()->async([queue = m_loggerQueue, change = std::move(change)]() mutable {
        queue->async(std::move(change));
    });
}

bool PULSEAbstractLogger::isOnGlobalLoggingQueue() const { return PULSELog::isOnLoggingQueue(); }

bool PULSEAbstractLogger::isOnInternalLoggerQueue() const {
    return platform::DispatchQueue::currentSpecific(this) == this;
}

void PULSEAbstractLogger::setLoggerQueue(QueueRef queue) { m_loggerQueue = std::move(queue); }

void PULSEAbstractLogger::performOnLoggerQueue(std::function<void()> task) {
    if (isOnInternalLoggerQueue()) {
        task();
        return;
    }
    PULSELog::loggingQueue()->async([queue = m_loggerQueue, task = std::move(task)]() mutable {
        queue->async(std::move(task));
    });
}

void PULSEAbstractLogger::performOnLoggerQueueAndWait(const std::function<void()>& task) {
    PULSELog::loggingQueue()->sync([&] { m_loggerQueue->sync(task); });
}

} // namespace pushlog
