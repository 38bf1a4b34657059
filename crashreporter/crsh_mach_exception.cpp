#include "crashreporter/crsh_mach_exception.h"

namespace {

// The report's signal numbers and codes (see crsh_signal_names.h).
enum : int {
    kSigIll = 4,
    kSigTrap = 5,
    kSigAbrt = 6,
    kSigEmt = 7,
    kSigFpe = 8,
    kSigKill = 9,
    kSigBus = 10,
    kSigSegv = 11,
    kSigSys = 12,
    kSigPipe = 13,
};
enum : int { kSegvMapErr = 1, kBusAdrErr = 2, kTrapBrkpt = 1 };

} // namespace

bool crsh_mach_exception_get_siginfo(std::uint32_t exception_type, const std::uint64_t* codes, std::size_t code_count,
                                     crsh_mach_siginfo* siginfo)
{
    if (code_count < 2)
        return false;
    int signo;
    int code = 0;
    switch (exception_type) {
    case CRSH_EXC_BAD_ACCESS:
        if (codes[0] == CRSH_KERN_INVALID_ADDRESS_CODE) {
            signo = kSigSegv;
            code = kSegvMapErr;
        } else {
            signo = kSigBus;
            code = kBusAdrErr;
        }
        break;
    case CRSH_EXC_BAD_INSTRUCTION:
        signo = kSigIll;
        break;
    case CRSH_EXC_ARITHMETIC:
        signo = kSigFpe;
        break;
    case CRSH_EXC_EMULATION:
        signo = kSigEmt;
        break;
    case CRSH_EXC_SOFTWARE:
        switch (codes[0]) {
        case CRSH_EXC_UNIX_BAD_SYSCALL:
            signo = kSigSys;
            break;
        case CRSH_EXC_UNIX_BAD_PIPE:
            signo = kSigPipe;
            break;
        case CRSH_EXC_SOFT_SIGNAL:
            signo = kSigKill;
            break;
        default:
            signo = kSigAbrt;
            break;
        }
        break;
    case CRSH_EXC_BREAKPOINT:
        signo = kSigTrap;
        code = kTrapBrkpt;
        break;
    default:
        return false;
    }
    siginfo->signo = signo;
    siginfo->code = code;
    siginfo->address = codes[1];
    return true;
}

crsh_kern_return_t crsh_mach_exception_forward_port(const crsh_exception_port_set* port_set,
                                                    std::uint32_t exception_type, std::size_t* index)
{
    // A type beyond the mask's width has no bit, so no port can take it.
    if (exception_type >= 32)
        return CRSH_KERN_FAILURE;
    const std::uint32_t bit = 1u << exception_type;
    const std::size_t count = port_set->count < CRSH_EXC_TYPES_COUNT ? port_set->count : CRSH_EXC_TYPES_COUNT;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t port = port_set->ports[i];
        if (port == CRSH_MACH_PORT_NULL || port == CRSH_MACH_PORT_DEAD || (port_set->masks[i] & bit) == 0)
            continue;
        switch (port_set->behaviors[i]) {
        case CRSH_EXCEPTION_DEFAULT:
        case CRSH_EXCEPTION_STATE:
        case CRSH_EXCEPTION_STATE_IDENTITY:
            *index = i;
            return CRSH_KERN_SUCCESS;
        default:
            return CRSH_KERN_FAILURE; // 64-bit codes, or a kind this forwarding cannot deliver
        }
    }
    return CRSH_KERN_FAILURE;
}
