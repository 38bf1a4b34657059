// The main screen: bounds in points and the scale from points to pixels. Configurable for tests and
// for the desktop window; readable from any thread.
#pragma once

#include "platform/core/Geometry.h"

#include <mutex>

namespace platform {

class Screen {
public:
    static Screen& main();

    Rect bounds() const;
    double scale() const;

    void setBounds(Rect bounds);
    void setScale(double scale);
    void resetToDefaults();  // 375 x 667 points at scale 2

private:
    Screen() = default;

    mutable std::mutex m_mutex;
    Rect m_bounds{0, 0, 375, 667};
    double m_scale = 2.0;
};

} // namespace platform
