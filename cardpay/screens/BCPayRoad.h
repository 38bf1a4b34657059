// Opens the native payment road over a host's view controller: the host's state that the road's exit
// gives back (its window's root presentation style and background colour, the status-bar orientation),
// the configuration list (none when the host has none), the transaction number and the payment server
// are stored in BCDataContainer; a BCNavController with the start screen as root is presented over the
// host. The road ends through the screens' exit, which hands {"code", "data"} to `delegate`.
//
// When the application ends (Application::terminate, kApplicationWillTerminateNotification) with the
// road still open and its host waiting, the road's result is handed over then, once: every request and
// poll of the road stops; a "pay" of this order that the server confirmed gives "success"; a payment of
// the order still outstanding is asked about once (`askPaymentResultOnce`), waiting at most
// kResultWaitOnExit seconds: a confirmed "pay" gives "success", a failed one "fail", and no answer (still
// running, lost, too late) "fail" with the reserved data kUnconfirmed; with no payment sent, or only the
// card's authorisation (which pays nothing, whatever its result), the road ends with "cancel". Leaving
// the road from its screens with a payment of the order outstanding asks the same way (BCBaseViewController::exitWithResult).
//
// Main thread only.
#pragma once

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/views/BCNavController.h"
#include "platform/core/Value.h"
#include "platform/ui/ViewController.h"

#include <memory>
#include <optional>
#include <string>

namespace cardpay {

class BCPayRoad {
public:
    static constexpr double kResultWaitOnExit = 3.0;
    static constexpr const char* kUnconfirmed = "unconfirmed";

    BCPayRoad() = delete;

    // What ending the application does to an open road (see above); also run by the notification.
    static void applicationWillTerminate();
    // The application is asked to end again while it ends (a second signal, say): the wait for the
    // payment's result at its end stops at once (or does not start), and the road's result is handed
    // over with what is known then ("fail" with kUnconfirmed for a payment still unsettled). Before that
    // wait starts, the result delegate is told that result (bankCardPayResultIfCutShort). Safe to call
    // from a signal handler, on any thread: the waiting loop sees it on its next turn.
    static void hurry();

    // A payment command that pays the order (BCPayment::paysTheOrder) was sent and its result is not
    // known, and no "pay" of the order is confirmed: the road's result is not the road's to say unasked.
    static bool orderPaymentUnsettled();
    // The result of a road ending with `intended` ("cancel", "fail") once the unsettled payment was asked
    // about (`answer`: what askPaymentResultOnce said, none when not asked or no answer came): "success"
    // when a "pay" of the order is confirmed; "fail" with the reserved data kUnconfirmed while a payment
    // of the order is still unsettled; "fail" when the payment asked about failed; else `intended`.
    static std::string resultAfterAsking(const std::string& intended, std::optional<bool> answer);

    // Nothing is opened (none answered) for a host whose view is not in a window, or an empty
    // transaction number or server address.
    static std::shared_ptr<BCNavController> start(const std::shared_ptr<platform::ViewController>& host, const std::string& tn,
                                                  const std::string& serverURL, std::weak_ptr<BCPayResultDelegate> delegate,
                                                  std::optional<platform::Dictionary> bundleConfig = std::nullopt);
};

} // namespace cardpay
