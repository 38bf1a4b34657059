// "hybfile" URLs in the real engine: a page's <img> and XHR load files of the file plug-in's file systems
// through its URL protocol; missing files answer 404.
#include "EngineHarness.h"

#include "files/HYBFile.h"
#include "platform/FileManager.h"
#include "platform/WebViewFactory.h"
#include "runtime/HYBBase64.h"
#include "support/TempHome.h"
#include "webengine/WebKitGtkWebView.h"

using e2e::waitUntil;
using webengine::WebKitGtkWebView;

namespace {

// A 1x1 PNG.
const char* const kPixelPNG = "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhfDwAChwGA60e6kgAAAABJRU5ErkJggg==";

class LoadDelegate : public platform::WebViewDelegate {
public:
    int ends = 0;
    void webViewDidFinishLoad(platform::WebView&) override { ++ends; }
    void didFailLoadWithError(platform::WebView&, const platform::Error&) override { ++ends; }
};

class HybfilePageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        m_plugin = std::make_shared<files::HYBFile>(nullptr);
        m_plugin->pluginInitialize();
        WebKitGtkWebView::installAsEngine();
        m_view = std::dynamic_pointer_cast<WebKitGtkWebView>(platform::WebViewFactory::makeWebView(platform::Rect(0, 0, 320, 480)));
        ASSERT_TRUE(m_view);
        m_view->setDelegate(m_delegate);
        m_window = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(m_window), m_view->widget());
        gtk_widget_show_all(m_window);
    }
    void TearDown() override
    {
        platform::WebViewFactory::setMaker(nullptr);
        if (m_window)
            gtk_container_remove(GTK_CONTAINER(m_window), m_view->widget());
        m_view.reset();
        if (m_window)
            gtk_widget_destroy(m_window);
    }
    std::string eval(const std::string& script) { return m_view->stringByEvaluatingJavaScriptFromString(script); }

    hybtest::TempHome m_home;
    std::shared_ptr<files::HYBFile> m_plugin;
    std::shared_ptr<LoadDelegate> m_delegate = std::make_shared<LoadDelegate>();
    std::shared_ptr<WebKitGtkWebView> m_view;
    GtkWidget* m_window = nullptr;
};

TEST_F(HybfilePageTest, ImagesAndXHRsOfHybfileURLsLoad)
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
    m_view->loadRequest(platform::URLRequest("file://" + m_home.folders().www() + "/index.html"));
    ASSERT_TRUE(waitUntil([&] { return m_delegate->ends > 0; }));

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

} // namespace
