// Programs that play installed applications, and the application's own schemes opening back into it.
#include "platform/application/Application.h"
#include "platform/application/ApplicationDelegate.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

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
