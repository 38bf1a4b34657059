// An advisory lock (flock) on a lock file, shared between threads and processes: held from a successful
// lock() until unlock() or destruction. The lock file is created (0600) when missing and never removed,
// so that every process locks the same inode. Something other than a regular file at its place (a folder,
// a pipe, a socket, a link) is moved aside first (StorePlace), and so is a lock file whose permissions were
// taken away (it cannot be opened), so that neither turns the lock off for good.
#pragma once

#include "platform/core/Error.h"

#include <chrono>
#include <string>

namespace platform {

class FileLock {
public:
    enum class Mode { Shared, Exclusive };

    FileLock() = default;
    ~FileLock() { unlock(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    FileLock(FileLock&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

    // Waits for the lock.
    Status lock(const std::string& lockFilePath, Mode mode);
    // Waits for the lock at most `within` (a lock another process holds for longer, stuck or hostile,
    // answers EWOULDBLOCK): for locks every application on the device takes.
    Status lock(const std::string& lockFilePath, Mode mode, std::chrono::milliseconds within);
    void unlock();
    bool isLocked() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

} // namespace platform
