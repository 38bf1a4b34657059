#include "crashreporter/CRCrashSignalHandler.h"

#include "crashreporter/crsh_safe_list.h"
#include "platform/runloop/ThreadHooks.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>

namespace {

struct CallbackEntry {
    crsh_signal_handler_cb callback;
    void* context;
    CallbackEntry* retiredNext;
};

struct PreviousAction {
    int signo;
    struct sigaction action;
    PreviousAction* retiredNext;
};

using CallbackList = crsh_safe_list<CallbackEntry*>;
using PreviousActionList = crsh_safe_list<PreviousAction*>;

// Process-wide, made at program start and never destroyed: a thread may crash while the process runs its
// exit handlers, and its handler then still walks them. The records the lists point to are never freed
// either (a handler may still hold one after a reset unlinked it; reset keeps them on retired chains,
// owned by the mutex), and stay reachable through the lists.
CallbackList& g_callbacks = *new CallbackList;
PreviousActionList& g_previousActions = *new PreviousActionList;
std::mutex g_registrationMutex;
CallbackEntry* g_retiredCallbacks = nullptr;
PreviousAction* g_retiredActions = nullptr;

// Raises the list's reader count for as long as it lives.
template <typename List>
class Reading {
public:
    explicit Reading(List& list) : m_list(list) { m_list.setReading(true); }
    ~Reading() { m_list.setReading(false); }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

private:
    List& m_list;
};

bool runFrom(const CallbackList::Node* node, int signo, siginfo_t* info, ucontext_t* uap);

// The alternate stack this thread was given by the platform-thread hooks (none: it has none of ours).
thread_local void* t_threadStack = nullptr;

// Every alternate stack of ours is a mapping (never heap memory): a guard page, the stack, a guard page.
// A handler that overruns the stack faults at once instead of writing over what lies beside it.
std::size_t signalStackMappingBytes()
{
    return 2 * static_cast<std::size_t>(getpagesize()) + CRCrashSignalHandler::kAlternateStackBytes;
}

void* mapSignalStack()
{
    const std::size_t guard = static_cast<std::size_t>(getpagesize());
    void* mapping = mmap(nullptr, signalStackMappingBytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    auto* bytes = static_cast<char*>(mapping);
    if (mprotect(bytes, guard, PROT_NONE) != 0 ||
        mprotect(bytes + guard + CRCrashSignalHandler::kAlternateStackBytes, guard, PROT_NONE) != 0) {
        munmap(mapping, signalStackMappingBytes());
        return nullptr;
    }
    return mapping;
}

stack_t signalStackOf(void* mapping)
{
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(mapping) + getpagesize();
    stack.ss_size = CRCrashSignalHandler::kAlternateStackBytes;
    stack.ss_flags = 0;
    return stack;
}

// A thread the platform started: an alternate stack of its own, unless it has one already (the
// sanitizers give threads theirs).
void giveThreadAlternateStack()
{
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0)
        return;
    void* mapping = mapSignalStack();
    if (mapping == nullptr)
        return;
    const stack_t stack = signalStackOf(mapping);
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(mapping, signalStackMappingBytes());
        return;
    }
    t_threadStack = mapping;
}

void takeThreadAlternateStack()
{
    if (t_threadStack == nullptr)
        return;
    stack_t disable{};
    disable.ss_flags = SS_DISABLE;
    if (sigaltstack(&disable, nullptr) == 0)
        munmap(t_threadStack, signalStackMappingBytes());
    t_threadStack = nullptr;
}

// Set once the handler is registered: from then on every thread started through pthread_create gets an
// alternate stack of its own, so that its stack overflowing is reported too.
std::atomic<bool> g_everyThreadGetsAStack{false};

// Takes the thread's alternate stack down when the thread ends.
struct ThreadStackRelease {
    ~ThreadStackRelease() { takeThreadAlternateStack(); }
};

// A thread's start routine and argument, while it starts.
struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

void* startWithAlternateStack(void* opaque)
{
    const ThreadStart start = *static_cast<ThreadStart*>(opaque);
    delete static_cast<ThreadStart*>(opaque);
    giveThreadAlternateStack();
    static thread_local ThreadStackRelease release;
    (void)&release;
    return start.routine(start.argument);
}

platform::Error posixError(const char* description, int errnoValue)
{
    return crsh_reporter_posix_error(CRCrashReporterErrorOperatingSystem, description, errnoValue);
}

// The tail entries: the rest of the chain first, then the action that was in force before registration.
bool previousActionCallback(int signo, siginfo_t* info, ucontext_t* uap, void*, crsh_signal_handler_callback* next)
{
    if (next != nullptr && crsh_signal_forward(next, signo, info, uap))
        return true;
    struct sigaction previous;
    bool found = false;
    {
        Reading<PreviousActionList> reading(g_previousActions);
        for (auto* node = g_previousActions.head(); node != nullptr; node = PreviousActionList::next(node)) {
            const PreviousAction* entry = PreviousActionList::value(node);
            if (entry->signo == signo) {
                previous = entry->action;
                found = true;
                break;
            }
        }
    }
    if (!found)
        return false;
    // The ignore and default actions are told apart first: an action may carry SA_SIGINFO with either,
    // and neither is a function to call.
    if (previous.sa_handler == SIG_IGN)
        return true;
    if (previous.sa_handler == SIG_DFL)
        return false;
    if ((previous.sa_flags & SA_SIGINFO) != 0)
        previous.sa_sigaction(signo, info, uap);
    else
        previous.sa_handler(signo);
    return true;
}

} // namespace

struct crsh_signal_handler_callback {
    const CallbackList::Node* node;
};

namespace {

bool runFrom(const CallbackList::Node* node, int signo, siginfo_t* info, ucontext_t* uap)
{
    if (node == nullptr)
        return false;
    const CallbackEntry* entry = CallbackList::value(node);
    crsh_signal_handler_callback next{CallbackList::next(node)};
    return entry->callback(signo, info, uap, entry->context, next.node != nullptr ? &next : nullptr);
}

} // namespace

bool crsh_signal_forward(crsh_signal_handler_callback* next, int signo, siginfo_t* info, ucontext_t* uap)
{
    if (next == nullptr)
        return false;
    return runFrom(next->node, signo, info, uap);
}

void crsh_signal_handler(int signo, siginfo_t* info, void* uap)
{
    bool handled;
    {
        Reading<CallbackList> reading(g_callbacks);
        handled = runFrom(g_callbacks.head(), signo, info, static_cast<ucontext_t*>(uap));
    }
    if (handled)
        return;
    // Nothing handled it: end with the system's default behaviour. The action is reset first, or the
    // raised signal would come back to this handler for ever.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, nullptr);
    raise(signo);
}

// Every thread the process starts, through this function, the threads that libraries and the application
// start themselves included (std::thread and GLib's threads start here). Before the handler is registered
// it only hands over; after, the new thread gives itself an alternate stack first (as the platform's
// threads do through their hooks). The definition is weak: a sanitizer whose runtime is linked into the
// program defines its thread start weakly as well and, linked first, keeps it (a strong definition here
// would displace it, and the sanitizer would not know the program's threads); this one is then not called,
// and the sanitizer gives each thread an alternate stack of its own. At run time a weak definition in the
// program or in this library comes before the C library's all the same.
extern "C" __attribute__((weak, visibility("default"))) int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                                                    void* (*routine)(void*), void* argument)
{
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Create next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (next == nullptr)
        return EAGAIN;
    if (!g_everyThreadGetsAStack.load(std::memory_order_acquire))
        return next(thread, attributes, routine, argument);
    auto* start = new (std::nothrow) ThreadStart{routine, argument};
    if (start == nullptr)
        return EAGAIN;
    const int result = next(thread, attributes, startWithAlternateStack, start);
    if (result != 0)
        delete start;
    return result;
}

CRCrashSignalHandler* CRCrashSignalHandler::sharedHandler()
{
    static CRCrashSignalHandler* shared = [] {
        void* mapping = mapSignalStack();
        if (mapping == nullptr)
            return static_cast<CRCrashSignalHandler*>(nullptr);
        auto* handler = new CRCrashSignalHandler();
        handler->_sigstk = signalStackOf(mapping);
        return handler;
    }();
    return shared;
}

platform::Result<void> CRCrashSignalHandler::registerHandlerForSignal(int signo, crsh_signal_handler_cb callback,
                                                                       void* context)
{
    platform::Result<void> registered = registerHandlerWithSignal(signo);
    if (!registered)
        return registered;
    std::lock_guard<std::mutex> lock(g_registrationMutex);
    auto* entry = new CallbackEntry{callback, context, nullptr};
    if (!g_callbacks.prepend(entry)) {
        delete entry;
        return posixError("Failed to register signal handler", ENOMEM);
    }
    return {};
}

platform::Result<void> CRCrashSignalHandler::registerHandlerWithSignal(int signo)
{
    std::lock_guard<std::mutex> lock(g_registrationMutex);
    // This alternate stack belongs to the thread that registers; the threads the platform starts, and every
    // thread started from now on, get their own (a stack overflow there is reported too). A crash on a
    // thread started before, by other code, runs the handler on the thread's own stack.
    if (sigaltstack(&_sigstk, nullptr) != 0)
        return posixError("Could not initialize alternative signal stack", errno);
    platform::ThreadHooks hooks;
    hooks.started = giveThreadAlternateStack;
    hooks.finished = takeThreadAlternateStack;
    (void)platform::installThreadHooks(hooks); // once: later registrations find them installed
    g_everyThreadGetsAStack.store(true, std::memory_order_release);

    g_callbacks.append(new CallbackEntry{previousActionCallback, nullptr, nullptr});

    {
        Reading<PreviousActionList> reading(g_previousActions);
        for (auto* node = g_previousActions.head(); node != nullptr; node = PreviousActionList::next(node)) {
            if (PreviousActionList::value(node)->signo == signo)
                return {};
        }
    }

    struct sigaction action = {};
    action.sa_sigaction = crsh_signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    auto* previous = new PreviousAction{signo, {}, nullptr};
    if (sigaction(signo, &action, &previous->action) != 0) {
        int error = errno;
        delete previous;
        return posixError("Failed to register signal handler", error);
    }
    g_previousActions.append(previous);
    return {};
}

namespace {

// Unlinks every entry of the list onto the retired chain. Announced as a reader while unlinking, so
// every unlinked node goes to the list's free list.
template <typename List, typename Record>
void retireAll(List& list, Record** retired)
{
    Reading<List> reading(list);
    while (auto* node = list.head()) {
        Record* entry = List::value(node);
        list.remove(node);
        entry->retiredNext = *retired;
        *retired = entry;
    }
}

} // namespace

void CRCrashSignalHandler::resetHandlers()
{
    std::lock_guard<std::mutex> lock(g_registrationMutex);
    retireAll(g_previousActions, &g_retiredActions);
    retireAll(g_callbacks, &g_retiredCallbacks);
}
