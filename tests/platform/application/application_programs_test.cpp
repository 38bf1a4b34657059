// Programs that play installed applications, and the application's own schemes opening back into it.
#include "platform/application/Application.h"
#include "platform/application/ApplicationDelegate.h"
#include "platform/system/ProcessEnvironment.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <thread>

using platform::Application;

namespace {

class Recorder : public platform::ApplicationDelegate {
public:
    bool openURL(Application&, const std::string& url, const std::string&, const platform::Value&) override {
        urls.push_back(url);
        return true;
    }
    std::vector<std::string> urls;
};

class ApplicationProgramsTest : public hybtest::TempHomeTest {
protected:
    ApplicationProgramsTest() {
        Application::shared().resetForTesting();
        Application::shared().setDelegate(recorder);
    }
    ~ApplicationProgramsTest() override { Application::shared().resetForTesting(); }
    // A shell script as a program.
    std::string script(const std::string& name, const std::string& body) {
        std::string path = m_home.root() + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        ::chmod(path.c_str(), 0700);
        return path;
    }
    static bool allExited() {
        return hybtest::runMainUntil([] { return Application::shared().runningProgramCount() == 0; });
    }
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

TEST_F(ApplicationProgramsTest, OpenLinesComeBackInOrder) {
    EXPECT_FALSE(Application::shared().canOpenURL("demo://x"));
    Application::shared().setProgramForScheme("Demo", script("demo.sh", "echo \"open back://1?$1\"\necho noise\nprintf 'open back://2'\n"));
    EXPECT_TRUE(Application::shared().canOpenURL("demo://x"));
    ASSERT_TRUE(Application::shared().openURL("demo://x"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->urls.size() == 2; }));
    EXPECT_EQ(recorder->urls, (std::vector<std::string>{"back://1?demo://x", "back://2"}));
    ASSERT_TRUE(allExited());
    EXPECT_TRUE(Application::shared().programFailures().empty());
    EXPECT_EQ(Application::shared().openedURLs(), std::vector<std::string>{"demo://x"});

    Application::shared().setProgramForScheme("demo", "");
    EXPECT_FALSE(Application::shared().canOpenURL("demo://x"));
}

// The environment is written only before the program starts a thread: once one runs, a setting is refused and
// nothing changes (a reader on that thread would find the table moved under it); a bad name or value is refused too.
TEST_F(ApplicationProgramsTest, TheEnvironmentIsNotWrittenWhileAnotherThreadRuns) {
    using platform::ProcessEnvironment;
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false, done = false;
    std::thread reader([&] {
        std::unique_lock lock(mutex);
        started = true;
        changed.notify_all();
        changed.wait(lock, [&] { return done; });
    });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return started; });
    }
    EXPECT_FALSE(ProcessEnvironment::noThreadStarted());
    for (const auto reach : {ProcessEnvironment::Reach::EveryProgram, ProcessEnvironment::Reach::EngineOnly}) {
        const platform::Status set = ProcessEnvironment::set("HYB_LATE_SETTING", "x", reach);
        ASSERT_FALSE(set.ok());
        EXPECT_NE(set.error().localizedDescription().find("other threads run"), std::string::npos) << set.error().localizedDescription();
    }
    EXPECT_EQ(std::getenv("HYB_LATE_SETTING"), nullptr);
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{{"", "x"}, {"A=B", "x"}, {std::string("A\0B", 3), "x"},
                                                                                      {"HYB_LATE_SETTING", std::string("x\0y", 3)}})
        EXPECT_FALSE(ProcessEnvironment::set(name, value, ProcessEnvironment::Reach::EveryProgram).ok()) << name;
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    changed.notify_all();
    reader.join();
}

// A variable set for this process and the engine's only (their temporary folder) reaches no other program it
// starts: that one gets the value from before (or none), and a variable set for every program (a display) as set.
// In a child started anew, which sets them before any thread starts, as the application's main does.
TEST_F(ApplicationProgramsTest, AProgramGetsTheEnvironmentFromBeforeTheEngineOnlySettings) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            using platform::ProcessEnvironment;
            ::setenv("HYB_ENGINE_ONLY", "before", 1);
            ::unsetenv("HYB_ENGINE_ONLY_NEW");
            const bool set = ProcessEnvironment::set("HYB_ENGINE_ONLY", "engine", ProcessEnvironment::Reach::EngineOnly).ok() &&
                             ProcessEnvironment::set("HYB_ENGINE_ONLY", "again", ProcessEnvironment::Reach::EngineOnly).ok() &&
                             ProcessEnvironment::set("HYB_ENGINE_ONLY_NEW", "engine", ProcessEnvironment::Reach::EngineOnly).ok() &&
                             ProcessEnvironment::set("HYB_EVERY_PROGRAM", "all", ProcessEnvironment::Reach::EveryProgram).ok();
            if (!set || std::string(std::getenv("HYB_ENGINE_ONLY")) != "again")
                std::exit(2);
            // With a variable set over it, once.
            const ProcessEnvironment::Block over = ProcessEnvironment::forOtherPrograms({{"HYB_EVERY_PROGRAM", "over"}, {"HYB_ENGINE_ONLY", "mine"}});
            const auto times = [&](const std::string& entry) { return std::count(over.entries().begin(), over.entries().end(), entry); };
            if (times("HYB_EVERY_PROGRAM=over") != 1 || times("HYB_EVERY_PROGRAM=all") != 0 || times("HYB_ENGINE_ONLY=mine") != 1 ||
                times("HYB_ENGINE_ONLY=before") != 0 || over.data()[over.entries().size()] != nullptr)
                std::exit(5);
            Application::shared().setProgramForScheme(
                "demo", script("env.sh", "echo \"open back://${HYB_ENGINE_ONLY}-${HYB_ENGINE_ONLY_NEW:-unset}-${HYB_EVERY_PROGRAM}\"\n"));
            if (!Application::shared().openURL("demo://x") || !hybtest::runMainUntil([&] { return !recorder->urls.empty(); }))
                std::exit(3);
            std::exit(recorder->urls[0] == "back://before-unset-all" ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ApplicationProgramsTest, FailuresAreRecorded) {
    Application::shared().setProgramForScheme("demo", script("fail.sh", "echo 'open back://before'\nexit 3\n"));
    ASSERT_TRUE(Application::shared().openURL("demo://y"));
    ASSERT_TRUE(allExited());
    ASSERT_EQ(Application::shared().programFailures().size(), 1u);
    EXPECT_NE(Application::shared().programFailures()[0].find("exit status 3"), std::string::npos);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->urls.size() == 1; }));

    Application::shared().setProgramForScheme("demo", m_home.root() + "/missing");
    EXPECT_FALSE(Application::shared().openURL("demo://z"));
    EXPECT_EQ(Application::shared().programFailures().size(), 2u);
}

TEST_F(ApplicationProgramsTest, OwnSchemesOpenBackOnALaterTurn) {
    m_home.writeBundleFile("Info.plist", R"(<?xml version="1.0"?><plist version="1.0"><dict>
<key>CFBundleURLTypes</key><array><dict><key>CFBundleURLSchemes</key><array><string>hostapp</string></array></dict></array>
</dict></plist>)");
    EXPECT_TRUE(Application::shared().canOpenURL("HostApp://back"));
    ASSERT_TRUE(Application::shared().openURL("hostapp://back"));
    EXPECT_TRUE(recorder->urls.empty());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->urls.size() == 1; }));
    EXPECT_EQ(recorder->urls[0], "hostapp://back");
    EXPECT_FALSE(Application::shared().canOpenURL("otherapp://back"));
}

} // namespace
