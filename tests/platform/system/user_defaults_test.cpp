#include "platform/system/UserDefaults.h"
#include "platform/files/FileManager.h"
#include "platform/files/StorePlace.h"
#include "platform/formats/PropertyList.h"

#include "support/SelfProcess.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

using namespace platform;

namespace {

class UserDefaultsTest : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        m_home.writeBundleFile("Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>org.test.defaults</string></dict></plist>)");
    }
    std::string plistPath() const { return m_home.folders().preferences() + "/org.test.defaults.plist"; }
};

TEST_F(UserDefaultsTest, StandardDefaultsLiveInThePreferencesPlistAndSurviveAReload) {
    UserDefaults& defaults = UserDefaults::standard();
    EXPECT_EQ(defaults.path(), plistPath());
    ASSERT_TRUE(defaults.set("HYBUUID", "1234-ABCD"));
    ASSERT_TRUE(defaults.set("WebKitStoreWebDataForBackup", true));
    ASSERT_TRUE(defaults.set("version_count", 3));
    ASSERT_TRUE(defaults.set("my_versions", Array{"1.0", "1.1"}));
    // Dates keep their fraction of a second (to the microsecond and below), before 2001 and 1970 too,
    // through the rewrites of later changes.
    const std::vector<double> dates{1733791234.123456, 978307199.999999, 946684800.000001, -100000.25, 1733791234.1234567};
    for (std::size_t i = 0; i < dates.size(); ++i)
        ASSERT_TRUE(defaults.set("date" + std::to_string(i), Date{dates[i]}));
    ASSERT_TRUE(defaults.set("after the dates", 1));
    ASSERT_TRUE(defaults.synchronize());

    UserDefaults reloaded(plistPath());
    EXPECT_EQ(reloaded.string("HYBUUID"), "1234-ABCD");
    EXPECT_TRUE(reloaded.boolean("WebKitStoreWebDataForBackup"));
    EXPECT_EQ(reloaded.integer("version_count"), 3);
    EXPECT_EQ(reloaded.stringArray("my_versions"), (std::vector<std::string>{"1.0", "1.1"}));
    EXPECT_EQ(reloaded.string("missing"), std::nullopt);
    EXPECT_EQ(reloaded.integer("missing"), 0);
    for (std::size_t i = 0; i < dates.size(); ++i) {
        const Value date = reloaded.object("date" + std::to_string(i));
        ASSERT_TRUE(date.isDate()) << i;
        EXPECT_EQ(date.getDate()->secondsSince1970, dates[i]) << std::fixed << dates[i];
    }
    auto onDisk = PropertyList::readFile(plistPath());
    ASSERT_TRUE(onDisk);
    EXPECT_EQ((*onDisk)["version_count"], Value(3));
}

TEST_F(UserDefaultsTest, RegistrationDomainIsVolatileAndBehindPersistentValues) {
    UserDefaults& defaults = UserDefaults::standard();
    defaults.registerDefaults(Dictionary{{"UserAgent", "Agent/1"}, {"uuid", "registered"}});
    EXPECT_EQ(defaults.string("UserAgent"), "Agent/1");
    ASSERT_TRUE(defaults.set("uuid", "stored"));
    EXPECT_EQ(defaults.string("uuid"), "stored");
    ASSERT_TRUE(defaults.remove("uuid"));
    EXPECT_EQ(defaults.string("uuid"), "registered");
    UserDefaults reloaded(plistPath());
    EXPECT_EQ(reloaded.string("UserAgent"), std::nullopt); // never written
}

TEST_F(UserDefaultsTest, DirectEditsOfTheFileAreSeenAndBadValuesLoseNothing) {
    UserDefaults& defaults = UserDefaults::standard();
    ASSERT_TRUE(defaults.set("zmdeploy_version_label", "old"));
    // Someone edits the preferences file directly.
    ASSERT_TRUE(PropertyList::writeFile(Value(Dictionary{{"zmdeploy_version_label", "new"}, {"extra", 1}}),
                                        plistPath(), PropertyList::Format::Binary));
    EXPECT_EQ(defaults.string("zmdeploy_version_label"), "new");
    EXPECT_EQ(defaults.integer("extra"), 1);

    // Nor one past the values and keys a list is read back with: 300,000 integers.
    for (const Value& value : {Value(std::string("a\0b", 3)), Value(Bytes(PropertyList::kMaxFileBytes, 0)),
                               Value(Array(300000, Value(7)))}) {
        ASSERT_FALSE(defaults.set("broken", value)) << "one that would not be read back either";
        EXPECT_TRUE(defaults.object("broken").isNull());
        EXPECT_EQ(defaults.string("zmdeploy_version_label"), "new");
        ASSERT_TRUE(defaults.synchronize());
        UserDefaults reloaded(plistPath());
        EXPECT_EQ(reloaded.integer("extra"), 1);
        EXPECT_EQ(reloaded.string("zmdeploy_version_label"), "new");
    }
    ASSERT_TRUE(defaults.set("later", 2)) << "the refusal leaves later changes be";
    // One that fits alone but not beside what is stored.
    ASSERT_TRUE(defaults.set("half", Array(200000, Value(1))));
    const Status past = defaults.set("other half", Array(100000, Value(2)));
    ASSERT_FALSE(past);
    EXPECT_NE(past.error().localizedDescription().find("other half"), std::string::npos) << past.error().localizedDescription();
    EXPECT_TRUE(defaults.object("other half").isNull());
    {
        UserDefaults reloaded(plistPath());
        EXPECT_EQ(reloaded.array("half").value_or(Array{}).size(), 200000u);
        EXPECT_EQ(reloaded.integer("later"), 2);
        EXPECT_FALSE(FileManager::defaultManager().fileExists(plistPath() + ".damaged"));
    }
    ASSERT_TRUE(defaults.remove("half"));

    // A file holding what the XML form cannot carry (written in the binary form, or XML with a NaN) is kept
    // whole by the next change, and later changes go on.
    const std::string withNaN = R"(<?xml version="1.0"?><plist version="1.0"><dict><key>theirs</key><real>nan</real></dict></plist>)";
    ASSERT_TRUE(PropertyList::writeFile(Value(Dictionary{{"theirs", std::string("a\0b", 3)}, {"when", Date{3.2e11}}}), plistPath(),
                                        PropertyList::Format::Binary));
    ASSERT_TRUE(defaults.set("mine", "x"));
    ASSERT_TRUE(FileManager::defaultManager().createFile(plistPath(), Bytes(withNaN.begin(), withNaN.end())));
    ASSERT_TRUE(defaults.set("mine", "y"));
    UserDefaults reloaded(plistPath());
    EXPECT_TRUE(std::isnan(reloaded.doubleValue("theirs")));
    EXPECT_EQ(reloaded.string("mine"), "y");
}

// A binary preferences file rewritten as XML by a change keeps each date's stored seconds since 2001 to
// the last bit (random ones and a clock's), not only the instant they round to since 1970.
TEST_F(UserDefaultsTest, DatesOfABinaryFileKeepTheirStoredNumberThroughAnXMLRewrite) {
    std::mt19937_64 random(2001);
    Dictionary stored;
    std::vector<double> numbers;
    for (int i = 0; i < 2000; ++i) {
        const double number = i % 2 ? std::uniform_real_distribution<double>(-2e9, 2e9)(random)
                                    : static_cast<double>(random() % 2'000'000'000'000'000) / 1e6 - 2e8;
        numbers.push_back(number);
        stored.set("date" + std::to_string(i), Date{978307200.0 + number, number});
    }
    ASSERT_TRUE(PropertyList::writeFile(Value(stored), plistPath(), PropertyList::Format::Binary));
    UserDefaults defaults(plistPath());
    ASSERT_TRUE(defaults.set("another", 1));
    auto onDisk = PropertyList::readFile(plistPath());
    ASSERT_TRUE(onDisk);
    const auto text = FileManager::defaultManager().contentsOfFile(plistPath());
    ASSERT_TRUE(text);
    ASSERT_EQ(std::string(text->begin(), text->begin() + 5), "<?xml"); // rewritten as XML
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const Value date = (*onDisk)["date" + std::to_string(i)];
        ASSERT_TRUE(date.isDate()) << i;
        ASSERT_EQ(date.getDate()->storedSince2001, numbers[i]) << std::hexfloat << numbers[i];
    }
}

// A write killed before its rename leaves its temporary file (as large as the preferences) beside the
// file: the next process's first change removes those of writers that ended, and nothing else.
TEST_F(UserDefaultsTest, TemporaryFilesOfKilledWritersAreRemovedByTheNextChange) {
    const std::string folder = m_home.folders().preferences();
    std::filesystem::create_directories(folder);
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    const std::string name = ".org.test.defaults.plist.";
    const std::string endedWriter = folder + "/" + name + "tmp-" + std::to_string(ended) + "-aB3dE9";
    const std::string oldUnnamed = folder + "/" + name + "Qx81zz";
    const std::vector<std::string> kept{
        folder + "/" + name + "tmp-" + std::to_string(::getppid()) + "-aB3dE9",  // a writer that runs
        folder + "/" + name + "Yy71aa",                                          // unnamed, but new
        folder + "/" + name + "tmp-" + std::to_string(ended) + "-aB3dE9x",       // not such a name
        folder + "/other.plist.tmp-" + std::to_string(ended) + "-1"};
    for (const std::string& file : kept)
        std::ofstream(file) << "kept";
    std::ofstream(endedWriter) << std::string(100000, 'x');
    std::ofstream(oldUnnamed) << "x";
    const timespec hoursAgo[2] = {{::time(nullptr) - 7200, 0}, {::time(nullptr) - 7200, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, oldUnnamed.c_str(), hoursAgo, 0), 0);
    // A link of such a name goes nowhere, nor does its target.
    const std::string target = m_home.root() + "/target";
    std::ofstream(target) << "theirs";
    const std::string link = folder + "/" + name + "tmp-" + std::to_string(ended) + "-Lnk000";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

    UserDefaults defaults(plistPath());
    ASSERT_TRUE(defaults.set("k", "v"));
    EXPECT_FALSE(std::filesystem::exists(endedWriter));
    EXPECT_FALSE(std::filesystem::exists(oldUnnamed));
    for (const std::string& file : kept)
        EXPECT_TRUE(std::filesystem::exists(file)) << file;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "theirs");
    EXPECT_EQ(UserDefaults(plistPath()).string("k"), "v");
}

// A preferences file whose permissions were taken away stays unreadable: it is set aside whole, and
// changes go on. In a folder that may not be written, where it cannot be set aside, every change answers
// an error and the file is never written over. (Run as another user when this one is root.)
TEST_F(UserDefaultsTest, AFileWhosePermissionsWereTakenAwayIsSetAsideAndChangesGoOn) {
    ASSERT_TRUE(PropertyList::writeFile(Value(Dictionary{{"theirs", 1}}), plistPath(), PropertyList::Format::XML));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0) {
            // Every folder from the test's own down, and the file.
            std::vector<std::string> paths{plistPath()};
            for (std::string p = plistPath(); p.rfind('/') > 0 && p.rfind('/') != std::string::npos;) {
                p = p.substr(0, p.rfind('/'));
                if (p == "/tmp" || p == std::filesystem::temp_directory_path().string())
                    break;
                paths.push_back(p);
            }
            for (const std::string& path : paths)
                if (::chown(path.c_str(), 65534, 65534) != 0)
                    ::_exit(100);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(101);
        }
        int failed = 0;
        const std::string folder = plistPath().substr(0, plistPath().rfind('/'));
        // Where it cannot be set aside: refused with an error, the file kept as it is.
        if (::chmod(plistPath().c_str(), 0) != 0 || ::chmod(folder.c_str(), 0500) != 0)
            ::_exit(102);
        {
            UserDefaults defaults(plistPath());
            if (defaults.set("mine", 1) || defaults.synchronize())
                failed |= 1;
        }
        ::chmod(folder.c_str(), 0700);
        struct stat st {};
        if (::stat(plistPath().c_str(), &st) != 0 || (st.st_mode & 0777) != 0)
            failed |= 2;
        UserDefaults defaults(plistPath());
        if (!defaults.set("mine", 2) || UserDefaults(plistPath()).integer("mine") != 2 ||
            !std::filesystem::exists(StorePlace::asideName(plistPath())))
            failed |= 4;
        ::chmod(StorePlace::asideName(plistPath()).c_str(), 0600);
        auto aside = PropertyList::readFile(StorePlace::asideName(plistPath()));
        if (!aside || (*aside)["theirs"] != Value(1))
            failed |= 8;
        ::_exit(failed);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a change answered ok where nothing could be written, 2: the file was "
                                         "changed, 4: changes stayed refused, 8: the file aside lost something, 100-102: set-up";
}

TEST_F(UserDefaultsTest, UnreadableFileIsLoggedAndTreatedAsEmpty) {
    ASSERT_TRUE(FileManager::defaultManager().createFile(plistPath(), Bytes{'n', 'o', 't'}));
    UserDefaults defaults(plistPath());
    EXPECT_TRUE(defaults.persistentDomain().empty());
    ASSERT_TRUE(defaults.set("k", "v"));
    UserDefaults reloaded(plistPath());
    EXPECT_EQ(reloaded.string("k"), "v");
    // What it held is kept aside, whole, rather than written over.
    EXPECT_EQ(FileManager::defaultManager().contentsOfFile(plistPath() + ".damaged").valueOr({}), (Bytes{'n', 'o', 't'}));
    // Unreadable again: what was set aside before stays.
    ASSERT_TRUE(FileManager::defaultManager().createFile(plistPath(), Bytes{'b', 'a', 'd'}));
    EXPECT_TRUE(UserDefaults(plistPath()).persistentDomain().empty());
    EXPECT_EQ(FileManager::defaultManager().contentsOfFile(plistPath() + ".damaged").valueOr({}), (Bytes{'b', 'a', 'd'}));
    EXPECT_EQ(FileManager::defaultManager().contentsOfFile(plistPath() + ".damaged.1").valueOr({}), (Bytes{'n', 'o', 't'}));

    // Every aside name taken and the oldest stuck (immutable): the damaged file still goes aside, under a
    // name of its own, before anything is written.
    for (unsigned age = 0; age < StorePlace::kKeptAsides; ++age)
        ASSERT_TRUE(FileManager::defaultManager().createFile(StorePlace::asideName(plistPath(), age), Bytes{'o'}));
    const std::string oldest = StorePlace::asideName(plistPath(), StorePlace::kKeptAsides - 1);
    const auto immutable = [&](bool on) { return hybtest::setImmutable(oldest, on); };
    if (!immutable(true))
        GTEST_SKIP() << "no immutable files here";
    ASSERT_TRUE(FileManager::defaultManager().createFile(plistPath(), Bytes{'c', 'u', 't'}));
    const bool stored = UserDefaults(plistPath()).set("k", "w").ok();
    int kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_home.folders().preferences()))
        kept += FileManager::defaultManager().contentsOfFile(entry.path().string()).valueOr({}) == Bytes{'c', 'u', 't'};
    // Damaged again and again: no more lie aside than the bound and the stuck one.
    for (int again = 0; again < 3; ++again) {
        ASSERT_TRUE(FileManager::defaultManager().createFile(plistPath(), Bytes{'a', 'g', 'n'}));
        EXPECT_TRUE(UserDefaults(plistPath()).set("k", "w"));
    }
    unsigned aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_home.folders().preferences()))
        aside += StorePlace::isAsideName(entry.path().filename().string());
    EXPECT_TRUE(immutable(false));
    EXPECT_TRUE(stored);
    EXPECT_EQ(kept, 1) << "the damaged file is kept";
    EXPECT_EQ(aside, StorePlace::kKeptAsides + 1);
}

// A file there that cannot be read at the moment (here no descriptor is left, in a child process) is read
// again at the next call and never written over: a change answers the error until then, and nothing the
// file held is lost.
TEST_F(UserDefaultsTest, AFileThatCannotBeReadNowIsNeverWrittenOver) {
    {
        UserDefaults first(plistPath());
        ASSERT_TRUE(first.set("a", "1"));
        ASSERT_TRUE(first.set("b", "2"));
    }
    const int status = hybtest::runWithoutDescriptors(0, [&](const std::function<void()>& giveBack) {
        UserDefaults defaults(plistPath());
        if (defaults.string("a") || defaults.set("c", "3") || defaults.synchronize())
            return 11; // nothing read, so nothing changed
        giveBack();
        return defaults.string("a") == "1" && defaults.set("c", "3") ? 0 : 12;
    });
    EXPECT_EQ(status, 0);
    UserDefaults reloaded(plistPath());
    EXPECT_EQ(reloaded.string("a"), "1");
    EXPECT_EQ(reloaded.string("b"), "2");
    EXPECT_EQ(reloaded.string("c"), "3");
}

} // namespace

namespace {

TEST(UserDefaultsBundle, AnIdentifierThatWouldLeaveThePreferencesFolderIsNotUsed) {
    hybtest::TempHome home;
    home.writeBundleFile("Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>../../escape</string></dict></plist>)");
    EXPECT_EQ(UserDefaults::standard().path(), home.folders().preferences() + "/org.hybridhost.app.plist");
}

} // namespace
