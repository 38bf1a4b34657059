#include "platform/runloop/DispatchFileSource.h"

#include "platform/files/FileError.h"
#include "platform/runloop/DispatchManager.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/FdSource.h"

#include <cerrno>
#include <string>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

DispatchFileSource::DispatchFileSource(int fd, unsigned events, std::shared_ptr<DispatchQueue> queue)
    : m_fd(fd), m_events(events), m_queue(std::move(queue)) {}

Result<std::shared_ptr<DispatchFileSource>> DispatchFileSource::create(int fd, unsigned events,
                                                                       std::shared_ptr<DispatchQueue> queue) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    int inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify < 0)
        return fileError(errno, FileAccess::Read, link, "Could not watch");
    // The descriptor's magic link leads to the file itself, even when it has no name left.
    if (::inotify_add_watch(inotify, link.c_str(), IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB) < 0) {
        Error e = fileError(errno, FileAccess::Read, link, "Could not watch");
        ::close(inotify);
        return e;
    }
    std::shared_ptr<DispatchFileSource> source(new DispatchFileSource(fd, events, std::move(queue)));
    source->m_inotify = inotify;
    std::weak_ptr<DispatchFileSource> weak = source;
    runOnDispatchManager([&] {
        source->m_watch = dispatchManagerLoop().addFdSource(inotify, [weak] {
            if (auto self = weak.lock())
                self->readEvents();
        }, nullptr);
    });
    return source;
}

DispatchFileSource::~DispatchFileSource() {
    std::lock_guard lock(m_mutex);
    stopWatchingLocked();
}

void DispatchFileSource::stopWatchingLocked() {
    if (m_inotify < 0)
        return;
    auto watch = std::move(m_watch);
    const int inotify = m_inotify;
    m_inotify = -1;
    if (dispatchManagerLoop().isCurrent()) {
        watch.reset();
        ::close(inotify);
        return;
    }
    // The watch belongs to the manager thread: release it there.
    dispatchManagerLoop().perform([watch = std::shared_ptr<FdSource>(std::move(watch)), inotify]() mutable {
        watch.reset();
        ::close(inotify);
    });
}

void DispatchFileSource::readEvents() {
    std::lock_guard lock(m_mutex);
    if (m_inotify < 0)
        return;
    alignas(inotify_event) char buffer[4096];
    unsigned seen = 0;
    for (;;) {
        ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            auto* event = reinterpret_cast<inotify_event*>(buffer + at);
            if (event->mask & IN_MOVE_SELF)
                seen |= Rename;
            if (event->mask & IN_DELETE_SELF)
                seen |= Delete;
            if (event->mask & IN_ATTRIB) {
                struct stat st {};
                if (::fstat(m_fd, &st) == 0 && st.st_nlink == 0)
                    seen |= Delete; // the last name is gone
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    seen &= m_events;
    if (!seen || m_cancelled)
        return;
    m_pending |= seen;
    if (m_suspended || m_deliveryQueued)
        return;
    m_deliveryQueued = true;
    m_queue->async([self = shared_from_this()] { self->deliver(); });
}

void DispatchFileSource::deliver() {
    std::function<void(unsigned)> handler;
    unsigned events;
    {
        std::lock_guard lock(m_mutex);
        m_deliveryQueued = false;
        if (m_cancelled || m_suspended || !m_pending)
            return;
        events = m_pending;
        m_pending = 0;
        handler = m_handler;
    }
    if (handler)
        handler(events);
}

void DispatchFileSource::setEventHandler(std::function<void(unsigned)> handler) {
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

void DispatchFileSource::setCancelHandler(std::function<void()> handler) {
    std::lock_guard lock(m_mutex);
    m_cancelHandler = std::move(handler);
}

void DispatchFileSource::resume() {
    std::lock_guard lock(m_mutex);
    if (!m_suspended || m_cancelled)
        return;
    m_suspended = false;
    if (m_pending && !m_deliveryQueued) {
        m_deliveryQueued = true;
        m_queue->async([self = shared_from_this()] { self->deliver(); });
    }
}

void DispatchFileSource::cancel() {
    std::function<void()> cancelHandler;
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled)
            return;
        m_cancelled = true;
        m_handler = nullptr;
        cancelHandler = std::move(m_cancelHandler);
        stopWatchingLocked();
    }
    if (cancelHandler)
        m_queue->async(std::move(cancelHandler));
}

bool DispatchFileSource::isCancelled() const {
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

} // namespace platform
