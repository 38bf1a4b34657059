// What the tests of the promotion panel and its pages share: sample items and elements, a controller
// that records the options handed to it, and a road fixture with the host's view to show the panel on.
#pragma once

#include "CardPayFixture.h"
#include "cardpay/promotion/BCPromotionPannelViewController.h"
#include "platform/core/Value.h"

#include <memory>
#include <string>
#include <vector>

namespace cardpaytest {

using platform::Array;
using platform::Dictionary;

inline Dictionary option(const std::string& label, const std::string& value, const std::string& amount = "") {
    Dictionary o{{"label", label}, {"value", value}, {"rel_label", "实付 "}, {"rel_value", amount.empty() ? value : amount}};
    return o;
}

inline Dictionary discountItem() {
    Dictionary unavailable = option("满100减10（不可用）", "D0");
    unavailable.set("available", "1");
    return {{"label", "优惠活动"},
            {"type", "discount"},
            {"options", Array{unavailable, option("立减5元", "D1", "¥ 95.00"), option("立减8元", "D2", "¥ 92.00")}}};
}

inline Dictionary couponItem(const std::string& firstRuleType = "coupon_code") {
    return {{"label", "立减券"},
            {"type", "coupon"},
            {"rules", Array{Dictionary{{"type", firstRuleType},
                                       {"name", "coupon"},
                                       {"placeholder", "请输入券码"},
                                       {"button_label", "验证"},
                                       {"button_action", "checkcoupon"}},
                            Dictionary{{"type", "string"}, {"label", "提示："}, {"value", "每笔订单限用一张立减券"}}}},
            {"use_button", Dictionary{{"label", "使用"}}}};
}

inline Dictionary pointItem(bool login = false) {
    Dictionary item{{"label", "积分抵扣"}, {"type", "point"}, {"action", "querypoints"}};
    if (login) {
        item.set("tip", "登录后可使用积分");
        item.set("button", Dictionary{{"label", "登录"}});
    }
    return item;
}

inline Dictionary promotionElement(Array items, const std::string& defaultIndex = "0") {
    return {{"label", "参加优惠"}, {"name", "promotion"}, {"items", std::move(items)}, {"default_item_idx", defaultIndex}};
}

class RecordingController : public cardpay::BCPromotionPannelViewDelegate {
public:
    void panelViewWithCoupon(const Dictionary& option) override { chosen.push_back(option); }
    std::vector<Dictionary> chosen;
};

class PromotionPanelFixture : public CardPayRoadFixture {
protected:
    // A panel on the host's view, shown, its animation over unless the clock must stay where it is.
    std::shared_ptr<cardpay::BCPromotionPannelViewController> openPanel(const Dictionary& element, bool settleAnimation = true) {
        auto panel = cardpay::BCPromotionPannelViewController::initWithContent(element);
        panel->setMyController(m_controller);
        m_root->view()->addSubview(panel->view());
        panel->showPannel();
        if (settleAnimation)
            settle();
        return panel;
    }

    // Lets the running animations and what waits on them finish.
    void settle(double seconds = 0.6) {
        m_clock.advance(seconds);
        turns(3);
    }

    std::size_t sent(const std::string& cmd) const { return m_server.commands(cmd).size(); }

    std::shared_ptr<RecordingController> m_controller = std::make_shared<RecordingController>();
};

} // namespace cardpaytest
