// Snapshot tests: a view rendered at scale 2 is compared with a reference PNG.
//
// expectSnapshot(view, "name") writes build/<tree>/snapshots/<label>/<name>.png and compares it with
// tests/<label>/snapshots/<name>.png. A pixel differs when one of its channels is off by more than
// kSnapshotChannelTolerance; the test fails when more than kSnapshotMaxDifferingFraction of the pixels
// differ, or the sizes differ, or the reference is missing. HYB_UPDATE_SNAPSHOTS=1 in the environment
// rewrites the references instead.
#pragma once

#include "platform/ui/Image.h"
#include "platform/ui/View.h"

#include <string>

namespace hybtest {

inline constexpr int kSnapshotChannelTolerance = 16;           // of 255
inline constexpr double kSnapshotMaxDifferingFraction = 0.005;  // 0.5% of the pixels

struct SnapshotComparison {
    bool sameSize = false;
    long long differingPixels = 0;
    long long totalPixels = 0;
};
// Counts the pixels of two images that differ beyond the tolerance.
SnapshotComparison compareSnapshotImages(const platform::Image& a, const platform::Image& b);

// For the macro below: the test's label names the folders.
void expectSnapshotIn(const std::string& label, platform::View& view, const std::string& name);
// The same for a picture already drawn (a whole screen, say).
void expectSnapshotImageIn(const std::string& label, const platform::Image& image, const std::string& name);
// Only writes the picture where expectSnapshotIn writes its own, to be looked at (a test that checks what it
// shows by its pixels); returns that path ("" when it could not be written, which fails the test).
std::string writeSnapshotImageIn(const std::string& label, const platform::Image& image, const std::string& name);
// What the screen shows (every shown window by level), in a frame of that size.
void expectScreenSnapshotIn(const std::string& label, platform::Rect frame, const std::string& name);

} // namespace hybtest

#ifdef HYB_TEST_LABEL
namespace hybtest {
inline void expectSnapshot(platform::View& view, const std::string& name) { expectSnapshotIn(HYB_TEST_LABEL, view, name); }
inline void expectScreenSnapshot(platform::Rect frame, const std::string& name) { expectScreenSnapshotIn(HYB_TEST_LABEL, frame, name); }
} // namespace hybtest
#endif
