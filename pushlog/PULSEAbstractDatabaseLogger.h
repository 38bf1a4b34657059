// The base for loggers that store messages in a database and write in batches: it counts the entries
// handed to the store and not yet saved, saves them when a count threshold is reached or a save interval
// has passed since the first unsaved entry, and deletes entries older than a maximum age on a periodic
// timer. Subclasses supply the storage through db_log, db_save, db_delete and db_saveAndDelete.
//
// Thread: all state lives on the logger's queue; the timers fire there. Getters wait for the logging
// queue and the logger's queue (not from either); setters run at once on the logger's queue, else go
// through the logging queue and then the logger's queue without waiting.
#pragma once

#include "pushlog/PULSEAbstractLogger.h"

#include "platform/runloop/Clock.h"

#include <memory>
#include <optional>

namespace platform { class DispatchTimerSource; }

namespace pushlog {

class PULSEAbstractDatabaseLogger : public PULSEAbstractLogger {
public:
    explicit PULSEAbstractDatabaseLogger(std::string loggerName = "PULSEAbstractDatabaseLogger");
    ~PULSEAbstractDatabaseLogger() override;

    std::uint64_t saveThreshold();
    void setSaveThreshold(std::uint64_t threshold);
    double saveInterval();
    void setSaveInterval(double seconds);
    double maxAge();
    void setMaxAge(double seconds);
    double deleteInterval();
    void setDeleteInterval(double seconds);
    bool deleteOnEverySave();
    void setDeleteOnEverySave(bool deleteOnEverySave);

    void savePendingLogEntries();
    void deleteOldLogEntries();

    void didAddLogger() override;
    void willRemoveLogger() override;
    void logMessage(const PULSELogMessage& message) override;
    void flush() override;

protected:
    // Storage of subclasses; the base stores nothing (db_log answers false, so nothing is counted).
    virtual bool db_log(const PULSELogMessage&) { return false; }
    virtual void db_save() {}
    virtual void db_delete() {}
    virtual void db_saveAndDelete() {}

private:
    using TimePoint = platform::Clock::TimePoint;

    void performSaveAndSuspendSaveTimer();
    void performDelete();
    void destroySaveTimer();
    void updateAndResumeSaveTimer();
    void createSuspendedSaveTimer();
    void destroyDeleteTimer();
    void updateDeleteTimer();
    void createAndStartDeleteTimer();
    template <class T>
    T read(const T& field);
    void apply(std::function<void(PULSEAbstractDatabaseLogger&)> change);
    std::shared_ptr<PULSEAbstractDatabaseLogger> self() {
        return std::static_pointer_cast<PULSEAbstractDatabaseLogger>(shared_from_this());
    }

    // Touched only on the logger's queue.
    std::uint64_t m_saveThreshold = 500;
    double m_saveInterval = 60;
    double m_maxAge = 60 * 60 * 24 * 7;
    double m_deleteInterval = 60 * 5;
    bool m_deleteOnEverySave = false;
    bool m_saveTimerSuspended = false;
    std::uint64_t m_unsavedCount = 0;
    std::optional<TimePoint> m_unsavedTime;
    std::shared_ptr<platform::DispatchTimerSource> m_saveTimer;
    std::optional<TimePoint> m_lastDeleteTime;
    std::shared_ptr<platform::DispatchTimerSource> m_deleteTimer;
};

} // namespace pushlog
