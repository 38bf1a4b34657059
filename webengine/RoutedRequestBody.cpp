#include "webengine/RoutedRequestBody.h"

#include "platform/net/URLError.h"

#include <gio/gio.h>

#include <algorithm>
#include <cstring>

namespace webengine {

namespace {

// Runs `work` on the main thread, from an idle source of its own.
void onMain(std::function<void()> work)
{
    g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
    }, new std::function<void()>(std::move(work)), [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

} // namespace

std::shared_ptr<RoutedRequestBody> RoutedRequestBody::make(GInputStream* stream, std::string first)
{
    return std::shared_ptr<RoutedRequestBody>(new RoutedRequestBody(stream, std::move(first)));
}

std::shared_ptr<RoutedRequestBody> RoutedRequestBody::fromConnection(GInputStream* stream, std::string first, std::uint64_t length)
{
    if (first.size() > length)
        first.resize(static_cast<std::size_t>(length));
    auto body = std::shared_ptr<RoutedRequestBody>(new RoutedRequestBody(stream, std::move(first)));
    body->m_async = true;
    body->m_remaining = length - body->m_buffer.size();
    body->m_ended = body->m_remaining == 0;
    return body;
}

void RoutedRequestBody::whenReadWhole(std::function<void()> done)
{
    std::unique_lock lock(m_mutex);
    if (!m_ended) {
        m_whole = std::move(done);
        return;
    }
    lock.unlock();
    done();
}

void RoutedRequestBody::readAsync()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_closed || m_ended || !m_failure.empty() || m_buffer.size() - m_offset >= kBufferBytes) {
            m_readScheduled = false;
            return;
        }
    }
    m_step.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kStepBytes, m_remaining)));
    auto* held = new std::weak_ptr<RoutedRequestBody>(weak_from_this());
    g_input_stream_read_async(m_stream, m_step.data(), m_step.size(), G_PRIORITY_DEFAULT, nullptr,
                              [](GObject* source, GAsyncResult* result, gpointer data) {
                                  std::unique_ptr<std::weak_ptr<RoutedRequestBody>> weak(static_cast<std::weak_ptr<RoutedRequestBody>*>(data));
                                  GError* error = nullptr;
                                  const gssize n = g_input_stream_read_finish(G_INPUT_STREAM(source), result, &error);
                                  const std::string failure = error && error->message ? error->message : "the request body could not be read";
                                  g_clear_error(&error);
                                  if (auto self = weak->lock())
                                      self->tookAsync(n, failure);
                              },
                              held);
}

void RoutedRequestBody::tookAsync(long n, const std::string& failure)
{
    std::function<void()> readable;
    std::function<void()> whole;
    bool more = false;
    {
        std::lock_guard lock(m_mutex);
        if (n > 0 && !m_closed) {
            if (m_offset > 0 && m_offset >= m_buffer.size() / 2) {
                m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_offset));
                m_offset = 0;
            }
            m_buffer.insert(m_buffer.end(), m_step.begin(), m_step.begin() + n);
            m_remaining -= static_cast<std::uint64_t>(n);
            m_ended = m_remaining == 0;
            if (m_ended)
                whole = std::exchange(m_whole, nullptr);
        } else if (n == 0) {
            m_failure = "the request body ended before its length";
        } else if (n < 0) {
            m_failure = failure;
        }
        more = n > 0 && !m_ended && !m_closed && m_buffer.size() - m_offset < kBufferBytes;
        if (!more)
            m_readScheduled = false;
        readable = std::exchange(m_readable, nullptr);
        m_changed.notify_all();
    }
    if (readable)
        readable();
    if (whole)
        whole();
    if (more)
        readAsync();
}

std::shared_ptr<RoutedRequestBody> RoutedRequestBody::failed(std::string reason)
{
    auto body = std::shared_ptr<RoutedRequestBody>(new RoutedRequestBody(nullptr, {}));
    body->m_failure = std::move(reason);
    return body;
}

RoutedRequestBody::RoutedRequestBody(GInputStream* stream, std::string first)
    : m_stream(stream ? G_INPUT_STREAM(g_object_ref(stream)) : nullptr)
    , m_buffer(first.begin(), first.end())
{
}

RoutedRequestBody::~RoutedRequestBody()
{
    // The engine's stream is let go on the main thread, where it is read.
    if (GInputStream* stream = m_stream)
        onMain([stream] { g_object_unref(stream); });
}

bool RoutedRequestBody::open()
{
    std::lock_guard lock(m_mutex);
    scheduleReadLocked();
    return !m_closed;
}

void RoutedRequestBody::close()
{
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_buffer.clear();
    m_offset = 0;
    m_changed.notify_all();
}

void RoutedRequestBody::scheduleReadLocked()
{
    if (m_readScheduled || m_ended || m_closed || !m_failure.empty() || m_buffer.size() - m_offset >= kBufferBytes)
        return;
    m_readScheduled = true;
    std::weak_ptr<RoutedRequestBody> weak = weak_from_this();
    onMain([weak] {
        if (auto self = weak.lock())
            self->m_async ? self->readAsync() : self->readSteps();
    });
}

void RoutedRequestBody::readSteps()
{
    std::vector<std::uint8_t> step(kStepBytes);
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_closed || m_buffer.size() - m_offset >= kBufferBytes) {
                m_readScheduled = false;
                return;
            }
        }
        GError* error = nullptr;
        const gssize n = g_input_stream_read(m_stream, step.data(), step.size(), nullptr, &error);
        std::function<void()> readable;
        {
            std::lock_guard lock(m_mutex);
            if (n > 0) {
                if (m_offset > 0 && m_offset >= m_buffer.size() / 2) {
                    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_offset));
                    m_offset = 0;
                }
                m_buffer.insert(m_buffer.end(), step.begin(), step.begin() + n);
            } else if (n == 0) {
                m_ended = true;
            } else {
                m_failure = error && error->message ? error->message : "the page's request body could not be read";
            }
            if (n <= 0)
                m_readScheduled = false;
            readable = std::exchange(m_readable, nullptr);
            m_changed.notify_all();
        }
        g_clear_error(&error);
        if (readable)
            readable();
        if (n <= 0)
            return;
    }
}

platform::InputStream::ReadOutcome RoutedRequestBody::tryRead(std::uint8_t* buffer, std::size_t maxLength)
{
    std::lock_guard lock(m_mutex);
    if (m_closed || !m_failure.empty())
        return {ReadState::Failed, 0};
    const std::size_t available = m_buffer.size() - m_offset;
    if (available > 0) {
        const std::size_t n = std::min(available, maxLength);
        std::memcpy(buffer, m_buffer.data() + m_offset, n);
        m_offset += n;
        if (m_offset == m_buffer.size()) {
            m_buffer.clear();
            m_offset = 0;
        }
        scheduleReadLocked();
        return {ReadState::Bytes, n};
    }
    if (m_ended)
        return {ReadState::AtEnd, 0};
    scheduleReadLocked();
    return {ReadState::WouldBlock, 0};
}

long RoutedRequestBody::read(std::uint8_t* buffer, std::size_t maxLength)
{
    for (;;) {
        const ReadOutcome outcome = tryRead(buffer, maxLength);
        if (outcome.state == ReadState::Bytes)
            return static_cast<long>(outcome.count);
        if (outcome.state == ReadState::AtEnd)
            return 0;
        if (outcome.state == ReadState::Failed)
            return -1;
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_buffer.size() > m_offset || m_ended || m_closed || !m_failure.empty(); });
    }
}

void RoutedRequestBody::setReadableHandler(std::function<void()> handler)
{
    std::unique_lock lock(m_mutex);
    const bool ready = handler && (m_buffer.size() > m_offset || m_ended || m_closed || !m_failure.empty());
    if (!ready) {
        m_readable = std::move(handler);
        return;
    }
    // What the reader waits for came between its try and now: it hears at once.
    m_readable = nullptr;
    lock.unlock();
    handler();
}

platform::Error RoutedRequestBody::streamError() const
{
    std::lock_guard lock(m_mutex);
    return platform::makeURLError(platform::kURLErrorRequestBodyStreamExhausted,
                                  m_failure.empty() ? std::string("the request body stream was closed") : m_failure);
}

} // namespace webengine
