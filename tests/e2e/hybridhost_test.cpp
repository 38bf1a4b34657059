// The application executable: --help, bad options, bundles and device files, and --headless --screenshot
// of the sample bundle (the window takes the device file's screen size); every way a headless run ends,
// with its display server and the engine's processes; and the loopback push service's endpoints file.
#include "support/PrivateEnvironment.h"
#include "support/SourceTree.h"
#include "ProgramRun.h"
#include "LocalStorageDatabase.h"
#include "platform/ui/Image.h"
#include "support/HTTPTestServer.h"
#include "support/Snapshot.h"
#include "PushBundle.h"

#include <algorithm>
#include <cairo.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <set>
#include <glib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>

namespace {

const std::string kSampleBundle = hybtest::sourcePath("app/bundle");

e2e::ProgramRun runHost(std::vector<std::string> arguments) { return e2e::runProgram(HYB_HOST_EXE, std::move(arguments)); }

// A copy of the sample bundle whose push client stays on the loopback interface, where nothing answers.
std::string copySampleBundle(const e2e::TempFolder& folder)
{
    const std::string bundle = folder.path() + "/bundle";
    std::filesystem::copy(kSampleBundle, bundle, std::filesystem::copy_options::recursive);
    std::filesystem::remove(bundle + "/PushEndpoints.plist");
    std::ofstream(bundle + "/PushEndpoints.plist") << e2e::pushEndpointsPlist();
    return bundle;
}

TEST(HybridHostTest, HelpAndBadOptions)
{
    auto help = runHost({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("--screenshot FILE"), std::string::npos);
    // A bad option or a missing value is told in one line, naming the option, not with the whole usage.
    for (const auto& [arguments, said] :
         {std::pair{std::vector<std::string>{"--nonsense"}, std::string("unknown option --nonsense")},
          std::pair{std::vector<std::string>{"--headless", "--screenshot"}, std::string("--screenshot needs a file name")},
          std::pair{std::vector<std::string>{"--device="}, std::string("--device needs a file name")},
          std::pair{std::vector<std::string>{kSampleBundle, "--cardpay-demo"}, std::string("--cardpay-demo needs the payment server's URL")},
          std::pair{std::vector<std::string>{"a", "b"}, std::string("only one bundle folder may be given (got a and b)")}}) {
        auto bad = runHost(arguments);
        EXPECT_EQ(bad.exitStatus, 2) << bad.err;
        EXPECT_EQ(bad.err, "hybridhost: " + said + " (see --help)\n");
        EXPECT_EQ(bad.out, "");
    }
    auto missing = runHost({"/nonexistent/bundle"});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_EQ(missing.err, "hybridhost: bundle folder at /nonexistent/bundle: not found\n");
    EXPECT_NE(help.out.find("--device FILE"), std::string::npos);
    // A screenshot file that is not a regular file is refused at once, in one line, not waited on.
    e2e::TempFolder folder;
    const std::string fifo = folder.path() + "/shot.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string missingFolder = folder.path() + "/none";
    const std::string dangling = folder.path() + "/shot.link";
    ASSERT_EQ(symlink((missingFolder + "/shot.png").c_str(), dangling.c_str()), 0);
    for (const auto& [target, why] : {std::pair{fifo, std::string("not a regular file")},
                                      std::pair{folder.path(), std::string("a folder, not a file")},
                                      std::pair{missingFolder + "/shot.png", "no folder " + missingFolder + " to make it in"},
                                      std::pair{dangling, "no folder " + missingFolder + " to make it in"},
                                      std::pair{fifo + "/shot.png", std::string("Not a directory")}}) {
        auto refused = runHost({"--headless", "--screenshot", target, kSampleBundle});
        EXPECT_EQ(refused.exitStatus, 2) << refused.err;
        EXPECT_EQ(refused.err, "hybridhost: screenshot file " + target + ": " + why + "\n");
    }
}

TEST(HybridHostTest, ABadDeviceFileStopsBeforeAnyWindowWithStatusTwo)
{
    e2e::TempFolder folder;
    const std::string file = folder.path() + "/device.json";
    std::ofstream(file) << "{\n  \"screen\": {\"width\": 320},\n  \"radio\": \"6G\"\n}\n";
    auto bad = runHost({"--headless", "--device", file, kSampleBundle});
    EXPECT_EQ(bad.exitStatus, 2);
    EXPECT_NE(bad.err.find("\"radio\": expected one of"), std::string::npos) << bad.err;
    std::ofstream(file) << "{\n  \"screen\": {\"width\": 320,\n}\n";
    auto broken = runHost({"--headless", "--device", file, kSampleBundle});
    EXPECT_EQ(broken.exitStatus, 2);
    EXPECT_NE(broken.err.find("line 3, column"), std::string::npos) << broken.err;
    auto missing = runHost({"--headless", "--device", folder.path() + "/none.json", kSampleBundle});
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;
    // A FIFO (or any other file that is not a regular one) is refused at once, not waited on.
    const std::string fifo = folder.path() + "/device.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto pipe = runHost({"--headless", "--device", fifo, kSampleBundle});
    EXPECT_EQ(pipe.exitStatus, 2);
    EXPECT_NE(pipe.err.find("device file " + fifo + ": cannot open the device file: not a regular file"), std::string::npos) << pipe.err;
}

TEST(HybridHostTest, HeadlessScreenshotShowsTheDemoPage)
{
    e2e::TempFolder folder;
    const std::string png = folder.path() + "/page.png";
    // A device whose screen is 400 x 720 points.
    const std::string device = folder.path() + "/device.json";
    std::ofstream(device) << R"({"screen": {"width": 400, "height": 720}})";
    auto run = runHost({"--headless", "--device", device, "--screenshot", png, copySampleBundle(folder)});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    cairo_surface_t* image = cairo_image_surface_create_from_png(png.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(image), 400);
    EXPECT_EQ(cairo_image_surface_get_height(image), 720);
    // The page is drawn: the pixels are not all the same.
    cairo_surface_flush(image);
    const unsigned char* data = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    std::set<uint32_t> colours;
    for (int y = 0; y < 720; y += 7) {
        for (int x = 0; x < 400; x += 7)
            colours.insert(*reinterpret_cast<const uint32_t*>(data + y * stride + x * 4));
    }
    EXPECT_GT(colours.size(), 5u);
    cairo_surface_destroy(image);
}

// A write past a file-size limit fails as one on a full disk does: with a preferences file larger than the
// limit (written anew at each launch), the application runs and ends as usual, not by SIGXFSZ.
TEST(HybridHostTest, AFileSizeLimitFailsAWriteInsteadOfEndingTheApplication)
{
    e2e::TempFolder folder;
    std::vector<std::string> environment = hybtest::environmentWithHomeIn(folder.path());
    const std::string preferences = folder.path() + "/home/.local/share/org.hybridhost.app/Library/Preferences";
    std::filesystem::create_directories(preferences);
    std::ofstream(preferences + "/org.hybridhost.app.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>padding</key><string>"
        << std::string(2 << 20, 'x') << "</string></dict></plist>\n";
    const std::string png = folder.path() + "/page.png";
    std::vector<std::string> arguments{HYB_HOST_EXE, "--headless", "--screenshot", png, copySampleBundle(folder)};
    std::vector<char*> argv, envp;
    for (auto& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    auto limits = [](gpointer) {
        const rlimit fileSize{1 << 20, 1 << 20}, none{0, 0};
        setrlimit(RLIMIT_FSIZE, &fileSize);
        setrlimit(RLIMIT_CORE, &none);
    };
    int status = 0;
    gchar* err = nullptr;
    GError* error = nullptr;
    ASSERT_TRUE(g_spawn_sync(nullptr, argv.data(), envp.data(), G_SPAWN_STDOUT_TO_DEV_NULL, limits, nullptr, nullptr, &err, &status, &error))
        << error->message;
    const std::string errText = err ? err : "";
    g_free(err);
    ASSERT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << errText;
    EXPECT_EQ(WEXITSTATUS(status), 0) << errText;
    EXPECT_NE(errText.find("File too large"), std::string::npos) << errText;
    EXPECT_TRUE(std::filesystem::exists(png));
}

// The window as seen holds the native layer over the page: a bundle that keeps its launch image up
// after the load shows the image in the screenshot, where the page alone is white.
TEST(HybridHostTest, HeadlessScreenshotShowsTheNativeLayerOverThePage)
{
    e2e::TempFolder folder;
    const std::string bundle = copySampleBundle(folder);
    std::stringstream config;
    config << std::ifstream(bundle + "/config.xml").rdbuf();
    std::string text = config.str();
    const auto widgetEnd = text.find("</widget>");
    ASSERT_NE(widgetEnd, std::string::npos);
    text.insert(widgetEnd, "    <preference name=\"AutoHideSplashScreen\" value=\"false\" />\n"
                           "    <preference name=\"ShowSplashScreenSpinner\" value=\"false\" />\n");
    std::ofstream(bundle + "/config.xml", std::ios::trunc) << text;
    const std::string device = folder.path() + "/device.json";
    std::ofstream(device) << R"({"screen": {"width": 375, "height": 667, "scale": 2}})";
    const std::string png = folder.path() + "/window.png";

    auto run = runHost({"--headless", "--device", device, "--screenshot", png, bundle});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    cairo_surface_t* image = cairo_image_surface_create_from_png(png.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    ASSERT_EQ(cairo_image_surface_get_width(image), 375);
    cairo_surface_flush(image);
    const unsigned char* data = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    auto pixel = [&](int x, int y) { return *reinterpret_cast<const uint32_t*>(data + y * stride + x * 4); };
    auto red = [](uint32_t p) { return int((p >> 16) & 0xff); };
    auto blue = [](uint32_t p) { return int(p & 0xff); };
    // The launch image (Default-667h): a blue field with a white ring around (187, 240).
    for (auto [x, y] : {std::pair{10, 10}, std::pair{360, 650}, std::pair{187, 240}}) {
        EXPECT_GT(blue(pixel(x, y)) - red(pixel(x, y)), 60) << "blue launch image at " << x << "," << y;
    }
    EXPECT_GT(red(pixel(187, 240 - 61)), 230) << "the ring is white";
    cairo_surface_destroy(image);
}

// A start page whose script opens a dialog while it loads (in "deviceready", inline, in a loop): the dialog
// shows above the launch screen, and the screenshot, which nothing answers, is taken with it at once (not
// after the time-out), its line saying what waited.
TEST(HybridHostTest, AScreenshotShowsADialogThatWaitsAboveTheLaunchScreenAndSaysSo)
{
    struct Case {
        std::string name;
        std::string head;  // script of the page's head
        std::string body;  // inline script of its body
        std::string says;
    };
    const std::vector<Case> cases{
        {"deviceready", "document.addEventListener('deviceready', function () { alert('Welcome back!'); });", "",
         "an alert \"Welcome back!\" of index.html"},
        {"inline_alert", "", "alert('Loading your cart');", "an alert \"Loading your cart\" of index.html"},
        {"confirm", "", "confirm('Allow notifications?');", "a confirmation \"Allow notifications?\" of index.html"},
        {"prompt", "", "prompt('Your name?', 'Ada');", "a prompt \"Your name?\" of index.html"},
        {"loop", "", "for (var i = 1; i <= 1000; i++) { alert('Round ' + i + '\\n' + 'x'.repeat(200)); }",
         "an alert \"Round 1\\n" + std::string(79 - 7, 'x') + "…\" of index.html"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::TempFolder folder;
        const std::string bundle = copySampleBundle(folder);
        std::ofstream(bundle + "/www/index.html", std::ios::trunc)
            << "<!DOCTYPE html><html><head><meta charset='utf-8'><script src='hybrid.js'></script><script>" << c.head
            << "</script></head><body><h1>Dialogs</h1><script>" << c.body << "</script></body></html>";
        const std::string device = folder.path() + "/device.json";
        std::ofstream(device) << R"({"screen": {"width": 375, "height": 667, "scale": 2}})";
        const std::string png = folder.path() + "/shot.png";
        auto run = runHost({"--headless", "--device", device, "--screenshot", png, bundle});
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_NE(run.err.find("hybridhost: the screenshot shows " + c.says + ", which waited for an answer\n"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("within 60 s"), std::string::npos) << run.err;
        auto image = platform::Image::fromFile(png);
        ASSERT_TRUE(image.ok()) << image.error().localizedDescription();
        hybtest::expectSnapshotImageIn("e2e", *image.value(), "hybridhost_dialog_" + c.name);
    }
}

// ---- every way out of a headless run stops its private display ----

// The command name of a process (readable while it is a zombie too).
std::string commandName(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(file, name);
    return name;
}

struct ProcessEntry {
    pid_t pid = 0;
    std::string name;
    char state = 0;
    pid_t parent = 0;
};

// Every process of the machine as /proc lists it now.
std::vector<ProcessEntry> processes()
{
    std::vector<ProcessEntry> all;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open)
            continue;
        ProcessEntry process{static_cast<pid_t>(std::stol(name)), line.substr(open + 1, close - open - 1)};
        std::istringstream(line.substr(close + 1)) >> process.state >> process.parent;
        all.push_back(process);
    }
    return all;
}

// The processor time a process has spent, in seconds (user and system).
double processorSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            user = std::stoull(field);
        if (i == 15)
            system = std::stoull(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The application on its own private virtual display: started without DISPLAY, with its home in `folder`
// and no core files, its standard error caught. This process is made the subreaper of what the
// application starts, so that whatever outlives it (its display server, the engine's processes) becomes a
// child here and is seen ending, or seen still running.
class HeadlessHost {
public:
    HeadlessHost(const e2e::TempFolder& folder, const std::string& bundle, const std::vector<std::string>& options = {},
                 const std::vector<std::pair<std::string, std::string>>& setting = {})
    {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        gchar** env = g_get_environ();
        env = g_environ_unsetenv(env, "DISPLAY");
        env = g_environ_unsetenv(env, "WAYLAND_DISPLAY");
        env = g_environ_setenv(env, "XDG_DATA_HOME", folder.path().c_str(), TRUE);
        env = g_environ_setenv(env, "NO_AT_BRIDGE", "1", TRUE);
        for (const auto& [name, value] : setting)
            env = g_environ_setenv(env, name.c_str(), value.c_str(), TRUE);
        std::vector<std::string> arguments{HYB_HOST_EXE, "--headless"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.push_back(bundle);
        std::vector<char*> argv;
        for (auto& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        GError* error = nullptr;
        auto noCores = [](gpointer) {
            const rlimit none{0, 0};
            setrlimit(RLIMIT_CORE, &none);
        };
        if (!g_spawn_async_with_pipes(nullptr, argv.data(), env, GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL),
                                      noCores, nullptr, &m_pid, nullptr, nullptr, &m_err, &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        } else {
            fcntl(m_err, F_SETFL, fcntl(m_err, F_GETFL) | O_NONBLOCK);
        }
        g_strfreev(env);
    }
    ~HeadlessHost()
    {
        // Nothing of a failed run stays behind (what ends its parent may hand over more children).
        for (int round = 0; round < 100; ++round) {
            const std::vector<pid_t> running = runningChildren();
            for (pid_t pid : running)
                kill(pid, SIGKILL);
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            if (running.empty())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (m_err >= 0)
            close(m_err);
        prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    pid_t pid() const { return m_pid; }
    const std::string& err() const { return m_errText; }

    // Waits (bounded) until the application has said `text` on standard error.
    bool waitForOutput(const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(60))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_errText.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !readError(100))
                return false;
        }
        return true;
    }

    // Whether its web process has spent `seconds` of processor time running after this was asked (bounded):
    // its page spins.
    bool waitUntilItsPageSpins(double seconds, std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        pid_t web = 0;
        for (const ProcessEntry& process : processes())
            if (process.name == "WebKitWebProces" && process.parent == m_pid)
                web = process.pid;
        const double from = web ? processorSeconds(web) : 0;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (web && std::chrono::steady_clock::now() < deadline) {
            if (processorSeconds(web) - from >= seconds)
                return true;
            readError(50);
        }
        return false;
    }

    // The application's display server, once it runs (bounded).
    pid_t displayServer(std::chrono::seconds timeout = std::chrono::seconds(20))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const ProcessEntry& process : processes())
                if (process.name == "Xvfb" && process.parent == m_pid)
                    return process.pid;
            readError(50);
        }
        return 0;
    }

    struct End {
        int status = -1;                  // the application's wait status
        std::multiset<std::string> ended; // what it left that ended after it, by command name
        std::vector<std::string> running; // what it left that still ran at the time-out
        std::vector<std::string> engineAtExit; // the engine's processes still running when it had ended
    };
    // Waits until the application and everything it left behind have ended (bounded).
    End awaitEnd(std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        End end;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            readError(0);
            siginfo_t info{};
            if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
                break; // no children left at all
            if (info.si_pid == 0) {
                readError(20);
                continue;
            }
            const std::string name = commandName(info.si_pid);
            // What it left has come here as it ended: the engine's processes among them still running.
            if (info.si_pid == m_pid)
                for (pid_t pid : runningChildren())
                    if (const std::string left = commandName(pid); left.rfind("WebKit", 0) == 0)
                        end.engineAtExit.push_back(left);
            int status = 0;
            waitpid(info.si_pid, &status, 0);
            if (info.si_pid == m_pid)
                end.status = status;
            else
                end.ended.insert(name);
        }
        for (pid_t pid : runningChildren())
            end.running.push_back(commandName(pid));
        for (int i = 0; i < 100 && m_err >= 0; ++i)
            readError(0);
        return end;
    }

private:
    // Reads what the application said, waiting up to waitMs; false once its standard error is closed.
    bool readError(int waitMs)
    {
        if (m_err < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
            return false;
        }
        pollfd p{m_err, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0)
            return true;
        char buffer[4096];
        const ssize_t n = read(m_err, buffer, sizeof buffer);
        if (n > 0)
            m_errText.append(buffer, static_cast<std::size_t>(n));
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            close(m_err);
            m_err = -1;
            return false;
        }
        return true;
    }
    static std::vector<pid_t> runningChildren()
    {
        std::vector<pid_t> children;
        for (const ProcessEntry& process : processes())
            if (process.parent == getpid() && process.state != 'Z')
                children.push_back(process.pid);
        return children;
    }

    GPid m_pid = 0;
    int m_err = -1;
    std::string m_errText;
};

// SIGINT, SIGTERM and SIGHUP end the application as closing its window does, and then by that signal;
// an abort ends it at once. Either way its display server and the engine's processes stop with it.
TEST(HybridHostTest, EverySignalThatEndsAHeadlessRunStopsItsDisplayServer)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGABRT}) {
        SCOPED_TRACE(strsignal(signal));
        e2e::TempFolder folder;
        HeadlessHost host(folder, copySampleBundle(folder));
        const pid_t server = host.displayServer();
        ASSERT_NE(server, 0) << host.err();
        // A signal to the application's process group (a terminal's interrupt key) is the application's to
        // act on: its display server is not in that group.
        EXPECT_NE(getpgid(server), getpgid(host.pid()));
        ASSERT_TRUE(host.waitForOutput("Multi-tasking")) << host.err();
        kill(host.pid(), signal);
        const HeadlessHost::End end = host.awaitEnd();
        EXPECT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == signal) << end.status << "\n" << host.err();
        // Stopped by the application on its way out, or by the kernel when it ended at once.
        EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(server)));
        EXPECT_EQ(end.running, std::vector<std::string>{});
        // The engine's processes end with it, not after it; after an abort they end on their own.
        if (signal != SIGABRT) {
            EXPECT_EQ(end.engineAtExit, std::vector<std::string>{});
        }
    }
}

// The engine's processes end with the application however it ends, not after it: a page that keeps its
// web process's main thread (WebKit would end that process ten seconds after the application, saying
// so on the terminal) is ended too, also while a screenshot's question to it waits; a second signal ends
// the web processes at once, and so does the application's being killed outright. The network process
// writes what it holds first: the page's local storage is on disk when the application has ended (or,
// killed, once the network process has).
TEST(HybridHostTest, TheEnginesProcessesEndWithTheApplication)
{
    // Each page tells it has done its part by calling a service the bundle does not map (the log names
    // it); the spinning one then keeps its main thread. The probe's call stays unanswered: the storing
    // page counts it among the calls it keeps, so that a screenshot of it settles.
    const std::string spinning = "<!DOCTYPE html><html><head><script src=\"hybrid.js\"></script></head><body>spinning<script>"
                                 "document.addEventListener('deviceready', function () { hybrid.exec(null, null, 'SpinProbe', 'go', []);"
                                 " setTimeout(function () { for (;;) {} }, 100); });</script></body></html>";
    const std::string storing = "<!DOCTYPE html><html><head><script src=\"hybrid.js\"></script></head><body>storing<script>"
                                "window.hybridKeptCallbacks = 1; document.addEventListener('deviceready', function () {"
                                " localStorage.setItem('kept', 'stored'); hybrid.exec(null, null, 'StoreProbe', 'go', []); });"
                                "</script></body></html>";
    const struct {
        const char* name;
        const std::string& page;
        bool screenshot;
        int signals; // signals sent once the page has done its part (none: the screenshot ends the run)
        int signal = SIGTERM;
    } cases[] = {
        {"spinning, SIGTERM", spinning, false, 1},
        {"spinning, screenshot, SIGTERM", spinning, true, 1},
        {"spinning, two SIGTERMs", spinning, false, 2},
        {"storing, SIGTERM", storing, false, 1},
        {"storing, screenshot", storing, true, 0},
        {"spinning, SIGKILL", spinning, false, 1, SIGKILL},
        {"storing, SIGKILL", storing, false, 1, SIGKILL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::TempFolder folder;
        const std::string bundle = copySampleBundle(folder);
        std::ofstream(bundle + "/www/index.html", std::ios::trunc) << c.page;
        const std::string shot = folder.path() + "/shot.png";
        HeadlessHost host(folder, bundle, c.screenshot ? std::vector<std::string>{"--screenshot", shot} : std::vector<std::string>{});
        ASSERT_TRUE(host.waitForOutput(&c.page == &spinning ? "'SpinProbe' not found" : "'StoreProbe' not found")) << host.err();
        // Killed outright, the application ends nothing itself: its web process must be found spinning.
        if (c.signal == SIGKILL && &c.page == &spinning) {
            ASSERT_TRUE(host.waitUntilItsPageSpins(0.3)) << host.err();
        }
        for (int i = 0; i < c.signals; ++i)
            kill(host.pid(), c.signal);
        const HeadlessHost::End end = host.awaitEnd();
        if (c.signals > 0) {
            EXPECT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == c.signal) << end.status << "\n" << host.err();
        } else {
            EXPECT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0) << end.status << "\n" << host.err();
        }
        EXPECT_EQ(end.running, std::vector<std::string>{});
        EXPECT_EQ(host.err().find("didn't exit as expected"), std::string::npos) << host.err();
        // After a second signal the network process may still be writing what it holds as the
        // application ends; the web processes are gone.
        if (c.signal == SIGKILL) {
            // Killed, it could end nothing: the kernel ends its web processes as it goes, the network
            // process ends once it has written what it holds.
        } else if (c.signals == 2) {
            EXPECT_EQ(std::count(end.engineAtExit.begin(), end.engineAtExit.end(), "WebKitWebProces"), 0);
        } else {
            EXPECT_EQ(end.engineAtExit, std::vector<std::string>{});
        }
        EXPECT_EQ(std::filesystem::exists(shot), c.screenshot && c.signals == 0);
        if (&c.page == &storing) {
            EXPECT_EQ(e2e::storedValue(folder.path() + "/org.hybridhost.app/Library/WebKit/localstorage/file__0.localstorage", "kept"),
                      "stored");
        }
    }
}

// A display server that cannot start is told as what happened (not found, exited with its status, ended
// by a signal, with the last line it wrote, named none in time, named one that cannot be opened), not as
// a guess; nothing else starts, and nothing is left running.
TEST(HybridHostTest, ADisplayServerThatDoesNotStartIsToldAsWhatHappened)
{
    e2e::TempFolder folder;
    const std::string bundle = copySampleBundle(folder);
    const std::string servers = folder.path() + "/servers";
    const struct {
        const char* script; // the "Xvfb" on the PATH; none when null
        std::string said;
    } cases[] = {
        {nullptr, "cannot start Xvfb: not found (is the xvfb package installed?)"},
        {"echo 'no screens found' >&2; exit 3", "Xvfb exited with status 3 before naming a display (it said: no screens found)"},
        {"kill -SEGV $$", "Xvfb was ended by signal 11 (Segmentation fault) before naming a display"},
        // One that hangs, deaf to SIGTERM, is killed: the application ends all the same.
        {"trap '' TERM; exec /bin/sleep 600", "Xvfb named no display within 10 s"},
        // One that names a display nobody serves: the private display is named, not the user's.
        {"echo 9977 >&$2; exec /bin/sleep 600", "cannot open the private display :9977 that Xvfb named"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        std::filesystem::remove_all(servers);
        std::filesystem::create_directories(servers);
        if (c.script) {
            std::ofstream(servers + "/Xvfb") << "#!/bin/sh\n" << c.script << "\n";
            std::filesystem::permissions(servers + "/Xvfb", std::filesystem::perms::owner_all);
        }
        // (A sanitizer build reports no suppressed leaks: the text fonts are read before the display opens.)
        const char* leakOptions = std::getenv("LSAN_OPTIONS");
        HeadlessHost host(folder, bundle, {},
                          {{"PATH", servers}, {"LSAN_OPTIONS", std::string(leakOptions ? leakOptions : "") + ":print_suppressions=0"}});
        const HeadlessHost::End end = host.awaitEnd();
        EXPECT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 1) << end.status << "\n" << host.err();
        EXPECT_EQ(host.err(), "hybridhost: " + c.said + "\n");
        EXPECT_EQ(end.running, std::vector<std::string>{});
    }
}

// A bundle the application cannot run is refused before anything starts: no start-up line, no display
// server, no web process; status 1 and exactly one line "hybridhost: <what> at <path>: <why>".
TEST(HybridHostTest, ABundleThatCannotRunIsRefusedBeforeAnythingStartsWithOneLine)
{
    enum class Make { Removed, Text, Folder, Fifo, Large };
    // An element on line 3 with more attributes than the reader takes; the column is its start tag's end.
    std::string manyAttributes = "<preference";
    for (int i = 0; i < 300; ++i)
        manyAttributes += " a" + std::to_string(i) + "=\"\"";
    const std::string tooManyAttributes = "parse error line 3 col " + std::to_string(manyAttributes.size() + 1) +
                                          ": too many attributes on an element: 300 (at most 256)";
    const auto infoPlist = [](const std::string& identifier) {
        return "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" + identifier + "</string></dict></plist>";
    };
    const struct {
        const char* file;
        Make make;
        std::string contents;
        std::string why;
        const char* what = nullptr; // the file's name when not given
    } cases[] = {
        {"config.xml", Make::Removed, "", "not found"},
        {"config.xml", Make::Folder, "", "a folder, not a file"},
        {"config.xml", Make::Fifo, "", "not a regular file"},
        {"config.xml", Make::Large, "", "larger than 1048576 bytes"},
        {"config.xml", Make::Text, "", "parse error line 1 col 1"},
        {"config.xml", Make::Text, "not a document at all", "parse error line 1 col 1"},
        // Truncated: its elements without names are not reported either, only the failure.
        {"config.xml", Make::Text, "<?xml version='1.0'?>\n<widget>\n<feature name=\"A\"><param value=\"x\"/>\n<content src=\"index.html\"",
         "parse error line 4 col 26"},
        {"PushConfig.plist", Make::Removed, "", "not found"},
        {"PushConfig.plist", Make::Folder, "", "a folder, not a file"},
        {"PushConfig.plist", Make::Fifo, "", "not a regular file"},
        {"PushConfig.plist", Make::Large, "", "larger than 65536 bytes"},
        {"PushConfig.plist", Make::Text, "", "not a property-list dictionary"},
        {"PushConfig.plist", Make::Text, std::string("\x00\x9f\xffrandom\x01bytes\x7f", 16), "not a property-list dictionary"},
        {"PushConfig.plist", Make::Text, "<plist version=\"1.0\"><dict><key>CHANNEL</key><string>x</string></dict></plist>",
         "no \"APP_KEY\" string"},
        {"config.xml", Make::Text, "<?xml version='1.0'?>\n<widget>\n" + manyAttributes + "/>\n</widget>\n", tooManyAttributes},
        {"www/index.html", Make::Fifo, "", "not a regular file", "start page"},
        {"Info.plist", Make::Fifo, "", "not a regular file"},
        {"Info.plist", Make::Folder, "", "a folder, not a file"},
        {"Info.plist", Make::Text, std::string("\x00\x9f\xffrandom\x01bytes\x7f", 16), "not a property-list dictionary"},
        {"Info.plist", Make::Text, infoPlist(std::string(300, 'a')),
         "CFBundleIdentifier is 300 bytes long, more than the 200 that the folder and files named after it leave room for"},
        {"Info.plist", Make::Text, infoPlist("../elsewhere"), "CFBundleIdentifier \"../elsewhere\" cannot name a folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + ": " + c.why);
        e2e::TempFolder folder;
        const std::string bundle = std::filesystem::canonical(copySampleBundle(folder)).string();
        const std::string path = bundle + "/" + c.file;
        std::filesystem::remove(path);
        switch (c.make) {
        case Make::Removed:
            break;
        case Make::Text:
            std::ofstream(path, std::ios::binary) << c.contents;
            break;
        case Make::Folder:
            std::filesystem::create_directory(path);
            break;
        case Make::Fifo:
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            break;
        case Make::Large:
            std::ofstream(path, std::ios::binary) << "<?xml version='1.0'?><widget>" << std::string(1 << 20, ' ') << "</widget>";
            break;
        }
        HeadlessHost host(folder, bundle);
        const HeadlessHost::End end = host.awaitEnd();
        EXPECT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 1) << end.status << "\n" << host.err();
        EXPECT_EQ(host.err(), "hybridhost: " + std::string(c.what ? c.what : c.file) + " at " + path + ": " + c.why + "\n");
        EXPECT_EQ(end.ended, std::multiset<std::string>{}) << "nothing was started";
        EXPECT_EQ(end.running, std::vector<std::string>{});
    }
}

// A bundle without its www folder or start page is refused the same way, with a screenshot asked for too:
// at once, naming what is missing, instead of a blank page until the screenshot gives up.
TEST(HybridHostTest, AMissingWwwFolderOrStartPageIsRefusedBeforeAnythingStarts)
{
    for (const char* missing : {"www", "www/index.html"}) {
        SCOPED_TRACE(missing);
        e2e::TempFolder folder;
        const std::string bundle = std::filesystem::canonical(copySampleBundle(folder)).string();
        std::filesystem::remove_all(bundle + "/" + missing);
        auto run = runHost({"--headless", "--screenshot", folder.path() + "/shot.png", bundle});
        EXPECT_EQ(run.exitStatus, 1) << run.err;
        EXPECT_EQ(run.err, "hybridhost: " + std::string(missing == std::string("www") ? "www folder" : "start page") + " at " + bundle +
                               "/" + missing + ": not found\n");
        EXPECT_FALSE(std::filesystem::exists(folder.path() + "/shot.png"));
    }
}

// A path holding a newline, a carriage return or a terminal's escape sequence is told as one line, its
// control characters written as escapes; a device file's path the same way.
TEST(HybridHostTest, ARefusalNamingAPathWithControlCharactersIsStillOneLine)
{
    e2e::TempFolder folder;
    const std::string bundle = std::filesystem::canonical(folder.path()).string() + "/new\nline\r\x1b[2J\tbundle";
    std::filesystem::create_directory(bundle);
    std::ofstream(bundle + "/config.xml") << "<widget>";
    auto run = runHost({"--headless", bundle});
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    const std::string shown = std::filesystem::canonical(folder.path()).string() + "/new\\nline\\r\\x1b[2J\\tbundle";
    EXPECT_EQ(run.err, "hybridhost: config.xml at " + shown + "/config.xml: parse error line 1 col 9\n");
    auto device = runHost({"--headless", "--device", bundle + "/none.json", bundle});
    EXPECT_EQ(device.exitStatus, 2) << device.err;
    EXPECT_EQ(std::count(device.err.begin(), device.err.end(), '\n'), 1) << device.err;
    EXPECT_NE(device.err.find("device file " + shown + "/none.json: "), std::string::npos) << device.err;
}

// A bundle whose file plug-in cannot start (its storage preference names no storage) is refused the same way.
TEST(HybridHostTest, AFileStoragePreferenceTheFilePluginCannotUseIsRefusedBeforeAnythingStarts)
{
    e2e::TempFolder folder;
    const std::string bundle = std::filesystem::canonical(copySampleBundle(folder)).string();
    std::stringstream config;
    config << std::ifstream(bundle + "/config.xml").rdbuf();
    std::string text = config.str();
    ASSERT_NE(text.find("HYBFile"), std::string::npos) << "the sample bundle maps the file plug-in";
    text.insert(text.find("</widget>"), "<preference name=\"iosPersistentFileLocation\" value=\"Cloud\" />\n");
    std::ofstream(bundle + "/config.xml", std::ios::trunc) << text;
    auto run = runHost({"--headless", bundle});
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_EQ(run.err, "hybridhost: config.xml at " + bundle + "/config.xml: preference iosPersistentFileLocation is \"cloud\", "
                       "not \"library\" or \"compatibility\"\n");
}

// The loopback push service writes the bundle's PushEndpoints.plist for the application, naming its ports:
// it takes the file away when it stops, however it is told to ("quit", the end of its input, Ctrl-C,
// SIGTERM, SIGHUP), so no later run of the application is sent to ports where nothing listens; a file
// another server wrote in its place meanwhile stays.
TEST(HybridHostTest, ThePushServerTakesItsEndpointsFileAwayWhenItStops)
{
    enum class Stop { Quit, EndOfInput, Signal, Replaced };
    const struct {
        Stop stop;
        int signal;
    } cases[] = {{Stop::Quit, 0}, {Stop::EndOfInput, 0}, {Stop::Signal, SIGINT}, {Stop::Signal, SIGTERM}, {Stop::Signal, SIGHUP},
                 {Stop::Replaced, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.stop)) + " " + std::to_string(c.signal));
        e2e::TempFolder folder;
        const std::string bundle = copySampleBundle(folder);
        const std::string endpoints = bundle + "/PushEndpoints.plist";
        std::filesystem::remove(endpoints);
        std::string program = HYB_PUSH_SERVER_EXE, option = "--bundle", where = bundle;
        char* argv[] = {program.data(), option.data(), where.data(), nullptr};
        GPid pid = 0;
        int input = -1, output = -1;
        GError* error = nullptr;
        ASSERT_TRUE(g_spawn_async_with_pipes(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, &input, &output,
                                             nullptr, &error))
            << error->message;
        // Its lines up to the one saying the file is written.
        std::FILE* lines = fdopen(output, "r");
        char line[4096];
        std::string said;
        while (said.find("wrote ") == std::string::npos && std::fgets(line, sizeof line, lines))
            said += line;
        ASSERT_NE(said.find("wrote " + endpoints), std::string::npos) << said;
        EXPECT_TRUE(std::filesystem::exists(endpoints));
        switch (c.stop) {
        case Stop::Quit:
            ASSERT_EQ(write(input, "quit\n", 5), 5);
            break;
        case Stop::EndOfInput:
            break;
        case Stop::Signal:
            kill(pid, c.signal);
            break;
        case Stop::Replaced:
            std::ofstream(endpoints + ".new") << e2e::pushEndpointsPlist();
            std::filesystem::rename(endpoints + ".new", endpoints);
            break;
        }
        close(input);
        while (std::fgets(line, sizeof line, lines)) {
        }
        std::fclose(lines);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        g_spawn_close_pid(pid);
        if (c.stop == Stop::Signal) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        EXPECT_EQ(std::filesystem::exists(endpoints), c.stop == Stop::Replaced);
    }
}

} // namespace

namespace {

// The engine's temporary folders of the application's processes.
std::vector<std::string> engineFolders(const std::string& temporary)
{
    std::vector<std::string> folders;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(temporary, error))
        if (entry.is_directory(error))
            folders.push_back(entry.path().filename().string());
    std::sort(folders.begin(), folders.end());
    return folders;
}

} // namespace

// A frame of another site in the application's page puts 1 GiB of Blobs into IndexedDB: it hears
// QuotaExceededError once its origin's 256 MiB are stored, what it stored lies in the application's own folder
// (nothing in the system's temporary folder), and the next start removes what the run killed outright left there;
// an ordinary end removes its own. In that next run the frame's worker first stores 896 MiB, which the frame's
// window then hears counted: the pages' 1 GiB is reached after 128 MiB more.
TEST(HybridHostTest, AFramesIndexedDBBlobsAreBoundedStayInTheApplicationsFolderAndGoAtTheNextStart)
{
    testsupport::HTTPTestServer server;
    server.route("/filler.html", testsupport::Reply::text(200, e2e::kBlobFiller, "text/html"));
    std::string filler = server.url("/filler.html");
    filler.replace(filler.find("127.0.0.1"), 9, "localhost");
    e2e::TempFolder folder;
    const std::string bundle = copySampleBundle(folder);
    std::ofstream(bundle + "/www/index.html", std::ios::trunc)
        << "<!DOCTYPE html><html><head><script src=\"hybrid.js\"></script></head><body><script>"
           "document.addEventListener('deviceready', function () {"
           " addEventListener('message', function (e) { hybrid.exec(null, null, 'Filled-' + e.data, 'go', []); });"
           " var f = document.createElement('iframe'); f.src = '" + filler + "'; document.body.appendChild(f); });"
           "</script></body></html>";
    const std::string system = folder.path() + "/system-tmp";
    std::filesystem::create_directories(system);
    const std::string temporary = folder.path() + "/org.hybridhost.app/Library/Caches/WebKit/tmp";
    std::vector<std::string> left;
    {
        HeadlessHost host(folder, bundle, {}, {{"TMPDIR", system}});
        ASSERT_TRUE(host.waitForOutput("'Filled-", std::chrono::seconds(300))) << host.err();
        EXPECT_NE(host.err().find("'Filled-QuotaExceededError-16' not found"), std::string::npos) << host.err();
        const auto [count, bytes] = e2e::filesNamed(temporary, "Blob-");
        EXPECT_GE(bytes, 256u << 20) << count << " files";
        EXPECT_EQ(e2e::filesNamed(system, "").first, 0u) << "nothing in the system's temporary folder";
        left = engineFolders(temporary);
        EXPECT_EQ(left.size(), 1u);
        kill(host.pid(), SIGKILL);
        host.awaitEnd();
    }
    EXPECT_EQ(engineFolders(temporary), left) << "killed outright, the run leaves its files";

    std::ofstream(bundle + "/www/index.html", std::ios::trunc)
        << "<!DOCTYPE html><html><head><script src=\"hybrid.js\"></script></head><body><script>"
           "document.addEventListener('deviceready', function () {"
           " addEventListener('message', function (e) { hybrid.exec(null, null, 'Filled-' + e.data, 'go', []); });"
           " var f = document.createElement('iframe'); f.src = '" + filler + "#56'; document.body.appendChild(f); });"
           "</script></body></html>";
    HeadlessHost next(folder, bundle, {}, {{"TMPDIR", system}});
    ASSERT_TRUE(next.waitForOutput("'Filled-", std::chrono::seconds(300))) << next.err();
    EXPECT_NE(next.err().find("'Filled-QuotaExceededError-8' not found"), std::string::npos) << next.err();
    EXPECT_EQ(e2e::filesNamed(system, "").first, 0u) << "nothing in the system's temporary folder";
    const std::vector<std::string> now = engineFolders(temporary);
    EXPECT_EQ(now.size(), 1u);
    for (const std::string& name : left)
        EXPECT_EQ(std::count(now.begin(), now.end(), name), 0) << name << " is still there";
    EXPECT_LE(e2e::filesNamed(temporary, "Blob-").second, (1024u + 16u) << 20) << "only this run's, at most a put past the bound";
    kill(next.pid(), SIGTERM);
    next.awaitEnd();
    EXPECT_EQ(engineFolders(temporary), std::vector<std::string>{}) << "an ordinary end removes its own";
    EXPECT_EQ(e2e::filesNamed(system, "").first, 0u);
}
