#include "deploy/ZMDeployVersionStore.h"

#include "platform/files/FileManager.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

#include "BundleFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using deploy::ZMDeployVersionStore;
namespace fs = std::filesystem;

namespace {

class VersionStore : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        deploy::testing::writeSampleBundle(m_home);
    }
    platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }
    std::string support() const { return m_home.folders().applicationSupport(); }
    void makeVersionFolder(const std::string& uuid) {
        fs::create_directories(support() + "/" + uuid);
        std::ofstream(support() + "/" + uuid + "/index.html") << uuid;
    }
};

} // namespace

TEST_F(VersionStore, LabelsAndTheCurrentVersion) {
    ZMDeployVersionStore store(defaults());
    EXPECT_EQ(store.getUUID(), "NO_DEPLOY_LABEL");
    std::string label = store.constructVersionLabel(store.getUUID());
    auto parts = ZMDeployVersionStore::deconstructVersionLabel(label);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0], "2.5");
    EXPECT_FALSE(parts[1].empty());
    EXPECT_EQ(parts[2], "NO_DEPLOY_LABEL");

    ASSERT_TRUE(defaults().set("uuid", ""));
    EXPECT_EQ(store.getUUID(), "");
    ASSERT_TRUE(defaults().set("uuid", "v7"));
    hybtest::LogCapture log;
    store.updateVersionLabel("NOTHING_TO_IGNORE");
    EXPECT_TRUE(log.contains("updating version label"));
    EXPECT_EQ(defaults().string("zmdeploy_version_label"), "2.5:" + parts[1] + ":v7");
    EXPECT_EQ(defaults().string("zmdeploy_version_ignore"), "NOTHING_TO_IGNORE");
    EXPECT_EQ(store.versionLabel(), "2.5:" + parts[1] + ":v7");

    fs::remove(m_home.folders().www() + "/hybrid.js");
    EXPECT_EQ(store.constructVersionLabel("v7"), "NO_DEPLOY_LABEL");
    EXPECT_EQ(ZMDeployVersionStore::deconstructVersionLabel("NO_DEPLOY_LABEL"), std::vector<std::string>{"NO_DEPLOY_LABEL"});
}

TEST_F(VersionStore, KeepsTheFourNewestVersions) {
    ZMDeployVersionStore store(defaults());
    for (const char* uuid : {"a", "b", "c", "d"}) {
        makeVersionFolder(uuid);
        store.saveVersion(uuid);
    }
    EXPECT_EQ(store.getMyVersions(), (std::vector<std::string>{"1|a", "2|b", "3|c", "4|d"}));
    ASSERT_TRUE(defaults().set("uuid", "b"));
    makeVersionFolder("e");
    store.saveVersion("e");
    EXPECT_EQ(defaults().integer("version_count"), 5);
    EXPECT_EQ(store.getDeployVersions(), (std::vector<std::string>{"b", "c", "d", "e"}));
    EXPECT_FALSE(fs::exists(support() + "/a"));
    EXPECT_TRUE(fs::exists(support() + "/b/index.html"));
    EXPECT_EQ(defaults().string("uuid"), "b");

    // The sixth save drops the current version "b": the bundle's web root is shown again.
    makeVersionFolder("f");
    store.saveVersion("f");
    EXPECT_EQ(store.getDeployVersions(), (std::vector<std::string>{"c", "d", "e", "f"}));
    EXPECT_EQ(defaults().string("uuid"), "");
    EXPECT_TRUE(store.hasVersion("c"));
    EXPECT_FALSE(store.hasVersion("b"));
}

TEST_F(VersionStore, RemovalAndItsRecords) {
    ZMDeployVersionStore store(defaults());
    for (const char* uuid : {"x", "y", "z"}) {
        makeVersionFolder(uuid);
        store.saveVersion(uuid);
    }
    ASSERT_TRUE(defaults().set("uuid", "z"));
    EXPECT_TRUE(store.removeVersion("x"));
    EXPECT_EQ(defaults().string("uuid"), "z");
    EXPECT_EQ(store.getMyVersions(), (std::vector<std::string>{"2|y", "3|z"}));
    EXPECT_TRUE(store.removeVersion("z"));
    EXPECT_EQ(defaults().string("uuid"), "");
    EXPECT_EQ(store.getMyVersions(), (std::vector<std::string>{"2|y"}));

    // A folder that is not there: false, records unchanged.
    fs::remove_all(support() + "/y");
    EXPECT_FALSE(store.removeVersion("y"));
    EXPECT_EQ(store.getMyVersions(), (std::vector<std::string>{"2|y"}));
    store.removeVersionFromPreferences("y");
    EXPECT_TRUE(store.getMyVersions().empty());

    // A link at a version's folder (a dangling one here) is removed without being followed, and its record.
    store.saveVersion("w");
    fs::create_symlink(support() + "/gone", support() + "/w");
    EXPECT_TRUE(store.removeVersion("w"));
    EXPECT_EQ(fs::symlink_status(support() + "/w").type(), fs::file_type::not_found);
    EXPECT_TRUE(store.getMyVersions().empty());
}

TEST_F(VersionStore, UnsafeVersionNamesTouchNoFile) {
    for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "/abs", "www.zip", ".zmdeploy-staging", "NOTHING_TO_IGNORE",
                            "NO_DEPLOY_LABEL", "a\nb", "tab\t", "del\x7f", "\x1b[31m"})
        EXPECT_FALSE(ZMDeployVersionStore::isSafeVersionName(bad)) << bad;
    for (const char* good : {"1f3c-9a", "v1.2", "..a", "a..", "\xE4\xB8\xAD", "www.zip2", "no_deploy_label"})
        EXPECT_TRUE(ZMDeployVersionStore::isSafeVersionName(good)) << good;

    ZMDeployVersionStore store(defaults());
    fs::create_directories(m_home.folders().library() + "/x");
    ASSERT_TRUE(defaults().set("uuid", "../x"));
    EXPECT_FALSE(store.removeVersion("../x"));
    EXPECT_FALSE(store.removeVersion(".."));
    EXPECT_TRUE(fs::exists(m_home.folders().library() + "/x"));
    EXPECT_TRUE(fs::exists(support()));
    EXPECT_FALSE(store.excludeVersionFromBackup("../x"));
}

TEST_F(VersionStore, CopiesTheBundleWebRootWithoutReplacing) {
    ZMDeployVersionStore store(defaults());
    fs::create_directories(support() + "/v1");
    std::ofstream(support() + "/v1/index.html") << "already there";
    store.copyByMainBundle("www", support(), "v1");
    EXPECT_EQ(platform::FileManager::defaultManager().contentsOfFile(support() + "/v1/css/site.css").valueOr({}),
              (platform::Bytes{'b', 'u', 'n', 'd', 'l', 'e', ' ', 'c', 's', 's'}));
    std::ifstream index(support() + "/v1/index.html");
    std::string text((std::istreambuf_iterator<char>(index)), {});
    EXPECT_EQ(text, "already there");
    store.copyByMainBundle("missing", support(), "v2");
    EXPECT_FALSE(fs::exists(support() + "/v2"));

    EXPECT_TRUE(store.excludeVersionFromBackup("v1"));
    EXPECT_TRUE(platform::FileManager::defaultManager().isExcludedFromBackup(support() + "/v1"));
}
