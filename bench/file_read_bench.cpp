// What a page's readAsArrayBuffer costs the application in memory, on the real engine.
//
// Each run starts a new process (this executable with --read) that shows a page with the bridge's script,
// registers the file plug-in, and has the page read `count` files of `MiB` MiB each, all at once. The
// process reports its resident set once the page has loaded (before any read), its peak over the run and
// its resident set once every answer reached the page. The baseline is the same process reading one
// 1-byte file in the same run: its peak is the application with nothing large read. Printed: the peak
// above the baseline over the bytes read (the read's cost per byte), and what stays afterwards.
#include "files/HYBFile.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/runloop/RunLoop.h"
#include "support/EngineProcesses.h"
#include "support/FilePageHost.h"
#include "webengine/NestedLoop.h"
#include "platform/system/ProcessEnvironment.h"
#include "webengine/PrivateDisplay.h"
#include "webengine/WebKitGtkWebView.h"

#include <gtk/gtk.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path sourceFolder()
{
    for (fs::path dir = fs::read_symlink("/proc/self/exe").parent_path(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
        if (fs::exists(dir / "app/bundle/www/hybrid.js"))
            return dir;
    }
    return {};
}

// A field of /proc/self/status, in KiB.
long statusKiB(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, length, field) == 0)
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
    }
    return 0;
}


bool waitFor(const std::function<bool()>& done, std::chrono::seconds limit)
{
    const guint poll = g_timeout_add(10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    const bool held = webengine::runNestedLoopUntil(done, limit);
    g_source_remove(poll);
    return held;
}

// The measured process: prints "<rss before KiB> <peak KiB> <rss after KiB>" on its standard output.
int readFiles(std::size_t bytes, int count)
{
    if (!gtk_init_check(nullptr, nullptr))
        return 1;
    // Under TMPDIR, as the tests' folders are.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/hyb-read-bench-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return 1;
    const fs::path home = pattern;
    // The engine's network process writes into the home's Library until it ends: the engine's processes
    // are ended first, then the home is removed. Nothing of the engine is torn down in this process.
    auto finish = [&](int status) {
        std::fflush(stdout);
        hybtest::endChildProcesses();
        std::error_code ignored;
        fs::remove_all(home, ignored);
        std::_Exit(status);
        return status;
    };
    platform::AppFolders folders(home.string(), (home / "App.bundle").string());
    platform::AppFolders::install(folders);
    if (!folders.createFolders().ok())
        return finish(1);
    fs::create_directories(folders.www());
    fs::copy_file(sourceFolder() / "app/bundle/www/hybrid.js", fs::path(folders.www()) / "hybrid.js");
    for (int i = 0; i < count; ++i) {
        std::ofstream out(folders.documents() + "/read-" + std::to_string(i) + ".bin", std::ios::binary);
        std::string block(1 << 20, 'r');
        for (std::size_t left = bytes; left > 0;) {
            const std::size_t n = std::min(left, block.size());
            out.write(block.data(), static_cast<std::streamsize>(n));
            left -= n;
        }
    }
    std::ofstream(folders.www() + "/index.html")
        << "<html><head><script src='hybrid.js'></script><script>"
           "hybrid.require('hybrid/exec').setJsToNativeBridgeMode('iframe');"
           "window.done = 0; window.failed = 0;"
           "function readAll(count) { for (var i = 0; i < count; ++i) hybrid.exec("
           " function (m) { window.done += (m && m.byteLength !== undefined) ? 1 : 0; window.failed += (m && m.byteLength !== undefined) ? 0 : 1; },"
           " function (e) { window.failed += 1; }, 'File', 'readAsArrayBuffer', ['hybfile://localhost/persistent/read-' + i + '.bin', 0, -1]); }"
           "</script></head><body></body></html>";

    files::HYBFile::registerClass();
    webengine::WebKitGtkWebView::installAsEngine();
    auto host = std::make_shared<hybtest::FilePageHost>();
    host->view = std::dynamic_pointer_cast<webengine::WebKitGtkWebView>(platform::WebView::create(platform::Rect(0, 0, 320, 480)));
    host->view->setDelegate(host);
    host->start();
    GtkWidget* window = gtk_offscreen_window_new();
    gtk_container_add(GTK_CONTAINER(window), host->view->widget());
    gtk_widget_show_all(window);
    host->view->loadRequest(platform::URLRequest("file://" + folders.www() + "/index.html"));
    if (!waitFor([&] { return host->loads > 0; }, std::chrono::seconds(30)))
        return finish(1);
    // Settle, then measure from here.
    waitFor([] { return false; }, std::chrono::seconds(1));
    const long before = statusKiB("VmRSS:");
    host->view->stringByEvaluatingJavaScriptFromString("readAll(" + std::to_string(count) + ")");
    auto answered = [&] {
        return std::atoi(host->view->stringByEvaluatingJavaScriptFromString("String(window.done + window.failed)").c_str()) >= count;
    };
    if (!waitFor(answered, std::chrono::seconds(120)))
        return finish(1);
    const int failed = std::atoi(host->view->stringByEvaluatingJavaScriptFromString("String(window.failed)").c_str());
    waitFor([] { return false; }, std::chrono::seconds(1));
    const long peak = statusKiB("VmHWM:");
    const long after = statusKiB("VmRSS:");
    std::printf("%ld %ld %ld %d\n", before, peak, after, failed);
    return finish(0);
}

struct Measured {
    long before = 0, peak = 0, after = 0;
    int failed = 0;
    bool ok = false;
};

Measured measure(std::size_t bytes, int count)
{
    // Made before the fork: between fork and exec only async-signal-safe calls (another thread may hold the
    // allocator's lock). No accessibility bus for the measured program.
    const platform::ProcessEnvironment::Block environment = platform::ProcessEnvironment::forOtherPrograms({{"NO_AT_BRIDGE", "1"}});
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string option = "--read", size = std::to_string(bytes), number = std::to_string(count);
    char* argv[] = {self.data(), option.data(), size.data(), number.data(), nullptr};
    int out[2];
    if (pipe(out) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execve(self.c_str(), argv, environment.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    Measured m;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           std::sscanf(text.c_str(), "%ld %ld %ld %d", &m.before, &m.peak, &m.after, &m.failed) == 4;
    return m;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--read") == 0)
        return readFiles(std::strtoull(argv[2], nullptr, 10), std::atoi(argv[3]));

    std::unique_ptr<webengine::PrivateDisplay> display;
    if (!webengine::PrivateDisplay::isDisplayAvailable()) {
        auto started = webengine::PrivateDisplay::start();
        if (!started.ok()) {
            std::fprintf(stderr, "file_read_bench: %s\n", started.error().localizedDescription().c_str());
            return 1;
        }
        display = std::move(*started);
    }
    if (sourceFolder().empty()) {
        std::fprintf(stderr, "file_read_bench: the sample bundle's hybrid.js was not found\n");
        return 1;
    }
    const Measured baseline = measure(1, 1);
    if (!baseline.ok) {
        std::fprintf(stderr, "file_read_bench: the baseline run failed\n");
        return 1;
    }
    std::printf("baseline (one 1-byte read): settled %.0f MiB, peak %.0f MiB\n", baseline.before / 1024.0, baseline.peak / 1024.0);
    struct Case {
        std::size_t mib;
        int count;
    };
    int failedRuns = 0;
    for (Case c : {Case{16, 1}, Case{64, 1}, Case{64, 8}}) {
        const Measured m = measure(c.mib << 20, c.count);
        if (!m.ok) {
            std::printf("%d x %zu MiB: the run failed\n", c.count, c.mib);
            ++failedRuns;
            continue;
        }
        const double read = static_cast<double>(c.mib) * c.count;
        const double extra = (m.peak - baseline.peak) / 1024.0;
        std::printf("%d x %3zu MiB read at once: peak %.0f MiB (baseline + %.0f), cost per byte read %.2f; "
                    "left afterwards %.0f MiB above the settled %.0f; %d refused\n",
                    c.count, c.mib, m.peak / 1024.0, extra, extra / read, (m.after - m.before) / 1024.0, m.before / 1024.0, m.failed);
    }
    // A case that measured nothing fails the program (the others are still run and printed).
    if (failedRuns > 0) {
        std::fprintf(stderr, "file_read_bench: %d of the runs failed\n", failedRuns);
        return 1;
    }
    return 0;
}
