// View animations on the platform clock (Clock::current(); a VirtualClock in tests).
//
// Changes made inside an animation block (animate, beginAnimations/commitAnimations) to a view's centre,
// frame, bounds, transform, alpha or background colour take effect in the model at once; the renderer
// draws the in-between value until the animation ends.
//
// Guarantees:
// - Main thread only.
// - A completion runs on the main run loop after delay plus duration with finished true (completions
//   run in the order of their end times, ties in the order the animations started). It runs with
//   finished false, on a later turn, when the animation was cancelled first: a view it animates left
//   its window, a new animation of the same property of the same view started, or the view's layer's
//   animations were removed. Each completion runs once.
// - With the repeat option an animation runs until it is cancelled.
// - Each animation, transition and committed named animation is recorded (name, duration, delay,
//   options) for tests.
// - While a view runs an animation without AllowUserInteraction, touches pass it by.
#pragma once

#include "platform/core/Geometry.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class View;

// The platform's option bits.
enum ViewAnimationOptions : unsigned {
    kAnimationOptionLayoutSubviews = 1u << 0,
    kAnimationOptionAllowUserInteraction = 1u << 1,
    kAnimationOptionBeginFromCurrentState = 1u << 2,
    kAnimationOptionRepeat = 1u << 3,
    kAnimationOptionAutoreverse = 1u << 4,
    kAnimationOptionCurveEaseInOut = 0,
    kAnimationOptionCurveEaseIn = 1u << 16,
    kAnimationOptionCurveEaseOut = 2u << 16,
    kAnimationOptionCurveLinear = 3u << 16,
    kAnimationOptionCurveMask = 3u << 16,
    kAnimationOptionTransitionNone = 0,
    kAnimationOptionTransitionFlipFromLeft = 1u << 20,
    kAnimationOptionTransitionFlipFromRight = 2u << 20,
    kAnimationOptionTransitionCurlUp = 3u << 20,
    kAnimationOptionTransitionCurlDown = 4u << 20,
    kAnimationOptionTransitionCrossDissolve = 5u << 20,
    kAnimationOptionTransitionFlipFromTop = 6u << 20,
    kAnimationOptionTransitionFlipFromBottom = 7u << 20,
};

// The curves of the older begin/commit interface; the platform's numbers.
enum class AnimationCurve { EaseInOut = 0, EaseIn = 1, EaseOut = 2, Linear = 3 };

struct AnimationRecord {
    std::string name;  // "" for blocks; "transition" for transitions; the name given to beginAnimations
    double duration = 0;
    double delay = 0;
    unsigned options = 0;
    friend bool operator==(const AnimationRecord&, const AnimationRecord&) = default;
};

class ViewAnimation {
public:
    using Block = std::function<void()>;
    using Completion = std::function<void(bool finished)>;

    static void animate(double duration, double delay, unsigned options, const Block& animations, Completion completion = {});
    static void animate(double duration, const Block& animations, Completion completion = {}) {
        animate(duration, 0, 0, animations, std::move(completion));
    }
    // A transition of `view`'s content: the block's changes show at once; the completion follows the
    // same rules as above.
    static void transition(View& view, double duration, unsigned options, const Block& animations, Completion completion = {});

    // The older interface: changes between begin and commit animate together. Setters apply to the
    // innermost open animation; outside one they do nothing.
    static void beginAnimations(const std::string& name);
    static void setAnimationDuration(double duration);
    static void setAnimationDelay(double delay);
    static void setAnimationCurve(AnimationCurve curve);
    static void setAnimationRepeatCount(double count);
    static void setAnimationRepeatAutoreverses(bool autoreverses);
    static void setAnimationBeginsFromCurrentState(bool fromCurrent);
    // Told when the animation stops (the platform's delegate and selector, as a block).
    static void setAnimationDidStop(Completion completion);
    static void commitAnimations();

    // Whether any animation of the view is running now.
    static bool isAnimating(const View& view);
    // What ran since the last clearRecords, oldest first.
    static const std::vector<AnimationRecord>& records();
    static void clearRecords();

    // The value of a curve (linear, the cubic ease curves) at progress t in [0, 1].
    static double curveValue(unsigned options, double t);
};

} // namespace platform
