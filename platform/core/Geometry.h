// Plain geometry in points: Point, Size, Rect, edge insets and affine transforms, as the view tree, the
// screen and the drawing contexts use them. Values only; no state, no threads.
#pragma once

#include <algorithm>
#include <cmath>

namespace platform {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct EdgeInsets {
    double top = 0;
    double left = 0;
    double bottom = 0;
    double right = 0;
    friend bool operator==(const EdgeInsets&, const EdgeInsets&) = default;
};

struct Rect {
    Point origin;
    Size size;

    Rect() = default;
    Rect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}
    Rect(Point origin, Size size) : origin(origin), size(size) {}

    double minX() const { return origin.x; }
    double minY() const { return origin.y; }
    double midX() const { return origin.x + size.width / 2; }
    double midY() const { return origin.y + size.height / 2; }
    double maxX() const { return origin.x + size.width; }
    double maxY() const { return origin.y + size.height; }
    double width() const { return size.width; }
    double height() const { return size.height; }
    Point center() const { return {midX(), midY()}; }
    bool isEmpty() const { return !(size.width > 0) || !(size.height > 0); }
    bool isFinite() const {
        return std::isfinite(origin.x) && std::isfinite(origin.y) && std::isfinite(size.width) && std::isfinite(size.height);
    }
    bool contains(Point p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
    bool intersects(const Rect& other) const { return !intersection(other).isEmpty(); }

    // The same rectangle with a non-negative width and height.
    Rect standardized() const {
        Rect r = *this;
        if (r.size.width < 0) {
            r.origin.x += r.size.width;
            r.size.width = -r.size.width;
        }
        if (r.size.height < 0) {
            r.origin.y += r.size.height;
            r.size.height = -r.size.height;
        }
        return r;
    }
    Rect offsetBy(double dx, double dy) const { return {origin.x + dx, origin.y + dy, size.width, size.height}; }
    // Shrinks by dx on the left and right and dy on the top and bottom (grows for negative values).
    Rect insetBy(double dx, double dy) const {
        return {origin.x + dx, origin.y + dy, std::max(0.0, size.width - 2 * dx), std::max(0.0, size.height - 2 * dy)};
    }
    Rect insetBy(const EdgeInsets& e) const {
        return {origin.x + e.left, origin.y + e.top, std::max(0.0, size.width - e.left - e.right),
                std::max(0.0, size.height - e.top - e.bottom)};
    }
    // The overlap of two rectangles; an empty rectangle at the origin when they do not overlap.
    Rect intersection(const Rect& other) const {
        Rect a = standardized(), b = other.standardized();
        double x0 = std::max(a.minX(), b.minX()), y0 = std::max(a.minY(), b.minY());
        double x1 = std::min(a.maxX(), b.maxX()), y1 = std::min(a.maxY(), b.maxY());
        if (!(x1 > x0) || !(y1 > y0))
            return {};
        return {x0, y0, x1 - x0, y1 - y0};
    }
    // The smallest rectangle holding both; an empty rectangle does not count.
    Rect unionWith(const Rect& other) const {
        if (other.isEmpty())
            return standardized();
        if (isEmpty())
            return other.standardized();
        Rect a = standardized(), b = other.standardized();
        double x0 = std::min(a.minX(), b.minX()), y0 = std::min(a.minY(), b.minY());
        return {x0, y0, std::max(a.maxX(), b.maxX()) - x0, std::max(a.maxY(), b.maxY()) - y0};
    }
    // The smallest rectangle with whole-number edges that holds this one.
    Rect integral() const {
        Rect a = standardized();
        double x0 = std::floor(a.minX()), y0 = std::floor(a.minY());
        return {x0, y0, std::ceil(a.maxX()) - x0, std::ceil(a.maxY()) - y0};
    }

    friend bool operator==(const Rect&, const Rect&) = default;
};

// x' = a*x + c*y + tx, y' = b*x + d*y + ty. `t1.concatenating(t2)` applies t1 first, then t2; the
// rotated/scaled/translated helpers apply the new step before the existing transform, as the platform's
// functions of the same names do.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static AffineTransform identity() { return {}; }
    static AffineTransform rotation(double radians) {
        double s = std::sin(radians), co = std::cos(radians);
        return {co, s, -s, co, 0, 0};
    }
    static AffineTransform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
    static AffineTransform translation(double dx, double dy) { return {1, 0, 0, 1, dx, dy}; }

    bool isIdentity() const { return *this == AffineTransform{}; }
    bool isFinite() const {
        return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d) && std::isfinite(tx) &&
               std::isfinite(ty);
    }
    double determinant() const { return a * d - b * c; }
    bool isInvertible() const { return determinant() != 0 && std::isfinite(determinant()); }

    AffineTransform concatenating(const AffineTransform& t) const {
        return {a * t.a + b * t.c, a * t.b + b * t.d, c * t.a + d * t.c, c * t.b + d * t.d, tx * t.a + ty * t.c + t.tx,
                tx * t.b + ty * t.d + t.ty};
    }
    AffineTransform rotated(double radians) const { return rotation(radians).concatenating(*this); }
    AffineTransform scaled(double sx, double sy) const { return scale(sx, sy).concatenating(*this); }
    AffineTransform translated(double dx, double dy) const { return translation(dx, dy).concatenating(*this); }
    // The inverse; the transform itself when it has none.
    AffineTransform inverted() const {
        double det = determinant();
        if (!isInvertible())
            return *this;
        return {d / det, -b / det, -c / det, a / det, (c * ty - d * tx) / det, (b * tx - a * ty) / det};
    }

    Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
    Size apply(Size s) const { return {a * s.width + c * s.height, b * s.width + d * s.height}; }
    // The bounding box of the transformed rectangle.
    Rect apply(const Rect& r) const {
        Rect s = r.standardized();
        Point p[4] = {apply(s.origin), apply(Point{s.maxX(), s.minY()}), apply(Point{s.minX(), s.maxY()}),
                      apply(Point{s.maxX(), s.maxY()})};
        double x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
        for (const Point& q : p) {
            x0 = std::min(x0, q.x);
            x1 = std::max(x1, q.x);
            y0 = std::min(y0, q.y);
            y1 = std::max(y1, q.y);
        }
        return {x0, y0, x1 - x0, y1 - y0};
    }

    friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

} // namespace platform
