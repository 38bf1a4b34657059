#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"

#include "support/EventWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace platform;

namespace {

TEST(AppFolders, EachTestGetsItsOwnFreshHomeThatIsRemovedAfterwards) {
    std::string first;
    {
        hybtest::TempHome a;
        hybtest::TempHome b;
        first = a.root();
        EXPECT_NE(a.folders().home(), b.folders().home());
        EXPECT_EQ(AppFolders::current().home(), b.folders().home()); // the latest is installed
        auto& files = FileManager::defaultManager();
        for (const auto& folder : {b.folders().documents(), b.folders().caches(), b.folders().applicationSupport(),
                                   b.folders().preferences(), b.folders().tmp(), b.folders().bundle()})
            EXPECT_TRUE(files.isDirectory(folder)) << folder;
        EXPECT_EQ(b.folders().caches(), b.folders().home() + "/Library/Caches");
        EXPECT_EQ(b.folders().applicationSupport(), b.folders().home() + "/Library/Application Support");
    }
    EXPECT_FALSE(FileManager::defaultManager().fileExists(first));
}

// A death test's child runs the test again in a new process and ends without destructors or exit
// handlers: the home it made there is removed once it has ended, not left in the temporary folder.
TEST(AppFoldersDeathTest, AHomeMadeInADeathTestsChildIsRemovedOnceTheChildHasEnded) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* previous = std::getenv("TMPDIR");
    const std::string saved = previous ? previous : "";
    std::string pattern = std::filesystem::temp_directory_path().string() + "/hybtest-death-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    ::setenv("TMPDIR", pattern.c_str(), 1); // the child makes its home in there
    EXPECT_EXIT(
        {
            hybtest::TempHome home;
            home.writeBundleFile("config.xml", "<widget/>");
            std::_Exit(3);
        },
        ::testing::ExitedWithCode(3), "");
    if (previous)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    // The child ran this test from its start: it made a folder of this pattern in there too, with its home.
    auto homesLeft = [&] {
        int homes = 0;
        std::error_code error;
        // The helper removes as this walks: a walk that fails counts as a home left, to look again.
        for (auto it = std::filesystem::recursive_directory_iterator(pattern, error); !error && it != std::filesystem::recursive_directory_iterator();
             it.increment(error))
            homes += it->path().filename().string().starts_with("hybtest-home-");
        return error ? 1 : homes;
    };
    // The helper removes it once it sees the child gone.
    EXPECT_TRUE(hybtest::pollUntil([&] { return homesLeft() == 0; })) << "left in " << pattern;
    std::filesystem::remove_all(pattern);
}

TEST(AppFolders, BundleResourcesAreFoundByNameTypeAndSubfolderButNotOutsideTheBundle) {
    hybtest::TempHome home;
    home.writeBundleFile("www/index.html", "<html></html>");
    home.writeBundleFile("config.xml", "<widget/>");
    const AppFolders& f = home.folders();
    EXPECT_EQ(f.pathForResource("index", "html", "www"), f.www() + "/index.html");
    EXPECT_EQ(f.pathForResource("config", "xml"), f.configXml());
    EXPECT_EQ(f.pathForResource("missing", "xml"), "");
    EXPECT_EQ(f.pathForResource("www", ""), ""); // a folder is not a resource
    EXPECT_EQ(f.pathForResource("..", "", "www"), "");
    EXPECT_EQ(f.pathForResource("config", "xml", "../App.bundle"), "");
}

TEST(AppFolders, DefaultHomeIsTheXdgDataFolderOfTheBundleIdentifier) {
    const char* saved = std::getenv("XDG_DATA_HOME");
    std::string keep = saved ? saved : "";
    setenv("XDG_DATA_HOME", "/data/xdg", 1);
    EXPECT_EQ(AppFolders::defaultHome("org.example.app"), "/data/xdg/org.example.app");
    unsetenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (home) {
        EXPECT_EQ(AppFolders::defaultHome("id"), std::string(home) + "/.local/share/id");
    }
    if (saved)
        setenv("XDG_DATA_HOME", keep.c_str(), 1);
}

} // namespace
