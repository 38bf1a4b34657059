// The plug-ins the application carries. Each plug-in class registers its name with
// runtime::HYBPluginClassRegistry in an explicit registerClass(): registrations by static objects in the
// static libraries would be dropped by the linker, since nothing else names those object files.
#pragma once

namespace app {

// Registers every plug-in class of the application: "HYBCache" (and "Cache"), "HYBLocalStorage",
// "HYBFile", "HYBFileTransfer", "ZMDeploy", the device and interface plug-ins and "PulsePlugin"; and
// chooses the application delegate that goes with them: push::PulseAppDelegate for bundles that declare
// push (bundleDeclaresPush), the shell's runtime::AppDelegate for the others. Call it once before
// launching; later calls do nothing.
void registerPlugins();

// Whether the main bundle's config.xml maps the service "PulsePlugin" (a feature of that name).
bool bundleDeclaresPush();

} // namespace app
