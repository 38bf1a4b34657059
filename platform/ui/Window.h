// The window: the root of a view tree, with a root view controller, a key-window flag, and the
// rotation driver that asks the shown controller the platform's orientation questions.
//
// Guarantees:
// - Main thread only. Make windows with Window::create (views are shared objects).
// - makeKeyAndVisible shows the window and makes it the key window; the root controller gets
//   viewWillAppear at once and viewDidAppear on a later turn of the main run loop.
// - rotateTo(o) rotates only when the top presented controller answers shouldAutorotate with YES, its
//   supportedInterfaceOrientations contain o, and so does the application's mask for the window. Then
//   every controller of the presentation chain, root first, gets willRotateToInterfaceOrientation,
//   viewWillTransitionToSize and didRotateFromInterfaceOrientation, in that order; the coordinator's
//   completions run last.
#pragma once

#include "platform/system/InterfaceOrientation.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewController.h"

#include <cmath>
#include <functional>
#include <memory>

namespace platform {

// Window levels, the platform's numbers: higher levels show above lower ones.
inline constexpr double kWindowLevelNormal = 0;
inline constexpr double kWindowLevelStatusBar = 1000;
inline constexpr double kWindowLevelAlert = 2000;

class Window : public View {
public:
    static std::shared_ptr<Window> create(Rect frame);
    ~Window() override;

    std::shared_ptr<ViewController> rootViewController() const { return m_rootViewController; }
    void setRootViewController(std::shared_ptr<ViewController> controller);

    void makeKeyAndVisible();
    void makeKeyWindow();
    bool isKeyWindow() const;
    // The key window, if one is alive.
    static std::shared_ptr<Window> keyWindow();

    double windowLevel() const { return m_windowLevel; }
    void setWindowLevel(double level) { if (std::isfinite(level)) m_windowLevel = level; }
    // The windows that are shown, back to front (by level; at one level, in the order they were made).
    static std::vector<std::shared_ptr<Window>> visibleWindows();

    InterfaceOrientation orientation() const { return m_orientation; }
    // The rotation driver (the device turned). Returns whether the interface rotated.
    bool rotateTo(InterfaceOrientation orientation, double duration = 0.3);

    // The application's orientation mask for this window; all orientations when unset.
    using OrientationMaskProvider = std::function<InterfaceOrientationMask(const Window&)>;
    static void setApplicationOrientationMaskProvider(OrientationMaskProvider provider);

private:
    explicit Window(Rect frame);

    std::shared_ptr<ViewController> m_rootViewController;
    InterfaceOrientation m_orientation = InterfaceOrientation::Portrait;
    double m_windowLevel = kWindowLevelNormal;
};

} // namespace platform
