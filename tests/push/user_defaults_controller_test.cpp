#include "PushTest.h"

#include "push/PULSEAES.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSEKeychain.h"
#include "push/PULSEUserDefaultsController.h"

#include "platform/files/FileManager.h"
#include "platform/formats/KeyedArchiver.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/UserDefaults.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

using namespace push;
using platform::ArchiveValue;
using platform::Bytes;
using Store = PULSEFileCacheController;
using Identity = PULSEUserDefaultsController;

namespace {

constexpr const char* kBundle = "org.test.pulse";
constexpr const char* kAppKey = "0123456789abcdef01234567";

class UserDefaultsController : public pushtest::PushTest {
protected:
    UserDefaultsController() {
        auto center = std::make_shared<platform::NotificationCenter>();
        push::PULSEClientController::sharedClient().setClientNotificationCenter(center);
        center->addObserver(this, Identity::kVerifiedNotification, nullptr,
                            [this](const platform::Notification&) { ++m_verifiedPosts; });
    }
    ~UserDefaultsController() override {
        if (auto center = push::PULSEClientController::sharedClient().clientNotificationCenter())
            center->removeObserver(this);
    }

    // One launch of the client: the stores start, then the identity.
    std::unique_ptr<Identity> launch(const std::string& appKey = kAppKey) {
        Store::resetForTesting();
        m_verifiedPosts = 0;
        auto document = Store::startShareInstance("PULSEDocument", 1, true);
        document->setAutoSynchronizeEnable(false);
        Store::startShareInstance("PULSEJSON", 0, false);
        return std::make_unique<Identity>(kBundle, appKey);
    }

    std::string cachePath() const { return m_home.folders().caches() + "/Pulse/PULSEJSON"; }
    std::string documentPath() const { return m_home.folders().documents() + "/PulseDocument/PULSEDocument"; }
    // Tells whether a file was written since: every write replaces the file (a new inode), and the
    // watch's hard link keeps the old inode from being handed out again.
    class WriteWatch {
    public:
        explicit WriteWatch(std::string path) : m_path(std::move(path)), m_link(m_path + ".watch") {
            ::unlink(m_link.c_str());
            EXPECT_EQ(::link(m_path.c_str(), m_link.c_str()), 0) << m_path;
        }
        ~WriteWatch() { ::unlink(m_link.c_str()); }
        bool written() const { return inode(m_path) != inode(m_link); }

    private:
        static ino_t inode(const std::string& path) {
            struct stat info {};
            return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
        }
        std::string m_path;
        std::string m_link;
    };
    static std::shared_ptr<Store> cache() { return Store::shareInstanceWithType(0); }
    static std::shared_ptr<Store> document() { return Store::shareInstanceWithType(1); }
    bool logged(const std::string& line) const {
        auto lines = logLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    static std::string builtInConnectAddress() {
        const auto address = PULSEEndpoints::shared().defaultConnectAddress;
        return address.host + ":" + std::to_string(address.port);
    }

    int m_verifiedPosts = 0;
};

} // namespace

TEST_F(UserDefaultsController, TheFirstLaunchMakesADeviceIdAndMarksTheFirstStart) {
    auto identity = launch();
    EXPECT_TRUE(identity->isFirstStart());
    EXPECT_TRUE(identity->verified());
    EXPECT_EQ(identity->sharedUdid().size(), 24u);
    EXPECT_EQ(identity->sharedUdid().rfind("iPhone", 0), 0u);
    EXPECT_EQ(document()->objectForKey(Identity::kDeviceIdKey), ArchiveValue(identity->sharedUdid()));
    EXPECT_EQ(cache()->objectForKey(Identity::kAppKey), ArchiveValue(kAppKey));
    EXPECT_EQ(identity->uid(), 0u);
    EXPECT_FALSE(identity->isAppRegisted());
    EXPECT_EQ(m_verifiedPosts, 1);
    EXPECT_TRUE(platform::UserDefaults::standard().boolean(Identity::kNotFirstStartKey));
    ASSERT_NE(identity->defaultKeychain(), nullptr);
    EXPECT_EQ(identity->defaultKeychain()->service(), kBundle);
    EXPECT_EQ(identity->defaultKeychain()->accessibility(), 4);

    // Verifying again does nothing.
    identity->setCurrentDeviceToken("abcd");
    EXPECT_EQ(m_verifiedPosts, 1);
    EXPECT_EQ(identity->currentDeviceToken(), std::optional<std::string>("abcd"));
}

TEST_F(UserDefaultsController, TheFirstStartRemovesTheOlderKeychainEntry) {
    PULSEKeychain keychain(kBundle, "", 4);
    ASSERT_TRUE(keychain.setObject("old", Identity::kOlderKeychainKey));
    auto identity = launch();
    EXPECT_FALSE(keychain.dataForKey(Identity::kOlderKeychainKey).has_value());
    // Later starts leave the keychain alone.
    ASSERT_TRUE(keychain.setObject("old", Identity::kOlderKeychainKey));
    identity = launch();
    EXPECT_FALSE(identity->isFirstStart());
    EXPECT_EQ(identity->defaultKeychain(), nullptr);
    EXPECT_TRUE(keychain.dataForKey(Identity::kOlderKeychainKey).has_value());
}

TEST_F(UserDefaultsController, ADamagedKeychainStillLetsTheFirstStartComplete) {
    const std::string path = platform::Keychain::shared().filePath();
    auto& files = platform::FileManager::defaultManager();
    // A damaged item file is read around, and a folder in its place moved aside: the keychain works.
    ASSERT_TRUE(files.createDirectory(path).ok());
    auto identity = launch();
    EXPECT_TRUE(platform::UserDefaults::standard().boolean(Identity::kNotFirstStartKey));
    auto lines = logLines();
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("PULSEKeychain failed to ", 0) == 0;
    }));
    EXPECT_TRUE(files.isDirectory(path + ".damaged"));
}

TEST_F(UserDefaultsController, ASecondLaunchGetsEverythingBackAndWritesNothing) {
    auto first = launch();
    first->setUid(12345678901234567890ull, "secret", "reg-1");
    first->setUploadedDeviceToken("tok");
    first->setDefaultConAddress("10.0.0.1:7000");
    first->setBackupUdpReportAddress("10.0.0.2:9001");
    first->setBackupHttpReportAddress("10.0.0.3:80");
    first->setBackupUserReportAddress("10.0.0.4:80");
    const std::string deviceId = first->sharedUdid();
    first.reset();

    WriteWatch cacheWatch(cachePath()), documentWatch(documentPath());
    auto second = launch();
    EXPECT_FALSE(cacheWatch.written());
    EXPECT_FALSE(documentWatch.written());
    EXPECT_FALSE(second->isFirstStart());
    EXPECT_EQ(second->uid(), 12345678901234567890ull);
    EXPECT_TRUE(second->isAppRegisted());
    EXPECT_EQ(second->password(), std::optional<std::string>("secret"));
    EXPECT_EQ(second->registrationID(), std::optional<std::string>("reg-1"));
    EXPECT_EQ(second->sharedUdid(), deviceId);
    EXPECT_EQ(second->infoDictionary()[Identity::kUploadedDeviceTokenKey], ArchiveValue("tok"));
    EXPECT_EQ(second->defaultConAddress(), "10.0.0.1:7000");
    EXPECT_EQ(second->backupUdpReportAddress(), "10.0.0.2:9001");
    EXPECT_EQ(second->backupHttpReportAddress(), std::optional<std::string>("10.0.0.3:80"));
    EXPECT_EQ(second->backupUserReportAddress(), std::optional<std::string>("10.0.0.4:80"));
    EXPECT_EQ(m_verifiedPosts, 1);
}

TEST_F(UserDefaultsController, UidAndPasswordAreStoredEncipheredAsRawBytes) {
    auto identity = launch();
    identity->setUid(42, "pw", "r");
    const ArchiveValue storedUid = cache()->objectForKey(Identity::kUIDKey);
    const ArchiveValue storedPassword = cache()->objectForKey(Identity::kPasswordKey);
    const Bytes* uid = storedUid.getBytes();
    const Bytes* password = storedPassword.getBytes();
    ASSERT_TRUE(uid && password);
    EXPECT_EQ(PULSEAES::decrypt(*uid, Identity::kUIDKeyString), std::optional<std::string>("42"));
    EXPECT_EQ(PULSEAES::decrypt(*password, Identity::kPasswordKeyString), std::optional<std::string>("pw"));
    EXPECT_EQ(cache()->objectForKey(Identity::kRegistrationIdKey), ArchiveValue("r"));
}

TEST_F(UserDefaultsController, AnotherAppKeyDropsTheRegistrationDeviceIdAndAddresses) {
    auto first = launch();
    first->setUid(7, "pw", "reg");
    first->setDefaultConAddress("10.0.0.1:7000");
    const std::string deviceId = first->sharedUdid();
    first.reset();

    auto other = launch("ffffffffffffffffffffffff");
    EXPECT_EQ(other->uid(), 0u);
    EXPECT_FALSE(other->password().has_value());
    EXPECT_FALSE(other->registrationID().has_value());
    EXPECT_NE(other->sharedUdid(), deviceId);
    // The new device id was the first write: the stored addresses went with it.
    EXPECT_FALSE(document()->hasObjectForKey(Identity::kDefaultConnectionAddressKey));
    EXPECT_FALSE(cache()->hasObjectForKey(Identity::kUIDKey));
    EXPECT_EQ(cache()->objectForKey(Identity::kAppKey), ArchiveValue("ffffffffffffffffffffffff"));
    EXPECT_EQ(other->defaultConAddress(), builtInConnectAddress());
}

TEST_F(UserDefaultsController, RecordingTheHeldRegistrationWritesNothing) {
    auto identity = launch();
    identity->setUid(9, "pw", "reg");
    {
        WriteWatch watch(documentPath());
        identity->setUid(9, "pw", "reg");
        EXPECT_FALSE(watch.written());
        identity->setUid(9, std::nullopt, std::nullopt);
        EXPECT_TRUE(watch.written());
    }
    {
        WriteWatch watch(documentPath());
        identity->setUid(9, std::nullopt, "ignored while both passwords are null");
        EXPECT_FALSE(watch.written());
    }
    identity->setUid(9, "pw", "reg");
    WriteWatch watch(documentPath());
    identity->setUid(9, "pw", "reg-2");
    EXPECT_TRUE(watch.written());
    EXPECT_EQ(identity->registrationID(), std::optional<std::string>("reg-2"));
}

TEST_F(UserDefaultsController, BuiltInAddressesStandInForEmptyOnes) {
    auto identity = launch();
    identity->setDefaultConAddress("");
    const auto endpoints = PULSEEndpoints::shared();
    EXPECT_EQ(identity->defaultConAddress(),
              endpoints.defaultConnectAddress.host + ":" + std::to_string(endpoints.defaultConnectAddress.port));
    EXPECT_EQ(endpoints.defaultConnectAddress.port, 7000);
    EXPECT_EQ(identity->backupUdpReportAddress(), endpoints.defaultReportAddress.host + ":9001");
    EXPECT_FALSE(identity->backupHttpReportAddress().has_value());
    identity->setDefaultConAddress(ArchiveValue());
    EXPECT_FALSE(identity->infoDictionary().contains(Identity::kDefaultConnectionAddressKey));
}

TEST_F(UserDefaultsController, AStoredUidOfZeroIsNotRegistered) {
    auto identity = launch();
    identity->setUid(0, "pw", "reg");
    identity = launch();
    EXPECT_EQ(identity->uid(), 0u);
    EXPECT_FALSE(identity->isAppRegisted());
    EXPECT_EQ(identity->password(), std::optional<std::string>("pw"));
}

TEST_F(UserDefaultsController, StoredValuesOfTheWrongTypeCountAsAbsent) {
    auto identity = launch();
    identity->setUid(5, "pw", "reg");
    const std::string deviceId = identity->sharedUdid();
    identity.reset();

    // Uid bytes under another key, a password as text, a registration id as a number.
    cache()->setObject(*PULSEAES::encrypt("5", "ANOTHER_KEY_STRING_OF_32_BYTES__"), Identity::kUIDKey);
    cache()->setObject("not bytes", Identity::kPasswordKey);
    cache()->setObject(17, Identity::kRegistrationIdKey);
    document()->setObject(3, Identity::kDefaultConnectionAddressKey);
    identity = launch();
    EXPECT_EQ(identity->uid(), 0u);
    EXPECT_FALSE(identity->password().has_value());
    EXPECT_FALSE(identity->registrationID().has_value());
    EXPECT_EQ(identity->sharedUdid(), deviceId);
    EXPECT_EQ(identity->defaultConAddress(), builtInConnectAddress());

    // Uid bytes that decipher to something that is not a number.
    cache()->setObject(*PULSEAES::encrypt("12x", Identity::kUIDKeyString), Identity::kUIDKey);
    identity = launch();
    EXPECT_EQ(identity->uid(), 0u);

    // An app key that is not text reads as another installation.
    cache()->setObject(1, Identity::kAppKey);
    identity = launch();
    EXPECT_NE(identity->sharedUdid(), deviceId);
}

TEST_F(UserDefaultsController, TheUploadedTokenIsStoredWhenItChanges) {
    auto identity = launch();
    identity->setUploadedDeviceToken("a");
    EXPECT_EQ(cache()->objectForKey(Identity::kUploadedDeviceTokenKey), ArchiveValue("a"));
    WriteWatch watch(cachePath());
    identity->setUploadedDeviceToken("a");
    EXPECT_FALSE(watch.written());
    identity->setUploadedDeviceToken(std::nullopt);
    EXPECT_FALSE(cache()->hasObjectForKey(Identity::kUploadedDeviceTokenKey));
}

TEST_F(UserDefaultsController, TheLastSucceededAddressIsNeverStored) {
    auto identity = launch();
    identity->setLastSucceedConnectionAddress("10.1.1.1:7000");
    EXPECT_EQ(identity->lastSucceedConnectionAddress(), ArchiveValue("10.1.1.1:7000"));
    EXPECT_FALSE(document()->hasObjectForKey(Identity::kLastSucceedConnectionAddressKey));
    identity = launch();
    EXPECT_TRUE(identity->lastSucceedConnectionAddress().isNull());
}

TEST_F(UserDefaultsController, SynchronizingTargetsAndFailures) {
    auto identity = launch();
    EXPECT_TRUE(identity->synchronize());
    EXPECT_FALSE(identity->synchronizeTarget(3));
    // The caches folder taken by a file (the cache store's folder cannot be made in it): its saves fail,
    // the document's do not.
    const std::string caches = platform::deletingLastPathComponent(platform::deletingLastPathComponent(cachePath()));
    ASSERT_TRUE(platform::FileManager::defaultManager().removeItem(caches).ok());
    ASSERT_TRUE(platform::FileManager::defaultManager().createFile(caches, {'x'}).ok());
    EXPECT_FALSE(identity->synchronizeTarget(0));
    EXPECT_TRUE(logged("Save UserDefault Cache Data Failed"));
    EXPECT_TRUE(identity->synchronizeTarget(1));
    EXPECT_FALSE(identity->synchronize());
}

// The values of a synchronisation go into each store together: a store is saved when they changed it or
// when it is the one asked for, never once per key.
TEST_F(UserDefaultsController, ASynchronisationSavesWhatChangedAndWhatWasAskedFor) {
    auto identity = launch();
    identity->setUid(9, "pw", "reg");
    {
        WriteWatch cacheWatch(cachePath()), documentWatch(documentPath());
        EXPECT_TRUE(identity->synchronizeTarget(0));
        EXPECT_TRUE(cacheWatch.written());
        EXPECT_FALSE(documentWatch.written()); // not asked for, nothing changed there
    }
    {
        // An address is a document value: the cache store keeps its file.
        WriteWatch cacheWatch(cachePath()), documentWatch(documentPath());
        identity->setDefaultConAddress("10.0.0.9:7000");
        EXPECT_TRUE(documentWatch.written());
        EXPECT_FALSE(cacheWatch.written());
    }
    {
        // A new uid is a cache value: that store is saved although the document store was asked for.
        WriteWatch cacheWatch(cachePath()), documentWatch(documentPath());
        identity->setUid(10, "pw", "reg");
        EXPECT_TRUE(cacheWatch.written());
        EXPECT_TRUE(documentWatch.written());
    }
    identity = launch();
    EXPECT_EQ(identity->uid(), 10u);
    EXPECT_EQ(identity->defaultConAddress(), "10.0.0.9:7000");
}

TEST_F(UserDefaultsController, StoresThatWereNotStartedReadAsEmpty) {
    Store::resetForTesting();
    Identity identity(kBundle, kAppKey);
    EXPECT_EQ(identity.uid(), 0u);
    EXPECT_EQ(identity.sharedUdid().size(), 24u);
    EXPECT_TRUE(logged("初始化FileCache前使用FileCache"));
    EXPECT_TRUE(logged("Save UserDefault Documetn Data Failed"));
    EXPECT_FALSE(identity.synchronizeTarget(0));
}

TEST_F(UserDefaultsController, ClearingTheCachesKeepsTheValuesInMemory) {
    auto identity = launch();
    identity->setUid(3, "pw", "reg");
    identity->clearAllCache();
    EXPECT_TRUE(cache()->cacheObject().empty());
    EXPECT_TRUE(document()->cacheObject().empty());
    EXPECT_EQ(identity->uid(), 3u);
    EXPECT_TRUE(identity->synchronize());
    EXPECT_TRUE(cache()->hasObjectForKey(Identity::kUIDKey));
}
