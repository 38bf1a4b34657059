// An RGBA colour with components from 0 to 1.
#pragma once

namespace platform {

struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;

    static Color black() { return {0, 0, 0, 1}; }
    static Color white() { return {1, 1, 1, 1}; }
    static Color clear() { return {0, 0, 0, 0}; }
    static Color fromRGBA255(int r, int g, int b, double alpha = 1) { return {r / 255.0, g / 255.0, b / 255.0, alpha}; }

    friend bool operator==(const Color&, const Color&) = default;
};

} // namespace platform
