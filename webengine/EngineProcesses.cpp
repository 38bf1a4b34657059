#include "webengine/EngineProcesses.h"

#include "webengine/WebContext.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace webengine {

namespace {

// ---- finding them (async-signal-safe: system calls on buffers of the stack) ----

enum class Kind { Other, Network, Web };

// What the process with this decimal id is: one of WebKit's programs running as a child of this process
// (not yet ended), by the command name the kernel keeps, 15 bytes of the program's name at most:
// "WebKitNetworkPr", and "WebKitWebProces" or "WebKitGPUProces" (a web process, as far as ending it goes).
Kind kindOf(const char* id)
{
    char path[48] = "/proc/";
    std::size_t at = std::strlen(path);
    for (const char* c = id; *c && at + 6 < sizeof path; ++c)
        path[at++] = *c;
    std::memcpy(path + at, "/stat", 6);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Kind::Other;
    char text[512];
    ssize_t n;
    while ((n = ::read(fd, text, sizeof text - 1)) < 0 && errno == EINTR) {
    }
    ::close(fd);
    if (n <= 0)
        return Kind::Other;
    text[n] = '\0';
    // "pid (name) state parent ...": the name may hold anything, so it ends at the last ')'.
    const char* open = std::strchr(text, '(');
    const char* close = std::strrchr(text, ')');
    if (!open || !close || close < open || close[1] != ' ' || close[2] == '\0' || close[3] != ' ')
        return Kind::Other;
    const char state = close[2];
    long parent = 0;
    for (const char* c = close + 4; *c >= '0' && *c <= '9'; ++c)
        parent = parent * 10 + (*c - '0');
    if (parent != ::getpid() || state == 'Z' || state == 'X')
        return Kind::Other;
    const std::size_t length = static_cast<std::size_t>(close - open - 1);
    auto named = [&](const char* prefix) { return length >= std::strlen(prefix) && std::strncmp(open + 1, prefix, std::strlen(prefix)) == 0; };
    if (named("WebKitNetwork"))
        return Kind::Network;
    if (named("WebKit"))
        return Kind::Web;
    return Kind::Other;
}

int openProcess(long pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool signalProcess(int pidfd, int signal)
{
    return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
}

struct DirectoryEntry {
    std::uint64_t inode;
    std::int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// Calls visit(pid, pidfd, kind) for every engine process, each held by a descriptor that is closed after
// the call; visit keeps it by returning true (the caller closes it then).
template <typename Visit>
void forEachEngineProcess(Visit visit)
{
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return;
    alignas(8) char buffer[4096];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, proc, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const DirectoryEntry*>(buffer + at);
            at += entry->length;
            long pid = 0;
            const char* c = entry->name;
            for (; *c >= '0' && *c <= '9'; ++c)
                pid = pid * 10 + (*c - '0');
            if (*c != '\0' || pid <= 0 || kindOf(entry->name) == Kind::Other)
                continue;
            // Held first, then asked again: the descriptor is that process's, whatever its number becomes.
            const int pidfd = openProcess(pid);
            if (pidfd < 0)
                continue;
            const Kind kind = kindOf(entry->name);
            if (kind == Kind::Other || !visit(pid, pidfd, kind))
                ::close(pidfd);
        }
    }
    ::close(proc);
}

// ---- their connections to this process ----

// The socket inode a descriptor link names ("socket:[123]"), or 0.
ino_t socketInode(const std::filesystem::path& link)
{
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(link, error).string();
    if (error || target.rfind("socket:[", 0) != 0 || target.back() != ']')
        return 0;
    return static_cast<ino_t>(std::strtoull(target.c_str() + 8, nullptr, 10));
}

// The Unix sockets of the process `pid` ("self" for this one), by inode, with their descriptor numbers.
std::map<ino_t, int> socketsOf(const std::string& pid)
{
    std::map<ino_t, int> sockets;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd", error)) {
        if (const ino_t inode = socketInode(entry.path()))
            sockets.emplace(inode, std::atoi(entry.path().filename().c_str()));
    }
    return sockets;
}

// The peer of every Unix socket of this network namespace, by inode, as the kernel's socket diagnostics
// list them; nothing when they cannot be asked.
std::optional<std::map<ino_t, ino_t>> unixSocketPeers()
{
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return std::nullopt;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = AF_UNIX;
    message.request.udiag_states = ~0U;
    message.request.udiag_show = UDIAG_SHOW_PEER;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) != sizeof message) {
        ::close(fd);
        return std::nullopt;
    }
    std::map<ino_t, ino_t> peers;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            break;
        int left = static_cast<int>(received);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_type == NLMSG_DONE) {
                ::close(fd);
                return peers;
            }
            if (header->nlmsg_type == NLMSG_ERROR)
                break;
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)))
                continue;
            const auto* diag = static_cast<const unix_diag_msg*>(NLMSG_DATA(header));
            int attributes = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *diag));
            for (auto* attribute = reinterpret_cast<rtattr*>(const_cast<unix_diag_msg*>(diag) + 1); RTA_OK(attribute, attributes);
                 attribute = RTA_NEXT(attribute, attributes)) {
                if (attribute->rta_type == UNIX_DIAG_PEER && RTA_PAYLOAD(attribute) >= sizeof(std::uint32_t)) {
                    std::uint32_t peer = 0;
                    std::memcpy(&peer, RTA_DATA(attribute), sizeof peer);
                    peers[diag->udiag_ino] = peer;
                }
            }
        }
    }
    ::close(fd);
    return std::nullopt;
}

// Shuts this process's end of every socket connected to the process `pid` down, as this process's end
// would close it: the process finds its connection closed. Whether one was found.
bool closeConnectionsTo(long pid, const std::map<ino_t, int>& ours, const std::map<ino_t, ino_t>& peers)
{
    std::set<ino_t> theirs;
    for (const auto& [inode, fd] : socketsOf(std::to_string(pid)))
        theirs.insert(inode);
    bool closed = false;
    for (const auto& [inode, fd] : ours) {
        const auto peer = peers.find(inode);
        if (peer != peers.end() && theirs.count(peer->second)) {
            ::shutdown(fd, SHUT_RDWR);
            closed = true;
        }
    }
    return closed;
}

struct Process {
    long pid;
    int pidfd;
    Kind kind;
    bool ended = false;
};

// Waits until every process of `processes` whose kind is `kind` has ended or `deadline` has passed;
// whether they all ended.
bool awaitEnd(std::vector<Process>& processes, Kind kind, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        std::vector<pollfd> waiting;
        for (Process& process : processes)
            if (!process.ended && process.kind == kind)
                waiting.push_back({process.pidfd, POLLIN, 0});
        if (waiting.empty())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        if (::poll(waiting.data(), waiting.size(), static_cast<int>(left)) < 0 && errno != EINTR)
            return false;
        for (const pollfd& ready : waiting)
            if (ready.revents)
                for (Process& process : processes)
                    if (process.pidfd == ready.fd)
                        process.ended = true;
    }
}

} // namespace

void EngineProcesses::end(std::chrono::milliseconds webGrace, std::chrono::milliseconds networkGrace)
{
    std::vector<Process> processes;
    forEachEngineProcess([&](long pid, int pidfd, Kind kind) {
        processes.push_back({pid, pidfd, kind});
        return true;
    });
    if (processes.empty()) {
        WebContext::removeTemporaryFolders();
        return;
    }
    // Each finds its connection closed and ends as when this process has gone. One whose connection is
    // not found (the kernel lists no sockets here) is left to that: a web process killed after its grace,
    // the network process left to end after this process, with what it holds.
    const auto start = std::chrono::steady_clock::now();
    const std::map<ino_t, int> ours = socketsOf("self");
    const std::optional<std::map<ino_t, ino_t>> peers = unixSocketPeers();
    for (Process& process : processes) {
        const bool closed = peers && closeConnectionsTo(process.pid, ours, *peers);
        if (!closed && process.kind == Kind::Network)
            process.kind = Kind::Other;
    }
    // A web process whose page keeps its main thread would wait for WebKit's own watchdog.
    if (!awaitEnd(processes, Kind::Web, start + webGrace)) {
        for (Process& process : processes)
            if (process.kind == Kind::Web && !process.ended)
                signalProcess(process.pidfd, SIGKILL);
    }
    if (!awaitEnd(processes, Kind::Network, start + networkGrace)) {
        for (Process& process : processes)
            if (process.kind == Kind::Network && !process.ended)
                signalProcess(process.pidfd, SIGKILL);
    }
    // What was killed goes at once (a process in an uninterruptible wait, when it comes out of it).
    const auto killed = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    awaitEnd(processes, Kind::Web, killed);
    awaitEnd(processes, Kind::Network, killed);
    bool allEnded = true;
    for (const Process& process : processes) {
        allEnded = allEnded && process.ended;
        ::close(process.pidfd);
    }
    // The files they kept of pages' Blobs go with them; one left running (its connection not found) keeps its
    // own until the next start.
    if (allEnded)
        WebContext::removeTemporaryFolders();
}

void EngineProcesses::killWebProcesses()
{
    // Each is waited for (a second at most), so that none is seen running once this process has ended.
    pollfd killed[64];
    nfds_t count = 0;
    forEachEngineProcess([&](long, int pidfd, Kind kind) {
        if (kind != Kind::Web || !signalProcess(pidfd, SIGKILL))
            return false;
        if (count == sizeof killed / sizeof killed[0])
            return false;
        killed[count++] = {pidfd, POLLIN, 0};
        return true;
    });
    for (nfds_t waited = 0; waited < count;) {
        struct timespec second = {1, 0};
        if (::ppoll(killed + waited, 1, &second, nullptr) == 0)
            break;
        ++waited;
    }
    for (nfds_t i = 0; i < count; ++i)
        ::close(killed[i].fd);
}

} // namespace webengine
