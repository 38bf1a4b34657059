#include "app/CardPayDemo.h"

#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/RunLoop.h"
#include "platform/ui/ViewAnimation.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace app {

namespace {

// The road's result line as seen by a signal handler: none awaited (no road open, or its line written),
// a road awaiting its result, that road's line kept ready should the wait be cut short, the road's own
// line being written on the main thread, or the line kept ready being written by a signal handler (into
// a full pipe, say), which then ends the process.
enum HandOver : int { kNothingAwaited, kAwaited, kLineReady, kWriting, kHandlerWriting };
std::atomic<int> handOver{kNothingAwaited};
// The line kept ready and where it goes; written only while handOver is not kLineReady.
constexpr std::size_t kCutShortLineCapacity = 1024;
char cutShortLine[kCutShortLineCapacity];
std::size_t cutShortLength = 0;
int cutShortFd = -1;

} // namespace

bool CardPayDemo::handOverIfCutShort() {
    int state = kLineReady;
    if (handOver.compare_exchange_strong(state, kHandlerWriting)) {
        // Until it is out, a further request (another signal, on this thread or another) leaves the end to
        // this one rather than ending the process under the line.
        for (std::size_t written = 0; written < cutShortLength;) {
            const ssize_t n = ::write(cutShortFd, cutShortLine + written, cutShortLength - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            written += static_cast<std::size_t>(n);
        }
        handOver = kNothingAwaited;
        return true;
    }
    return state == kNothingAwaited;
}

std::shared_ptr<CardPayDemo> CardPayDemo::create(std::string serverURL, std::FILE* output) {
    return std::shared_ptr<CardPayDemo>(new CardPayDemo(std::move(serverURL), output));
}

CardPayDemo::~CardPayDemo() {
    if (m_navigation)
        handOver = kNothingAwaited;
}

platform::Status CardPayDemo::open(const std::shared_ptr<platform::ViewController>& host) {
    // Awaited before the road starts: its start screen asks the server for the order while it opens, and a
    // signal from then on (the road is open to whoever sent it) must leave the end to the road's result.
    handOver = kAwaited;
    m_navigation = cardpay::BCPayRoad::start(host, kTransactionNumber, m_serverURL, weak_from_this());
    if (!m_navigation) {
        handOver = kNothingAwaited;
        return platform::Error("HYBCardPayDemo", 1, "the payment road cannot be opened: the host's view is not in a window");
    }
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
    // While the line is being written a signal handler must not end the process under it.
    int state = handOver.load();
    do {
        if (state == kHandlerWriting || (state == kNothingAwaited && m_cutShortTold))
            return;  // a signal handler writes (or wrote) the line kept ready: the process is ending
    } while (!handOver.compare_exchange_weak(state, kWriting));
    auto line = platform::JSON::writeCompact(platform::Value(result));
    if (!line.ok())
        std::fprintf(stderr, "hybridhost: the payment road's result cannot be written: %s\n", line.error().localizedDescription().c_str());
    else
        std::fprintf(m_output, "%s\n", line->c_str());
    std::fflush(m_output);
    handOver = kNothingAwaited;
}

void CardPayDemo::bankCardPayResultIfCutShort(const platform::Dictionary& result) {
    auto line = platform::JSON::writeCompact(platform::Value(result));
    if (!line.ok() || line->size() + 1 > kCutShortLineCapacity || handOver.load() != kAwaited)
        return;
    std::fflush(m_output);
    std::memcpy(cutShortLine, line->data(), line->size());
    cutShortLine[line->size()] = '\n';
    cutShortLength = line->size() + 1;
    cutShortFd = ::fileno(m_output);
    m_cutShortTold = true;
    int awaited = kAwaited;
    handOver.compare_exchange_strong(awaited, kLineReady);
}

} // namespace app
