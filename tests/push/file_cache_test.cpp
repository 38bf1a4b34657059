#include "PushTest.h"

#include "push/PULSEAES.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSEHttpSessionController.h"
#include "push/PULSELocationInfoController.h"
#include "push/PULSETagAlias.h"

#include "platform/files/FileManager.h"
#include "platform/formats/KeyedArchiver.h"
#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/UserDefaults.h"

#include "support/LogCapture.h"
#include "support/SelfProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

using namespace push;
using platform::ArchiveDictionary;
using platform::ArchiveValue;
using platform::Bytes;
using Store = PULSEFileCacheController;

namespace {

// A value that keeps itself out of the file when its cache type is 1.
class Transient : public platform::KeyedArchivable, public PULSECacheTypeProtocol {
public:
    explicit Transient(std::int64_t type) : m_type(type) {}
    std::string archiveClassName() const override { return "TestTransient"; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override { coder.encode("type", m_type); }
    std::int64_t cacheType() const override { return m_type; }
    void setCacheType(std::int64_t type) override { m_type = type; }

private:
    std::int64_t m_type;
};

class FileCache : public pushtest::PushTest {
protected:
    static std::shared_ptr<Store> startCache() { return Store::startShareInstance("PULSEJSON", 0, false); }
    static std::shared_ptr<Store> startDocument() { return Store::startShareInstance("PULSEDocument", 1, true); }
    // A restart: the process ends (the stores go) and the next one starts them again.
    static void restart() { Store::resetForTesting(); }

    std::string cachePath() const { return m_home.folders().caches() + "/Pulse/PULSEJSON"; }
    std::string documentPath() const { return m_home.folders().documents() + "/PulseDocument/PULSEDocument"; }

    static Bytes read(const std::string& path) { return platform::FileManager::defaultManager().contentsOfFile(path).valueOr({}); }
    static void write(const std::string& path, const Bytes& bytes) {
        auto& files = platform::FileManager::defaultManager();
        ASSERT_TRUE(files.createDirectory(platform::deletingLastPathComponent(path)).ok());
        ASSERT_TRUE(files.writeAtomically(path, bytes).ok());
    }
    static void write(const std::string& path, const std::string& text) { write(path, Bytes(text.begin(), text.end())); }
    static Bytes archive(const ArchiveValue& value) { return platform::KeyedArchiver::archivedData(value).value(); }
    static Bytes encipher(const Bytes& bytes, const char* key = Store::kCacheKeyString) {
        return *PULSEAES::AES256EncryptData(bytes, key);
    }
    static bool fileExists(const std::string& path) { return platform::FileManager::defaultManager().fileExists(path); }

    static void markMigrated() {
        auto& defaults = platform::UserDefaults::standard();
        ASSERT_TRUE(defaults.set(Store::kCacheVersionKey, 1).ok());
        ASSERT_TRUE(defaults.set(Store::kDocumentVersionKey, 1).ok());
        ASSERT_TRUE(defaults.set(Store::kNotFirstStartKey, true).ok());
    }

    bool logged(const std::string& line) const {
        auto lines = logLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool loggedContaining(const std::string& part) const {
        auto lines = logLines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
};

} // namespace

TEST_F(FileCache, AFreshInstallationMarksBothStoresMigratedAndStartsEmpty) {
    auto cache = startCache();
    auto document = startDocument();
    ASSERT_TRUE(cache && document);
    EXPECT_TRUE(cache->cacheObject().empty());
    EXPECT_TRUE(document->cacheObject().empty());
    auto& defaults = platform::UserDefaults::standard();
    EXPECT_EQ(defaults.integer(Store::kCacheVersionKey), 1);
    EXPECT_EQ(defaults.integer(Store::kDocumentVersionKey), 1);
    EXPECT_FALSE(fileExists(cachePath()));
    EXPECT_FALSE(fileExists(documentPath()));
    EXPECT_EQ(cache->cacheUser(), "Pulse");
    EXPECT_EQ(document->cacheUser(), "PulseDocument");
    EXPECT_EQ(cache->cachePath(), m_home.folders().caches());
    EXPECT_EQ(document->cachePath(), m_home.folders().documents());
    EXPECT_TRUE(logLines().empty());
}

TEST_F(FileCache, AValueSurvivesARestartAndARemovedOneDoesNot) {
    for (auto start : {&FileCache::startCache, &FileCache::startDocument}) {
        auto store = start();
        EXPECT_TRUE(store->setObject("kept", "a"));
        EXPECT_TRUE(store->setObject(platform::ArchiveSet{1, 2}, "b"));
        EXPECT_TRUE(store->setObject(7, "gone"));
        EXPECT_TRUE(store->removeObjectForKey("gone"));
        restart();
        store = start();
        EXPECT_EQ(store->objectForKey("a"), ArchiveValue("kept"));
        EXPECT_EQ(store->objectForKey("b"), ArchiveValue(platform::ArchiveSet{1, 2}));
        EXPECT_FALSE(store->hasObjectForKey("gone"));
        EXPECT_TRUE(store->objectForKey("gone").isNull());
        restart();
    }
}

// A write killed before its rename leaves its copy of the table beside it: the next process's first write
// removes those of ended processes, and keeps those of one that runs.
TEST_F(FileCache, CopiesLeftByAKilledWriteAreRemovedByTheNextProcesssFirstWrite) {
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    const std::string folder = platform::deletingLastPathComponent(cachePath());
    const std::string left = folder + "/.PULSEJSON.tmp-" + std::to_string(ended) + "-Ab12Cd";
    const std::string running = folder + "/.PULSEJSON.tmp-" + std::to_string(::getppid()) + "-Ab12Cd";
    write(left, std::string(100000, 'x'));
    write(running, "theirs");
    auto cache = startCache();
    ASSERT_TRUE(cache);
    EXPECT_TRUE(cache->setObject("kept", "a"));
    EXPECT_FALSE(fileExists(left));
    EXPECT_TRUE(fileExists(running));
    restart();
    EXPECT_EQ(startCache()->objectForKey("a"), ArchiveValue("kept"));
}

TEST_F(FileCache, SeveralValuesPutTogetherAreSavedOnceAndOnlyWhenTheyChangeSomething) {
    for (auto start : {&FileCache::startCache, &FileCache::startDocument}) {
        auto store = start();
        EXPECT_EQ(store->setObjects({{"a", ArchiveValue("one")}, {"b", ArchiveValue(2)}, {"c", ArchiveValue()}}), true);
        EXPECT_EQ(store->setObjects({{"a", ArchiveValue("one")}, {"b", ArchiveValue(2)}, {"c", ArchiveValue()}}), std::nullopt);
        restart();
        store = start();
        EXPECT_EQ(store->objectForKey("a"), ArchiveValue("one"));
        EXPECT_EQ(store->objectForKey("b"), ArchiveValue(2));
        // A null value removes a key that is there: a change.
        EXPECT_EQ(store->setObjects({{"a", ArchiveValue("one")}, {"b", ArchiveValue()}}), true);
        restart();
        store = start();
        EXPECT_FALSE(store->hasObjectForKey("b"));
        EXPECT_EQ(store->objectForKey("a"), ArchiveValue("one"));
        restart();
    }
    // A failed save (a file where the caches folder should be: the store's folder cannot be made in it)
    // answers false and keeps the values in memory.
    auto store = startCache();
    const std::string caches = m_home.folders().caches();
    ASSERT_TRUE(platform::FileManager::defaultManager().removeItem(caches).ok());
    ASSERT_TRUE(platform::FileManager::defaultManager().createFile(caches, {'x'}).ok());
    EXPECT_EQ(store->setObjects({{"a", ArchiveValue("two")}}), false);
    EXPECT_EQ(store->objectForKey("a"), ArchiveValue("two"));
}

TEST_F(FileCache, MemoryOnlyValuesAreNeverSavedAndNullRemovesThemToo) {
    auto store = startCache();
    auto transient = std::make_shared<Transient>(1);
    store->setObject(transient, "t");
    store->setObject(std::make_shared<Transient>(0), "p");
    EXPECT_TRUE(store->hasObjectForKey("t"));
    EXPECT_EQ(store->objectForKey("t").object(), transient);
    EXPECT_FALSE(store->cacheObject().contains("t"));
    EXPECT_TRUE(store->cacheObject().contains("p"));

    store->setObject(ArchiveValue(), "t");
    EXPECT_FALSE(store->hasObjectForKey("t"));

    store->setObject(transient, "t");
    EXPECT_TRUE(store->removeAllObjects());
    EXPECT_FALSE(store->hasObjectForKey("t"));
    EXPECT_FALSE(store->hasObjectForKey("p"));
}

TEST_F(FileCache, TheDocumentFileIsEncipheredAndTheCacheFileIsNot) {
    startCache()->setObject("plain", "k");
    startDocument()->setObject("secret", "k");
    auto plain = platform::KeyedUnarchiver::unarchive(read(cachePath()));
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(plain.value(), ArchiveValue(ArchiveDictionary{{"k", "plain"}}));

    const Bytes enciphered = read(documentPath());
    EXPECT_FALSE(platform::KeyedUnarchiver::unarchive(enciphered).ok());
    auto deciphered = PULSEAES::AES256DecryptData(enciphered, Store::kCacheKeyString);
    ASSERT_TRUE(deciphered.has_value());
    EXPECT_EQ(platform::KeyedUnarchiver::unarchive(*deciphered).value(), ArchiveValue(ArchiveDictionary{{"k", "secret"}}));
}

TEST_F(FileCache, UsingAStoreBeforeItsStartGivesNothingWithTheLine) {
    EXPECT_EQ(Store::shareInstanceWithType(1), nullptr);
    EXPECT_TRUE(logged("初始化DocumentFileCache前使用FileCache"));
    EXPECT_EQ(Store::shareInstanceWithType(0), nullptr);
    EXPECT_TRUE(logged("初始化FileCache前使用FileCache"));
    EXPECT_EQ(Store::shareInstanceWithType(2), nullptr);
    EXPECT_EQ(logLines().size(), 2u);
    EXPECT_EQ(Store::startShareInstance("x", 5, false), nullptr);
}

TEST_F(FileCache, ASecondStartKeepsTheFirstStore) {
    auto first = startCache();
    auto second = Store::startShareInstance("Other", 0, true);
    EXPECT_EQ(first, second);
    EXPECT_EQ(second->cacheName(), "PULSEJSON");
    EXPECT_FALSE(second->isAESEnable());
    second->setObject(1, "k");
    EXPECT_TRUE(fileExists(cachePath()));
    EXPECT_FALSE(fileExists(m_home.folders().caches() + "/Pulse/Other"));
    EXPECT_EQ(Store::shareInstanceWithType(0), first);
}

TEST_F(FileCache, AutomaticSynchronisingCanBeSwitchedOff) {
    auto document = startDocument();
    EXPECT_TRUE(document->isAutoSynchronizeEnabled());
    document->setAutoSynchronizeEnable(false);
    EXPECT_FALSE(document->isAutoSynchronizeEnabled());
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillTerminateNotification);
    EXPECT_FALSE(fileExists(documentPath())); // the handlers never save
}

TEST_F(FileCache, AJSONFileOfAnOlderVersionGivesItsPlainMembersAndGoes) {
    // And 60,000 members in falling order (each put in its sorted place one after another, the
    // square of them moved), one of them a dictionary of 60,000 keys in falling order too.
    std::string falling, inner;
    for (int i = 60000; i > 0; --i) {
        falling += ",\"f" + std::to_string(100000 + i) + "\": {\"hasCustomObject\": 0, \"numberObject\": " + std::to_string(i) + "}";
        inner += std::string(i == 60000 ? "" : ",") + "\"k" + std::to_string(100000 + i) + "\": " + std::to_string(i);
    }
    write(cachePath(), R"({
        "s": {"hasCustomObject": 0, "stringObject": "text"},
        "n": {"hasCustomObject": 0, "numberObject": 12},
        "d": {"hasCustomObject": 0, "dataObject": "AB"},
        "set": {"hasCustomObject": false, "setObject": ["x"]},
        "dict": {"dictionaryObject": {"a": 1}},
        "wide": {"dictionaryObject": {)" + inner + R"(}},
        "plain": "not decoded",
        "custom": {"className": "NoSuchClass"},
        "number": 5)" + falling + "}");
    ASSERT_TRUE(platform::UserDefaults::standard().set(Store::kNotFirstStartKey, true).ok());
    auto store = startCache();
    EXPECT_EQ(store->objectForKey("s"), ArchiveValue("text"));
    EXPECT_EQ(store->objectForKey("n"), ArchiveValue(12));
    EXPECT_EQ(store->objectForKey("d"), ArchiveValue(Bytes{'A', 'B'}));
    EXPECT_EQ(store->objectForKey("set"), ArchiveValue(platform::ArchiveSet{"x"}));
    EXPECT_EQ(store->objectForKey("dict"), ArchiveValue(ArchiveDictionary{{"a", 1}}));
    EXPECT_EQ(store->objectForKey("f100007"), ArchiveValue(7));
    const ArchiveValue wide = store->objectForKey("wide");
    ASSERT_TRUE(wide.isDictionary());
    EXPECT_EQ(wide.getDictionary()->size(), 60000u);
    EXPECT_EQ((*wide.getDictionary())["k159999"], ArchiveValue(59999));
    EXPECT_EQ(store->cacheObject().size(), 60006u);
    EXPECT_FALSE(fileExists(cachePath()));
    EXPECT_EQ(platform::UserDefaults::standard().integer(Store::kCacheVersionKey), 1);
}

TEST_F(FileCache, AnEncipheredJSONFileIsTakenOverToo) {
    const std::string json = R"({"k": {"hasCustomObject": 0, "stringObject": "v"}})";
    write(documentPath(), encipher(Bytes(json.begin(), json.end())));
    auto store = startDocument();
    EXPECT_EQ(store->objectForKey("k"), ArchiveValue("v"));
    EXPECT_FALSE(fileExists(documentPath()));
}

TEST_F(FileCache, AStoreFileThatIsNotJSONIsKeptAndReadWhenTheVersionMarksWereLost) {
    // The preferences were reset (or a backup restored) but the stores' files stayed.
    write(cachePath(), archive(ArchiveDictionary{{"kUIDKey", Bytes{1, 2}}}));
    write(documentPath(), encipher(archive(ArchiveDictionary{{"APDeviceId", "iPhone1"}})));
    auto cache = startCache();
    auto document = startDocument();
    EXPECT_EQ(cache->objectForKey("kUIDKey"), ArchiveValue(Bytes{1, 2}));
    EXPECT_EQ(document->objectForKey("APDeviceId"), ArchiveValue("iPhone1"));
    EXPECT_TRUE(fileExists(cachePath()));
    EXPECT_TRUE(fileExists(documentPath()));
    EXPECT_EQ(platform::UserDefaults::standard().integer(Store::kCacheVersionKey), 1);
    EXPECT_EQ(platform::UserDefaults::standard().integer(Store::kDocumentVersionKey), 1);
}

TEST_F(FileCache, TheFirstStartTakesOverTheOlderArchive) {
    const std::string older = m_home.folders().caches() + "/Pulse/PULSE";
    write(older, archive(ArchiveDictionary{{"__PULSESessionID", 41}}));
    write(cachePath(), archive(ArchiveDictionary{{"ignored", 1}}));
    auto store = startCache();
    EXPECT_EQ(store->objectForKey("__PULSESessionID"), ArchiveValue(41));
    EXPECT_FALSE(store->hasObjectForKey("ignored"));
    EXPECT_FALSE(fileExists(older));
    EXPECT_EQ(platform::UserDefaults::standard().integer(Store::kCacheVersionKey), 1);
}

TEST_F(FileCache, AnEmptyOlderArchiveIsDroppedAndTheStoreReadsOn) {
    const std::string older = m_home.folders().caches() + "/Pulse/PULSE";
    write(older, archive(ArchiveDictionary{}));
    markMigrated();
    ASSERT_TRUE(platform::UserDefaults::standard().set(Store::kNotFirstStartKey, false).ok());
    write(cachePath(), archive(ArchiveDictionary{{"k", 1}}));
    auto store = startCache();
    EXPECT_FALSE(fileExists(older));
    EXPECT_EQ(store->objectForKey("k"), ArchiveValue(1));
}

TEST_F(FileCache, DamagedFilesStartTheStoreEmptyAndAreNotWrittenAtStart) {
    markMigrated();
    const Bytes good = archive(ArchiveDictionary{{"a", "b"}, {"c", platform::ArchiveArray{1, 2}}});
    const Bytes goodEnciphered = encipher(good);
    auto check = [&](const Bytes& cacheBytes, const Bytes& documentBytes, bool expectCache, bool expectDocument) {
        write(cachePath(), cacheBytes);
        write(documentPath(), documentBytes);
        auto cache = startCache();
        auto document = startDocument();
        EXPECT_EQ(cache->hasObjectForKey("a"), expectCache);
        EXPECT_EQ(document->hasObjectForKey("a"), expectDocument);
        EXPECT_EQ(read(cachePath()), cacheBytes);
        EXPECT_EQ(read(documentPath()), documentBytes);
        restart();
    };
    check(good, goodEnciphered, true, true);
    for (std::size_t length = 0; length < good.size(); length += 7)
        check(Bytes(good.begin(), good.begin() + static_cast<long>(length)),
              Bytes(goodEnciphered.begin(), goodEnciphered.begin() + static_cast<long>(length)), false, false);
    for (std::size_t i = 0; i < goodEnciphered.size(); i += 13) {
        Bytes flipped = goodEnciphered;
        flipped[i] ^= 0x01;
        write(documentPath(), flipped);
        (void)startDocument(); // any table, no crash
        restart();
    }
    // Another key; a plain archive in the enciphered store; an archive whose root is not a dictionary.
    check(archive(platform::ArchiveArray{1}), encipher(good, "ANOTHER_KEY_STRING_OF_32_BYTES__"), false, false);
    check(good, good, true, false);
    EXPECT_TRUE(loggedContaining("root is not a dictionary"));
    EXPECT_TRUE(loggedContaining("does not decipher"));
}

// Something other than a file at a store's place (a pipe would hold the client thread at its open, a link
// to an endless device would be read until memory runs out, a folder would refuse every write), or other
// than a folder at its folder's, is moved aside, said once, and the store starts empty and saves its changes.
TEST_F(FileCache, SomethingElseAtAStoresPlaceIsMovedAsideAndTheStoreWorks) {
    markMigrated();
    struct Shape {
        const char* name;
        int (*make)(const char* path);
        mode_t kind;
        bool atFolder = false; // at the store's folder's place ("Pulse"): every write would fail
    };
    const Shape shapes[] = {
        {"pipe", [](const char* p) { return ::mkfifo(p, 0600); }, S_IFIFO},
        {"link to /dev/zero", [](const char* p) { return ::symlink("/dev/zero", p); }, S_IFLNK},
        {"folder", [](const char* p) { return ::mkdir(p, 0700); }, S_IFDIR},
        {"file at the folder", [](const char* p) { return ::close(::open(p, O_WRONLY | O_CREAT, 0600)); }, S_IFREG, true},
        {"dangling link at the folder", [](const char* p) { return ::symlink("/nowhere/at/all", p); }, S_IFLNK, true},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const std::string folder = platform::deletingLastPathComponent(cachePath());
        const std::string place = shape.atFolder ? folder : cachePath();
        (void)platform::FileManager::defaultManager().removeItem(folder);
        if (!shape.atFolder) {
            ASSERT_TRUE(platform::FileManager::defaultManager().createDirectory(folder).ok());
        }
        (void)platform::FileManager::defaultManager().removeItem(place + ".damaged");
        ASSERT_EQ(shape.make(place.c_str()), 0);
        hybtest::LogCapture log;
        auto cache = startCache();
        ASSERT_TRUE(cache);
        EXPECT_TRUE(cache->cacheObject().empty());
        EXPECT_TRUE(cache->setObject("v", "k"));
        restart();
        EXPECT_EQ(startCache()->objectForKey("k"), ArchiveValue("v"));
        restart();
        struct stat aside {};
        ASSERT_EQ(::lstat((place + ".damaged").c_str(), &aside), 0);
        EXPECT_EQ(aside.st_mode & S_IFMT, shape.kind);
        EXPECT_TRUE(log.contains("moved aside"));
        ASSERT_TRUE(platform::FileManager::defaultManager().removeItem(cachePath()).ok());
        (void)platform::FileManager::defaultManager().removeItem(place + ".damaged");
    }
}

// A file there that cannot be read at the start (here no descriptor is left, in a child process) is never
// written over: the next write reads it first, and what was set meanwhile is laid over what it held.
TEST_F(FileCache, AFileThatCannotBeReadAtTheStartIsNeverWrittenOver) {
    markMigrated();
    ASSERT_TRUE(startCache()->setObject("kept", "k"));
    restart();
    const int status = hybtest::runWithoutDescriptors(0, [&](const std::function<void()>& giveBack) {
        auto cache = startCache();
        if (!cache || cache->hasObjectForKey("k") || cache->setObject("set meanwhile", "m"))
            return 11; // nothing read, and nothing written over it
        giveBack();
        return cache->setObject("set after", "a") && cache->objectForKey("k") == ArchiveValue("kept") ? 0 : 12;
    });
    EXPECT_EQ(status, 0);
    auto cache = startCache();
    EXPECT_EQ(cache->objectForKey("k"), ArchiveValue("kept"));
    EXPECT_EQ(cache->objectForKey("m"), ArchiveValue("set meanwhile"));
    EXPECT_EQ(cache->objectForKey("a"), ArchiveValue("set after"));
}

TEST_F(FileCache, AnUnknownClassReadsAsAbsentAndTheOtherKeysStay) {
    class Gone : public platform::KeyedArchivable {
    public:
        std::string archiveClassName() const override { return "TestGoneClass"; }
        void encodeWithCoder(platform::KeyedArchiver&) const override {}
    };
    markMigrated();
    write(cachePath(), archive(ArchiveDictionary{{"gone", std::make_shared<Gone>()}, {"uid", 5}}));
    auto store = startCache();
    EXPECT_EQ(store->objectForKey("uid"), ArchiveValue(5));
    EXPECT_TRUE(store->objectForKey("gone").isNull());
    EXPECT_TRUE(loggedContaining("unknown class TestGoneClass"));
}

// The client's own objects that the last run stored (the location log in the cache store, a failed tags
// request in the document store) read back as themselves at the next start: their classes are known
// before the first store reads its file, whatever started first.
TEST_F(FileCache, TheClientsOwnObjectsReadBackAtTheNextStart) {
    markMigrated();
    auto log = std::make_shared<PULSELocationInfoController>();
    log->addWifiInfo(platform::Value(platform::Dictionary{{"ssid", "home"}}));
    auto tags = std::make_shared<PULSESetTagAlias>();
    write(cachePath(), archive(ArchiveDictionary{{PULSEHttpSessionController::kLocationLogKey, ArchiveValue(log)}}));
    write(documentPath(), encipher(archive(ArchiveDictionary{{PULSETagAlias::kFailedTagAliasKey, ArchiveValue(tags)}})));
    // As in a new process, where nothing has registered them yet.
    for (const char* name : {PULSELocationInfoController::kClassName, "PULSESetTagAlias"})
        platform::KeyedArchivableRegistry::shared().unregisterClass(name);

    auto cache = startCache();
    auto document = startDocument();
    const auto readLog = cache->objectForKey(PULSEHttpSessionController::kLocationLogKey).objectOfClass<PULSELocationInfoController>();
    ASSERT_NE(readLog, nullptr);
    EXPECT_EQ(readLog->wifiInfo(), log->wifiInfo());
    EXPECT_NE(document->objectForKey(PULSETagAlias::kFailedTagAliasKey).objectOfClass<PULSESetTagAlias>(), nullptr);
    EXPECT_FALSE(loggedContaining("unknown class"));
}

TEST_F(FileCache, AFailedWriteKeepsTheChangeInMemory) {
    auto store = startCache();
    // A table whose file would be larger than a start reads is not written: the file stays as it was.
    ASSERT_TRUE(store->setObject("kept", "a"));
    EXPECT_FALSE(store->setObject(Bytes(Store::kMaxFileSize, 0), "large"));
    EXPECT_TRUE(store->removeObjectForKey("large"));
    restart();
    store = startCache();
    EXPECT_EQ(store->objectForKey("a"), ArchiveValue("kept"));
    // A file where the caches folder should be: the store's folder cannot be made in it.
    const std::string caches = m_home.folders().caches();
    (void)platform::FileManager::defaultManager().removeItem(caches);
    ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(caches, Bytes{'x'}).ok());
    EXPECT_FALSE(store->setObject("v", "k"));
    EXPECT_EQ(store->objectForKey("k"), ArchiveValue("v"));
    EXPECT_FALSE(store->synchronize());
}

TEST_F(FileCache, TheDescriptionShowsThePersistedTable) {
    auto store = startCache();
    store->setObject("v", "k");
    EXPECT_EQ(store->description().rfind("cache Content:", 0), 0u);
    EXPECT_NE(store->description().find("k"), std::string::npos);
}

TEST_F(FileCache, DecodeCacheObjectTakesOnlyDictionaries) {
    EXPECT_TRUE(Store::decodeCacheObject(platform::Value("x")).isNull());
    EXPECT_EQ(Store::decodeCacheObject(platform::Value(platform::Dictionary{{"numberObject", 3}})), ArchiveValue(3));
}
