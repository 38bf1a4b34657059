#include "crashreporter/CRCrashSignalHandler.h"

#include "CrashChild.h"
#include "platform/runloop/ThreadHooks.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Calls seen, in order (signal handlers append; the test reads afterwards).
char g_order[16];
std::atomic<int> g_orderLength{0};
std::atomic<int> g_previousCalls{0};
std::atomic<int> g_lastSignal{0};

void note(char c)
{
    int at = g_orderLength.fetch_add(1);
    if (at < static_cast<int>(sizeof g_order))
        g_order[at] = c;
}

std::string order()
{
    return std::string(g_order, static_cast<std::size_t>(std::min<int>(g_orderLength.load(), sizeof g_order)));
}

template <char Name>
bool forwarding(int signo, siginfo_t* info, ucontext_t* uap, void*, crsh_signal_handler_callback* next)
{
    note(Name);
    g_lastSignal = signo;
    return crsh_signal_forward(next, signo, info, uap);
}

bool declining(int, siginfo_t*, ucontext_t*, void*, crsh_signal_handler_callback*)
{
    note('x');
    return false;
}

void countingHandler(int)
{
    g_previousCalls.fetch_add(1);
}

// Starts each case from empty lists and the given action for each signal.
void setAction(int signo, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(signo, &action, nullptr), 0);
}

void freshChain()
{
    CRCrashSignalHandler::resetHandlers();
    g_orderLength = 0;
    g_previousCalls = 0;
    g_lastSignal = 0;
}

CRCrashSignalHandler& shared()
{
    CRCrashSignalHandler* handler = CRCrashSignalHandler::sharedHandler();
    EXPECT_NE(handler, nullptr);
    return *handler;
}

TEST(CrashSignalHandler, RegisteringASignalTwiceInstallsOnceAndCallsTheLaterCallbackFirst)
{
    freshChain();
    setAction(SIGUSR1, countingHandler);
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR1, forwarding<'a'>, nullptr).ok());
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR1, forwarding<'b'>, nullptr).ok());
    struct sigaction installed = {};
    ASSERT_EQ(sigaction(SIGUSR1, nullptr, &installed), 0);
    EXPECT_EQ(installed.sa_sigaction, crsh_signal_handler);
    EXPECT_EQ(installed.sa_flags & (SA_SIGINFO | SA_ONSTACK), SA_SIGINFO | SA_ONSTACK);

    raise(SIGUSR1);
    EXPECT_EQ(order(), "ba");
    // The first previous action (the counting handler, not the chain's own entry) ends the chain once.
    EXPECT_EQ(g_previousCalls.load(), 1);
    freshChain();
}

// The protection of the mapping that holds the address ("" when none), from /proc/self/maps.
std::string protectionAt(std::uintptr_t address)
{
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        unsigned long start = 0, end = 0;
        char permissions[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, permissions) == 3 && address >= start &&
            address < end)
            return permissions;
    }
    return "";
}

// The calling thread's alternate stack lies between two guard pages: ("below", "stack", "above").
std::vector<std::string> guardsOfAlternateStack()
{
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) != 0)
        return {};
    EXPECT_EQ(current.ss_size, CRCrashSignalHandler::kAlternateStackBytes);
    const auto bottom = reinterpret_cast<std::uintptr_t>(current.ss_sp);
    return {protectionAt(bottom - 1), protectionAt(bottom), protectionAt(bottom + current.ss_size)};
}

// The registering thread's alternate stack, and a platform thread's, are mappings between guard pages
// (a handler that overruns one faults instead of writing over the heap).
TEST(CrashSignalHandler, AlternateStacksLieBetweenGuardPages)
{
    freshChain();
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR1, forwarding<'a'>, nullptr).ok());
    const std::vector<std::string> guarded{"---p", "rw-p", "---p"};
    EXPECT_EQ(guardsOfAlternateStack(), guarded);
    std::thread platformThread([&] {
        stack_t before{};
        ASSERT_EQ(sigaltstack(nullptr, &before), 0);
        platform::enterPlatformThread();
        // A thread that has a stack already (the sanitizers give threads theirs) keeps it.
        if ((before.ss_flags & SS_DISABLE) != 0) {
            EXPECT_EQ(guardsOfAlternateStack(), guarded);
        }
    });
    platformThread.join();
    freshChain();
}

TEST(CrashSignalHandler, EveryCaughtSignalWalksTheWholeChain)
{
    freshChain();
    setAction(SIGUSR1, countingHandler);
    setAction(SIGUSR2, countingHandler);
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR2, forwarding<'u'>, nullptr).ok());
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR1, forwarding<'v'>, nullptr).ok());
    raise(SIGUSR2);
    EXPECT_EQ(order(), "vu"); // registered for SIGUSR1, called first for SIGUSR2 too
    EXPECT_EQ(g_lastSignal.load(), SIGUSR2);
    EXPECT_EQ(g_previousCalls.load(), 1);
    freshChain();
}

TEST(CrashSignalHandler, APreviousIgnoreActionCountsAsHandled)
{
    freshChain();
    setAction(SIGUSR2, SIG_IGN);
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR2, forwarding<'i'>, nullptr).ok());
    raise(SIGUSR2); // survives
    EXPECT_EQ(order(), "i");

    // Also when the ignore action carries SA_SIGINFO: it is not a function to call.
    freshChain();
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    ignore.sa_flags = SA_SIGINFO;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &ignore, nullptr), 0);
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR2, forwarding<'j'>, nullptr).ok());
    raise(SIGUSR2);
    EXPECT_EQ(order(), "j");
    freshChain();
}

void informationHandler(int signo, siginfo_t* info, void*)
{
    if (info != nullptr && info->si_signo == signo)
        g_previousCalls.fetch_add(1);
}

TEST(CrashSignalHandler, APreviousInformationHandlerGetsTheSignalsInformation)
{
    freshChain();
    struct sigaction action = {};
    action.sa_sigaction = informationHandler;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR1, forwarding<'k'>, nullptr).ok());
    raise(SIGUSR1);
    EXPECT_EQ(order(), "k");
    EXPECT_EQ(g_previousCalls.load(), 1);
    freshChain();
}

TEST(CrashSignalHandler, AnUnknownSignalIsAnError)
{
    freshChain();
    platform::Result<void> result = shared().registerHandlerForSignal(SIGKILL, declining, nullptr);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().domain, CRCrashReporterErrorDomain);
    EXPECT_EQ(result.error().code, 1);
    EXPECT_EQ(result.error().localizedDescription(), "Failed to register signal handler");
    EXPECT_EQ(result.error().userInfo[platform::kUnderlyingErrorKey]["code"], platform::Value(EINVAL));
    freshChain();
}

// The bindings of every definition of name in the symbol tables of the ELF file at path (none when it
// cannot be read or is not a 64-bit ELF file).
std::vector<unsigned> definitionBindings(const char* path, const char* name)
{
    std::vector<unsigned> bindings;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || static_cast<std::size_t>(status.st_size) < sizeof(Elf64_Ehdr)) {
        if (fd >= 0)
            close(fd);
        return bindings;
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED)
        return bindings;
    const auto* bytes = static_cast<const unsigned char*>(mapped);
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(bytes);
    const auto within = [size](std::uint64_t offset, std::uint64_t length) {
        return offset <= size && length <= size - offset;
    };
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 && header->e_ident[EI_CLASS] == ELFCLASS64 &&
        header->e_shentsize == sizeof(Elf64_Shdr) && within(header->e_shoff, std::uint64_t{header->e_shnum} * sizeof(Elf64_Shdr))) {
        const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes + header->e_shoff);
        for (unsigned i = 0; i < header->e_shnum; ++i) {
            const Elf64_Shdr& table = sections[i];
            if ((table.sh_type != SHT_SYMTAB && table.sh_type != SHT_DYNSYM) || table.sh_link >= header->e_shnum ||
                !within(table.sh_offset, table.sh_size))
                continue;
            const Elf64_Shdr& strings = sections[table.sh_link];
            if (!within(strings.sh_offset, strings.sh_size))
                continue;
            const auto* symbols = reinterpret_cast<const Elf64_Sym*>(bytes + table.sh_offset);
            for (std::size_t k = 0; k < table.sh_size / sizeof(Elf64_Sym); ++k) {
                const Elf64_Sym& symbol = symbols[k];
                if (symbol.st_shndx == SHN_UNDEF || symbol.st_name >= strings.sh_size)
                    continue;
                const char* symbolName = reinterpret_cast<const char*>(bytes + strings.sh_offset + symbol.st_name);
                if (strnlen(symbolName, strings.sh_size - symbol.st_name) < strings.sh_size - symbol.st_name &&
                    std::strcmp(symbolName, name) == 0)
                    bindings.push_back(ELF64_ST_BIND(symbol.st_info));
            }
        }
    }
    munmap(mapped, size);
    return bindings;
}

// The reporter's pthread_create is a weak definition: a sanitizer whose runtime is linked into the
// program (clang's) defines its own thread-start interceptor weakly too, and the first weak definition
// linked, the sanitizer's, is kept; a strong one of ours would displace it, and the sanitizer would
// not know the threads the program starts (its reports on them fail). The C library's is displaced all
// the same, a weak definition being bound like any other at run time.
TEST(CrashSignalHandler, TheThreadStartDefinitionIsWeak)
{
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&crsh_signal_handler), &info), 0);
    ASSERT_NE(info.dli_fname, nullptr);
    const std::string object = info.dli_fname[0] != '\0' ? info.dli_fname : "/proc/self/exe";
    const std::vector<unsigned> bindings = definitionBindings(object.c_str(), "pthread_create");
    ASSERT_FALSE(bindings.empty()) << object;
    for (unsigned binding : bindings)
        EXPECT_EQ(binding, static_cast<unsigned>(STB_WEAK)) << object;
}

// Peers: each leaves a marker and is expected to die by the signal.
void leaveMarker()
{
    int fd = crashtest::openChildFile(std::getenv("CRASH_CHILD_DIR"), "marker");
    if (fd >= 0)
        close(fd);
}

bool markingForwarder(int signo, siginfo_t* info, ucontext_t* uap, void*, crsh_signal_handler_callback* next)
{
    leaveMarker();
    return crsh_signal_forward(next, signo, info, uap);
}

bool markingDecliner(int, siginfo_t*, ucontext_t*, void*, crsh_signal_handler_callback*)
{
    leaveMarker();
    return false;
}

TEST(CrashSignalPeer, DISABLED_DefaultPreviousAction)
{
    setAction(SIGUSR1, SIG_DFL);
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR1, markingForwarder, nullptr).ok());
    raise(SIGUSR1);
    ADD_FAILURE() << "still alive";
}

TEST(CrashSignalPeer, DISABLED_EveryCallbackDeclines)
{
    // The previous action would handle it, but no callback forwards: the chain ends the process.
    setAction(SIGUSR2, countingHandler);
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR2, markingDecliner, nullptr).ok());
    // Registered once more, the dispatch entry's own action must not become a previous action.
    ASSERT_TRUE(shared().registerHandlerForSignal(SIGUSR2, markingDecliner, nullptr).ok());
    raise(SIGUSR2);
    ADD_FAILURE() << "still alive";
}

TEST(CrashSignalHandler, UnhandledSignalsEndTheProcessWithTheDefaultAction)
{
    for (auto [peer, signo] : {std::pair{"CrashSignalPeer.DISABLED_DefaultPreviousAction", SIGUSR1},
                               std::pair{"CrashSignalPeer.DISABLED_EveryCallbackDeclines", SIGUSR2}}) {
        SCOPED_TRACE(peer);
        crashtest::ChildFiles files;
        int status = crashtest::runChild(peer, files);
        ASSERT_NE(status, -1);
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), signo);
        EXPECT_TRUE(std::filesystem::exists(files.path("marker")));
    }
}

TEST(CrashSignalHandler, ResettingWhileAnotherThreadWalksTheChain)
{
    // SIGWINCH's default action is to ignore it, so a signal that finds the chain empty in between
    // (and is raised again under the default action) does not end the test.
    freshChain();
    setAction(SIGWINCH, countingHandler);
    std::atomic<bool> stop{false};
    std::atomic<int> raised{0};
    std::thread raiser([&] {
        while (!stop.load()) {
            raise(SIGWINCH);
            raised.fetch_add(1);
        }
    });
    // Until the walkers have met the chain often enough, whatever the threads' pace.
    for (int round = 0; round < 300 || raised.load() < 1000 || g_orderLength.load() < 100; ++round) {
        ASSERT_TRUE(shared().registerHandlerForSignal(SIGWINCH, forwarding<'w'>, nullptr).ok());
        ASSERT_TRUE(shared().registerHandlerForSignal(SIGWINCH, forwarding<'z'>, nullptr).ok());
        CRCrashSignalHandler::resetHandlers();
        setAction(SIGWINCH, countingHandler);
    }
    stop = true;
    raiser.join();
    freshChain();
}

} // namespace
