#include "crashreporter/crsh.pb-c.h"
#include "crashreporter/crsh_macho.h"
#include "crashreporter/crsh_signal_names.h"
#include "crashreporter/crsh_thread_state.h"
#include "crashreporter/crsh_writer_pack.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// The encoder's type numbers are the runtime's.
constexpr bool sameType(crsh_writer_type ours, ProtobufCType theirs)
{
    return static_cast<int>(ours) == static_cast<int>(theirs);
}
static_assert(sameType(CRSH_WRITER_INT32, PROTOBUF_C_TYPE_INT32) && sameType(CRSH_WRITER_SINT64, PROTOBUF_C_TYPE_SINT64) &&
              sameType(CRSH_WRITER_FIXED64, PROTOBUF_C_TYPE_FIXED64) && sameType(CRSH_WRITER_BOOL, PROTOBUF_C_TYPE_BOOL) &&
              sameType(CRSH_WRITER_ENUM, PROTOBUF_C_TYPE_ENUM) && sameType(CRSH_WRITER_BYTES, PROTOBUF_C_TYPE_BYTES) &&
              sameType(CRSH_WRITER_MESSAGE, PROTOBUF_C_TYPE_MESSAGE));

// A file in memory behind an async file, read back whole.
struct MemoryFile {
    int fd = memfd_create("crash-report", 0);
    crsh_async_file file;
    MemoryFile()
    {
        crsh_async_file_init(&file, fd, 0);
    }
    ~MemoryFile()
    {
        close(fd);
    }
    std::vector<std::uint8_t> bytes()
    {
        EXPECT_TRUE(crsh_async_file_flush(&file));
        std::vector<std::uint8_t> out(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
        EXPECT_EQ(pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
        return out;
    }
};

std::vector<std::uint8_t> pack(std::uint32_t field, crsh_writer_type type, const void* value)
{
    MemoryFile memory;
    std::size_t size = crsh_writer_pack(&memory.file, field, type, value);
    EXPECT_EQ(crsh_writer_pack(nullptr, field, type, value), size);
    auto bytes = memory.bytes();
    EXPECT_EQ(bytes.size(), size);
    return bytes;
}

using Bytes = std::vector<std::uint8_t>;

TEST(CrashWriterPack, FieldsEncodeAsTheWireFormatSays)
{
    std::uint32_t bodyLength = 18;
    EXPECT_EQ(crsh_writer_pack(nullptr, 9, CRSH_WRITER_MESSAGE, &bodyLength), 2u);
    EXPECT_EQ(pack(9, CRSH_WRITER_MESSAGE, &bodyLength), (Bytes{0x4A, 0x12}));

    std::int32_t minusOne = -1;
    Bytes tenBytes{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    EXPECT_EQ(pack(1, CRSH_WRITER_INT32, &minusOne), tenBytes);
    std::int32_t one = 1;
    EXPECT_EQ(pack(1, CRSH_WRITER_INT32, &one), (Bytes{0x08, 0x01}));

    std::int32_t s32 = -2;
    EXPECT_EQ(pack(2, CRSH_WRITER_SINT32, &s32), (Bytes{0x10, 0x03}));
    s32 = INT32_MIN;
    EXPECT_EQ(pack(2, CRSH_WRITER_SINT32, &s32), (Bytes{0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
    std::int64_t s64 = 2;
    EXPECT_EQ(pack(2, CRSH_WRITER_SINT64, &s64), (Bytes{0x10, 0x04}));
    s64 = INT64_MIN;
    EXPECT_EQ(pack(2, CRSH_WRITER_SINT64, &s64).size(), 11u);

    std::uint64_t u64 = UINT64_MAX;
    EXPECT_EQ(pack(3, CRSH_WRITER_UINT64, &u64).size(), 11u);
    std::uint32_t u32 = 300;
    EXPECT_EQ(pack(3, CRSH_WRITER_UINT32, &u32), (Bytes{0x18, 0xAC, 0x02}));
    EXPECT_EQ(pack(3, CRSH_WRITER_ENUM, &u32), (Bytes{0x18, 0xAC, 0x02}));

    std::uint32_t f32 = 0x04030201;
    EXPECT_EQ(pack(1, CRSH_WRITER_FIXED32, &f32), (Bytes{0x0D, 1, 2, 3, 4}));
    double f64 = 1.0;
    EXPECT_EQ(pack(1, CRSH_WRITER_DOUBLE, &f64), (Bytes{0x09, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));

    std::uint8_t truth = 1, odd = 0x80, falsity = 0;
    EXPECT_EQ(pack(4, CRSH_WRITER_BOOL, &truth), (Bytes{0x20, 0x01}));
    EXPECT_EQ(pack(4, CRSH_WRITER_BOOL, &odd), (Bytes{0x20, 0x01})); // never a broken varint
    EXPECT_EQ(pack(4, CRSH_WRITER_BOOL, &falsity), (Bytes{0x20, 0x00}));

    EXPECT_EQ(pack(1, CRSH_WRITER_STRING, "abc"), (Bytes{0x0A, 0x03, 'a', 'b', 'c'}));
    EXPECT_EQ(pack(1, CRSH_WRITER_STRING, ""), (Bytes{0x0A, 0x00}));
    std::uint8_t raw[2] = {0, 0xFF};
    crsh_writer_bytes value{sizeof raw, raw};
    EXPECT_EQ(pack(2, CRSH_WRITER_BYTES, &value), (Bytes{0x12, 0x02, 0x00, 0xFF}));

    // Field numbers from 2^29 up need a tag above 32 bits.
    EXPECT_EQ(pack((1u << 29) + 1, CRSH_WRITER_UINT32, &one).size(), 6u);
    EXPECT_EQ(pack(UINT32_MAX, CRSH_WRITER_UINT32, &one).size(), 6u);
}

TEST(CrashWriterPack, VarintsTakeOneToTenBytes)
{
    std::uint8_t out[CRSH_WRITER_VARINT_MAX_BYTES];
    EXPECT_EQ(crsh_writer_pack_varint64(0, out), 1u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(crsh_writer_pack_varint64(127, out), 1u);
    EXPECT_EQ(crsh_writer_pack_varint64(128, out), 2u);
    EXPECT_EQ(out[0], 0x80);
    EXPECT_EQ(out[1], 0x01);
    EXPECT_EQ(crsh_writer_pack_varint64(UINT64_MAX, out), 10u);
    EXPECT_EQ(out[9], 0x01);
}

TEST(CrashWriterPackDeathTest, ATypeOutsideTheTableAborts)
{
    std::uint32_t value = 0;
    EXPECT_DEATH(crsh_writer_pack(nullptr, 1, static_cast<crsh_writer_type>(17), &value), "");
}

// Emits a nested message the way the crash log writer does: a sizing pass with no file, the tag and
// size, then the same calls with the file.
std::size_t message(crsh_async_file* file, std::uint32_t field, const std::function<std::size_t(crsh_async_file*)>& body)
{
    std::uint32_t length = static_cast<std::uint32_t>(body(nullptr));
    std::size_t size = crsh_writer_pack(file, field, CRSH_WRITER_MESSAGE, &length);
    if (file != nullptr) {
        EXPECT_EQ(body(file), length);
    }
    return size + length;
}

TEST(CrashReportFormat, AReportWrittenFieldByFieldUnpacksWithTheGeneratedCode)
{
    MemoryFile memory;
    ASSERT_TRUE(crsh_async_file_write(&memory.file, "crshlog\x01", 8));
    crsh_async_file* f = &memory.file;
    crsh_thread_state state;
    ASSERT_EQ(crsh_thread_state_init(&state, CRSH_CPU_TYPE_ARM64), CRSH_ERR_NONE);
    std::uint8_t yes = 1, no = 0;
    std::uint8_t uuid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    crsh_writer_bytes uuidBytes{sizeof uuid, uuid};
    std::uint32_t iphoneOS = CRSH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_OS;
    std::uint32_t unknownArch = CRSH__ARCHITECTURE__ARCHITECTURE_UNKNOWN, mach = 1;
    std::int64_t timestamp = 1765000000;
    std::uint64_t arm64 = 0x0100000C, subtype = 0, pc1 = 0x1000, pc2 = 0x2000, symbolStart = 0xFF0;
    std::uint64_t base = 0x100000000, imageSize = 0x4000, address = 0xDEAD, machType = 1, code0 = 2, code1 = 3;
    std::uint32_t cpus = 8, pid = 4242, ppid = 1, threadNumber = 0;
    char nameBuffer[CRSH_SIGNAL_NUMBER_TEXT_BYTES], codeBuffer[CRSH_SIGNAL_NUMBER_TEXT_BYTES];
    auto processor = [&](crsh_async_file* g) {
        return crsh_writer_pack(g, 1, CRSH_WRITER_ENUM, &mach) + crsh_writer_pack(g, 2, CRSH_WRITER_UINT64, &arm64) +
               crsh_writer_pack(g, 3, CRSH_WRITER_UINT64, &subtype);
    };

    message(f, 9, [&](crsh_async_file* g) {
        return crsh_writer_pack(g, 1, CRSH_WRITER_BOOL, &no) + crsh_writer_pack(g, 2, CRSH_WRITER_BYTES, &uuidBytes);
    });
    message(f, 1, [&](crsh_async_file* g) {
        return crsh_writer_pack(g, 1, CRSH_WRITER_ENUM, &iphoneOS) + crsh_writer_pack(g, 2, CRSH_WRITER_STRING, "6.1") +
               crsh_writer_pack(g, 5, CRSH_WRITER_STRING, "10B141") +
               crsh_writer_pack(g, 3, CRSH_WRITER_ENUM, &unknownArch) +
               crsh_writer_pack(g, 4, CRSH_WRITER_INT64, &timestamp);
    });
    message(f, 8, [&](crsh_async_file* g) {
        return crsh_writer_pack(g, 1, CRSH_WRITER_STRING, "iPhone5,2") + message(g, 2, processor) +
               crsh_writer_pack(g, 3, CRSH_WRITER_UINT32, &cpus) + crsh_writer_pack(g, 4, CRSH_WRITER_UINT32, &cpus);
    });
    message(f, 2, [&](crsh_async_file* g) {
        return crsh_writer_pack(g, 1, CRSH_WRITER_STRING, "com.example.host") +
               crsh_writer_pack(g, 2, CRSH_WRITER_STRING, "1.0");
    });
    message(f, 7, [&](crsh_async_file* g) {
        return crsh_writer_pack(g, 1, CRSH_WRITER_STRING, "host") + crsh_writer_pack(g, 2, CRSH_WRITER_UINT32, &pid) +
               crsh_writer_pack(g, 5, CRSH_WRITER_UINT32, &ppid) + crsh_writer_pack(g, 6, CRSH_WRITER_BOOL, &yes) +
               crsh_writer_pack(g, 7, CRSH_WRITER_UINT64, &timestamp);
    });
    message(f, 3, [&](crsh_async_file* g) {
        std::size_t size = crsh_writer_pack(g, 1, CRSH_WRITER_UINT32, &threadNumber) +
                           crsh_writer_pack(g, 3, CRSH_WRITER_BOOL, &yes);
        for (crsh_regnum_t r = 0; r < crsh_thread_state_get_reg_count(&state); ++r) {
            std::uint64_t value = r;
            size += message(g, 4, [&](crsh_async_file* h) {
                return crsh_writer_pack(h, 1, CRSH_WRITER_STRING, crsh_thread_state_get_reg_name(&state, r)) +
                       crsh_writer_pack(h, 2, CRSH_WRITER_UINT64, &value);
            });
        }
        size += message(g, 2, [&](crsh_async_file* h) {
            return crsh_writer_pack(h, 3, CRSH_WRITER_UINT64, &pc1) + message(h, 6, [&](crsh_async_file* s) {
                       return crsh_writer_pack(s, 1, CRSH_WRITER_STRING, "-[Root method]") +
                              crsh_writer_pack(s, 2, CRSH_WRITER_UINT64, &symbolStart);
                   });
        });
        size += message(g, 2, [&](crsh_async_file* h) { return crsh_writer_pack(h, 3, CRSH_WRITER_UINT64, &pc2); });
        return size;
    });
    message(f, 4, [&](crsh_async_file* g) {
        return crsh_writer_pack(g, 2, CRSH_WRITER_UINT64, &imageSize) +
               crsh_writer_pack(g, 1, CRSH_WRITER_UINT64, &base) +
               crsh_writer_pack(g, 3, CRSH_WRITER_STRING, "/usr/lib/libhost.dylib") +
               crsh_writer_pack(g, 4, CRSH_WRITER_BYTES, &uuidBytes) + message(g, 5, processor);
    });
    message(f, 6, [&](crsh_async_file* g) {
        return crsh_writer_pack(g, 1, CRSH_WRITER_STRING, crsh_signal_name_text(11, nameBuffer)) +
               crsh_writer_pack(g, 2, CRSH_WRITER_STRING, crsh_signal_code_name_text(11, 1, codeBuffer)) +
               crsh_writer_pack(g, 3, CRSH_WRITER_UINT64, &address) + message(g, 4, [&](crsh_async_file* h) {
                   return crsh_writer_pack(h, 1, CRSH_WRITER_UINT64, &machType) +
                          crsh_writer_pack(h, 2, CRSH_WRITER_UINT64, &code0) +
                          crsh_writer_pack(h, 2, CRSH_WRITER_UINT64, &code1);
               });
    });
    EXPECT_FALSE(crsh_async_file_failed(f));

    auto bytes = memory.bytes();
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), std::string("crshlog\x01", 8));
    Crsh__CrashReport* report = crsh__crash_report__unpack(nullptr, bytes.size() - 8, bytes.data() + 8);
    ASSERT_NE(report, nullptr);

    ASSERT_NE(report->report_info, nullptr);
    EXPECT_FALSE(report->report_info->user_requested);
    ASSERT_TRUE(report->report_info->has_uuid);
    EXPECT_EQ(Bytes(report->report_info->uuid.data, report->report_info->uuid.data + 16), Bytes(uuid, uuid + 16));
    EXPECT_EQ(report->system_info->operating_system, CRSH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_OS);
    EXPECT_STREQ(report->system_info->os_version, "6.1");
    EXPECT_STREQ(report->system_info->os_build, "10B141");
    EXPECT_EQ(report->system_info->architecture, CRSH__ARCHITECTURE__ARCHITECTURE_UNKNOWN);
    EXPECT_EQ(report->system_info->timestamp, timestamp);
    ASSERT_NE(report->machine_info, nullptr);
    EXPECT_STREQ(report->machine_info->model, "iPhone5,2");
    EXPECT_EQ(report->machine_info->processor->type, arm64);
    EXPECT_EQ(report->machine_info->processor->encoding,
              CRSH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH);
    EXPECT_EQ(report->machine_info->logical_processor_count, 8u);
    EXPECT_STREQ(report->application_info->identifier, "com.example.host");
    EXPECT_STREQ(report->application_info->version, "1.0");
    ASSERT_NE(report->process_info, nullptr);
    EXPECT_EQ(report->process_info->process_id, pid);
    EXPECT_TRUE(report->process_info->native);
    EXPECT_EQ(report->process_info->process_path, nullptr);

    ASSERT_EQ(report->n_threads, 1u);
    const Crsh__CrashReport__Thread* thread = report->threads[0];
    EXPECT_TRUE(thread->crashed);
    ASSERT_EQ(thread->n_registers, 34u);
    EXPECT_STREQ(thread->registers[0]->name, "pc");
    EXPECT_STREQ(thread->registers[33]->name, "cpsr");
    EXPECT_EQ(thread->registers[33]->value, 33u);
    ASSERT_EQ(thread->n_frames, 2u);
    EXPECT_EQ(thread->frames[0]->pc, pc1);
    ASSERT_NE(thread->frames[0]->symbol, nullptr);
    EXPECT_STREQ(thread->frames[0]->symbol->name, "-[Root method]");
    EXPECT_EQ(thread->frames[0]->symbol->start_address, symbolStart);
    EXPECT_FALSE(thread->frames[0]->symbol->has_end_address);
    EXPECT_EQ(thread->frames[1]->symbol, nullptr);

    ASSERT_EQ(report->n_binary_images, 1u);
    EXPECT_EQ(report->binary_images[0]->base_address, base);
    EXPECT_EQ(report->binary_images[0]->size, imageSize);
    EXPECT_STREQ(report->binary_images[0]->name, "/usr/lib/libhost.dylib");
    ASSERT_NE(report->binary_images[0]->code_type, nullptr);
    EXPECT_EQ(report->exception, nullptr);

    EXPECT_STREQ(report->signal->name, "SIGSEGV");
    EXPECT_STREQ(report->signal->code, "SEGV_MAPERR");
    EXPECT_EQ(report->signal->address, address);
    ASSERT_NE(report->signal->mach_exception, nullptr);
    EXPECT_EQ(report->signal->mach_exception->type, machType);
    ASSERT_EQ(report->signal->mach_exception->n_codes, 2u);
    EXPECT_EQ(report->signal->mach_exception->codes[1], code1);
    crsh__crash_report__free_unpacked(report, nullptr);
}

TEST(CrashReportFormat, AReportMissingARequiredMessageDoesNotUnpack)
{
    MemoryFile memory;
    message(&memory.file, 2, [&](crsh_async_file* g) {
        return crsh_writer_pack(g, 1, CRSH_WRITER_STRING, "id") + crsh_writer_pack(g, 2, CRSH_WRITER_STRING, "1");
    });
    auto bytes = memory.bytes();
    EXPECT_EQ(crsh__crash_report__unpack(nullptr, bytes.size(), bytes.data()), nullptr);
}

TEST(CrashReportFormat, SignalsAndCodesAreNamedByTheReportsNumbersElseByNumber)
{
    char buffer[CRSH_SIGNAL_NUMBER_TEXT_BYTES];
    EXPECT_STREQ(crsh_signal_name_text(6, buffer), "SIGABRT");
    EXPECT_STREQ(crsh_signal_code_name_text(6, 0, buffer), "#0");
    EXPECT_STREQ(crsh_signal_name_text(40, buffer), "#40");
    EXPECT_STREQ(crsh_signal_name_text(0, buffer), "#0");
    EXPECT_STREQ(crsh_signal_name_text(-1, buffer), "#-1");
    EXPECT_STREQ(crsh_signal_name_text(INT_MIN, buffer), "#-2147483648");
    EXPECT_STREQ(crsh_signal_name(1), "SIGHUP");
    EXPECT_STREQ(crsh_signal_name(10), "SIGBUS");
    EXPECT_STREQ(crsh_signal_name(29), "SIGINFO");
    EXPECT_STREQ(crsh_signal_name(31), "SIGUSR2");
    EXPECT_EQ(crsh_signal_name(32), nullptr);

    EXPECT_STREQ(crsh_signal_code_name(4, 0), "ILL_NOOP");
    EXPECT_STREQ(crsh_signal_code_name(4, 8), "ILL_BADSTK");
    EXPECT_EQ(crsh_signal_code_name(4, 9), nullptr);
    EXPECT_STREQ(crsh_signal_code_name(8, 8), "FPE_INTOVF");
    EXPECT_STREQ(crsh_signal_code_name(11, 2), "SEGV_ACCERR");
    EXPECT_STREQ(crsh_signal_code_name(10, 3), "BUS_OBJERR");
    EXPECT_EQ(crsh_signal_code_name(5, 0), nullptr); // trap codes start at 1
    EXPECT_STREQ(crsh_signal_code_name(5, 1), "TRAP_BRKPT");
    EXPECT_STREQ(crsh_signal_code_name(5, 2), "TRAP_TRACE");
    EXPECT_EQ(crsh_signal_code_name(6, 1), nullptr);
    EXPECT_STREQ(crsh_signal_code_name_text(11, 7, buffer), "#7");
    EXPECT_STREQ(crsh_signal_code_name_text(2, 1, buffer), "#1");
}

} // namespace
