// The file plug-in in the real engine. "hybfile" URLs: a page's <img> and XHR load files of the plug-in's
// file systems through its URL protocol. The page's file API, through the page's half of the bridge
// (hybrid.js), the runtime's command queue and command delegate, and the plug-in registry: a page writes a
// file, reads it back and lists its folder. A small host stands in for the view controller: it owns those pieces and fetches the
// page's commands when the page signals with a "hyb://ready" frame.
#include "support/SourceTree.h"
#include "EngineHarness.h"

#include <unistd.h>

#include "app/Plugins.h"
#include "files/HYBFile.h"
#include "platform/files/FileManager.h"
#include "platform/runloop/RunLoop.h"
#include "runtime/HYBBase64.h"
#include "support/FilePageHost.h"
#include "support/TempHome.h"
#include "webengine/WebKitGtkWebView.h"

using e2e::waitUntil;
using webengine::WebKitGtkWebView;

namespace {

// A 1x1 PNG.
const char* const kPixelPNG = "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhfDwAChwGA60e6kgAAAABJRU5ErkJggg==";


std::string bundledScript()
{
    return hybtest::readSourceFile("app/bundle/www/hybrid.js");
}

class FilePluginPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        app::registerPlugins();
        WebKitGtkWebView::installAsEngine();
        m_host->view = std::dynamic_pointer_cast<WebKitGtkWebView>(platform::WebView::create(platform::Rect(0, 0, 320, 480)));
        ASSERT_TRUE(m_host->view);
        m_host->view->setDelegate(m_host);
        m_host->start();
        m_window = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(m_window), m_host->view->widget());
        gtk_widget_show_all(m_window);
    }
    void TearDown() override
    {
        platform::WebView::setFactory(nullptr);
        if (m_window)
            gtk_container_remove(GTK_CONTAINER(m_window), m_host->view->widget());
        m_host->view.reset();
        if (m_window)
            gtk_widget_destroy(m_window);
    }
    std::string eval(const std::string& script) { return m_host->view->stringByEvaluatingJavaScriptFromString(script); }
    // Runs a page call and waits for its callback's text in window.out.
    std::string run(const std::string& script)
    {
        eval("window.out = ''; " + script);
        EXPECT_TRUE(waitUntil([&] { return !eval("window.out").empty(); }));
        return eval("window.out");
    }

    hybtest::TempHome m_home;
    std::shared_ptr<hybtest::FilePageHost> m_host = std::make_shared<hybtest::FilePageHost>();
    GtkWidget* m_window = nullptr;
};

TEST_F(FilePluginPageTest, APageWritesAFileReadsItBackAndListsItsFolder)
{
    m_home.writeBundleFile("www/hybrid.js", bundledScript());
    m_home.writeBundleFile("www/index.html",
                           "<html><head><script src='hybrid.js'></script><script>"
                           "hybrid.require('hybrid/exec').setJsToNativeBridgeMode('iframe');"
                           "function call(action, args) { hybrid.exec(function (m) { window.out = 'ok:' + JSON.stringify(m); },"
                           " function (e) { window.out = 'error:' + JSON.stringify(e); }, 'File', action, args); }"
                           "</script></head><body></body></html>");
    m_host->view->loadRequest(platform::URLRequest("file://" + m_home.folders().www() + "/index.html"));
    ASSERT_TRUE(waitUntil([&] { return m_host->loads > 0; }));

    const std::string folder = "hybfile://localhost/persistent/notes/";
    EXPECT_EQ(run("call('getDirectory', ['hybfile://localhost/persistent/', 'notes', {create: true}])").substr(0, 3), "ok:");
    EXPECT_EQ(run("call('getFile', ['" + folder + "', 'a.txt', {create: true}])").substr(0, 3), "ok:");
    EXPECT_EQ(run("call('write', ['" + folder + "a.txt', 'hello from the page', 0])"), "ok:19");
    EXPECT_EQ(run("call('readAsText', ['" + folder + "a.txt', 'UTF-8', 0, -1])"), "ok:\"hello from the page\"");
    const std::string listing = run("call('readEntries', ['" + folder + "'])");
    EXPECT_NE(listing.find("\"fullPath\":\"/notes/a.txt\""), std::string::npos) << listing;
    EXPECT_NE(listing.find("\"isFile\":true"), std::string::npos) << listing;
    EXPECT_EQ(run("call('readAsText', ['hybfile://localhost/persistent/../x', 'UTF-8', 0, -1])"), "error:5");

    auto written = platform::FileManager::defaultManager().contentsOfFile(m_home.folders().documents() + "/notes/a.txt");
    ASSERT_TRUE(written);
    EXPECT_EQ(std::string(written->begin(), written->end()), "hello from the page");
}

TEST_F(FilePluginPageTest, ImagesAndXHRsOfHybfileURLsLoad)
{
    const platform::FileManager& files = platform::FileManager::defaultManager();
    ASSERT_TRUE(files.createDirectory(m_home.folders().documents() + "/pics"));
    ASSERT_TRUE(files.createFile(m_home.folders().documents() + "/pics/pixel.png", runtime::hybBase64Decode(kPixelPNG)));
    const std::string text = "notes from the persistent file system";
    ASSERT_TRUE(files.createFile(m_home.folders().tmp() + "/notes.txt", platform::Bytes(text.begin(), text.end())));

    m_home.writeBundleFile("www/index.html",
                           "<html><body><img id='pixel' src='hybfile://localhost/persistent/pics/pixel.png'>"
                           "<img id='missing' src='hybfile://localhost/persistent/none.png'><script>"
                           "window.loaded = ''; window.broken = '';"
                           "document.getElementById('pixel').onload = function () { window.loaded = 'yes'; };"
                           "document.getElementById('missing').onerror = function () { window.broken = 'yes'; };"
                           "function fetchText(url) { var x = new XMLHttpRequest(); x.open('GET', url);"
                           " x.onloadend = function () { window.got = x.status + ':' + x.responseText; }; x.send(); }"
                           "</script></body></html>");
    // The plug-in starts (and registers its URL protocol) when the registry makes it.
    ASSERT_TRUE(m_host->getCommandInstance("File"));
    m_host->view->loadRequest(platform::URLRequest("file://" + m_home.folders().www() + "/index.html"));
    ASSERT_TRUE(waitUntil([&] { return m_host->loads > 0; }));

    ASSERT_TRUE(waitUntil([&] { return eval("window.loaded") == "yes"; }));
    EXPECT_EQ(eval("String(document.getElementById('pixel').naturalWidth)"), "1");
    ASSERT_TRUE(waitUntil([&] { return eval("window.broken") == "yes"; }));

    eval("window.got = ''; fetchText('hybfile://localhost/temporary/notes.txt')");
    ASSERT_TRUE(waitUntil([&] { return !eval("window.got").empty(); }));
    EXPECT_EQ(eval("window.got"), "200:" + text);

    eval("window.got = ''; fetchText('hybfile://localhost/persistent/../tmp/notes.txt')");
    ASSERT_TRUE(waitUntil([&] { return !eval("window.got").empty(); }));
    EXPECT_EQ(eval("window.got").substr(0, 4), "404:");
}

TEST_F(FilePluginPageTest, APageFromAFileReadsOnlyTheApplicationsOwnFiles)
{
    // Outside the application's folders: a file of another folder, a page that would show it, and a link to
    // it from Documents.
    e2e::TempFolder elsewhere;
    const std::string secret = elsewhere.write("secret.txt", "secret elsewhere");
    const std::string secretPage = elsewhere.write("secret.html", "<p>secret elsewhere</p>");
    const std::string documents = m_home.folders().documents();
    ASSERT_EQ(::symlink(secret.c_str(), (documents + "/link.txt").c_str()), 0);
    const platform::FileManager& files = platform::FileManager::defaultManager();
    const std::string own = "own notes";
    ASSERT_TRUE(files.createFile(documents + "/own.txt", platform::Bytes(own.begin(), own.end())));
    const std::string ownPage = "<p>own page</p>";
    ASSERT_TRUE(files.createFile(documents + "/own.html", platform::Bytes(ownPage.begin(), ownPage.end())));
    m_home.writeBundleFile("www/data.txt", "bundle data");
    m_home.writeBundleFile("www/index.html",
                           "<html><body><script>"
                           "function fetchText(url) { window.got = ''; var x = new XMLHttpRequest(); x.open('GET', url);"
                           " x.onloadend = function () { window.got = 'done:' + x.responseText; }; x.send(); }"
                           "function frame(url) { var f = document.createElement('iframe'); f.src = url; document.body.appendChild(f);"
                           " window.frameEl = f; }"
                           "function frameText() { try { return window.frameEl.contentDocument.body.innerText; } catch (e) { return 'denied'; } }"
                           "</script></body></html>");
    m_host->view->loadRequest(platform::URLRequest("file://" + m_home.folders().www() + "/index.html"));
    ASSERT_TRUE(waitUntil([&] { return m_host->loads > 0; }));

    auto fetched = [&](const std::string& url) {
        eval("fetchText('" + url + "')");
        EXPECT_TRUE(waitUntil([&] { return !eval("window.got").empty(); })) << url;
        return eval("window.got");
    };
    EXPECT_EQ(fetched("file://" + documents + "/own.txt"), "done:" + own);
    EXPECT_EQ(fetched("data.txt"), "done:bundle data");
    for (const std::string& url : {"file://" + secret, "file://" + documents + "/link.txt", "file://" + documents + "/../../" + secret,
                                   std::string("file:///etc/hostname"), std::string("file:///etc/passwd")}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(fetched(url), "done:");
    }

    // Frames: the application's own page shows; the other one never loads, so the page cannot read it.
    eval("frame('file://" + documents + "/own.html')");
    EXPECT_TRUE(waitUntil([&] { return eval("frameText()") == "own page"; }));
    eval("frame('file://" + secretPage + "')");
    e2e::waitUntil([] { return false; }, std::chrono::milliseconds(1500));
    EXPECT_EQ(eval("frameText()").find("secret"), std::string::npos);
    EXPECT_EQ(eval("document.documentElement.innerHTML").find("secret elsewhere"), std::string::npos);
}

} // namespace
