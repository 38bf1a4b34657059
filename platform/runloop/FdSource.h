// A file descriptor watched by a run loop: a read callback and a write callback, each separately
// enabled or disabled.
//
// Guarantees:
// - Thread: made, changed and destroyed on the thread of its run loop; callbacks run there.
// - Read stays enabled after its callout (it re-arms itself) unless the callout disables it; write is
//   disabled when its callout starts and stays so until enabled again (one call per enable).
// - Hang-up and error conditions are reported to the enabled callbacks (read first, then write), so a
//   non-blocking connect's outcome shows up as "writable" (read SO_ERROR there).
// - A source in its callout is not re-entered by a nested turn of the run loop.
// - Destroying the source (also from inside its own callback) stops all callbacks at once. The source
//   never closes the descriptor; its owner does.
#pragma once

#include <functional>

typedef struct _GSource GSource;

namespace platform {

class RunLoop;

class FdSource {
public:
    using Callback = std::function<void()>;

    ~FdSource();
    FdSource(const FdSource&) = delete;
    FdSource& operator=(const FdSource&) = delete;

    int fd() const;
    bool isValid() const;
    // Stops all callbacks for good (the destructor does the same).
    void invalidate();

    void setReadEnabled(bool enabled);
    void setWriteEnabled(bool enabled);
    bool isReadEnabled() const;
    bool isWriteEnabled() const;

private:
    friend class RunLoop;
    FdSource(RunLoop& loop, int fd, Callback onReadable, Callback onWritable);

    GSource* m_source = nullptr;
};

} // namespace platform
