// An RGBA colour with components from 0 to 1, or a pattern colour that tiles an image.
#pragma once

#include <algorithm>
#include <cmath>
#include <memory>

namespace platform {

class Image;

struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;
    // Set for pattern colours: the image tiles the filled area, from the filled view's origin.
    std::shared_ptr<const Image> patternImage;

    static Color black() { return {0, 0, 0, 1}; }
    static Color white() { return {1, 1, 1, 1}; }
    static Color clear() { return {0, 0, 0, 0}; }
    static Color grey(double white, double alpha = 1) { return fromRGBA(white, white, white, alpha); }
    // Components outside 0-1 (or not numbers) are clamped (NaN reads as 0).
    static Color fromRGBA(double r, double g, double b, double alpha = 1) {
        return {unit(r), unit(g), unit(b), unit(alpha)};
    }
    static Color fromRGBA255(int r, int g, int b, double alpha = 1) {
        return fromRGBA(r / 255.0, g / 255.0, b / 255.0, alpha);
    }
    static Color pattern(std::shared_ptr<const Image> image) {
        Color c;
        c.patternImage = std::move(image);
        return c;
    }

    bool isPattern() const { return patternImage != nullptr; }
    Color withAlpha(double a) const {
        Color c = *this;
        c.alpha = unit(a);
        return c;
    }

    friend bool operator==(const Color&, const Color&) = default;

private:
    static double unit(double v) { return std::isnan(v) ? 0 : std::clamp(v, 0.0, 1.0); }
};

} // namespace platform
