#include "platform/ui/Layer.h"
#include "platform/ui/View.h"

#include "platform/ui/View.h"
#include "platform/ui/ViewAnimationSupport.h"

#include <algorithm>
#include <chrono>

namespace platform {

std::optional<double> Animation::valueAt(Clock::TimePoint now) const {
    if (!(duration > 0) || !std::isfinite(duration))
        return std::nullopt;
    Clock::TimePoint begin = beginTime.value_or(now);
    double elapsed = std::chrono::duration<double>(now - begin).count();
    if (elapsed < 0)
        return std::nullopt;
    double cycles = elapsed / duration;
    bool forever = std::isinf(repeatCount);
    double repeats = forever ? 0 : std::max(repeatCount, 1.0);
    if (!forever && cycles >= repeats)
        return std::nullopt;
    const double completed = std::floor(cycles);
    const double progress = cycles - completed;
    const double start = cumulative ? fromValue + (toValue - fromValue) * completed : fromValue;
    return start + (toValue - fromValue) * progress;
}

Layer::~Layer() { animation::forget(*this); }

ContentMode Layer::contentsMode() const { return ContentMode::ScaleToFill; }

void Layer::setFrame(Rect frame) {
    if (!frame.isFinite())
        return;
    frame.size.width = std::max(0.0, frame.size.width);
    frame.size.height = std::max(0.0, frame.size.height);
    m_frame = frame;
}

void Layer::setShadowOffset(Size offset) {
    if (std::isfinite(offset.width) && std::isfinite(offset.height))
        m_shadowOffset = offset;
}

void Layer::addSublayer(const std::shared_ptr<Layer>& layer) { insertSublayerAt(layer, m_sublayers.size()); }

void Layer::insertSublayerAt(const std::shared_ptr<Layer>& layer, std::size_t index) {
    if (!layer || layer.get() == this)
        return;
    for (auto up = superlayer(); up; up = up->superlayer())
        if (up == layer)
            return;  // no cycles
    std::shared_ptr<Layer> keep = layer;
    keep->removeFromSuperlayer();
    index = std::min(index, m_sublayers.size());
    m_sublayers.insert(m_sublayers.begin() + static_cast<std::ptrdiff_t>(index), keep);
    keep->m_superlayer = weak_from_this();
    changed();
}

void Layer::insertSublayerBelow(const std::shared_ptr<Layer>& layer, const std::shared_ptr<Layer>& sibling) {
    if (layer == sibling)
        return;
    std::shared_ptr<Layer> keep = layer;
    if (keep)
        keep->removeFromSuperlayer();
    auto it = std::find(m_sublayers.begin(), m_sublayers.end(), sibling);
    insertSublayerAt(keep, it == m_sublayers.end() ? 0 : static_cast<std::size_t>(it - m_sublayers.begin()));
}

void Layer::insertSublayerAbove(const std::shared_ptr<Layer>& layer, const std::shared_ptr<Layer>& sibling) {
    if (layer == sibling)
        return;
    std::shared_ptr<Layer> keep = layer;
    if (keep)
        keep->removeFromSuperlayer();
    auto it = std::find(m_sublayers.begin(), m_sublayers.end(), sibling);
    insertSublayerAt(keep, it == m_sublayers.end() ? m_sublayers.size() : static_cast<std::size_t>(it - m_sublayers.begin()) + 1);
}

void Layer::removeFromSuperlayer() {
    auto parent = superlayer();
    if (!parent)
        return;
    auto self = shared_from_this();
    auto& siblings = parent->m_sublayers;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), self), siblings.end());
    m_superlayer.reset();
    changed();
}

void Layer::changed() { View::displayDidChange(); }

void Layer::addAnimation(Animation animation, const std::string& key) {
    if (!animation.beginTime)
        animation.beginTime = Clock::current().now();
    if (animation.keyPath.empty())
        return;
    if (m_animations.erase(key))
        m_animationOrder.erase(std::remove(m_animationOrder.begin(), m_animationOrder.end(), key), m_animationOrder.end());
    m_animations.emplace(key, std::move(animation));
    m_animationOrder.push_back(key);
    changed();
}

const Animation* Layer::animationForKey(const std::string& key) const {
    auto it = m_animations.find(key);
    return it == m_animations.end() ? nullptr : &it->second;
}

void Layer::removeAnimation(const std::string& key) {
    animation::layerAnimationsRemoved(*this, &key);
    if (m_animations.erase(key))
        m_animationOrder.erase(std::remove(m_animationOrder.begin(), m_animationOrder.end(), key), m_animationOrder.end());
}

void Layer::removeAllAnimations() {
    animation::layerAnimationsRemoved(*this, nullptr);
    m_animations.clear();
    m_animationOrder.clear();
}

std::vector<std::string> Layer::animationKeys() const { return m_animationOrder; }

void Layer::pruneFinished(Clock::TimePoint now) {
    for (auto it = m_animationOrder.begin(); it != m_animationOrder.end();) {
        const Animation& a = m_animations.at(*it);
        if (a.removedOnCompletion && !a.valueAt(now) && a.beginTime && *a.beginTime <= now) {
            m_animations.erase(*it);
            it = m_animationOrder.erase(it);
        } else {
            ++it;
        }
    }
}

double Layer::presentationOpacity(Clock::TimePoint now) {
    pruneFinished(now);
    double opacity = m_opacity;
    for (const std::string& key : m_animationOrder) {
        const Animation& a = m_animations.at(key);
        if (a.keyPath == "opacity")
            if (auto v = a.valueAt(now))
                opacity = std::clamp(*v, 0.0, 1.0);
    }
    return opacity;
}

AffineTransform Layer::presentationTransform(Clock::TimePoint now) {
    pruneFinished(now);
    AffineTransform t;
    for (const std::string& key : m_animationOrder) {
        const Animation& a = m_animations.at(key);
        auto v = a.valueAt(now);
        if (!v || !std::isfinite(*v))
            continue;
        if (a.keyPath == "transform.rotation" || a.keyPath == "transform.rotation.z" || a.keyPath == "transform")
            t = AffineTransform::rotation(*v);
        else if (a.keyPath == "transform.scale")
            t = AffineTransform::scale(*v, *v);
    }
    return t;
}

std::vector<std::pair<double, Color>> GradientLayer::stops() const {
    std::vector<std::pair<double, Color>> out;
    std::size_t n = m_colors.size();
    bool useLocations = m_locations.size() == n;
    for (std::size_t i = 0; i < n; ++i) {
        double at = useLocations ? m_locations[i] : (n == 1 ? 0 : static_cast<double>(i) / static_cast<double>(n - 1));
        at = std::isfinite(at) ? std::clamp(at, 0.0, 1.0) : 0;
        if (!out.empty())
            at = std::max(at, out.back().first);
        out.emplace_back(at, m_colors[i]);
    }
    return out;
}

} // namespace platform
