#include "deploy/ZMDeploy.h"

#include "deploy/ZMZipArchive.h"
#include "platform/core/Log.h"
#include "platform/web/HeadlessWebView.h"
#include "runtime/HYBCommandDelegate.h"
#include "support/HTTPTestServer.h"
#include "support/LogCapture.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include "ZipFixture.h"

#include "BundleFixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

using namespace deploy;
using deploy::testing::FixtureEntry;
using deploy::testing::fileEntry;
using deploy::testing::linkEntry;
using runtime::HYBCommandStatus;
using runtime::HYBInvokedUrlCommand;
using testsupport::Reply;
namespace fs = std::filesystem;

namespace {

struct Answer {
    std::optional<std::string> callbackId;
    int status = 0;
    platform::Value message;
    bool keepCallback = false;
    bool hasResult = false;
};

class RecordingCommandDelegate : public runtime::HYBCommandDelegate {
public:
    std::optional<std::string> pathForResource(std::string_view) override { return std::nullopt; }
    std::shared_ptr<runtime::HYBPlugin> getCommandInstance(std::string_view) override { return nullptr; }
    void sendPluginResult(std::optional<runtime::HYBPluginResult> result, std::optional<std::string> callbackId) override {
        Answer answer;
        answer.callbackId = std::move(callbackId);
        if (result) {
            answer.hasResult = true;
            answer.status = static_cast<int>(result->status());
            answer.message = result->message();
            answer.keepCallback = result->keepCallback();
        }
        std::lock_guard lock(m_mutex);
        m_answers.push_back(std::move(answer));
    }
    void evalJs(std::string) override {}
    void evalJs(std::string, bool) override {}
    void runInBackground(std::function<void()> block) override { block(); }
    std::string userAgent() override { return "test"; }
    bool URLIsWhitelisted(const platform::URL&) override { return true; }
    platform::Dictionary settings() override { return {}; }

    std::vector<Answer> answersFor(const std::string& callbackId) const {
        std::lock_guard lock(m_mutex);
        std::vector<Answer> found;
        for (const Answer& a : m_answers) {
            if (a.callbackId == callbackId)
                found.push_back(a);
        }
        return found;
    }
    // The answer that ends the call (one that does not keep the callback), if it came.
    std::optional<Answer> finalAnswer(const std::string& callbackId) const {
        for (const Answer& a : answersFor(callbackId)) {
            if (!a.keepCallback)
                return a;
        }
        return std::nullopt;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Answer> m_answers;
};

struct Update {
    std::string version;
    std::vector<FixtureEntry> entries;
};

class DeployTest : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        deploy::testing::writeSampleBundle(m_home);
        server.route("/check", [this](const testsupport::RecordedRequest&) {
            std::lock_guard lock(m_mutex);
            return Reply::text(200, m_checkReply, "application/json");
        });
        server.route("/www.zip", [this](const testsupport::RecordedRequest&) {
            std::lock_guard lock(m_mutex);
            return Reply::text(200, m_archive, "application/zip");
        });
        webView = platform::HeadlessWebView::create();
        plugin = startPlugin();
    }
    void TearDown() override {
        if (plugin && plugin->serialQueue())
            plugin->serialQueue()->sync([] {});
        webView->waitUntilIdle();
    }

    std::shared_ptr<ZMDeploy> startPlugin() {
        auto p = std::make_shared<ZMDeploy>(webView);
        p->setCommandDelegate(delegate);
        p->pluginInitialize();
        return p;
    }

    std::string support() const { return m_home.folders().applicationSupport(); }
    platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

    void offer(const std::string& version, const std::vector<FixtureEntry>& entries, const std::string& compatible = "true") {
        std::string path = m_home.root() + "/upload.zip";
        fs::remove(path);
        deploy::testing::writeArchive(path, entries);
        std::lock_guard lock(m_mutex);
        m_archive = deploy::testing::readFile(path);
        m_checkReply = "{\"compatible_binary\":" + compatible + ",\"update_available\":true,\"update\":{\"version\":\"" +
                       version + "\",\"url\":\"" + server.url("/www.zip") + "\"}}";
    }
    void setCheckReply(std::string reply) {
        std::lock_guard lock(m_mutex);
        m_checkReply = std::move(reply);
    }

    // Runs an action and waits for its final answer.
    Answer call(const std::string& action, platform::Array arguments = {}) {
        std::string callbackId = "ZMDeploy" + std::to_string(++m_calls);
        HYBInvokedUrlCommand command(std::move(arguments), callbackId, "ZMDeploy", action);
        EXPECT_TRUE(plugin->performAction(action, command));
        m_lastCallbackId = callbackId;
        std::optional<Answer> answer;
        EXPECT_TRUE(hybtest::runMainUntil([&] { return (answer = delegate->finalAnswer(callbackId)).has_value(); }))
            << action << " did not answer";
        return answer.value_or(Answer{});
    }
    std::vector<Answer> progressOfLastCall() const {
        std::vector<Answer> progress;
        for (const Answer& a : delegate->answersFor(m_lastCallbackId)) {
            if (a.keepCallback)
                progress.push_back(a);
        }
        return progress;
    }
    void initialize() {
        call("initialize", {platform::Dictionary{{"checkUrl", server.url("/check")},
                                                 {"requestHeaders", platform::Dictionary{{"X-App-Key", "k1"}}}}});
    }
    // check, download and extract one offered version; returns the extract answer.
    Answer update(const std::string& version, const std::vector<FixtureEntry>& entries) {
        offer(version, entries);
        EXPECT_EQ(call("check", {"beta"}).message, platform::Value("true"));
        EXPECT_EQ(call("download").message, platform::Value("true"));
        return call("extract");
    }
    void waitForLoadOf(const std::string& contents) {
        ASSERT_TRUE(hybtest::runMainUntil([&] {
            const auto& data = webView->documentData();
            return std::string(data.begin(), data.end()) == contents;
        })) << "the web view did not load \"" << contents << "\"";
    }

    testsupport::HTTPTestServer server;
    std::shared_ptr<platform::HeadlessWebView> webView;
    std::shared_ptr<RecordingCommandDelegate> delegate = std::make_shared<RecordingCommandDelegate>();
    std::shared_ptr<ZMDeploy> plugin;
    std::mutex m_mutex;
    std::string m_checkReply = "{}";
    std::string m_archive;
    int m_calls = 0;
    std::string m_lastCallbackId;
};

const std::vector<FixtureEntry> kVersionTwo = {fileEntry("index.html", "v2 index"), fileEntry("js/app.js", "v2 app"),
                                               fileEntry("css/new.css", "v2 css")};

} // namespace

TEST_F(DeployTest, ChecksDownloadsExtractsAndRedirects) {
    initialize();
    offer("v2", kVersionTwo);
    EXPECT_EQ(call("check", {"beta"}).message, platform::Value("true"));
    auto request = server.requests().back();
    EXPECT_EQ(request.path, "/check");
    EXPECT_EQ(request.query, "device_app_version=2.5&device_platform=ios&channel_tag=beta");
    EXPECT_EQ(request.header("x-app-key"), "k1");
    EXPECT_EQ(request.header("content-type"), "application/json");
    EXPECT_EQ(request.header("accept"), "application/json");
    EXPECT_EQ(defaults().string("upstream_uuid"), "v2");

    Answer downloaded = call("download");
    EXPECT_EQ(downloaded.status, 1);
    EXPECT_EQ(downloaded.message, platform::Value("true"));
    auto progress = progressOfLastCall();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().message, platform::Value(100));
    EXPECT_EQ(defaults().string("download_uuid"), "v2");
    EXPECT_TRUE(fs::exists(support() + "/www.zip"));

    // Dangling links at the staging folder's place and at the version's (left by anything): removed, not
    // followed, and the version is unpacked all the same.
    fs::create_symlink(support() + "/nowhere", support() + "/.zmdeploy-staging");
    fs::create_symlink(support() + "/nowhere", support() + "/v2");
    Answer extracted = call("extract");
    EXPECT_EQ(extracted.message, platform::Value("done"));
    progress = progressOfLastCall();
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.front().message, platform::Value(0));
    EXPECT_EQ(progress.back().message, platform::Value(100));
    EXPECT_EQ(deploy::testing::readFile(support() + "/v2/index.html"), "v2 index");
    EXPECT_EQ(deploy::testing::readFile(support() + "/v2/css/site.css"), "bundle css");  // kept from the bundle
    EXPECT_EQ(deploy::testing::readFile(support() + "/v2/css/new.css"), "v2 css");
    EXPECT_FALSE(fs::exists(support() + "/www.zip"));
    EXPECT_FALSE(fs::exists(support() + "/nowhere"));
    EXPECT_EQ(defaults().string("uuid"), "v2");
    EXPECT_EQ(defaults().string("zmdeploy_version_ignore"), "NOTHING_TO_IGNORE");

    hybtest::LogCapture log;
    Answer redirected = call("redirect");
    EXPECT_FALSE(redirected.hasResult);  // no result object: status 0 with a null message
    waitForLoadOf("v2 index");
    const std::string expectedURL = platform::URL::fileURLWithPath(support() + "/v2/index.html").absoluteString() +
                                    "?hybrid_js_bootstrap_resource=" + m_home.folders().www() + "/hybrid.js";
    ASSERT_NE(webView->request(), nullptr);
    EXPECT_EQ(webView->request()->urlString(), expectedURL);
    // The reset the new page raises, and a second redirect, do not load again.
    plugin->onReset();
    call("redirect");
    plugin->serialQueue()->sync([] {});
    int redirects = 0;
    for (const std::string& line : log.lines())
        redirects += line.rfind("Redirecting to: ", 0) == 0;
    EXPECT_EQ(redirects, 1);

    Answer info = call("info");
    EXPECT_EQ(info.message, platform::Value(platform::Dictionary{{"deploy_uuid", "v2"}, {"binary_version", "2.5"}}));
    EXPECT_EQ(call("getVersions").message, platform::Value(platform::Array{"v2"}));

    // Offered again: already on the device, so download switches to it without the network.
    ASSERT_TRUE(defaults().set("uuid", ""));
    std::size_t requestsBefore = server.requests().size();
    EXPECT_EQ(call("download").message, platform::Value("false"));
    EXPECT_EQ(server.requests().size(), requestsBefore);
    EXPECT_EQ(defaults().string("uuid"), "v2");
}

TEST_F(DeployTest, RefusedChecks) {
    EXPECT_EQ(call("check", {"beta"}).message, platform::Value("false"));  // before initialize: no URL
    initialize();
    struct Case {
        const char* what;
        std::string reply;
    };
    ASSERT_TRUE(defaults().set("uuid", "current"));
    ASSERT_TRUE(defaults().set("zmdeploy_version_ignore", "ignored"));
    auto offerReply = [](const std::string& compatible, const std::string& version) {
        return "{\"compatible_binary\":" + compatible + ",\"update_available\":true,\"update\":{\"version\":" + version +
               ",\"url\":\"http://127.0.0.1:1/x.zip\"}}";
    };
    for (const Case& c : {Case{"number flag", offerReply("1", "\"v9\"")}, Case{"string flag", offerReply("\"true\"", "\"v9\"")},
                          Case{"current version", offerReply("true", "\"current\"")},
                          Case{"ignored version", offerReply("true", "\"ignored\"")},
                          Case{"path version", offerReply("true", "\"../x\"")}, Case{"numeric version", offerReply("true", "7")},
                          Case{"the archive's name", offerReply("true", "\"www.zip\"")},
                          Case{"the staging folder", offerReply("true", "\".zmdeploy-staging\"")},
                          Case{"a sentinel", offerReply("true", "\"NOTHING_TO_IGNORE\"")},
                          Case{"the other sentinel", offerReply("true", "\"NO_DEPLOY_LABEL\"")},
                          Case{"a control character", offerReply("true", "\"v\\u0001\"")},
                          Case{"a line break", offerReply("true", "\"v\\n9\"")},
                          Case{"not JSON", "<html>"}, Case{"array", "[true]"},
                          Case{"no update", "{\"compatible_binary\":true,\"update_available\":false}"}}) {
        SCOPED_TRACE(c.what);
        setCheckReply(c.reply);
        Answer answer = call("check", {"beta"});
        EXPECT_EQ(answer.status, 1);
        EXPECT_EQ(answer.message, platform::Value("false"));
        EXPECT_FALSE(defaults().string("upstream_uuid"));
    }
    // The current version is sent to the server.
    EXPECT_NE(server.requests().back().query.find("device_deploy_version=current"), std::string::npos);
    hybtest::LogCapture log;
    setCheckReply(offerReply("false", "\"v9\""));
    call("check", {"beta"});
    EXPECT_TRUE(log.contains("Refusing update due to incompatible binary version"));
}

TEST_F(DeployTest, KeepsTheFourNewestVersions) {
    initialize();
    for (int i = 1; i <= 5; ++i) {
        std::string version = "v" + std::to_string(i);
        EXPECT_EQ(update(version, {fileEntry("index.html", version)}).message, platform::Value("done"));
    }
    EXPECT_EQ(call("getVersions").message, platform::Value(platform::Array{"v2", "v3", "v4", "v5"}));
    EXPECT_FALSE(fs::exists(support() + "/v1"));
    EXPECT_TRUE(fs::exists(support() + "/v5/index.html"));

    Answer missing = call("deleteVersion", {nullptr});
    EXPECT_EQ(missing.status, 9);
    EXPECT_EQ(missing.message, platform::Value("Unable to delete the deploy version"));
    EXPECT_EQ(call("deleteVersion", {nullptr, "v5"}).status, 1);
    EXPECT_EQ(defaults().string("uuid"), "");  // it was current
    EXPECT_EQ(call("deleteVersion", {nullptr, "../Application Support"}).status, 9);
    EXPECT_TRUE(fs::exists(support() + "/v4"));
    // A folder of Application Support that no version record names is not the page's to remove.
    fs::create_directories(support() + "/other-data");
    EXPECT_EQ(call("deleteVersion", {nullptr, "other-data"}).message, platform::Value("Unable to delete the deploy version"));
    EXPECT_EQ(call("deleteVersion", {nullptr, "v5"}).status, 9); // gone already
    EXPECT_TRUE(fs::exists(support() + "/other-data"));
}

TEST_F(DeployTest, TheLastDownloadProgressIsAHundredForAnyLength) {
    initialize();
    // Lengths whose floating quotient lands just below 100 (100.0 / 49 * 49, for one).
    std::vector<std::size_t> lengths;
    for (std::size_t n = 40; lengths.size() < 3 && n < 2000; ++n) {
        if (static_cast<std::int32_t>(100.0 / static_cast<double>(n) * static_cast<double>(n)) < 100)
            lengths.push_back(n);
    }
    ASSERT_EQ(lengths.size(), 3u);
    for (std::size_t length : lengths) {
        SCOPED_TRACE(length);
        offer("v-" + std::to_string(length), kVersionTwo);
        {
            std::lock_guard lock(m_mutex);
            m_archive = std::string(length, 'z'); // the download does not look inside
        }
        EXPECT_EQ(call("check", {"beta"}).message, platform::Value("true"));
        EXPECT_EQ(call("download").message, platform::Value("true"));
        auto progress = progressOfLastCall();
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back().message, platform::Value(100));
    }
}

TEST_F(DeployTest, HostileOrBrokenArchivesChangeNothing) {
    initialize();
    ASSERT_EQ(update("v1", {fileEntry("index.html", "v1 index")}).message, platform::Value("done"));
    struct Case {
        const char* what;
        std::vector<FixtureEntry> entries;
    };
    for (const Case& c : {Case{"dot-dot", {fileEntry("index.html", "x"), fileEntry("../evil", "x")}},
                          Case{"absolute", {fileEntry("/abs-evil", "x")}},
                          Case{"escaping link", {fileEntry("index.html", "x"), linkEntry("evil", "../../../evil")}},
                          Case{"zip bomb", {fileEntry("index.html", "x"), fileEntry("bomb.bin", std::string(8 << 20, '\0'))}}}) {
        SCOPED_TRACE(c.what);
        Answer answer = update("bad", c.entries);
        EXPECT_EQ(answer.status, 9);
        EXPECT_EQ(defaults().string("uuid"), "v1");
        EXPECT_FALSE(fs::exists(support() + "/bad"));
        EXPECT_FALSE(fs::exists(support() + "/evil"));
        EXPECT_FALSE(fs::exists(support() + "/../evil"));
        EXPECT_FALSE(fs::exists(support() + "/.zmdeploy-staging"));
        EXPECT_EQ(call("getVersions").message, platform::Value(platform::Array{"v1"}));
    }

    // A truncated archive.
    offer("cut", {fileEntry("index.html", std::string(5000, 'c'))});
    {
        std::lock_guard lock(m_mutex);
        m_archive.resize(m_archive.size() / 2);
    }
    EXPECT_EQ(call("check", {"beta"}).message, platform::Value("true"));
    EXPECT_EQ(call("download").message, platform::Value("true"));
    EXPECT_EQ(call("extract").status, 9);
    EXPECT_EQ(defaults().string("uuid"), "v1");

    // An end record that counts 1 entry over a directory of 3: not half installed.
    offer("short-count", {fileEntry("a.txt", "a"), fileEntry("b.txt", "b"), fileEntry("index.html", "short")});
    {
        std::lock_guard lock(m_mutex);
        ASSERT_GE(m_archive.size(), 22u);
        const std::size_t end = m_archive.size() - 22;  // no archive comment: the end record closes the file
        ASSERT_EQ(m_archive.compare(end, 4, "PK\x05\x06"), 0);
        for (std::size_t at : {end + 8, end + 10}) {  // this disk's count and the total
            m_archive[at] = 1;
            m_archive[at + 1] = 0;
        }
    }
    EXPECT_EQ(call("check", {"beta"}).message, platform::Value("true"));
    EXPECT_EQ(call("download").message, platform::Value("true"));
    EXPECT_EQ(call("extract").status, 9);
    EXPECT_EQ(defaults().string("uuid"), "v1");
    EXPECT_FALSE(fs::exists(support() + "/short-count"));
    EXPECT_EQ(call("getVersions").message, platform::Value(platform::Array{"v1"}));

    // Extract with nothing downloaded, and with a stored id that is not a folder name.
    ASSERT_TRUE(defaults().remove("download_uuid"));
    EXPECT_EQ(call("extract").status, 9);
    ASSERT_TRUE(defaults().set("download_uuid", "../x"));
    EXPECT_EQ(call("extract").status, 9);
    EXPECT_EQ(defaults().string("uuid"), "v1");

    // Extract after a download that failed: "download_uuid" still names the installed version, but nothing
    // was downloaded to extract.
    ASSERT_TRUE(defaults().set("download_uuid", "v1"));
    setCheckReply("{\"compatible_binary\":true,\"update_available\":true,\"update\":{\"version\":\"v9\",\"url\":\"http://127.0.0.1:1/x.zip\"}}");
    EXPECT_EQ(call("check", {"beta"}).message, platform::Value("true"));
    EXPECT_EQ(call("download").message, platform::Value("download error"));
    const Answer afterFailure = call("extract");
    EXPECT_EQ(afterFailure.status, 9);
    EXPECT_EQ(afterFailure.message, platform::Value("extract error"));
    EXPECT_EQ(defaults().string("uuid"), "v1");
    // A later download that succeeds is extracted as usual.
    EXPECT_EQ(update("v3", {fileEntry("index.html", "v3 index")}).message, platform::Value("done"));
}

TEST_F(DeployTest, ANewApplicationBuildIgnoresTheCurrentVersion) {
    initialize();
    ASSERT_EQ(update("v1", {fileEntry("index.html", "v1 index")}).message, platform::Value("done"));
    EXPECT_FALSE(plugin->ignoreDeploy());
    // A rebuilt application: its script file has another creation time, so the label differs.
    ASSERT_TRUE(defaults().set("zmdeploy_version_label", "2.5:1:v1"));
    plugin = startPlugin();
    EXPECT_TRUE(plugin->ignoreDeploy());
    EXPECT_EQ(defaults().string("uuid"), "");
    EXPECT_EQ(defaults().string("zmdeploy_version_ignore"), "v1");
    // The second start ignores the empty version instead; the third changes nothing.
    plugin = startPlugin();
    EXPECT_TRUE(plugin->ignoreDeploy());
    EXPECT_EQ(defaults().string("zmdeploy_version_ignore"), "");
    plugin = startPlugin();
    EXPECT_FALSE(plugin->ignoreDeploy());
    // v1 may be offered again; it is still on the device.
    initialize();
    offer("v1", {fileEntry("index.html", "v1 index")});
    EXPECT_EQ(call("check", {"beta"}).message, platform::Value("true"));
    EXPECT_EQ(call("download").message, platform::Value("false"));
    EXPECT_EQ(defaults().string("uuid"), "v1");
}

namespace {

// The files of a web root folder with their contents.
std::map<std::string, std::string> contentsOf(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file())
            files[fs::relative(it->path(), folder).string()] = deploy::testing::readFile(it->path().string());
    }
    return files;
}

} // namespace

TEST_F(DeployTest, AKillAtAnyMomentLeavesACompleteWebRoot) {
    initialize();
    ASSERT_EQ(update("v1", {fileEntry("index.html", "v1 index"), fileEntry("js/a.js", "v1 a")}).message,
              platform::Value("done"));
    const auto oldRoot = contentsOf(support() + "/v1");
    std::vector<FixtureEntry> next;
    for (int i = 0; i < 12; ++i)
        next.push_back(fileEntry("js/f" + std::to_string(i) + ".js", std::string(20000, static_cast<char>('a' + i))));
    next.push_back(fileEntry("index.html", "v2 index"));
    offer("v2", next);
    ASSERT_EQ(call("check", {"beta"}).message, platform::Value("true"));
    ASSERT_EQ(call("download").message, platform::Value("true"));
    const std::string archive = deploy::testing::readFile(support() + "/www.zip");
    plugin->serialQueue()->sync([] {});

    // Kill the unpacking process at each of its log lines in turn (every progress step and every step of
    // recording), then start again as the application would.
    std::optional<std::map<std::string, std::string>> newRoot;
    for (int killAt = 1;; ++killAt) {
        SCOPED_TRACE("killed at log line " + std::to_string(killAt));
        std::ofstream(support() + "/www.zip", std::ios::binary) << archive;
        ASSERT_TRUE(defaults().set("download_uuid", "v2"));
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int lines = 0;
            platform::Log::setCaptureHook([&](std::string_view) {
                if (++lines == killAt)
                    ::raise(SIGKILL);
            });
            (void)plugin->performExtract(std::nullopt);
            ::_exit(0);
        }
        // A forked child of this many-threaded process can block on a lock another thread held at the fork;
        // one that has not ended after 30 s is killed there, which is just one more moment to kill it at.
        int status = 0;
        pid_t ended = 0;
        for (int waited = 0; waited < 3000 && ended == 0; ++waited) {
            ended = ::waitpid(child, &status, WNOHANG);
            if (ended == 0)
                ::usleep(10'000);
        }
        if (ended == 0) {
            ::kill(child, SIGKILL);
            ended = ::waitpid(child, &status, 0);
        }
        ASSERT_EQ(ended, child);
        const bool completed = WIFEXITED(status);
        if (!completed) {
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        }

        // Restart: a new plug-in redirects to the current version, which must be complete.
        std::string current = defaults().string("uuid").value_or("");
        ASSERT_TRUE(current == "v1" || current == "v2") << current;
        auto root = contentsOf(support() + "/" + current);
        if (current == "v1") {
            EXPECT_EQ(root, oldRoot);
        } else {
            EXPECT_EQ(root.at("index.html"), "v2 index");
            EXPECT_EQ(root.size(), 15u);  // the bundle's index, css and script, replaced or kept, plus 12 files
            EXPECT_EQ(root.at("js/f11.js"), std::string(20000, 'l'));
        }
        plugin = startPlugin();
        EXPECT_FALSE(plugin->ignoreDeploy());
        plugin->doRedirect();
        waitForLoadOf(root.at("index.html"));

        if (completed) {
            EXPECT_EQ(current, "v2");
            break;
        }
        // Back to v1 for the next round.
        ASSERT_TRUE(defaults().set("uuid", "v1"));
        if (plugin->versionStore().hasVersion("v2"))
            plugin->versionStore().removeVersion("v2");
        fs::remove_all(support() + "/v2");
        plugin = startPlugin();
        ASSERT_LT(killAt, 200);
    }
}
