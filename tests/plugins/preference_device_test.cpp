// The Preference and Device services: a preference in any letter case, and the device information with
// its installation identifier.
#include "PluginFixture.h"

#include "platform/system/Device.h"
#include "platform/system/UserDefaults.h"
#include "plugins/HYBDevice.h"
#include "plugins/Preference.h"

namespace {

using pluginstest::PluginTest;
using runtime::HYBCommandStatus;

class PreferenceTest : public PluginTest<plugins::Preference> {
protected:
    PreferenceTest() { m_log->preferences = platform::Dictionary{{"backupwebstorage", "local"}, {"fadesplashscreenduration", 250}}; }
};

TEST_F(PreferenceTest, FindsAPreferenceWhateverTheLetterCaseOfItsName) {
    for (const char* name : {"BackupWebStorage", "backupwebstorage", "BACKUPWEBSTORAGE"})
        call("get", {name});
    ASSERT_EQ(answers().size(), 3u);
    for (const auto& answer : answers()) {
        EXPECT_EQ(answer.status(), HYBCommandStatus::Ok);
        EXPECT_EQ(answer.message(), platform::Value("local"));
        EXPECT_EQ(answer.callbackId, "cb");
    }
    // A value that is not text is answered as its text.
    call("get", {"FadeSplashScreenDuration"});
    EXPECT_EQ(answers().back().message(), platform::Value("250"));
}

TEST_F(PreferenceTest, AnUnknownMissingOrNonTextNameAnswersOkWithNull) {
    call("get", {"NoSuchPreference"});
    call("get", {});
    call("get", {42});
    call("get", {platform::Array{"BackupWebStorage"}});
    ASSERT_EQ(answers().size(), 4u);
    for (const auto& answer : answers()) {
        EXPECT_EQ(answer.status(), HYBCommandStatus::Ok);
        EXPECT_TRUE(answer.message().isNull());
    }
}

class DeviceTest : public PluginTest<plugins::HYBDevice> {};

TEST_F(DeviceTest, DeviceInformationHasExactlyTheKeysAndTheStoredIdentifier) {
    platform::Device::current().setMachine("iPhone7,2");
    platform::Device::current().setSystemVersion("8.4");
    platform::Device::current().setIdentifierForVendor("0F8FAD5B-D9CB-469F-A165-70867728950E");
    ASSERT_TRUE(platform::UserDefaults::standard().object("HYBUUID").isNull());

    call("getDeviceInfo");
    call("getDeviceInfo");
    ASSERT_EQ(answers().size(), 2u);
    const platform::Value& info = answers()[0].message();
    ASSERT_EQ(answers()[0].status(), HYBCommandStatus::Ok);
    EXPECT_EQ(info.dictionaryOrEmpty().keys(),
              (std::vector<std::string>{"manufacturer", "model", "platform", "version", "uuid", "hybrid", "isVirtual"}));
    EXPECT_EQ(info["manufacturer"], platform::Value("Apple"));
    EXPECT_EQ(info["model"], platform::Value("iPhone7,2"));
    EXPECT_EQ(info["platform"], platform::Value("iOS"));
    EXPECT_EQ(info["version"], platform::Value("8.4"));
    EXPECT_EQ(info["hybrid"], platform::Value("3.9.2"));
    EXPECT_EQ(info["isVirtual"], platform::Value(false));
    // The first call on a fresh installation takes the vendor id and stores it; the second finds it.
    EXPECT_EQ(info["uuid"], platform::Value("0F8FAD5B-D9CB-469F-A165-70867728950E"));
    EXPECT_EQ(answers()[1].message()["uuid"], info["uuid"]);
    EXPECT_EQ(platform::UserDefaults::standard().object("HYBUUID"), info["uuid"]);
}

TEST_F(DeviceTest, TheIdentifierOutlivesAChangeOfTheVendorId) {
    platform::Device& device = platform::Device::current();
    device.setIdentifierForVendor("11111111-1111-4111-8111-111111111111");
    EXPECT_EQ(plugins::HYBDevice::uniqueAppInstanceIdentifier(device), "11111111-1111-4111-8111-111111111111");
    device.setIdentifierForVendor("22222222-2222-4222-8222-222222222222");
    EXPECT_EQ(plugins::HYBDevice::uniqueAppInstanceIdentifier(device), "11111111-1111-4111-8111-111111111111");
}

TEST_F(DeviceTest, TheModelIsTheMachineTheSystemReports) {
    EXPECT_EQ(plugins::modelVersion(platform::Device::current()), platform::Device::current().machine());
    EXPECT_FALSE(plugins::modelVersion(platform::Device::current()).empty());
}

} // namespace
