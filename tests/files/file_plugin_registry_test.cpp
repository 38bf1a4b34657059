#include "files/HYBLocalFilesystem.h"

#include "FilePluginFixture.h"

#include "platform/files/FileManager.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace files;
using filestest::FilePluginTest;
using platform::FileManager;

namespace {

std::vector<std::string> names(const HYBFile::FileSystems& fileSystems) {
    std::vector<std::string> out;
    for (const auto& fileSystem : fileSystems)
        out.push_back(fileSystem->name());
    return out;
}

std::string rootOf(const HYBFile& plugin, const std::string& name) {
    auto local = std::dynamic_pointer_cast<HYBLocalFilesystem>(plugin.fileSystemByName(name));
    return local ? local->fsRoot() : "<none>";
}

} // namespace

TEST_F(FilePluginTest, DefaultRegistryOrderAndRoots) {
    ASSERT_TRUE(FileManager::defaultManager().removeItem(m_home.folders().documents()));
    startPlugin();
    EXPECT_EQ(names(m_plugin->fileSystems()),
              (std::vector<std::string>{"temporary", "persistent", "assets-library", "library", "library-nosync", "documents",
                                        "documents-nosync", "cache", "bundle", "root"}));
    EXPECT_EQ(HYBFile::current(), m_plugin);
    const platform::AppFolders& folders = m_home.folders();
    EXPECT_EQ(rootOf(*m_plugin, "persistent"), folders.documents());
    EXPECT_EQ(rootOf(*m_plugin, "temporary"), folders.tmp());
    EXPECT_EQ(rootOf(*m_plugin, "library-nosync"), folders.library() + "/NoCloud");
    EXPECT_EQ(rootOf(*m_plugin, "bundle"), folders.bundle());
    EXPECT_EQ(rootOf(*m_plugin, "root"), "/");
    // Compatibility creates nothing for "persistent"; only the "-nosync" folders appear (a "documents-nosync"
    // folder inside Documents brings the parent with it).
    EXPECT_TRUE(FileManager::defaultManager().isExcludedFromBackup(folders.documents() + "/NoCloud"));
    EXPECT_TRUE(FileManager::defaultManager().isExcludedFromBackup(folders.library() + "/NoCloud"));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(folders.library() + "/files"));
}

TEST_F(FilePluginTest, LibraryLocationInAnyCaseCreatesTheFilesFolder) {
    startPlugin({{"iospersistentfilelocation", "LIBRARY"}});
    EXPECT_EQ(rootOf(*m_plugin, "persistent"), m_home.folders().library() + "/files");
    EXPECT_TRUE(FileManager::defaultManager().isDirectory(m_home.folders().library() + "/files"));
}

TEST_F(FilePluginTest, ExtraFileSystemsAreSplitWithoutTrimmingAndRegisteredOnce) {
    hybtest::LogCapture log;
    startPlugin({{"iosextrafilesystems", "cache, bundle,cache,Persistent,root"}});
    EXPECT_EQ(names(m_plugin->fileSystems()), (std::vector<std::string>{"temporary", "persistent", "assets-library", "cache", "root"}));
    EXPECT_TRUE(log.contains("Unrecognized extra filesystem identifier:  bundle"));
    EXPECT_TRUE(log.contains("Unrecognized extra filesystem identifier: persistent"));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(m_home.folders().documents() + "/NoCloud"));
}

TEST_F(FilePluginTest, BadPersistentLocationStopsWithTheFixedTextAndStatusOne) {
    EXPECT_EXIT(startPlugin({{"iospersistentfilelocation", "sdcard"}}), ::testing::ExitedWithCode(1),
                 "File plugin configuration error: Please set iosPersistentFileLocation in config.xml to one of \"library\" "
                 "\\(for new applications\\) or \"compatibility\" \\(for compatibility with previous versions\\)");
}

TEST_F(FilePluginTest, LocalPathsMapToTheClosestFileSystem) {
    startPlugin();
    const std::string inDocuments = documents("notes/a.txt");
    auto url = m_plugin->fileSystemURLforLocalPath(inDocuments);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->fileSystemName(), "persistent");
    EXPECT_EQ(url->fullPath(), "/notes/a.txt");
    EXPECT_EQ(m_plugin->fileSystemURLforLocalPath("/etc/hostname")->fileSystemName(), "root");

    HYBFilesystemURL viaFileURL = m_plugin->fileSystemURLforArg("file://" + documents("x/../b.txt"));
    EXPECT_EQ(viaFileURL.fileSystemName(), "persistent");
    EXPECT_EQ(viaFileURL.fullPath(), "/b.txt");

    EXPECT_FALSE(m_plugin->filesystemForURL(HYBFilesystemURL("hybfile://localhost/")));
    EXPECT_FALSE(m_plugin->filesystemForURL(HYBFilesystemURL("hybfile://localhost/nosuch/x")));
    EXPECT_EQ(m_plugin->filesystemPathForURL(HYBFilesystemURL("hybfile://localhost/persistent/a.txt")), documents("a.txt"));
    EXPECT_FALSE(m_plugin->filesystemPathForURL(HYBFilesystemURL("hybfile://localhost/persistent/../x")));

    auto entry = m_plugin->getDirectoryEntry(documents("notes"), true);
    ASSERT_TRUE(entry);
    EXPECT_EQ((*entry)["fullPath"], platform::Value("/notes/"));
    EXPECT_EQ((*entry)["filesystemName"], platform::Value("persistent"));
}
