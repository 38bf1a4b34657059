#include "crashreporter/crsh_log_writer.h"

#include "crashreporter/crsh_frame_cursor.h"
#include "crashreporter/crsh_objc.h"
#include "crashreporter/crsh_signal_names.h"
#include "crashreporter/crsh_sysctl.h"
#include "crashreporter/crsh_thread_suspend.h"
#include "crashreporter/crsh_writer_pack.h"
#include "platform/Device.h"
#include "platform/Log.h"
#include "platform/Text.h"

#include <fcntl.h>
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
    writer->uncaught_exception.name = copyString(exception.name);
    writer->uncaught_exception.reason = copyString(exception.reason);
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

// The symbol of the code at address, when the strategy finds one.
FoundName symbolAt(const WriteContext& context, std::uint64_t address)
{
    FoundName symbol{};
    if (context.images != nullptr && context.writer->symbol_strategy != 0) {
        crsh_image_list_set_reading(context.images, true);
        crsh_macho_image* image = crsh_image_list_find(context.images, address);
        if (image != nullptr)
            (void)crsh_find_symbol(image, context.writer->symbol_strategy, context.cache, address, keepName, &symbol);
        crsh_image_list_set_reading(context.images, false);
    }
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

// One thread's registers (the crashed thread's first frame only) and frames: walked once, then written
// twice (the thread message's size, then the message), so that both passes see the same frames.
constexpr std::size_t kMaxRegisters = 64;
struct WalkedStack {
    std::size_t register_count;
    struct {
        const char* name;
        std::uint64_t value;
    } registers[kMaxRegisters];
    std::size_t frame_count;
    std::uint64_t pcs[CRSH_LOG_WRITER_MAX_FRAMES];
};

void walkStack(const WriteContext& context, const crsh_thread_state* state, bool crashed, WalkedStack* walked)
{
    walked->register_count = 0;
    walked->frame_count = 0;
    crsh_frame_cursor cursor;
    if (crsh_frame_cursor_init(&cursor, context.task, state, context.images) != CRSH_FRAME_ERR_NONE)
        return;
    if (crsh_frame_cursor_next(&cursor) == CRSH_FRAME_ERR_NONE) {
        while (walked->frame_count < CRSH_LOG_WRITER_MAX_FRAMES) {
            if (walked->frame_count == 0 && crashed) {
                const std::size_t count = crsh_frame_cursor_get_regcount(&cursor);
                for (std::size_t reg = 0; reg < count && reg < kMaxRegisters; ++reg) {
                    auto index = static_cast<crsh_regnum_t>(reg);
                    std::uint64_t value = 0;
                    if (crsh_frame_cursor_get_reg(&cursor, index, &value) != CRSH_FRAME_ERR_NONE)
                        value = 0;
                    walked->registers[reg] = {crsh_frame_cursor_get_regname(&cursor, index), value};
                    walked->register_count = reg + 1;
                }
            }
            std::uint64_t pc = 0;
            if (crsh_frame_cursor_get_reg(&cursor, CRSH_REG_IP, &pc) != CRSH_FRAME_ERR_NONE)
                break;
            walked->pcs[walked->frame_count++] = pc;
            if (crsh_frame_cursor_next(&cursor) != CRSH_FRAME_ERR_NONE)
                break;
        }
    }
    crsh_frame_cursor_free(&cursor);
}

std::size_t putStack(File* file, const WriteContext& context, const WalkedStack& walked)
{
    std::size_t size = 0;
    for (std::size_t reg = 0; reg < walked.register_count; ++reg) {
        const auto& value = walked.registers[reg];
        size += putMessage(file, 4, [&](File* out) { return putString(out, 1, value.name) + putU64(out, 2, value.value); });
    }
    for (std::size_t frame = 0; frame < walked.frame_count; ++frame)
        size += putFrame(file, 2, context, walked.pcs[frame], frame > 0);
    return size;
}

std::size_t putThread(File* file, const WriteContext& context, std::uint32_t number, bool crashed,
                      const crsh_thread_state* state)
{
    WalkedStack walked;
    walked.register_count = 0;
    walked.frame_count = 0;
    if (state != nullptr)
        walkStack(context, state, crashed, &walked);
    return putMessage(file, report::Threads, [&](File* out) {
        return putU32(out, 1, number) + putBool(out, 3, crashed) + putStack(out, context, walked);
    });
}

// "/proc/<pid>/task" into path (a stack buffer), without the C library.
void taskDirectory(crsh_task_t task, char (&path)[32])
{
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
template <typename Visit>
void forEachThread(crsh_task_t task, Visit&& visit)
{
    char path[32];
    taskDirectory(task, path);
    int directory = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return;
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
}

// The other threads of a write, and which of them it stopped. Only a write from outside the task can stop
// them; inside it they keep running and are written bare.
constexpr std::size_t kMaxStoppedThreads = 4096;
// How long the write waits for all the threads it asked to stop.
constexpr std::uint64_t kStopWaitNanoseconds = 2000000000;

struct StoppedThread {
    crsh_thread_t thread;
    int pending_signal;
    bool stopped;
};

struct ThreadStops {
    StoppedThread* entries; // none inside the task
    std::size_t count;
    std::size_t others;  // listed threads besides the one whose state is given (and the writing one)
    std::size_t stopped; // of those, the ones stopped
    bool refused;        // tracing was refused for some of them

    bool isStopped(crsh_thread_t thread) const
    {
        for (std::size_t i = 0; i < count; ++i) {
            if (entries[i].thread == thread)
                return entries[i].stopped;
        }
        return false;
    }
};

// What the report says of the other threads when some of them are written bare.
const char* threadsNote(const ThreadStops& stops)
{
    if (stops.stopped == stops.others)
        return nullptr;
    if (stops.entries == nullptr)
        return "not stopped: the report was written inside the crashed process; listed without registers or frames";
    if (stops.stopped == 0 && stops.refused)
        return "not stopped: tracing was refused; listed without registers or frames";
    return "some could not be stopped; those are listed without registers or frames";
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

} // namespace

namespace {

struct WriteRequest {
    crsh_thread_t crashed_thread;
    crsh_thread_t self;         // the writing thread
    bool inside;                // the writing thread is one of the task's
    crsh_thread_t state_thread; // the thread whose state is given; 0 for none
    crsh_async_file* file;
    const crsh_log_writer_signal_info* signal_info;
    const crsh_thread_state* thread_state;
};

void writeReport(const WriteContext& context, const WriteRequest& request, const ThreadStops& stops)
{
    crsh_log_writer* writer = context.writer;
    crsh_async_file* file = request.file;
    static constexpr char kMagic[] = "crshlog";
    (void)crsh_async_file_write(file, kMagic, 7);
    (void)crsh_async_file_write(file, &CRSH_LOG_FILE_VERSION, 1);

    const char* note = threadsNote(stops);
    putMessage(file, report::ReportInfo, [&](File* out) {
        std::size_t size = putBool(out, 1, writer->user_requested) + putBytes(out, 2, writer->uuid, sizeof writer->uuid);
        if (note != nullptr)
            size += putString(out, 3, note);
        return size;
    });
    putMessage(file, report::SystemInfo, [&](File* out) {
        time_t now = time(nullptr);
        std::int64_t timestamp = now == static_cast<time_t>(-1) ? 0 : static_cast<std::int64_t>(now);
        std::size_t size = putEnum(out, 1, kIPhoneOS) + putString(out, 2, writer->system_info.version);
        if (writer->system_info.build != nullptr)
            size += putString(out, 5, writer->system_info.build);
        size += putEnum(out, 3, kArchitectureUnknown);
        size += crsh_writer_pack(out, 4, CRSH_WRITER_INT64, &timestamp);
        return size;
    });
    putMessage(file, report::MachineInfo, [&](File* out) {
        std::size_t size = 0;
        if (writer->machine_info.model != nullptr)
            size += putString(out, 1, writer->machine_info.model);
        size += putProcessor(out, 2, static_cast<std::uint32_t>(writer->machine_info.cpu_type),
                             static_cast<std::uint32_t>(writer->machine_info.cpu_subtype));
        return size + putU32(out, 3, writer->machine_info.processor_count) +
               putU32(out, 4, writer->machine_info.logical_processor_count);
    });
    putMessage(file, report::ApplicationInfo, [&](File* out) {
        return putString(out, 1, writer->application_info.identifier) +
               putString(out, 2, writer->application_info.version);
    });
    putMessage(file, report::ProcessInfo, [&](File* out) {
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

    std::uint32_t number = 0;
    forEachThread(context.task, [&](crsh_thread_t thread) {
        if (request.inside && thread == request.self && request.thread_state == nullptr)
            return;
        const crsh_thread_state* state = nullptr;
        crsh_thread_state read;
        if (thread == request.state_thread)
            state = request.thread_state;
        else if (stops.isStopped(thread) && crsh_thread_state_thread_init(&read, thread) == CRSH_ERR_NONE)
            state = &read;
        putThread(file, context, number++, thread == request.crashed_thread, state);
    });

    crsh_image_list* image_list = context.images;
    if (image_list != nullptr) {
        crsh_image_list_set_reading(image_list, true);
        for (crsh_macho_image* image = crsh_image_list_next(image_list, nullptr); image != nullptr;
             image = crsh_image_list_next(image_list, image))
            putImage(file, image);
        crsh_image_list_set_reading(image_list, false);
    }

    if (writer->uncaught_exception.has_exception) {
        const auto& exception = writer->uncaught_exception;
        putMessage(file, report::Exception, [&](File* out) {
            std::size_t size = putString(out, 1, exception.name) + putString(out, 2, exception.reason);
            for (std::size_t i = 0; i < exception.callstack_count && i < CRSH_LOG_WRITER_MAX_FRAMES; ++i)
                size += putFrame(out, 3, context, exception.callstack[i], true);
            return size;
        });
    }

    putSignal(file, request.signal_info);
}

// Whether the thread is one that the write leaves to run: the given state's and the writing one.
bool isOwnThread(const WriteRequest& request, crsh_thread_t thread)
{
    return thread == request.state_thread || (request.inside && thread == request.self);
}

// From outside the task: asks every other thread to stop (they stop side by side), waits for each, writes,
// and lets the stopped ones go with the signals they were about to take. Its own frame holds the list, so
// that a write inside the task (on a signal stack) does not carry it.
__attribute__((noinline)) void writeStopped(const WriteContext& context, const WriteRequest& request)
{
    StoppedThread entries[kMaxStoppedThreads];
    ThreadStops stops{entries, 0, 0, 0, false};
    forEachThread(context.task, [&](crsh_thread_t thread) {
        if (isOwnThread(request, thread))
            return;
        ++stops.others;
        if (stops.count == kMaxStoppedThreads)
            return; // written bare
        const crsh_error_t requested = crsh_thread_suspend_request(thread);
        stops.refused |= requested == CRSH_ERR_ACCESS_DENIED;
        if (requested == CRSH_ERR_NONE)
            entries[stops.count++] = {thread, 0, false};
    });
    const std::uint64_t deadline = crsh_async_clock_ns() + kStopWaitNanoseconds;
    for (std::size_t i = 0; i < stops.count; ++i) {
        StoppedThread& entry = entries[i];
        entry.stopped = crsh_thread_suspend_wait(entry.thread, deadline, &entry.pending_signal) == CRSH_ERR_NONE;
        stops.stopped += entry.stopped ? 1 : 0;
    }

    writeReport(context, request, stops);

    for (std::size_t i = 0; i < stops.count; ++i) {
        if (entries[i].stopped)
            crsh_thread_resume(entries[i].thread, entries[i].pending_signal);
    }
}

} // namespace

crsh_error_t crsh_log_writer_write(crsh_log_writer* writer, crsh_thread_t crashed_thread, crsh_image_list* image_list,
                                   crsh_async_file* file, const crsh_log_writer_signal_info* signal_info,
                                   const crsh_thread_state* thread_state)
{
    (void)g_recordsPublished.load(std::memory_order_acquire);
    crsh_objc_cache cache;
    (void)crsh_objc_cache_init(&cache);
    const crsh_task_t task = image_list != nullptr ? image_list->task : crsh_async_task_self();
    const WriteContext context{writer, task, image_list, &cache};

    WriteRequest request{};
    request.crashed_thread = crashed_thread;
    request.self = crsh_async_mach_thread_self();
    request.inside = task == crsh_async_task_self();
    if (thread_state != nullptr)
        request.state_thread = request.inside ? request.self : crashed_thread;
    request.file = file;
    request.signal_info = signal_info;
    request.thread_state = thread_state;

    if (request.inside) {
        ThreadStops stops{nullptr, 0, 0, 0, false};
        forEachThread(task, [&](crsh_thread_t thread) { stops.others += isOwnThread(request, thread) ? 0 : 1; });
        writeReport(context, request, stops);
    } else {
        writeStopped(context, request);
    }
    crsh_objc_cache_free(&cache);
    return CRSH_ERR_NONE;
}
