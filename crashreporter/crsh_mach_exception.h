// What the crash reporter's exception server does with an exception that needs no Mach port: translating
// it into the signal it will become, and choosing which of the ports in force before the reporter's own
// it would be forwarded to.
//
// Linux has no exception ports, exception messages or exception server threads, so the server itself and
// the raise calls of the forwarding do not exist here. These two plain functions work on plain numbers and
// on the port set's plain form (CRCrashHostInfo.h).
#pragma once

#include "crashreporter/CRCrashHostInfo.h"
#include "crashreporter/crsh_async.h"

#include <cstddef>
#include <cstdint>

// Exception types.
enum : std::uint32_t {
    CRSH_EXC_BAD_ACCESS = 1,
    CRSH_EXC_BAD_INSTRUCTION = 2,
    CRSH_EXC_ARITHMETIC = 3,
    CRSH_EXC_EMULATION = 4,
    CRSH_EXC_SOFTWARE = 5,
    CRSH_EXC_BREAKPOINT = 6,
    CRSH_EXC_GUARD = 12,
};

// First codes of note: a bad access to an unmapped address; the software exceptions that stand for a
// bad system call, a broken pipe and a kill.
enum : std::uint64_t {
    CRSH_KERN_INVALID_ADDRESS_CODE = 1,
    CRSH_EXC_UNIX_BAD_SYSCALL = 0x10000,
    CRSH_EXC_UNIX_BAD_PIPE = 0x10001,
    CRSH_EXC_UNIX_ABORT = 0x10002,
    CRSH_EXC_SOFT_SIGNAL = 0x10003,
};

// Exception behaviours of a port: how the exception is delivered to it.
enum : std::uint32_t {
    CRSH_EXCEPTION_DEFAULT = 1,
    CRSH_EXCEPTION_STATE = 2,
    CRSH_EXCEPTION_STATE_IDENTITY = 3,
    CRSH_MACH_EXCEPTION_CODES = 0x80000000, // flag: the port takes 64-bit codes
};

// The null and the dead port.
enum : std::uint32_t { CRSH_MACH_PORT_NULL = 0, CRSH_MACH_PORT_DEAD = 0xFFFFFFFF };

// The signal an exception becomes. The numbers are the report's own (crsh_signal_names.h), those of the
// platform exceptions come from: SIGBUS is 10, SIGEMT 7, SIGSYS 12.
struct crsh_mach_siginfo {
    int signo;
    int code;
    std::uint64_t address; // always the exception's second code
};

// The signal for an exception of this type with these codes; false (nothing written) when there is no
// mapping: fewer than two codes, or a type without a signal (guard exceptions included).
bool crsh_mach_exception_get_siginfo(std::uint32_t exception_type, const std::uint64_t* codes, std::size_t code_count,
                                     crsh_mach_siginfo* siginfo);

// The earlier port an exception of this type would be forwarded to: the first entry of the set whose port
// is valid (neither null nor dead) and whose mask holds the type's bit. CRSH_KERN_FAILURE when there is
// none, and also when that entry's behaviour asks for 64-bit codes or is of an unknown kind: such a port
// is not forwarded to. On success *index is the entry's position in the set.
crsh_kern_return_t crsh_mach_exception_forward_port(const crsh_exception_port_set* port_set,
                                                    std::uint32_t exception_type, std::size_t* index);
