// A bound pair of streams: what is written to the writing end can be read from the reading end, through
// a buffer of a fixed size (32 KiB unless said). Used for streamed request bodies: the reading end
// becomes the request's body stream and another thread writes the body into the writing end.
//
// Guarantees:
// - Thread-safe: one thread may write while another reads.
// - `write` blocks while the buffer is full and then takes as many bytes as fit (at least one); it answers
//   -1 when the stream is not open or the reading end was closed (the writer then sees EPIPE in
//   `streamError`). Closing the writing end lets the reader reach the end after the buffered bytes.
// - Either end may be dropped first; the other then sees the pair as closed.
#pragma once

#include "platform/files/InputStream.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

class BoundInputStream;
class BoundOutputStream;

class BoundStreamPair {
public:
    static constexpr std::size_t kDefaultBufferSize = 32768;

    static std::pair<std::shared_ptr<BoundInputStream>, std::shared_ptr<BoundOutputStream>> make(
        std::size_t bufferSize = kDefaultBufferSize);

    // The state both ends share.
    struct Shared;
};

class BoundInputStream final : public InputStream {
public:
    explicit BoundInputStream(std::shared_ptr<BoundStreamPair::Shared> shared) : m_shared(std::move(shared)) {}
    ~BoundInputStream() override;

    bool open() override;
    void close() override;
    long read(std::uint8_t* buffer, std::size_t maxLength) override;
    ReadOutcome tryRead(std::uint8_t* buffer, std::size_t maxLength) override;
    void setReadableHandler(std::function<void()> handler) override;
    Error streamError() const override;
    bool hasBytesAvailable() const;

private:
    std::shared_ptr<BoundStreamPair::Shared> m_shared;
};

class BoundOutputStream {
public:
    explicit BoundOutputStream(std::shared_ptr<BoundStreamPair::Shared> shared) : m_shared(std::move(shared)) {}
    ~BoundOutputStream();
    BoundOutputStream(const BoundOutputStream&) = delete;
    BoundOutputStream& operator=(const BoundOutputStream&) = delete;

    bool open();
    void close();
    long write(const std::uint8_t* data, std::size_t length);
    bool hasSpaceAvailable() const;
    Error streamError() const;

private:
    std::shared_ptr<BoundStreamPair::Shared> m_shared;
};

} // namespace platform
