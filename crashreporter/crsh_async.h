// Routines that are safe inside a crash handler: checked reads of the task's memory, byte-order
// conversion for images of either byte order, and string and memory loops that call nothing.
//
// The "task" is a process, named by its pid; the crash reporter reads its own process. Memory is read
// with process_vm_readv, so an unmapped or protected address comes back as an error code instead of a
// fault; where that call is refused, or a system-call filter is in force that might trap or kill on it,
// through a memory file (below). Every routine here is reentrant, allocates nothing and keeps errno
// unchanged; the only state is the reading thread and the memory file of the report being written.
#pragma once

#include "crashreporter/crsh_error.h"

#include <signal.h>
#include <sys/types.h>

#include <cerrno>

#include <cstddef>
#include <cstdint>

using crsh_task_t = pid_t;
using crsh_thread_t = pid_t;
using crsh_vm_address_t = std::uint64_t;
using crsh_vm_size_t = std::uint64_t;
using crsh_vm_off_t = std::int64_t;

// The answer of one raw memory read, in the kernel's own terms.
enum crsh_kern_return_t : int {
    CRSH_KERN_SUCCESS = 0,
    CRSH_KERN_INVALID_ADDRESS = 1,    // some byte of the range is not mapped (or the read came back short)
    CRSH_KERN_PROTECTION_FAILURE = 2, // the task may not be read
    CRSH_KERN_FAILURE = 5,            // anything else
};

// Byte-order conversion for one image: either the identity or a byte swap of each width.
struct crsh_async_byteorder {
    std::uint16_t (*swap16)(std::uint16_t);
    std::uint32_t (*swap32)(std::uint32_t);
    std::uint64_t (*swap64)(std::uint64_t);
};
extern const crsh_async_byteorder crsh_async_byteorder_direct;  // the data is in host order
extern const crsh_async_byteorder crsh_async_byteorder_swapped; // the data is in the other order

// Keeps errno as the caller left it, as a signal handler must.
class crsh_async_errno_keeper {
public:
    crsh_async_errno_keeper() : m_saved(errno) {}
    ~crsh_async_errno_keeper() { errno = m_saved; }
    crsh_async_errno_keeper(const crsh_async_errno_keeper&) = delete;
    crsh_async_errno_keeper& operator=(const crsh_async_errno_keeper&) = delete;

private:
    int m_saved;
};

// The current process, as a task.
crsh_task_t crsh_async_task_self();

// The calling thread's id. It may be compared; there is nothing to release.
crsh_thread_t crsh_async_mach_thread_self();

// The system's page size, read once when the program is loaded (before any crash).
std::size_t crsh_async_page_size();

// Names a live thread of the task through which its memory is read once the task's own id names a thread
// without memory (its main thread has ended): the crashed thread, for the helper's reads. A read of the
// calling process's own memory falls back on the calling thread without it. Async-signal-safe.
void crsh_async_set_reading_thread(crsh_task_t task, crsh_thread_t thread);

// The reads of one crash report: from crsh_async_reads_begin to crsh_async_reads_end, a read of the task
// that process_vm_readv cannot make (refused by a security module or a filter, or the task's id naming
// an ended main thread) goes through a descriptor on the calling process's own memory
// (/proc/thread-self/mem), which is the task's when the caller shares its memory: the task itself, or
// the report's helper. Under a system-call filter process_vm_readv is not called at all once that file is
// open: a filter may trap or kill on it. Reads through the file see pages a protection hides (they are
// read as the kernel's debugger access reads them). Async-signal-safe; one report at a time.
void crsh_async_reads_begin(crsh_task_t task);
void crsh_async_reads_end();

// What the reads since crsh_async_reads_begin (or crsh_async_reads_reset) met, as flags.
enum crsh_async_read_flags : unsigned {
    CRSH_READS_CROSS_REFUSED = 1u, // process_vm_readv was refused (EPERM, ENOSYS, ...)
    CRSH_READS_FILE_USED = 2u,     // some reads went through the memory file
    CRSH_READS_FILE_MISSING = 4u,  // the memory file could not be opened
};
unsigned crsh_async_reads_flags();
void crsh_async_reads_reset();

// In a SIGSYS handler: when the signal is a system-call filter's trap (not a fault), makes the trapped call
// fail with ENOSYS once the handler returns, and answers true. The crash path, which has another way
// around each call it makes, answers traps so while a report is made. Async-signal-safe.
bool crsh_async_refuse_trapped_call(const siginfo_t* info, void* user_context);

// One read of length bytes at address in the task into destination.
crsh_kern_return_t crsh_async_read_addr(crsh_task_t task, crsh_vm_address_t address, void* destination,
                                        crsh_vm_size_t length);

// Up to length bytes at address, stopping at the first byte that cannot be read: how many were copied.
std::size_t crsh_async_read_prefix(crsh_task_t task, crsh_vm_address_t address, void* destination, std::size_t length);

// base + offset into *result (result may be null). False when the sum would pass the top of the address
// range (positive offset) or go below zero (negative offset).
bool crsh_async_address_apply_offset(crsh_vm_address_t base, crsh_vm_off_t offset, crsh_vm_address_t* result);

// Reads length bytes at address + offset: CRSH_ERR_NO_MEMORY when the sum overflows, CRSH_ERR_NOT_FOUND for
// an unmapped address, CRSH_ERR_ACCESS_DENIED when the task may not be read, CRSH_ERR_UNKNOWN otherwise.
crsh_error_t crsh_async_task_memcpy(crsh_task_t task, crsh_vm_address_t address, crsh_vm_off_t offset,
                                    void* destination, crsh_vm_size_t length);

// Reads one value at address + offset and converts it through the byte order. A failed read yields 0.
crsh_error_t crsh_async_task_read_uint8(crsh_task_t task, crsh_vm_address_t address, crsh_vm_off_t offset,
                                        std::uint8_t* result);
crsh_error_t crsh_async_task_read_uint16(crsh_task_t task, const crsh_async_byteorder* byteorder,
                                         crsh_vm_address_t address, crsh_vm_off_t offset, std::uint16_t* result);
crsh_error_t crsh_async_task_read_uint32(crsh_task_t task, const crsh_async_byteorder* byteorder,
                                         crsh_vm_address_t address, crsh_vm_off_t offset, std::uint32_t* result);
crsh_error_t crsh_async_task_read_uint64(crsh_task_t task, const crsh_async_byteorder* byteorder,
                                         crsh_vm_address_t address, crsh_vm_off_t offset, std::uint64_t* result);

// A value of fixed size read from a possibly unaligned local address: the compiler emits plain loads for
// it (no library call at any optimisation level).
template <typename T>
inline T crsh_async_load(const void* source)
{
    T value;
    __builtin_memcpy(&value, source, sizeof value);
    return value;
}

// String and memory loops that call nothing (the compiler may not turn them into library calls).
int crsh_async_strcmp(const char* a, const char* b);
int crsh_async_strncmp(const char* a, const char* b, std::size_t n);
void* crsh_async_memcpy(void* destination, const void* source, std::size_t n);
void* crsh_async_memset(void* destination, std::uint8_t value, std::size_t n);

// Copies the first length bytes of source (up to a zero byte) into destination as UTF-8: every byte that
// does not belong to a well-formed sequence (overlong forms, surrogates and code points above U+10FFFF
// included) becomes U+FFFD. Stops before a sequence that would not fit with the terminating zero, which
// is always written when capacity is not 0. Answers the bytes written, the zero not counted.
std::size_t crsh_async_utf8_sanitize(char* destination, std::size_t capacity, const char* source, std::size_t length);
