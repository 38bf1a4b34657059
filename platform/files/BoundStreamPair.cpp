#include "platform/files/BoundStreamPair.h"

#include <algorithm>
#include <cerrno>

namespace platform {

struct BoundStreamPair::Shared {
    explicit Shared(std::size_t capacity) : buffer(std::max<std::size_t>(capacity, 1)) {}

    std::size_t copyOut(std::uint8_t* out, std::size_t max) {
        std::size_t n = std::min(max, size);
        for (std::size_t i = 0; i < n; ++i)
            out[i] = buffer[(head + i) % buffer.size()];
        head = (head + n) % buffer.size();
        size -= n;
        return n;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::uint8_t> buffer;
    std::size_t head = 0;
    std::size_t size = 0;
    bool readerOpen = false;
    bool readerClosed = false;
    bool writerOpen = false;
    bool writerClosed = false;
    std::function<void()> readable;
};

std::pair<std::shared_ptr<BoundInputStream>, std::shared_ptr<BoundOutputStream>> BoundStreamPair::make(std::size_t bufferSize) {
    auto shared = std::make_shared<Shared>(bufferSize);
    return {std::make_shared<BoundInputStream>(shared), std::make_shared<BoundOutputStream>(shared)};
}

// Reading end.

BoundInputStream::~BoundInputStream() { close(); }

bool BoundInputStream::open() {
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->readerClosed)
        return false;
    m_shared->readerOpen = true;
    return true;
}

void BoundInputStream::close() {
    std::lock_guard lock(m_shared->mutex);
    m_shared->readerClosed = true;
    m_shared->readable = nullptr;
    m_shared->changed.notify_all();
}

long BoundInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
    std::unique_lock lock(m_shared->mutex);
    BoundStreamPair::Shared& s = *m_shared;
    if (!s.readerOpen || s.readerClosed)
        return -1;
    s.changed.wait(lock, [&] { return s.size > 0 || s.writerClosed || s.readerClosed; });
    if (s.readerClosed)
        return -1;
    std::size_t n = s.copyOut(buffer, maxLength);
    s.changed.notify_all();
    return static_cast<long>(n);
}

InputStream::ReadOutcome BoundInputStream::tryRead(std::uint8_t* buffer, std::size_t maxLength) {
    std::lock_guard lock(m_shared->mutex);
    BoundStreamPair::Shared& s = *m_shared;
    if (!s.readerOpen || s.readerClosed)
        return {ReadState::Failed};
    if (s.size > 0) {
        std::size_t n = s.copyOut(buffer, maxLength);
        s.changed.notify_all();
        return {ReadState::Bytes, n};
    }
    if (s.writerClosed)
        return {ReadState::AtEnd};
    return {ReadState::WouldBlock};
}

void BoundInputStream::setReadableHandler(std::function<void()> handler) {
    std::function<void()> callNow;
    {
        std::lock_guard lock(m_shared->mutex);
        BoundStreamPair::Shared& s = *m_shared;
        if (handler && (s.size > 0 || s.writerClosed))
            callNow = std::move(handler);
        else
            s.readable = std::move(handler);
    }
    if (callNow)
        callNow();
}

Error BoundInputStream::streamError() const {
    return Error(kPOSIXErrorDomain, 0);
}

bool BoundInputStream::hasBytesAvailable() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->size > 0 || !m_shared->writerClosed;
}

// Writing end.

BoundOutputStream::~BoundOutputStream() { close(); }

bool BoundOutputStream::open() {
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->writerClosed)
        return false;
    m_shared->writerOpen = true;
    return true;
}

void BoundOutputStream::close() {
    std::function<void()> readable;
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->writerClosed)
            return;
        m_shared->writerClosed = true;
        readable = std::move(m_shared->readable);
        m_shared->readable = nullptr;
        m_shared->changed.notify_all();
    }
    if (readable)
        readable();
}

long BoundOutputStream::write(const std::uint8_t* data, std::size_t length) {
    std::function<void()> readable;
    long written = 0;
    {
        std::unique_lock lock(m_shared->mutex);
        BoundStreamPair::Shared& s = *m_shared;
        if (!s.writerOpen || s.writerClosed || s.readerClosed)
            return -1;
        if (length == 0)
            return 0;
        s.changed.wait(lock, [&] { return s.size < s.buffer.size() || s.readerClosed; });
        if (s.readerClosed)
            return -1;
        std::size_t n = std::min(length, s.buffer.size() - s.size);
        for (std::size_t i = 0; i < n; ++i)
            s.buffer[(s.head + s.size + i) % s.buffer.size()] = data[i];
        s.size += n;
        written = static_cast<long>(n);
        readable = std::move(s.readable);
        s.readable = nullptr;
        s.changed.notify_all();
    }
    if (readable)
        readable();
    return written;
}

bool BoundOutputStream::hasSpaceAvailable() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->size < m_shared->buffer.size() && !m_shared->readerClosed;
}

Error BoundOutputStream::streamError() const {
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->readerClosed)
        return Error(kPOSIXErrorDomain, EPIPE, "the reading end of the stream pair is closed");
    return Error(kPOSIXErrorDomain, 0);
}

} // namespace platform
