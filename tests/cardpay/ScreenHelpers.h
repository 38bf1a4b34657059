// What the screen tests of the payment road share: reaching a form's cells, filling them, waiting for a
// screen on top, reading the box's message and the tracker's events.
#pragma once

#include "cardpay/cells/BCInputCells.h"
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/screens/BCBaseViewController.h"
#include "cardpay/tracker/YLUniTracker.h"
#include "support/RunLoopWait.h"

#include <memory>
#include <string>
#include <vector>

namespace cardpaytest {

inline std::shared_ptr<cardpay::BCBaseCell> formCell(const cardpay::BCBaseViewController& screen, std::size_t i) {
    return std::static_pointer_cast<cardpay::BCBaseCell>(screen.paymentElementsView()->elementArray().at(i));
}

// Types the digits on a cell's own digit keyboard (the PIN cell keeps them inside its keyboard).
inline void typeDigits(cardpay::BCBaseCell& cell, const std::string& digits) {
    for (const char c : digits)
        cell.keyboard()->digitKey(c - '0')->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
}

// The message of the box on the screen, "" without one.
inline std::string alertText(const cardpay::BCBaseViewController& screen) {
    return screen.mAlertView() && screen.mAlertView()->messageLabel() ? screen.mAlertView()->messageLabel()->text() : "";
}

template <class Screen>
bool waitForTop(const std::shared_ptr<platform::NavigationController>& navigation) {
    return hybtest::runMainUntil([&] {
        return std::dynamic_pointer_cast<Screen>(navigation->topViewController()) != nullptr && !navigation->isBeingTransitioned();
    });
}

// Takes the road's navigation off the host at once, so that another can be presented.
inline void dismissRoad(const std::shared_ptr<platform::ViewController>& host) {
    bool done = false;
    host->dismissViewController(false, [&done] { done = true; });
    hybtest::runMainUntil([&] { return done; });
}

// The tracker's calls of one operation, each as its arguments.
inline std::vector<platform::Array> trackerCalls(const std::string& operation) {
    std::vector<platform::Array> calls;
    for (const auto& call : cardpay::YLUniTracker::recordedCalls())
        if (call.operation == operation)
            calls.push_back(call.arguments);
    return calls;
}

} // namespace cardpaytest
