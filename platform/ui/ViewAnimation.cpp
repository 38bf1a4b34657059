#include "platform/ui/ViewAnimation.h"

#include "platform/runloop/RunLoop.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewAnimationSupport.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace platform {

namespace {

using animation::Property;
using animation::Values;

// One completion shared by every property an animation block changed.
struct Group {
    ViewAnimation::Completion completion;
    std::shared_ptr<Timer> timer;
    bool done = false;

    // Runs the completion once: at once when it finished, on a later turn when it was cancelled.
    void finish(bool finished) {
        if (done)
            return;
        done = true;
        if (timer)
            timer->invalidate();
        if (!completion)
            return;
        auto block = std::move(completion);
        if (finished)
            block(true);
        else
            RunLoop::main().perform([block = std::move(block)] { block(false); });
    }
};

struct Running {
    Values from{};
    Values to{};
    Clock::TimePoint start;  // after the delay
    double duration = 0;
    double repeatCount = 1;  // infinity: for ever
    unsigned options = 0;
    std::shared_ptr<Group> group;

    bool repeatsForever() const { return std::isinf(repeatCount); }
    double cycle() const { return duration * ((options & kAnimationOptionAutoreverse) ? 2 : 1); }
    bool isOver(Clock::TimePoint now) const {
        return !repeatsForever() && std::chrono::duration<double>(now - start).count() >= cycle() * repeatCount;
    }
    // The value at `now`; before the start, the from value.
    Values valueAt(Clock::TimePoint now) const {
        double elapsed = std::max(0.0, std::chrono::duration<double>(now - start).count());
        double t = duration > 0 ? elapsed / duration : 1;
        if (options & kAnimationOptionAutoreverse) {
            double phase = std::fmod(t, 2.0);
            t = phase <= 1 ? phase : 2 - phase;
        } else if (t > 1) {
            t = std::fmod(t, 1.0);
        }
        double k = ViewAnimation::curveValue(options, std::clamp(t, 0.0, 1.0));
        Values v{};
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = from[i] + (to[i] - from[i]) * k;
        return v;
    }
};

struct Transaction {
    std::string name;
    double duration = 0.2;
    double delay = 0;
    unsigned options = 0;
    double repeatCount = 1;
    ViewAnimation::Completion completion;
    std::shared_ptr<Group> group = std::make_shared<Group>();
};

struct State {
    std::map<const Layer*, std::map<Property, Running>> running;
    std::vector<Transaction> open;
    std::vector<AnimationRecord> records;
};

// Never destroyed: layers may still go away during the program's exit.
State& state() {
    static State* s = new State;
    return *s;
}

double bezier(double p1, double p2, double t) {
    double u = 1 - t;
    return 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t;
}

// The cubic Bézier from (0,0) to (1,1) through control points (x1,y1), (x2,y2), at x.
double cubicAt(double x1, double y1, double x2, double y2, double x) {
    double lo = 0, hi = 1, t = x;
    for (int i = 0; i < 40; ++i) {
        double bx = bezier(x1, x2, t);
        if (std::abs(bx - x) < 1e-7)
            break;
        (bx < x ? lo : hi) = t;
        t = (lo + hi) / 2;
    }
    return bezier(y1, y2, t);
}

const char* keyFor(Property p) {
    switch (p) {
    case Property::Center: return "position";
    case Property::Size: return "bounds";
    case Property::Transform: return "transform";
    case Property::Alpha: return "opacity";
    case Property::BackgroundColor: return "backgroundColor";
    }
    return "";
}

// Starts the completion's timer for an animation block that was just closed.
void commit(Transaction t) {
    State& s = state();
    s.records.push_back({t.name, t.duration, t.delay, t.options});
    auto group = t.group;
    group->completion = std::move(t.completion);
    if ((t.options & kAnimationOptionRepeat) || std::isinf(t.repeatCount))
        return;  // runs until cancelled
    double total = std::max(0.0, t.delay) + std::max(0.0, t.duration) * t.repeatCount *
                                                 ((t.options & kAnimationOptionAutoreverse) ? 2 : 1);
    // The timer's block keeps the group alive until it fires or the group is cancelled.
    group->timer = RunLoop::main().scheduleTimer(seconds(total), [group] { group->finish(true); });
}

} // namespace

namespace animation {

void propertyChanged(View& view, Property property, const Values& from, const Values& to) {
    State& s = state();
    const Layer* layer = view.layer().get();
    auto& props = s.running[layer];
    auto existing = props.find(property);
    Clock::TimePoint now = Clock::current().now();
    if (s.open.empty() || !(s.open.back().duration > 0)) {
        if (existing != props.end())
            props.erase(existing);  // the new value shows at once; the old animation's completion still runs
        if (props.empty())
            s.running.erase(layer);
        return;
    }
    const Transaction& t = s.open.back();
    Running r;
    r.from = from;
    if (existing != props.end()) {
        if (t.options & kAnimationOptionBeginFromCurrentState)
            r.from = existing->second.valueAt(now);
        existing->second.group->finish(false);
    }
    r.to = to;
    r.start = now + seconds(std::max(0.0, t.delay));
    r.duration = t.duration;
    r.repeatCount = (t.options & kAnimationOptionRepeat) ? std::numeric_limits<double>::infinity() : t.repeatCount;
    r.options = t.options;
    r.group = t.group;
    props[property] = r;
}

std::optional<Values> presentationValue(const Layer& layer, Property property, Clock::TimePoint now) {
    State& s = state();
    auto it = s.running.find(&layer);
    if (it == s.running.end())
        return std::nullopt;
    auto p = it->second.find(property);
    if (p == it->second.end())
        return std::nullopt;
    if (p->second.isOver(now)) {
        it->second.erase(p);
        if (it->second.empty())
            s.running.erase(it);
        return std::nullopt;
    }
    return p->second.valueAt(now);
}

bool blocksInteraction(const Layer& layer, Clock::TimePoint now) {
    auto it = state().running.find(&layer);
    if (it == state().running.end())
        return false;
    return std::any_of(it->second.begin(), it->second.end(), [&](const auto& entry) {
        return !(entry.second.options & kAnimationOptionAllowUserInteraction) && !entry.second.isOver(now);
    });
}

void layerAnimationsRemoved(const Layer& layer, const std::string* key) {
    State& s = state();
    auto it = s.running.find(&layer);
    if (it == s.running.end())
        return;
    std::vector<std::shared_ptr<Group>> cancelled;
    for (auto p = it->second.begin(); p != it->second.end();) {
        if (!key || *key == keyFor(p->first)) {
            cancelled.push_back(p->second.group);
            p = it->second.erase(p);
        } else {
            ++p;
        }
    }
    if (it->second.empty())
        s.running.erase(it);
    for (const auto& g : cancelled)
        g->finish(false);
}

void cancelInTree(View& view) {
    layerAnimationsRemoved(*view.layer(), nullptr);
    for (const auto& child : std::vector<std::shared_ptr<View>>(view.subviews()))
        cancelInTree(*child);
}

void forget(const Layer& layer) { state().running.erase(&layer); }

} // namespace animation

double ViewAnimation::curveValue(unsigned options, double t) {
    switch (options & kAnimationOptionCurveMask) {
    case kAnimationOptionCurveEaseIn: return cubicAt(0.42, 0, 1, 1, t);
    case kAnimationOptionCurveEaseOut: return cubicAt(0, 0, 0.58, 1, t);
    case kAnimationOptionCurveLinear: return t;
    default: return cubicAt(0.42, 0, 0.58, 1, t);
    }
}

void ViewAnimation::animate(double duration, double delay, unsigned options, const Block& animations, Completion completion) {
    Transaction t;
    t.duration = std::isfinite(duration) ? std::max(0.0, duration) : 0;
    t.delay = std::isfinite(delay) ? std::max(0.0, delay) : 0;
    t.options = options;
    t.completion = std::move(completion);
    state().open.push_back(std::move(t));
    if (animations)
        animations();
    Transaction closed = std::move(state().open.back());
    state().open.pop_back();
    commit(std::move(closed));
}

void ViewAnimation::transition(View&, double duration, unsigned options, const Block& animations, Completion completion) {
    if (animations)
        animations();
    Transaction t;
    t.name = "transition";
    t.duration = std::isfinite(duration) ? std::max(0.0, duration) : 0;
    t.options = options;
    t.completion = std::move(completion);
    commit(std::move(t));
}

void ViewAnimation::beginAnimations(const std::string& name) {
    Transaction t;
    t.name = name;
    state().open.push_back(std::move(t));
}

namespace {
Transaction* innermost() { return state().open.empty() ? nullptr : &state().open.back(); }
} // namespace

void ViewAnimation::setAnimationDuration(double duration) {
    if (auto* t = innermost(); t && std::isfinite(duration))
        t->duration = std::max(0.0, duration);
}

void ViewAnimation::setAnimationDelay(double delay) {
    if (auto* t = innermost(); t && std::isfinite(delay))
        t->delay = std::max(0.0, delay);
}

void ViewAnimation::setAnimationCurve(AnimationCurve curve) {
    if (auto* t = innermost())
        t->options = (t->options & ~kAnimationOptionCurveMask) | (static_cast<unsigned>(curve) << 16);
}

void ViewAnimation::setAnimationRepeatCount(double count) {
    if (auto* t = innermost(); t && !std::isnan(count))
        t->repeatCount = count > 0 ? count : 1;
}

void ViewAnimation::setAnimationRepeatAutoreverses(bool autoreverses) {
    if (auto* t = innermost())
        t->options = autoreverses ? (t->options | kAnimationOptionAutoreverse) : (t->options & ~kAnimationOptionAutoreverse);
}

void ViewAnimation::setAnimationBeginsFromCurrentState(bool fromCurrent) {
    if (auto* t = innermost())
        t->options = fromCurrent ? (t->options | kAnimationOptionBeginFromCurrentState)
                                 : (t->options & ~kAnimationOptionBeginFromCurrentState);
}

void ViewAnimation::setAnimationDidStop(Completion completion) {
    if (auto* t = innermost())
        t->completion = std::move(completion);
}

void ViewAnimation::commitAnimations() {
    if (state().open.empty())
        return;
    Transaction closed = std::move(state().open.back());
    state().open.pop_back();
    commit(std::move(closed));
}

bool ViewAnimation::isAnimating(const View& view) {
    auto it = state().running.find(view.layer().get());
    if (it == state().running.end())
        return false;
    Clock::TimePoint now = Clock::current().now();
    return std::any_of(it->second.begin(), it->second.end(), [&](const auto& e) { return !e.second.isOver(now); });
}

const std::vector<AnimationRecord>& ViewAnimation::records() { return state().records; }

void ViewAnimation::clearRecords() { state().records.clear(); }

} // namespace platform
