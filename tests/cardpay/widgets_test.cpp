// The factory, the order rows and header, the check boxes and the small widgets.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCCheckBoxViews.h"
#include "cardpay/views/BCOrderViews.h"
#include "cardpay/views/BCPullListView.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/system/Pasteboard.h"
#include "platform/system/UserDefaults.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/Window.h"
#include "support/SourceTree.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Rect;

TEST(CardPayViews, FactoryLabelsFieldsAndButtons) {
    EXPECT_DOUBLE_EQ(BCViews::leftLabelWidth(), 64 + 10);  // "四个字符" is 64 points at 16
    auto label = BCViews::textFieldLeftLabelWithTitle(std::string("卡号"));
    ASSERT_TRUE(label);
    EXPECT_EQ(label->frame(), Rect(0, 0, 74, 44));
    EXPECT_EQ(label->textColor(), platform::Color::fromRGBA255(51, 51, 51));
    EXPECT_FALSE(BCViews::textFieldLeftLabelWithTitle(std::nullopt));
    auto field = BCViews::titleTextFieldWithTitle(std::nullopt, Rect(0, 0, 300, 44), "Card number");
    EXPECT_FALSE(field->leftView());
    EXPECT_EQ(field->placeholder(), "Card number");
    EXPECT_EQ(field->clearButtonMode(), platform::TextFieldViewMode::WhileEditing);
    auto titled = BCViews::titleTextFieldWithTitle(std::string("卡号"), Rect(0, 0, 300, 44), "");
    EXPECT_TRUE(titled->leftView());
    EXPECT_EQ(titled->leftViewMode(), platform::TextFieldViewMode::Always);

    // Bundle pictures by name: a missing one gives no view; a present one its real size at the origin.
    hybtest::TempHome home;
    EXPECT_FALSE(BCViews::normalImageViewWithFrame(Rect(5, 5, 100, 100), "no_such_picture"));
    for (const char* name : {"button_normal@2x.png", "button_pressed@2x.png", "button_disabled@2x.png", "sms_normal@2x.png", "sms_pressed@2x.png"})
        home.writeBundleFile(name, hybtest::readSourceFile(std::string("app/bundle/") + name));
    auto picture = BCViews::normalImageViewWithFrame(Rect(5, 5, 100, 100), "button_normal@2x");
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->frame(), Rect(5, 5, 10, 44));
    auto next = BCViews::actionButtonWithFrame(Rect(0, 0, 300, 44), "Next", std::weak_ptr<void>(), [](platform::Control&) {});
    EXPECT_TRUE(next->backgroundImageForState(0));
    EXPECT_TRUE(next->backgroundImageForState(1));
    EXPECT_TRUE(next->backgroundImageForState(2));
    EXPECT_EQ(next->currentTitle(), "Next");
    EXPECT_EQ(next->layer()->cornerRadius(), 5);
    auto sms = BCViews::smsButtonWithFrame(Rect(0, 0, 100, 44), "SMS Code", std::weak_ptr<void>(), [](platform::Control&) {});
    EXPECT_EQ(sms->layer()->cornerRadius(), 0);
    EXPECT_TRUE(sms->backgroundImageForState(0));
    auto wrap = BCViews::wrapLabelWithFrame(Rect(0, 0, 100, 20), "x", 14, platform::Color::black());
    EXPECT_EQ(wrap->numberOfLines(), 0);
    EXPECT_EQ(wrap->lineBreakMode(), platform::LineBreakMode::WordWrap);

    const auto solid = BCViews::imageWithR(255, 0, 0, 0.5);
    EXPECT_EQ(solid->size(), (platform::Size{10, 10}));
    EXPECT_NEAR(solid->pixelAt(5, 5).alpha, 0.5, 0.01);

    auto target = std::make_shared<int>();
    auto row = BCViews::indicatorButtonWithFrame(Rect(0, 0, 300, 44), "Bound cards", target, [](platform::Control&) {});
    ASSERT_EQ(row->subviews().size(), 3u);
    const auto arrow = row->subviews()[2];
    EXPECT_EQ(arrow->transform(), platform::AffineTransform::rotation(-std::numbers::pi / 2));
    for (const auto& inner : row->subviews())
        EXPECT_FALSE(inner->isUserInteractionEnabled());
}

TEST(CardPayViews, LoadingWheelTurnsForEver) {
    auto wheel = BCViews::loadingImageViewWithOriginalPoint({10, 20});
    EXPECT_EQ(wheel->frame(), Rect(10, 20, 22, 22));
    const platform::Animation* turn = wheel->layer()->animationForKey("transform");
    ASSERT_TRUE(turn);
    EXPECT_EQ(turn->keyPath, "transform");
    EXPECT_EQ(turn->fromValue, 0);
    EXPECT_EQ(turn->toValue, 3.14);
    EXPECT_EQ(turn->duration, 0.5);
    EXPECT_TRUE(turn->cumulative);
    EXPECT_TRUE(std::isinf(turn->repeatCount));
}

TEST(CardPayViews, TextFieldEditMenuSwitchesAndSelection) {
    auto field = BCViews::normalTextFieldWithFrame(Rect(0, 0, 200, 44), "");
    field->setText("6222 0202");
    setSelectedRange(*field, {2, 3});
    EXPECT_EQ(selectedRange(*field).location, 2u);
    EXPECT_EQ(selectedRange(*field).length, 3u);
    setSelectedRange(*field, {0, 0});
    EXPECT_TRUE(field->canPerformAction(platform::EditAction::SelectAll));
    field->setAllowSelectAll(false);
    field->setAllowSelect(false);
    EXPECT_FALSE(field->canPerformAction(platform::EditAction::SelectAll));
    EXPECT_FALSE(field->canPerformAction(platform::EditAction::Select));
    field->setAllowPaste(false);
    EXPECT_FALSE(field->canPerformAction(platform::EditAction::Paste));
}

TEST(CardPayOrderRows, KeyColumnValueStyleAndHeights) {
    const double k = BCOrderItemCell::keyColumnWidth(300);
    EXPECT_DOUBLE_EQ(k, 64);
    BCOrderItemCell styled(Rect(0, 0, 300, 0), Dictionary{{"label", "订单金额"}, {"value", "¥ 128.00"}, {"style", "FF0000"}});
    EXPECT_EQ(styled.valueLabel()->label()->textColor(), platform::Color::fromRGBA255(255, 0, 0));
    EXPECT_TRUE(styled.valueLabel()->label()->font().isBold());
    EXPECT_DOUBLE_EQ(styled.valueLabel()->frame().origin.x, k + 12);
    BCOrderItemCell plain(Rect(0, 0, 300, 0), Dictionary{{"label", "Amount"}, {"value", "12"}, {"style", "XYZ"}});
    EXPECT_EQ(plain.valueLabel()->label()->textColor(), platform::Color::fromRGBA(0.4, 0.4, 0.4));
    EXPECT_FALSE(plain.valueLabel()->label()->font().isBold());

    // A long key wraps in its column; the row takes the taller column.
    BCOrderItemCell longKey(Rect(0, 0, 300, 0), Dictionary{{"label", "这是一个很长很长的键"}, {"value", "1"}});
    EXPECT_DOUBLE_EQ(longKey.keyLabel()->frame().size.width, k);
    EXPECT_GT(longKey.keyLabel()->frame().size.height, longKey.valueLabel()->frame().size.height);
    EXPECT_DOUBLE_EQ(longKey.frame().size.height, longKey.keyLabel()->frame().size.height);

    // A key's word wider than the column widens it for every row, so that the word stays whole; a
    // word wider than 40% of the row breaks inside at that width; ideographs never widen it.
    const double merchant = std::ceil(newSizeWithFont("Merchant", platform::Font::systemFont(16), 300,
                                                      platform::LineBreakMode::WordWrap).width);
    ASSERT_GT(merchant, k);
    const Array rows{Dictionary{{"label", "Merchant name"}}, Dictionary{{"label", "订单金额"}}};
    EXPECT_DOUBLE_EQ(BCOrderItemCell::keyColumnWidth(300, rows), merchant);
    BCOrderItemCell named(Rect(0, 0, 300, 0), Dictionary{{"label", "Merchant"}, {"value", "Sample Store"}},
                          BCOrderItemCell::keyColumnWidth(300, rows));
    EXPECT_DOUBLE_EQ(named.keyLabel()->frame().size.height, plain.keyLabel()->frame().size.height); // one line
    BCOrderItemCell alone(Rect(0, 0, 300, 0), Dictionary{{"label", "Merchant"}, {"value", "Sample Store"}});
    EXPECT_DOUBLE_EQ(alone.keyLabel()->frame().size.width, merchant);
    const double cut = BCOrderItemCell::keyColumnWidth(300, Array{Dictionary{{"label", std::string(200, 'W')}}});
    EXPECT_LE(cut, 120);
    EXPECT_GT(cut, 100);
    EXPECT_DOUBLE_EQ(BCOrderItemCell::keyColumnWidth(300, Array{Dictionary{{"label", "这是一个很长很长的键"}}}), k);
    // Punctuation of three bytes (a curly apostrophe) is part of its word; Hangul syllables, kana and
    // fullwidth forms break like ideographs.
    const double possessive = std::ceil(newSizeWithFont("Merchant’s", platform::Font::systemFont(16), 300,
                                                        platform::LineBreakMode::WordWrap).width);
    ASSERT_GT(possessive, merchant);
    EXPECT_DOUBLE_EQ(BCOrderItemCell::keyColumnWidth(300, Array{Dictionary{{"label", "Merchant’s name"}}}), possessive);
    BCOrderItemCell apostrophe(Rect(0, 0, 300, 0), Dictionary{{"label", "Merchant’s"}, {"value", "Sample Store"}});
    EXPECT_DOUBLE_EQ(apostrophe.keyLabel()->frame().size.height, plain.keyLabel()->frame().size.height); // one line
    EXPECT_DOUBLE_EQ(BCOrderItemCell::keyColumnWidth(300, Array{Dictionary{{"label", "가맹점이름가맹점 カタカナカタカナ ＡＢＣＤＥＦ"}}}), k);

    // Rows without texts show empty texts; a huge value wraps.
    BCOrderItemCell empty(Rect(0, 0, 300, 0), Dictionary{{"label", 5}, {"value", Array{}}});
    EXPECT_EQ(empty.keyLabel()->label()->text(), "");
    EXPECT_EQ(empty.valueLabel()->label()->text(), "");
    BCOrderItemCell huge(Rect(0, 0, 300, 0), Dictionary{{"label", "Note"}, {"value", std::string(10000, 'x')}});
    EXPECT_GT(huge.frame().size.height, 1000);
}

TEST(CardPayOrderRows, RegionHeaderAndCheckCode) {
    hybtest::TempHome home;
    (void)platform::UserDefaults::standard().remove("BCPayPluginCheckeCode");
    const Array rows{Dictionary{{"label", "商户名称"}, {"value", "示例商城"}}, Dictionary{{"label", "订单金额"}, {"value", "¥ 128.00"}},
                     Dictionary{{"label", "订单编号"}, {"value", "201712010001"}}};
    auto region = std::make_shared<BCOrderInfoRegion>(Rect(0, 0, 300, 0), rows);
    ASSERT_EQ(region->cells().size(), 3u);
    const Rect second = region->cells()[1]->frame();
    EXPECT_DOUBLE_EQ(region->mKeyValueHeight(), std::floor(second.origin.y + second.size.height + 5) - 5);
    const Rect last = region->cells()[2]->frame();
    EXPECT_DOUBLE_EQ(region->frame().size.height, std::floor(last.origin.y + last.size.height + 5) - 5);

    (void)platform::UserDefaults::standard().set("BCPayPluginCheckeCode", "8351");
    BCOrderInfoRegion withCode(Rect(0, 0, 300, 0), rows);
    ASSERT_EQ(withCode.cells().size(), 4u);
    EXPECT_EQ(withCode.cells()[3]->orderContent()["value"], platform::Value("8351"));
    (void)platform::UserDefaults::standard().remove("BCPayPluginCheckeCode");

    BCOrderView alone(Rect(0, 0, 300, 0), region, nullptr);
    EXPECT_DOUBLE_EQ(alone.frame().size.height, std::floor(region->frame().size.height));
    auto region2 = std::make_shared<BCOrderInfoRegion>(Rect(0, 0, 300, 0), rows);
    auto risk = std::make_shared<BCRiskInfoRegion>(Rect(0, 0, 300, 0), Dictionary{{"label", "风险提示"}, {"value", "请核对收款方"}});
    BCOrderView both(Rect(0, 0, 300, 0), region2, risk);
    EXPECT_DOUBLE_EQ(both.frame().size.height, std::floor(region2->frame().size.height + risk->frame().size.height + 13));
    EXPECT_DOUBLE_EQ(risk->frame().origin.y, std::floor(region2->frame().size.height) + 6);
}

TEST(CardPayOrderRows, PullListFoldsAndTellsItsDelegate) {
    platform::VirtualClock clock;
    clock.install();
    struct Delegate : BCPullListViewDelegate {
        void pullListAnimationDidStart(double change) override { changes.push_back(change); }
        std::vector<double> changes;
    };
    auto delegate = std::make_shared<Delegate>();
    BCDataContainer::destory();
    BCDataContainer::instance()->apply({{"mOrderInfoArray", Array{Dictionary{{"label", "a"}, {"value", "1"}}, Dictionary{{"label", "b"}, {"value", "2"}},
                                                                  Dictionary{{"label", "c"}, {"value", "3"}}}},
                                        {"riskInfo", Dictionary{{"label", "Notice"}, {"value", "Check"}}}});
    BCPullListView pull(Rect(0, 0, 375, 0), delegate, 0);
    ASSERT_TRUE(pull.canFold());
    EXPECT_TRUE(pull.isFolded());
    const double folded = pull.frame().size.height;
    pull.toggleButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_FALSE(pull.isFolded());
    ASSERT_EQ(delegate->changes.size(), 1u);
    EXPECT_GT(delegate->changes[0], 0);
    EXPECT_DOUBLE_EQ(pull.frame().size.height, folded + delegate->changes[0]);
    pull.setFolded(true, false);
    EXPECT_DOUBLE_EQ(pull.frame().size.height, folded);
    EXPECT_EQ(delegate->changes.size(), 2u);

    BCPullListView success(Rect(0, 0, 375, 0), delegate, 2);
    EXPECT_FALSE(success.canFold());
    EXPECT_GT(success.frame().size.height, folded);
    BCDataContainer::destory();
}

TEST(CardPayCheckBox, ContentTicksParamsAndErrors) {
    auto view = std::make_shared<BCCheckBoxView>(Rect(10, 10, 0, 0), Dictionary{{"label", "I agree"}, {"checked", "0"}, {"name", "agree"},
                                                                            {"value", "yes"}, {"required", "0"}, {"error_info", "Tick it"}},
                                                 std::weak_ptr<BCCheckBoxDelegate>());
    EXPECT_TRUE(view->mSelected());
    EXPECT_EQ(view->checkBoxParams(), R"("agree":"yes")");
    EXPECT_EQ(view->errorInfo(), "Tick it");
    view->checkboxClick();
    EXPECT_FALSE(view->mSelected());
    EXPECT_EQ(view->checkBoxParams(), R"("agree":"")");

    BCCheckBoxView unticked(Rect(), Dictionary{{"checked", "1"}}, std::weak_ptr<BCCheckBoxDelegate>());
    EXPECT_FALSE(unticked.mSelected());
    EXPECT_EQ(unticked.errorInfo(), std::nullopt);
    BCCheckBoxView odd(Rect(), Dictionary{{"checked", 0}}, std::weak_ptr<BCCheckBoxDelegate>());
    EXPECT_FALSE(odd.mSelected());
    // No label and no link: the box and 5 points.
    const double box = BCImageManager::instance()->imageNamed(20011)->size().width;
    EXPECT_DOUBLE_EQ(unticked.frame().size.width, std::floor(box + 5));
}

TEST(CardPayCheckBox, TouchesAndLinkReachTheDelegate) {
    struct Delegate : BCCheckBoxDelegate {
        void checkBox(BCCheckBoxView& v) override { ticks.push_back(v.mSelected()); }
        void checkBoxHref(const std::string& url, const std::string& title) override { links.push_back(url + " " + title); }
        std::vector<bool> ticks;
        std::vector<std::string> links;
    };
    auto delegate = std::make_shared<Delegate>();
    auto window = platform::Window::create(Rect(0, 0, 375, 667));
    window->makeKeyAndVisible();
    auto view = std::make_shared<BCCheckBoxView>(Rect(10, 100, 0, 0),
                                                 Dictionary{{"label", "I agree to"}, {"href_label", "the terms"}, {"href_url", "http://127.0.0.1/t"},
                                                            {"href_title", "Terms"}},
                                                 delegate);
    window->addSubview(view);
    ASSERT_TRUE(view->label());
    ASSERT_TRUE(view->linkButton());
    EXPECT_DOUBLE_EQ(view->frame().size.width, view->linkButton()->frame().origin.x + view->linkButton()->frame().size.width);
    EXPECT_EQ(platform::TouchDriver::tap(*view->label()), view);
    EXPECT_EQ(delegate->ticks, (std::vector<bool>{true}));
    platform::TouchDriver::tap(*view->linkButton());
    EXPECT_EQ(delegate->links, (std::vector<std::string>{"http://127.0.0.1/t Terms"}));
    platform::TouchDriver::tap(*view->checkBoxButton());
    EXPECT_EQ(delegate->ticks, (std::vector<bool>{true, false}));
}

TEST(CardPayCheckBox, StringCellTableCellAndPlainBox) {
    BCStringCell noLabel(Rect(0, 0, 300, 0), "", "Only a value", "");
    ASSERT_TRUE(noLabel.valueCell());
    EXPECT_EQ(noLabel.valueCell()->frame().origin.y, 0);
    EXPECT_DOUBLE_EQ(noLabel.frame().size.height, noLabel.valueCell()->frame().size.height);
    BCStringCell both(Rect(0, 0, 300, 0), "Caption", "Value", "FF0000", 12, 20);
    EXPECT_DOUBLE_EQ(both.valueCell()->frame().origin.y, both.labelCell()->frame().size.height + 10);
    EXPECT_DOUBLE_EQ(both.valueCell()->label()->font().pointSize(), 12);

    auto cell = std::make_shared<BCTableViewCell>(platform::TableViewCellStyle::Default, "card");
    cell->setFrame(Rect(0, 0, 320, 44));
    cell->textLabel()->setText("Card");
    cell->layoutIfNeeded();
    const double image = cell->indicatorImage()->size().width;
    EXPECT_DOUBLE_EQ(cell->indicatorImageView()->frame().origin.x, 12);
    EXPECT_TRUE(cell->indicatorImageView()->isHidden());
    EXPECT_DOUBLE_EQ(cell->textLabel()->frame().origin.x, 12 + image + 5);

    std::vector<bool> states;
    BCCheckBox box({0, 0}, "Remember", [&](bool on) { states.push_back(on); });
    box.tapAction();
    box.tapAction();
    EXPECT_EQ(states, (std::vector<bool>{true, false}));
    EXPECT_EQ(box.imageView()->image(), BCImageManager::instance()->imageNamed(20011));
    EXPECT_EQ(BCCheckBox::boxHeight(), 35);
}

TEST(CardPayWidgets, DefaultCardBarAndToast) {
    BCDefaultCardView bar(Rect(0, 0, 375, 30), std::string(10000, '6') + " tail");
    EXPECT_EQ(bar.frame().size.height, 44);
    EXPECT_EQ(bar.textLabel()->lineBreakMode(), platform::LineBreakMode::TruncateMiddle);
    EXPECT_FALSE(bar.textLabel()->isUserInteractionEnabled());
    EXPECT_EQ(bar.indicatorImageView()->transform(), platform::AffineTransform::rotation(-std::numbers::pi / 2));

    platform::VirtualClock clock;
    clock.install();
    auto host = std::make_shared<platform::View>(Rect(0, 0, 375, 667));
    auto toast = std::make_shared<BCToast>("Instalments switched off", host);
    toast->show();
    ASSERT_EQ(host->subviews().size(), 1u);
    EXPECT_NEAR(toast->center().x, 375 / 2.0, 1e-9);
    clock.advance(BCToast::kStay - 0.1);
    EXPECT_EQ(host->subviews().size(), 1u);
    clock.advance(0.1);
    EXPECT_TRUE(host->subviews().empty());
}

TEST(CardPayViews, BlocksFollowTheirTextAndTurnWithTheScreen) {
    const platform::Font font = platform::Font::systemFont(16);
    BCLableCell cell(Rect(3, 4, 100, 999), "一二三四五六七八九十一二三四五六七八九十", font, platform::Color::black(),
                     platform::TextAlignment::Center);
    const double measured = newSizeWithFont("一二三四五六七八九十一二三四五六七八九十", font, 100, platform::LineBreakMode::WordWrap).height;
    EXPECT_EQ(cell.frame(), Rect(3, 4, 100, measured));
    EXPECT_EQ(cell.label()->frame(), Rect(0, 0, 100, measured));
    EXPECT_EQ(cell.label()->textAlignment(), platform::TextAlignment::Center);
    EXPECT_EQ(cell.label()->numberOfLines(), 0);
    cell.setFrame(Rect(3, 4, 200, measured));
    cell.willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0.3);
    EXPECT_EQ(cell.label()->frame(), Rect(0, 0, 200, measured));

    platform::ViewAnimation::clearRecords();
    BCDataContainer::destory();
    BCDataContainer::instance()->setToRotationSize({667, 375});
    auto region = std::make_shared<BCOrderInfoRegion>(Rect(0, 0, 300, 0), Array{Dictionary{{"label", "a"}, {"value", "b"}}});
    BCOrderView order(Rect(0, 0, 300, 0), region, nullptr);
    order.willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0.3);
    EXPECT_DOUBLE_EQ(region->frame().size.width, 300 + 667 - 375);
    ASSERT_FALSE(platform::ViewAnimation::records().empty());
    EXPECT_EQ(platform::ViewAnimation::records()[0].name, "BaseView");
    BCDataContainer::destory();
}

TEST(CardPayViews, UnderlinedButtonCallsItsLiveTarget) {
    int calls = 0;
    auto target = std::make_shared<int>();
    auto link = std::make_shared<BCUnderLineButton>(Rect(0, 0, 80, 20), "Terms", platform::Font::systemFont(16));
    link->setMTarget(target);
    link->setMSelector([&] { ++calls; });
    link->setHighlighted(true);
    EXPECT_NE(link->titleLabel()->textColor(), BCUtils::underLineNormalColor());
    link->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(link->titleLabel()->textColor(), BCUtils::underLineNormalColor());
    target.reset();
    link->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(calls, 1);

    auto text = BCViews::textButtonWithFrame(Rect(0, 0, 80, 30), "More", std::weak_ptr<void>(), [](platform::Control&) {});
    EXPECT_EQ(text->titleColorForState(0), platform::Color::fromRGBA(0, 0, 1));
    EXPECT_EQ(text->currentTitle(), "More");
    EXPECT_TRUE(text->isExclusiveTouch());
}
