// The per-installation identifier: a UUID text made once and kept in the standard user defaults under
// "HYBUUID". It survives restarts and goes away with the application's defaults.
//
// Thread: any; two first calls racing on different threads may each store an identifier (the last
// stored one stays).
#pragma once

#include <string>

namespace runtime {

inline constexpr const char* kHYBInstallationIdentifierKey = "HYBUUID";

// The stored identifier; when none is stored yet, a new UUID text is stored (and written at once).
std::string uniqueAppInstanceIdentifier();

} // namespace runtime
