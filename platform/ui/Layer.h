// Layers: what a view looks like beyond its background. Each view has one layer; layers hold sublayers
// drawn above the view's own content and below its subviews. A gradient layer fills with a linear
// gradient; a live image layer shows an image that changes over time (a camera preview, say).
//
// Animations are recorded by key: the renderer draws numeric animations of "opacity", "transform.rotation"
// ("transform.rotation.z"), "transform.scale" and "transform" (a rotation) at the time of
// Clock::current(); the model values do not change.
//
// Guarantees: main thread only. A layer owns its sublayers and holds its superlayer weakly.
#pragma once

#include "platform/core/Color.h"
#include "platform/core/Geometry.h"
#include "platform/runloop/Clock.h"
#include "platform/ui/Image.h"

#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class ContentMode;  // View.h

// A basic animation of one numeric key path, linear from `fromValue` to `toValue`.
struct Animation {
    static constexpr double kRepeatForever = std::numeric_limits<double>::infinity();

    std::string keyPath;
    double fromValue = 0;
    double toValue = 0;
    double duration = 0.25;                 // seconds
    double repeatCount = 1;                 // kRepeatForever (or any infinity) repeats for ever
    bool removedOnCompletion = true;
    bool cumulative = false;                // each repeat starts where the previous one ended
    std::optional<Clock::TimePoint> beginTime;  // set when added, unless given

    // The value at `now`, or nothing once a finite animation is over.
    std::optional<double> valueAt(Clock::TimePoint now) const;
};

class Layer : public std::enable_shared_from_this<Layer> {
public:
    Layer() = default;
    virtual ~Layer();
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    // The frame in the superlayer's coordinates (a view's own layer has its view's bounds).
    Rect frame() const { return m_frame; }
    void setFrame(Rect frame);
    Rect bounds() const { return Rect(Point{}, m_frame.size); }

    double cornerRadius() const { return m_cornerRadius; }
    void setCornerRadius(double radius) { m_cornerRadius = clampNonNegative(radius); changed(); }
    double borderWidth() const { return m_borderWidth; }
    void setBorderWidth(double width) { m_borderWidth = clampNonNegative(width); changed(); }
    Color borderColor() const { return m_borderColor; }
    void setBorderColor(const Color& color) { m_borderColor = color; changed(); }

    Color shadowColor() const { return m_shadowColor; }
    void setShadowColor(const Color& color) { m_shadowColor = color; changed(); }
    Size shadowOffset() const { return m_shadowOffset; }
    void setShadowOffset(Size offset);
    double shadowRadius() const { return m_shadowRadius; }
    void setShadowRadius(double radius) { m_shadowRadius = clampNonNegative(radius); changed(); }
    double shadowOpacity() const { return m_shadowOpacity; }
    void setShadowOpacity(double opacity) { m_shadowOpacity = clampUnit(opacity, m_shadowOpacity); changed(); }

    double opacity() const { return m_opacity; }
    void setOpacity(double opacity) { m_opacity = clampUnit(opacity, m_opacity); changed(); }
    bool masksToBounds() const { return m_masksToBounds; }
    void setMasksToBounds(bool masks) { m_masksToBounds = masks; changed(); }
    bool isHidden() const { return m_hidden; }
    void setHidden(bool hidden) { m_hidden = hidden; changed(); }
    std::optional<Color> backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(std::optional<Color> color) { m_backgroundColor = std::move(color); changed(); }
    // An image drawn over the background, filling the bounds.
    Image::Ptr contents() const { return m_contents; }
    void setContents(Image::Ptr image) { m_contents = std::move(image); changed(); }
    // A transform about the layer's centre (sublayers only; a view's layer follows its view).
    AffineTransform transform() const { return m_transform; }
    void setTransform(const AffineTransform& t) { if (t.isFinite()) m_transform = t; changed(); }

    // Sublayers, back to front.
    const std::vector<std::shared_ptr<Layer>>& sublayers() const { return m_sublayers; }
    std::shared_ptr<Layer> superlayer() const { return m_superlayer.lock(); }
    void addSublayer(const std::shared_ptr<Layer>& layer);
    void insertSublayerAt(const std::shared_ptr<Layer>& layer, std::size_t index);
    // Inserts below (above) `sibling`; at the back (front) when `sibling` is not a sublayer.
    void insertSublayerBelow(const std::shared_ptr<Layer>& layer, const std::shared_ptr<Layer>& sibling);
    void insertSublayerAbove(const std::shared_ptr<Layer>& layer, const std::shared_ptr<Layer>& sibling);
    void removeFromSuperlayer();

    // Animations by key (a later one replaces an earlier one of the same key).
    void addAnimation(Animation animation, const std::string& key);
    const Animation* animationForKey(const std::string& key) const;
    void removeAnimation(const std::string& key);
    void removeAllAnimations();
    std::vector<std::string> animationKeys() const;

    // The opacity and the extra transform (about the centre) the animations give at `now`; finished
    // animations marked removedOnCompletion are dropped here.
    double presentationOpacity(Clock::TimePoint now);
    AffineTransform presentationTransform(Clock::TimePoint now);

    // The image to draw now, above the background (for layers whose picture changes); contents().
    virtual Image::Ptr currentImage() const { return m_contents; }
    // How a sublayer's image fills its bounds (a view's own layer follows the view's content mode).
    virtual ContentMode contentsMode() const;

protected:
    static double clampNonNegative(double v) { return std::isfinite(v) && v > 0 ? v : 0; }
    static double clampUnit(double v, double keep) { return std::isnan(v) ? keep : std::clamp(v, 0.0, 1.0); }
    // What the layer shows changed (View::displayDidChange).
    static void changed();

private:
    void pruneFinished(Clock::TimePoint now);

    Rect m_frame;
    double m_cornerRadius = 0;
    double m_borderWidth = 0;
    Color m_borderColor = Color::black();
    Color m_shadowColor = Color::black();
    Size m_shadowOffset{0, -3};
    double m_shadowRadius = 3;
    double m_shadowOpacity = 0;
    double m_opacity = 1;
    bool m_masksToBounds = false;
    bool m_hidden = false;
    std::optional<Color> m_backgroundColor;
    Image::Ptr m_contents;
    AffineTransform m_transform;
    std::vector<std::shared_ptr<Layer>> m_sublayers;
    std::weak_ptr<Layer> m_superlayer;
    std::map<std::string, Animation> m_animations;
    std::vector<std::string> m_animationOrder;
};

// A linear gradient across the bounds: colours at locations (evenly spread when none are given), from
// startPoint to endPoint in unit coordinates of the bounds; top to bottom by default.
class GradientLayer : public Layer {
public:
    std::vector<Color> colors() const { return m_colors; }
    void setColors(std::vector<Color> colors) { m_colors = std::move(colors); changed(); }
    std::vector<double> locations() const { return m_locations; }
    void setLocations(std::vector<double> locations) { m_locations = std::move(locations); changed(); }
    Point startPoint() const { return m_start; }
    void setStartPoint(Point p) { if (std::isfinite(p.x) && std::isfinite(p.y)) m_start = p; changed(); }
    Point endPoint() const { return m_end; }
    void setEndPoint(Point p) { if (std::isfinite(p.x) && std::isfinite(p.y)) m_end = p; changed(); }

    // The stops to draw: (location, colour), locations clamped to 0-1 and ascending.
    std::vector<std::pair<double, Color>> stops() const;

private:
    std::vector<Color> m_colors;
    std::vector<double> m_locations;
    Point m_start{0.5, 0};
    Point m_end{0.5, 1};
};

// A layer whose picture changes over time: a producer calls setCurrentImage with each new picture (or
// a subclass overrides currentImage), and the next render shows it.
class LiveImageLayer : public Layer {
public:
    Image::Ptr currentImage() const override { return m_current ? m_current : contents(); }
    void setCurrentImage(Image::Ptr image) {
        m_current = std::move(image);
        ++m_generation;
        changed();
    }
    // How many pictures were set; a renderer or a test can tell a new one from the last.
    unsigned long long generation() const { return m_generation; }

private:
    Image::Ptr m_current;
    unsigned long long m_generation = 0;
};

} // namespace platform
