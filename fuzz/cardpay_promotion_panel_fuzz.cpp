// Builds the promotion panel from an arbitrary promotion element, then plays the user's and the
// server's part on it. The input is a JSON text, a zero byte, then action bytes. The JSON is an object
// with "element" (the promotion element; the object itself when it has none), "points" (points
// replies) and "coupons" (coupon replies), each reply an object given as the reply's "params". Each
// action byte picks a tab, a row, the next reply of either kind, a coupon code, the coupon page's
// buttons, a failure or ten seconds of the clock. Invariants: a points reply after the fifth leaves
// the give-up text shown; and the panel lets go of everything when it is released.
#include "JsonThenActions.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/promotion/BCPromotionPannelViewController.h"
#include "platform/core/Log.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/ViewAnimation.h"

#include <cstddef>
#include <cstdint>

namespace {

class Controller final : public cardpay::BCPromotionPannelViewDelegate {
public:
    void panelViewWithCoupon(const platform::Dictionary&) override { ++chosen; }
    int chosen = 0;
};

void drainMainLoop() {
    while (platform::RunLoop::main().runOnce(platform::Clock::current().now()) == platform::RunLoop::RunResult::Handled) {
    }
}

platform::VirtualClock& virtualClock() {
    static platform::VirtualClock* clock = [] {
        auto* made = new platform::VirtualClock();
        made->install();
        platform::Log::setCaptureHook([](std::string_view) {});
        return made;
    }();
    return *clock;
}

const platform::Value& next(const platform::Array& list, std::size_t& position) {
    if (list.empty())
        return platform::Value::null();
    return list[position++ % list.size()];
}

void tapRow(cardpay::BCPromotionContentView& content, std::uint8_t key) {
    static const char* const types[] = {"discount", "point", "upoint"};
    if (const auto list = content.list(types[key % 3]))
        list->tableView()->tapRow(0, key / 3 % 8);
}

void checkMessage(const cardpay::BCPromotionPannelViewController& panel) {
    const auto& label = panel.myContentView()->scoreMessageLabel();
    if (panel.scoreRequestCount() > cardpay::BCPromotionPannelViewController::kMaxPointsReplies &&
        (!label || !label->superview() || label->text() != cardpay::BCPromotionPannelViewController::kNoPointsMessage))
        __builtin_trap();  // a reply after the fifth did not give up
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::VirtualClock& time = virtualClock();
    const fuzzing::JsonThenActions split = fuzzing::splitJsonThenActions(data, size);
    if (!split.json || !split.json->getDictionary())
        return 0;
    const platform::Dictionary& input = *split.json->getDictionary();
    const platform::Dictionary& element = input["element"].getDictionary() ? *input["element"].getDictionary() : input;
    const platform::Array& points = input["points"].arrayOrEmpty();
    const platform::Array& coupons = input["coupons"].arrayOrEmpty();
    cardpay::BCDataContainer::destory();  // no transaction: nothing is sent

    auto controller = std::make_shared<Controller>();
    auto panel = cardpay::BCPromotionPannelViewController::initWithContent(element);
    panel->setMyController(controller);
    auto host = std::make_shared<platform::View>(platform::Rect(0, 0, 375, 667));
    host->addSubview(panel->view());
    panel->showPannel();
    auto& content = *panel->myContentView();
    std::size_t nextPoints = 0, nextCoupon = 0;
    for (std::size_t i = 0; i < split.actionCount; ++i) {
        const std::uint8_t key = split.actions[i];
        const std::uint8_t arg = key >> 3;
        switch (key & 7) {
        case 0:
            if (arg % 2 == 0 && arg / 2 < panel->myTabBar()->tabButtonArray().size())
                panel->myTabBar()->tabButtonArray()[arg / 2]->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
            else
                panel->promotionTabBarSelect(arg);
            break;
        case 1: tapRow(content, arg); break;
        case 2:
            panel->comunicateToBCMPDidSucceedWithEvent(cardpay::kBCEventPoints, platform::Dictionary{{"params", next(points, nextPoints)}});
            checkMessage(*panel);
            break;
        case 3:
            panel->comunicateToBCMPDidSucceedWithEvent(cardpay::kBCEventCoupon, platform::Dictionary{{"params", next(coupons, nextCoupon)}});
            break;
        case 4:
            if (const auto& page = content.couponView(); page && page->myCouponCell()) {
                page->myCouponCell()->setText(arg % 2 ? "ABCD1234" : std::string(arg, 'x'));
                page->verifyAction();
            }
            break;
        case 5:
            if (const auto& page = content.couponView()) {
                if (page->verifyButton())
                    page->verifyButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
                page->useButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
            }
            break;
        case 6:
            panel->comunicateToBCMPDidFailWithErrorType(2001, std::string("failed"));
            if (arg % 2)
                panel->closeAction();
            else
                panel->dismissAlertView();
            break;
        default:
            time.advance(10);
            drainMainLoop();
            break;
        }
    }
    const std::weak_ptr<cardpay::BCPromotionPannelViewController> weak = panel;
    panel.reset();
    time.advance(11);
    drainMainLoop();
    if (!weak.expired())
        __builtin_trap();  // something kept the panel alive
    platform::ViewAnimation::clearRecords();
    return 0;
}
