// Hand-overs between threads through GLib, made visible to ThreadSanitizer.
//
// GLib orders what one thread hands to another through a main context (g_idle_add_full, g_source_attach
// then the context's own iteration) with its context lock, which is futex-based and not instrumented:
// ThreadSanitizer sees the two sides unordered and reports a race that cannot happen. The sending side
// calls handOverSent(object) after its last write, before the GLib call; the receiving side calls
// handOverReceived(object) before its first read. Both do nothing outside ThreadSanitizer builds.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define HYB_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HYB_THREAD_SANITIZER 1
#endif
#endif

#ifdef HYB_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace platform {

inline void handOverSent([[maybe_unused]] void* object) {
#ifdef HYB_THREAD_SANITIZER
    __tsan_release(object);
#endif
}

inline void handOverReceived([[maybe_unused]] void* object) {
#ifdef HYB_THREAD_SANITIZER
    __tsan_acquire(object);
#endif
}

} // namespace platform
