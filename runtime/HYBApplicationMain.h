// Starting the application: the program's entry calls runApplication with the bundle folder (after
// installing its web engine with platform::WebView::setFactory; without one the headless engine runs).
//
//     runtime::runApplication("/path/to/bundle");      // returns when the application terminates
//
// Programs that drive their own main loop (the GTK one) call launchApplication instead and reach the
// window and the root view controller (with its web view) through the delegate it returns.
#pragma once

#include "platform/Error.h"
#include "runtime/AppDelegate.h"

#include <functional>
#include <memory>
#include <string>

namespace runtime {

// Makes the application's delegate. launchApplication calls it once the bundle is installed as the main
// bundle (platform::Bundle::main()), so a factory can choose by what the bundle holds.
using AppDelegateFactory = std::function<std::shared_ptr<AppDelegate>()>;

// Chooses how launchApplication makes the delegate (main thread). The default, and an empty factory,
// make a plain AppDelegate; so does a factory that gives none.
void setAppDelegateFactory(AppDelegateFactory factory);

// Installs the application's folders (the bundle at bundlePath; the home at homePath, or when empty the
// desktop default for the bundle's identifier), makes the home's folders and launches the platform
// application with the delegate the factory makes (an AppDelegate unless set), which shows the root view controller and starts loading the start
// page. Main thread. A bundle without config.xml, or whose config.xml is not a readable file, is refused
// with an error; a config.xml that does not parse stops the process (HYBLoadedSettings.h).
platform::Result<std::shared_ptr<AppDelegate>> launchApplication(const std::string& bundlePath, const std::string& homePath = {});

// launchApplication, then turns the main run loop until the application terminates. Returns the
// process's exit code (1 with a message on standard error when the application cannot start).
int runApplication(const std::string& bundlePath, const std::string& homePath = {});

} // namespace runtime
