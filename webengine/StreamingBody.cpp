#include "webengine/StreamingBody.h"

#include <gio/gio.h>

#include <cstring>
#include <memory>
#include <utility>

namespace webengine {

namespace {

struct HybStreamingBody {
    GInputStream parent;
    GQueue* chunks;       // GBytes*, oldest first
    gsize offset;         // read position in the oldest chunk
    gsize buffered;       // bytes not yet read
    gboolean ended;
    GError* error;
    // A read waiting for data.
    GTask* pending;
    void* pendingBuffer;
    gsize pendingCount;
    GCancellable* pendingCancellable;
    gulong cancelHandler;
    std::function<void()>* abandoned; // see StreamingBody::setAbandonedHandler
    std::function<void(std::size_t)>* taken; // see StreamingBody::setTakenHandler
};

struct HybStreamingBodyClass {
    GInputStreamClass parentClass;
};

GType hyb_streaming_body_get_type();

G_DEFINE_TYPE(HybStreamingBody, hyb_streaming_body, G_TYPE_INPUT_STREAM)

HybStreamingBody* bodyOf(GInputStream* stream)
{
    return G_TYPE_CHECK_INSTANCE_CAST(stream, hyb_streaming_body_get_type(), HybStreamingBody);
}

// Copies up to `count` buffered bytes.
gsize take(HybStreamingBody* self, void* buffer, gsize count)
{
    gsize copied = 0;
    while (copied < count && !g_queue_is_empty(self->chunks)) {
        auto* chunk = static_cast<GBytes*>(g_queue_peek_head(self->chunks));
        gsize size = 0;
        const auto* data = static_cast<const guint8*>(g_bytes_get_data(chunk, &size));
        const gsize n = MIN(count - copied, size - self->offset);
        std::memcpy(static_cast<guint8*>(buffer) + copied, data + self->offset, n);
        copied += n;
        self->offset += n;
        if (self->offset == size) {
            g_bytes_unref(static_cast<GBytes*>(g_queue_pop_head(self->chunks)));
            self->offset = 0;
        }
    }
    self->buffered -= copied;
    if (self->taken && copied)
        (*self->taken)(copied);
    return copied;
}

// Whether a reader that stops now gives the body up: before its end, or before taking what it holds.
bool gaveUp(const HybStreamingBody* self)
{
    return (!self->ended && !self->error) || self->buffered;
}

// The reader gave the body up before its end: tells the handler, once.
void abandon(HybStreamingBody* self)
{
    if (!self->abandoned)
        return;
    std::unique_ptr<std::function<void()>> abandoned(std::exchange(self->abandoned, nullptr));
    if (*abandoned)
        (*abandoned)();
}

// Ends the waiting read, when there is something to answer it with.
void answerPending(HybStreamingBody* self)
{
    if (!self->pending)
        return;
    if (!self->buffered && !self->ended && !self->error)
        return;
    GTask* task = self->pending;
    self->pending = nullptr;
    if (self->cancelHandler) {
        g_cancellable_disconnect(self->pendingCancellable, self->cancelHandler);
        self->cancelHandler = 0;
    }
    g_clear_object(&self->pendingCancellable);
    if (self->buffered)
        g_task_return_int(task, static_cast<gssize>(take(self, self->pendingBuffer, self->pendingCount)));
    else if (self->error)
        g_task_return_error(task, g_error_copy(self->error));
    else
        g_task_return_int(task, 0);
    g_object_unref(task);
}

void onReadCancelled(GCancellable*, gpointer data)
{
    auto* self = static_cast<HybStreamingBody*>(data);
    if (!self->pending)
        return;
    GTask* task = self->pending;
    self->pending = nullptr;
    // Disconnecting from inside the handler is not allowed; the handler id is dropped instead.
    self->cancelHandler = 0;
    g_clear_object(&self->pendingCancellable);
    g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_CANCELLED, "the read was cancelled");
    g_object_unref(task);
    if (gaveUp(self))
        abandon(self);
}

gssize readSync(GInputStream* stream, void* buffer, gsize count, GCancellable*, GError** error)
{
    HybStreamingBody* self = bodyOf(stream);
    if (self->buffered)
        return static_cast<gssize>(take(self, buffer, count));
    if (self->error) {
        g_propagate_error(error, g_error_copy(self->error));
        return -1;
    }
    if (self->ended)
        return 0;
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK, "the body has not arrived yet");
    return -1;
}

void readAsync(GInputStream* stream, void* buffer, gsize count, int, GCancellable* cancellable, GAsyncReadyCallback callback,
               gpointer userData)
{
    HybStreamingBody* self = bodyOf(stream);
    GTask* task = g_task_new(stream, cancellable, callback, userData);
    if (g_task_return_error_if_cancelled(task)) {
        g_object_unref(task);
        return;
    }
    self->pending = task;
    self->pendingBuffer = buffer;
    self->pendingCount = count;
    if (cancellable) {
        self->pendingCancellable = G_CANCELLABLE(g_object_ref(cancellable));
        self->cancelHandler = g_cancellable_connect(cancellable, G_CALLBACK(onReadCancelled), self, nullptr);
    }
    answerPending(self);
}

gssize readFinish(GInputStream*, GAsyncResult* result, GError** error)
{
    return g_task_propagate_int(G_TASK(result), error);
}

gboolean closeSync(GInputStream* stream, GCancellable*, GError**)
{
    HybStreamingBody* self = bodyOf(stream);
    if (gaveUp(self))
        abandon(self);
    g_queue_clear_full(self->chunks, reinterpret_cast<GDestroyNotify>(g_bytes_unref));
    const gsize dropped = std::exchange(self->buffered, 0);
    self->offset = 0;
    self->ended = TRUE;
    if (self->taken && dropped)
        (*self->taken)(dropped);
    return TRUE;
}

void hyb_streaming_body_init(HybStreamingBody* self)
{
    self->chunks = g_queue_new();
}

void finalizeBody(GObject* object)
{
    HybStreamingBody* self = G_TYPE_CHECK_INSTANCE_CAST(object, hyb_streaming_body_get_type(), HybStreamingBody);
    g_queue_free_full(self->chunks, reinterpret_cast<GDestroyNotify>(g_bytes_unref));
    g_clear_error(&self->error);
    delete std::exchange(self->abandoned, nullptr);
    delete std::exchange(self->taken, nullptr);
    G_OBJECT_CLASS(hyb_streaming_body_parent_class)->finalize(object);
}

void hyb_streaming_body_class_init(HybStreamingBodyClass* klass)
{
    G_OBJECT_CLASS(klass)->finalize = finalizeBody;
    GInputStreamClass* streamClass = G_INPUT_STREAM_CLASS(klass);
    streamClass->read_fn = readSync;
    streamClass->read_async = readAsync;
    streamClass->read_finish = readFinish;
    streamClass->close_fn = closeSync;
}

} // namespace

GInputStream* StreamingBody::create()
{
    return G_INPUT_STREAM(g_object_new(hyb_streaming_body_get_type(), nullptr));
}

void StreamingBody::append(GInputStream* stream, const void* data, std::size_t size)
{
    HybStreamingBody* self = bodyOf(stream);
    if (self->ended || self->error || size == 0)
        return;
    g_queue_push_tail(self->chunks, g_bytes_new(data, size));
    self->buffered += size;
    answerPending(self);
}

void StreamingBody::finish(GInputStream* stream)
{
    HybStreamingBody* self = bodyOf(stream);
    if (self->error)
        return;
    self->ended = TRUE;
    answerPending(self);
}

void StreamingBody::fail(GInputStream* stream, const std::string& message)
{
    HybStreamingBody* self = bodyOf(stream);
    if (self->ended || self->error)
        return;
    self->error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED, message.c_str());
    answerPending(self);
}

std::size_t StreamingBody::bufferedSize(GInputStream* stream)
{
    return bodyOf(stream)->buffered;
}

void StreamingBody::setTakenHandler(GInputStream* stream, std::function<void(std::size_t)> taken)
{
    HybStreamingBody* self = bodyOf(stream);
    delete std::exchange(self->taken, new std::function<void(std::size_t)>(std::move(taken)));
}

void StreamingBody::setAbandonedHandler(GInputStream* stream, std::function<void()> abandoned)
{
    HybStreamingBody* self = bodyOf(stream);
    delete std::exchange(self->abandoned, new std::function<void()>(std::move(abandoned)));
}

} // namespace webengine
