// The body of a routed request (a page's POST or PUT) as a stream the transport sends as it reads, at any
// size: the engine's body stream is read on the main thread, in steps, into a buffer of a fixed size that the
// URL-loading thread drains; the load never holds the whole body a second time.
//
// Guarantees: made on the main thread; the platform::InputStream calls come from any thread (the transport's).
// The engine's stream is read on the main thread only, and let go there. A read error of the engine's stream
// is the stream's failure (the load fails; no cut body is sent as if whole). What is buffered at any time is
// at most kBufferBytes and one step.
#pragma once

#include "platform/files/InputStream.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _GInputStream GInputStream;

namespace webengine {

class RoutedRequestBody final : public platform::InputStream, public std::enable_shared_from_this<RoutedRequestBody> {
public:
    static constexpr std::size_t kBufferBytes = 1024 * 1024;
    static constexpr std::size_t kStepBytes = 64 * 1024;

    // Reads on from `stream` (its own reference) after the `first` bytes, which were read from it already.
    static std::shared_ptr<RoutedRequestBody> make(GInputStream* stream, std::string first);
    // The body of a request that came over a connection (the loopback route's): exactly `length` bytes, the
    // `first` of them read with the head already, the rest read from `stream` without blocking; a stream that
    // ends or fails before them fails the body.
    static std::shared_ptr<RoutedRequestBody> fromConnection(GInputStream* stream, std::string first, std::uint64_t length);
    // Runs once the body was read whole (on the main thread), or at once if it was.
    void whenReadWhole(std::function<void()> done);
    // A body that fails when read, with that reason.
    static std::shared_ptr<RoutedRequestBody> failed(std::string reason);
    ~RoutedRequestBody() override;
    RoutedRequestBody(const RoutedRequestBody&) = delete;
    RoutedRequestBody& operator=(const RoutedRequestBody&) = delete;

    bool open() override;
    void close() override;
    long read(std::uint8_t* buffer, std::size_t maxLength) override;
    ReadOutcome tryRead(std::uint8_t* buffer, std::size_t maxLength) override;
    void setReadableHandler(std::function<void()> handler) override;
    platform::Error streamError() const override;

private:
    RoutedRequestBody(GInputStream* stream, std::string first);
    // Asks the main thread to read more, unless it is asked already, the buffer is full or the body ended.
    void scheduleReadLocked();
    // Main thread: reads steps until the buffer is full, the stream would wait or it ended.
    void readSteps();
    // Main thread, for a body of a connection: one read without blocking, and the next once it came.
    void readAsync();
    void tookAsync(long n, const std::string& failure);

    GInputStream* m_stream; // null for a body that failed before
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::uint8_t> m_buffer; // read from m_offset on
    std::size_t m_offset = 0;
    bool m_ended = false;
    bool m_closed = false;
    bool m_readScheduled = false;
    std::string m_failure;
    // A body of a connection: the bytes still to read from its stream, and who waits for its end.
    bool m_async = false;
    std::uint64_t m_remaining = 0;
    std::vector<std::uint8_t> m_step;
    std::function<void()> m_whole;
    std::function<void()> m_readable;
};

} // namespace webengine
