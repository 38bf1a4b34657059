// Watches an open file for deletion and renaming, and runs a handler on a queue when either happens.
//
// On Linux the kernel reports the removal of the last name of a file that is still open only as an
// attribute change (its link count drops to 0): such a change counts as a deletion when the watched
// descriptor's link count is 0.
//
// Guarantees:
// - Thread: made and destroyed from any thread; the handler runs on the given queue, asynchronously,
//   once per event the kernel reports.
// - After the destructor returns the handler is not started again (a run already under way on the
//   queue may finish).
// - The source keeps its own duplicate of the descriptor; the owner closes its own when it likes.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform {

class DispatchQueue;

class FileEventSource {
public:
    // Watches the file open at `fd`, whose path is `path`.
    FileEventSource(int fd, const std::string& path, std::shared_ptr<DispatchQueue> queue,
                    std::function<void()> handler);
    ~FileEventSource();
    FileEventSource(const FileEventSource&) = delete;
    FileEventSource& operator=(const FileEventSource&) = delete;

    // False when the kernel refused the watch (the file is then not watched).
    bool isWatching() const;

    struct Watch;

private:
    std::shared_ptr<Watch> m_watch;
};

} // namespace platform
