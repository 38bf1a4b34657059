// Interface orientations and their masks, with the platform's numbers.
#pragma once

namespace platform {

enum class InterfaceOrientation { Unknown = 0, Portrait = 1, PortraitUpsideDown = 2, LandscapeRight = 3, LandscapeLeft = 4 };

// A set of orientations: bit (1 << orientation number).
using InterfaceOrientationMask = unsigned;

inline constexpr InterfaceOrientationMask maskFor(InterfaceOrientation o) { return 1u << static_cast<unsigned>(o); }
inline constexpr InterfaceOrientationMask kInterfaceOrientationMaskPortrait = 2;
inline constexpr InterfaceOrientationMask kInterfaceOrientationMaskAll = 30;
inline constexpr InterfaceOrientationMask kInterfaceOrientationMaskAllButUpsideDown = 26;

inline constexpr bool isLandscape(InterfaceOrientation o) {
    return o == InterfaceOrientation::LandscapeLeft || o == InterfaceOrientation::LandscapeRight;
}

} // namespace platform
