// The input cell family: bank number, CVN2, expiry, PIN, SMS code, phone and the common cells.
#include "cardpay/cells/BCInputCells.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/tracker/YLUniTracker.h"
#include "platform/application/Application.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/TextInputDriver.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Rect;
using platform::Value;

namespace {

struct Screen : BCTextFieldDelegate {
    void textFieldChangeType(int type) override { types.push_back(type); }
    void modifyAction(const std::optional<std::string>& action) override { actions.push_back(action); }
    bool shouldChangeCharacters(platform::TextField&, platform::TextRange16, const std::string&) override { return allowTyping; }
    std::vector<int> types;
    std::vector<std::optional<std::string>> actions;
    bool allowTyping = true;
};

void press(BCBaseCell& cell, const std::string& digits) {
    for (const char c : digits)
        cell.keyboard()->digitKey(c - '0')->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
}

std::vector<std::string> trackedEvents() {
    std::vector<std::string> names;
    for (const auto& call : YLUniTracker::recordedCalls())
        if (call.operation == "trackEvent" && !call.arguments.empty())
            names.push_back(call.arguments[0].stringOr(""));
    return names;
}

class CardPayInputCells : public ::testing::Test {
protected:
    void SetUp() override {
        BCDataContainer::destory();
        YLUniTracker::resetRecord();
        platform::Application::shared().setStatusBarOrientation(platform::InterfaceOrientation::Portrait);
    }
    void TearDown() override {
        BCDataContainer::destory();
        YLUniTracker::resetRecord();
    }
    std::shared_ptr<Screen> screen = std::make_shared<Screen>();
    template <class Cell>
    std::shared_ptr<Cell> make(const Dictionary& content) {
        return BCBaseCell::create<Cell>(Rect(0, 0, 375, 0), content, screen);
    }
};

} // namespace

TEST_F(CardPayInputCells, BankNumberGroupsDigitsAndMovesTheCaret) {
    auto cell = make<BCBankNumCell>(Dictionary{{"name", "pan"}, {"placeholder", "Card number"}});
    const auto caret = [&] { return selectedRange(*cell->textField()).location; };
    press(*cell, "1234");
    EXPECT_EQ(cell->textField()->text(), "1234 ");
    EXPECT_EQ(caret(), 4u);
    press(*cell, "5");
    EXPECT_EQ(cell->textField()->text(), "1234 5");
    EXPECT_EQ(caret(), 6u);
    press(*cell, "678");
    press(*cell, "9");
    EXPECT_EQ(cell->textField()->text(), "1234 5678 9");
    EXPECT_EQ(caret(), 11u);
    press(*cell, "0123456");
    EXPECT_EQ(cell->textField()->text(), "1234 5678 9012 3456 ");
    EXPECT_EQ(cell->text(), "1234567890123456");
    press(*cell, "7890");  // 23 characters is the limit: 19 digits
    EXPECT_EQ(cell->textField()->text(), "1234 5678 9012 3456 789");
    EXPECT_EQ(cell->text().size(), 19u);
    // Delete puts the caret back where it was and regroups.
    setSelectedRange(*cell->textField(), {6, 0});
    cell->deleteClick();
    EXPECT_EQ(cell->textField()->text(), "1234 6789 0123 4567 89");
    EXPECT_EQ(caret(), 5u);
    EXPECT_EQ(cell->param(), "\"pan\":\"123467890123456789\"");
    cell->setNeedsDeviceEncryption();
    EXPECT_EQ(cell->param(), std::nullopt);
    EXPECT_EQ(trackedEvents(), std::vector<std::string>{"loginpay_input_cardNO"});
}

TEST_F(CardPayInputCells, BankNumberCardRules) {
    const Dictionary uncheckedRule{{"pattern", "62\\d{11,17}"}, {"isCheck", false}};
    auto cell = make<BCBankNumCell>(Dictionary{{"regex", Array{uncheckedRule}}});
    cell->setText("6200000000001");  // 13 digits, no Luhn check
    EXPECT_TRUE(cell->isLegalLength());
    cell->setText("620000000000");
    EXPECT_FALSE(cell->isLegalLength());
    cell->setText("4111111111111112");  // no rule matches: plain Luhn
    EXPECT_FALSE(cell->isLegalLength());
    cell->setText("4111111111111111");
    EXPECT_TRUE(cell->isLegalLength());

    // A checked rule with a prefix checks prefix + number.
    const Dictionary prefixed{{"pattern", "\\d{15}"}, {"isCheck", true}, {"prefix", "4"}};
    auto withPrefix = make<BCBankNumCell>(Dictionary{{"regex", Array{prefixed}}});
    withPrefix->setText("111111111111111");
    EXPECT_TRUE(withPrefix->isLegalLength());
    EXPECT_EQ(withPrefix->getPanPrefixByPan("111111111111111"), "4");
    EXPECT_EQ(withPrefix->getPanPrefixByPan("11"), std::nullopt);

    // "isCheck" is a boolean or a number: 1 (or any number but 0) asks for the Luhn check, 0 does not;
    // other types (a text "1") count as unchecked.
    for (const auto& [check, checked] : std::vector<std::pair<Value, bool>>{
             {Value(1), true}, {Value(2.5), true}, {Value(true), true}, {Value(0), false}, {Value(0.0), false},
             {Value(false), false}, {Value("1"), false}, {Value(), false}}) {
        auto rule = make<BCBankNumCell>(Dictionary{{"regex", Array{Dictionary{{"pattern", "4\\d{15}"}, {"isCheck", check}}}}});
        rule->setText("4111111111111112");
        EXPECT_EQ(rule->isLegalLength(), !checked) << check.description();
        rule->setText("4111111111111111");
        EXPECT_TRUE(rule->isLegalLength()) << check.description();
        EXPECT_EQ(BCBankNumCell::ruleChecksCard(Dictionary{{"isCheck", check}}), checked) << check.description();
    }

    // Malformed rules: not dictionaries, a pattern that does not compile.
    auto odd = make<BCBankNumCell>(Dictionary{{"regex", Array{"x", Dictionary{{"pattern", "(("}, {"isCheck", true}},
                                                              Dictionary{{"pattern", "\\d+"}, {"isCheck", 1}}}}});
    odd->setText("4111111111111112");
    EXPECT_FALSE(odd->isLegalLength());  // the last rule matches and asks for the Luhn check
    odd->setText("4111111111111111");
    EXPECT_TRUE(odd->isLegalLength());
    auto notArray = make<BCBankNumCell>(Dictionary{{"regex", "62.*"}});
    notArray->setText("4111111111111111");
    EXPECT_TRUE(notArray->isLegalLength());

    // A server value with blanks, letters and hyphens is checked as it is and sent without blanks.
    auto messy = make<BCBankNumCell>(Dictionary{{"name", "pan"}, {"value", "6222 02ab-3456"}});
    EXPECT_EQ(messy->text(), "622202ab-3456");
    EXPECT_FALSE(messy->isLegalLength());
    const auto parsed = platform::JSON::parse("{" + *messy->param() + "}");
    ASSERT_TRUE(parsed.ok());
}

TEST_F(CardPayInputCells, ReadOnlyMerchantCard) {
    auto cell = make<BCBankNumCell>(Dictionary{{"readonly", "true"}, {"label", "Card"}, {"value", "6222 **** 3456"}, {"tip", "Bound card"}});
    ASSERT_TRUE(cell->readOnlyLabel());
    EXPECT_EQ(cell->readOnlyLabel()->text(), "Card 6222 **** 3456");
    EXPECT_TRUE(cell->textField()->isHidden());
    EXPECT_TRUE(cell->isReadOnly());
    EXPECT_GT(cell->frame().size.height, 44 + 29);
    auto plain = make<BCBankNumCell>(Dictionary{{"readonly", "true"}, {"label", "Card"}, {"value", "1"}});
    EXPECT_DOUBLE_EQ(plain->frame().size.height, 44);
}

TEST_F(CardPayInputCells, ExpiryOnAVirtualClockIn2026) {
    platform::VirtualClock clock(platform::Date{1'780'000'000.0});  // May 2026
    clock.install();
    for (const char* bad : {"1225", "1326", "12a6", "126"})
        EXPECT_FALSE(BCValidDateCell::checkFormat(bad)) << bad;
    EXPECT_TRUE(BCValidDateCell::checkFormat("0126"));
    EXPECT_TRUE(BCValidDateCell::checkFormat("0026"));  // month 00 passes the month test
    auto cell = make<BCValidDateCell>(Dictionary{});
    press(*cell, "01269");
    EXPECT_EQ(cell->text(), "0126");
    EXPECT_TRUE(cell->isLegalLength());
}

TEST_F(CardPayInputCells, PinCellKeepsSixMarksAndSendsTheBlock) {
    BCDataContainer::instance()->setMMessageBlock(std::string("4111111111111111"));
    auto cell = make<BCPasswordCell>(Dictionary{{"name", "pin"}});
    EXPECT_TRUE(cell->keyboard()->isSecurity());
    EXPECT_EQ(cell->textField()->tag(), BCPasswordCell::kTag);
    EXPECT_FALSE(cell->textField()->canPerformAction(platform::EditAction::Paste));
    press(*cell, "1234567");
    EXPECT_EQ(cell->text(), "******");
    EXPECT_EQ(cell->keyboard()->keptDigitCount(), 6u);  // the seventh was refused and forgotten
    EXPECT_EQ(cell->param(), "\"pin\":\"06122547EEEEEEEE\"");
    EXPECT_EQ(screen->types, std::vector<int>{0});
    cell->keyboard()->deleteKey()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(cell->text(), "*****");
    BCDataContainer::instance()->setMMessageBlock(std::nullopt);
    EXPECT_EQ(cell->param(), "\"pin\":\"0512345FFFFFFFFF\"");  // bound to "" when no card is known
    cell->setNeedsDeviceEncryption();
    EXPECT_EQ(cell->param(), std::nullopt);
    cell->cleanup();
    EXPECT_TRUE(cell->isEmpty());
    EXPECT_EQ(cell->keyboard()->keptDigitCount(), 0u);
}

TEST_F(CardPayInputCells, SmsCountdownOnAVirtualClock) {
    platform::VirtualClock clock;
    clock.install();
    auto cell = make<BCSmsCodeCell>(Dictionary{{"name", "sms"}});
    const auto& button = cell->mBtnSmsCode();
    const std::string sms = BCLocale::instance()->getStringById(10003);
    const auto wait = [](int n) { return formatText(BCLocale::instance()->getStringById(10013), std::to_string(n)); };
    EXPECT_EQ(button->currentTitle(), sms);
    auto target = std::make_shared<int>();
    int taps = 0;
    cell->addSmsCodeTarget(target, [&] { ++taps; });
    button->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(taps, 1);

    cell->disableButton();
    EXPECT_FALSE(button->isEnabled());
    EXPECT_EQ(button->currentTitle(), wait(60));
    clock.advance(1);
    EXPECT_EQ(button->currentTitle(), wait(59));
    clock.advance(29);
    EXPECT_EQ(button->currentTitle(), wait(30));
    cell->disableButton();  // a second countdown starts again at 30 s, and only one runs
    clock.advance(1);
    EXPECT_EQ(button->currentTitle(), wait(59));
    clock.advance(58);
    EXPECT_FALSE(button->isEnabled());
    EXPECT_EQ(cell->mCount(), 59);
    clock.advance(1);
    EXPECT_TRUE(button->isEnabled());
    EXPECT_EQ(button->currentTitle(), sms);
    clock.advance(5);
    EXPECT_EQ(cell->mCount(), 60);  // ended once

    cell->disableButton();
    clock.advance(3);
    cell->enableButton();
    EXPECT_TRUE(button->isEnabled());
    clock.advance(10);
    EXPECT_EQ(cell->mCount(), 3);
    EXPECT_EQ(button->currentTitle(), sms);
}

TEST_F(CardPayInputCells, PhoneRuleAndModifyButton) {
    auto cell = make<BCTelephoneCell>(Dictionary{{"button_label", "Modify"}, {"button_action", "change_phone"}});
    for (const char* good : {"13800138000", "10000000000"}) {
        cell->setText(good);
        EXPECT_TRUE(cell->isLegalLength()) << good;
    }
    for (const char* bad : {"23800138000", "1380013800", "138001380001"}) {
        cell->setText(bad);
        EXPECT_FALSE(cell->isLegalLength()) << bad;
    }
    ASSERT_TRUE(cell->resetPhoneButton());
    BCDataContainer::instance()->setPayType(101);
    cell->resetPhoneButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(BCDataContainer::instance()->bcPayPrefix(), "bankpay_phoneNO_change_");
    BCDataContainer::instance()->setPayType(102);
    cell->modifyAction();
    EXPECT_EQ(BCDataContainer::instance()->bcPayPrefix(), "loginpay_phoneNO_change_");
    EXPECT_EQ(screen->actions, (std::vector<std::optional<std::string>>{"change_phone", "change_phone"}));
    EXPECT_EQ(trackedEvents(), (std::vector<std::string>{"bankpay_change_phoneNO", "loginpay_change_phoneNO"}));

    auto custom = make<BCTelephoneCell>(Dictionary{{"regexp", "\\d{8}"}});
    EXPECT_FALSE(custom->resetPhoneButton());
    custom->setText("12345678");
    EXPECT_TRUE(custom->isLegalLength());
}

TEST_F(CardPayInputCells, FirstKeyTrackingWithAndWithoutAPrefix) {
    auto cvn = make<BCCvn2Cell>(Dictionary{});
    auto pan = make<BCBankNumCell>(Dictionary{});
    press(*cvn, "12");
    press(*pan, "6");
    BCDataContainer::instance()->setPayType(101);
    BCDataContainer::instance()->setBcPayPrefix(std::string("bankpay_phoneNO_change_"));
    auto sms = make<BCSmsCodeCell>(Dictionary{});
    auto pan2 = make<BCBankNumCell>(Dictionary{});
    press(*sms, "1");
    press(*pan2, "6");
    EXPECT_EQ(trackedEvents(), (std::vector<std::string>{"loginpay_input_cvn2", "loginpay_input_cardNO",
                                                         "bankpay_phoneNO_change_input_msg", "bankpay_input_cardNO"}));
    EXPECT_TRUE(cvn->textField()->isSecureTextEntry());
    EXPECT_EQ(cvn->text(), "12");
}

TEST_F(CardPayInputCells, CommonCellsUseTheSystemKeyboard) {
    auto cert = make<BCCommCell>(Dictionary{{"type", "cert_id"}, {"name", "cert_id"}, {"placeholder", "ID number"}});
    EXPECT_FALSE(cert->textField()->inputView());
    EXPECT_TRUE(cert->textField()->inputAccessoryView());
    EXPECT_EQ(cert->textField()->tag(), BCCommCell::kTag);
    EXPECT_TRUE(cert->myContent());
    EXPECT_TRUE(cert->textField()->leftView());
    EXPECT_EQ(platform::TextInputDriver::type(*cert->textField(), "11\"0\\1"), 6u);
    const auto parsed = platform::JSON::parse("{" + *cert->param() + "}");
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ((*parsed.value().getDictionary())["cert_id"].stringOr(""), "11\"0\\1");
    screen->allowTyping = false;  // the screen's answer is forwarded
    EXPECT_EQ(platform::TextInputDriver::type(*cert->textField(), "9"), 0u);
    screen->allowTyping = true;

    auto text = make<BCCommCell>(Dictionary{{"type", "text"}});
    EXPECT_FALSE(text->myContent());
    EXPECT_FALSE(text->textField()->leftView());
    platform::TextInputDriver::type(*text->textField(), std::string(100, 'a'));
    EXPECT_FALSE(text->isLegalLength());

    BCDataContainer::instance()->setBcPayPrefix(std::string("pre_"));
    auto coupon = make<BCCouponCell>(Dictionary{});
    platform::TextInputDriver::type(*coupon->textField(), "AB");  // the coupon is never prefixed
    auto cert2 = make<BCCommCell>(Dictionary{{"type", "cert_id"}});
    platform::TextInputDriver::type(*cert2->textField(), "1");
    EXPECT_EQ(trackedEvents(), (std::vector<std::string>{"loginpay_input_certId", "loginpay_input_coupon", "pre_input_certId"}));
}
