// hybridhost: the application. Opens a window with the web view showing the bundle's start page.
#include "app/HostOptions.h"
#include "app/ShellDelegate.h"
#include "platform/AppFolders.h"
#include "platform/WebViewFactory.h"
#include "webengine/PrivateDisplay.h"
#include "webengine/WebKitGtkWebView.h"

#include <gtk/gtk.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

constexpr int kWindowWidth = 480;
constexpr int kWindowHeight = 800;
constexpr guint kScreenshotTimeoutSeconds = 60;

int fail(const std::string& message)
{
    std::fprintf(stderr, "hybridhost: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    auto options = app::HostOptions::parse(arguments);
    if (!options.ok()) {
        std::fprintf(stderr, "hybridhost: %s\n\n%s", options.error().localizedDescription().c_str(),
                     app::HostOptions::usage("hybridhost").c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(app::HostOptions::usage("hybridhost").c_str(), stdout);
        return 0;
    }

    std::error_code ec;
    const auto bundle = std::filesystem::canonical(options->bundle.empty() ? HYB_SAMPLE_BUNDLE : options->bundle, ec);
    if (ec)
        return fail("no bundle folder at " + options->bundle + ": " + ec.message());
    const auto startPage = bundle / "www" / "index.html";
    if (!std::filesystem::is_regular_file(startPage))
        return fail("the bundle has no start page " + startPage.string());

    std::unique_ptr<webengine::PrivateDisplay> display;
    if (options->headless && !webengine::PrivateDisplay::openDefaultDisplay()) {
        auto started = webengine::PrivateDisplay::start();
        if (!started.ok())
            return fail(started.error().localizedDescription());
        display = std::move(*started);
    }
    if (!gtk_init_check(&argc, &argv))
        return fail("cannot open a display (use --headless to run without one)");

    // The application's home (Library, Documents, ...) is the desktop default; the bundle is the one given.
    platform::AppFolders folders(platform::AppFolders::defaultHome("org.hybridhost.app"), bundle.string());
    platform::AppFolders::install(folders);
    if (auto made = folders.createFolders(); !made.ok())
        return fail("cannot make the application's folders: " + made.error().localizedDescription());

    int exitCode = 0;
    const bool screenshot = !options->screenshot.empty();
    webengine::WebKitGtkWebView::installAsEngine();
    auto webView = std::static_pointer_cast<webengine::WebKitGtkWebView>(
        platform::WebViewFactory::makeWebView(platform::Rect(0, 0, kWindowWidth, kWindowHeight)));
    auto delegate = std::make_shared<app::ShellDelegate>([&](const platform::Error* error) {
        if (error) {
            std::fprintf(stderr, "hybridhost: the start page failed to load: %s\n", error->localizedDescription().c_str());
            if (screenshot) {
                exitCode = 1;
                gtk_main_quit();
            }
            return;
        }
        if (!screenshot)
            return;
        auto written = webView->engine().writeSnapshot(options->screenshot);
        if (!written.ok()) {
            std::fprintf(stderr, "hybridhost: %s\n", written.error().localizedDescription().c_str());
            exitCode = 1;
        }
        gtk_main_quit();
    });
    webView->setDelegate(delegate);

    GtkWidget* window = options->headless ? gtk_offscreen_window_new() : gtk_window_new(GTK_WINDOW_TOPLEVEL);
    // The load starts first: the engine's processes start while the window comes up.
    webView->loadRequest(platform::URLRequest("file://" + startPage.string()));
    gtk_window_set_title(GTK_WINDOW(window), "Hybrid host");
    gtk_window_set_default_size(GTK_WINDOW(window), kWindowWidth, kWindowHeight);
    gtk_widget_set_size_request(webView->widget(), kWindowWidth, kWindowHeight);
    gtk_container_add(GTK_CONTAINER(window), webView->widget());
    g_signal_connect(window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) -> gboolean {
        gtk_main_quit();
        return TRUE;
    }), nullptr);
    gtk_widget_show_all(window);

    if (screenshot) {
        g_timeout_add_seconds(kScreenshotTimeoutSeconds, [](gpointer code) -> gboolean {
            std::fprintf(stderr, "hybridhost: the start page did not load within %u s\n", kScreenshotTimeoutSeconds);
            *static_cast<int*>(code) = 1;
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        }, &exitCode);
    }
    gtk_main();

    gtk_container_remove(GTK_CONTAINER(window), webView->widget());
    webView.reset();
    gtk_widget_destroy(window);
    return exitCode;
}
