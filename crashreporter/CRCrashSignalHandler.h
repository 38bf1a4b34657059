// The signal handler chain: one process-wide handler per registered signal dispatches every caught signal
// through a chain of callbacks kept in plain process-wide memory, walked inside the handler without locks
// or allocation. The action in force before each registration is remembered, so the chain can hand the
// signal on to it; a signal no callback handles is raised again with its default action.
//
// Registrations and resetHandlers() are serialised by one mutex (normal context only). Handlers on any
// thread walk the lists at any moment, also during a registration or a reset.
#pragma once

#include "crashreporter/CRCrashReporterError.h"

#include <signal.h>

// The handle a callback gets for the rest of the chain; none when no entry follows.
struct crsh_signal_handler_callback;

// (signal, its information, the user context, the registration's context, the rest of the chain) -> the
// signal was handled.
using crsh_signal_handler_cb = bool (*)(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                        crsh_signal_handler_callback* next);

// Runs the chain from the entry after the caller's; false when next is none.
bool crsh_signal_forward(crsh_signal_handler_callback* next, int signo, siginfo_t* info, ucontext_t* uap);

// The installed handler (exposed for tests that call it as the system would).
void crsh_signal_handler(int signo, siginfo_t* info, void* uap);

class CRCrashSignalHandler {
public:
    static constexpr std::size_t kAlternateStackBytes = 65536;

    // The one instance; its alternate stack is mapped with it, between two guard pages (as every thread's
    // is). Null when that mapping failed.
    static CRCrashSignalHandler* sharedHandler();

    // Installs the handler for signo (once per signal) and puts {callback, context} at the head of the
    // chain, which every caught signal walks, whichever signal it is. The calling thread takes the shared
    // alternate stack; every thread the platform starts or runs a job or a loop turn on from then on gets
    // one of its own of the same size (platform/runloop/ThreadHooks.h), and so does every thread started through
    // pthread_create from then on, whoever starts it (this library's pthread_create comes before the C
    // library's).
    platform::Result<void> registerHandlerForSignal(int signo, crsh_signal_handler_cb callback, void* context);

    // Empties the callback chain and the previous actions; installed handlers stay installed.
    static void resetHandlers();

private:
    CRCrashSignalHandler() = default;
    platform::Result<void> registerHandlerWithSignal(int signo);

    stack_t _sigstk{};
};
