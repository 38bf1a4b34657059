// Starting the application: the program's entry calls runApplication with the bundle folder (after
// installing its web engine with platform::WebView::setFactory; without one the headless engine runs).
//
//     runtime::runApplication("/path/to/bundle");      // returns when the application terminates
//
// Programs that drive their own main loop (the GTK one) call launchApplication instead and reach the
// window and the root view controller (with its web view) through the delegate it returns.
#pragma once

#include "platform/core/Error.h"
#include "runtime/AppDelegate.h"
#include "runtime/HYBLoadedSettings.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace runtime {

// Makes the application's delegate. launchApplication calls it once the bundle is installed as the main
// bundle (platform::Bundle::main()), with the settings of its config.xml, so a factory can choose by what
// the bundle holds.
using AppDelegateFactory = std::function<std::shared_ptr<AppDelegate>(const HYBLoadedSettings& settings)>;

// Chooses how launchApplication makes the delegate (main thread). The default, and an empty factory,
// make a plain AppDelegate; so does a factory that gives none.
void setAppDelegateFactory(AppDelegateFactory factory);

// The settings of the bundle's config.xml, read once: a program reads them before it starts anything
// else (its display, the web engine) and launches with them. A bundle the application cannot run is
// refused with an error saying what, where and why: "bundle folder at <path>: not found" (or "not a
// folder"), or HYBLoadedSettings::readFile's "config.xml at <path>: <why>".
platform::Result<HYBLoadedSettings> readBundleSettings(const std::string& bundlePath);

// The identifier the application's home is named after when the bundle's Info.plist names none, or has
// no Info.plist.
inline constexpr const char* kDefaultBundleIdentifier = "org.hybridhost.app";
// The longest identifier the home may be named after: the folder's name, and the names of the files made
// after it inside (its preferences file "<identifier>.plist", the push client's log files "<identifier>
// <date>.log"), must fit a file name's 255 bytes.
inline constexpr std::size_t kMaxBundleIdentifierBytes = 200;

// The bundle identifier of the bundle's Info.plist ("CFBundleIdentifier"), which names the application's
// home folder (platform::AppFolders::defaultHome); kDefaultBundleIdentifier when there is no Info.plist
// or it names none. An Info.plist that cannot be read (not a regular file, over
// platform::Bundle::kMaxPropertyListBytes), is not a property-list dictionary, or names an identifier
// that cannot name a folder (not a string, empty, ".", "..", holding a "/" or a NUL, over
// kMaxBundleIdentifierBytes) is refused: "Info.plist at <path>: <why>".
platform::Result<std::string> readBundleIdentifier(const std::string& bundlePath);

// Installs the application's folders (the bundle at bundlePath; the home at homePath, or when empty the
// desktop default for the bundle's identifier, readBundleIdentifier's refusal returned), makes the home's
// folders ("home folder at <path>: <why>" when they cannot be made) and launches the platform
// application with the delegate the factory makes (an AppDelegate unless set), which shows the root view
// controller, configured by `settings`, and starts loading the start page. Main thread.
platform::Result<std::shared_ptr<AppDelegate>> launchApplication(const std::string& bundlePath, const std::string& homePath,
                                                                 HYBLoadedSettings settings);
// The same after readBundleSettings, whose refusal it returns.
platform::Result<std::shared_ptr<AppDelegate>> launchApplication(const std::string& bundlePath, const std::string& homePath = {});

// launchApplication, then turns the main run loop until the application terminates. Returns the
// process's exit code (1 with a message on standard error when the application cannot start).
int runApplication(const std::string& bundlePath, const std::string& homePath = {});

} // namespace runtime
