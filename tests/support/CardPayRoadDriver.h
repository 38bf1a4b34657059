// Drives the payment road's screens as a user would, for the screen tests: taps what shows a title,
// types into the field with a placeholder, presses the keys of the digit keyboard on screen, waits until
// the loading box is gone and a screen of a given class is on top, and writes the screen as a PNG.
//
//     hybtest::CardPayRoadDriver road(window, &clock);
//     ASSERT_TRUE(road.waitForScreen<cardpay::BCOrderInfoViewController>());
//     ASSERT_TRUE(road.type("银行卡号 Card number", "6222021234567894"));
//     ASSERT_TRUE(road.tap("下一步 Next"));
//
// Everything is found on screen: in the shown windows, the front-most window and the front-most view
// first, skipping hidden and fully transparent views. Taps go through the platform's touch driver, so a
// box over a button makes its tap fail ("covered by ..."). Each action answers an AssertionResult whose
// message says what was missing and what was shown instead.
//
// Time: given a virtual clock, waiting moves it on in small steps while a screen transition (a
// presentation, a dismissal, a push or pop) or a view animation (the body making room for the keyboard,
// say) is under way, and only then; the road's other timers (delays, time-outs) fire only when the test
// moves the clock (`advance`), or when they come due during such steps. Without a clock, waiting only
// turns the main run loop. A tap first waits until the screen is still, as a user would.
//
// Main thread only (the thread that owns the main run loop).
#pragma once

#include "platform/core/Error.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Image.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

namespace cardpay {
class BCAlertViewEx;
class BCKeyboard;
}

namespace hybtest {

class CardPayRoadDriver {
public:
    static constexpr std::chrono::milliseconds kDefaultLimit{10'000};  // real time, for each wait
    static constexpr double kTransitionStep = 0.05;                      // virtual seconds per step

    // `window` shows the host; the road is presented over its root. `clock` may be none.
    explicit CardPayRoadDriver(std::shared_ptr<platform::Window> window, platform::VirtualClock* clock = nullptr);

    // The screen the user sees: the last controller presented over the window's root or, when that is a
    // navigation controller, its top controller. The root itself when nothing is presented.
    std::shared_ptr<platform::ViewController> topScreen() const;
    template <class Screen>
    std::shared_ptr<Screen> top() const { return std::dynamic_pointer_cast<Screen>(topScreen()); }

    // A loading box is shown somewhere on screen.
    bool isLoading() const;
    // The front-most shown alert box (not a loading box), if any; and its message.
    std::shared_ptr<cardpay::BCAlertViewEx> alertBox() const;
    std::optional<std::string> alertMessage() const;
    // A presentation, dismissal, push or pop, or a view animation in a shown window, is under way.
    bool isInTransition() const;

    // Taps the front-most shown button whose title is `title`, else the front-most shown label with that
    // text (the control it sits in takes the touch). Fails when the control is disabled or something
    // else (a box over it) takes the tap.
    testing::AssertionResult tap(const std::string& title);
    // Taps a view found otherwise (a button that shows only a picture); `what` names it in messages.
    testing::AssertionResult tapOn(platform::View& view, const std::string& what) { return tapView(view, what); }
    // Taps the front-most shown text field with that placeholder (it must take the focus), then types
    // `text` as the desktop's keys would: into the digit keyboard's keys when that is the field's input view.
    testing::AssertionResult type(const std::string& placeholder, const std::string& text);
    // Taps the keys of the digit keyboard on screen: each character of `digits` must be a digit.
    testing::AssertionResult pressKeys(const std::string& digits);
    testing::AssertionResult pressDone();
    testing::AssertionResult pressDelete();

    // Turns the main loop until `done` holds (moving the clock through transitions, see above).
    testing::AssertionResult waitUntil(const std::function<bool()>& done, const std::string& what,
                                       std::chrono::milliseconds limit = kDefaultLimit);
    // Until no loading box shows, no transition is under way and a screen of class Screen is on top.
    template <class Screen>
    testing::AssertionResult waitForScreen(std::chrono::milliseconds limit = kDefaultLimit) {
        return waitForScreenWhere([](platform::ViewController& screen) { return dynamic_cast<Screen*>(&screen) != nullptr; },
                                  typeid(Screen), limit);
    }
    testing::AssertionResult waitForScreenWhere(const std::function<bool(platform::ViewController&)>& isScreen,
                                                const std::type_info& screenClass, std::chrono::milliseconds limit = kDefaultLimit);
    // Until no transition or animation is under way.
    testing::AssertionResult settle(std::chrono::milliseconds limit = kDefaultLimit);
    // Moves the virtual clock on (firing the road's timers) and lets the loop run what became due.
    void advance(double seconds);

    // What the screen shows: every shown window, back to front, at `scale` pixels per point.
    platform::Result<platform::Image::Ptr> screenImage(double scale = 2) const;
    platform::Status writePNG(const std::string& path, double scale = 2) const;
    // The screen against the reference tests/<label>/snapshots/<name>.png (see support/Snapshot.h).
    void expectScreenSnapshotIn(const std::string& label, const std::string& name) const;
#ifdef HYB_TEST_LABEL
    void expectScreenSnapshot(const std::string& name) const { expectScreenSnapshotIn(HYB_TEST_LABEL, name); }
#endif

    // The titles and texts shown, front-most first (for messages and tests).
    std::vector<std::string> shownTitles() const;

    const std::shared_ptr<platform::Window>& window() const { return m_window; }

private:
    std::shared_ptr<cardpay::BCKeyboard> shownKeyboard() const;
    testing::AssertionResult tapView(platform::View& view, const std::string& what);
    std::string describeScreen() const;

    std::shared_ptr<platform::Window> m_window;
    platform::VirtualClock* m_clock;
};

// A readable class name (demangled).
std::string className(const std::type_info& type);

} // namespace hybtest
