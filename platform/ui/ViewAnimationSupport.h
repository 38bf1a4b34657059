// Private to platform/ui: how views and layers tell the animation system about changes. Main thread only.
#pragma once

#include "platform/core/Color.h"
#include "platform/core/Geometry.h"
#include "platform/runloop/Clock.h"

#include <array>
#include <optional>

namespace platform {
class Layer;
class View;
} // namespace platform

namespace platform::animation {

enum class Property { Center, Size, Transform, Alpha, BackgroundColor };

// Every animatable value as up to six numbers, interpolated component by component.
using Values = std::array<double, 6>;
inline Values values(Point p) { return {p.x, p.y}; }
inline Values values(Size s) { return {s.width, s.height}; }
inline Values values(const AffineTransform& t) { return {t.a, t.b, t.c, t.d, t.tx, t.ty}; }
inline Values values(const Color& c) { return {c.red, c.green, c.blue, c.alpha}; }

// A model value of the view changed from `from` to `to`. Inside an animation block this starts an
// animation of the property (replacing, and cancelling, one already running).
void propertyChanged(View& view, Property property, const Values& from, const Values& to);
// The value to draw at `now` while an animation of the property runs.
std::optional<Values> presentationValue(const Layer& layer, Property property, Clock::TimePoint now);
// Whether the view's touches are held back by a running animation without AllowUserInteraction.
bool blocksInteraction(const Layer& layer, Clock::TimePoint now);
// The view and its subviews left their window: their animations are cancelled.
void cancelInTree(View& view);
// The layer's animations were removed (all, or the one of `key`: "position", "bounds", "transform",
// "opacity", "backgroundColor").
void layerAnimationsRemoved(const Layer& layer, const std::string* key);
// The layer is going away.
void forget(const Layer& layer);

} // namespace platform::animation
