// hybridhost: the application. Starts the runtime's application (its delegate, view controller and web
// view on WebKitGTK) on the bundle and shows the platform's screen (the page and the native views over it)
// in a window. With --cardpay-demo it opens the bank-card payment road over the page once it has loaded.
#include "app/CardPayDemo.h"
#include "app/DeviceFile.h"
#include "app/HostOptions.h"
#include "app/Plugins.h"
#include "cardpay/screens/BCPayRoad.h"
#include "platform/application/Application.h"
#include "platform/files/AppFolders.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/TextLayout.h"
#include "platform/web/ScriptDialogPresenter.h"
#include "platform/web/WebView.h"
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBHandleOpenURL.h"
#include "webengine/EngineProcesses.h"
#include "webengine/NestedLoop.h"
#include "webengine/PrivateDisplay.h"
#include "webengine/WebContext.h"
#include "webengine/WebKitGtkWebView.h"
#include "webengine/WindowHost.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <utility>

namespace {

constexpr guint kScreenshotTimeoutSeconds = 60;
// A page has settled when no call of its bridge waits for an answer at three polls in a row (a page
// without the bridge, such as the error page, at once). Callbacks a page keeps open for later answers
// (change reports, watches) it counts in window.hybridKeptCallbacks; those do not hold the screenshot.
constexpr guint kSettlePollMilliseconds = 100;
constexpr int kSettledPolls = 3;
constexpr const char* kSettledScript =
    "typeof hybrid === 'undefined'"
    " || hybrid.require('hybrid/exec').pendingCallbackCount() <= (Number(window.hybridKeptCallbacks) || 0)";
// How many of the page's calls still wait for an answer (those it keeps open not counted).
constexpr const char* kUnansweredScript =
    "typeof hybrid === 'undefined' ? 0"
    " : hybrid.require('hybrid/exec').pendingCallbackCount() - (Number(window.hybridKeptCallbacks) || 0)";

struct Screenshot {
    webengine::WebKitGtkWebView* webView;
    webengine::WindowHost* host;
    std::string file;
    int* exitCode;
    int settledPolls = 0;
    const char* awaited = "the start page did not load";  // said when the time-out comes first
    bool settling = false;                                // the page has loaded; its calls are awaited
    bool taken = false;                                   // written (or tried): nothing more to wait for
};

// How the screenshot run's line names a dialog that waits: its kind, its words (cut, on one line) and
// the page it names.
std::string describeDialog(const platform::ScriptDialog& dialog)
{
    constexpr std::size_t kMaxShown = 80;
    std::string words = dialog.message();
    if (words.size() > kMaxShown) {
        std::size_t cut = kMaxShown;
        while (cut > 0 && (static_cast<unsigned char>(words[cut]) & 0xC0) == 0x80)
            --cut;
        words = words.substr(0, cut) + "…";
    }
    std::string described;
    switch (dialog.kind()) {
    case platform::ScriptDialog::Kind::Alert:
        described = "an alert \"" + words + "\"";
        break;
    case platform::ScriptDialog::Kind::Confirm:
        described = "a confirmation \"" + words + "\"";
        break;
    case platform::ScriptDialog::Kind::Prompt:
        described = "a prompt \"" + words + "\"";
        break;
    case platform::ScriptDialog::Kind::LeavePage:
        described = "the question whether to leave the page";
        break;
    }
    const std::string page = dialog.title();
    return page.empty() ? described : described + " of " + page;
}

// The first signal that asked the application to end (SIGINT, SIGTERM, SIGHUP), or 0; the requests to
// end so far (signals and window closes); whether the termination handlers have run. Read by the signal
// handlers on any thread.
std::atomic<int> quitSignal{0};
std::atomic<int> endRequests{0};
std::atomic<bool> terminated{false};
// The signal handler's way to the main loop: a byte written to wakeFds[1] wakes it.
int wakeFds[2] = {-1, -1};

// Ends the process now, by the first signal that asked it to end (as its sender expects), else with
// `exitCode`; the engine's web processes with it (its network process ends once this process has gone,
// having written what it holds). Async-signal-safe.
[[noreturn]] void endNow(int exitCode)
{
    webengine::EngineProcesses::killWebProcesses();
    if (const int signum = quitSignal.load()) {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(signum, &fallback, nullptr);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signum);
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
        ::raise(signum);
    }
    ::_exit(exitCode);
}

// Asked to end again: the payment road stops waiting for a result and hands over what it knows. Ends the
// process at once when nothing of the road is left to write (or its line for a wait cut short is written
// now); else the main thread, which the road's result is still to come from, ends it once the
// termination handlers have run. Async-signal-safe.
void hurryTheEnd()
{
    cardpay::BCPayRoad::hurry();
    if (terminated.load() || app::CardPayDemo::handOverIfCutShort())
        endNow(1);
}

// SIGINT, SIGTERM and SIGHUP, on any thread. The first ends the application as closing its window does
// (on the main loop, which the wake byte reaches: the termination handlers run, then the process ends by
// that signal). A further one, or one after a window close, ends it at once, however busy the main thread
// is (with the page's work, say), once the payment road's result is out: the road stops waiting for a
// payment's result, whose line for that case ("fail" unconfirmed) it told before waiting.
void onEndSignal(int signum)
{
    const int savedErrno = errno;
    int none = 0;
    quitSignal.compare_exchange_strong(none, signum);
    if (endRequests.fetch_add(1) + 1 >= 2)
        hurryTheEnd();
    const char byte = 0;
    (void)!::write(wakeFds[1], &byte, 1);
    errno = savedErrno;
}

// Asked to end on the main thread (the window closed, or a signal's wake byte): the main loop ends and the
// termination handlers run. A request while they run hurries the end (onEndSignal, closeRequested). A
// question put to the page that waits (the screenshot's, say) waits no longer: a page that keeps its main
// thread would hold the end for the question's whole time-out.
void quitMainLoop()
{
    webengine::endNestedWaits();
    if (gtk_main_level() > 0)
        gtk_main_quit();
}

void quitOnSignals()
{
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "hybridhost: cannot watch for signals: %s\n", std::strerror(errno));
        return;
    }
    g_unix_fd_add(wakeFds[0], G_IO_IN, [](gint fd, GIOCondition, gpointer) -> gboolean {
        char bytes[64];
        while (::read(fd, bytes, sizeof bytes) > 0) {
        }
        quitMainLoop();
        return G_SOURCE_CONTINUE;
    }, nullptr);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    // Not deferred: the handler ends the process by raising a signal, maybe its own.
    action.sa_flags = SA_RESTART | SA_NODEFER;
    action.sa_handler = onEndSignal;
    for (int signum : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signum, &action, nullptr);
}

// The window's close button: a request to end, as a signal is. Asked again, the road stops waiting, and
// the process ends once the termination handlers have run (the main thread is here: nothing waits on it).
void closeRequested()
{
    if (endRequests.fetch_add(1) + 1 >= 2)
        cardpay::BCPayRoad::hurry();
    quitMainLoop();
}

// Writes the screenshot (a failure sets the exit status) and ends the main loop; once.
void writeScreenshotAndQuit(Screenshot& shot)
{
    if (std::exchange(shot.taken, true))
        return;
    auto written = shot.host->writeScreenshot(shot.file);
    if (!written.ok()) {
        std::fprintf(stderr, "hybridhost: %s\n", app::oneLine(written.error().localizedDescription()).c_str());
        *shot.exitCode = 1;
    }
    gtk_main_quit();
}

// Why the screenshot cannot be written at `path` (opened for writing, links followed), if that can be told
// before the picture is taken: not a regular file, or no folder to make it in.
std::optional<std::string> screenshotTargetProblem(const std::string& path)
{
    if (path.empty())
        return std::nullopt;
    struct stat target {};
    if (::stat(path.c_str(), &target) == 0) {
        if (S_ISREG(target.st_mode))
            return std::nullopt;
        return std::string(S_ISDIR(target.st_mode) ? "a folder, not a file" : "not a regular file");
    }
    if (errno != ENOENT)
        return std::string(std::strerror(errno));
    // Missing: the file is made in the folder of what the name (or the links it names, in turn) leads to.
    std::filesystem::path made = path;
    std::error_code ec;
    for (int links = 0; links < 40 && std::filesystem::is_symlink(std::filesystem::symlink_status(made, ec)); ++links) {
        const std::filesystem::path next = std::filesystem::read_symlink(made, ec);
        if (ec)
            return ec.message();
        made = next.is_absolute() ? next : made.parent_path() / next;
    }
    const std::filesystem::path folder = made.parent_path().empty() ? std::filesystem::path(".") : made.parent_path();
    struct stat place {};
    if (::stat(folder.c_str(), &place) != 0)
        return errno == ENOENT ? std::string("no folder ") + folder.string() + " to make it in" : std::string(std::strerror(errno));
    if (!S_ISDIR(place.st_mode))
        return folder.string() + " is not a folder";
    return std::nullopt;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "hybridhost: %s\n", app::oneLine(message).c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    // A write past a file-size limit fails (EFBIG) as one on a full disk does, and the stores answer it so,
    // rather than ending the process at every launch once one of its files is larger than the limit.
    ::signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    auto options = app::HostOptions::parse(arguments);
    if (!options.ok()) {
        std::fprintf(stderr, "hybridhost: %s (see --help)\n", app::oneLine(options.error().localizedDescription()).c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(app::HostOptions::usage("hybridhost").c_str(), stdout);
        return 0;
    }

    // The screenshot goes to a regular file (made when missing): a FIFO, device or folder named there, or a
    // folder to make it in that is not there, is refused here, before anything starts, and again when the
    // picture is written.
    if (auto problem = screenshotTargetProblem(options->screenshot)) {
        std::fprintf(stderr, "hybridhost: %s\n", app::oneLine("screenshot file " + options->screenshot + ": " + *problem).c_str());
        return 2;
    }

    // The simulated device is configured before anything opens; a bad device file stops here.
    const std::string deviceFile = options->device.empty() ? HYB_SAMPLE_DEVICE_FILE : options->device;
    auto device = app::DeviceFile::read(deviceFile);
    if (!device.ok()) {
        std::fprintf(stderr, "hybridhost: %s\n", app::oneLine("device file " + deviceFile + ": " + device.error().localizedDescription()).c_str());
        return 2;
    }

    std::error_code ec;
    const auto bundle = std::filesystem::canonical(options->bundle.empty() ? HYB_SAMPLE_BUNDLE : options->bundle, ec);
    if (ec)
        return fail("bundle folder at " + options->bundle + ": " +
                    (ec == std::errc::no_such_file_or_directory ? std::string("not found") : ec.message()));
    // A bundle the application cannot run is refused before anything starts (no display, no engine).
    auto settings = app::readBundle(bundle.string());
    if (!settings)
        return fail(settings.error().localizedDescription());
    std::unique_ptr<webengine::PrivateDisplay> display;
    if (options->headless && !webengine::PrivateDisplay::openDefaultDisplay()) {
        auto started = webengine::PrivateDisplay::start();
        if (!started.ok())
            return fail(started.error().localizedDescription());
        display = std::move(*started);
    }
    // The engine's processes keep their temporary files (pages' Blobs) in the application's caches: the
    // folder is named as their TMPDIR now, while this is the only thread (the environment cannot change
    // once others run). The home is the one launching takes below, the desktop default for the bundle.
    {
        auto identifier = runtime::readBundleIdentifier(bundle.string());
        if (!identifier.ok())
            return fail(identifier.error().localizedDescription());
        const platform::AppFolders folders(platform::AppFolders::defaultHome(*identifier), bundle.string());
        if (auto settled = webengine::WebContext::settleTemporaryFolder(folders.caches() + "/WebKit"); !settled.ok())
            return fail(settled.error().localizedDescription());
    }
    // The native screens' fonts are read while the toolkit starts. The environment (the display and the
    // temporary folder above) and the locale are settled first, so that neither changes under the thread
    // that reads them: the locale is the one the toolkit sets.
    std::setlocale(LC_ALL, "");
    platform::TextLayout::prepare();
    if (!gtk_init_check(&argc, &argv)) {
        if (display)
            return fail("cannot open the private display " + display->name() + " that Xvfb named");
        return fail("cannot open a display (run with --headless to use a private virtual display)");
    }
    quitOnSignals();

    // Every web view of the application (the view controller's, the user agent's probe) is WebKitGTK's.
    app::registerPlugins();
    webengine::WebKitGtkWebView::installAsEngine();
    device->apply();

    int exitCode = 0;
    const bool screenshot = !options->screenshot.empty();
    std::shared_ptr<webengine::WebKitGtkWebView> webView;
    Screenshot shot{nullptr, nullptr, options->screenshot, &exitCode};
    const bool cardpayDemo = !options->cardpayDemo.empty();
    // With --screenshot: the first page that loaded (the start page, or the error page) is written out once
    // it has settled; with --cardpay-demo too, the order screen once it shows (below).
    static const int kScreenshotObserver = 0;
    if (screenshot && !cardpayDemo) {
        platform::NotificationCenter::defaultCenter().addObserver(
            &kScreenshotObserver, runtime::kHYBPageDidLoadNotification, nullptr, [&](const platform::Notification&) {
                platform::NotificationCenter::defaultCenter().removeObserver(&kScreenshotObserver);
                shot.settling = true;
                // The page's first calls are still travelling: wait until it has settled.
                g_timeout_add(kSettlePollMilliseconds, [](gpointer data) -> gboolean {
                    auto* shot = static_cast<Screenshot*>(data);
                    if (shot->taken)
                        return G_SOURCE_REMOVE;
                    shot->settledPolls = shot->webView->stringByEvaluatingJavaScriptFromString(kSettledScript) == "true" ? shot->settledPolls + 1 : 0;
                    if (shot->settledPolls < kSettledPolls)
                        return G_SOURCE_CONTINUE;
                    writeScreenshotAndQuit(*shot);
                    return G_SOURCE_REMOVE;
                }, &shot);
            });
    }

    // The home (Library, Documents, ...) is the desktop default for the bundle's identifier. Launching
    // starts the start page's load before the window comes up, so the engine's processes start meanwhile.
    auto launched = runtime::launchApplication(bundle.string(), {}, std::move(*settings));
    if (!launched.ok())
        return fail(launched.error().localizedDescription());
    webView = std::static_pointer_cast<webengine::WebKitGtkWebView>((*launched)->viewController()->webView());
    shot.webView = webView.get();

    // The window is the device's screen, one window pixel per point; it shows the platform's windows.
    auto host = std::make_unique<webengine::WindowHost>(options->headless ? webengine::WindowHost::Kind::Offscreen
                                                                          : webengine::WindowHost::Kind::Toplevel);
    shot.host = host.get();
    g_signal_connect(host->window(), "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) -> gboolean {
        closeRequested();
        return TRUE;
    }), nullptr);
    host->show();

    // With --cardpay-demo: once the start page has loaded, the payment road opens over the page.
    static const int kCardPayDemoObserver = 0;
    std::shared_ptr<app::CardPayDemo> demo;
    if (cardpayDemo) {
        demo = app::CardPayDemo::create(options->cardpayDemo, stdout);
        shot.awaited = "the payment road's order screen did not show";
        auto viewController = (*launched)->viewController();
        platform::NotificationCenter::defaultCenter().addObserver(
            &kCardPayDemoObserver, runtime::kHYBPageDidLoadNotification, nullptr, [&, viewController](const platform::Notification&) {
                platform::NotificationCenter::defaultCenter().removeObserver(&kCardPayDemoObserver);
                auto opened = demo->open(viewController);
                if (!opened.ok()) {
                    std::fprintf(stderr, "hybridhost: %s\n", app::oneLine(opened.error().localizedDescription()).c_str());
                    exitCode = 1;
                    gtk_main_quit();
                    return;
                }
                if (screenshot)
                    demo->whenOrderScreenShows([&] { writeScreenshotAndQuit(shot); });
            });
    }

    // With --screenshot, a page's dialog that shows first ends the wait: nothing answers it in this run (the
    // page waits for it), so the picture shows it, and the line says what waits.
    static const int kScriptDialogObserver = 0;
    if (screenshot) {
        platform::NotificationCenter::defaultCenter().addObserver(
            &kScriptDialogObserver, platform::kScriptDialogDidShowNotification, nullptr, [&](const platform::Notification&) {
                auto dialog = platform::ScriptDialogPresenter::shared().shownDialog();
                if (shot.taken || !dialog)
                    return;
                std::fprintf(stderr, "hybridhost: the screenshot shows %s, which waited for an answer\n",
                             app::oneLine(describeDialog(*dialog)).c_str());
                writeScreenshotAndQuit(shot);
            });
        g_timeout_add_seconds(kScreenshotTimeoutSeconds, [](gpointer data) -> gboolean {
            auto* shot = static_cast<Screenshot*>(data);
            if (std::exchange(shot->taken, true))
                return G_SOURCE_REMOVE;
            if (shot->settling) {
                // Calls for services config.xml does not map are never answered (the log names them).
                std::string unanswered = shot->webView->stringByEvaluatingJavaScriptFromString(kUnansweredScript);
                std::fprintf(stderr, "hybridhost: the start page loaded, but %s of its calls %s still unanswered after %u s\n",
                             unanswered.empty() ? "some" : unanswered.c_str(), unanswered == "1" ? "was" : "were", kScreenshotTimeoutSeconds);
            } else {
                std::fprintf(stderr, "hybridhost: %s within %u s\n", shot->awaited, kScreenshotTimeoutSeconds);
            }
            *shot->exitCode = 1;
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        }, &shot);
    }
    if (!quitSignal.load())
        gtk_main();

    // Termination handlers (web-storage backup, the temporary folder, the result of a payment road still
    // open, which the demo writes out) run before the window goes.
    platform::NotificationCenter::defaultCenter().removeObserver(&kScreenshotObserver);
    platform::NotificationCenter::defaultCenter().removeObserver(&kCardPayDemoObserver);
    platform::NotificationCenter::defaultCenter().removeObserver(&kScriptDialogObserver);
    platform::Application::shared().terminate();
    terminated = true;
    // Asked again to end meanwhile: nothing is left to hand over, and no more waiting (but the network
    // process's moment to write what it holds, a second at most).
    if (endRequests.load() >= 2) {
        webengine::EngineProcesses::end(std::chrono::milliseconds(0), std::chrono::seconds(1));
        endNow(exitCode);
    }
    demo.reset();
    host.reset();
    webView.reset();
    launched = platform::Error();
    platform::Application::shared().setDelegate(nullptr);
    // The engine's processes end with the application, not after it (the network process has written
    // what it holds first), before its display goes.
    webengine::EngineProcesses::end();
    if (quitSignal.load()) {
        display.reset();
        endNow(exitCode);
    }
    return exitCode;
}
