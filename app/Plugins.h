// The plug-ins the application carries. Each plug-in class registers its name with
// runtime::HYBPluginClassRegistry in an explicit registerClass(): registrations by static objects in the
// static libraries would be dropped by the linker, since nothing else names those object files.
#pragma once

#include "platform/core/Error.h"
#include "runtime/HYBLoadedSettings.h"

#include <string>

namespace app {

// Registers every plug-in class of the application: "HYBCache" (and "Cache"), "HYBLocalStorage",
// "HYBFile", "HYBFileTransfer", "ZMDeploy", the device and interface plug-ins and "PulsePlugin"; and
// chooses the application delegate that goes with them: push::PulseAppDelegate for bundles that declare
// push (bundleDeclaresPush), the shell's runtime::AppDelegate for the others. Call it once before
// launching; later calls do nothing.
void registerPlugins();

// Whether config.xml's settings map the service "PulsePlugin" (a feature of that name).
bool bundleDeclaresPush(const runtime::HYBLoadedSettings& settings);

// Reads the bundle the application is to run, before anything else starts: its config.xml, read once
// (runtime::readBundleSettings), its Info.plist when it has one (runtime::readBundleIdentifier: the
// identifier names the application's home), what the plug-ins it maps need to start (the push client's
// PushConfig.plist, push::PulsePlugin::readConfig, and the file plug-in's storage preference,
// files::HYBFile::checkSettings), and that its www folder and start page (config.xml's content src, else
// "index.html", a regular file) are there and can be read. A bundle the application cannot run is
// refused with an error saying what, where and why ("PushConfig.plist at <path>: not found",
// "config.xml at <path>: parse error line L col C", "www folder at <path>: not found", "start page at
// <path>: not a regular file", "Info.plist at <path>: not a property-list dictionary"...). Launch with the
// settings it gives.
platform::Result<runtime::HYBLoadedSettings> readBundle(const std::string& bundlePath);

} // namespace app
