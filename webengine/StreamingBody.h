// The body of a routed answer as it arrives: a GInputStream that the engine hands to WebKit with the
// response and fills chunk by chunk, so a page sees large or slow bodies progressively and the process
// never holds a whole body: the writer hears what the reader took (setTakenHandler) and writes no faster.
//
// Guarantees: main thread only (WebKit reads it there, asynchronously). Reads answer with what is buffered;
// a read that finds nothing waits until data, the end or a failure arrives (a synchronous read answers
// "would block" instead of waiting). Data appended after finish() or fail() is dropped.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

typedef struct _GInputStream GInputStream;

namespace webengine {

class StreamingBody {
public:
    // A new, empty stream (the caller owns the reference).
    static GInputStream* create();
    static void append(GInputStream* stream, const void* data, std::size_t size);
    // The end of the body: readers get 0 once the buffer is drained.
    static void finish(GInputStream* stream);
    // The body broke off: readers get an error once the buffer is drained.
    static void fail(GInputStream* stream, const std::string& message);
    // Bytes buffered and not yet read.
    static std::size_t bufferedSize(GInputStream* stream);
    // Runs `abandoned` (once, inside the reader's call) when the reader gives the body up before its end, or
    // before it took what the stream holds after the end: it
    // cancels its waiting read (the engine does when the page or frame that asked goes, and when it keeps the
    // answer from the page, a cross-origin one its headers do not allow) or closes the stream. The handler
    // must not drop the stream's last reference.
    static void setAbandonedHandler(GInputStream* stream, std::function<void()> abandoned);
    // Runs `taken` with the count of bytes each time the reader takes some (inside its call), and with what
    // was still buffered when the reader closes the stream.
    static void setTakenHandler(GInputStream* stream, std::function<void(std::size_t)> taken);
};

} // namespace webengine
