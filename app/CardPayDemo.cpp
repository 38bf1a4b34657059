#include "app/CardPayDemo.h"

#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "platform/JSON.h"
#include "platform/RunLoop.h"
#include "platform/ui/ViewAnimation.h"

namespace app {

std::shared_ptr<CardPayDemo> CardPayDemo::create(std::string serverURL, std::FILE* output) {
    return std::shared_ptr<CardPayDemo>(new CardPayDemo(std::move(serverURL), output));
}

platform::Status CardPayDemo::open(const std::shared_ptr<platform::ViewController>& host) {
    m_navigation = cardpay::BCPayRoad::start(host, kTransactionNumber, m_serverURL, weak_from_this());
    if (!m_navigation)
        return platform::Error("HYBCardPayDemo", 1, "the payment road cannot be opened: the host's view is not in a window");
    watchForOrderScreen();
    return {};
}

void CardPayDemo::whenOrderScreenShows(std::function<void()> shown) {
    m_orderScreenShown = std::move(shown);
    watchForOrderScreen();
}

bool CardPayDemo::isOrderScreenShown() const {
    if (!m_navigation || m_ended || m_navigation->isBeingTransitioned())
        return false;
    const auto order = std::dynamic_pointer_cast<cardpay::BCOrderInfoViewController>(m_navigation->topViewController());
    if (!order || !order->isViewLoaded() || platform::ViewAnimation::isAnimating(*order->view()))
        return false;
    return !(order->mAlertView() && order->mAlertView()->isLoadingStyle());
}

void CardPayDemo::watchForOrderScreen() {
    if (!m_navigation || !m_orderScreenShown)
        return;
    if (isOrderScreenShown()) {
        auto shown = std::move(m_orderScreenShown);
        m_orderScreenShown = nullptr;
        shown();
        return;
    }
    if (m_ended)
        return;
    platform::RunLoop::main().performAfterDelay(kOrderScreenPollSeconds, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->watchForOrderScreen();
    });
}

void CardPayDemo::bankCardPayDidFinish(const platform::Dictionary& result) {
    m_ended = true;
    auto line = platform::JSON::writeCompact(platform::Value(result));
    if (!line.ok()) {
        std::fprintf(stderr, "hybridhost: the payment road's result cannot be written: %s\n", line.error().localizedDescription().c_str());
        return;
    }
    std::fprintf(m_output, "%s\n", line->c_str());
    std::fflush(m_output);
}

} // namespace app
