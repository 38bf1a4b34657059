#include "crashreporter/crsh_signal_names.h"

#include <csignal>
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

namespace {

struct HostSignal {
    int host;
    int report;
};

constexpr HostSignal kHostSignals[] = {
    {SIGHUP, 1},     {SIGINT, 2},     {SIGQUIT, 3},    {SIGILL, kSigIll}, {SIGTRAP, kSigTrap}, {SIGABRT, kSigAbrt},
    {SIGFPE, kSigFpe}, {SIGKILL, 9},  {SIGBUS, kSigBus}, {SIGSEGV, kSigSegv}, {SIGSYS, 12},     {SIGPIPE, 13},
    {SIGALRM, 14},   {SIGTERM, 15},   {SIGURG, 16},    {SIGSTOP, 17},     {SIGTSTP, 18},       {SIGCONT, 19},
    {SIGCHLD, 20},   {SIGTTIN, 21},   {SIGTTOU, 22},   {SIGIO, 23},       {SIGXCPU, 24},       {SIGXFSZ, 25},
    {SIGVTALRM, 26}, {SIGPROF, 27},   {SIGWINCH, 28},  {SIGUSR1, 30},     {SIGUSR2, 31},
};

// Host codes 1 to 8 of SIGILL and SIGFPE, by meaning.
constexpr int kHostIllCodes[] = {0, 1 /*ILLOPC*/, 4 /*ILLOPN*/, 5 /*ILLADR*/, 2 /*ILLTRP*/, 3 /*PRVOPC*/,
                                 6 /*PRVREG*/, 7 /*COPROC*/, 8 /*BADSTK*/};
constexpr int kHostFpeCodes[] = {0, 7 /*INTDIV*/, 8 /*INTOVF*/, 1 /*FLTDIV*/, 2 /*FLTOVF*/, 3 /*FLTUND*/,
                                 4 /*FLTRES*/, 5 /*FLTINV*/, 6 /*FLTSUB*/};
static_assert(ILL_ILLOPN == 2 && ILL_BADSTK == 8 && FPE_INTDIV == 1 && FPE_FLTSUB == 8,
              "the tables follow this host's code numbers");

} // namespace

bool crsh_signal_from_host(int host_signo, int host_code, int* signo, int* code)
{
    *code = host_code;
    for (const HostSignal& entry : kHostSignals) {
        if (entry.host != host_signo)
            continue;
        *signo = entry.report;
        if (host_code > 0 && host_code < static_cast<int>(std::size(kHostIllCodes))) {
            if (host_signo == SIGILL)
                *code = kHostIllCodes[host_code];
            else if (host_signo == SIGFPE)
                *code = kHostFpeCodes[host_code];
        }
        return true;
    }
    *signo = host_signo;
    return false;
}
