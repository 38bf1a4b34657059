// A page of our own on the real engine, with the application's plug-ins, makes calls no plug-in can
// honour: arguments the bridge script cannot encode, arguments the native side cannot read, injections
// that throw or load nothing, browser loads the engine refuses. Every call is answered with a reason, and
// an ordinary call made after them (in the same turn and later) is answered as usual.
#include "SampleBundleOnEngine.h"

#include "platform/net/URLError.h"
#include "plugins/HYBInAppBrowser.h"
#include "support/ClosedPort.h"
#include "support/Deflate.h"
#include "support/HTTPTestServer.h"
#include "support/LogCapture.h"
#include "webengine/LoadError.h"
#include "webengine/WebKitGtkWebView.h"

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>
#include <tuple>
#include <zlib.h>
#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes(); // the sanitizer runtime's
#endif
#include <dirent.h>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A loopback server that takes connections and never answers: it reads what each client sends and drops it,
// so a client's connection stays open until the client gives up. It counts the connections it holds as it
// takes them and sees them close: counting them so costs nothing of the machine, whatever else it holds.
class SilentServer {
public:
    SilentServer()
    {
        m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_socket < 0 || m_wake < 0 || bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || listen(m_socket, 4096) != 0 || getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no silent server";
            return;
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~SilentServer()
    {
        if (m_thread.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = write(m_wake, &one, sizeof one);
            m_thread.join();
        }
        close(m_socket);
        close(m_wake);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    std::uint16_t port() const { return m_port; }
    // The connections open now, and all it took so far.
    std::size_t held() const { return m_held; }
    std::size_t taken() const { return m_taken; }

private:
    void serve()
    {
        std::vector<pollfd> watched{{m_wake, POLLIN, 0}, {m_socket, POLLIN, 0}};
        char sink[4096];
        for (;;) {
            if (poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR)
                break;
            if (watched[0].revents)
                break;
            for (std::size_t i = watched.size(); i-- > 2;) {
                if (!watched[i].revents)
                    continue;
                const ssize_t read = recv(watched[i].fd, sink, sizeof sink, MSG_DONTWAIT);
                if (read == 0 || (read < 0 && errno != EAGAIN && errno != EINTR)) {
                    close(watched[i].fd);
                    watched.erase(watched.begin() + static_cast<std::ptrdiff_t>(i));
                    --m_held;
                }
            }
            if (watched[1].revents) {
                while (true) {
                    const int connection = accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                    if (connection < 0)
                        break;
                    watched.push_back({connection, POLLIN, 0});
                    ++m_held;
                    ++m_taken;
                }
            }
        }
        for (std::size_t i = 2; i < watched.size(); ++i)
            close(watched[i].fd);
    }

    int m_socket = -1;
    int m_wake = -1;
    std::uint16_t m_port = 0;
    std::atomic<std::size_t> m_held{0};
    std::atomic<std::size_t> m_taken{0};
    std::thread m_thread;
};

// The connections this process holds to a loopback port: its sockets, each asked for its peer and state, that
// are connected to that port (a connection to a listening loopback server is connected at once).
std::size_t connectionsTo(std::uint16_t port)
{
    std::size_t count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(folder)) {
            char* end = nullptr;
            const long fd = std::strtol(entry->d_name, &end, 10);
            if (end == entry->d_name || *end || fd == dirfd(folder))
                continue;
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            tcp_info info{};
            socklen_t infoLength = sizeof info;
            if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET
                && peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK) && ntohs(peer.sin_port) == port
                && getsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_INFO, &info, &infoLength) == 0 && info.tcpi_state == TCP_ESTABLISHED)
                ++count;
        }
        closedir(folder);
    }
    return count;
}

// What the UI process (this one) holds: the bytes its allocations hold where the allocator keeps freed memory
// apart (the address sanitizer's quarantine is no one's load), else its resident pages.
std::size_t memoryHeld()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
}

// Notes the most memoryHeld() gives while it lives.
class MemoryPeak {
public:
    MemoryPeak() : m_thread([this] {
        while (!m_stop) {
            m_peak = std::max(m_peak.load(), memoryHeld());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }) {}
    ~MemoryPeak() { stop(); }
    std::size_t stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_peak;
    }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<std::size_t> m_peak{0};
    std::thread m_thread;
};

// A page that sends `n` loads at `url` that nobody answers, as fetch() in "no-cors" mode (at each URL its hash
// names, more than a view keeps waiting); with a "trickle" URL in its query, also a load whose body never ends.
const char* const kFloodPage = R"(<!DOCTYPE html><html><body><p>flood</p><script>
function flood(n, url) { for (var i = 0; i < n; i++) fetch(url + '?' + i, {mode: 'no-cors'}).catch(function () {}); return n; }
// The endless body is asked for first: asked after the flood, it would wait for the flood's loads to be
// handed over, which takes the engine longer than a test waits on a busy machine. The page holds its
// reader, so that only the frame's going gives the body up.
var trickle = new URLSearchParams(location.search).get('trickle'), reader = null;
if (trickle) fetch(trickle).then(function (r) { reader = r.body.getReader(); return reader.read(); }).catch(function () {});
if (location.hash.length > 1) decodeURIComponent(location.hash.substring(1)).split(' ').forEach(function (url) { flood(3000, url); });
</script></body></html>)";

// The page: call(name, service, action, args) records the answer as results[name], "ok:" or "fail:"
// followed by the message's JSON (or the failure's text); browse(url) opens the in-app browser, hidden,
// and records its events' types and codes in events.
const char* const kPage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><script src="hybrid.js"></script><script>
var results = {}, events = [];
function call(name, service, action, args) {
  hybrid.exec(function (m) { results[name] = 'ok:' + JSON.stringify(m); },
              function (e) { results[name] = 'fail:' + (typeof e === 'string' ? e : JSON.stringify(e)); },
              service, action, args);
}
function nested(depth) { var a = 1; for (var i = 0; i < depth; i++) { a = [a]; } return a; }
function browse(url) {
  events = [];
  hybrid.exec(function (e) { events.push(e.type); }, function (e) { events.push(e.type + ':' + e.code); },
              'InAppBrowser', 'open', [url, '_blank', 'hidden=yes']);
}
function xhr(name, url) {
  var x = new XMLHttpRequest(); x.open('GET', url);
  x.onload = function () { results[name] = 'status:' + x.status + ':' + x.responseText; };
  x.onerror = function () { results[name] = 'error'; };
  x.send();
}
// Reads a body to its end without keeping it: records "read:<bytes>" or "error".
function drain(name, url) {
  fetch(url).then(function (r) {
    var reader = r.body.getReader(), total = 0;
    function next() { return reader.read().then(function (c) { if (c.done) { results[name] = 'read:' + total; return; } total += c.value.length; return next(); }); }
    return next();
  }).catch(function () { results[name] = 'error'; });
}
function upload(name, url, bytes) {
  var x = new XMLHttpRequest(); x.open('POST', url);
  x.onload = function () { results[name] = 'status:' + x.status + ':' + x.responseText; };
  x.onerror = function () { results[name] = 'error'; };
  var body = new Uint8Array(bytes); for (var i = 0; i < bytes; i += 4096) { body[i] = (i / 4096) & 255; }
  x.send(body);
}
function frame(url) {
  var f = document.createElement('iframe'); f.id = 'flood'; f.src = url; document.body.appendChild(f);
}
// Loads n images of url at once: results[name] is 'loaded:<milliseconds>' once all have, else 'error'.
function images(name, url, n) {
  var start = Date.now(), left = n;
  for (var i = 0; i < n; i++) {
    var image = new Image();
    image.onload = function () { if (--left === 0 && results[name] === undefined) { results[name] = 'loaded:' + (Date.now() - start); } };
    image.onerror = function () { results[name] = 'error'; };
    image.src = url + '?' + name + '-' + i;
  }
}
document.addEventListener('deviceready', function () {
  document.getElementById('ready').textContent = 'deviceready';
}, false);
</script></head><body><span id="ready">waiting</span></body></html>
)";

class HostileCallsPageTest : public e2e::SampleBundleOnEngine {
protected:
    HostileCallsPageTest() : SampleBundleOnEngine({.extraFiles = {"www/iab.html"}}) {}

    void SetUp() override
    {
        SampleBundleOnEngine::SetUp();
        if (!IsSkipped())
            m_home.writeBundleFile("www/index.html", kPage);
    }

    // Waits for the page's answer to `name` and returns it.
    std::string answer(const std::string& name)
    {
        const std::string lookup = "results['" + name + "'] === undefined ? '' : results['" + name + "']";
        e2e::waitUntil([&] { return !eval(lookup).empty(); });
        return eval(lookup);
    }
    // Opens `url` in the hidden browser and waits for the load's end event.
    std::string browse(const std::string& url)
    {
        eval("browse('" + url + "'); 1");
        const bool ended = e2e::waitUntil([&] {
            const std::string last = eval("events.length ? events[events.length - 1] : ''");
            return !last.empty() && last != "loadstart";
        });
        return ended ? eval("events.join(',')") : "no end: " + eval("events.join(',')");
    }
    void expectAnOrdinaryCallIsAnswered(const std::string& name)
    {
        eval("call('" + name + "', 'Device', 'getDeviceInfo', []); 1");
        EXPECT_EQ(answer(name).rfind("ok:{", 0), 0u) << answer(name);
    }
};

} // namespace

TEST_F(HostileCallsPageTest, ArgumentsThatCannotBeEncodedOrReadAreAnsweredAndTheBridgeGoesOn)
{
    launch();
    // One turn of the page: two calls the bridge script cannot encode, two the native side cannot read
    // as sent, and ordinary calls between them.
    eval("var o = {}; o.self = o;"
         "call('cyclic', 'Device', 'getDeviceInfo', [o]);"
         "call('deepest', 'Device', 'getDeviceInfo', [nested(200000)]);"
         "call('throwing', 'Device', 'getDeviceInfo', [{toJSON: function () { throw new Error('no'); }}]);"
         "call('first', 'Device', 'getDeviceInfo', []);"
         "call('deep', 'Device', 'getDeviceInfo', [nested(1100)]);"
         "call('set', 'Keychain', 'setForKey', ['half', 'cut \\ud83d']);"
         "call('last', 'Device', 'getDeviceInfo', []); 1");
    // Those the script cannot encode fail at once, each through its own failure callback.
    EXPECT_EQ(answer("cyclic").rfind("fail:The arguments cannot be encoded: TypeError", 0), 0u) << answer("cyclic");
    EXPECT_EQ(answer("throwing"), "fail:The arguments cannot be encoded: Error: no");
    EXPECT_EQ(answer("deepest").rfind("fail:", 0), 0u) << answer("deepest");
    // Nested deeper than the native reader takes: answered with the reason; the batch's others run.
    EXPECT_EQ(answer("deep").rfind("fail:The command cannot be read: ", 0), 0u) << answer("deep");
    EXPECT_NE(answer("deep").find("too deep"), std::string::npos) << answer("deep");
    EXPECT_EQ(answer("first").rfind("ok:{", 0), 0u) << answer("first");
    EXPECT_EQ(answer("last").rfind("ok:{", 0), 0u) << answer("last");
    // A string cut inside a surrogate pair arrives with U+FFFD in the cut's place.
    EXPECT_EQ(answer("set"), "ok:null");
    // The keychain's actions run side by side in the background: the read goes once the write is answered.
    eval("call('get', 'Keychain', 'getForKey', ['half']); 1");
    EXPECT_EQ(answer("get"), "ok:\"cut \xEF\xBF\xBD\"");
    EXPECT_EQ(eval("hybrid.exec.pendingCallbackCount()"), "0");

    // A batch the native side fetches with raw NUL characters in it, inside a command and between two: the
    // command is answered with the reason, and those after it as usual.
    eval("var exec = hybrid.require('hybrid/exec'), take = exec.nativeFetchMessages;"
         "exec.nativeFetchMessages = function () { return take.apply(exec, arguments).replace('raw-nul', 'raw\\u0000nul')"
         "  .replace('],[\"Device', '],\\u0000[\"Device'); };"
         "hybrid.exec.setJsToNativeBridgeMode('iframe');"
         "call('before-nul', 'Device', 'getDeviceInfo', []); call('nul', 'Keychain', 'setForKey', ['raw-nul', 'x']);"
         "call('after-nul', 'Device', 'getDeviceInfo', []); call('after-nul-2', 'Device', 'getDeviceInfo', []); 1");
    EXPECT_EQ(answer("before-nul").rfind("ok:{", 0), 0u) << answer("before-nul");
    EXPECT_EQ(answer("nul").rfind("fail:The command cannot be read: ", 0), 0u) << answer("nul");
    EXPECT_EQ(answer("after-nul").rfind("ok:{", 0), 0u) << answer("after-nul");
    EXPECT_EQ(answer("after-nul-2").rfind("ok:{", 0), 0u) << answer("after-nul-2");
    eval("exec.nativeFetchMessages = take; 1");

    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, InjectionsThatThrowOrLoadNothingAreAnswered)
{
    launch();
    for (const char* action : {"injectScriptCode", "injectScriptFile", "injectStyleCode", "injectStyleFile"}) {
        eval(std::string("call('none-") + action + "', 'InAppBrowser', '" + action + "', ['x']); 1");
        EXPECT_EQ(answer(std::string("none-") + action), "fail:no browser is open") << action;
    }

    EXPECT_EQ(browse("iab.html"), "loadstart,loadstop");
    eval("call('throws', 'InAppBrowser', 'injectScriptCode', ['throw new Error(\"boom\")']);"
         "call('unknown', 'InAppBrowser', 'injectScriptCode', ['noSuchName + 1']);"
         "call('cyclicValue', 'InAppBrowser', 'injectScriptCode', ['var c = {}; c.c = c; c']);"
         "call('missingScript', 'InAppBrowser', 'injectScriptFile', ['missing.js']);"
         "call('missingStyle', 'InAppBrowser', 'injectStyleFile', ['missing.css']);"
         "call('style', 'InAppBrowser', 'injectStyleCode', ['p { color: red; }']);"
         "call('sum', 'InAppBrowser', 'injectScriptCode', ['1+1']);"
         "call('huge', 'InAppBrowser', 'injectScriptCode', ['\\'x\\'.repeat(3000000)']);"
         "call('throwsNull', 'InAppBrowser', 'injectScriptCode', ['throw null']);"
         "call('namelessThrow', 'InAppBrowser', 'injectScriptCode', ['throw {get name() { throw 0; }, message: \"its own\"}']); 1");
    EXPECT_EQ(answer("throws"), "fail:The script threw Error: boom");
    EXPECT_EQ(answer("unknown").rfind("fail:The script threw ReferenceError", 0), 0u) << answer("unknown");
    EXPECT_EQ(answer("cyclicValue").rfind("fail:The script's value cannot be written as JSON: TypeError", 0), 0u) << answer("cyclicValue");
    EXPECT_EQ(answer("missingScript").rfind("fail:The script file could not be loaded: file://", 0), 0u) << answer("missingScript");
    EXPECT_NE(answer("missingScript").find("/www/missing.js"), std::string::npos) << answer("missingScript");
    EXPECT_EQ(answer("missingStyle").rfind("fail:The style sheet could not be loaded: file://", 0), 0u) << answer("missingStyle");
    EXPECT_EQ(answer("style"), "ok:[]");
    EXPECT_EQ(answer("sum"), "ok:[2]");
    EXPECT_EQ(answer("huge"), "fail:The answer is too large");
    // Reading what was thrown throws again: the answer keeps what could be read.
    EXPECT_EQ(answer("throwsNull"), "fail:The script threw");
    EXPECT_EQ(answer("namelessThrow"), "fail:The script threw its own");

    // Answers the browser's page sends at the same moment each arrive: a burst of style sheets that fail.
    std::string burst;
    for (int i = 0; i < 8; ++i)
        burst += "call('burst" + std::to_string(i) + "', 'InAppBrowser', 'injectStyleFile', ['missing" + std::to_string(i) + ".css']);";
    eval(burst + " 1");
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(answer("burst" + std::to_string(i)).rfind("fail:The style sheet could not be loaded: file://", 0), 0u) << i;
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");

    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, BrowserLoadsThatFailReportLoaderrorWithTheEnginesCode)
{
    const std::uint16_t closedPort = testsupport::closedPort();
    launch();
    const std::string refused = std::to_string(webengine::kWebKitErrorCannotUseRestrictedPort);
    // Ports and addresses the engine refuses to reach.
    EXPECT_EQ(browse("http://127.0.0.1:9/"), "loadstart,loaderror:" + refused);
    EXPECT_EQ(browse("http://127.0.0.1:6000/"), "loadstart,loaderror:" + refused);
    EXPECT_EQ(browse("http://127.0.0.1:0/"), "loadstart,loaderror:" + refused);
    // A port nobody listens on, and a file that is not there.
    EXPECT_EQ(browse("http://127.0.0.1:" + std::to_string(closedPort) + "/"),
              "loadstart,loaderror:" + std::to_string(platform::kURLErrorCannotConnectToHost));
    EXPECT_EQ(browse("missing.html"), "loadstart,loaderror:" + std::to_string(platform::kURLErrorFileDoesNotExist));
    // And a page that loads, after them.
    EXPECT_EQ(browse("iab.html"), "loadstart,loadstop");

    // Answers the browser would have to save (an attachment, a type no view shows) and the downloads its
    // page starts (its own "download" links, to its server and to a blob: URL, and one a frame of it clicks):
    // each navigation of the page's that ends so reports loaderror; a download is cancelled and reports no load
    // (WebKit does not say whose link made it, and a frame's is no load of the page's); no file is written.
    testsupport::HTTPTestServer server;
    server.route("/attachment", testsupport::Reply::text(200, "a page's notes").withHeader("Content-Disposition", "attachment; filename=\"notes.txt\""));
    server.route("/unshowable", testsupport::Reply::text(200, std::string(4096, '\x01'), "application/octet-stream"));
    server.route("/links.html", testsupport::Reply::text(200, "<html><body><a id='own' href='/attachment' download='notes.txt'>notes</a>"
                                                              "<iframe srcdoc=\"<a id='framed' href='/attachment' download>notes</a>\"></iframe></body></html>", "text/html"));
    e2e::nameDownloadFolder();
    e2e::LoadWatch watch(m_webView->engine().view()); // the context's downloads, whichever view starts them
    const auto before = e2e::userFiles();
    const std::string interrupted = std::to_string(webengine::kWebKitErrorFrameLoadInterrupted);
    EXPECT_EQ(browse(server.url("/attachment")), "loadstart,loaderror:" + interrupted);
    EXPECT_EQ(browse(server.url("/unshowable")), "loadstart,loaderror:" + interrupted);
    // A disposition without a type, or "inline", is shown; "attachment" in any case is refused.
    const auto disposed = [&](const std::string& path, const std::string& disposition) {
        server.route(path, testsupport::Reply::text(200, "<html><body>notes</body></html>", "text/html").withHeader("Content-Disposition", disposition));
        return browse(server.url(path));
    };
    EXPECT_EQ(disposed("/typeless", "filename=notes.html"), "loadstart,loadstop");
    EXPECT_EQ(disposed("/inline", " INLINE ; filename=\"notes.html\""), "loadstart,loadstop");
    EXPECT_EQ(disposed("/shouted", "ATTACHMENT;filename=notes.html"), "loadstart,loaderror:" + interrupted);
    const std::string links = browse(server.url("/links.html"));
    EXPECT_TRUE(links.ends_with(",loadstop") && links.find("loaderror") == std::string::npos) << links;
    const std::vector<std::string> clicks = {
        "document.getElementById(\"own\").click()",
        "var b = document.createElement(\"a\"); b.href = URL.createObjectURL(new Blob([\"notes\"])); b.download = \"notes.txt\";"
        " document.body.appendChild(b); b.click()",
        "document.querySelector(\"iframe\").contentDocument.getElementById(\"framed\").click()",
    };
    for (const std::string& click : clicks) {
        const int started = watch.downloads();
        const std::string events = eval("events.join(',')");
        eval("hybrid.exec(null, null, 'InAppBrowser', 'injectScriptCode', ['" + click + "; 1']); 1");
        EXPECT_TRUE(e2e::waitUntil([&] { return eval("events.join(',')") == events && watch.downloads() == started + 1 && watch.downloadsOver(); }))
            << click << ": " << eval("events.join(',')");
    }
    // Downloads that start while the browser's view waits for its page (here, for its synchronous request,
    // which the server holds until they have) are answered after the wait, each once: the application goes on.
    testsupport::Reply held = testsupport::Reply::text(200, "held", "text/plain");
    held.hold = true;
    server.route("/held", held);
    auto plugin = std::dynamic_pointer_cast<plugins::HYBInAppBrowser>(controller().getCommandInstance("InAppBrowser"));
    ASSERT_TRUE(plugin && plugin->inAppBrowserViewController());
    std::shared_ptr<platform::WebView> browserPage = plugin->inAppBrowserViewController()->webView();
    struct Waiting {
        WebKitWebView* view;
        std::string url;
        testsupport::HTTPTestServer* server;
        int started = 0;
    } waiting{std::static_pointer_cast<webengine::WebKitGtkWebView>(browserPage)->engine().view(), server.url("/attachment"), &server};
    const gulong onStart = g_signal_connect(webkit_web_view_get_context(waiting.view), "download-started",
                                            G_CALLBACK(+[](WebKitWebContext*, WebKitDownload*, Waiting* w) {
                                                if (++w->started == 2)
                                                    w->server->releaseHeldReplies();
                                            }), &waiting);
    g_idle_add(+[](gpointer data) -> gboolean {
        auto* w = static_cast<Waiting*>(data);
        for (int i = 0; i < 2; ++i)
            g_object_unref(webkit_web_view_download_uri(w->view, w->url.c_str()));
        return G_SOURCE_REMOVE;
    }, &waiting);
    const int started = watch.downloads();
    const std::string events = eval("events.join(',')");
    EXPECT_EQ(browserPage->stringByEvaluatingJavaScriptFromString("var x = new XMLHttpRequest(); x.open('GET', '/held', false); x.send(); x.responseText"), "held");
    EXPECT_TRUE(e2e::waitUntil([&] { return watch.downloads() == started + 2 && watch.downloadsOver(); })) << watch.downloads() - started;
    g_signal_handler_disconnect(webkit_web_view_get_context(waiting.view), onStart);
    EXPECT_EQ(eval("events.join(',')"), events);
    EXPECT_EQ(e2e::filesWritten(before, e2e::userFiles()), "");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");

    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, APageInTheBrowserCannotAnswerTheInjectionsItAwaits)
{
    // The page answers in the injections' place every way it can: it keeps a sender of its own where the
    // injected scripts looked for one, sends answers for every id the application's page may use as soon as
    // anything is added to its document, and fires "load" on every element added.
    const std::string hostile = R"(<!DOCTYPE html><html><body><p id="hostile">hostile</p><script>
function forge() {
  for (var i = 1; i <= 200; i++) {
    var f = document.createElement('iframe'); f.style.display = 'none';
    f.src = 'hyb-iab://InAppBrowser' + i + '/' + encodeURIComponent('["forged"]');
    document.documentElement.appendChild(f);
  }
}
window._hybIabSend = function (u) { forge(); };
window._hybIabSent = function () {};
new MutationObserver(function (records) {
  var added = false;
  records.forEach(function (r) { r.addedNodes.forEach(function (n) {
    if (n.tagName === 'SCRIPT' || n.tagName === 'LINK' || n.tagName === 'STYLE') { added = true; n.dispatchEvent(new Event('load')); }
    if (n.id === '_hybIframeBridge') { added = true; }
  }); });
  if (added) { forge(); }
}).observe(document.documentElement, {childList: true, subtree: true});
</script></body></html>)";
    testsupport::HTTPTestServer server;
    server.route("/hostile.html", testsupport::Reply::text(200, hostile, "text/html"));
    server.route("/good.js", testsupport::Reply::text(200, "window.good = 'loaded';", "text/javascript"));
    launch();
    EXPECT_EQ(browse(server.url("/hostile.html")), "loadstart,loadstop");
    eval("call('sum', 'InAppBrowser', 'injectScriptCode', ['1+1']);"
         "call('missingScript', 'InAppBrowser', 'injectScriptFile', ['missing.js']);"
         "call('missingStyle', 'InAppBrowser', 'injectStyleFile', ['missing.css']);"
         "call('goodScript', 'InAppBrowser', 'injectScriptFile', ['good.js']);"
         "call('style', 'InAppBrowser', 'injectStyleCode', ['p { color: red; }']); 1");
    EXPECT_EQ(answer("sum"), "ok:[2]");
    EXPECT_EQ(answer("missingScript").rfind("fail:The script file could not be loaded: http://", 0), 0u) << answer("missingScript");
    EXPECT_EQ(answer("missingStyle").rfind("fail:The style sheet could not be loaded: http://", 0), 0u) << answer("missingStyle");
    EXPECT_EQ(answer("goodScript"), "ok:[]");
    EXPECT_EQ(answer("style"), "ok:[]");
    // The honest script file ran in the page's own world.
    eval("call('good', 'InAppBrowser', 'injectScriptCode', ['window.good']); 1");
    EXPECT_EQ(answer("good"), "ok:[\"loaded\"]");
    // Nothing the page sent reached the events of the browser either.
    EXPECT_EQ(eval("events.join(',')"), "loadstart,loadstop");

    // Led by its page to another application, the browser reports no load that would never end.
    eval("call('leave', 'InAppBrowser', 'injectScriptCode', ['location.href = \"nowhere-app://x\"; 1']); 1");
    EXPECT_EQ(answer("leave"), "ok:[1]");
    e2e::waitUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_EQ(eval("events.join(',')"), "loadstart,loadstop");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");

    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, EveryBrowserLoadAServerLeadsElsewhereEndsInLoaderror)
{
    testsupport::HTTPTestServer server;
    auto redirect = [&](const std::string& path, const std::string& target) {
        server.route(path, testsupport::Reply::text(302, "", "text/plain").withHeader("Location", target));
    };
    redirect("/bundle", "file://" + m_home.folders().bundle() + "/www/iab.html");
    redirect("/passwd", "file:///etc/passwd");
    redirect("/loop", "/loop");
    redirect("/other-application", "nowhere-app://x");
    redirect("/answer", "hyb-iab://InAppBrowser5/%5B1%5D");
    redirect("/data", "data:text/html,hi");
    redirect("/route", "hybroute://load/?file%3A%2F%2F%2Fetc%2Fpasswd");
    launch();
    for (const char* path : {"/bundle", "/passwd", "/loop", "/other-application", "/answer", "/data", "/route"}) {
        const std::string events = browse(server.url(path));
        EXPECT_TRUE(events.starts_with("loadstart,")) << path << ": " << events;
        EXPECT_NE(events.find("loaderror:"), std::string::npos) << path << ": " << events;
        EXPECT_EQ(events.find("loadstop"), std::string::npos) << path << ": " << events;
        EXPECT_EQ(events.rfind("loaderror:") , events.rfind(',') + 1) << path << ": " << events;
    }
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, APageThatChangesWhatWasInjectedGetsNoAnswerOfItsChoosing)
{
    // The page points an injected style sheet at a style of its own (which loads), gives an injected script
    // a URL of 3 MB text (which fails), and replaces JSON.stringify by a function whose value is no string
    // but turns into 50 MB of text when read (which writes no answer: the engine writes the values).
    const std::string hostile = R"(<!DOCTYPE html><html><body><p id="hostile">hostile</p><script>
new MutationObserver(function (records) {
  records.forEach(function (r) { r.addedNodes.forEach(function (n) {
    if (n.tagName === 'LINK') { n.href = 'data:text/css,p{}'; }
    if (n.tagName === 'SCRIPT') { n.setAttribute('src', 'http://127.0.0.1:9/' + 'y'.repeat(3000000)); }
  }); });
}).observe(document.documentElement, {childList: true, subtree: true});
Document.prototype.querySelectorAll = Element.prototype.querySelectorAll = function () { return []; };
</script></body></html>)";
    testsupport::HTTPTestServer server;
    server.route("/hostile.html", testsupport::Reply::text(200, hostile, "text/html"));
    server.route("/callback", testsupport::Reply::text(200, "<p>framed</p>", "text/html"));
    launch();
    EXPECT_EQ(browse(server.url("/hostile.html")), "loadstart,loadstop");
    eval("call('swapped', 'InAppBrowser', 'injectStyleFile', ['missing.css']);"
         "call('bloated', 'InAppBrowser', 'injectScriptFile', ['missing.js']);"
         "call('replace', 'InAppBrowser', 'injectScriptCode', ['JSON.stringify = function () {"
         " return {length: 0, toString: function () { return \"[\" + \"1\".repeat(50000000) + \"]\"; }}; }; 1']);"
         "call('afterwards', 'InAppBrowser', 'injectScriptCode', ['[1, 2]']);"
         "call('threw', 'InAppBrowser', 'injectScriptCode', ['throw 1']); 1");
    EXPECT_EQ(answer("swapped"), "fail:The page changed the injected element");
    EXPECT_EQ(answer("bloated"), "fail:The script file could not be loaded: " + server.url("/missing.js"));
    EXPECT_EQ(answer("replace"), "ok:[1]");
    // The value is written by the engine, not by the page's JSON.stringify.
    EXPECT_EQ(answer("afterwards"), "ok:[[1,2]]");
    EXPECT_EQ(answer("threw"), "fail:The script threw");
    // A frame the page adds, with its frames hidden from its own searches, is no load of the browser's.
    eval("call('framed', 'InAppBrowser', 'injectScriptCode', ['var f = document.createElement(\"iframe\");"
         " f.src = \"" + server.url("/callback") + "\"; document.body.appendChild(f); 1']); 1");
    EXPECT_EQ(answer("framed"), "ok:[1]");
    EXPECT_TRUE(e2e::waitUntil([&] {
        const auto requests = server.requests();
        return std::any_of(requests.begin(), requests.end(), [](const testsupport::RecordedRequest& r) { return r.path == "/callback"; });
    }));
    eval("call('afterFrame', 'InAppBrowser', 'injectScriptCode', ['2']); 1");
    EXPECT_EQ(answer("afterFrame"), "ok:[2]");
    EXPECT_EQ(eval("events.join(',')"), "loadstart,loadstop");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, ABrowserClosedWhileItsPageIsBusyLeavesTheNextBrowsersInjectionsAnswered)
{
    // The page is busy when the browser closes, with a read of an injected style sheet's outcome under way:
    // the read goes with the closed browser's web view.
    testsupport::HTTPTestServer server;
    testsupport::Reply held = testsupport::Reply::text(200, "p{}", "text/css");
    held.hold = true;
    server.route("/held.css", held);
    server.route("/page.html", testsupport::Reply::text(200, "<p>page</p>", "text/html"));
    server.route("/good.css", testsupport::Reply::text(200, "p{}", "text/css"));
    launch();
    EXPECT_EQ(browse(server.url("/page.html")), "loadstart,loadstop");
    eval("call('busy', 'InAppBrowser', 'injectScriptCode', ['setTimeout(function () { var t = Date.now() + 2000; while (Date.now() < t) {} }, 200); 1']);"
         "call('held', 'InAppBrowser', 'injectStyleFile', ['held.css']); 1");
    EXPECT_EQ(answer("busy"), "ok:[1]");
    e2e::waitUntil([] { return false; }, std::chrono::milliseconds(600));
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    EXPECT_EQ(answer("held"), "fail:The browser was closed before the injection ended");
    server.releaseHeldReplies();
    EXPECT_EQ(browse(server.url("/page.html")), "loadstart,loadstop");
    eval("call('good', 'InAppBrowser', 'injectStyleFile', ['good.css']); 1");
    EXPECT_EQ(answer("good"), "ok:[]");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, InjectedElementsThePageTakesAwayAreAnswered)
{
    // The page removes each style sheet link added to it (whose load then ends with no event), then its
    // document's root, so that nothing can be added to it.
    const std::string hostile = R"(<!DOCTYPE html><html><body><p>hostile</p><script>
new MutationObserver(function (records) {
  records.forEach(function (r) { r.addedNodes.forEach(function (n) { if (n.tagName === 'LINK') { n.remove(); } }); });
}).observe(document.documentElement, {childList: true, subtree: true});
</script></body></html>)";
    testsupport::HTTPTestServer server;
    testsupport::Reply held = testsupport::Reply::text(200, "p{}", "text/css");
    held.hold = true;
    server.route("/held.css", held);
    server.route("/hostile.html", testsupport::Reply::text(200, hostile, "text/html"));
    launch();
    EXPECT_EQ(browse(server.url("/hostile.html")), "loadstart,loadstop");
    eval("call('removed', 'InAppBrowser', 'injectStyleFile', ['held.css']); 1");
    EXPECT_EQ(answer("removed"), "fail:The page removed the injected element");
    eval("call('noRoot', 'InAppBrowser', 'injectScriptCode', ['document.removeChild(document.documentElement); 1']); 1");
    EXPECT_EQ(answer("noRoot"), "ok:[1]");
    eval("call('notAdded', 'InAppBrowser', 'injectStyleCode', ['p{}']); 1");
    EXPECT_EQ(answer("notAdded"), "fail:The injected element could not be added to the page");
    server.releaseHeldReplies();
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, AFloodOfLoadsNobodyAnswersLeavesTheApplicationItsServicesAndEndsWithItsPage)
{
    hybtest::LogCapture log;
    SilentServer silent;
    testsupport::HTTPTestServer server;
    server.route("/flood.html", testsupport::Reply::text(200, kFloodPage, "text/html"));
    server.route("/api", testsupport::Reply::text(200, "pong"));
    launch();
    eval("call('dir', 'File', 'getFile', ['hybfile://localhost/persistent/', 'note.txt', {create: true}]); 1");
    ASSERT_EQ(answer("dir").rfind("ok:", 0), 0u) << answer("dir");
    // The application's own services, each of which needs a descriptor of its own.
    const auto expectTheServicesWork = [&](const std::string& round) {
        eval("call('write" + round + "', 'File', 'write', ['hybfile://localhost/persistent/note.txt', 'round " + round + "', 0]);"
             "call('set" + round + "', 'Keychain', 'setForKey', ['k', '" + round + "']);"
             "xhr('xhr" + round + "', '" + server.url("/api") + "'); 1");
        EXPECT_EQ(answer("write" + round), "ok:" + std::to_string(6 + round.size())) << round;
        eval("xhr('read" + round + "', 'hybfile://localhost/persistent/note.txt'); 1");
        EXPECT_EQ(answer("read" + round), "status:200:round " + round) << round;
        EXPECT_EQ(answer("set" + round), "ok:null") << round;
        eval("call('get" + round + "', 'Keychain', 'getForKey', ['k']); 1");
        EXPECT_EQ(answer("get" + round), "ok:\"" + round + "\"") << round;
        EXPECT_EQ(answer("xhr" + round), "status:200:pong") << round;
    };

    // The loads at the silent server end, and none of those that waited in this process starts on the way:
    // the count of connections only falls.
    const auto expectTheLoadsEndUnreplaced = [&](const std::string& what) {
        std::size_t fewest = connectionsTo(silent.port());
        std::size_t rose = 0;
        EXPECT_TRUE(e2e::waitUntil([&] {
            const std::size_t now = connectionsTo(silent.port());
            rose = std::max(rose, now > fewest ? now - fewest : 0);
            fewest = std::min(fewest, now);
            return now == 0;
        }, std::chrono::seconds(5))) << what << ": " << connectionsTo(silent.port());
        EXPECT_EQ(rose, 0u) << what << ": loads that waited started after their page or frame had gone";
    };
    // The same for loads the engine's network process makes, counted at the servers: they all end once their
    // page or frame has gone.
    const auto held = [](const std::vector<const SilentServer*>& servers) {
        std::size_t count = 0;
        for (const SilentServer* server : servers)
            count += server->held();
        return count;
    };
    const auto expectTheEnginesLoadsEnd = [&](const std::string& what, const std::vector<const SilentServer*>& servers) {
        EXPECT_TRUE(e2e::waitUntil([&] { return held(servers) == 0; }, std::chrono::seconds(60))) << what << ": " << held(servers);
    };

    // From the browser: 2,000 loads. A foreign page's loads go out through the engine's own network stack,
    // which holds a bounded number of connections to one host; none is this process's, whose descriptors
    // stay the application's.
    EXPECT_EQ(browse(server.url("/flood.html")), "loadstart,loadstop");
    eval("call('flood', 'InAppBrowser', 'injectScriptCode', ['flood(2000, \"" + silent.url("/hang") + "\")']); 1");
    EXPECT_EQ(answer("flood"), "ok:[2000]");
    EXPECT_TRUE(e2e::waitUntil([&] { return silent.held() >= 1; }, std::chrono::seconds(60)));
    e2e::waitUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_LE(silent.held(), 8u) << "the loads at one host hold a bounded number of connections";
    EXPECT_EQ(connectionsTo(silent.port()), 0u) << "a foreign page's loads are the engine's";
    expectTheServicesWork("browser");
    // The browser closes: what its page held comes back.
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    expectTheEnginesLoadsEnd("the browser", {&silent});

    // From a frame of another site in the application's own page, at four hosts. The engine's marks on the
    // frame's requests tell them from the page's own: they go out through the engine too, so the
    // application's page still reads its files and the web, and loads its images at once (through its own
    // share of the loads this process makes, which the frame has none of), while the flood goes on.
    // The hosts are four the browser's page did not flood.
    server.route("/picture.svg", testsupport::Reply::text(200, "<svg xmlns='http://www.w3.org/2000/svg' width='1' height='1'/>", "image/svg+xml"));
    const std::vector<SilentServer> others(4);
    std::string targets;
    std::vector<const SilentServer*> frameHosts;
    for (const SilentServer& other : others) {
        targets += (targets.empty() ? "" : "%20") + other.url("/frame");
        frameHosts.push_back(&other);
    }
    const auto flooded = [&] { return held(frameHosts); };
    eval("frame('" + server.url("/flood.html") + "#" + targets + "'); 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return flooded() >= 4; }, std::chrono::seconds(120))) << flooded();
    e2e::waitUntil([] { return false; }, std::chrono::milliseconds(500));
    for (const SilentServer& other : others) {
        EXPECT_LE(other.held(), 8u);
        EXPECT_EQ(connectionsTo(other.port()), 0u) << "a foreign frame's loads are the engine's";
    }
    expectTheServicesWork("frame");
    // The frame asked for 12,000: past the bound of its page's loads in flight the rest failed, said once.
    const auto refusals = [&] {
        const std::vector<std::string> lines = log.lines();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.find("web loads at once") != std::string::npos; });
    };
    EXPECT_TRUE(e2e::waitUntil([&] { return refusals() > 0; }));
    EXPECT_EQ(refusals(), 1);
    eval("images('pictures', '" + server.url("/picture.svg") + "', 16); 1");
    const std::string pictures = answer("pictures");
    EXPECT_EQ(pictures.rfind("loaded:", 0), 0u) << pictures;
    EXPECT_GE(flooded(), 1u) << "the images loaded while the flood went on";
    std::printf("The application's 16 images, loaded during a foreign frame's flood: %s ms\n", pictures.c_str() + std::min<std::size_t>(7, pictures.size()));
    eval("document.getElementById('flood').remove(); 1");
    expectTheEnginesLoadsEnd("the foreign frame", frameHosts);

    // From a frame of the application's own files: its loads are the application's, made by this process a
    // bounded number at a time (by the loopback route, the engine's 6 at one host; once the engine holds 1,024 of
    // the page's loads, by the scheme's road, 8 at one host), the rest waiting in order, with a body the frame reads that
    // never ends besides. The frame fills its view's waiting room; the application's page still reads its
    // files and the web; the frame's removal gives it all back, and none of its loads that waited starts.
    testsupport::HTTPTestServer trickling;
    testsupport::Reply endless = testsupport::Reply::text(200, "x");
    endless.bodyRepeat = 1u << 30;
    endless.pieceSize = 16;
    endless.pauseBetweenPieces = std::chrono::milliseconds(20);
    endless.withHeader("Access-Control-Allow-Origin", "*");
    trickling.route("/trickle", endless);
    m_home.writeBundleFile("www/flood.html", kFloodPage);
    eval("frame('flood.html?trickle=" + trickling.url("/trickle") + "#" + silent.url("/frame") + "%20" + targets + "'); 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return connectionsTo(silent.port()) >= 8 && connectionsTo(trickling.port()) == 1; },
                               std::chrono::seconds(60)))
        << connectionsTo(silent.port()) << " silent, " << connectionsTo(trickling.port()) << " endless";
    e2e::waitUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_LE(connectionsTo(silent.port()), 6u + 8u);
    expectTheServicesWork("ownframe");
    eval("document.getElementById('flood').remove(); 1");
    expectTheLoadsEndUnreplaced("the application's frame");
    EXPECT_TRUE(e2e::waitUntil([&] { return connectionsTo(trickling.port()) == 0; }, std::chrono::seconds(60))) << "the endless body";
    expectTheServicesWork("after");
    expectAnOrdinaryCallIsAnswered("later");
    // None of the loads that waited started once its page or frame had gone.
    EXPECT_EQ(connectionsTo(silent.port()), 0u);
    for (const SilentServer& other : others)
        EXPECT_EQ(connectionsTo(other.port()), 0u);
}

TEST_F(HostileCallsPageTest, APageOfManyImagesLoadsThemAllInTheApplicationsPageAndInTheBrowsers)
{
    // 1,500 images at once, far more than the loads that run at once: the rest wait their turn, in the
    // application's own page (whose web loads this process makes) and in the browser's (whose the engine makes).
    // Each image comes in two pieces a little apart, so that most of them are asked for before any has come.
    testsupport::HTTPTestServer server;
    testsupport::Reply picture = testsupport::Reply::text(200, "<svg xmlns='http://www.w3.org/2000/svg' width='1' height='1'/>", "image/svg+xml");
    picture.pieceSize = 32;
    picture.pauseBetweenPieces = std::chrono::milliseconds(20);
    server.route("/picture.svg", picture);
    std::mutex told;
    std::string outcome;
    server.route("/outcome", [&](const testsupport::RecordedRequest& request) {
        std::lock_guard<std::mutex> hold(told);
        outcome = request.query;
        return testsupport::Reply::text(200, "");
    });
    // The browser's page tells the server how its images did.
    server.route("/pictures.html", testsupport::Reply::text(200, R"(<!DOCTYPE html><html><body><script>
function pictures(n) {
  var left = n, failed = 0;
  function one() { if (--left === 0) { fetch('/outcome?loaded=' + (n - failed) + '&failed=' + failed); } }
  for (var i = 0; i < n; i++) { var image = new Image(); image.onload = one; image.onerror = function () { failed++; one(); }; image.src = '/picture.svg?' + i; }
  return n;
}
</script></body></html>)", "text/html"));
    launch();
    eval("images('own', '" + server.url("/picture.svg") + "', 1500); 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return eval("results['own'] || ''") != ""; }, std::chrono::minutes(2)));
    EXPECT_EQ(eval("(results['own'] || '').substring(0, 7)"), "loaded:") << eval("results['own']");

    EXPECT_EQ(browse(server.url("/pictures.html")), "loadstart,loadstop");
    eval("call('pictures', 'InAppBrowser', 'injectScriptCode', ['pictures(1500)']); 1");
    EXPECT_EQ(answer("pictures"), "ok:[1500]");
    const auto heard = [&] {
        std::lock_guard<std::mutex> hold(told);
        return outcome;
    };
    EXPECT_TRUE(e2e::waitUntil([&] { return !heard().empty(); }, std::chrono::minutes(2)));
    EXPECT_EQ(heard(), "loaded=1500&failed=0");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, ThePageBoundOfWebLoadsInFlightHoldsRoundAfterRound)
{
    // A page asks for 100 loads more than its bound at once, twice: each round, those past the bound fail at once.
    // (The loads refused in the first round went nowhere: they count as none that ended.)
    testsupport::HTTPTestServer server;
    server.route("/item", testsupport::Reply::text(200, "x"));
    std::mutex told;
    std::vector<std::string> outcomes;
    server.route("/outcome", [&](const testsupport::RecordedRequest& request) {
        std::lock_guard<std::mutex> hold(told);
        outcomes.push_back(request.query);
        return testsupport::Reply::text(200, "");
    });
    server.route("/round.html", testsupport::Reply::text(200, R"(<!DOCTYPE html><html><body><script>
function round(n) {
  var left = n, failed = 0;
  function one() { if (--left === 0) { fetch('/outcome?failed=' + failed); } }
  for (var i = 0; i < n; i++) fetch('/item?' + i).then(function (r) { return r.text(); }).then(one, function () { failed++; one(); });
  return n;
}
</script></body></html>)", "text/html"));
    launch();
    EXPECT_EQ(browse(server.url("/round.html")), "loadstart,loadstop");
    const auto outcome = [&](std::size_t round) {
        EXPECT_TRUE(e2e::waitUntil([&] {
            std::lock_guard<std::mutex> hold(told);
            return outcomes.size() > round;
        }, std::chrono::minutes(2)));
        std::lock_guard<std::mutex> hold(told);
        return outcomes.size() > round ? outcomes[round] : std::string();
    };
    eval("call('first', 'InAppBrowser', 'injectScriptCode', ['round(4196)']); 1");
    EXPECT_EQ(answer("first"), "ok:[4196]");
    EXPECT_EQ(outcome(0), "failed=100");
    eval("call('second', 'InAppBrowser', 'injectScriptCode', ['round(4196)']); 1");
    EXPECT_EQ(answer("second"), "ok:[4196]");
    EXPECT_EQ(outcome(1), "failed=100");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, TheApplicationsUploadsReadTheirAnswersWhileItsPageHoldsTheEngineBusy)
{
    // The application's page holds more loads at a server that never answers than the engine may carry of its own
    // at once (the rest take the scheme's road); a Blob, a FormData and a byte upload to a server that names no
    // reader still read their answers, as the application's document (the scheme's road cannot carry a Blob).
    SilentServer silent;
    testsupport::HTTPTestServer server;
    server.route("/echo", [](const testsupport::RecordedRequest& request) { return testsupport::Reply::text(200, std::to_string(request.body.size())); });
    launch();
    eval("for (var i = 0; i < 1100; i++) fetch('" + silent.url("/hang") + "?' + i).catch(function () {});"
         "function post(name, body) { fetch('" + server.url("/echo") + "', {method: 'POST', body: body})"
         "  .then(function (r) { return r.text(); }).then(function (t) { results[name] = 'read:' + t; }, function () { results[name] = 'error'; }); } 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return connectionsTo(silent.port()) >= 1; }, std::chrono::seconds(60)));
    eval("var form = new FormData(); form.append('a', 'b');"
         "post('blob', new Blob(['abc'])); post('form', form); post('bytes', new Uint8Array(5)); 1");
    EXPECT_EQ(answer("blob"), "read:3");
    EXPECT_EQ(answer("form").rfind("read:", 0), 0u) << answer("form");
    EXPECT_EQ(answer("bytes"), "read:5");
    expectAnOrdinaryCallIsAnswered("later");
}

TEST_F(HostileCallsPageTest, BodiesOfAnySizeOrCodingPassThroughTheApplicationInAWindowAndUploadsArriveWhole)
{
    testsupport::HTTPTestServer server;
    testsupport::Reply big = testsupport::Reply::text(200, std::string(1 << 20, 'b'), "application/octet-stream");
    big.bodyRepeat = 512; // 512 MiB: twice what the application may hold more, 512 windows
    server.route("/big", big.withHeader("Access-Control-Allow-Origin", "*"));
    server.route("/sixteen", testsupport::Reply::text(200, std::string(16 << 20, 's')).withHeader("Access-Control-Allow-Origin", "*"));
    server.route("/bomb", testsupport::Reply::text(200, testsupport::gzippedZeros(std::uint64_t{512} << 20), "application/octet-stream")
                              .withHeader("Content-Encoding", "gzip").withHeader("Access-Control-Allow-Origin", "*"));
    server.route("/upload", [](const testsupport::RecordedRequest& request) {
        uLong digest = crc32(0, reinterpret_cast<const Bytef*>(request.body.data()), static_cast<uInt>(request.body.size()));
        return testsupport::Reply::text(200, std::to_string(request.body.size()) + ":" + std::to_string(digest))
            .withHeader("Access-Control-Allow-Origin", "*");
    });
    // A file of the application's page as large (sparse: it costs no disk).
    const std::string file = m_home.folders().bundle() + "/www/large.bin";
    {
        std::ofstream{file};
        ASSERT_EQ(::truncate(file.c_str(), off_t{512} << 20), 0);
    }
    launch();
    const std::size_t idle = memoryHeld();
    constexpr std::size_t kAllowance = std::size_t{256} << 20;
    // A body's bytes count in its window until they reached the page's process, not only until the engine read
    // them (it sends what it reads on at once, holding here what it has not sent yet): a body of any size passes
    // in far less than what all loads may hold together (64 MiB).
    constexpr std::size_t kBodyAllowance = std::size_t{96} << 20;
    for (const auto& [name, url, size] : std::vector<std::tuple<std::string, std::string, std::uint64_t>>{
             {"big", server.url("/big"), std::uint64_t{512} << 20}, {"bomb", server.url("/bomb"), std::uint64_t{512} << 20},
             {"file", "large.bin", std::uint64_t{512} << 20}}) {
        MemoryPeak peak;
        eval("drain('" + name + "', '" + url + "'); 1");
        EXPECT_TRUE(e2e::waitUntil([&] { return eval("results['" + name + "'] || ''") != ""; }, std::chrono::minutes(5))) << name;
        const std::size_t most = peak.stop();
        EXPECT_EQ(eval("results['" + name + "']"), "read:" + std::to_string(size)) << name;
        EXPECT_LT(most, idle + kBodyAllowance) << name << ": the application held " << (most - std::min(most, idle)) / (1 << 20) << " MiB more";
        EXPECT_TRUE(e2e::waitUntil([&] { return memoryHeld() < idle + kAllowance / 4; }, std::chrono::seconds(30)))
            << name << ": " << (memoryHeld() - std::min(memoryHeld(), idle)) / (1 << 20) << " MiB still held";
    }

    // A synchronous XHR: the page's process takes nothing while it waits (the engine gathers the answer whole), yet
    // the body comes, not held back for the page to take it.
    eval("var sync = new XMLHttpRequest(); sync.open('GET', '" + server.url("/sixteen") + "', false); sync.send();"
         "results['sync'] = sync.status + ':' + sync.responseText.length; 1");
    EXPECT_EQ(eval("results['sync']"), "200:" + std::to_string(16 << 20));

    // An upload past what a small body is: it goes out whole, streamed, and the page hears the server.
    constexpr std::size_t kUpload = std::size_t{100} << 20;
    std::string expected(kUpload, '\0');
    for (std::size_t i = 0; i < kUpload; i += 4096)
        expected[i] = static_cast<char>((i / 4096) & 255);
    const uLong digest = crc32(0, reinterpret_cast<const Bytef*>(expected.data()), static_cast<uInt>(expected.size()));
    expected.clear();
    eval("upload('upload', '" + server.url("/upload") + "', " + std::to_string(kUpload) + "); 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return eval("results['upload'] || ''") != ""; }, std::chrono::minutes(3)));
    EXPECT_EQ(eval("results['upload']"), "status:200:" + std::to_string(kUpload) + ":" + std::to_string(digest));
    expectAnOrdinaryCallIsAnswered("later");
}
