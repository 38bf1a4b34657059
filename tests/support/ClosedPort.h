// A port of 127.0.0.1 nobody listens on, for connections that must be refused.
#pragma once

#include <cstdint>

namespace testsupport {

// The port stays bound (never listening) for the rest of the process, so that no server, of this test or of
// another running beside it, takes it. Throws std::runtime_error when no port can be had.
std::uint16_t closedPort();

} // namespace testsupport
