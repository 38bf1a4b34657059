#include "crashreporter/crsh_async.h"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>

// The signal code of a system-call filter's trap.
#ifndef SYS_SECCOMP
#define SYS_SECCOMP 1
#endif

namespace {

std::uint16_t identity16(std::uint16_t value) { return value; }
std::uint32_t identity32(std::uint32_t value) { return value; }
std::uint64_t identity64(std::uint64_t value) { return value; }
std::uint16_t swap16(std::uint16_t value) { return __builtin_bswap16(value); }
std::uint32_t swap32(std::uint32_t value) { return __builtin_bswap32(value); }
std::uint64_t swap64(std::uint64_t value) { return __builtin_bswap64(value); }

// Read at load time: sysconf is not on the list of calls a signal handler may make.
const std::size_t g_pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

template <typename T>
crsh_error_t readConverted(crsh_task_t task, T (*convert)(T), crsh_vm_address_t address, crsh_vm_off_t offset,
                           T* result)
{
    // A failed read converts zero: never whatever the stack held, nor the part a short read copied.
    T value = 0;
    crsh_error_t error = crsh_async_task_memcpy(task, address, offset, &value, sizeof value);
    if (error != CRSH_ERR_NONE)
        value = 0;
    *result = convert(value);
    return error;
}

} // namespace

namespace {

// The task whose memory is read through another of its threads, and that thread (0: none).
std::atomic<crsh_task_t> g_readingTask{0};
std::atomic<crsh_thread_t> g_readingThread{0};
static_assert(std::atomic<crsh_task_t>::is_always_lock_free && std::atomic<crsh_thread_t>::is_always_lock_free);

// The memory file of the report being written: the process that holds the descriptor (the helper shares
// this memory, but not the crashed process's descriptors), the task it reads, the descriptor.
std::atomic<pid_t> g_memoryOwner{0};
std::atomic<crsh_task_t> g_memoryTask{0};
std::atomic<int> g_memoryFile{-1};
std::atomic<bool> g_filtered{false}; // a system-call filter is in force for the owner
std::atomic<unsigned> g_readFlags{0};

pid_t processId()
{
    return static_cast<pid_t>(syscall(SYS_getpid));
}

void noteRead(unsigned flag)
{
    if ((g_readFlags.load(std::memory_order_relaxed) & flag) == 0)
        g_readFlags.fetch_or(flag, std::memory_order_relaxed);
}

// The memory file for reads of task by the calling process; -1 when there is none.
int memoryFileFor(crsh_task_t task)
{
    if (g_memoryOwner.load(std::memory_order_acquire) != processId() ||
        g_memoryTask.load(std::memory_order_acquire) != task)
        return -1;
    return g_memoryFile.load(std::memory_order_acquire);
}

// The cross-process read, through the reading thread once the task's id names a thread without memory.
ssize_t readAcross(crsh_task_t task, const iovec& local, const iovec& remote)
{
    ssize_t count = process_vm_readv(task, &local, 1, &remote, 1, 0);
    // Once the main thread has ended, the process's id names a thread without memory: the memory is read
    // through the task's named reading thread, or for the process's own through the calling thread.
    if (count < 0 && errno == ESRCH) {
        crsh_thread_t through = 0;
        if (task == g_readingTask.load(std::memory_order_acquire))
            through = g_readingThread.load(std::memory_order_acquire);
        else if (task == processId())
            through = static_cast<crsh_thread_t>(syscall(SYS_gettid));
        if (through > 0 && through != task)
            count = process_vm_readv(static_cast<pid_t>(through), &local, 1, &remote, 1, 0);
    }
    return count;
}

// One read, short at the first page that cannot be read: the bytes read, or -1 with errno (EFAULT: not
// even the first byte is mapped).
ssize_t readSome(crsh_task_t task, crsh_vm_address_t address, void* destination, std::size_t length)
{
    const int file = memoryFileFor(task);
    const iovec local{destination, length};
    const iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), length};
    int failure = EPERM;
    if (file < 0 || !g_filtered.load(std::memory_order_relaxed)) {
        const ssize_t count = readAcross(task, local, remote);
        if (count >= 0 || errno == EFAULT)
            return count;
        failure = errno;
        // A task whose every thread has ended is no refusal; its memory may still be read through the file.
        if (failure != ESRCH)
            noteRead(CRSH_READS_CROSS_REFUSED);
        if (file < 0) {
            errno = failure;
            return -1;
        }
    }
    if (address > static_cast<crsh_vm_address_t>(std::numeric_limits<off_t>::max())) {
        errno = EFAULT;
        return -1;
    }
    ssize_t count;
    do {
        count = pread(file, destination, length, static_cast<off_t>(address));
    } while (count < 0 && errno == EINTR);
    // Memory that is not mapped reads as an I/O error; any other failure is the call refused (or trapped)
    // by a filter: the same bytes are read by a seek and a plain read.
    if (count < 0 && errno != EIO && lseek(file, static_cast<off_t>(address), SEEK_SET) == static_cast<off_t>(address)) {
        do {
            count = read(file, destination, length);
        } while (count < 0 && errno == EINTR);
    }
    if (count > 0) {
        noteRead(CRSH_READS_FILE_USED);
        return count;
    }
    // Nothing mapped there reads as an I/O error; an end of file means the memory is gone.
    errno = count < 0 && errno == EIO ? EFAULT : failure;
    return -1;
}

} // namespace

void crsh_async_reads_begin(crsh_task_t task)
{
    crsh_async_errno_keeper keeper;
    crsh_async_reads_end();
    g_readFlags.store(0, std::memory_order_relaxed);
    // In filter mode the answer is 2; a filter that refuses prctl itself is a filter too.
    const long mode = syscall(SYS_prctl, PR_GET_SECCOMP, 0L, 0L, 0L, 0L);
    g_filtered.store(mode == SECCOMP_MODE_FILTER || (mode < 0 && errno != EINVAL), std::memory_order_relaxed);
    // The calling thread's view: /proc/self names the main thread, whose memory is gone once it has ended.
    int file = open("/proc/thread-self/mem", O_RDONLY | O_CLOEXEC);
    if (file < 0)
        file = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        noteRead(CRSH_READS_FILE_MISSING);
        return;
    }
    g_memoryFile.store(file, std::memory_order_release);
    g_memoryTask.store(task, std::memory_order_release);
    g_memoryOwner.store(processId(), std::memory_order_release);
}

void crsh_async_reads_end()
{
    crsh_async_errno_keeper keeper;
    if (g_memoryOwner.load(std::memory_order_acquire) != processId())
        return;
    const int file = g_memoryFile.exchange(-1, std::memory_order_acq_rel);
    g_memoryOwner.store(0, std::memory_order_release);
    g_memoryTask.store(0, std::memory_order_release);
    if (file >= 0)
        (void)close(file);
}

bool crsh_async_refuse_trapped_call(const siginfo_t* info, void* user_context)
{
    if (info == nullptr || info->si_signo != SIGSYS || info->si_code != SYS_SECCOMP || user_context == nullptr)
        return false;
    // The call was not made; its result register holds what the thread reads on return.
#if defined(__x86_64__)
    static_cast<ucontext_t*>(user_context)->uc_mcontext.gregs[REG_RAX] = -ENOSYS;
#elif defined(__aarch64__)
    static_cast<ucontext_t*>(user_context)->uc_mcontext.regs[0] = static_cast<std::uint64_t>(-ENOSYS);
#endif
    return true;
}

unsigned crsh_async_reads_flags()
{
    return g_readFlags.load(std::memory_order_relaxed);
}

void crsh_async_reads_reset()
{
    g_readFlags.store(0, std::memory_order_relaxed);
}

const crsh_async_byteorder crsh_async_byteorder_direct = {identity16, identity32, identity64};
const crsh_async_byteorder crsh_async_byteorder_swapped = {swap16, swap32, swap64};

crsh_task_t crsh_async_task_self()
{
    return getpid();
}

crsh_thread_t crsh_async_mach_thread_self()
{
    return static_cast<crsh_thread_t>(syscall(SYS_gettid));
}

std::size_t crsh_async_page_size()
{
    return g_pageSize;
}

void crsh_async_set_reading_thread(crsh_task_t task, crsh_thread_t thread)
{
    g_readingTask.store(0, std::memory_order_release);
    g_readingThread.store(thread, std::memory_order_release);
    g_readingTask.store(task, std::memory_order_release);
}

crsh_kern_return_t crsh_async_read_addr(crsh_task_t task, crsh_vm_address_t address, void* destination,
                                        crsh_vm_size_t length)
{
    if (length == 0)
        return CRSH_KERN_SUCCESS;
    if (length > static_cast<crsh_vm_size_t>(std::numeric_limits<ssize_t>::max()))
        return CRSH_KERN_INVALID_ADDRESS;
    crsh_async_errno_keeper keeper;
    const ssize_t count = readSome(task, address, destination, static_cast<std::size_t>(length));
    if (count >= 0)
        return static_cast<crsh_vm_size_t>(count) == length ? CRSH_KERN_SUCCESS : CRSH_KERN_INVALID_ADDRESS;
    switch (errno) {
    case EFAULT:
        return CRSH_KERN_INVALID_ADDRESS;
    case EPERM:
        return CRSH_KERN_PROTECTION_FAILURE;
    default:
        return CRSH_KERN_FAILURE;
    }
}

std::size_t crsh_async_read_prefix(crsh_task_t task, crsh_vm_address_t address, void* destination, std::size_t length)
{
    crsh_async_errno_keeper keeper;
    std::size_t done = 0;
    while (done < length) {
        crsh_vm_address_t at;
        if (__builtin_add_overflow(address, done, &at))
            break;
        const ssize_t count = readSome(task, at, static_cast<char*>(destination) + done, length - done);
        if (count <= 0)
            break;
        done += static_cast<std::size_t>(count);
    }
    return done;
}

bool crsh_async_address_apply_offset(crsh_vm_address_t base, crsh_vm_off_t offset, crsh_vm_address_t* result)
{
    crsh_vm_address_t sum;
    if (offset >= 0) {
        if (__builtin_add_overflow(base, static_cast<crsh_vm_address_t>(offset), &sum))
            return false;
    } else {
        // The magnitude of a negative offset, INT64_MIN included.
        crsh_vm_address_t magnitude = static_cast<crsh_vm_address_t>(0) - static_cast<crsh_vm_address_t>(offset);
        if (magnitude > base)
            return false;
        sum = base - magnitude;
    }
    if (result)
        *result = sum;
    return true;
}

crsh_error_t crsh_async_task_memcpy(crsh_task_t task, crsh_vm_address_t address, crsh_vm_off_t offset,
                                    void* destination, crsh_vm_size_t length)
{
    crsh_vm_address_t target;
    if (!crsh_async_address_apply_offset(address, offset, &target))
        return CRSH_ERR_NO_MEMORY;
    switch (crsh_async_read_addr(task, target, destination, length)) {
    case CRSH_KERN_SUCCESS:
        return CRSH_ERR_NONE;
    case CRSH_KERN_INVALID_ADDRESS:
        return CRSH_ERR_NOT_FOUND;
    case CRSH_KERN_PROTECTION_FAILURE:
        return CRSH_ERR_ACCESS_DENIED;
    case CRSH_KERN_FAILURE:
        break;
    }
    return CRSH_ERR_UNKNOWN;
}

crsh_error_t crsh_async_task_read_uint8(crsh_task_t task, crsh_vm_address_t address, crsh_vm_off_t offset,
                                        std::uint8_t* result)
{
    return readConverted<std::uint8_t>(task, [](std::uint8_t value) { return value; }, address, offset, result);
}

crsh_error_t crsh_async_task_read_uint16(crsh_task_t task, const crsh_async_byteorder* byteorder,
                                         crsh_vm_address_t address, crsh_vm_off_t offset, std::uint16_t* result)
{
    return readConverted(task, byteorder->swap16, address, offset, result);
}

crsh_error_t crsh_async_task_read_uint32(crsh_task_t task, const crsh_async_byteorder* byteorder,
                                         crsh_vm_address_t address, crsh_vm_off_t offset, std::uint32_t* result)
{
    return readConverted(task, byteorder->swap32, address, offset, result);
}

crsh_error_t crsh_async_task_read_uint64(crsh_task_t task, const crsh_async_byteorder* byteorder,
                                         crsh_vm_address_t address, crsh_vm_off_t offset, std::uint64_t* result)
{
    return readConverted(task, byteorder->swap64, address, offset, result);
}

int crsh_async_strcmp(const char* a, const char* b)
{
    const auto* left = reinterpret_cast<const unsigned char*>(a);
    const auto* right = reinterpret_cast<const unsigned char*>(b);
    while (*left != 0 && *left == *right) {
        ++left;
        ++right;
    }
    return *left - *right;
}

int crsh_async_strncmp(const char* a, const char* b, std::size_t n)
{
    const auto* left = reinterpret_cast<const unsigned char*>(a);
    const auto* right = reinterpret_cast<const unsigned char*>(b);
    for (std::size_t i = 0; i < n; ++i) {
        if (left[i] != right[i] || left[i] == 0)
            return left[i] - right[i];
    }
    return 0;
}

// The volatile destination keeps the compiler from replacing these loops with calls to the C library.
void* crsh_async_memcpy(void* destination, const void* source, std::size_t n)
{
    auto* to = static_cast<volatile unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    for (std::size_t i = 0; i < n; ++i)
        to[i] = from[i];
    return destination;
}

void* crsh_async_memset(void* destination, std::uint8_t value, std::size_t n)
{
    auto* to = static_cast<volatile unsigned char*>(destination);
    for (std::size_t i = 0; i < n; ++i)
        to[i] = value;
    return destination;
}

namespace {

// The length of the well-formed UTF-8 sequence at bytes (n available), or 0 when none starts there.
std::size_t wellFormedLength(const unsigned char* bytes, std::size_t n)
{
    const unsigned char lead = bytes[0];
    if (lead < 0x80)
        return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        else if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (length > n || bytes[1] < low || bytes[1] > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

} // namespace

std::size_t crsh_async_utf8_sanitize(char* destination, std::size_t capacity, const char* source, std::size_t length)
{
    if (capacity == 0)
        return 0;
    static constexpr unsigned char kReplacement[] = {0xEF, 0xBF, 0xBD};
    const auto* bytes = reinterpret_cast<const unsigned char*>(source);
    std::size_t written = 0;
    for (std::size_t at = 0; at < length && bytes[at] != 0;) {
        const std::size_t sequence = wellFormedLength(bytes + at, length - at);
        const unsigned char* piece = sequence != 0 ? bytes + at : kReplacement;
        const std::size_t pieceLength = sequence != 0 ? sequence : sizeof kReplacement;
        if (pieceLength >= capacity - written)
            break;
        crsh_async_memcpy(destination + written, piece, pieceLength);
        written += pieceLength;
        at += sequence != 0 ? sequence : 1;
    }
    destination[written] = '\0';
    return written;
}
