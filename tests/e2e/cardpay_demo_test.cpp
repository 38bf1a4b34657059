// The payment road in the application: the payment server as a program of its own (its arguments, its
// URL, its port) and `hybridhost --headless --cardpay-demo URL --screenshot FILE`, whose picture is the
// order screen over the page.
#include "support/SourceTree.h"
#include "ProgramRun.h"

#include "platform/ui/Image.h"
#include "support/CardPayTestServer.h"
#include "support/HTTPTestServer.h"
#include "support/Snapshot.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

namespace {

const std::string kSampleScenario = hybtest::sourcePath("tests/support/cardpay/sample-order.json");

e2e::ProgramRun runServer(std::vector<std::string> arguments) { return e2e::runProgram(HYB_CARDPAY_SERVER_EXE, std::move(arguments)); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(CardPayTestServerProgram, BadArgumentsAndScenariosStopWithStatusTwo)
{
    auto help = runServer({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(contains(help.out, "usage: cardpay-test-server --scenario FILE [--port N]")) << help.out;

    struct Case {
        std::vector<std::string> arguments;
        std::string says;
    };
    e2e::TempFolder folder;
    const std::string notJSON = folder.path() + "/broken.json";
    std::ofstream(notJSON) << "{\"replies\": ";
    const std::vector<Case> cases{
        {{}, "--scenario FILE is required"},
        {{"--port", "8080"}, "--scenario FILE is required"},
        {{"--scenario"}, "--scenario needs a value"},
        {{"--scenario", kSampleScenario, "--port"}, "--port needs a value"},
        {{"--scenario", kSampleScenario, "--port", "0"}, "--port needs a number from 1 to 65535 (got \"0\")"},
        {{"--scenario", kSampleScenario, "--port", "65536"}, "(got \"65536\")"},
        {{"--scenario", kSampleScenario, "--port", "80a"}, "(got \"80a\")"},
        {{"--scenario", kSampleScenario, "--port", "-1"}, "(got \"-1\")"},
        {{"--scenario", kSampleScenario, "--port", "0000000000080"}, "(got \"0000000000080\")"},
        {{"--scenario", kSampleScenario, "extra"}, "unknown argument \"extra\""},
        {{"--scenario", kSampleScenario, "--scenario", notJSON}, "--scenario is given twice"},
        {{"--scenario", kSampleScenario, "--port", "8080", "--port", "8081"}, "--port is given twice"},
        {{"--scenario", kSampleScenario, "--poll-fault", "hold"}, "--poll-fault and --after go together"},
        {{"--scenario", kSampleScenario, "--heal-on", "sms"}, "--poll-fault and --after go together"},
        {{"--scenario", kSampleScenario, "--poll-fault", "slow", "--after", "pay"}, "--poll-fault is hold, drop or 500 (got \"slow\")"},
        {{"--scenario", kSampleScenario, "--poll-fault", "500", "--after", "pay", "--heal-after", "0"},
         "--heal-after needs a number from 1 to 1000 (got \"0\")"},
        {{"--scenario", kSampleScenario, "--poll-fault", "500", "--after", "pay", "--heal-after", "12345"}, "(got \"12345\")"},
        {{"--scenario", kSampleScenario, "--after", "pay", "--after", "prepay"}, "--after is given twice"},
        {{"--scenario", kSampleScenario, "--poll-fault"}, "--poll-fault needs a value"},
        {{"--scenario", kSampleScenario, "--poll-fault", "hold", "--after", "paid"}, "unknown command \"paid\""},
        {{"--scenario", kSampleScenario, "--poll-fault", "drop", "--after", "pay", "--heal-on", "sm"}, "unknown command \"sm\""},
        {{"--scenario", kSampleScenario, "--drop-after-request", "pya"}, "unknown command \"pya\""},
        {{"--scenario", folder.path() + "/none.json"}, "cannot open"},
        {{"--scenario", notJSON}, notJSON},
    };
    for (const auto& c : cases) {
        auto run = runServer(c.arguments);
        EXPECT_EQ(run.exitStatus, 2) << c.says;
        EXPECT_TRUE(contains(run.err, c.says)) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;  // no URL printed
    }
}

TEST(CardPayTestServerProgram, ATakenPortStopsWithStatusOne)
{
    testsupport::HTTPTestServer holder;  // holds the port
    auto run = runServer({"--scenario", kSampleScenario, "--port", std::to_string(holder.port())});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(contains(run.err, "cannot listen on 127.0.0.1:" + std::to_string(holder.port()))) << run.err;
    EXPECT_TRUE(run.out.empty());
}

TEST(CardPayTestServerProgram, PrintsItsURLAndStopsOnSIGTERM)
{
    e2e::BackgroundProgram server(HYB_CARDPAY_SERVER_EXE, {"--scenario", kSampleScenario});
    ASSERT_TRUE(server.error().empty()) << server.error();
    EXPECT_EQ(server.firstLine().rfind("http://127.0.0.1:", 0), 0u) << server.firstLine();
    EXPECT_TRUE(contains(server.firstLine(), "/gateway"));
    EXPECT_EQ(server.stop(), 0);

    e2e::BackgroundProgram faulty(HYB_CARDPAY_SERVER_EXE,
                                  {"--scenario", kSampleScenario, "--poll-fault", "drop", "--after", "pay", "--heal-after", "3", "--heal-on", "sms"});
    EXPECT_EQ(faulty.firstLine().rfind("http://127.0.0.1:", 0), 0u) << faulty.firstLine();
    EXPECT_EQ(faulty.stop(), 0);
}

TEST(CardPayDemo, HeadlessScreenshotShowsTheOrderScreen)
{
    e2e::BackgroundProgram server(HYB_CARDPAY_SERVER_EXE, {"--scenario", kSampleScenario});
    ASSERT_TRUE(server.error().empty()) << server.error();
    ASSERT_EQ(server.firstLine().rfind("http://127.0.0.1:", 0), 0u) << server.firstLine();

    e2e::TempFolder folder;
    const std::string png = folder.path() + "/shot.png";
    auto run = e2e::runProgram(HYB_HOST_EXE, {"--headless", "--cardpay-demo", server.firstLine(), "--screenshot", png, hybtest::sourcePath("app/bundle")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "{\"code\":\"cancel\",\"data\":\"\"}\n");  // the application ended the open road

    ASSERT_EQ(server.stop(), 0);
    EXPECT_TRUE(contains(server.rest(), "init {")) << server.rest();
    EXPECT_TRUE(contains(server.rest(), "\"tn\":\"201712010001\"")) << server.rest();

    auto image = platform::Image::fromFile(png);
    ASSERT_TRUE(image.ok()) << image.error().localizedDescription();
    EXPECT_EQ(image.value()->pixelWidth(), 375);
    EXPECT_EQ(image.value()->pixelHeight(), 667);
    hybtest::expectSnapshotImageIn("e2e", *image.value(), "cardpay_demo_order_screen");
}

// SIGTERM, SIGINT and SIGHUP end the application as closing its window does: the open road's result is
// written once (no payment was sent: "cancel"), and the process then ends by that signal. A second
// signal right after the first does not end it before the result is out.
TEST(CardPayDemo, ASignalWithTheRoadOpenWritesItsResultOnce)
{
    auto scenario = testsupport::CardPayTestServer::loadScenario(kSampleScenario);
    ASSERT_TRUE(scenario.ok());
    const std::vector<std::vector<int>> sent{{SIGTERM}, {SIGINT}, {SIGHUP}, {SIGTERM, SIGTERM}, {SIGINT, SIGTERM, SIGHUP}};
    for (const auto& signals : sent) {
        const int signal = signals.front();
        SCOPED_TRACE(std::string(strsignal(signal)) + " and " + std::to_string(signals.size() - 1) + " more");
        testsupport::CardPayTestServer server(*scenario);
        std::vector<std::string> arguments{HYB_HOST_EXE, "--headless", "--cardpay-demo", server.url(), hybtest::sourcePath("app/bundle")};
        std::vector<char*> argv;
        for (auto& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        GPid pid = 0;
        int outFd = -1;
        ASSERT_TRUE(g_spawn_async_with_pipes(nullptr, argv.data(), nullptr,
                                             GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL), nullptr, nullptr, &pid,
                                             nullptr, &outFd, nullptr, nullptr));
        // The road is open once its start screen has asked for the order.
        for (int i = 0; i < 6000 && server.commands("init").empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(server.commands("init").empty());
        for (int each : signals) {
            ::kill(pid, each);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(outFd, buffer, sizeof buffer)) > 0)
            out.append(buffer, static_cast<std::size_t>(n));
        ::close(outFd);
        int status = 0;
        ::waitpid(pid, &status, 0);
        g_spawn_close_pid(pid);
        // By the signal whose handler ran first: signals sent 5 ms apart may be handled on two threads, and a
        // busy machine may run the later one's handler first.
        EXPECT_TRUE(WIFSIGNALED(status) && std::find(signals.begin(), signals.end(), WTERMSIG(status)) != signals.end()) << status;
        EXPECT_EQ(out, "{\"code\":\"cancel\",\"data\":\"\"}\n");
        EXPECT_TRUE(server.commands("query").empty());
        EXPECT_TRUE(server.commands("pay").empty());
    }
}

// scripts/demo-cardpay (make demo-cardpay) runs the bundle its arguments name, else the sample bundle: an
// option's value is no bundle, and an argument after "--" is one.
TEST(CardPayDemo, TheDemoScriptRunsTheBundleItsArgumentsNameElseTheSampleOne)
{
    e2e::TempFolder folder;
    const std::string missing = folder.path() + "/no-bundle";
    const std::string missingDevice = folder.path() + "/no-device.json";
    const std::string device = hybtest::sourcePath("app/device.json");
    const std::string script = hybtest::sourcePath("scripts/demo-cardpay");
    struct Case {
        std::vector<std::string> arguments;
        int exitStatus;
        std::string said;
    };
    const std::vector<Case> cases{
        {{missing}, 1, "bundle folder at " + missing},
        {{"--headless", "--", missing}, 1, "bundle folder at " + missing},
        {{"--device", missingDevice}, 2, missingDevice},  // the sample bundle, with the device file named
        {{"--device", device, missing}, 1, "bundle folder at " + missing},
        {{"--device=" + device, missing}, 1, "bundle folder at " + missing},
    };
    for (const Case& each : cases) {
        std::vector<std::string> arguments{HYB_BUILD_DIR};
        arguments.insert(arguments.end(), each.arguments.begin(), each.arguments.end());
        SCOPED_TRACE(::testing::PrintToString(arguments));
        auto run = e2e::runProgram(script, arguments);
        EXPECT_EQ(run.exitStatus, each.exitStatus) << run.err;
        EXPECT_TRUE(contains(run.err, each.said)) << run.err;
        EXPECT_FALSE(contains(run.err, "only one bundle folder")) << run.err;
    }

    // A bundle given runs: the road opens over its page, and the application's end writes its result.
    const std::string png = folder.path() + "/shot.png";
    auto run = e2e::runProgram(script, {HYB_BUILD_DIR, "--headless", "--screenshot", png, hybtest::sourcePath("app/bundle")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "{\"code\":\"cancel\",\"data\":\"\"}\n");
    EXPECT_TRUE(platform::Image::fromFile(png).ok());
}

TEST(CardPayDemo, AServerAddressThatIsNoWebURLStopsBeforeAnyWindow)
{
    auto run = e2e::runProgram(HYB_HOST_EXE, {"--headless", "--cardpay-demo", "127.0.0.1:1/gateway", hybtest::sourcePath("app/bundle")});
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_TRUE(contains(run.err, "--cardpay-demo needs an http:// or https:// URL")) << run.err;
}

} // namespace
