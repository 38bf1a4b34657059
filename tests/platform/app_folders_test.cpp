#include "platform/AppFolders.h"
#include "platform/FileManager.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>

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
