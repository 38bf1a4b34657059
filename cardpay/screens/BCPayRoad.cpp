#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/core/BCHttpsConnect.h"
#include "cardpay/screens/BCEntrustViewController.h"
#include "cardpay/screens/BCInitViewController.h"
#include "cardpay/screens/BCInputCardViewController.h"
#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCSucceedViewController.h"
#include "cardpay/screens/BCUserInfoViewController.h"
#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/ui/Window.h"

#include <atomic>

namespace cardpay {

namespace {

// The application was asked to end again while it ends (BCPayRoad::hurry, maybe from a signal handler).
std::atomic<bool>& hurried() {
    static std::atomic<bool> flag{false};
    return flag;
}

} // namespace

std::shared_ptr<BCNavController> BCPayRoad::start(const std::shared_ptr<platform::ViewController>& host, const std::string& tn,
                                                  const std::string& serverURL, std::weak_ptr<BCPayResultDelegate> delegate,
                                                  std::optional<platform::Dictionary> bundleConfig) {
    const auto window = host && host->isViewLoaded() ? std::dynamic_pointer_cast<platform::Window>(host->view()->rootView()) : nullptr;
    if (!window || tn.empty() || serverURL.empty()) {
        platform::Log::write("BCPayRoad: the payment road needs a host in a window, a transaction number and a server address");
        return nullptr;
    }
    hurried() = false;
    const auto container = BCDataContainer::instance();
    container->setRootViewController(host);
    if (const auto windowRoot = window->rootViewController())
        container->setRootViewControllerPresentationStyle(static_cast<long long>(windowRoot->modalPresentationStyle()));
    container->setWindowColor(window->backgroundColor());
    container->setDefaultOrientation(platform::Application::shared().statusBarOrientation());
    container->setBundleConfig(std::move(bundleConfig));
    container->setMTN(tn);
    container->setResultDelegate(std::move(delegate));
    BCHttpsConnect::instance()->setServerURL(serverURL);
    // A second start keeps the first registrations.
    BCOrderInfoViewController::registerScreen();
    BCPayingViewController::registerScreen();
    BCEntrustViewController::registerScreen();
    BCSucceedViewController::registerScreen();
    BCUserInfoViewController::registerScreen();
    BCInputCardViewController::registerScreen();

    static const int kTerminationObserver = 0;
    auto& center = platform::NotificationCenter::defaultCenter();
    center.removeObserver(&kTerminationObserver);
    center.addObserver(&kTerminationObserver, platform::kApplicationWillTerminateNotification, nullptr,
                       [](const platform::Notification&) { applicationWillTerminate(); });

    auto start = std::make_shared<BCInitViewController>();
    auto navigation = BCNavController::initWithRootViewController(start);
    start->viewControllerPresentModalViewController(host, navigation);
    return navigation;
}

void BCPayRoad::hurry() { hurried() = true; }

void BCPayRoad::applicationWillTerminate() {
    const auto container = BCDataContainer::instance();
    if (!container->awaitsResult())
        return;
    container->setRoadEnding();     // nothing is paid while the result is decided
    BCMPService::releaseCommon();  // no screen hears anything more
    std::optional<bool> answer;
    if (orderPaymentUnsettled() && !hurried()) {
        // Cut short, the wait ends with what is known now: the payment unconfirmed (resultAfterAsking).
        container->tellResultIfCutShort("fail", kUnconfirmed);
        bool over = false;
        auto& loop = platform::RunLoop::main();
        const auto timer = loop.scheduleTimer(platform::seconds(kResultWaitOnExit), [&] { over = true; });
        const auto cancel = BCMPService::askPaymentResultOnce([&](std::optional<bool> said) {
            answer = said;
            over = true;
        });
        while (!over && !hurried())
            loop.runOnce(platform::Clock::current().now() + platform::seconds(kResultWaitOnExit));
        timer->invalidate();
        cancel();
    }
    const std::string result = resultAfterAsking("cancel", answer);
    platform::Log::write("BCPayRoad: the application ends with the road open: \"" + result + "\"");
    container->didFinishedWithResult(result);
}

bool BCPayRoad::orderPaymentUnsettled() {
    const auto container = BCDataContainer::instance();
    const auto& outstanding = container->outstandingPayment();
    return !container->orderPaid() && outstanding && outstanding->paysTheOrder();
}

std::string BCPayRoad::resultAfterAsking(const std::string& intended, std::optional<bool> answer) {
    const auto container = BCDataContainer::instance();
    if (container->orderPaid())
        return "success";
    if (orderPaymentUnsettled()) {
        container->setReserved(std::string(kUnconfirmed));
        return "fail";
    }
    if (answer == false)
        return "fail";
    return intended;
}

} // namespace cardpay
