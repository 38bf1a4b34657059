// Pushed messages handled per second over loopback. A logged-in client (its session on the client
// thread) receives 100,000 pre-built command-3 packets (distinct ids, texts of about 150 bytes with title
// and extras) from a writer thread; it frames, parses and de-duplicates each, builds the message
// dictionary, posts the notification on the main queue and writes the 35-byte receipt. A reader thread
// reads the receipts back; the main thread turns the main run loop and builds the page's two scripts of
// each notification, as the page bridge does. A message counts when both its receipt and its scripts are
// done.
// Baseline in the same run: a bare loop that recv()s the same bytes from a loopback socket and frames
// them by their u16 length. Runs: logging off, then with the client's default file logging (the rolling
// file logger at the debug level with the client's line formatter, as its logger set-up adds it).
// `push_messages_bench off` or `push_messages_bench file` runs one of them alone (for a profiler).
#include "BenchArguments.h"

#include "push/PULSEClientController.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSEMessageCenter.h"
#include "push/PULSEPushConfigController.h"
#include "push/PULSESessionController.h"
#include "push/PULSEThread.h"
#include "push/PULSEUserDefaultsController.h"

#include "push/PulsePageEvents.h"

#include "pushlog/PULSECustomFormatter.h"
#include "pushlog/PULSEFileLogger.h"
#include "pushlog/PULSELog.h"
#include "pushlog/PULSELogFileManagerDefault.h"

#include "platform/files/AppFolders.h"
#include "platform/net/HostResolver.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMessages = 100'000;
constexpr std::uint64_t kUid = 5000;

void appendU16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}
void appendU32(Bytes& b, std::uint32_t v) {
    appendU16(b, static_cast<std::uint16_t>(v >> 16));
    appendU16(b, static_cast<std::uint16_t>(v));
}
void appendU64(Bytes& b, std::uint64_t v) {
    appendU32(b, static_cast<std::uint32_t>(v >> 32));
    appendU32(b, static_cast<std::uint32_t>(v));
}
void appendString(Bytes& b, const std::string& s) {
    appendU16(b, static_cast<std::uint16_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
}
// A received packet: 20-byte header (length, version, command, rid, uid), then the body.
Bytes answer(std::uint8_t version, std::uint8_t command, std::uint64_t rid, const Bytes& body) {
    Bytes b;
    appendU16(b, static_cast<std::uint16_t>(20 + body.size()));
    b.push_back(version);
    b.push_back(command);
    appendU64(b, rid);
    appendU64(b, kUid);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

Bytes messageStream(std::uint64_t firstId) {
    Bytes all;
    all.reserve(static_cast<std::size_t>(kMessages) * 190);
    for (std::uint64_t id = firstId; id < firstId + kMessages; ++id) {
        std::string text = R"({"message":"bench message )" + std::to_string(id) +
                           R"(","title":"Bench","content_type":"text","extras":{"key":"value","n":)" + std::to_string(id) + "}}";
        text.insert(text.size() - 2, std::string(150 > text.size() ? 150 - text.size() : 0, ' '));
        Bytes body;
        body.push_back(1);
        appendU64(body, id);
        appendString(body, text);
        const Bytes packet = answer(1, 3, id, body);
        all.insert(all.end(), packet.begin(), packet.end());
    }
    return all;
}

int listenLoopback(std::uint16_t& port, int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 4) != 0))
        std::abort();
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        std::abort();
    return fd;
}

void sendAll(int fd, const Bytes& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

// Reads and frames packets by their u16 length, handing each to the callback, until it answers false
// or the peer closes.
void readPackets(int fd, const std::function<bool(const std::uint8_t*, std::size_t)>& onPacket) {
    Bytes buffer(1 << 20);
    std::size_t have = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data() + have, buffer.size() - have, 0);
        if (n <= 0)
            return;
        have += static_cast<std::size_t>(n);
        std::size_t at = 0;
        while (have - at >= 2) {
            const std::size_t length = (std::size_t{buffer[at]} << 8) | buffer[at + 1];
            if (length < 2)
                return;
            if (have - at < length)
                break;
            if (!onPacket(buffer.data() + at, length))
                return;
            at += length;
        }
        std::memmove(buffer.data(), buffer.data() + at, have - at);
        have -= at;
    }
}

// The push server's part: answers registration and login, then counts receipts.
class BenchServer {
public:
    BenchServer() {
        m_listen = listenLoopback(m_port, SOCK_STREAM);
        m_lookup = listenLoopback(m_lookupPort, SOCK_DGRAM);
        m_lookupThread = std::thread([this] { answerLookups(); });
        m_thread = std::thread([this] { serve(); });
    }
    ~BenchServer() {
        m_stop = true;
        ::shutdown(m_connection, SHUT_RDWR);
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        m_lookupThread.join();
        ::close(m_listen);
        ::close(m_lookup);
        ::close(m_connection);
    }
    std::uint16_t port() const { return m_port; }
    std::uint16_t lookupPort() const { return m_lookupPort; }
    bool loggedIn() const { return m_loggedIn; }
    std::uint64_t receipts() const { return m_receipts; }
    void write(const Bytes& bytes) { sendAll(m_connection, bytes); }

private:
    void answerLookups() {
        const std::string reply = R"({"user":"127.0.0.1:1","ips":["127.0.0.1:)" + std::to_string(m_port) + R"(","127.0.0.1:)" +
                                  std::to_string(m_port) + R"(","127.0.0.1:1"],"udp_report":["127.0.0.1:)" +
                                  std::to_string(m_lookupPort) + R"("],"op_conns":[]})";
        std::uint8_t datagram[2048];
        while (!m_stop) {
            pollfd fd{m_lookup, POLLIN, 0};
            if (::poll(&fd, 1, 100) <= 0)
                continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            if (::recvfrom(m_lookup, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &length) == 128)
                ::sendto(m_lookup, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    void serve() {
        m_connection = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (m_connection < 0)
            return;
        readPackets(m_connection, [this](const std::uint8_t* p, std::size_t length) {
            if (length < 24)
                return false;
            const std::uint8_t command = p[3];
            std::uint64_t rid = 0;
            for (int i = 4; i < 12; ++i)
                rid = (rid << 8) | p[i];
            Bytes body;
            if (command == 0) {
                appendU16(body, 0);
                appendU64(body, kUid);
                appendString(body, "pw");
                appendString(body, "reg");
                sendAll(m_connection, answer(p[2], 0, rid, body));
            } else if (command == 1) {
                appendU16(body, 0);
                appendU32(body, 77);
                appendU16(body, 0);
                appendString(body, "key");
                appendU32(body, static_cast<std::uint32_t>(std::time(nullptr)));
                sendAll(m_connection, answer(p[2], 1, rid, body));
                m_loggedIn = true;
            } else if (command == 4 && length == 35) {
                m_receipts.fetch_add(1, std::memory_order_relaxed);
            }
            return !m_stop;
        });
    }

    int m_listen = -1;
    int m_lookup = -1;
    int m_connection = -1;
    std::uint16_t m_port = 0;
    std::uint16_t m_lookupPort = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_loggedIn{false};
    std::atomic<std::uint64_t> m_receipts{0};
    std::thread m_thread;
    std::thread m_lookupThread;
};

// Turns the main run loop until the condition holds; false after a minute.
bool turnMainUntil(const std::function<bool()>& done) {
    const auto limit = Clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (Clock::now() > limit)
            return false;
        platform::RunLoop::main().runOnce(platform::seconds(0.01));
    }
    return true;
}

// The CPU time the calling thread has used, in seconds.
double threadCPUSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The client thread's CPU time, read on it.
double clientCPUSeconds(push::PULSEThread& thread) {
    std::atomic<double> seconds{-1};
    thread.invokeMethodWithTarget([&] { seconds = threadCPUSeconds(); });
    turnMainUntil([&] { return seconds.load() >= 0; });
    return seconds;
}

struct ClientRun {
    double messagesPerSecond = 0;
    double clientMicroseconds = 0; // CPU per message on the client thread
    double mainMicroseconds = 0;   // CPU per message on the main thread (notifications, page scripts)
};

ClientRun runClient(BenchServer& server, push::PULSEThread& thread, std::uint64_t firstId, std::atomic<int>& notes) {
    const Bytes stream = messageStream(firstId);
    const int notesBefore = notes;
    const std::uint64_t receiptsBefore = server.receipts();
    const double clientBefore = clientCPUSeconds(thread);
    const double mainBefore = threadCPUSeconds();
    const auto start = Clock::now();
    std::thread writer([&] { server.write(stream); });
    const bool done = turnMainUntil([&] {
        return notes - notesBefore >= kMessages && server.receipts() - receiptsBefore >= static_cast<std::uint64_t>(kMessages);
    });
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double mainAfter = threadCPUSeconds();
    writer.join();
    if (!done) {
        std::fprintf(stderr, "client run incomplete: %d notifications, %llu receipts\n", notes - notesBefore,
                     static_cast<unsigned long long>(server.receipts() - receiptsBefore));
        return {};
    }
    return {kMessages / seconds, (clientCPUSeconds(thread) - clientBefore) * 1e6 / kMessages,
            (mainAfter - mainBefore) * 1e6 / kMessages};
}

double runBaseline() {
    const Bytes stream = messageStream(1);
    std::uint16_t port = 0;
    const int listener = listenLoopback(port, SOCK_STREAM);
    std::thread writer([&] {
        const int fd = connectLoopback(port);
        sendAll(fd, stream);
        ::close(fd);
    });
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    int packets = 0;
    const auto start = Clock::now();
    readPackets(fd, [&](const std::uint8_t*, std::size_t) { return ++packets < kMessages; });
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    ::close(fd);
    ::close(listener);
    return packets == kMessages ? kMessages / seconds : 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = bench::ownArguments(argc, argv);
    const std::string only = arguments.empty() ? "" : arguments.front();
    if (arguments.size() > 1 || (!only.empty() && only != "off" && only != "file")) {
        std::fprintf(stderr, "usage: push_messages_bench [off|file]\n");
        return 2;
    }
    std::string pattern = (fs::temp_directory_path() / "push-messages-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    platform::AppFolders folders(pattern, pattern + "/bundle");
    platform::AppFolders::install(folders);
    if (!folders.createFolders())
        return 1;

    BenchServer server;
    const std::string appKey = "abcdef0123456789abcdef01";
    auto endpoints = push::PULSEEndpoints::shared();
    endpoints.lookupAddress = "127.0.0.1";
    endpoints.lookupPorts = {server.lookupPort(), server.lookupPort()};
    endpoints.defaultConnectAddress = {"127.0.0.1", server.port()};
    endpoints.defaultReportAddress = {"127.0.0.1", server.lookupPort()};
    push::PULSEEndpoints::setShared(endpoints);
    for (const auto& host : endpoints.lookupHosts)
        platform::HostResolver::setTestEntry(host, platform::HostResolver::TestAnswer::Failure);

    auto thread = push::PULSEThread::builder(push::PULSERunLoopMode::Alive)->setThreadName("pulse.bench.client").build();
    std::shared_ptr<push::PULSESessionController> session;
    thread->invokeMethodWithTarget([&] {
        push::PULSEFileCacheController::startShareInstance("PULSEDocument", 1, true)->setAutoSynchronizeEnable(false);
        push::PULSEFileCacheController::startShareInstance("PULSEJSON", 0, false);
        auto& client = push::PULSEClientController::sharedClient();
        client.setClientNotificationCenter(std::make_shared<platform::NotificationCenter>());
        client.setBundleIdentifier("org.bench.pulse");
        auto identity = std::make_shared<push::PULSEUserDefaultsController>("org.bench.pulse", appKey);
        client.setUserDefaults(identity);
        auto config = std::make_shared<push::PULSEPushConfigController>();
        config->setAppKey(appKey, std::nullopt, true);
        client.setPushConfig(config);
        client.setBundleVersion(platform::Value(1));
        client.setSystemVersion("9.0");
        client.setModelName("iPhone7,2");
        identity->setCurrentDeviceToken("0a1b2c3d");
        client.setDeviceTokenUpdated();
        client.setMessageCenter(std::make_shared<push::PULSEMessageCenter>());
        client.setNetworkStatusSource([] { return 2; });
        session = push::PULSESessionController::create();
        session->setup();
    });
    std::atomic<int> notes{0};
    std::size_t scriptBytes = 0;
    platform::NotificationCenter::defaultCenter().addObserver(
        &notes, push::kPULSENetworkDidReceiveMessageNotification, nullptr, [&](const platform::Notification& note) {
            if (auto scripts = push::pulseMessageScripts(note.userInfo)) {
                scriptBytes += scripts->first.size() + scripts->second.size();
                ++notes;
            }
        });
    if (!turnMainUntil([&] { return server.loggedIn(); })) {
        std::fprintf(stderr, "the client did not log in\n");
        return 1;
    }
    // The stream orders the login answer before every message, so the client handles it first.
    const double baseline = runBaseline();
    const ClientRun quiet = only == "file" ? ClientRun{-1} : runClient(server, *thread, 1, notes);
    ClientRun logged{-1};
    if (only != "off") {
        auto files = std::make_shared<pushlog::PULSELogFileManagerDefault>(pattern + "/logs");
        files->setMaximumNumberOfLogFiles(7);
        auto fileLogger = std::make_shared<pushlog::PULSEFileLogger>(files);
        fileLogger->setRollingFrequency(86400);
        fileLogger->setLogFormatter(std::make_shared<pushlog::PULSECustomFormatter>(0));
        pushlog::PULSELog::addLogger(fileLogger, pushlog::PULSELogLevelDebug);
        logged = runClient(server, *thread, 1 + kMessages, notes);
        pushlog::PULSELog::flushLog();
        pushlog::PULSELog::removeAllLoggers();
    }

    const auto show = [&](const char* name, const ClientRun& run) {
        if (run.messagesPerSecond >= 0)
            std::printf("%s%.0f messages/s (%.3f x baseline); CPU per message: client thread %.2f us, main thread %.2f us\n",
                        name, run.messagesPerSecond, baseline > 0 ? run.messagesPerSecond / baseline : 0,
                        run.clientMicroseconds, run.mainMicroseconds);
    };
    std::printf("baseline (recv and frame only):  %.0f messages/s\n", baseline);
    show("client, logging off:             ", quiet);
    show("client, default file logging:    ", logged);
    std::printf("(page scripts built: %zu bytes)\n", scriptBytes);

    std::atomic<bool> released{false};
    thread->invokeMethodWithTarget([&] {
        session.reset();
        released = true;
    });
    turnMainUntil([&] { return released.load(); });
    thread->close();
    platform::NotificationCenter::defaultCenter().removeObserver(&notes);
    std::error_code ignored;
    fs::remove_all(pattern, ignored);
    return quiet.messagesPerSecond != 0 && logged.messagesPerSecond != 0 ? 0 : 1;
}
