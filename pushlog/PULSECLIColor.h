// An RGBA colour with components in 0.0 to 1.0, as the terminal logger's callers choose colours.
#pragma once

namespace pushlog {

class PULSECLIColor {
public:
    PULSECLIColor(double red, double green, double blue, double alpha = 1.0)
        : m_red(red), m_green(green), m_blue(blue), m_alpha(alpha) {}

    static PULSECLIColor colorWithCalibratedRed(double red, double green, double blue, double alpha) {
        return PULSECLIColor(red, green, blue, alpha);
    }
    // Writes each component to the out-argument that is not null.
    void getRed(double* red, double* green, double* blue, double* alpha) const {
        if (red) *red = m_red;
        if (green) *green = m_green;
        if (blue) *blue = m_blue;
        if (alpha) *alpha = m_alpha;
    }

private:
    double m_red, m_green, m_blue, m_alpha;
};

} // namespace pushlog
