#include "pushlog/PULSEAbstractDatabaseLogger.h"

#include "platform/runloop/DispatchTimerSource.h"
#include "pushlog/PULSELog.h"

#include <chrono>

namespace pushlog {

namespace {

platform::Clock::TimePoint now() { return platform::Clock::current().now(); }

// Floating-point settings change only when they compare unequal as ordered numbers (NaN never does).
bool differs(double a, double b) { return a < b || a > b; }

constexpr auto kLeeway = std::chrono::nanoseconds(1);

} // namespace

PULSEAbstractDatabaseLogger::PULSEAbstractDatabaseLogger(std::string loggerName)
    : PULSEAbstractLogger(std::move(loggerName)) {}

PULSEAbstractDatabaseLogger::~PULSEAbstractDatabaseLogger() {
    destroySaveTimer();
    destroyDeleteTimer();
}

template <class T>
T PULSEAbstractDatabaseLogger::read(const T& field) {
    T value{};
    performOnLoggerQueueAndWait([&] { value = field; });
    return value;
}

void PULSEAbstractDatabaseLogger::apply(std::function<void(PULSEAbstractDatabaseLogger&)> change) {
    performOnLoggerQueue([logger = self(), change = std::move(change)] { change(*logger); });
}

std::uint64_t PULSEAbstractDatabaseLogger::saveThreshold() { return read(m_saveThreshold); }
double PULSEAbstractDatabaseLogger::saveInterval() { return read(m_saveInterval); }
double PULSEAbstractDatabaseLogger::maxAge() { return read(m_maxAge); }
double PULSEAbstractDatabaseLogger::deleteInterval() { return read(m_deleteInterval); }
bool PULSEAbstractDatabaseLogger::deleteOnEverySave() { return read(m_deleteOnEverySave); }

void PULSEAbstractDatabaseLogger::setSaveThreshold(std::uint64_t threshold) {
    apply([threshold](PULSEAbstractDatabaseLogger& logger) {
        if (logger.m_saveThreshold == threshold)
            return;
        logger.m_saveThreshold = threshold;
        if (threshold != 0 && logger.m_unsavedCount >= threshold)
            logger.performSaveAndSuspendSaveTimer();
    });
}

void PULSEAbstractDatabaseLogger::setSaveInterval(double seconds) {
    apply([seconds](PULSEAbstractDatabaseLogger& logger) {
        if (!differs(logger.m_saveInterval, seconds))
            return;
        logger.m_saveInterval = seconds;
        if (seconds > 0) {
            logger.createSuspendedSaveTimer();
            logger.updateAndResumeSaveTimer();
        } else {
            logger.destroySaveTimer();
        }
    });
}

void PULSEAbstractDatabaseLogger::setMaxAge(double seconds) {
    apply([seconds](PULSEAbstractDatabaseLogger& logger) {
        if (!differs(logger.m_maxAge, seconds))
            return;
        const double old = logger.m_maxAge;
        logger.m_maxAge = seconds;
        if (old > 0 && seconds <= 0) {
            logger.destroyDeleteTimer();
            return;
        }
        if ((old > 0 && seconds < old) || (old <= 0 && seconds > 0)) {
            logger.performDelete();
            if (logger.m_deleteTimer)
                logger.updateDeleteTimer();
            else
                logger.createAndStartDeleteTimer();
        }
    });
}

void PULSEAbstractDatabaseLogger::setDeleteInterval(double seconds) {
    apply([seconds](PULSEAbstractDatabaseLogger& logger) {
        if (!differs(logger.m_deleteInterval, seconds))
            return;
        logger.m_deleteInterval = seconds;
        if (seconds > 0) {
            if (logger.m_deleteTimer)
                logger.updateDeleteTimer();
            else
                logger.createAndStartDeleteTimer();
        } else {
            logger.destroyDeleteTimer();
        }
    });
}

void PULSEAbstractDatabaseLogger::setDeleteOnEverySave(bool deleteOnEverySave) {
    apply([deleteOnEverySave](PULSEAbstractDatabaseLogger& logger) { logger.m_deleteOnEverySave = deleteOnEverySave; });
}

void PULSEAbstractDatabaseLogger::savePendingLogEntries() {
    apply([](PULSEAbstractDatabaseLogger& logger) { logger.performSaveAndSuspendSaveTimer(); });
}

void PULSEAbstractDatabaseLogger::deleteOldLogEntries() {
    apply([](PULSEAbstractDatabaseLogger& logger) { logger.performDelete(); });
}

void PULSEAbstractDatabaseLogger::didAddLogger() {
    createSuspendedSaveTimer();
    createAndStartDeleteTimer();
}

void PULSEAbstractDatabaseLogger::willRemoveLogger() {
    performSaveAndSuspendSaveTimer();
    destroySaveTimer();
    destroyDeleteTimer();
}

void PULSEAbstractDatabaseLogger::flush() { performSaveAndSuspendSaveTimer(); }

void PULSEAbstractDatabaseLogger::logMessage(const PULSELogMessage& message) {
    if (!db_log(message))
        return;
    const bool first = m_unsavedCount == 0;
    ++m_unsavedCount;
    if (m_saveThreshold != 0 && m_unsavedCount >= m_saveThreshold) {
        performSaveAndSuspendSaveTimer();
        return;
    }
    if (first) {
        m_unsavedTime = now();
        updateAndResumeSaveTimer();
    }
}

void PULSEAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
    if (m_unsavedCount > 0) {
        if (m_deleteOnEverySave)
            db_saveAndDelete();
        else
            db_save();
    }
    m_unsavedCount = 0;
    m_unsavedTime.reset();
    if (m_saveTimer && !m_saveTimerSuspended) {
        m_saveTimer->suspend();
        m_saveTimerSuspended = true;
    }
}

void PULSEAbstractDatabaseLogger::performDelete() {
    if (m_maxAge <= 0)
        return;
    db_delete();
    m_lastDeleteTime = now();
}

void PULSEAbstractDatabaseLogger::createSuspendedSaveTimer() {
    if (m_saveTimer || m_saveInterval <= 0)
        return;
    std::weak_ptr<PULSEAbstractDatabaseLogger> weak = self();
    m_saveTimer = platform::DispatchTimerSource::create(loggerQueue());
    m_saveTimer->setEventHandler([weak] {
        auto logger = weak.lock();
        if (!logger)
            return;
        // A firing kept while the timer was suspended belongs to entries already saved: the save is due
        // only once the interval has passed since the first unsaved entry.
        if (!logger->m_unsavedTime ||
            now() < *logger->m_unsavedTime + platform::seconds(logger->m_saveInterval))
            return;
        logger->performSaveAndSuspendSaveTimer();
    });
    m_saveTimerSuspended = true; // a new source starts suspended
}

void PULSEAbstractDatabaseLogger::updateAndResumeSaveTimer() {
    if (!m_saveTimer || m_saveInterval <= 0 || !m_unsavedTime)
        return;
    const platform::Duration interval = platform::seconds(m_saveInterval);
    const auto start = std::max(platform::Duration::zero(),
                                std::chrono::duration_cast<platform::Duration>(*m_unsavedTime + interval - now()));
    m_saveTimer->setTimer(start, interval, kLeeway);
    if (m_saveTimerSuspended) {
        m_saveTimer->resume();
        m_saveTimerSuspended = false;
    }
}

void PULSEAbstractDatabaseLogger::destroySaveTimer() {
    if (!m_saveTimer)
        return;
    m_saveTimer->cancel();
    if (m_saveTimerSuspended) {
        m_saveTimer->resume();
        m_saveTimerSuspended = false;
    }
    m_saveTimer.reset();
}

void PULSEAbstractDatabaseLogger::createAndStartDeleteTimer() {
    if (m_deleteTimer || m_deleteInterval <= 0 || m_maxAge <= 0)
        return;
    std::weak_ptr<PULSEAbstractDatabaseLogger> weak = self();
    m_deleteTimer = platform::DispatchTimerSource::create(loggerQueue());
    m_deleteTimer->setEventHandler([weak] {
        if (auto logger = weak.lock())
            logger->performDelete();
    });
    updateDeleteTimer();
    m_deleteTimer->resume();
}

void PULSEAbstractDatabaseLogger::updateDeleteTimer() {
    if (!m_deleteTimer || m_deleteInterval <= 0 || m_maxAge <= 0)
        return;
    const platform::Duration interval = platform::seconds(m_deleteInterval);
    // From the last deletion; before any, from now (a dispatch time of 0 means "now").
    const TimePoint last = m_lastDeleteTime.value_or(now());
    const auto start =
        std::max(platform::Duration::zero(), std::chrono::duration_cast<platform::Duration>(last + interval - now()));
    m_deleteTimer->setTimer(start, interval, kLeeway);
}

void PULSEAbstractDatabaseLogger::destroyDeleteTimer() {
    if (!m_deleteTimer)
        return;
    m_deleteTimer->cancel();
    m_deleteTimer.reset();
}

} // namespace pushlog
