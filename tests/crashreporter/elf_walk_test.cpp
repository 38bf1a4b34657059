// Whole walks of this process's real stacks with the cursor's default readers: the call-frame information
// of the loaded objects carries the walk through code that keeps no frame records and through a function
// that ends with a call, and ends the walk at the stack's outermost frame without a made-up caller. The
// writer names the frames.
#include "crashreporter/crsh_frame_cursor.h"
#include "crashreporter/crsh_dwarf_unwind.h"
#include "crashreporter/crsh_log_writer.h"

#include "LoadedObjects.h"
#include "ReportFile.h"

#include <gtest/gtest.h>

#include <setjmp.h>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <elf.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

// Two functions in assembly, each with its call-frame information:
// - crashtest_without_frame_record(function): saves rbp, clears it and calls function, so that the
//   frame-pointer chain ends inside it; only its call-frame information leads to its caller.
// - crashtest_call_last(function): saves rbx and calls function as its very last instruction, so the
//   return address is the first byte of crashtest_after_call_last, whose description differs.
extern "C" void crashtest_without_frame_record(void (*function)());
extern "C" void crashtest_call_last(void (*function)());
extern "C" void crashtest_after_call_last();
asm(R"(
    .text
    .globl crashtest_without_frame_record
    .type crashtest_without_frame_record, @function
crashtest_without_frame_record:
    .cfi_startproc
    pushq %rbp
    .cfi_adjust_cfa_offset 8
    .cfi_rel_offset %rbp, 0
    xorl %ebp, %ebp
    call *%rdi
    popq %rbp
    .cfi_adjust_cfa_offset -8
    .cfi_restore %rbp
    ret
    .cfi_endproc
    .size crashtest_without_frame_record, .-crashtest_without_frame_record

    .globl crashtest_call_last
    .type crashtest_call_last, @function
crashtest_call_last:
    .cfi_startproc
    pushq %rbx
    .cfi_adjust_cfa_offset 8
    .cfi_rel_offset %rbx, 0
    call *%rdi
    .cfi_endproc
    .size crashtest_call_last, .-crashtest_call_last

    .globl crashtest_after_call_last
    .type crashtest_after_call_last, @function
crashtest_after_call_last:
    .cfi_startproc
    subq $40, %rsp
    .cfi_adjust_cfa_offset 40
    addq $40, %rsp
    .cfi_adjust_cfa_offset -40
    ret
    .cfi_endproc
    .size crashtest_after_call_last, .-crashtest_after_call_last
)");

namespace {

using crashtest::loadedObjects;

struct Walk {
    std::vector<std::uint64_t> pcs;
    crsh_frame_error_t end = CRSH_FRAME_ERR_NONE;
};

// Walks the captured state with the given readers (none: the cursor's default ones).
Walk walkFrom(const crsh_thread_state* state, const std::vector<crsh_frame_reader>& readers = {})
{
    crsh_frame_cursor cursor;
    EXPECT_EQ(crsh_frame_cursor_init(&cursor, getpid(), state, loadedObjects()), CRSH_FRAME_ERR_NONE);
    Walk walk;
    for (;;) {
        walk.end = readers.empty() ? crsh_frame_cursor_next(&cursor)
                                   : crsh_frame_cursor_next_with_readers(&cursor, readers.data(), readers.size());
        if (walk.end != CRSH_FRAME_ERR_NONE || walk.pcs.size() == 512)
            break;
        std::uint64_t pc = 0;
        EXPECT_EQ(crsh_frame_cursor_get_reg(&cursor, CRSH_REG_IP, &pc), CRSH_FRAME_ERR_NONE);
        walk.pcs.push_back(pc);
    }
    crsh_frame_cursor_free(&cursor);
    return walk;
}

// The walks taken inside the innermost function of a test, and the report written there.
struct Captured {
    Walk withDefaults;
    Walk byFramePointers;
    std::vector<std::uint8_t> report;
};
Captured g_captured;
jmp_buf g_back;

crsh_error_t walkAndReport(crsh_thread_state* state, void*)
{
    g_captured.withDefaults = walkFrom(state);
    g_captured.byFramePointers = walkFrom(state, {crsh_frame_read_frame_pointer});
    crsh_log_writer writer;
    EXPECT_EQ(crsh_log_writer_init(&writer, "com.example.walk", "1", 0x1, true), CRSH_ERR_NONE);
    std::FILE* file = std::tmpfile();
    crsh_async_file out;
    crsh_async_file_init(&out, dup(fileno(file)), 0);
    const crsh_log_writer_signal_info signal{SIGTRAP, TRAP_TRACE, 0, nullptr};
    EXPECT_EQ(crsh_log_writer_write(&writer, crsh_async_mach_thread_self(), loadedObjects(), &out, &signal, state),
              CRSH_ERR_NONE);
    EXPECT_TRUE(crsh_async_file_close(&out));
    crsh_log_writer_free(&writer);
    std::rewind(file);
    g_captured.report.clear();
    for (int c; (c = std::fgetc(file)) != EOF;)
        g_captured.report.push_back(static_cast<std::uint8_t>(c));
    std::fclose(file);
    return CRSH_ERR_NONE;
}

extern "C" __attribute__((noinline)) void captureHere()
{
    (void)crsh_async_thread_state_current(walkAndReport, nullptr);
    asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noreturn)) void captureAndGoBack()
{
    captureHere();
    longjmp(g_back, 1);
}

// The extents of this program's functions, from its own symbol table (the loader's lookup knows only the
// exported ones).
class ProgramFunctions {
public:
    static const ProgramFunctions& get()
    {
        static const ProgramFunctions functions;
        return functions;
    }

    // Whether address lies inside the function of that name.
    bool holds(const std::string& name, std::uint64_t address) const
    {
        for (const auto& [symbol, start, size] : m_functions)
            if (symbol == name && address >= start && address < start + size)
                return true;
        return false;
    }

private:
    ProgramFunctions()
    {
        std::ifstream in("/proc/self/exe", std::ios::binary);
        const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        Dl_info self{};
        if (file.size() < sizeof(Elf64_Ehdr) || dladdr(reinterpret_cast<const void*>(&loadedObjects), &self) == 0)
            return;
        const auto base = reinterpret_cast<std::uint64_t>(self.dli_fbase);
        Elf64_Ehdr header;
        std::memcpy(&header, file.data(), sizeof header);
        for (int i = 0; i < header.e_shnum; ++i) {
            Elf64_Shdr section;
            std::memcpy(&section, file.data() + header.e_shoff + i * sizeof section, sizeof section);
            if (section.sh_type != SHT_SYMTAB)
                continue;
            Elf64_Shdr strings;
            std::memcpy(&strings, file.data() + header.e_shoff + section.sh_link * sizeof strings, sizeof strings);
            for (std::size_t at = section.sh_offset; at + sizeof(Elf64_Sym) <= section.sh_offset + section.sh_size;
                 at += sizeof(Elf64_Sym)) {
                Elf64_Sym symbol;
                std::memcpy(&symbol, file.data() + at, sizeof symbol);
                if (ELF64_ST_TYPE(symbol.st_info) == STT_FUNC && symbol.st_shndx != SHN_UNDEF)
                    m_functions.emplace_back(file.data() + strings.sh_offset + symbol.st_name,
                                             base + symbol.st_value, symbol.st_size);
            }
        }
    }

    std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> m_functions;
};

// Whether the frames, one after another, are inside the named functions in this order (each a caller of
// the one before), anywhere in the walk. Every pc here is a return address: the byte before it tells.
bool passesThrough(const std::vector<std::uint64_t>& pcs, const std::vector<std::string>& functions)
{
    for (std::size_t start = 0; start + functions.size() <= pcs.size(); ++start) {
        bool all = true;
        for (std::size_t i = 0; i < functions.size() && all; ++i)
            all = ProgramFunctions::get().holds(functions[i], pcs[start + i] - 1);
        if (all)
            return true;
    }
    return false;
}

// Every frame lies in a listed object.
void expectEveryFrameInAnObject(const Walk& walk)
{
    crsh_image_list_set_reading(loadedObjects(), true);
    for (std::uint64_t pc : walk.pcs)
        EXPECT_NE(crsh_image_list_find(loadedObjects(), pc - 1), nullptr) << std::hex << pc;
    crsh_image_list_set_reading(loadedObjects(), false);
}

extern "C" __attribute__((noinline)) void throughAFunctionWithoutFrameRecord()
{
    crashtest_without_frame_record(captureHere);
    asm volatile("" ::: "memory");
}

TEST(ElfWalk, CallFrameInformationCarriesTheWalkWhereTheFramePointerChainEnds)
{
    throughAFunctionWithoutFrameRecord();
    EXPECT_TRUE(passesThrough(g_captured.withDefaults.pcs, {"captureHere", "crashtest_without_frame_record",
                                                            "throughAFunctionWithoutFrameRecord"}));
    EXPECT_EQ(g_captured.withDefaults.end, CRSH_FRAME_ERR_NO_FRAME);
    expectEveryFrameInAnObject(g_captured.withDefaults);
    // The frame-pointer chain alone stops inside the function that keeps no record.
    ASSERT_FALSE(g_captured.byFramePointers.pcs.empty());
    EXPECT_TRUE(ProgramFunctions::get().holds("crashtest_without_frame_record",
                                              g_captured.byFramePointers.pcs.back() - 1));
    EXPECT_LT(g_captured.byFramePointers.pcs.size(), g_captured.withDefaults.pcs.size());
}

extern "C" __attribute__((noinline)) void throughAFunctionEndingInACall()
{
    if (setjmp(g_back) == 0)
        crashtest_call_last(captureAndGoBack);
    asm volatile("" ::: "memory");
}

TEST(ElfWalk, AFunctionEndingInACallIsUnwoundAndNamedByItsOwnDescription)
{
    throughAFunctionEndingInACall();
    const Walk& walk = g_captured.withDefaults;
    // The return address into crashtest_call_last is crashtest_after_call_last's first byte.
    bool returnsPastTheEnd = false;
    for (std::uint64_t pc : walk.pcs)
        returnsPastTheEnd |= pc == reinterpret_cast<std::uint64_t>(&crashtest_after_call_last);
    ASSERT_TRUE(returnsPastTheEnd);
    EXPECT_TRUE(passesThrough(walk.pcs, {"captureAndGoBack", "crashtest_call_last", "throughAFunctionEndingInACall"}));
    expectEveryFrameInAnObject(walk);

    // The report names that frame after the function it returns into, not the one its address starts.
    crashtest::Report report = crashtest::unpackReport(g_captured.report);
    ASSERT_TRUE(report);
    const Crsh__CrashReport__Thread* thread = crashtest::crashedThread(report.get());
    ASSERT_NE(thread, nullptr);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < thread->n_frames; ++i)
        names.push_back(thread->frames[i]->symbol != nullptr ? thread->frames[i]->symbol->name : "");
    EXPECT_NE(std::find(names.begin(), names.end(), "_crashtest_call_last"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "_crashtest_after_call_last"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "_throughAFunctionEndingInACall"), names.end());
}

TEST(ElfWalk, WalksEndAtTheOutermostFrameOfTheMainThreadAndOfAnother)
{
    captureHere();
    Walk main = g_captured.withDefaults;
    std::thread([] { captureHere(); }).join();
    Walk other = g_captured.withDefaults;
    for (const Walk* walk : {&main, &other}) {
        EXPECT_EQ(walk->end, CRSH_FRAME_ERR_NO_FRAME);
        EXPECT_LT(walk->pcs.size(), 512u);
        expectEveryFrameInAnObject(*walk);
    }
    // The main thread's outermost frame is the program's entry.
    ASSERT_FALSE(main.pcs.empty());
    EXPECT_TRUE(ProgramFunctions::get().holds("_start", main.pcs.back() - 1)) << std::hex << main.pcs.back();
}

} // namespace
