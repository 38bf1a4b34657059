// A stream of bytes into a file, appending or replacing, as the file plug-ins write.
//
// Guarantees:
// - open() creates the file when missing; "replace" empties an existing one, "append" writes at its end.
// - write() returns the number of bytes written (all of them unless the disk refused), or -1 on error;
//   error() then tells what happened. Writing to a stream that is not open is -1.
// - Thread: one thread at a time. The destructor closes.
#pragma once

#include "platform/core/Error.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

class OutputStream {
public:
    enum class Mode { Replace, Append };

    OutputStream(std::string path, Mode mode) : m_path(std::move(path)), m_mode(mode) {}
    ~OutputStream();
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    bool open();
    long write(const std::uint8_t* data, std::size_t length);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    const std::optional<Error>& error() const { return m_error; }

private:
    std::string m_path;
    Mode m_mode;
    int m_fd = -1;
    std::optional<Error> m_error;
};

} // namespace platform
