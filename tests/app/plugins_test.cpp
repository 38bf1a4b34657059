// The application carries every plug-in: after registerPlugins each class is made by its name.
#include "app/Plugins.h"
#include "platform/web/HeadlessWebView.h"
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBConfigParser.h"
#include "runtime/HYBPlugin.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

TEST(PluginsTest, EveryPluginOfTheApplicationIsMadeByItsName)
{
    app::registerPlugins();
    app::registerPlugins(); // a second call changes nothing
    for (const char* name : {"HYBCache", "Cache", "HYBLocalStorage", "HYBFile", "HYBFileTransfer", "ZMDeploy", "Preference", "HYBDevice",
                             "HYBLocation", "HYBConnection", "Diagnostic", "HYBKeychain", "AppleAdvertising", "LaunchNavigator",
                             "MessengerPayPlugin", "HYBSplashScreen", "ActionSheet", "PickerViewPlugin", "DatePicker",
                             "HYBKeyboard", "HYBBarcodeScanner", "PulsePlugin"}) {
        auto plugin = runtime::HYBPluginClassRegistry::shared().create(name, platform::HeadlessWebView::create());
        ASSERT_NE(plugin, nullptr) << name;
        EXPECT_EQ(plugin->className(), std::string(name) == "Cache" ? "HYBCache" : name);
    }
}

// Bundles that declare push get the push client's application delegate; the others the shell's.
TEST(PluginsTest, OnlyABundleDeclaringThePushServiceAsksForThePushDelegate)
{
    auto settingsOf = [](const std::string& text) {
        runtime::HYBConfigParser parser;
        EXPECT_TRUE(parser.parseDocument(text)) << text;
        return runtime::HYBLoadedSettings::fromParser(parser);
    };
    EXPECT_FALSE(app::bundleDeclaresPush(settingsOf("<widget><feature name=\"Cache\"><param name=\"ios-package\" value=\"HYBCache\"/></feature></widget>")));
    EXPECT_TRUE(app::bundleDeclaresPush(settingsOf("<widget><feature name=\"PulsePlugin\"><param name=\"ios-package\" value=\"PulsePlugin\"/></feature></widget>")));
}

// What a bundle needs before the application starts: its config.xml, the push configuration when it
// declares push, a storage preference the file plug-in can use when it maps that plug-in.
TEST(PluginsTest, ReadingABundleChecksWhatItsPluginsNeedToStart)
{
    hybtest::TempHome home;
    const std::string bundle = home.folders().bundle();
    auto read = [&] {
        auto settings = app::readBundle(bundle);
        return settings.ok() ? std::string("read") : settings.error().localizedDescription();
    };
    home.writeBundleFile("www/index.html", "<html></html>");
    EXPECT_EQ(read(), "config.xml at " + bundle + "/config.xml: not found");
    const std::string push = "<feature name=\"PulsePlugin\"><param name=\"ios-package\" value=\"PulsePlugin\"/></feature>";
    home.writeBundleFile("config.xml", "<widget>" + push + "</widget>");
    EXPECT_EQ(read(), "PushConfig.plist at " + bundle + "/PushConfig.plist: not found");
    home.writeBundleFile("PushConfig.plist", "<plist version=\"1.0\"><dict><key>APP_KEY</key><string>k</string></dict></plist>");
    EXPECT_EQ(read(), "read");

    const std::string file = "<feature name=\"File\"><param name=\"ios-package\" value=\"HYBFile\"/></feature>";
    home.writeBundleFile("config.xml", "<widget>" + file + "<preference name=\"iosPersistentFileLocation\" value=\"Library\"/></widget>");
    EXPECT_EQ(read(), "read");
    home.writeBundleFile("config.xml", "<widget>" + file + "<preference name=\"iosPersistentFileLocation\" value=\"elsewhere\"/></widget>");
    EXPECT_EQ(read(), "config.xml at " + bundle + "/config.xml: preference iosPersistentFileLocation is \"elsewhere\", not "
                      "\"library\" or \"compatibility\"");
    // Without the file plug-in the preference concerns nothing.
    home.writeBundleFile("config.xml", "<widget><preference name=\"iosPersistentFileLocation\" value=\"elsewhere\"/></widget>");
    EXPECT_EQ(read(), "read");
}

// A bundle without its www folder or start page is refused before anything starts, naming what is missing;
// the start page is found as the view controller finds it (query and fragment aside, escapes undone, never
// outside the www folder). A start page given as a URL is not checked.
TEST(PluginsTest, ReadingABundleRefusesAMissingWwwFolderOrStartPage)
{
    hybtest::TempHome home;
    const std::string bundle = home.folders().bundle();
    auto read = [&](const std::string& content) {
        home.writeBundleFile("config.xml", "<widget>" + content + "</widget>");
        auto settings = app::readBundle(bundle);
        return settings.ok() ? std::string("read") : settings.error().localizedDescription();
    };
    std::filesystem::remove_all(bundle + "/www");
    EXPECT_EQ(read(""), "www folder at " + bundle + "/www: not found");
    home.writeBundleFile("www", "a file");
    EXPECT_EQ(read(""), "www folder at " + bundle + "/www: not a folder");
    std::filesystem::remove(bundle + "/www");
    home.writeBundleFile("www/other.html", "<html></html>");
    EXPECT_EQ(read(""), "start page at " + bundle + "/www/index.html: not found");
    EXPECT_EQ(read("<content src=\"main.html\"/>"), "start page at " + bundle + "/www/main.html: not found");
    EXPECT_EQ(read("<content src=\"../config.xml\"/>"), "start page at " + bundle + "/www/../config.xml: not found");
    home.writeBundleFile("www/pages/a b.html", "<html></html>");
    EXPECT_EQ(read("<content src=\"pages\"/>"), "start page at " + bundle + "/www/pages: a folder, not a file");
    EXPECT_EQ(read("<content src=\"pages/a%20b.html?x=1#top\"/>"), "read");
    EXPECT_EQ(read("<content src=\"other.html\"/>"), "read");
    EXPECT_EQ(read("<content src=\"http://localhost:1/start.html\"/>"), "read");
    // A FIFO would hold the engine's read of it for good, a device never end: neither is a page.
    ASSERT_EQ(::mkfifo((bundle + "/www/pipe.html").c_str(), 0600), 0);
    EXPECT_EQ(read("<content src=\"pipe.html\"/>"), "start page at " + bundle + "/www/pipe.html: not a regular file");
    std::filesystem::create_symlink("/dev/zero", bundle + "/www/zero.html");
    EXPECT_EQ(read("<content src=\"zero.html\"/>"), "start page at " + bundle + "/www/zero.html: not a regular file");
}

// The bundle's Info.plist names the application's home folder: one that cannot be read, or that names an
// identifier no folder can be named after, is refused before anything starts instead of the application
// running in the shared default home; no Info.plist, or none naming an identifier, is that default.
TEST(PluginsTest, ReadingABundleRefusesAnInfoPlistThatCannotNameTheHome)
{
    hybtest::TempHome home;
    const std::string bundle = home.folders().bundle();
    const std::string info = bundle + "/Info.plist";
    home.writeBundleFile("www/index.html", "<html></html>");
    home.writeBundleFile("config.xml", "<widget></widget>");
    auto read = [&] {
        auto settings = app::readBundle(bundle);
        return settings.ok() ? std::string("read") : settings.error().localizedDescription();
    };
    auto withIdentifier = [](const std::string& value) {
        return "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>" + value + "</dict></plist>";
    };
    std::filesystem::remove(info);
    EXPECT_EQ(read(), "read");
    EXPECT_EQ(runtime::readBundleIdentifier(bundle).valueOr(""), runtime::kDefaultBundleIdentifier);
    home.writeBundleFile("Info.plist", "<plist version=\"1.0\"><dict><key>CFBundleName</key><string>A</string></dict></plist>");
    EXPECT_EQ(read(), "read");
    EXPECT_EQ(runtime::readBundleIdentifier(bundle).valueOr(""), runtime::kDefaultBundleIdentifier);
    const std::string longest(runtime::kMaxBundleIdentifierBytes, 'a');
    home.writeBundleFile("Info.plist", withIdentifier("<string>" + longest + "</string>"));
    EXPECT_EQ(read(), "read");
    EXPECT_EQ(runtime::readBundleIdentifier(bundle).valueOr(""), longest);

    const struct {
        std::string contents;
        std::string why;
    } refused[] = {
        {std::string("\x00\x9f\xffrandom\x01bytes\x7f", 16), "not a property-list dictionary"},
        {"<plist version=\"1.0\"><array/></plist>", "not a property-list dictionary"},
        {withIdentifier("<integer>7</integer>"), "CFBundleIdentifier is not a string"},
        {withIdentifier("<string></string>"), "CFBundleIdentifier is empty"},
        {withIdentifier("<string>..</string>"), "CFBundleIdentifier \"..\" cannot name a folder"},
        {withIdentifier("<string>org/example</string>"), "CFBundleIdentifier \"org/example\" cannot name a folder"},
        {withIdentifier("<string>" + longest + "a</string>"),
         "CFBundleIdentifier is 201 bytes long, more than the 200 that the folder and files named after it leave room for"},
        {"<plist version=\"1.0\"><dict>" + std::string(std::size_t{1} << 20, ' ') + "</dict></plist>",
         "larger than 1048576 bytes"},
    };
    for (const auto& c : refused) {
        home.writeBundleFile("Info.plist", c.contents);
        EXPECT_EQ(read(), "Info.plist at " + info + ": " + c.why);
    }
    std::filesystem::remove(info);
    ASSERT_EQ(::mkfifo(info.c_str(), 0600), 0);
    EXPECT_EQ(read(), "Info.plist at " + info + ": not a regular file");
    std::filesystem::remove(info);
    std::filesystem::create_directory(info);
    EXPECT_EQ(read(), "Info.plist at " + info + ": a folder, not a file");
}

// A www folder that cannot be entered, or a start page that cannot be read, by the user the application
// runs as is refused the same way (read as an unprivileged user when the test runs as root, whom file
// modes do not stop).
TEST(PluginsTest, ReadingABundleRefusesAWwwFolderOrStartPageThatCannotBeRead)
{
    hybtest::TempHome home;
    const std::string bundle = home.folders().bundle();
    home.writeBundleFile("www/index.html", "<html></html>");
    home.writeBundleFile("config.xml", "<widget></widget>");
    // What readBundle says, as a user who is not root.
    auto read = [&] {
        if (::geteuid() != 0) {
            auto settings = app::readBundle(bundle);
            return settings.ok() ? std::string("read") : settings.error().localizedDescription();
        }
        int out[2];
        if (::pipe(out) != 0)
            return std::string("no pipe");
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(out[0]);
            std::string said = "cannot drop privileges";
            if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
                auto settings = app::readBundle(bundle);
                said = settings.ok() ? std::string("read") : settings.error().localizedDescription();
            }
            (void)!::write(out[1], said.data(), said.size());
            ::_exit(0);
        }
        ::close(out[1]);
        std::string said;
        char buffer[512];
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
            said.append(buffer, static_cast<std::size_t>(n));
        ::close(out[0]);
        ::waitpid(child, nullptr, 0);
        return said;
    };
    // The unprivileged user reaches the bundle.
    for (std::filesystem::path at = bundle; at.string().size() >= home.root().size(); at = at.parent_path())
        std::filesystem::permissions(at, std::filesystem::perms::others_exec, std::filesystem::perm_options::add);
    std::filesystem::permissions(bundle + "/config.xml", std::filesystem::perms::others_read, std::filesystem::perm_options::add);
    std::filesystem::permissions(bundle + "/www", std::filesystem::perms::all);
    std::filesystem::permissions(bundle + "/www/index.html", std::filesystem::perms::all);
    ASSERT_EQ(read(), "read");
    std::filesystem::permissions(bundle + "/www/index.html", std::filesystem::perms::none);
    EXPECT_EQ(read(), "start page at " + bundle + "/www/index.html: cannot be read (Permission denied)");
    std::filesystem::permissions(bundle + "/www/index.html", std::filesystem::perms::all);
    std::filesystem::permissions(bundle + "/www", std::filesystem::perms::owner_all | std::filesystem::perms::group_all |
                                                      std::filesystem::perms::others_read);
    EXPECT_EQ(read(), "www folder at " + bundle + "/www: cannot be entered (Permission denied)");
    std::filesystem::permissions(bundle + "/www", std::filesystem::perms::all);
}
