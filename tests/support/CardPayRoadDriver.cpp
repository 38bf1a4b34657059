#include "support/CardPayRoadDriver.h"

#include "cardpay/cells/BCKeyboard.h"
#include "cardpay/views/BCAlertViewEx.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/Label.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/ViewRenderer.h"
#include "support/RunLoopWait.h"
#include "support/Snapshot.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace hybtest {

using platform::View;
using platform::ViewController;
using testing::AssertionFailure;
using testing::AssertionResult;
using testing::AssertionSuccess;

std::string className(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

namespace {

bool isShown(const View& view) { return !view.isHidden() && view.alpha() > 0.01; }

// Calls `visit` for every shown view of the shown windows, front-most first (a view's subviews draw above
// it, later subviews above earlier ones, later windows above earlier ones), until it answers true.
template <class Visit>
bool frontToBack(View& view, Visit& visit) {
    if (!isShown(view))
        return false;
    const auto children = view.subviews();  // a copy: a visit may change the tree
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if (frontToBack(**it, visit))
            return true;
    return visit(view);
}

template <class Visit>
void eachShownView(Visit visit) {
    const auto windows = platform::Window::visibleWindows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it)
        if (frontToBack(**it, visit))
            return;
}

// The front-most shown view of class T that `accept` takes.
template <class T, class Accept>
std::shared_ptr<T> findShown(Accept accept) {
    std::shared_ptr<T> found;
    eachShownView([&](View& view) {
        auto* candidate = dynamic_cast<T*>(&view);
        if (!candidate || !accept(*candidate))
            return false;
        found = std::static_pointer_cast<T>(view.shared_from_this());
        return true;
    });
    return found;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

} // namespace

CardPayRoadDriver::CardPayRoadDriver(std::shared_ptr<platform::Window> window, platform::VirtualClock* clock)
    : m_window(std::move(window)), m_clock(clock) {}

std::shared_ptr<ViewController> CardPayRoadDriver::topScreen() const {
    auto root = m_window ? m_window->rootViewController() : nullptr;
    if (!root)
        return nullptr;
    auto top = root->topPresentedViewController();
    if (auto navigation = std::dynamic_pointer_cast<platform::NavigationController>(top))
        if (auto shown = navigation->topViewController())
            return shown;
    return top;
}

bool CardPayRoadDriver::isLoading() const {
    return findShown<cardpay::BCAlertViewEx>([](const cardpay::BCAlertViewEx& box) { return box.isLoadingStyle(); }) != nullptr;
}

std::shared_ptr<cardpay::BCAlertViewEx> CardPayRoadDriver::alertBox() const {
    return findShown<cardpay::BCAlertViewEx>([](const cardpay::BCAlertViewEx& box) { return !box.isLoadingStyle(); });
}

std::optional<std::string> CardPayRoadDriver::alertMessage() const {
    auto box = alertBox();
    if (!box || !box->messageLabel())
        return std::nullopt;
    return box->messageLabel()->text();
}

bool CardPayRoadDriver::isInTransition() const {
    for (auto controller = m_window ? m_window->rootViewController() : nullptr; controller;
         controller = controller->presentedViewController())
        if (controller->isBeingTransitioned())
            return true;
    bool animating = false;
    eachShownView([&](View& view) { return animating = platform::ViewAnimation::isAnimating(view); });
    return animating;
}

AssertionResult CardPayRoadDriver::tapView(View& view, const std::string& what) {
    if (auto settled = settle(); !settled)
        return settled;
    auto* control = dynamic_cast<platform::Control*>(&view);
    if (control && !control->isEnabled())
        return AssertionFailure() << what << " is disabled";
    auto hit = platform::TouchDriver::tap(view);
    if (!hit)
        return AssertionFailure() << what << " is not in a shown window";
    // A control takes its own taps (its parts are inside it); a text takes the taps of the control it
    // sits in.
    const bool reached = hit.get() == &view || hit->isDescendantOf(view) ||
                         (!control && dynamic_cast<platform::Control*>(hit.get()) && view.isDescendantOf(*hit));
    if (!reached)
        return AssertionFailure() << what << " did not get the tap: a " << className(typeid(*hit)) << " took it" << describeScreen();
    return AssertionSuccess();
}

AssertionResult CardPayRoadDriver::tap(const std::string& title) {
    std::shared_ptr<View> target = findShown<platform::Button>([&](const platform::Button& button) { return button.currentTitle() == title; });
    if (!target)
        target = findShown<platform::Label>([&](const platform::Label& label) { return label.text() == title; });
    if (!target)
        return AssertionFailure() << "nothing shown is titled " << quoted(title) << describeScreen();
    return tapView(*target, quoted(title));
}

AssertionResult CardPayRoadDriver::type(const std::string& placeholder, const std::string& text) {
    auto field = findShown<platform::TextField>([&](const platform::TextField& f) { return f.placeholder() == placeholder; });
    if (!field)
        return AssertionFailure() << "no shown field has the placeholder " << quoted(placeholder) << describeScreen();
    if (!field->isFirstResponder()) {
        if (auto tapped = tapView(*field, "the field " + quoted(placeholder)); !tapped)
            return tapped;
        if (!field->isFirstResponder())
            return AssertionFailure() << "the field " << quoted(placeholder) << " did not take the focus";
    }
    const std::string before = field->text();
    if (!text.empty() && !field->insertText(text))
        return AssertionFailure() << "the field " << quoted(placeholder) << " took nothing of " << quoted(text) << " (it shows "
                                  << quoted(before) << ")";
    return AssertionSuccess();
}

std::shared_ptr<cardpay::BCKeyboard> CardPayRoadDriver::shownKeyboard() const {
    return findShown<cardpay::BCKeyboard>([](const cardpay::BCKeyboard&) { return true; });
}

AssertionResult CardPayRoadDriver::pressKeys(const std::string& digits) {
    auto keyboard = shownKeyboard();
    if (!keyboard)
        return AssertionFailure() << "no digit keyboard is shown" << describeScreen();
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return AssertionFailure() << "the digit keyboard has no key " << quoted(std::string(1, c));
        if (auto pressed = tapView(*keyboard->digitKey(c - '0'), "the key " + std::string(1, c)); !pressed)
            return pressed;
    }
    return AssertionSuccess();
}

AssertionResult CardPayRoadDriver::pressDone() {
    auto keyboard = shownKeyboard();
    if (!keyboard)
        return AssertionFailure() << "no digit keyboard is shown" << describeScreen();
    return tapView(*keyboard->doneKey(), "the Done key");
}

AssertionResult CardPayRoadDriver::pressDelete() {
    auto keyboard = shownKeyboard();
    if (!keyboard)
        return AssertionFailure() << "no digit keyboard is shown" << describeScreen();
    return tapView(*keyboard->deleteKey(), "the delete key");
}

AssertionResult CardPayRoadDriver::waitUntil(const std::function<bool()>& done, const std::string& what,
                                             std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const bool stopped = runMainUntil([&] { return done() || (m_clock && isInTransition()); }, std::max(left, std::chrono::milliseconds(0)));
        if (done())
            return AssertionSuccess();
        if (!stopped)
            return AssertionFailure() << "waited " << limit.count() << " ms for " << what << describeScreen();
        m_clock->advance(kTransitionStep);  // a transition is under way: move it on
    }
}

AssertionResult CardPayRoadDriver::waitForScreenWhere(const std::function<bool(ViewController&)>& isScreen,
                                                      const std::type_info& screenClass, std::chrono::milliseconds limit) {
    return waitUntil(
        [&] {
            auto top = topScreen();
            return top && isScreen(*top) && !isInTransition() && !isLoading();
        },
        "a " + className(screenClass) + " on top without a loading box", limit);
}

AssertionResult CardPayRoadDriver::settle(std::chrono::milliseconds limit) {
    return waitUntil([&] { return !isInTransition(); }, "the transitions and animations to end", limit);
}

void CardPayRoadDriver::advance(double seconds) {
    if (m_clock)
        m_clock->advance(seconds);
    int turns = 0;
    runMainUntil([&] { return ++turns > 3; });  // what the timers posted for a later turn
}

platform::Result<platform::Image::Ptr> CardPayRoadDriver::screenImage(double scale) const {
    const platform::Size size = m_window->bounds().size;
    auto context = platform::ImageContext::begin(size, scale);
    if (!context)
        return platform::Error("HYBTestDriver", 1, "cannot draw a screen of " + std::to_string(size.width) + " x " + std::to_string(size.height) + " points");
    for (const auto& window : platform::Window::visibleWindows())
        window->layoutIfNeeded();
    platform::ViewRenderer::renderScreen(context->context().cairo());
    return context->end();
}

platform::Status CardPayRoadDriver::writePNG(const std::string& path, double scale) const {
    auto image = screenImage(scale);
    if (!image.ok())
        return image.error();
    return image.value()->writePNG(path);
}

void CardPayRoadDriver::expectScreenSnapshotIn(const std::string& label, const std::string& name) const {
    auto image = screenImage();
    ASSERT_TRUE(image.ok()) << "snapshot " << name << ": " << image.error().localizedDescription();
    expectSnapshotImageIn(label, *image.value(), name);
}

std::vector<std::string> CardPayRoadDriver::shownTitles() const {
    std::vector<std::string> titles;
    eachShownView([&](View& view) {
        std::optional<std::string> text;
        if (auto* button = dynamic_cast<platform::Button*>(&view))
            text = button->currentTitle();
        else if (auto* label = dynamic_cast<platform::Label*>(&view))
            text = label->text();
        else if (auto* field = dynamic_cast<platform::TextField*>(&view))
            text = field->text().empty() ? field->placeholder() : field->text();
        if (text && !text->empty() && std::find(titles.begin(), titles.end(), *text) == titles.end())
            titles.push_back(*text);
        return false;
    });
    return titles;
}

std::string CardPayRoadDriver::describeScreen() const {
    std::ostringstream out;
    auto top = topScreen();
    out << "\n  on top: " << (top ? className(typeid(*top)) : std::string("nothing"));
    if (isInTransition())
        out << " (in transition)";
    if (isLoading())
        out << "\n  a loading box is shown";
    if (auto message = alertMessage())
        out << "\n  an alert box says " << quoted(*message);
    out << "\n  shown:";
    for (const auto& title : shownTitles())
        out << " " << quoted(title);
    return out.str();
}

} // namespace hybtest
