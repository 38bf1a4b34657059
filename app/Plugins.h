// The plug-ins the application carries. Each plug-in class registers its name with
// runtime::HYBPluginClassRegistry in an explicit registerClass(): registrations by static objects in the
// static libraries would be dropped by the linker, since nothing else names those object files.
#pragma once

namespace app {

// Registers every plug-in class of the application: "HYBCache" (and "Cache"), "HYBLocalStorage",
// "HYBFile", "HYBFileTransfer", "ZMDeploy" and the device and interface plug-ins. Call it once before launching; later calls do nothing.
void registerPlugins();

} // namespace app
