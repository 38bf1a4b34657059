#include "crashreporter/crsh_async_file.h"

#include "crashreporter/crsh_async.h"

#include <unistd.h>

#include <cerrno>

void crsh_async_file_init(crsh_async_file* file, int fd, std::uint64_t limit_bytes)
{
    file->fd = fd;
    file->limit_bytes = limit_bytes;
    file->total_bytes = 0;
    file->buffered_bytes = 0;
    file->failed = false;
    file->written_bytes = 0;
    file->error = 0;
}

namespace {

// Writes through to the file, keeping count of what it took and the first refusal.
bool writeThrough(crsh_async_file* file, const void* data, std::size_t length)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t left = length;
    while (left > 0) {
        const ssize_t written = write(file->fd, bytes, left);
        if (written < 1) {
            if (written < 0 && errno == EINTR)
                continue;
            if (file->error == 0)
                file->error = written < 0 ? errno : ENOSPC;
            file->failed = true;
            return false;
        }
        bytes += written;
        left -= static_cast<std::size_t>(written);
        file->written_bytes += static_cast<std::uint64_t>(written);
    }
    return true;
}

} // namespace

ssize_t crsh_async_writen(int fd, const void* data, std::size_t length)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t left = length;
    while (left > 0) {
        ssize_t written = write(fd, bytes, left);
        if (written < 1) {
            if (written < 0 && errno == EINTR)
                continue;
            return -1;
        }
        bytes += written;
        left -= static_cast<std::size_t>(written);
    }
    return static_cast<ssize_t>(length);
}

bool crsh_async_file_write(crsh_async_file* file, const void* data, std::size_t length)
{
    if (file->limit_bytes != 0 &&
        (length > file->limit_bytes || file->total_bytes > file->limit_bytes - length)) {
        file->failed = true;
        return false;
    }
    file->total_bytes += length;

    if (file->buffered_bytes + length > CRSH_ASYNC_FILE_BUFFER_BYTES && !crsh_async_file_flush(file))
        return false;

    if (length > CRSH_ASYNC_FILE_BUFFER_BYTES)
        return writeThrough(file, data, length);

    crsh_async_memcpy(file->buffer + file->buffered_bytes, data, length);
    file->buffered_bytes += length;
    return true;
}

bool crsh_async_file_flush(crsh_async_file* file)
{
    if (file->buffered_bytes == 0)
        return true;
    if (!writeThrough(file, file->buffer, file->buffered_bytes))
        return false;
    file->buffered_bytes = 0;
    return true;
}

bool crsh_async_file_rewind(crsh_async_file* file, std::uint64_t limit_bytes)
{
    crsh_async_errno_keeper keeper;
    if (ftruncate(file->fd, 0) != 0 || lseek(file->fd, 0, SEEK_SET) != 0)
        return false;
    crsh_async_file_init(file, file->fd, limit_bytes);
    return true;
}

bool crsh_async_file_close(crsh_async_file* file)
{
    bool flushed = crsh_async_file_flush(file);
    bool closed = close(file->fd) == 0;
    return flushed && closed;
}

bool crsh_async_file_failed(const crsh_async_file* file)
{
    return file->failed;
}
