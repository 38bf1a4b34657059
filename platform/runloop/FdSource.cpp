#include "platform/runloop/FdSource.h"

#include "platform/runloop/RunLoop.h"

#include <glib.h>

namespace platform {
namespace {

struct FdGSource {
    GSource base;
    int fd;
    gpointer tag;
    bool readEnabled;
    bool writeEnabled;
    bool invalid;
    // Released in finalize, which GLib runs only after a running dispatch has returned: a callback may
    // destroy its own source.
    FdSource::Callback* onReadable;
    FdSource::Callback* onWritable;
};

FdGSource* state(GSource* s) {
    return reinterpret_cast<FdGSource*>(s);
}

void applyMask(FdGSource* s) {
    GIOCondition mask = static_cast<GIOCondition>((s->readEnabled ? G_IO_IN : 0) | (s->writeEnabled ? G_IO_OUT : 0));
    // poll() reports hang-ups even for an empty mask; a fully disabled source leaves the poll set, or a
    // hung-up descriptor would wake the loop for ever.
    if (s->invalid || mask == 0) {
        if (s->tag) {
            g_source_remove_unix_fd(&s->base, s->tag);
            s->tag = nullptr;
        }
        return;
    }
    if (s->tag)
        g_source_modify_unix_fd(&s->base, s->tag, mask);
    else
        s->tag = g_source_add_unix_fd(&s->base, s->fd, mask);
}

gboolean fdDispatch(GSource* source, GSourceFunc, gpointer) {
    FdGSource* s = state(source);
    if (s->invalid || !s->tag)
        return G_SOURCE_CONTINUE;
    const GIOCondition events = g_source_query_unix_fd(source, s->tag);
    const bool failed = events & (G_IO_HUP | G_IO_ERR | G_IO_NVAL);
    if (s->readEnabled && ((events & G_IO_IN) || failed) && *s->onReadable) {
        (*s->onReadable)(); // read stays enabled unless the callout disabled it
        if (s->invalid)
            return G_SOURCE_CONTINUE;
    }
    if (s->writeEnabled && ((events & G_IO_OUT) || failed) && *s->onWritable) {
        s->writeEnabled = false; // one call per enable
        applyMask(s);
        (*s->onWritable)();
    }
    return G_SOURCE_CONTINUE;
}

void fdFinalize(GSource* source) {
    FdGSource* s = state(source);
    delete s->onReadable;
    delete s->onWritable;
}

GSourceFuncs g_fdFuncs = {nullptr, nullptr, fdDispatch, fdFinalize, nullptr, nullptr};

} // namespace

FdSource::FdSource(RunLoop& loop, int fd, Callback onReadable, Callback onWritable) {
    m_source = g_source_new(&g_fdFuncs, sizeof(FdGSource));
    FdGSource* s = state(m_source);
    s->fd = fd;
    s->tag = nullptr;
    s->readEnabled = static_cast<bool>(onReadable);
    s->writeEnabled = static_cast<bool>(onWritable);
    s->invalid = false;
    s->onReadable = new Callback(std::move(onReadable));
    s->onWritable = new Callback(std::move(onWritable));
    g_source_set_name(m_source, "platform fd source");
    applyMask(s);
    g_source_attach(m_source, loop.context());
}

FdSource::~FdSource() {
    invalidate();
    g_source_unref(m_source);
}

int FdSource::fd() const {
    return state(m_source)->fd;
}

bool FdSource::isValid() const {
    return !state(m_source)->invalid;
}

void FdSource::invalidate() {
    FdGSource* s = state(m_source);
    if (s->invalid)
        return;
    s->invalid = true;
    applyMask(s);
    g_source_destroy(m_source);
}

void FdSource::setReadEnabled(bool enabled) {
    FdGSource* s = state(m_source);
    if (s->invalid || s->readEnabled == enabled)
        return;
    s->readEnabled = enabled;
    applyMask(s);
}

void FdSource::setWriteEnabled(bool enabled) {
    FdGSource* s = state(m_source);
    if (s->invalid || s->writeEnabled == enabled)
        return;
    s->writeEnabled = enabled;
    applyMask(s);
}

bool FdSource::isReadEnabled() const {
    return state(m_source)->readEnabled && isValid();
}

bool FdSource::isWriteEnabled() const {
    return state(m_source)->writeEnabled && isValid();
}

} // namespace platform
