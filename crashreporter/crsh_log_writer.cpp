#include "crashreporter/crsh_log_writer.h"

#include "crashreporter/crsh_frame_cursor.h"
#include "crashreporter/crsh_objc.h"
#include "crashreporter/crsh_signal_names.h"
#include "crashreporter/crsh_sysctl.h"
#include "crashreporter/crsh_thread_suspend.h"
#include "crashreporter/crsh_writer_pack.h"
#include "platform/core/Log.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// Field numbers of crsh.proto.
namespace report {
constexpr std::uint32_t SystemInfo = 1, ApplicationInfo = 2, Threads = 3, BinaryImages = 4, Exception = 5,
                        Signal = 6, ProcessInfo = 7, MachineInfo = 8, ReportInfo = 9;
}
constexpr std::uint32_t kIPhoneOS = 1;
constexpr std::uint32_t kArchitectureUnknown = 6;
constexpr std::uint32_t kTypeEncodingMach = 1;

// Publishes finished records: init and set_exception release it after filling a record, the write
// acquires it first, so a handler on another processor sees every field written before.
std::atomic<std::uint32_t> g_recordsPublished{0};

// Every text of the record is kept as UTF-8: bytes that are not become U+FFFD.
char* copyString(const char* text)
{
    return crsh_strdup_utf8(text);
}

char* copyString(const std::string& text)
{
    return crsh_strdup_utf8(text.c_str());
}

// An exception's name or reason is kept up to this many bytes (cut at a character's start), so that it
// leaves the report room for the threads.
constexpr std::size_t kExceptionTextBytes = 16384;

std::string boundedText(const std::string& text)
{
    if (text.size() <= kExceptionTextBytes)
        return text;
    std::size_t length = kExceptionTextBytes;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    return text.substr(0, length);
}

// The bytes of a program's name that the kernel keeps.
constexpr std::size_t kKernelCommandBytes = 15;

std::optional<std::string> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// "btime" of /proc/stat: the boot time in seconds since 1970.
std::optional<long long> bootTime()
{
    std::optional<std::string> stat = readFile("/proc/stat");
    if (!stat)
        return std::nullopt;
    std::istringstream lines(*stat);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("btime ", 0) == 0)
            return std::atoll(line.c_str() + 6);
    }
    return std::nullopt;
}

} // namespace

std::optional<CRCrashProcessInfo> CRCrashProcessInfo::currentProcessInfo()
{
    return initWithProcessID(getpid());
}

std::optional<CRCrashProcessInfo> CRCrashProcessInfo::initWithProcessID(pid_t pid)
{
    // "pid (command) state ppid ...": the command may hold ")" and blanks, so the fields after it start
    // after the last ")".
    std::optional<std::string> stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return std::nullopt;
    std::size_t open = stat->find('(');
    std::size_t close = stat->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    std::istringstream fields(stat->substr(close + 1));
    std::string state;
    long long parent = 0;
    fields >> state >> parent;
    std::string skipped;
    for (int field = 5; field < 22 && fields; ++field) // fields 5 to 21
        fields >> skipped;
    unsigned long long startTicks = 0;
    fields >> startTicks;
    if (!fields)
        return std::nullopt;

    CRCrashProcessInfo info;
    info.m_processID = pid;
    info.m_parentProcessID = static_cast<pid_t>(parent);
    const std::size_t commandBytes = std::min<std::size_t>(close - open - 1, 16);
    const auto* command = reinterpret_cast<const std::uint8_t*>(stat->data() + open + 1);
    std::size_t valid = crsh_sysctl_valid_utf8_bytes(command, commandBytes);
    if (valid > 0)
        info.m_processName = std::string(reinterpret_cast<const char*>(command), valid);
    // The kernel keeps 15 bytes of the name: a longer program name is cut there. The program's file, when
    // its name goes on from those bytes, gives the whole of it.
    if (info.m_processName && info.m_processName->size() == kKernelCommandBytes) {
        std::error_code error;
        const std::filesystem::path program =
            std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
        const std::string file = error ? std::string() : program.filename().string();
        if (file.size() > kKernelCommandBytes && file.compare(0, kKernelCommandBytes, *info.m_processName) == 0) {
            if (char* whole = crsh_strdup_utf8(file.c_str())) {
                info.m_processName = std::string(whole);
                std::free(whole);
            }
        }
    }

    if (std::optional<std::string> status = readFile("/proc/" + std::to_string(pid) + "/status")) {
        std::size_t at = status->find("\nTracerPid:");
        if (at != std::string::npos)
            info.m_traced = std::atoll(status->c_str() + at + 11) != 0;
    }
    long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (std::optional<long long> boot = bootTime(); boot && ticksPerSecond > 0) {
        timeval start{};
        start.tv_sec = static_cast<time_t>(*boot + static_cast<long long>(startTicks / ticksPerSecond));
        start.tv_usec = static_cast<suseconds_t>((startTicks % ticksPerSecond) * 1000000 / ticksPerSecond);
        info.m_startTime = start;
    }
    return info;
}

crsh_error_t crsh_log_writer_init(crsh_log_writer* writer, const char* app_identifier, const char* app_version,
                                  std::uint32_t symbol_strategy, bool user_requested)
{
    std::memset(writer, 0, sizeof *writer);
    if (crsh_log_writer_map_workspace(writer) != CRSH_ERR_NONE)
        return CRSH_ERR_NO_MEMORY;
    writer->symbol_strategy = symbol_strategy;
    writer->user_requested = user_requested;

    std::string uuid = platform::newUUIDString();
    std::size_t byte = 0;
    for (std::size_t i = 0; i + 1 < uuid.size() && byte < sizeof writer->uuid; ++i) {
        if (uuid[i] == '-')
            continue;
        writer->uuid[byte++] = static_cast<std::uint8_t>(std::stoi(uuid.substr(i, 2), nullptr, 16));
        ++i;
    }

    writer->application_info.identifier = copyString(app_identifier);
    writer->application_info.version = copyString(app_version);

    std::optional<CRCrashProcessInfo> process = CRCrashProcessInfo::currentProcessInfo();
    if (!process)
        return CRSH_ERR_INVALID_ARGUMENT;
    writer->process_info.process_id = static_cast<std::uint32_t>(process->processID());
    if (process->processName())
        writer->process_info.process_name = copyString(*process->processName());
    if (process->startTime()) {
        writer->process_info.has_start_time = true;
        writer->process_info.start_time = static_cast<std::uint64_t>(process->startTime()->tv_sec);
    }

    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length > 0) {
        path[length] = '\0';
        writer->process_info.process_path = copyString(path);
    }

    writer->process_info.parent_process_id = static_cast<std::uint32_t>(process->parentProcessID());
    if (std::optional<CRCrashProcessInfo> parent = CRCrashProcessInfo::initWithProcessID(process->parentProcessID());
        parent && parent->processName())
        writer->process_info.parent_process_name = copyString(*parent->processName());

    writer->machine_info.model = crsh_sysctl_string("hw.machine");
    std::int32_t number = 0;
    if (crsh_sysctl_int("hw.cputype", &number))
        writer->machine_info.cpu_type = number;
    if (crsh_sysctl_int("hw.cpusubtype", &number))
        writer->machine_info.cpu_subtype = number;
    if (crsh_sysctl_int("hw.physicalcpu_max", &number))
        writer->machine_info.processor_count = static_cast<std::uint32_t>(number);
    if (crsh_sysctl_int("hw.logicalcpu_max", &number))
        writer->machine_info.logical_processor_count = static_cast<std::uint32_t>(number);

    writer->process_info.native = !(crsh_sysctl_int("sysctl.proc_native", &number) && number == 0);

    writer->system_info.build = crsh_sysctl_string("kern.osversion");
    writer->system_info.version = copyString(platform::Device::current().systemVersion());

    g_recordsPublished.fetch_add(1, std::memory_order_release);
    return CRSH_ERR_NONE;
}

void crsh_log_writer_set_exception(crsh_log_writer* writer, const crsh_language_exception& exception)
{
    if (writer->uncaught_exception.has_exception)
        platform::internalInconsistency(
            "writer->uncaught_exception.has_exception == false (crsh_log_writer_set_exception, "
            "crashreporter/Source/CRCrashLogWriter)");
    writer->uncaught_exception.has_exception = true;
    writer->uncaught_exception.name = copyString(boundedText(exception.name));
    writer->uncaught_exception.reason = copyString(boundedText(exception.reason));
    const std::vector<std::uint64_t>& addresses = exception.callStackReturnAddresses;
    if (!addresses.empty()) {
        auto* callstack = static_cast<std::uint64_t*>(std::malloc(addresses.size() * sizeof(std::uint64_t)));
        if (callstack != nullptr) {
            std::memcpy(callstack, addresses.data(), addresses.size() * sizeof(std::uint64_t));
            writer->uncaught_exception.callstack = callstack;
            writer->uncaught_exception.callstack_count = addresses.size();
        }
    }
    g_recordsPublished.fetch_add(1, std::memory_order_release);
}

crsh_error_t crsh_log_writer_close(crsh_log_writer*)
{
    return CRSH_ERR_NONE;
}

void crsh_log_writer_free(crsh_log_writer* writer)
{
    for (char* text : {writer->system_info.version, writer->system_info.build, writer->machine_info.model,
                       writer->application_info.identifier, writer->application_info.version,
                       writer->process_info.process_name, writer->process_info.process_path,
                       writer->process_info.parent_process_name, writer->uncaught_exception.name,
                       writer->uncaught_exception.reason})
        std::free(text);
    std::free(writer->uncaught_exception.callstack);
    crsh_log_writer_unmap_workspace(writer);
    std::memset(writer, 0, sizeof *writer);
}

// ---- Crash time: from here on nothing allocates, locks or calls the language runtime. ----

namespace {

using File = crsh_async_file;

// Field helpers: each writes into file (none: sizing only) and returns the field's encoded size.
std::size_t putString(File* file, std::uint32_t field, const char* text)
{
    return crsh_writer_pack(file, field, CRSH_WRITER_STRING, text != nullptr ? text : "");
}
std::size_t putU64(File* file, std::uint32_t field, std::uint64_t value)
{
    return crsh_writer_pack(file, field, CRSH_WRITER_UINT64, &value);
}
std::size_t putU32(File* file, std::uint32_t field, std::uint32_t value)
{
    return crsh_writer_pack(file, field, CRSH_WRITER_UINT32, &value);
}
std::size_t putEnum(File* file, std::uint32_t field, std::uint32_t value)
{
    return crsh_writer_pack(file, field, CRSH_WRITER_ENUM, &value);
}
std::size_t putBool(File* file, std::uint32_t field, bool value)
{
    std::uint8_t byte = value ? 1 : 0;
    return crsh_writer_pack(file, field, CRSH_WRITER_BOOL, &byte);
}
std::size_t putBytes(File* file, std::uint32_t field, const void* data, std::size_t length)
{
    crsh_writer_bytes bytes{length, data};
    return crsh_writer_pack(file, field, CRSH_WRITER_BYTES, &bytes);
}

// A nested message: its body is run once with no file to learn its size, then, when writing, the tag and
// size go out and the body is run again into the file.
template <typename Body>
std::size_t putMessage(File* file, std::uint32_t field, Body&& body)
{
    auto size = static_cast<std::uint32_t>(body(nullptr));
    std::size_t header = crsh_writer_pack(file, field, CRSH_WRITER_MESSAGE, &size);
    if (file != nullptr)
        body(file);
    return header + size;
}

struct WriteContext {
    crsh_log_writer* writer;
    crsh_log_writer_workspace* workspace;
    crsh_task_t task; // whose threads and memory are read
    crsh_image_list* images;
    crsh_objc_cache* cache;
};

std::size_t putProcessor(File* file, std::uint32_t field, std::uint64_t type, std::uint64_t subtype)
{
    return putMessage(file, field, [&](File* out) {
        return putEnum(out, 1, kTypeEncodingMach) + putU64(out, 2, type) + putU64(out, 3, subtype);
    });
}

struct FoundName {
    bool found;
    crsh_vm_address_t address;
    char name[CRSH_SYMBOL_NAME_MAX_CHARACTERS + 1];
};

// Keeps the name as UTF-8 (a symbol table's bytes are not checked when they are read).
void keepName(crsh_vm_address_t address, const char* name, void* context)
{
    auto* result = static_cast<FoundName*>(context);
    result->found = true;
    result->address = address;
    std::size_t length = 0;
    while (length < CRSH_SYMBOL_NAME_MAX_CHARACTERS && name[length] != '\0')
        ++length;
    (void)crsh_async_utf8_sanitize(result->name, sizeof result->name, name, length);
}

// ---- The thread list and the size and time budgets of one write ----

constexpr std::size_t kMaxRegisters = 64;
// The report information's note: at most this many bytes, the terminating zero included. The budget
// counts a note of that length whatever the note turns out to be.
constexpr std::size_t kNoteBytes = 512;
// The row of frame sizes that holds the recorded exception's frames.
constexpr std::size_t kExceptionRow = CRSH_LOG_WRITER_MAX_THREADS;

// What became of a listed thread.
enum Fate : std::uint8_t {
    kBare,       // written without registers or frames: the write is inside the task
    kOwn,        // the thread whose state the caller gave
    kStopping,   // asked to stop, not waited for yet
    kStopped,    // stopped under this write: read, walked and let go at the end
    kRefused,    // tracing was refused
    kFailed,     // the stop request failed otherwise
    kLate,       // not stopped within the stop wait (in vfork, or held up otherwise)
    kUnasked,    // not asked to stop: the stop wait ran out while the others were asked
    kEnded,      // ended meanwhile: not written
    kUnreadable, // stopped, but its registers could not be read
    kUnread,     // stopped, but not read within the write's time
};

} // namespace

struct crsh_log_writer_workspace {
    struct Thread {
        crsh_thread_t thread;
        int pending_signal;
        std::uint8_t fate;  // Fate
        bool let_go;        // stopped under this write
        bool listed;        // written (false: left out for the size limit)
        std::uint16_t frames; // walked
        std::uint16_t shown;  // written: the first `shown` of them
    } threads[CRSH_LOG_WRITER_MAX_THREADS];
    std::uint64_t pcs[CRSH_LOG_WRITER_MAX_THREADS][CRSH_LOG_WRITER_MAX_FRAMES];
    // The encoded size of each walked frame; the last row is the exception's.
    std::uint16_t frame_bytes[CRSH_LOG_WRITER_MAX_THREADS + 1][CRSH_LOG_WRITER_MAX_FRAMES];
    // The crashed thread's registers, from its first frame.
    struct {
        const char* name;
        std::uint64_t value;
    } registers[kMaxRegisters];
    std::size_t register_count;
    char note[kNoteBytes];
    // The names found during one write (stacks repeat their calls): by pc, in slots of one generation.
    std::uint32_t generation;
    struct {
        std::uint32_t generation;
        std::uint64_t address;
        FoundName symbol;
    } symbols[1024];
};

crsh_error_t crsh_log_writer_map_workspace(crsh_log_writer* writer)
{
    if (writer->workspace != nullptr)
        return CRSH_ERR_NONE;
    // Reserved, not committed: only the pages a write touches are ever backed.
    void* mapping = mmap(nullptr, sizeof(crsh_log_writer_workspace), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED)
        return CRSH_ERR_NO_MEMORY;
    writer->workspace = static_cast<crsh_log_writer_workspace*>(mapping);
    return CRSH_ERR_NONE;
}

void crsh_log_writer_unmap_workspace(crsh_log_writer* writer)
{
    if (writer->workspace != nullptr)
        munmap(writer->workspace, sizeof(crsh_log_writer_workspace));
    writer->workspace = nullptr;
}

namespace {

using Workspace = crsh_log_writer_workspace;

// The symbol of the code at address, when the strategy finds one.
FoundName symbolAt(const WriteContext& context, std::uint64_t address)
{
    Workspace* ws = context.workspace;
    auto& slot = ws->symbols[(address ^ (address >> 12)) % (sizeof ws->symbols / sizeof ws->symbols[0])];
    if (slot.generation == ws->generation && slot.address == address)
        return slot.symbol;
    FoundName symbol{};
    if (context.images != nullptr && context.writer->symbol_strategy != 0) {
        crsh_image_list_set_reading(context.images, true);
        crsh_macho_image* image = crsh_image_list_find(context.images, address);
        if (image != nullptr)
            (void)crsh_find_symbol(image, context.writer->symbol_strategy, context.cache, address, keepName, &symbol);
        crsh_image_list_set_reading(context.images, false);
    }
    slot.generation = ws->generation;
    slot.address = address;
    slot.symbol = symbol;
    return symbol;
}

// One frame: pc, and the symbol when the strategy finds one. A return address (returnAddress) is named by
// the byte before it: the call it returns from may be the last instruction of its function.
std::size_t putFrame(File* file, std::uint32_t field, const WriteContext& context, std::uint64_t pc,
                     bool returnAddress)
{
    const FoundName symbol = symbolAt(context, returnAddress && pc > 0 ? pc - 1 : pc);
    return putMessage(file, field, [&](File* out) {
        std::size_t size = putU64(out, 3, pc);
        if (symbol.found)
            size += putMessage(out, 6, [&](File* inner) {
                return putString(inner, 1, symbol.name) + putU64(inner, 2, symbol.address);
            });
        return size;
    });
}

using Workspace = crsh_log_writer_workspace;

// Walks the state's stack into the workspace's row: the frames' pcs and encoded sizes, and for the crashed
// thread the registers of its first frame.
void walkStack(const WriteContext& context, Workspace* ws, std::size_t row, const crsh_thread_state* state,
               bool crashed)
{
    Workspace::Thread& entry = ws->threads[row];
    entry.frames = 0;
    crsh_frame_cursor cursor;
    if (crsh_frame_cursor_init(&cursor, context.task, state, context.images) != CRSH_FRAME_ERR_NONE)
        return;
    if (crsh_frame_cursor_next(&cursor) == CRSH_FRAME_ERR_NONE) {
        while (entry.frames < CRSH_LOG_WRITER_MAX_FRAMES) {
            if (entry.frames == 0 && crashed) {
                const std::size_t count = crsh_frame_cursor_get_regcount(&cursor);
                ws->register_count = 0;
                for (std::size_t reg = 0; reg < count && reg < kMaxRegisters; ++reg) {
                    auto index = static_cast<crsh_regnum_t>(reg);
                    std::uint64_t value = 0;
                    if (crsh_frame_cursor_get_reg(&cursor, index, &value) != CRSH_FRAME_ERR_NONE)
                        value = 0;
                    ws->registers[reg] = {crsh_frame_cursor_get_regname(&cursor, index), value};
                    ws->register_count = reg + 1;
                }
            }
            std::uint64_t pc = 0;
            if (crsh_frame_cursor_get_reg(&cursor, CRSH_REG_IP, &pc) != CRSH_FRAME_ERR_NONE)
                break;
            ws->pcs[row][entry.frames] = pc;
            ws->frame_bytes[row][entry.frames] = static_cast<std::uint16_t>(putFrame(nullptr, 2, context, pc, entry.frames > 0));
            ++entry.frames;
            if (crsh_frame_cursor_next(&cursor) != CRSH_FRAME_ERR_NONE)
                break;
        }
    }
    crsh_frame_cursor_free(&cursor);
}

std::size_t sumBytes(const std::uint16_t* sizes, std::size_t count)
{
    std::size_t sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += sizes[i];
    return sum;
}

// A nested message's whole size: its tag and length, then the body.
std::size_t messageBytes(std::uint32_t field, std::size_t body)
{
    auto length = static_cast<std::uint32_t>(body);
    return crsh_writer_pack(nullptr, field, CRSH_WRITER_MESSAGE, &length) + body;
}

std::size_t putRegisters(File* file, const Workspace* ws)
{
    std::size_t size = 0;
    for (std::size_t reg = 0; reg < ws->register_count; ++reg) {
        const auto& value = ws->registers[reg];
        size += putMessage(file, 4, [&](File* out) { return putString(out, 1, value.name) + putU64(out, 2, value.value); });
    }
    return size;
}

// The body of a thread message with its first `frames` frames.
std::size_t threadBody(const Workspace* ws, std::size_t row, std::uint32_t number, bool crashed, std::size_t frames)
{
    std::size_t size = putU32(nullptr, 1, number) + putBool(nullptr, 3, crashed) + sumBytes(ws->frame_bytes[row], frames);
    if (crashed && frames > 0)
        size += putRegisters(nullptr, ws);
    return size;
}

// Writes the thread message from the walked frames, each frame named once.
void putThread(File* file, const WriteContext& context, const Workspace* ws, std::size_t row, std::uint32_t number,
               bool crashed)
{
    const Workspace::Thread& entry = ws->threads[row];
    auto body = static_cast<std::uint32_t>(threadBody(ws, row, number, crashed, entry.shown));
    (void)crsh_writer_pack(file, report::Threads, CRSH_WRITER_MESSAGE, &body);
    (void)putU32(file, 1, number);
    (void)putBool(file, 3, crashed);
    if (crashed && entry.shown > 0)
        (void)putRegisters(file, ws);
    for (std::size_t frame = 0; frame < entry.shown; ++frame)
        (void)putFrame(file, 2, context, ws->pcs[row][frame], frame > 0);
}

// "/proc/<pid>/task" into path (a stack buffer), without the C library.
template <std::size_t N>
void taskDirectory(crsh_task_t task, char (&path)[N])
{
    static_assert(N >= 32);
    static constexpr char kPrefix[] = "/proc/";
    static constexpr char kSuffix[] = "/task";
    std::size_t at = 0;
    for (std::size_t i = 0; kPrefix[i] != '\0'; ++i)
        path[at++] = kPrefix[i];
    char digits[12];
    std::size_t count = 0;
    for (auto value = static_cast<std::uint32_t>(task); count == 0 || value > 0; value /= 10)
        digits[count++] = static_cast<char>('0' + value % 10);
    while (count > 0)
        path[at++] = digits[--count];
    for (std::size_t i = 0; kSuffix[i] != '\0'; ++i)
        path[at++] = kSuffix[i];
    path[at] = '\0';
}

// The thread ids of the task's /proc task folder, read with open, getdents64 and close into a stack
// buffer; calls visit(tid) for each in the kernel's order. Entries that are not numbers are skipped.
// False when the folder cannot be opened (no descriptor left, no /proc).
template <typename Visit>
bool forEachThread(crsh_task_t task, Visit&& visit)
{
    char path[32];
    taskDirectory(task, path);
    int directory = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return false;
    alignas(8) char buffer[2048];
    for (;;) {
        long count = syscall(SYS_getdents64, directory, buffer, sizeof buffer);
        if (count <= 0)
            break;
        for (long at = 0; at < count;) {
            // struct linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
            std::uint16_t recordLength;
            crsh_async_memcpy(&recordLength, buffer + at + 16, sizeof recordLength);
            if (recordLength == 0)
                break;
            const char* name = buffer + at + 19;
            long tid = 0;
            bool number = name[0] != '\0';
            for (const char* c = name; *c != '\0'; ++c) {
                if (*c < '0' || *c > '9' || tid > 100000000) {
                    number = false;
                    break;
                }
                tid = tid * 10 + (*c - '0');
            }
            if (number)
                visit(static_cast<crsh_thread_t>(tid));
            at += recordLength;
        }
    }
    close(directory);
    return true;
}

std::size_t putImage(File* file, const crsh_macho_image* image)
{
    return putMessage(file, report::BinaryImages, [&](File* out) {
        std::size_t size = putU64(out, 2, image->text_size) + putU64(out, 1, image->header_addr) +
                           putString(out, 3, image->name);
        std::uint8_t uuid[CRSH_IMAGE_UUID_BYTES];
        if (crsh_macho_image_uuid(image, uuid))
            size += putBytes(out, 4, uuid, sizeof uuid);
        size += putProcessor(out, 5, static_cast<std::uint32_t>(crsh_macho_image_cpu_type(image)),
                             static_cast<std::uint32_t>(crsh_macho_image_cpu_subtype(image)));
        return size;
    });
}

std::size_t putSignal(File* file, const crsh_log_writer_signal_info* info)
{
    return putMessage(file, report::Signal, [&](File* out) {
        int signo = 0, code = 0;
        char signalText[CRSH_SIGNAL_NUMBER_TEXT_BYTES], codeText[CRSH_SIGNAL_NUMBER_TEXT_BYTES];
        const char* name;
        const char* codeName;
        if (crsh_signal_from_host(info->signo, info->code, &signo, &code)) {
            name = crsh_signal_name_text(signo, signalText);
            codeName = crsh_signal_code_name_text(signo, code, codeText);
        } else {
            // The table would name another signal by this number: both go by number ("#%d"). Signal 0
            // has no code names, so the code texts below are always numbers.
            name = crsh_signal_code_name_text(0, info->signo, signalText);
            codeName = crsh_signal_code_name_text(0, info->code, codeText);
        }
        std::size_t size = putString(out, 1, name) + putString(out, 2, codeName) + putU64(out, 3, info->address);
        if (info->mach != nullptr) {
            const crsh_log_writer_mach_info* mach = info->mach;
            size += putMessage(out, 4, [&](File* inner) {
                std::size_t machSize = putU64(inner, 1, mach->type);
                for (std::size_t i = 0; i < mach->code_count; ++i)
                    machSize += putU64(inner, 2, mach->codes[i]);
                return machSize;
            });
        }
        return size;
    });
}

struct WriteRequest {
    crsh_task_t task;
    crsh_thread_t crashed_thread;
    crsh_thread_t self;         // the writing thread
    bool inside;                // the writing thread is one of the task's
    crsh_thread_t state_thread; // the thread whose state is given; 0 for none
    crsh_async_file* file;
    const crsh_log_writer_signal_info* signal_info;
    const crsh_thread_state* thread_state;
    std::int64_t timestamp;
    bool task_ended;             // the task ended (was killed) while its threads were being stopped
    int refusal;                 // errno of the system's refusal of an earlier, larger try; 0: the first try
    std::uint64_t refused_after; // the bytes the file took before that refusal
    bool smallest;               // the smallest form: the crashed thread whole, the others bare, one image
};

// What one write lists and how much of it fits.
struct Plan {
    std::size_t count;          // listed threads in the workspace
    std::size_t beyond;         // threads past the workspace's capacity: not written
    bool list_failed;           // the thread list could not be read: the crashed thread alone
    std::size_t crashed_row;    // the crashed thread's row; count when it is not listed
    std::size_t images;         // the first `images` images of the list are written
    std::size_t image_total;
    std::size_t exception_frames;
    std::size_t exception_total;
    std::size_t others_cap;     // other threads are cut to this many frames; MAX_FRAMES: none cut
    std::size_t others_cut;     // other threads that lost frames to the cap
    std::size_t left_out;       // other threads not written for the size limit
    std::uint64_t read_ms;      // how long after the write's start reading the other threads stopped
};

// Enumerates the task's threads into the workspace (the writing thread left out when its state is not
// given); when the list cannot be read, the crashed thread alone.
void listThreads(crsh_task_t task, const WriteRequest& request, Workspace* ws, Plan* plan)
{
    auto kept = [&](crsh_thread_t thread) {
        return thread == request.crashed_thread || thread == request.state_thread;
    };
    auto add = [&](crsh_thread_t thread) {
        if (request.inside && thread == request.self && request.thread_state == nullptr)
            return;
        std::size_t row = plan->count;
        if (plan->count == CRSH_LOG_WRITER_MAX_THREADS) {
            ++plan->beyond;
            // The crashed thread (and the one whose state is given) is always listed, however late the
            // list names it: it takes the place of the last other thread.
            if (!kept(thread))
                return;
            row = CRSH_LOG_WRITER_MAX_THREADS;
            while (row > 0 && kept(ws->threads[row - 1].thread))
                --row;
            if (row == 0)
                return;
            --row;
        } else {
            ++plan->count;
        }
        Workspace::Thread& entry = ws->threads[row];
        entry = {};
        entry.thread = thread;
        entry.fate = thread == request.state_thread ? kOwn : kBare;
        entry.listed = true;
    };
    plan->list_failed = !forEachThread(task, add);
    if (plan->list_failed) {
        plan->count = 0;
        plan->beyond = 0;
        add(request.crashed_thread);
    }
    // The crashed thread whose state is given is listed even when the list no longer names it: it ended
    // meanwhile (its process exiting under the report), but its state and its stack are still there to read.
    bool named = request.state_thread != request.crashed_thread;
    for (std::size_t row = 0; row < plan->count; ++row)
        named = named || ws->threads[row].thread == request.crashed_thread;
    if (!named)
        add(request.crashed_thread);
    plan->crashed_row = plan->count;
    for (std::size_t row = 0; row < plan->count; ++row) {
        if (ws->threads[row].thread == request.crashed_thread)
            plan->crashed_row = row;
    }
}

// Whether the thread has ended (or is a zombie): /proc/<task>/task/<thread>/stat gone or in state Z or X.
bool threadHasEnded(crsh_task_t task, crsh_thread_t thread)
{
    char path[64];
    taskDirectory(task, path);
    std::size_t at = 0;
    while (path[at] != '\0')
        ++at;
    path[at++] = '/';
    char digits[12];
    std::size_t count = 0;
    for (auto value = static_cast<std::uint32_t>(thread); count == 0 || value > 0; value /= 10)
        digits[count++] = static_cast<char>('0' + value % 10);
    while (count > 0)
        path[at++] = digits[--count];
    for (const char* suffix = "/stat"; *suffix != '\0'; ++suffix)
        path[at++] = *suffix;
    path[at] = '\0';
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return errno == ENOENT || errno == ESRCH;
    char stat[512];
    ssize_t length;
    do {
        length = read(file, stat, sizeof stat);
    } while (length < 0 && errno == EINTR);
    close(file);
    if (length <= 0)
        return true;
    // "tid (name) S ...": the name may hold ")" itself; the state follows the last one.
    ssize_t close = length - 1;
    while (close >= 0 && stat[close] != ')')
        --close;
    if (close < 0 || close + 2 >= length)
        return false;
    return stat[close + 2] == 'Z' || stat[close + 2] == 'X';
}

// From outside the task: asks every other thread to stop (they stop side by side), then waits for each
// until the deadline, which bounds the asking too: those not asked by then are not stopped. A task that
// ends meanwhile (killed: its crashed thread waits for the report and ends with nothing else) is asked no
// more.
void stopThreads(Workspace* ws, const Plan& plan, const WriteRequest& request, std::uint64_t deadline,
                 bool* task_ended)
{
    std::size_t refused = 0;
    for (std::size_t row = 0; row < plan.count; ++row) {
        Workspace::Thread& entry = ws->threads[row];
        if (entry.fate == kOwn)
            continue;
        if (*task_ended) {
            entry.fate = kEnded;
            continue;
        }
        if (crsh_async_clock_ns() >= deadline) {
            entry.fate = kUnasked;
            continue;
        }
        crsh_error_t requested = crsh_thread_suspend_request(entry.thread);
        // An ended thread that waits to be reaped (a main thread that ended before the others) refuses to
        // be traced: it is no refusal. A few threads end by themselves; many in a row is the task ending.
        if (requested != CRSH_ERR_NONE && requested != CRSH_ERR_NOT_FOUND && threadHasEnded(request.task, entry.thread))
            requested = CRSH_ERR_NOT_FOUND;
        if (requested != CRSH_ERR_NONE && ++refused % 8 == 1)
            *task_ended = threadHasEnded(request.task, request.crashed_thread);
        switch (requested) {
        case CRSH_ERR_NONE:
            entry.fate = kStopping;
            break;
        case CRSH_ERR_ACCESS_DENIED:
            entry.fate = kRefused;
            break;
        case CRSH_ERR_NOT_FOUND:
            entry.fate = kEnded;
            break;
        default:
            entry.fate = kFailed;
            break;
        }
    }
    for (std::size_t row = 0; row < plan.count; ++row) {
        Workspace::Thread& entry = ws->threads[row];
        if (entry.fate != kStopping)
            continue;
        switch (crsh_thread_suspend_wait(entry.thread, deadline, &entry.pending_signal)) {
        case CRSH_ERR_NONE:
            entry.fate = kStopped;
            entry.let_go = true;
            break;
        case CRSH_ERR_NOT_FOUND:
            entry.fate = kEnded;
            break;
        default:
            entry.fate = kLate;
            break;
        }
    }
    for (std::size_t row = 0; row < plan.count; ++row) {
        if (ws->threads[row].fate == kEnded)
            ws->threads[row].listed = false;
    }
}

// Once the task has ended, the threads it could not stop, or that were stopped but ended before their
// registers were read, ended with it: they are not listed.
void dropEndedThreads(Workspace* ws, const Plan& plan)
{
    for (std::size_t row = 0; row < plan.count; ++row) {
        Workspace::Thread& entry = ws->threads[row];
        if (entry.fate == kRefused || entry.fate == kFailed || entry.fate == kLate || entry.fate == kUnasked ||
            entry.fate == kUnreadable) {
            entry.fate = kEnded;
            entry.listed = false;
        }
    }
}

// Walks the given state's thread first, whatever the time, then each stopped thread until the deadline.
void readThreads(const WriteContext& context, const WriteRequest& request, Workspace* ws, const Plan& plan,
                 std::uint64_t deadline)
{
    for (std::size_t row = 0; row < plan.count; ++row) {
        if (ws->threads[row].fate == kOwn)
            walkStack(context, ws, row, request.thread_state, row == plan.crashed_row);
    }
    for (std::size_t row = 0; row < plan.count; ++row) {
        Workspace::Thread& entry = ws->threads[row];
        if (entry.fate != kStopped)
            continue;
        if (crsh_async_clock_ns() >= deadline) {
            entry.fate = kUnread;
            continue;
        }
        crsh_thread_state state;
        if (crsh_thread_state_thread_init(&state, entry.thread) != CRSH_ERR_NONE) {
            entry.fate = kUnreadable;
            continue;
        }
        walkStack(context, ws, row, &state, row == plan.crashed_row);
    }
}

// The sections that are always written, the note counted at its longest; the exception without frames.
std::size_t requiredBytes(const WriteContext& context, const WriteRequest& request);

// The other threads' bytes with each cut to `cap` frames.
std::size_t othersBytes(const Workspace* ws, const Plan& plan, std::size_t cap)
{
    std::size_t size = 0;
    for (std::size_t row = 0; row < plan.count; ++row) {
        const Workspace::Thread& entry = ws->threads[row];
        if (!entry.listed || row == plan.crashed_row)
            continue;
        const std::size_t frames = entry.frames < cap ? entry.frames : cap;
        size += messageBytes(report::Threads, threadBody(ws, row, static_cast<std::uint32_t>(row), false, frames));
    }
    return size;
}

// The most frames of `sizes` that fit in `room` bytes.
std::size_t framesThatFit(const std::uint16_t* sizes, std::size_t count, std::size_t room)
{
    std::size_t frames = 0, used = 0;
    while (frames < count && used + sizes[frames] <= room)
        used += sizes[frames++];
    return frames;
}

// Decides what is written within the file's limit, in this order: the required sections (the first image
// among them: a report without one is not read), the crashed thread with all its frames, the exception's
// frames, the images, then the other threads: whole when they fit, else each cut to the most frames that
// lets them all fit (the deepest frames go first; threads with fewer frames stay whole), else bare, and
// those past the room left out.
//
// The smallest form (after the system refused larger ones) takes the crashed thread whole whatever the
// limit, the first image and the other threads bare. A fit may be made again: it starts from the stops.
void fitToLimit(const WriteContext& context, const WriteRequest& request, Workspace* ws, Plan* plan)
{
    for (std::size_t row = 0; row < plan->count; ++row) {
        ws->threads[row].listed = ws->threads[row].fate != kEnded;
        ws->threads[row].shown = 0;
    }
    plan->images = plan->image_total = plan->exception_frames = plan->exception_total = 0;
    plan->others_cut = plan->left_out = 0;
    const std::uint64_t limit = request.file->limit_bytes != 0 ? request.file->limit_bytes : UINT64_MAX;
    const std::size_t required = requiredBytes(context, request);
    std::uint64_t room = limit > required ? limit - required : 0;
    auto take = [&](std::size_t bytes) {
        room = bytes < room ? room - bytes : 0;
    };
    if (context.images != nullptr) {
        crsh_image_list_set_reading(context.images, true);
        if (const crsh_macho_image* first = crsh_image_list_next(context.images, nullptr))
            take(putImage(nullptr, first));
        crsh_image_list_set_reading(context.images, false);
    }

    if (plan->crashed_row < plan->count) {
        Workspace::Thread& crashed = ws->threads[plan->crashed_row];
        const auto number = static_cast<std::uint32_t>(plan->crashed_row);
        const std::size_t bare = messageBytes(report::Threads, threadBody(ws, plan->crashed_row, number, true, 0));
        const std::size_t whole =
            messageBytes(report::Threads, threadBody(ws, plan->crashed_row, number, true, crashed.frames));
        if (whole <= room || request.smallest) {
            crashed.shown = crashed.frames;
        } else {
            // Only a report of extreme stacks and names: the frames that fit, registers and message counted.
            const std::size_t overhead = whole - sumBytes(ws->frame_bytes[plan->crashed_row], crashed.frames);
            crashed.shown = static_cast<std::uint16_t>(
                framesThatFit(ws->frame_bytes[plan->crashed_row], crashed.frames, room > overhead ? room - overhead : 0));
        }
        take(crashed.shown == 0 ? bare
                                : messageBytes(report::Threads,
                                               threadBody(ws, plan->crashed_row, number, true, crashed.shown)));
    }

    const auto& exception = context.writer->uncaught_exception;
    if (exception.has_exception) {
        std::size_t frames = exception.callstack_count < CRSH_LOG_WRITER_MAX_FRAMES ? exception.callstack_count
                                                                                     : CRSH_LOG_WRITER_MAX_FRAMES;
        std::uint16_t* sizes = ws->frame_bytes[kExceptionRow];
        for (std::size_t i = 0; i < frames; ++i)
            sizes[i] = static_cast<std::uint16_t>(putFrame(nullptr, 3, context, exception.callstack[i], true));
        // The message's length may take a few more bytes with its frames.
        const std::size_t fit = framesThatFit(sizes, frames, room > 8 ? room - 8 : 0);
        plan->exception_frames = fit;
        plan->exception_total = frames;
        take(sumBytes(sizes, fit) + 8);
    }

    if (context.images != nullptr) {
        crsh_image_list_set_reading(context.images, true);
        bool full = false;
        for (crsh_macho_image* image = crsh_image_list_next(context.images, nullptr); image != nullptr;
             image = crsh_image_list_next(context.images, image)) {
            ++plan->image_total;
            if (plan->images == 0) { // counted first
                ++plan->images;
                continue;
            }
            const std::size_t bytes = putImage(nullptr, image);
            if (full || bytes > room || request.smallest) {
                full = true;
                continue;
            }
            take(bytes);
            ++plan->images;
        }
        crsh_image_list_set_reading(context.images, false);
    }

    plan->others_cap = request.smallest ? 0 : CRSH_LOG_WRITER_MAX_FRAMES;
    if (!request.smallest && othersBytes(ws, *plan, plan->others_cap) > room) {
        std::size_t low = 0, high = CRSH_LOG_WRITER_MAX_FRAMES; // othersBytes(low) is tried below
        while (low < high) {
            const std::size_t middle = (low + high + 1) / 2;
            if (othersBytes(ws, *plan, middle) <= room)
                low = middle;
            else
                high = middle - 1;
        }
        plan->others_cap = low;
        if (othersBytes(ws, *plan, 0) > room) {
            // Not even bare: the first ones that fit, in order; the others are left out.
            plan->others_cap = 0;
            for (std::size_t row = 0; row < plan->count; ++row) {
                Workspace::Thread& entry = ws->threads[row];
                if (!entry.listed || row == plan->crashed_row)
                    continue;
                const std::size_t bytes = messageBytes(report::Threads, threadBody(ws, row, static_cast<std::uint32_t>(row), false, 0));
                if (bytes <= room) {
                    take(bytes);
                } else {
                    entry.listed = false;
                    ++plan->left_out;
                    room = 0;
                }
            }
        }
    }
    for (std::size_t row = 0; row < plan->count; ++row) {
        Workspace::Thread& entry = ws->threads[row];
        if (row == plan->crashed_row)
            continue;
        entry.shown = entry.frames < plan->others_cap ? entry.frames : static_cast<std::uint16_t>(plan->others_cap);
        if (entry.listed && entry.shown < entry.frames)
            ++plan->others_cut;
    }
}

// A note built in a fixed buffer: parts joined by "; ", cut at the buffer's end.
class Note {
public:
    explicit Note(char (&buffer)[kNoteBytes]) : m_buffer(buffer) { m_buffer[0] = '\0'; }
    Note& part()
    {
        if (m_length > 0)
            text("; ");
        return *this;
    }
    Note& text(const char* text)
    {
        while (*text != '\0' && m_length + 1 < kNoteBytes)
            m_buffer[m_length++] = *text++;
        m_buffer[m_length] = '\0';
        return *this;
    }
    Note& number(std::size_t value)
    {
        char digits[24];
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0);
        char reversed[24];
        for (std::size_t i = 0; i < count; ++i)
            reversed[i] = digits[count - 1 - i];
        reversed[count] = '\0';
        return text(reversed);
    }
    const char* value() const { return m_length > 0 ? m_buffer : nullptr; }

private:
    char (&m_buffer)[kNoteBytes];
    std::size_t m_length = 0;
};

// The system's refusal of a write, in the note's words.
const char* refusalText(int error)
{
    switch (error) {
    case ENOSPC:
        return "no space left on the disk";
    case EFBIG:
        return "past the file size limit";
    case EDQUOT:
        return "past the disk quota";
    default:
        return "a write error";
    }
}

// What the report says of the threads that are not written whole.
const char* threadsNote(const WriteRequest& request, Workspace* ws, const Plan& plan)
{
    Note note(ws->note);
    std::size_t others = 0, bare = 0, refused = 0, failed = 0, late = 0, unread = 0, unasked = 0, ended = 0;
    for (std::size_t row = 0; row < plan.count; ++row) {
        const Workspace::Thread& entry = ws->threads[row];
        ended += entry.fate == kEnded ? 1 : 0;
        if (entry.fate == kOwn || entry.fate == kEnded)
            continue;
        ++others;
        unasked += entry.fate == kUnasked ? 1 : 0;
        bare += entry.fate == kBare ? 1 : 0;
        refused += entry.fate == kRefused ? 1 : 0;
        failed += entry.fate == kFailed || entry.fate == kUnreadable ? 1 : 0;
        late += entry.fate == kLate ? 1 : 0;
        unread += entry.fate == kUnread ? 1 : 0;
    }
    if (request.refusal != 0) {
        note.part().text("the whole report was refused (").text(refusalText(request.refusal)).text(") after ").number(
            request.refused_after).text(" bytes; ");
        note.text(request.smallest ? "written in its smallest form: the crashed thread whole, the others without "
                                     "registers or frames"
                                   : "written again within them");
    }
    // Killed once every thread was read, it lost nothing.
    if (request.task_ended && ended > 0)
        note.part().text("the process ended while its report was made; ").number(ended).text(
            " threads that ended with it are left out");
    // Reads made through the memory file instead lose nothing: only reads that failed both ways are named.
    const unsigned reads = crsh_async_reads_flags();
    if ((reads & CRSH_READS_CROSS_REFUSED) != 0 && (reads & CRSH_READS_FILE_USED) == 0)
        note.part().text((reads & CRSH_READS_FILE_MISSING) != 0
                             ? "reads of the process's memory were refused and its memory file could not be opened; "
                               "frames and names may be missing"
                             : "reads of the process's memory were refused; frames and names may be missing");
    if (plan.list_failed)
        note.part().text("the thread list could not be read; only the crashed thread is listed");
    if (bare > 0 && request.inside)
        note.part().text("not stopped: the report was written inside the crashed process; listed without "
                         "registers or frames");
    else if (bare > 0)
        note.part().text("not stopped: no room to hold them; listed without registers or frames");
    if (refused > 0 && refused == others)
        note.part().text("not stopped: tracing was refused; listed without registers or frames");
    else if (refused + failed > 0)
        note.part().text("some could not be stopped; those are listed without registers or frames");
    if (unasked > 0)
        note.part().number(unasked).text(" not asked to stop within ").number(CRSH_LOG_WRITER_STOP_WAIT_NS / 1000000).text(
            " ms; listed without registers or frames");
    if (late > 0)
        note.part().number(late).text(" not stopped within ").number(CRSH_LOG_WRITER_STOP_WAIT_NS / 1000000).text(
            " ms (held in the kernel, as in vfork); listed without registers or frames");
    if (unread > 0)
        note.part().number(unread).text(" not read within the report's first ").number(plan.read_ms).text(
            " ms; listed without registers or frames");
    if (plan.crashed_row < plan.count && ws->threads[plan.crashed_row].shown < ws->threads[plan.crashed_row].frames)
        note.part().text("the crashed thread is cut to its first ").number(ws->threads[plan.crashed_row].shown).text(
            " frames to fit the report's size limit");
    if (plan.others_cut > 0)
        note.part().number(plan.others_cut).text(" cut to their first ").number(plan.others_cap).text(
            " frames to fit the report's size limit");
    if (plan.left_out > 0)
        note.part().number(plan.left_out).text(" left out to fit the report's size limit");
    if (plan.beyond > 0)
        note.part().number(plan.beyond).text(" past the first ").number(CRSH_LOG_WRITER_MAX_THREADS).text(" left out");
    if (plan.exception_frames < plan.exception_total)
        note.part().text("the exception's frames are cut to their first ").number(plan.exception_frames).text(
            " to fit the report's size limit");
    if (plan.images < plan.image_total)
        note.part().number(plan.image_total - plan.images).text(" binary images left out to fit the report's size limit");
    return note.value();
}

std::size_t putReportInfo(File* file, const crsh_log_writer* writer, const char* note)
{
    return putMessage(file, report::ReportInfo, [&](File* out) {
        std::size_t size = putBool(out, 1, writer->user_requested) + putBytes(out, 2, writer->uuid, sizeof writer->uuid);
        if (note != nullptr)
            size += putString(out, 3, note);
        return size;
    });
}

std::size_t putSystemInfo(File* file, const crsh_log_writer* writer, std::int64_t timestamp)
{
    return putMessage(file, report::SystemInfo, [&](File* out) {
        std::size_t size = putEnum(out, 1, kIPhoneOS) + putString(out, 2, writer->system_info.version);
        if (writer->system_info.build != nullptr)
            size += putString(out, 5, writer->system_info.build);
        size += putEnum(out, 3, kArchitectureUnknown);
        size += crsh_writer_pack(out, 4, CRSH_WRITER_INT64, &timestamp);
        return size;
    });
}

std::size_t putMachineInfo(File* file, const crsh_log_writer* writer)
{
    return putMessage(file, report::MachineInfo, [&](File* out) {
        std::size_t size = 0;
        if (writer->machine_info.model != nullptr)
            size += putString(out, 1, writer->machine_info.model);
        size += putProcessor(out, 2, static_cast<std::uint32_t>(writer->machine_info.cpu_type),
                             static_cast<std::uint32_t>(writer->machine_info.cpu_subtype));
        return size + putU32(out, 3, writer->machine_info.processor_count) +
               putU32(out, 4, writer->machine_info.logical_processor_count);
    });
}

std::size_t putApplicationInfo(File* file, const crsh_log_writer* writer)
{
    return putMessage(file, report::ApplicationInfo, [&](File* out) {
        return putString(out, 1, writer->application_info.identifier) +
               putString(out, 2, writer->application_info.version);
    });
}

std::size_t putProcessInfo(File* file, const crsh_log_writer* writer)
{
    return putMessage(file, report::ProcessInfo, [&](File* out) {
        const auto& process = writer->process_info;
        std::size_t size = 0;
        if (process.process_name != nullptr)
            size += putString(out, 1, process.process_name);
        size += putU32(out, 2, process.process_id);
        if (process.process_path != nullptr)
            size += putString(out, 3, process.process_path);
        if (process.parent_process_name != nullptr)
            size += putString(out, 4, process.parent_process_name);
        size += putU32(out, 5, process.parent_process_id) + putBool(out, 6, process.native);
        if (process.has_start_time)
            size += putU64(out, 7, process.start_time);
        return size;
    });
}

// The exception with its first `frames` frames (their sizes in the workspace's exception row).
std::size_t putException(File* file, const WriteContext& context, std::size_t frames)
{
    const auto& exception = context.writer->uncaught_exception;
    return putMessage(file, report::Exception, [&](File* out) {
        std::size_t size = putString(out, 1, exception.name) + putString(out, 2, exception.reason);
        if (out == nullptr)
            return size + sumBytes(context.writer->workspace->frame_bytes[kExceptionRow], frames);
        for (std::size_t i = 0; i < frames; ++i)
            size += putFrame(out, 3, context, exception.callstack[i], true);
        return size;
    });
}

std::size_t requiredBytes(const WriteContext& context, const WriteRequest& request)
{
    const crsh_log_writer* writer = context.writer;
    char longest[kNoteBytes];
    crsh_async_memset(longest, 'x', sizeof longest - 1);
    longest[sizeof longest - 1] = '\0';
    std::size_t size = 8 + putReportInfo(nullptr, writer, longest) + putSystemInfo(nullptr, writer, request.timestamp) +
                       putMachineInfo(nullptr, writer) + putApplicationInfo(nullptr, writer) +
                       putProcessInfo(nullptr, writer) + putSignal(nullptr, request.signal_info);
    if (writer->uncaught_exception.has_exception)
        size += putException(nullptr, context, 0);
    return size;
}

void writeReport(const WriteContext& context, const WriteRequest& request, Workspace* ws, const Plan& plan)
{
    crsh_log_writer* writer = context.writer;
    crsh_async_file* file = request.file;
    static constexpr char kMagic[] = "crshlog";
    (void)crsh_async_file_write(file, kMagic, 7);
    (void)crsh_async_file_write(file, &CRSH_LOG_FILE_VERSION, 1);

    (void)putReportInfo(file, writer, threadsNote(request, ws, plan));
    (void)putSystemInfo(file, writer, request.timestamp);
    (void)putMachineInfo(file, writer);
    (void)putApplicationInfo(file, writer);
    (void)putProcessInfo(file, writer);

    std::uint32_t number = 0;
    for (std::size_t row = 0; row < plan.count; ++row) {
        if (ws->threads[row].listed)
            putThread(file, context, ws, row, number++, row == plan.crashed_row);
    }

    crsh_image_list* image_list = context.images;
    if (image_list != nullptr) {
        crsh_image_list_set_reading(image_list, true);
        std::size_t written = 0;
        for (crsh_macho_image* image = crsh_image_list_next(image_list, nullptr);
             image != nullptr && written < plan.images; image = crsh_image_list_next(image_list, image), ++written)
            putImage(file, image);
        crsh_image_list_set_reading(image_list, false);
    }

    if (writer->uncaught_exception.has_exception)
        (void)putException(file, context, plan.exception_frames);

    putSignal(file, request.signal_info);
    // Out now, so that a refusal is known while the threads are still stopped.
    (void)crsh_async_file_flush(file);
}

} // namespace

std::uint64_t crsh_log_writer_read_deadline(std::uint64_t start_ns, std::uint64_t stopped_ns)
{
    const std::uint64_t end = start_ns + CRSH_LOG_WRITER_TIME_NS;
    return stopped_ns < end ? stopped_ns + (end - stopped_ns) / 2 : stopped_ns;
}

crsh_error_t crsh_log_writer_write(crsh_log_writer* writer, crsh_thread_t crashed_thread, crsh_image_list* image_list,
                                   crsh_async_file* file, const crsh_log_writer_signal_info* signal_info,
                                   const crsh_thread_state* thread_state)
{
    (void)g_recordsPublished.load(std::memory_order_acquire);
    Workspace* ws = writer->workspace;
    if (ws == nullptr)
        return CRSH_ERR_NO_MEMORY;
    const std::uint64_t start = crsh_async_clock_ns();
    crsh_objc_cache cache;
    (void)crsh_objc_cache_init(&cache);
    const crsh_task_t task = image_list != nullptr ? image_list->task : crsh_async_task_self();
    // A new generation of names: those of an earlier write may belong to objects since unloaded.
    if (++ws->generation == 0)
        ++ws->generation;
    const WriteContext context{writer, ws, task, image_list, &cache};

    crsh_async_reads_reset();
    WriteRequest request{};
    request.task = task;
    request.crashed_thread = crashed_thread;
    request.self = crsh_async_mach_thread_self();
    request.inside = task == crsh_async_task_self();
    if (thread_state != nullptr)
        request.state_thread = request.inside ? request.self : crashed_thread;
    request.file = file;
    request.signal_info = signal_info;
    request.thread_state = thread_state;
    const time_t now = time(nullptr);
    request.timestamp = now == static_cast<time_t>(-1) ? 0 : static_cast<std::int64_t>(now);

    // Only a write from outside the task can stop the other threads; inside they keep running and are
    // written bare. The stops wait a part of the write's time; reading the stopped threads takes at most
    // half of what is left (crsh_log_writer_read_deadline), and the note names the time it had.
    Plan plan{};
    listThreads(task, request, ws, &plan);
    std::uint64_t stopped = start;
    if (!request.inside) {
        stopThreads(ws, plan, request, start + CRSH_LOG_WRITER_STOP_WAIT_NS, &request.task_ended);
        stopped = crsh_async_clock_ns();
    }
    const std::uint64_t readEnd = crsh_log_writer_read_deadline(start, stopped);
    plan.read_ms = (readEnd - start) / 1000000;
    readThreads(context, request, ws, plan, readEnd);
    // Looked at once more after the reads: a kill may come at any time. A stopped thread does not end by
    // itself: one whose registers could not be read and that has ended went with its process.
    for (std::size_t row = 0; !request.inside && row < plan.count && !request.task_ended; ++row) {
        if (ws->threads[row].fate == kUnreadable)
            request.task_ended = threadHasEnded(task, ws->threads[row].thread);
    }
    if (!request.inside && !request.task_ended)
        request.task_ended = threadHasEnded(task, crashed_thread);
    if (request.task_ended)
        dropEndedThreads(ws, plan);
    fitToLimit(context, request, ws, &plan);
    writeReport(context, request, ws, plan);
    // A write the system refused (a full disk, a file size limit) is made again while the threads are still
    // stopped: first within the bytes the file took, then in the smallest form.
    const std::uint64_t limit = file->limit_bytes;
    while (!request.smallest && crsh_async_file_failed(file) && file->error != 0) {
        const std::uint64_t took = file->written_bytes;
        if (request.refusal == 0)
            request.refused_after = took;
        request.smallest = request.refusal != 0 || took == 0;
        request.refusal = file->error;
        if (!crsh_async_file_rewind(file, request.smallest ? limit : took))
            break;
        fitToLimit(context, request, ws, &plan);
        writeReport(context, request, ws, plan);
    }

    for (std::size_t row = 0; row < plan.count; ++row) {
        if (ws->threads[row].let_go)
            crsh_thread_resume(ws->threads[row].thread, ws->threads[row].pending_signal);
    }
    crsh_objc_cache_free(&cache);
    return CRSH_ERR_NONE;
}
