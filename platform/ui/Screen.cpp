#include "platform/ui/Screen.h"

namespace platform {

Screen& Screen::main() {
    static Screen screen;
    return screen;
}

Rect Screen::bounds() const {
    std::lock_guard lock(m_mutex);
    return m_bounds;
}

double Screen::scale() const {
    std::lock_guard lock(m_mutex);
    return m_scale;
}

void Screen::setBounds(Rect bounds) {
    std::lock_guard lock(m_mutex);
    m_bounds = bounds;
}

void Screen::setScale(double scale) {
    std::lock_guard lock(m_mutex);
    m_scale = scale > 0 ? scale : 1.0;
}

void Screen::resetToDefaults() {
    std::lock_guard lock(m_mutex);
    m_bounds = Rect{0, 0, 375, 667};
    m_scale = 2.0;
}

} // namespace platform
