#include "crashreporter/crsh_signal_names.h"

#include <cstdint>
#include <iterator>

namespace {

// Index = signal number.
constexpr const char* kSignalNames[] = {
    nullptr,   "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGEMT",
    "SIGFPE",  "SIGKILL", "SIGBUS",    "SIGSEGV", "SIGSYS",   "SIGPIPE", "SIGALRM", "SIGTERM",
    "SIGURG",  "SIGSTOP", "SIGTSTP",   "SIGCONT", "SIGCHLD",  "SIGTTIN", "SIGTTOU", "SIGIO",
    "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGINFO", "SIGUSR1", "SIGUSR2",
};

enum : int { kSigIll = 4, kSigTrap = 5, kSigAbrt = 6, kSigFpe = 8, kSigBus = 10, kSigSegv = 11 };

struct CodeNames {
    int signo;
    int firstCode;
    const char* const* names;
    int count;
};

constexpr const char* kIll[] = {"ILL_NOOP",   "ILL_ILLOPC", "ILL_ILLTRP", "ILL_PRVOPC", "ILL_ILLOPN",
                                "ILL_ILLADR", "ILL_PRVREG", "ILL_COPROC", "ILL_BADSTK"};
constexpr const char* kFpe[] = {"FPE_NOOP",   "FPE_FLTDIV", "FPE_FLTOVF", "FPE_FLTUND", "FPE_FLTRES",
                                "FPE_FLTINV", "FPE_FLTSUB", "FPE_INTDIV", "FPE_INTOVF"};
constexpr const char* kSegv[] = {"SEGV_NOOP", "SEGV_MAPERR", "SEGV_ACCERR"};
constexpr const char* kBus[] = {"BUS_NOOP", "BUS_ADRALN", "BUS_ADRERR", "BUS_OBJERR"};
constexpr const char* kTrap[] = {"TRAP_BRKPT", "TRAP_TRACE"};
constexpr const char* kAbrt[] = {"#0"};

constexpr CodeNames kCodeNames[] = {
    {kSigIll, 0, kIll, std::size(kIll)},     {kSigFpe, 0, kFpe, std::size(kFpe)},
    {kSigSegv, 0, kSegv, std::size(kSegv)},  {kSigBus, 0, kBus, std::size(kBus)},
    {kSigTrap, 1, kTrap, std::size(kTrap)},  {kSigAbrt, 0, kAbrt, std::size(kAbrt)},
};

const char* numberText(int number, char (&buffer)[CRSH_SIGNAL_NUMBER_TEXT_BYTES])
{
    char digits[11];
    std::size_t count = 0;
    // Through unsigned arithmetic so that INT_MIN has a magnitude.
    std::uint32_t magnitude = number < 0 ? 0u - static_cast<std::uint32_t>(number) : static_cast<std::uint32_t>(number);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::size_t at = 0;
    buffer[at++] = '#';
    if (number < 0)
        buffer[at++] = '-';
    while (count > 0)
        buffer[at++] = digits[--count];
    buffer[at] = '\0';
    return buffer;
}

} // namespace

const char* crsh_signal_name(int signo)
{
    if (signo < 0 || signo >= static_cast<int>(std::size(kSignalNames)))
        return nullptr;
    return kSignalNames[signo];
}

const char* crsh_signal_code_name(int signo, int code)
{
    for (const CodeNames& entry : kCodeNames) {
        if (entry.signo == signo && code >= entry.firstCode && code - entry.firstCode < entry.count)
            return entry.names[code - entry.firstCode];
    }
    return nullptr;
}

const char* crsh_signal_name_text(int signo, char (&buffer)[CRSH_SIGNAL_NUMBER_TEXT_BYTES])
{
    const char* name = crsh_signal_name(signo);
    return name != nullptr ? name : numberText(signo, buffer);
}

const char* crsh_signal_code_name_text(int signo, int code, char (&buffer)[CRSH_SIGNAL_NUMBER_TEXT_BYTES])
{
    const char* name = crsh_signal_code_name(signo, code);
    return name != nullptr ? name : numberText(code, buffer);
}
