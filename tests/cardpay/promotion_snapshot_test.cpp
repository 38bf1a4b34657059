// The promotion panel as pictures, one per tab and state, against stored references
// (HYB_UPDATE_SNAPSHOTS=1 rewrites them).
#include "PromotionPanelFixture.h"

#include "support/Snapshot.h"

#include <gtest/gtest.h>

using namespace cardpay;
using namespace cardpaytest;

namespace {

class PromotionPanelPictures : public PromotionPanelFixture {
protected:
    void SetUp() override {
        PromotionPanelFixture::SetUp();
        m_root->view()->setBackgroundColor(platform::Color::fromRGBA255(240, 240, 240));
        m_server.setReply("querypoints", Dictionary{{"status", "01"}, {"uuid", "t1"}});
    }

    std::shared_ptr<BCPromotionPannelViewController> panelOn(const std::string& defaultIndex, bool pointLogin = false) {
        Dictionary point = pointItem(pointLogin);
        return openPanel(promotionElement(Array{discountItem(), couponItem(), point}, defaultIndex));
    }

    void picture(const std::string& name) {
        m_root->view()->layoutIfNeeded();
        hybtest::expectSnapshot(*m_root->view(), name);
    }
};

} // namespace

TEST_F(PromotionPanelPictures, DiscountListWithItsMarks) {
    auto panel = panelOn("0");
    auto list = panel->myContentView()->list("discount");
    list->setSelectedIndex(1);
    list->tableReload();
    picture("promotion_panel_discounts");
}

TEST_F(PromotionPanelPictures, CouponPageEnteringAndConfirmed) {
    auto panel = panelOn("1");
    auto coupon = panel->myContentView()->couponView();
    coupon->myCouponCell()->setText("ABCD1234");
    picture("promotion_panel_coupon_entering");
    coupon->refreshViewWithData(option("已使用立减券：立减10元", "C10"));
    picture("promotion_panel_coupon_confirmed");
}

TEST_F(PromotionPanelPictures, PointsWaitingAndListed) {
    auto panel = panelOn("2");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return panel->scoreRequestCount() == 1; }));
    picture("promotion_panel_points_waiting");
    m_server.setReply("querypoints", Dictionary{{"status", "00"}, {"options", Array{option("使用500积分抵扣5元", "P500"),
                                                                                     option("使用1000积分抵扣10元", "P1000")}}});
    m_clock.advance(10);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return panel->scoreRequestCount() == 2; }));
    picture("promotion_panel_points_list");
}

TEST_F(PromotionPanelPictures, LoginPage) {
    panelOn("2", true);
    picture("promotion_panel_login");
}
