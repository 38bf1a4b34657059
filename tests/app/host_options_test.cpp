// The application's command line.
#include "app/HostOptions.h"

#include <gtest/gtest.h>

using app::HostOptions;

TEST(HostOptionsTest, ReadsEveryOptionAndTheBundle)
{
    auto options = HostOptions::parse({"--headless", "--screenshot", "out.png", "my/bundle"});
    ASSERT_TRUE(options.ok());
    EXPECT_TRUE(options->headless);
    EXPECT_EQ(options->screenshot, "out.png");
    EXPECT_EQ(options->bundle, "my/bundle");
    EXPECT_FALSE(options->help);

    auto equals = HostOptions::parse({"--screenshot=a.png"});
    ASSERT_TRUE(equals.ok());
    EXPECT_EQ(equals->screenshot, "a.png");
    EXPECT_EQ(equals->bundle, "");

    auto dashFolder = HostOptions::parse({"--", "--odd-folder"});
    ASSERT_TRUE(dashFolder.ok());
    EXPECT_EQ(dashFolder->bundle, "--odd-folder");
    EXPECT_TRUE(HostOptions::parse({"--help"})->help);

    EXPECT_EQ(HostOptions::parse({"--device", "phone.json"})->device, "phone.json");
    EXPECT_EQ(HostOptions::parse({"--device=pad.json", "b"})->device, "pad.json");
    EXPECT_EQ(HostOptions::parse({})->device, "");
    EXPECT_NE(HostOptions::usage("hybridhost").find("--device FILE"), std::string::npos);
}

TEST(HostOptionsTest, BadArgumentsSayWhatIsWrong)
{
    auto missing = HostOptions::parse({"--screenshot"});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().localizedDescription(), "--screenshot needs a file name");
    EXPECT_FALSE(HostOptions::parse({"--screenshot="}).ok());
    auto unknown = HostOptions::parse({"--fullscreen"});
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error().localizedDescription(), "unknown option --fullscreen");
    EXPECT_FALSE(HostOptions::parse({"a", "b"}).ok());
    EXPECT_EQ(HostOptions::parse({"--device"}).error().localizedDescription(), "--device needs a file name");
    EXPECT_FALSE(HostOptions::parse({"--device="}).ok());
}

TEST(HostOptionsTest, PaymentDemoTakesAWebURL)
{
    auto demo = HostOptions::parse({"--headless", "--cardpay-demo", "http://127.0.0.1:8123/gateway"});
    ASSERT_TRUE(demo.ok());
    EXPECT_EQ(demo->cardpayDemo, "http://127.0.0.1:8123/gateway");
    EXPECT_EQ(HostOptions::parse({"--cardpay-demo=https://pay.example/gw"})->cardpayDemo, "https://pay.example/gw");
    EXPECT_EQ(HostOptions::parse({})->cardpayDemo, "");
    EXPECT_NE(HostOptions::usage("hybridhost").find("--cardpay-demo URL"), std::string::npos);

    EXPECT_EQ(HostOptions::parse({"--cardpay-demo"}).error().localizedDescription(), "--cardpay-demo needs the payment server's URL");
    for (const char* bad : {"127.0.0.1:8123", "ftp://host/x", "http://", "http:///gateway", "http://host/a b", "file:///etc/passwd"}) {
        auto refused = HostOptions::parse({"--cardpay-demo", bad});
        ASSERT_FALSE(refused.ok()) << bad;
        EXPECT_EQ(refused.error().localizedDescription(), std::string("--cardpay-demo needs an http:// or https:// URL (got ") + bad + ")");
    }
    const std::string longest = "http://h/" + std::string(2048 - 9, 'a');
    EXPECT_EQ(HostOptions::parse({"--cardpay-demo", longest})->cardpayDemo, longest);
    auto tooLong = HostOptions::parse({"--cardpay-demo", longest + "a"});
    ASSERT_FALSE(tooLong.ok());
    EXPECT_EQ(tooLong.error().localizedDescription(), "--cardpay-demo takes a URL of at most 2048 characters (got 2049)");
}

TEST(HostOptionsTest, OneLineWritesControlCharactersAsEscapes)
{
    EXPECT_EQ(app::oneLine("config.xml at /b/c: not found"), "config.xml at /b/c: not found");
    EXPECT_EQ(app::oneLine("a\nb\rc\td"), "a\\nb\\rc\\td");
    EXPECT_EQ(app::oneLine(std::string("\x1b[2J\x07\x7f\0x", 8)), "\\x1b[2J\\x07\\x7f\\x00x");
    EXPECT_EQ(app::oneLine("caf\xc3\xa9 \\ \xff"), "caf\xc3\xa9 \\ \xff") << "other bytes stay as they are";
    // A page's words in a line: C1 controls, direction marks and overrides, line separators.
    EXPECT_EQ(app::oneLine("a\xc2\x9b" "2Jb\xc2\x85\xc2\xa0"), "a\\u009b2Jb\\u0085\xc2\xa0");
    EXPECT_EQ(app::oneLine("x\xe2\x80\xaegnp.exe\xe2\x81\xa6\xe2\x80\x8f\xd8\x9c\xe2\x80\xa8\xe2\x80\xa9"),
              "x\\u202egnp.exe\\u2066\\u200f\\u061c\\u2028\\u2029");
    EXPECT_EQ(app::oneLine("\xe2\x80\xa6 \xe2\x80\xaf \xe2\x80"), "\xe2\x80\xa6 \xe2\x80\xaf \xe2\x80") << "an ellipsis, a narrow space, a cut sequence";
    EXPECT_EQ(app::oneLine(""), "");
}

TEST(HostOptionsTest, AnEmptyBundlePathIsRefusedRatherThanTakenForTheSampleBundle)
{
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{""}, {"--headless", "--", ""}, {"my/bundle", ""}}) {
        auto options = HostOptions::parse(arguments);
        ASSERT_FALSE(options.ok()) << arguments.size();
        EXPECT_EQ(options.error().localizedDescription(), "the bundle folder is an empty path (give none to run the sample bundle)");
    }
    auto none = HostOptions::parse({"--headless"});
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none->bundle, "");
}
