#include "platform/FileEventSource.h"

#include "platform/DispatchQueue.h"

#include <atomic>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform {

struct FileEventSource::Watch {
    int fd = -1;      // our own duplicate, for the link count
    int wd = -1;      // the inotify watch
    std::shared_ptr<DispatchQueue> queue;
    std::function<void()> handler;
    std::atomic<bool> cancelled{false};

    // Closed only when no one can read it any more (the reader thread may hold the watch a moment).
    ~Watch() {
        if (fd >= 0)
            ::close(fd);
    }
};

namespace {

// One inotify instance and one reader thread for the process.
class Watcher {
public:
    static Watcher& shared() {
        static Watcher* watcher = new Watcher(); // its thread runs until the process ends
        return *watcher;
    }

    int add(const std::string& path, const std::shared_ptr<FileEventSource::Watch>& watch) {
        std::lock_guard lock(m_mutex);
        if (m_inotify < 0)
            return -1;
        const int wd = inotify_add_watch(m_inotify, path.c_str(), IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF | IN_MASK_ADD);
        if (wd >= 0)
            m_watches[wd].push_back(watch);
        return wd;
    }

    void remove(const std::shared_ptr<FileEventSource::Watch>& watch) {
        std::lock_guard lock(m_mutex);
        auto it = m_watches.find(watch->wd);
        if (it == m_watches.end())
            return;
        std::erase(it->second, watch);
        if (it->second.empty()) {
            inotify_rm_watch(m_inotify, watch->wd);
            m_watches.erase(it);
        }
    }

private:
    Watcher() {
        m_inotify = inotify_init1(IN_CLOEXEC);
        if (m_inotify >= 0)
            std::thread([this] { run(); }).detach();
    }

    void run() {
        alignas(inotify_event) char buffer[4096];
        while (true) {
            const ssize_t length = ::read(m_inotify, buffer, sizeof buffer);
            if (length <= 0)
                continue;
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                dispatch(event->wd, event->mask);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    void dispatch(int wd, std::uint32_t mask) {
        std::vector<std::shared_ptr<FileEventSource::Watch>> watches;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_watches.find(wd);
            if (it == m_watches.end())
                return;
            watches = it->second;
        }
        for (const auto& watch : watches) {
            bool fires = (mask & (IN_MOVE_SELF | IN_DELETE_SELF)) != 0;
            if (!fires && (mask & IN_ATTRIB)) {
                struct stat info{};
                fires = ::fstat(watch->fd, &info) == 0 && info.st_nlink == 0;
            }
            if (!fires || watch->cancelled.load())
                continue;
            watch->queue->async([watch] {
                if (!watch->cancelled.load())
                    watch->handler();
            });
        }
    }

    std::mutex m_mutex;
    int m_inotify = -1;
    std::map<int, std::vector<std::shared_ptr<FileEventSource::Watch>>> m_watches;
};

} // namespace

FileEventSource::FileEventSource(int fd, const std::string& path, std::shared_ptr<DispatchQueue> queue,
                                 std::function<void()> handler)
    : m_watch(std::make_shared<Watch>()) {
    m_watch->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    m_watch->queue = std::move(queue);
    m_watch->handler = std::move(handler);
    if (m_watch->fd >= 0)
        m_watch->wd = Watcher::shared().add(path, m_watch);
}

FileEventSource::~FileEventSource() {
    m_watch->cancelled.store(true);
    if (m_watch->wd >= 0)
        Watcher::shared().remove(m_watch);
}

bool FileEventSource::isWatching() const { return m_watch->wd >= 0; }

} // namespace platform
