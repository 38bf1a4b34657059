// Test support for the WebKit engine: a display check, a temporary folder of pages, a recording client,
// a bounded wait on the GLib main loop, and a small PDF with what a picture of a view shows of it.
#pragma once

#include "platform/ui/Image.h"
#include "support/EngineProcesses.h"
#include "support/PrivateEnvironment.h"
#include "support/Snapshot.h"
#include "webengine/NestedLoop.h"
#include "webengine/WebContext.h"
#include "webengine/WebKitEngine.h"

#include <cairo-pdf.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

namespace {

// The engine's processes of a test program keep their temporary files (pages' Blobs) in a folder the program
// settles as it loads, before any thread starts, as the application does in main: inside the program's private
// folder (support/PrivateEnvironment.h, entered just before), never the system's temporary folder.
[[gnu::constructor(102)]] void settleEngineTemporaryFolderAtLoad()
{
    const char* root = std::getenv(hybtest::kPrivateRootVariable);
    if (!root || !*root || webengine::WebContext::temporaryFolder())
        return;
    if (auto settled = webengine::WebContext::settleTemporaryFolder(std::string(root) + "/engine"); !settled.ok()) {
        std::fprintf(stderr, "cannot settle the engine's temporary folder: %s\n", settled.error().localizedDescription().c_str());
        std::abort();
    }
}

} // namespace

// Runs the main loop until `done` holds or the time-out passes; returns whether `done` holds. A poll source
// wakes the loop every few milliseconds: `done` may wait on something no event of this process announces
// (a file another process writes), and the loop would otherwise sleep until its next event. The default
// time-out only guards against a hang: a page's loads on a machine loaded thirty deep took over 20 s.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(60))
{
    const guint poll = g_timeout_add(10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    const bool held = webengine::runNestedLoopUntil(done, timeout);
    g_source_remove(poll);
    return held;
}

// A folder of test files under $TMPDIR (or /tmp), removed at the end (and again once the engine's processes have ended: they
// may still write into a folder a page of theirs used).
class TempFolder {
public:
    TempFolder()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/hyb-e2e-XXXXXX";
        if (mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~TempFolder() { hybtest::removeNowAndAfterEngine(m_path); }
    const std::string& path() const { return m_path; }
    std::string write(const std::string& name, const std::string& text) const
    {
        const std::string file = m_path + "/" + name;
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file) << text;
        return file;
    }
    std::string url(const std::string& name) const { return "file://" + m_path + "/" + name; }

private:
    std::string m_path;
};

// What a page could have written on the user's disk: every file under HOME (which holds the XDG homes and
// the download folder user-dirs.dirs names) and the runtime folder, by path, with its size and last change.
// The user's cache home is in it: the engine's libraries keep their caches (the driver's shader programs,
// GStreamer's registry, font lists) in the application's caches instead (WebContext::settleTemporaryFolder).
inline std::map<std::string, std::string> userFiles()
{
    std::map<std::string, std::string> files;
    for (const char* variable : {"HOME", "XDG_RUNTIME_DIR"}) {
        const char* folder = std::getenv(variable);
        if (!folder || !*folder)
            continue;
        std::error_code error;
        using Walk = std::filesystem::recursive_directory_iterator;
        for (Walk it(folder, std::filesystem::directory_options::skip_permission_denied, error); !error && it != Walk(); it.increment(error)) {
            struct stat st {};
            if (::lstat(it->path().c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
                files[it->path().string()] = std::to_string(st.st_size) + " bytes, changed at " + std::to_string(st.st_mtim.tv_sec) + "."
                                             + std::to_string(st.st_mtim.tv_nsec);
        }
    }
    return files;
}

// The files `after` holds that `before` did not, or not as they are now: one a line.
inline std::string filesWritten(const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after)
{
    std::string written;
    for (const auto& [path, state] : after) {
        const auto was = before.find(path);
        if (was == before.end() || was->second != state)
            written += path + " (" + state + ")\n";
    }
    return written;
}

// Names "$HOME/Downloads" the user's download folder in user-dirs.dirs, as a desktop does, and makes it.
inline std::string nameDownloadFolder()
{
    const std::string downloads = std::string(std::getenv("HOME")) + "/Downloads";
    std::filesystem::create_directories(downloads);
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::create_directories(config);
    std::ofstream(std::string(config) + "/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n";
    g_reload_user_special_dirs_cache();
    return downloads;
}

// A one-page PDF of 300 x 200 points, made by Cairo's PDF surface: a red block over black text. A view that
// shows it draws the block's red and the text's dark pixels, where a blank page has neither.
inline std::string redBlockPDF()
{
    std::string bytes;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(
        [](void* closure, const unsigned char* data, unsigned int length) {
            static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
            return CAIRO_STATUS_SUCCESS;
        },
        &bytes, 300, 200);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 0.9, 0.1, 0.1);
    cairo_rectangle(cr, 20, 20, 260, 80);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 40);
    cairo_move_to(cr, 20, 160);
    cairo_show_text(cr, "PDF shown");
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    cairo_surface_destroy(surface);
    return bytes;
}

// A picture of what the engine's view shows, or null when none can be taken.
inline platform::Image::Ptr pictureOf(webengine::WebKitEngine& engine)
{
    auto surface = engine.snapshot();
    if (!surface.ok() || cairo_image_surface_get_format(surface->get()) != CAIRO_FORMAT_ARGB32)
        return nullptr;
    cairo_surface_flush(surface->get());
    const int width = cairo_image_surface_get_width(surface->get());
    const int height = cairo_image_surface_get_height(surface->get());
    const int stride = cairo_image_surface_get_stride(surface->get());
    const unsigned char* data = cairo_image_surface_get_data(surface->get());
    // Cairo's pixels are native-endian words of premultiplied alpha, red, green and blue.
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint32_t pixel;
            std::memcpy(&pixel, data + static_cast<std::size_t>(y) * stride + x * 4, 4);
            const std::uint32_t alpha = pixel >> 24;
            const auto straight = [&](int shift) {
                const std::uint32_t value = (pixel >> shift) & 0xff;
                return static_cast<std::uint8_t>(alpha ? std::min<std::uint32_t>(255, value * 255 / alpha) : 0);
            };
            std::uint8_t* out = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
            out[0] = straight(16);
            out[1] = straight(8);
            out[2] = straight(0);
            out[3] = static_cast<std::uint8_t>(alpha);
        }
    }
    auto image = platform::Image::fromRGBA(width, height, rgba);
    return image.ok() ? *image : nullptr;
}

// The shares of a picture's pixels that are redBlockPDF()'s red and that are dark (its text's; the engine's PDF
// viewer's own toolbar adds a few dozen).
struct PDFPixels {
    double red = 0;
    double dark = 0;
    // Whether the PDF's page is drawn: its block and its text, as in a view of a phone's width.
    bool shown() const { return red > 0.03 && dark > 0.006; }
};
inline PDFPixels pdfPixelsOf(const platform::Image& picture)
{
    const std::vector<std::uint8_t> rgba = picture.rgbaPixels();
    const double total = static_cast<double>(rgba.size() / 4);
    PDFPixels share;
    if (total == 0)
        return share;
    for (std::size_t i = 0; i + 3 < rgba.size(); i += 4) {
        const int r = rgba[i], g = rgba[i + 1], b = rgba[i + 2];
        share.red += r > 180 && g < 80 && b < 80 ? 1 : 0;
        share.dark += r < 60 && g < 60 && b < 60 ? 1 : 0;
    }
    share.red /= total;
    share.dark /= total;
    return share;
}

// Waits until the view's picture shows redBlockPDF()'s page, keeps the last picture where snapshots go (named
// `name`, to be looked at), and says what it showed.
inline ::testing::AssertionResult showsRedBlockPDF(webengine::WebKitEngine& engine, const std::string& name)
{
    platform::Image::Ptr picture;
    const bool shown = waitUntil([&] {
        picture = pictureOf(engine);
        return picture && pdfPixelsOf(*picture).shown();
    });
    if (!picture)
        return ::testing::AssertionFailure() << "no picture of the view";
    const PDFPixels pixels = pdfPixelsOf(*picture);
    const std::string kept = hybtest::writeSnapshotImageIn("e2e", *picture, name);
    return (shown ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << "red " << pixels.red << ", dark " << pixels.dark << " of the picture " << kept;
}

// Watches a web view's loads and its context's downloads, for a test that waits until what a page tried is
// over: the end (finished or failed) of each load, by URL, and of each download.
class LoadWatch {
public:
    explicit LoadWatch(WebKitWebView* view) : m_view(view), m_context(webkit_web_view_get_context(view))
    {
        g_signal_connect(m_view, "resource-load-started", G_CALLBACK(onLoad), m_state.get());
        g_signal_connect(m_context, "download-started", G_CALLBACK(onDownload), m_state.get());
    }
    ~LoadWatch()
    {
        g_signal_handlers_disconnect_by_data(m_view, m_state.get());
        g_signal_handlers_disconnect_by_data(m_context, m_state.get());
    }
    LoadWatch(const LoadWatch&) = delete;
    LoadWatch& operator=(const LoadWatch&) = delete;

    bool ended(const std::string& url) const { return m_state->endedLoads.count(url) != 0; }
    int downloads() const { return m_state->downloads; }
    // Every download started has ended.
    bool downloadsOver() const { return m_state->downloads == m_state->endedDownloads; }

private:
    struct State : std::enable_shared_from_this<State> {
        std::set<std::string> endedLoads;
        int downloads = 0;
        int endedDownloads = 0;
    };
    // What a load's or a download's signal holds: they may outlive the watch.
    using Held = std::weak_ptr<State>;
    static void connectEnd(gpointer object, const char* signal, GCallback handler, State* state)
    {
        g_signal_connect_data(object, signal, handler, new Held(state->weak_from_this()),
                              [](gpointer data, GClosure*) { delete static_cast<Held*>(data); }, G_CONNECT_DEFAULT);
    }
    static void loadEnded(WebKitWebResource* resource, Held* held)
    {
        if (auto state = held->lock())
            state->endedLoads.insert(webkit_web_resource_get_uri(resource));
    }
    static void onLoad(WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest*, State* state)
    {
        connectEnd(resource, "finished", G_CALLBACK(loadEnded), state);
        connectEnd(resource, "failed", G_CALLBACK(+[](WebKitWebResource* r, GError*, Held* held) { loadEnded(r, held); }), state);
    }
    static void onDownload(WebKitWebContext*, WebKitDownload* download, State* state)
    {
        ++state->downloads;
        connectEnd(download, "finished", G_CALLBACK(+[](WebKitDownload*, Held* held) {
            if (auto state = held->lock())
                ++state->endedDownloads;
        }), state);
    }

    WebKitWebView* m_view;
    WebKitWebContext* m_context;
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

// The first header of that name, if any.
inline std::optional<std::string> headerValue(const webengine::HeaderList& headers, const std::string& name)
{
    for (const auto& [key, value] : headers)
        if (key == name)
            return value;
    return std::nullopt;
}

// Records what the engine says; answers navigation questions and sub-resource loads through hooks.
class RecordingClient : public webengine::EngineClient {
public:
    std::function<bool(const webengine::NavigationRequest&)> onNavigation;
    std::function<bool(const std::shared_ptr<webengine::RoutedRequest>&)> onResource;
    // The bridge requests the web process answered and handed over: their URL and headers.
    std::vector<std::pair<std::string, webengine::HeaderList>> bridgeRequests;

    std::vector<std::string> events;
    std::vector<webengine::NavigationRequest> navigations;
    std::vector<std::string> resourceURLs;
    int finished = 0;
    int failed = 0;
    platform::Error lastError;

    bool shouldStartLoad(const webengine::NavigationRequest& request) override
    {
        navigations.push_back(request);
        events.push_back("should:" + request.url);
        return onNavigation ? onNavigation(request) : true;
    }
    void didStartLoad() override { events.push_back("start"); }
    void didFinishLoad() override
    {
        events.push_back("finish");
        ++finished;
    }
    void didFailLoad(const platform::Error& error) override
    {
        events.push_back("fail:" + std::to_string(error.code));
        lastError = error;
        ++failed;
    }
    bool handleResourceRequest(const std::shared_ptr<webengine::RoutedRequest>& request) override
    {
        resourceURLs.push_back(request->url());
        return onResource ? onResource(request) : false;
    }
    void handleBridgeRequest(const std::string& url, const webengine::HeaderList& headers, const std::string&) override
    {
        bridgeRequests.emplace_back(url, headers);
    }
};

// Keeps GTK's accessibility bridge (and its D-Bus allocations, which LeakSanitizer reports) out of tests.
// CTest's ENVIRONMENT property of hyb_tests loses every variable after the first, so it is set here.
inline void quietAccessibility()
{
    setenv("NO_AT_BRIDGE", "1", 0);
}

// Skips the test when no display can be opened (the e2e label runs under xvfb-run).
inline bool haveDisplay()
{
    static const bool ok = [] {
        quietAccessibility();
        return gtk_init_check(nullptr, nullptr);
    }();
    return ok;
}

#define REQUIRE_DISPLAY()                                                                                     \
    do {                                                                                                      \
        if (!e2e::haveDisplay())                                                                              \
            GTEST_SKIP() << "no display: run under xvfb-run";                                                 \
    } while (0)

// A web view of the engine in an off-screen window, with a folder for the test's pages.
class EngineFixture : public ::testing::Test {
protected:
    void startEngine(webengine::EngineClient& client, const webengine::WebsiteDataLocation& location = {})
    {
        m_engine = std::make_unique<webengine::WebKitEngine>(client, location);
        m_window = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(m_window), 400, 300);
        gtk_container_add(GTK_CONTAINER(m_window), m_engine->widget());
        gtk_widget_show_all(m_window);
    }
    void TearDown() override
    {
        m_engine.reset();
        if (m_window)
            gtk_widget_destroy(m_window);
    }

    std::string eval(const std::string& script)
    {
        auto result = m_engine->evaluate(script);
        EXPECT_TRUE(result.ok()) << script;
        return result.ok() ? *result : "<error>";
    }
    // Waits until the page's script condition holds.
    bool waitForPage(const std::string& condition)
    {
        return waitUntil([&] { return eval(condition) == "true"; });
    }

    TempFolder m_pages;
    std::unique_ptr<webengine::WebKitEngine> m_engine;
    GtkWidget* m_window = nullptr;
};

// A page that puts 16 MiB Blobs into IndexedDB, 64 of them (1 GiB) or until it is refused, and tells how far it
// got, as `window.filled` and to the page above it: "stored-64", or the refusal's name and how many it had stored.
// With "#N" in its URL, a dedicated worker of the page first puts N of them into the same database ("worker-..."
// told when it fails).
inline const char* const kBlobFiller = R"(<!DOCTYPE html><html><body>
<script type="text/worker" id="worker">
onmessage = function (e) {
  var count = e.data, n = 0, size = 16 * 1024 * 1024, open = indexedDB.open('fill', 1);
  open.onupgradeneeded = function () { open.result.createObjectStore('s'); };
  open.onerror = function () { postMessage('worker-open-' + (open.error && open.error.name)); };
  open.onsuccess = function () {
    var db = open.result;
    (function next() {
      if (n === count) { db.close(); postMessage('worker-' + n); return; }
      var tx = db.transaction('s', 'readwrite');
      try { tx.objectStore('s').put(new Blob([new Uint8Array(size)]), 'w' + n); } catch (e) { postMessage('worker-' + e.name + '-' + n); return; }
      tx.oncomplete = function () { n++; next(); };
      tx.onabort = function () { postMessage('worker-' + (tx.error && tx.error.name) + '-' + n); };
    })();
  };
};
</script>
<script>
var n = 0, size = 16 * 1024 * 1024, byWorker = +(location.hash.slice(1) || 0);
function tell(s) { window.filled = s; top.postMessage(s, '*'); }
function fill() {
  var open = indexedDB.open('fill', 1);
  open.onupgradeneeded = function () { open.result.createObjectStore('s'); };
  open.onerror = function () { tell('open-' + (open.error && open.error.name)); };
  open.onsuccess = function () {
    var db = open.result;
    function next() {
      if (n === 64) { tell('stored-64'); return; }
      var tx = db.transaction('s', 'readwrite');
      try { tx.objectStore('s').put(new Blob([new Uint8Array(size)]), n); } catch (e) { tell(e.name + '-' + n); return; }
      tx.oncomplete = function () { n++; next(); };
      tx.onabort = function () { tell((tx.error && tx.error.name) + '-' + n); };
    }
    next();
  };
}
if (!byWorker) {
  fill();
} else {
  var worker = new Worker(URL.createObjectURL(new Blob([document.getElementById('worker').textContent])));
  worker.onmessage = function (e) { if (e.data === 'worker-' + byWorker) fill(); else tell(e.data); };
  worker.postMessage(byWorker);
}
</script></body></html>)";

// The files under `folder` whose name begins with `prefix` (at any depth, but under `skip`), and their bytes.
inline std::pair<std::size_t, std::uintmax_t> filesNamed(const std::string& folder, const std::string& prefix, const std::string& skip = "")
{
    std::pair<std::size_t, std::uintmax_t> found{0, 0};
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error); !error && it != std::filesystem::recursive_directory_iterator();
         it.increment(error)) {
        if (!skip.empty() && it->path() == skip) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file(error) && it->path().filename().string().rfind(prefix, 0) == 0) {
            ++found.first;
            found.second += it->file_size(error);
        }
    }
    return found;
}

} // namespace e2e
