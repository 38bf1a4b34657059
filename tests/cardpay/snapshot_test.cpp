// The payment screens' widgets as pictures, against stored references (HYB_UPDATE_SNAPSHOTS=1 rewrites).
#include "cardpay/cells/BCBaseCell.h"
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/views/BCListView.h"
#include "cardpay/cells/BCKeyboard.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/views/BCADBar.h"
#include "cardpay/views/BCAlertViewEx.h"
#include "cardpay/views/BCCheckBoxViews.h"
#include "cardpay/views/BCNavController.h"
#include "cardpay/views/BCOrderViews.h"
#include "cardpay/views/BCPullListView.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/runloop/VirtualClock.h"
#include "support/Snapshot.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Rect;

namespace {

std::shared_ptr<platform::View> canvas(double width, double height) {
    auto view = std::make_shared<platform::View>(Rect(0, 0, width, height));
    view->setBackgroundColor(platform::Color::fromRGBA255(240, 240, 240));
    return view;
}

// The screen with a box over it.
std::shared_ptr<platform::View> screenWith(const std::shared_ptr<BCAlertViewEx>& box) {
    auto screen = canvas(375, 667);
    screen->addSubview(std::make_shared<BCDefaultCardView>(Rect(0, 80, 375, 44), "招商银行 debit card 1234"));
    screen->addSubview(box);
    return screen;
}

std::shared_ptr<BCAlertViewEx> displayBox() { return std::make_shared<BCAlertViewEx>(Rect(0, 0, 375, 667)); }

class CardPaySnapshots : public ::testing::Test {
protected:
    void SetUp() override {
        m_clock.install();
        BCDataContainer::destory();
    }
    void TearDown() override { BCDataContainer::destory(); }
    platform::VirtualClock m_clock;
};

} // namespace

TEST_F(CardPaySnapshots, Bars) {
    auto target = std::make_shared<int>();
    auto root = canvas(375, 100);
    root->addSubview(std::make_shared<BCNavigationBar>(Rect(0, 0, 375, 44), std::string("订单信息 Order"), "  Back", target, [] {}, true));
    auto spinning = std::make_shared<BCNavigationBar>(Rect(0, 50, 375, 44), std::nullopt, "Cancel", target, [] {}, false);
    spinning->loadingIndicator()->stopAnimating(); // a still picture
    spinning->loadingIndicator()->setHidden(false);
    root->addSubview(spinning);
    root->layoutIfNeeded();
    hybtest::expectSnapshot(*root, "bars");
}

TEST_F(CardPaySnapshots, DefaultCardBarShortensALongLineInItsMiddle) {
    auto root = canvas(375, 44);
    root->addSubview(std::make_shared<BCDefaultCardView>(Rect(0, 0, 375, 44),
                                                         "招商银行 China Merchants Bank debit card ending in **** **** **** 1234 (default)"));
    hybtest::expectSnapshot(*root, "default_card_bar");
}

TEST_F(CardPaySnapshots, OrderHeaderFoldedAndUnfolded) {
    BCDataContainer::instance()->apply(
        {{"mOrderInfoArray", Array{Dictionary{{"label", "商户名称"}, {"value", "示例商城"}},
                                   Dictionary{{"label", "订单金额"}, {"value", "¥ 128.00"}, {"style", "FF5252"}},
                                   Dictionary{{"label", "订单编号"}, {"value", "201712010001"}},
                                   Dictionary{{"label", "商品描述"}, {"value", "一件很长的商品描述，会在值的一栏中换行显示"}}}},
         {"riskInfo", Dictionary{{"label", "风险提示"}, {"value", "请核对收款方后再付款"}}}});
    auto folded = std::make_shared<BCPullListView>(Rect(0, 0, 375, 0), std::weak_ptr<BCPullListViewDelegate>(), 0);
    auto unfolded = std::make_shared<BCPullListView>(Rect(0, 0, 375, 0), std::weak_ptr<BCPullListViewDelegate>(), 1);
    auto root = canvas(375, folded->frame().size.height + unfolded->frame().size.height + 10);
    unfolded->setFrame(Rect(0, folded->frame().size.height + 10, 375, unfolded->frame().size.height));
    root->addSubview(folded);
    root->addSubview(unfolded);
    hybtest::expectSnapshot(*root, "order_header");
}

TEST_F(CardPaySnapshots, CheckBoxesAndToast) {
    auto root = canvas(375, 200);
    const Dictionary content{{"label", "我已阅读并同意"}, {"href_label", "用户协议"}, {"href_url", "http://127.0.0.1/terms"}};
    Dictionary ticked = content;
    ticked.set("checked", "0");
    root->addSubview(std::make_shared<BCCheckBoxView>(Rect(12, 12, 0, 0), ticked, std::weak_ptr<BCCheckBoxDelegate>()));
    root->addSubview(std::make_shared<BCCheckBoxView>(Rect(12, 52, 0, 0), content, std::weak_ptr<BCCheckBoxDelegate>()));
    auto toast = std::make_shared<BCToast>("分期已关闭 Instalments switched off", root);
    toast->show();
    toast->setCenter({187.5, 150});
    hybtest::expectSnapshot(*root, "check_boxes_and_toast");
}

TEST_F(CardPaySnapshots, AlertBoxes) {
    auto twoButtons = displayBox();
    auto screen = screenWith(twoButtons);
    twoButtons->showAlertViewWithTitle("提示 Notice", "确定要放弃本次支付吗？ Leave this payment and go back to the shop?", "确定 Leave",
                                       "取消 Stay", {});
    hybtest::expectSnapshot(*screen, "alert_two_buttons");

    auto messageOnly = displayBox();
    auto other = screenWith(messageOnly);
    messageOnly->showAlertViewWithTitle(std::nullopt, "卡号输入有误 Card number is not valid", std::nullopt, std::nullopt, {});
    hybtest::expectSnapshot(*other, "alert_message_only");
}

TEST_F(CardPaySnapshots, LoadingBoxWithAndWithoutTheConfigurationList) {
    auto plain = displayBox();
    auto screen = screenWith(plain);
    plain->showLoadingViewWithMessage("正在加载 Loading…", {});
    hybtest::expectSnapshot(*screen, "loading_box");

    BCDataContainer::instance()->setBundleConfig(Dictionary{{"NavigationBarColors", "2E7D32"}});
    auto configured = displayBox();
    auto other = screenWith(configured);
    configured->showLoadingViewWithMessage("正在加载 Loading…", {});
    hybtest::expectSnapshot(*other, "loading_box_configured");
}

TEST_F(CardPaySnapshots, NoticeBarsShortAndCapped) {
    auto root = canvas(375, 110);
    root->addSubview(std::make_shared<BCADBar>(Rect(0, 0, 375, 0), "请在 18:00 前完成支付 Pay before 18:00"));
    root->addSubview(std::make_shared<BCADBar>(
        Rect(0, 50, 375, 0), "本卡仅支持人民币交易，境外商户可能收取额外手续费。Your card is charged in the shop's currency; the bank may add a "
                             "fee for it, and the shop may refuse cards issued abroad. Read the terms before you pay."));
    hybtest::expectSnapshot(*root, "notice_bars");
}

TEST_F(CardPaySnapshots, BaseCellWithCaptionAndHint) {
    auto root = canvas(375, 0);
    auto cell = BCBaseCell::create(Rect(0, 10, 375, 0),
                                   Dictionary{{"label", "请输入银行卡号 Card number"},
                                              {"placeholder", "Card number"},
                                              {"value", "6222020200001234"},
                                              {"tip", "Only debit cards of the banks listed below are accepted for this order."}},
                                   std::weak_ptr<BCTextFieldDelegate>(), true, std::string("卡号"));
    root->setFrame(Rect(0, 0, 375, cell->frame().size.height + 20));
    root->addSubview(cell);
    hybtest::expectSnapshot(*root, "base_cell");
}

TEST_F(CardPaySnapshots, PlainAndSecurityKeyboards) {
    auto root = canvas(375, 2 * 216 + 10);
    auto plain = std::make_shared<BCKeyboard>();
    auto secure = std::make_shared<BCKeyboard>();
    secure->setRandomSeed(2026);
    secure->setSecurity(true);
    secure->setFrame(Rect(0, 226, 375, 216));
    root->addSubview(plain);
    root->addSubview(secure);
    hybtest::expectSnapshot(*root, "keyboards");
}

TEST_F(CardPaySnapshots, PaymentFormWithSecurityKeyboard) {
    BCDataContainer::instance()->setMMessageBlock(std::string("6222020200001234"));
    auto form = std::make_shared<BCPaymentElementsView>(
        Rect(0, 0, 375, 0),
        Array{Dictionary{{"type", "pan"}, {"name", "pan"}, {"placeholder", "Card number"}},
              Dictionary{{"type", "expire"}, {"name", "expire"}, {"placeholder", "MMYY"}},
              Dictionary{{"type", "cvn2"}, {"name", "cvn2"}, {"placeholder", "3 digits on the back"}},
              Dictionary{{"type", "mobile"}, {"name", "mobile"}, {"placeholder", "Phone number"}, {"button_label", "Modify"}},
              Dictionary{{"type", "sms"}, {"name", "sms"}, {"placeholder", "SMS code"}},
              Dictionary{{"type", "pwd"}, {"name", "pin"}, {"placeholder", "Card PIN"}}},
        std::weak_ptr<BCTextFieldDelegate>());
    const auto cell = [&](std::size_t i) { return std::static_pointer_cast<BCBaseCell>(form->elementArray()[i]); };
    const auto press = [&](std::size_t i, const std::string& digits) {
        for (const char c : digits)
            cell(i)->keyboard()->digitKey(c - '0')->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    };
    press(0, "6222020200001234");
    press(1, "0128");
    press(2, "123");
    cell(3)->setText("13800138000");
    std::static_pointer_cast<BCSmsCodeCell>(cell(4))->disableButton();
    m_clock.advance(17);
    cell(5)->keyboard()->setRandomSeed(2026);
    cell(5)->keyboard()->makeKeyboardRandom();
    press(5, "1234");
    auto root = canvas(375, form->frame().size.height + 226);
    root->addSubview(form);
    auto keyboard = cell(5)->keyboard();
    keyboard->setFrame(Rect(0, form->frame().size.height + 10, 375, 216));
    root->addSubview(keyboard);
    hybtest::expectSnapshot(*root, "payment_form");
    std::static_pointer_cast<BCSmsCodeCell>(cell(4))->enableButton();
}

TEST_F(CardPaySnapshots, PointsCellAndReadOnlyCard) {
    auto root = canvas(375, 0);
    auto points = BCBaseCell::create<BCPointCell>(Rect(12, 10, 351, 0),
                                                  Dictionary{{"name", "points"}, {"placeholder", "Points to use"}, {"max_use_point", "500"},
                                                             {"ordr_amnt", "100.00"}, {"point", "1200"}, {"ratio", "0.01"}},
                                                  std::weak_ptr<BCTextFieldDelegate>());
    points->setText("500");
    points->shouldChangeAmout(500);
    auto card = BCBaseCell::create<BCBankNumCell>(
        Rect(0, points->frame().maxY() + 10, 375, 0),
        Dictionary{{"readonly", "true"}, {"label", "招商银行 储蓄卡"}, {"value", "6222 **** **** 1234"}, {"tip", "This order is paid with the merchant's card."}},
        std::weak_ptr<BCTextFieldDelegate>());
    root->setFrame(Rect(0, 0, 375, card->frame().maxY() + 10));
    root->addSubview(points);
    root->addSubview(card);
    hybtest::expectSnapshot(*root, "points_and_readonly_card");
}

TEST_F(CardPaySnapshots, ListWithHeaderFooterAndMarkedRow) {
    auto list = std::make_shared<BCListView>(Rect(0, 0, 375, 300), std::vector<std::string>{"身份证 ID card", "护照 Passport", "军官证 Officer card"});
    list->setHeaderTitle(std::string("证件类型 Certificate"));
    list->setFooterTitle(std::string("其他 Other"));
    list->setSelectedIndex(1);
    list->setEditable(true);
    hybtest::expectSnapshot(*list, "list");
}
