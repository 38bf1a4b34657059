// The Keychain service: round trips under the bundle's service name, the store's rules (same value,
// unreadable items), the exact error texts, bad arguments and damaged keychain files.
#include "PluginFixture.h"

#include "platform/system/Keychain.h"
#include "plugins/HYBKeychain.h"
#include "plugins/HYBKeychainUtils.h"
#include "support/LogCapture.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using pluginstest::PluginTest;
using runtime::HYBCommandStatus;

constexpr const char* kService = "org.example.keychain";

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string description(long long code) { return plugins::HYBKeychainUtils::error(code).localizedDescription(); }

class KeychainTest : public PluginTest<plugins::HYBKeychain> {
protected:
    KeychainTest() { writeConfig(std::string("<key>SERVICE_NAME</key><string>") + kService + "</string>"); }

    void writeConfig(const std::string& entries) {
        m_home.writeBundleFile("config.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + entries + "</dict></plist>");
    }
    // Runs one action and returns its only answer.
    pluginstest::Answer ask(const std::string& action, platform::Array arguments) {
        const std::size_t before = answers().size();
        call(action, std::move(arguments));
        EXPECT_TRUE(waitForAnswers(before + 1)) << action;
        EXPECT_EQ(answers().size(), before + 1) << action;
        return answers().size() == before + 1 ? answers().back() : pluginstest::Answer{};
    }
    void expectError(const pluginstest::Answer& answer, const std::string& message) {
        EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
        EXPECT_EQ(answer.message(), platform::Value(message));
    }
    // The item of a key as the keychain keeps it.
    platform::Dictionary item(const std::string& key) {
        platform::Value found;
        platform::Keychain::shared().copyMatching(
            platform::Dictionary{{platform::kSecClass, platform::kSecClassGenericPassword}, {platform::kSecAttrAccount, key},
                                 {platform::kSecAttrSynchronizable, platform::kSecAttrSynchronizableAny},
                                 {platform::kSecReturnAttributes, true}, {platform::kSecReturnData, true}},
            &found);
        return found.dictionaryOrEmpty();
    }

    hybtest::LogCapture m_logged;
};

TEST_F(KeychainTest, AValueIsSetReadAndRemovedAsASynchronizableItemOfTheService) {
    EXPECT_EQ(ask("setForKey", {"token", "s3cr\u00e9t"}).status(), HYBCommandStatus::Ok);
    const platform::Dictionary stored = item("token");
    EXPECT_EQ(stored[platform::kSecAttrService], platform::Value(kService));
    EXPECT_EQ(stored[platform::kSecAttrLabel], platform::Value(kService));
    EXPECT_EQ(stored[platform::kSecAttrSynchronizable], platform::Value(true));
    EXPECT_TRUE(m_logged.contains("save keychain status: 0"));

    pluginstest::Answer read = ask("getForKey", {"token"});
    EXPECT_EQ(read.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(read.message(), platform::Value("s3cr\u00e9t"));
    EXPECT_EQ(read.callbackId, "cb");

    EXPECT_EQ(ask("setForKey", {"token", "changed"}).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(ask("getForKey", {"token"}).message(), platform::Value("changed"));

    pluginstest::Answer removed = ask("removeForKey", {"token"});
    EXPECT_EQ(removed.status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(removed.message().isNull());
    EXPECT_TRUE(item("token").empty());
}

TEST_F(KeychainTest, TheSameValueAgainWritesNothing) {
    ASSERT_EQ(ask("setForKey", {"key", "value"}).status(), HYBCommandStatus::Ok);
    const std::string before = fileText(platform::Keychain::shared().filePath());
    m_logged.clear();
    pluginstest::Answer again = ask("setForKey", {"key", "value"});
    EXPECT_EQ(again.status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(again.message().isNull());
    EXPECT_EQ(m_logged.lines(), std::vector<std::string>{"save keychain status: 0"});
    EXPECT_EQ(fileText(platform::Keychain::shared().filePath()), before);
}

TEST_F(KeychainTest, AnItemWhoseValueCannotBeReadIsReplaced) {
    for (const platform::Value& data : {platform::Value(), platform::Value(platform::Bytes{0xff, 0xfe, 0x00})}) {
        platform::Dictionary broken{{platform::kSecClass, platform::kSecClassGenericPassword}, {platform::kSecAttrAccount, "key"},
                                    {platform::kSecAttrService, kService}, {platform::kSecAttrSynchronizable, true}};
        if (!data.isNull())
            broken.set(platform::kSecValueData, data);
        ASSERT_EQ(platform::Keychain::shared().add(broken), platform::errSecSuccess);

        expectError(ask("getForKey", {"key"}), "error retrieving value for key 'key' : " + description(-1999));
        EXPECT_EQ(ask("setForKey", {"key", "fresh"}).status(), HYBCommandStatus::Ok);
        EXPECT_EQ(ask("getForKey", {"key"}).message(), platform::Value("fresh"));
        EXPECT_EQ(item("key")[platform::kSecAttrLabel], platform::Value(kService));
        ASSERT_EQ(ask("removeForKey", {"key"}).status(), HYBCommandStatus::Ok);
    }
}

TEST_F(KeychainTest, AKeyWithoutAnItemGivesTheExactMessages) {
    expectError(ask("getForKey", {"absent"}), "error retrieving value for key 'absent' : (null)");
    expectError(ask("removeForKey", {"absent"}), description(platform::errSecItemNotFound));
    EXPECT_EQ(description(platform::errSecItemNotFound), "The operation couldn't be completed. (HYBKeychainUtilsErrorDomain error -25300.)");
}

TEST_F(KeychainTest, TooFewArgumentsAndArgumentsThatAreNoStrings) {
    expectError(ask("getForKey", {}), "incorrect number of arguments for getForkey");
    expectError(ask("setForKey", {"key"}), "incorrect number of arguments for setForKey");
    expectError(ask("removeForKey", {}), "incorrect number of arguments for removeForKey");

    expectError(ask("setForKey", {"key", 42}), description(-2000));
    expectError(ask("setForKey", {platform::Value(), "value"}), description(-2000));
    expectError(ask("setForKey", {platform::Dictionary{{"a", 1}}, "value"}), description(-2000));
    expectError(ask("getForKey", {7}), "error retrieving value for key '7' : " + description(-2000));
    expectError(ask("removeForKey", {platform::Array{}}), description(0));
    EXPECT_FALSE(std::filesystem::exists(platform::Keychain::shared().filePath()));
}

TEST_F(KeychainTest, WithoutAServiceNameEveryActionFailsAsMissingArguments) {
    for (const std::string& entries : {std::string("<key>OTHER</key><string>x</string>"), std::string("<key>SERVICE_NAME</key><integer>5</integer>")}) {
        writeConfig(entries);
        expectError(ask("setForKey", {"key", "value"}), description(-2000));
        expectError(ask("getForKey", {"key"}), "error retrieving value for key 'key' : " + description(-2000));
        expectError(ask("removeForKey", {"key"}), description(0));
    }
    std::filesystem::remove(m_home.folders().bundle() + "/config.plist");
    EXPECT_FALSE(plugins::HYBKeychain::serviceName());
    expectError(ask("setForKey", {"key", "value"}), description(-2000));
    // A config file too large to be the application's is not read.
    writeConfig(std::string("<key>SERVICE_NAME</key><string>") + kService + "</string><key>PAD</key><string>" +
                std::string(plugins::HYBKeychain::kMaxConfigBytes, 'x') + "</string>");
    EXPECT_FALSE(plugins::HYBKeychain::serviceName());
}

// Damage a crash or a full disk can leave in the keychain's files never locks the page out: its values
// stand as far as the files keep them, and the next change copies the damaged file aside.
TEST_F(KeychainTest, ADamagedKeychainFileOrChangeLogDoesNotLockThePageOut) {
    const std::string path = platform::Keychain::shared().filePath();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << "not a property list";
    expectError(ask("getForKey", {"key"}), "error retrieving value for key 'key' : (null)");
    EXPECT_EQ(ask("setForKey", {"key", "value"}).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(fileText(path + ".damaged"), "not a property list");
    EXPECT_EQ(ask("setForKey", {"other", "kept"}).status(), HYBCommandStatus::Ok); // into the change log
    EXPECT_EQ(ask("setForKey", {"key", "changed"}).status(), HYBCommandStatus::Ok);

    // The log's last change cut short and garbage after it.
    const std::string journal = path + ".journal";
    const std::string log = fileText(journal);
    std::ofstream(journal, std::ios::binary | std::ios::trunc) << log.substr(0, log.size() - 3) << "\xff\xfe";
    EXPECT_EQ(ask("getForKey", {"key"}).message(), platform::Value("value"));
    EXPECT_EQ(ask("getForKey", {"other"}).message(), platform::Value("kept"));
    EXPECT_EQ(ask("setForKey", {"key", "again"}).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(ask("getForKey", {"key"}).message(), platform::Value("again"));
    EXPECT_TRUE(std::filesystem::exists(journal + ".damaged"));
    EXPECT_TRUE(m_logged.contains("Keychain: the change log " + journal + " holds "));
    EXPECT_TRUE(m_logged.contains(" bytes of damaged or cut-short changes; the whole changes around them are kept"));
    EXPECT_EQ(ask("removeForKey", {"other"}).status(), HYBCommandStatus::Ok);
}

TEST_F(KeychainTest, TheWorkRunsInTheBackgroundAndAnswersEachCallback) {
    m_log->backgroundRunsOnQueue = true;
    call("setForKey", {"a", "1"}, "set-a");
    call("setForKey", {"b", "2"}, "set-b");
    ASSERT_TRUE(waitForAnswers(2));
    call("getForKey", {"a"}, "get-a");
    call("getForKey", {"b"}, "get-b");
    ASSERT_TRUE(waitForAnswers(4));
    for (const pluginstest::Answer& answer : answers()) {
        EXPECT_FALSE(answer.onMainThread);
        EXPECT_EQ(answer.status(), HYBCommandStatus::Ok);
        if (answer.callbackId == "get-a") {
            EXPECT_EQ(answer.message(), platform::Value("1"));
        } else if (answer.callbackId == "get-b") {
            EXPECT_EQ(answer.message(), platform::Value("2"));
        }
    }
}

int threadCount() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), std::filesystem::directory_iterator()));
}

TEST_F(KeychainTest, ManyCallsAtOnceTakeOneThreadAndAnswerInOrder) {
    const std::string value(512 * 1024, 'v');
    ASSERT_EQ(ask("setForKey", {"big", value}).status(), HYBCommandStatus::Ok);
    m_log->backgroundRunsOnQueue = true;  // as the runtime runs background work
    const int before = threadCount();
    const std::size_t start = answers().size();
    constexpr int kCalls = 64;
    for (int i = 0; i < kCalls; ++i)
        call("getForKey", {"big"}, "get-" + std::to_string(i));
    ASSERT_TRUE(waitForAnswers(start + kCalls));
    EXPECT_LE(threadCount(), before + 1) << "the calls waited for one worker, none took a thread of its own";
    for (int i = 0; i < kCalls; ++i) {
        const pluginstest::Answer& answer = answers()[start + static_cast<std::size_t>(i)];
        EXPECT_EQ(answer.callbackId, "get-" + std::to_string(i));
        EXPECT_EQ(answer.status(), HYBCommandStatus::Ok);
        EXPECT_EQ(answer.message().getString() ? answer.message().getString()->size() : 0u, value.size());
    }
}

TEST_F(KeychainTest, AValueTooLargeOrAFullKeychainIsAClearError) {
    const std::size_t largest = platform::Keychain::kMaxDataLength;
    const pluginstest::Answer tooLarge = ask("setForKey", {"big", std::string(largest + 1, 'x')});
    EXPECT_EQ(tooLarge.status(), HYBCommandStatus::Error);
    EXPECT_EQ(tooLarge.message(), platform::Value("The value is too large for the keychain: a value holds at most " +
                                                  std::to_string(largest) + " bytes."));
    EXPECT_FALSE(std::filesystem::exists(platform::Keychain::shared().filePath())) << "refused before the keychain was read";
    // A value of exactly that length is stored, and read back whole.
    EXPECT_EQ(ask("setForKey", {"largest", std::string(largest, 'l')}).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(ask("getForKey", {"largest"}).message(), platform::Value(std::string(largest, 'l')));
    EXPECT_EQ(ask("removeForKey", {"largest"}).status(), HYBCommandStatus::Ok);
    // A key so long that the item passes the keychain's bound: the message names the item's.
    const pluginstest::Answer longKey = ask("setForKey", {std::string(100 * 1024, 'k'), std::string(largest, 'l')});
    EXPECT_EQ(longKey.message(), platform::Value("The item is too large for the keychain: its key, service name and value take at most " +
                                                 std::to_string(platform::Keychain::kMaxItemLength) +
                                                 " bytes with the keychain's own attributes."));

    const std::string half(largest / 2, 'h');
    int stored = 0;
    pluginstest::Answer answer;
    while ((answer = ask("setForKey", {"k" + std::to_string(stored), half})).status() == HYBCommandStatus::Ok)
        ++stored;
    EXPECT_EQ(stored, static_cast<int>(platform::Keychain::kMaxTotalLength / (largest / 2)) - 1);
    EXPECT_EQ(answer.message(), platform::Value("The keychain is full: its items hold at most " +
                                                std::to_string(platform::Keychain::kMaxTotalLength) + " bytes in all."));
    EXPECT_EQ(ask("getForKey", {"k0"}).message(), platform::Value(half)) << "what was stored stays";
    EXPECT_EQ(ask("removeForKey", {"k0"}).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(ask("setForKey", {"last", half}).status(), HYBCommandStatus::Ok) << "a removal makes room";
}

} // namespace
