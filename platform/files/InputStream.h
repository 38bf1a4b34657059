// A byte source that a URL load can read a request body from. Loaders read without blocking: when no
// bytes are there yet they leave a handler that the stream calls (on the writer's thread) once bytes or
// the end arrive, and they come back then.
#pragma once

#include "platform/core/Error.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace platform {

class InputStream {
public:
    enum class ReadState { Bytes, WouldBlock, AtEnd, Failed };
    struct ReadOutcome {
        ReadState state;
        std::size_t count = 0;
    };

    virtual ~InputStream() = default;

    virtual bool open() = 0;
    virtual void close() = 0;
    // Blocks until at least one byte or the end is there: the count read, 0 at the end, -1 on error.
    virtual long read(std::uint8_t* buffer, std::size_t maxLength) = 0;
    // Never blocks.
    virtual ReadOutcome tryRead(std::uint8_t* buffer, std::size_t maxLength) = 0;
    // Called once, on any thread, when a tryRead that answered WouldBlock may now succeed. Replaces an
    // earlier handler; an empty function clears it.
    virtual void setReadableHandler(std::function<void()> handler) = 0;
    virtual Error streamError() const = 0;
};

} // namespace platform
