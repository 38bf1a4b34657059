// hybridhost --cardpay-demo URL: the bank-card payment road opened over the host's view controller for
// a sample order, against the payment server at URL (cardpay-test-server serves one). When the road ends,
// the host's result dictionary is written to the output as one line of JSON and the page shows again;
// when the application ends with the road open, the road hands its result over then (BCPayRoad.h), so the
// demo must live until the application's termination handlers have run.
//
// Main thread only.
#pragma once

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/views/BCNavController.h"
#include "platform/core/Error.h"
#include "platform/ui/ViewController.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace app {

class CardPayDemo : public cardpay::BCPayResultDelegate, public std::enable_shared_from_this<CardPayDemo> {
public:
    // The sample order's transaction number.
    static constexpr const char* kTransactionNumber = "201712010001";
    // How often the road is looked at while waiting for the order screen.
    static constexpr double kOrderScreenPollSeconds = 0.1;

    static std::shared_ptr<CardPayDemo> create(std::string serverURL, std::FILE* output);
    // Nothing of this demo's road is left for handOverIfCutShort.
    ~CardPayDemo() override;

    // Opens the road over `host` (which must be in a window).
    platform::Status open(const std::shared_ptr<platform::ViewController>& host);
    // `shown` runs once, when the order screen is on top of the road and still: no transition, no
    // animation of its view, no loading box.
    void whenOrderScreenShows(std::function<void()> shown);

    const std::shared_ptr<cardpay::BCNavController>& navigation() const { return m_navigation; }
    bool hasEnded() const { return m_ended; }
    // The order screen is on top and still (see above).
    bool isOrderScreenShown() const;

    void bankCardPayDidFinish(const platform::Dictionary& result) override;
    // Keeps the line of that result ready for handOverIfCutShort.
    void bankCardPayResultIfCutShort(const platform::Dictionary& result) override;

    // For a signal handler ending the process at once: writes the line kept ready for a road whose wait
    // for a payment's result is cut short, unless the road's result was written. True when nothing of a
    // road is left to write (written now or before, or no road open); false while a road that has told
    // no such line awaits its result, or while the road's own line or (by another call, on any thread)
    // the line kept ready is being written. Async-signal-safe; any thread.
    static bool handOverIfCutShort();

private:
    CardPayDemo(std::string serverURL, std::FILE* output) : m_serverURL(std::move(serverURL)), m_output(output) {}
    void watchForOrderScreen();

    std::string m_serverURL;
    std::FILE* m_output;
    std::shared_ptr<cardpay::BCNavController> m_navigation;
    std::function<void()> m_orderScreenShown;
    bool m_ended = false;
    bool m_cutShortTold = false;
};

} // namespace app
