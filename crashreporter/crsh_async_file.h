// A small buffered writer over a file descriptor, safe inside a signal handler: it uses the stack,
// write() and close() only. The crash log writer emits a report through it, field by field.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr std::size_t CRSH_ASYNC_FILE_BUFFER_BYTES = 256;

// One writer belongs to one report being written; nothing in it is shared.
struct crsh_async_file {
    int fd;
    std::uint64_t limit_bytes;    // most bytes that may pass through the writer; 0 = no limit
    std::uint64_t total_bytes;    // bytes accepted so far
    std::uint64_t buffered_bytes; // bytes waiting in the buffer
    std::uint8_t buffer[CRSH_ASYNC_FILE_BUFFER_BYTES];
    // Set once any write was refused by the limit or failed. Later, smaller writes still go through,
    // so after a failure the file may hold a nested message whose bytes do not match its declared
    // length: the report is corrupt even when flush and close succeed.
    bool failed;
    std::uint64_t written_bytes; // bytes the file took (write() returned them)
    int error;                   // errno of the first write the system refused; 0: none (or only the limit)
};

void crsh_async_file_init(crsh_async_file* file, int fd, std::uint64_t limit_bytes);

// Accepts the bytes, buffering small writes. False, and nothing written, when the limit would be
// passed; false when write() fails.
bool crsh_async_file_write(crsh_async_file* file, const void* data, std::size_t length);

// Writes out the buffered bytes; true when the buffer is empty afterwards.
bool crsh_async_file_flush(crsh_async_file* file);

// Flushes, then closes the descriptor; true only when both succeed.
bool crsh_async_file_close(crsh_async_file* file);

// True once any write through this file was refused or failed (see `failed`).
bool crsh_async_file_failed(const crsh_async_file* file);

// Empties the file (truncated to nothing, written again from its start) and the writer, which starts over
// with the new limit. False when the file cannot be emptied (a pipe, say).
bool crsh_async_file_rewind(crsh_async_file* file, std::uint64_t limit_bytes);

// Writes all the bytes, retrying after EINTR and partial writes. The number written, or -1.
ssize_t crsh_async_writen(int fd, const void* data, std::size_t length);
