// A file-event source: tells a queue when the file behind an open descriptor is deleted or renamed (a
// log file rolled away by someone else).
//
// Guarantees:
// - Watches the file the descriptor refers to (not a path): a rename or delete of any of its names is
//   seen; a delete counts when the last name is gone.
// - Events coalesce: the handler gets the union of events (Delete, Rename) since its previous run.
// - Made suspended; resume() starts delivery. cancel() (any thread) stops it; the cancel handler then runs
//   once on the queue. The descriptor stays the caller's; it must stay open until cancel.
// - Backed by inotify, serviced on the dispatch manager thread.
#pragma once

#include "platform/core/Error.h"

#include <functional>
#include <memory>
#include <mutex>

namespace platform {

class DispatchQueue;
class FdSource;

class DispatchFileSource : public std::enable_shared_from_this<DispatchFileSource> {
public:
    enum Event : unsigned { Delete = 1, Rename = 2 };

    static Result<std::shared_ptr<DispatchFileSource>> create(int fd, unsigned events,
                                                                std::shared_ptr<DispatchQueue> queue);
    ~DispatchFileSource();

    void setEventHandler(std::function<void(unsigned events)> handler);
    void setCancelHandler(std::function<void()> handler);
    void resume();
    void cancel();
    bool isCancelled() const;

private:
    DispatchFileSource(int fd, unsigned events, std::shared_ptr<DispatchQueue> queue);
    void readEvents();
    void deliver();
    void stopWatchingLocked();

    const int m_fd;
    const unsigned m_events;
    const std::shared_ptr<DispatchQueue> m_queue;
    mutable std::mutex m_mutex;
    int m_inotify = -1;
    std::unique_ptr<FdSource> m_watch; // made, used and destroyed on the manager thread
    std::function<void(unsigned)> m_handler;
    std::function<void()> m_cancelHandler;
    bool m_suspended = true;
    bool m_cancelled = false;
    bool m_deliveryQueued = false;
    unsigned m_pending = 0;
};

} // namespace platform
