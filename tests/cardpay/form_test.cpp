// The server-driven payment form.
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "platform/application/Application.h"
#include "platform/formats/JSON.h"
#include "platform/ui/TextInputDriver.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Rect;

namespace {

struct Screen : BCTextFieldDelegate {
    void textFieldChangeType(int) override {}
};

platform::Dictionary parsedParams(const std::string& params) {
    const auto parsed = platform::JSON::parse("{" + params + "}");
    EXPECT_TRUE(parsed.ok()) << params;
    if (!parsed.ok() || !parsed.value().getDictionary())
        return {};
    return *parsed.value().getDictionary();
}

class CardPayForm : public ::testing::Test {
protected:
    void SetUp() override {
        BCDataContainer::destory();
        platform::Application::shared().setStatusBarOrientation(platform::InterfaceOrientation::Portrait);
    }
    void TearDown() override { BCDataContainer::destory(); }
    std::shared_ptr<Screen> screen = std::make_shared<Screen>();
};

const Array kElements{
    Dictionary{{"type", "PAN"}, {"name", "pan"}, {"placeholder", "Card number"}},
    Dictionary{{"type", "Mobile"}, {"name", "mobile"}, {"placeholder", "Phone"}},
    Dictionary{{"type", "sms"}, {"name", "sms"}, {"placeholder", "SMS code"}},
    Dictionary{{"type", "cvn2"}, {"name", "cvn2"}, {"placeholder", "CVN2"}},
    Dictionary{{"type", "hidden"}, {"name", "channel"}, {"value", "01"}},
    Dictionary{{"type", "string"}, {"label", "Amount"}, {"value", "128.00"}},
    Dictionary{{"type", "text"}, {"name", "remark"}, {"placeholder", "Remark"}},
};

} // namespace

// GCC 12 at -O2 takes the index pointer of the dictionaries moved into the array below as possibly
// uninitialized (-Wmaybe-uninitialized from <tuple>, inside std::unique_ptr within the value's variant):
// a dictionary's index always starts null, so the warning is false and is silenced for this test alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
TEST_F(CardPayForm, CellsByTypeStackedWithLines) {
    Array elements = kElements;
    elements.push_back("not a dictionary");
    elements.push_back(Dictionary{{"name", "no type"}});
    elements.push_back(Dictionary{{"type", 5}});
    elements.push_back(Dictionary{{"type", "hologram"}});
    BCPaymentElementsView form(Rect(0, 100, 375, 0), elements, screen);
    const auto& cells = form.elementArray();
    ASSERT_EQ(cells.size(), 7u);
    EXPECT_TRUE(std::dynamic_pointer_cast<BCBankNumCell>(cells[0]));
    EXPECT_TRUE(std::dynamic_pointer_cast<BCTelephoneCell>(cells[1]));
    EXPECT_TRUE(std::dynamic_pointer_cast<BCSmsCodeCell>(cells[2]));
    EXPECT_TRUE(std::dynamic_pointer_cast<BCCvn2Cell>(cells[3]));
    EXPECT_TRUE(std::dynamic_pointer_cast<BCHiddenCell>(cells[4]));
    EXPECT_TRUE(std::dynamic_pointer_cast<BCStringCell>(cells[5]));
    EXPECT_TRUE(std::dynamic_pointer_cast<BCCommCell>(cells[6]));
    // Each shown cell starts one point below the one before; the hidden cell takes no room.
    EXPECT_EQ(cells[0]->frame(), Rect(0, 0, 375, 44));
    EXPECT_DOUBLE_EQ(cells[1]->frame().origin.y, 45);
    EXPECT_DOUBLE_EQ(cells[4]->frame().size.height, 0);
    EXPECT_DOUBLE_EQ(cells[5]->frame().origin.y, cells[4]->frame().origin.y);
    EXPECT_DOUBLE_EQ(form.frame().size.height, cells[6]->frame().origin.y + 44 + 1);
    EXPECT_DOUBLE_EQ(form.frame().origin.y, 100);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

TEST_F(CardPayForm, ParametersAndChecks) {
    BCPaymentElementsView form(Rect(0, 0, 375, 0), kElements, screen);
    const auto& cells = form.elementArray();
    const auto cell = [&](std::size_t i) { return std::static_pointer_cast<BCBaseCell>(cells[i]); };
    const auto locale = BCLocale::instance();
    EXPECT_EQ(form.checkPaymentParamsError(), formatText(locale->getStringById(12004), "Card number"));
    cell(0)->setText("4111 1111 1111 1112");
    EXPECT_EQ(form.checkSmsParamsError(), formatText(locale->getStringById(12007), "Card number"));
    cell(0)->setText("4111 1111 1111 1111");
    EXPECT_EQ(form.checkSmsParamsError(), formatText(locale->getStringById(12004), "Phone"));
    cell(1)->setText("13800138000");
    EXPECT_EQ(form.checkSmsParamsError(), std::nullopt);
    EXPECT_EQ(form.checkPaymentParamsError(), formatText(locale->getStringById(12004), "SMS code"));
    cell(2)->setText("123456");
    cell(3)->setText("12");
    EXPECT_EQ(form.checkPaymentParamsError(), formatText(locale->getStringById(12007), "CVN2"));
    cell(3)->setText("123");
    cell(6)->setText("gift \"wrap\" \\ please");
    EXPECT_EQ(form.checkPaymentParamsError(), std::nullopt);

    const auto sms = parsedParams(form.smsParams());
    EXPECT_EQ(sms.size(), 3u);
    EXPECT_EQ(sms["pan"].stringOr(""), "4111111111111111");
    EXPECT_EQ(sms["mobile"].stringOr(""), "13800138000");
    EXPECT_EQ(sms["channel"].stringOr(""), "01");
    const auto all = parsedParams(form.paymentParams());
    EXPECT_EQ(all.size(), 6u);
    EXPECT_EQ(all["remark"].stringOr(""), "gift \"wrap\" \\ please");

    // A pasted 100,000-character remark is refused by the check.
    EXPECT_TRUE(cell(6)->textField()->insertText(std::string(100'000, '7')));
    EXPECT_EQ(form.checkPaymentParamsError(), formatText(locale->getStringById(12007), "Remark"));

    form.setNeedsDeviceEncryption();
    EXPECT_FALSE(parsedParams(form.paymentParams()).contains("pan"));
    form.cleanupSecretInfo();
    EXPECT_TRUE(cell(3)->isEmpty());
}

TEST_F(CardPayForm, PinSmsAndRotation) {
    BCDataContainer::instance()->setMMessageBlock(std::string("4111111111111111"));
    BCPaymentElementsView form(Rect(0, 0, 375, 0),
                               Array{Dictionary{{"type", "pwd"}, {"name", "pin"}}, Dictionary{{"type", "sms"}, {"name", "sms"}}}, screen);
    auto pin = std::static_pointer_cast<BCPasswordCell>(form.elementArray()[0]);
    auto sms = std::static_pointer_cast<BCSmsCodeCell>(form.elementArray()[1]);
    for (const char c : std::string("123456"))
        pin->keyboard()->digitKey(c - '0')->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(parsedParams(form.paymentParams())["pin"].stringOr(""), "06122547EEEEEEEE");
    pin->keyboard()->setRandomSeed(1);
    const auto before = pin->keyboard()->keyDigits();
    form.makeKeyboardRandom();
    EXPECT_NE(pin->keyboard()->keyDigits(), before);
    form.cleanupPassword();
    EXPECT_TRUE(pin->isEmpty());
    EXPECT_EQ(pin->keyboard()->keptDigitCount(), 0u);

    auto target = std::make_shared<int>();
    int taps = 0;
    form.addSmsCodeTarget(target, [&] { ++taps; });
    sms->mBtnSmsCode()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(taps, 1);

    form.willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0.3);
    EXPECT_DOUBLE_EQ(form.frame().size.width, 667);
    EXPECT_DOUBLE_EQ(sms->frame().size.width, 667);
    EXPECT_DOUBLE_EQ(sms->mBtnSmsCode()->frame().maxX(), 667);
}

TEST_F(CardPayForm, NewCardBlockTakesThePanElement) {
    BCNewBankCardCell block(Rect(0, 20, 375, 0),
                            Array{Dictionary{{"type", "sms"}}, Dictionary{{"type", "Pan"}, {"name", "card"}, {"label", "Card number"}}}, screen);
    ASSERT_TRUE(block.bankCell());
    EXPECT_EQ(block.bankCell()->mName(), "card");
    EXPECT_DOUBLE_EQ(block.frame().size.height, block.bankCell()->frame().size.height);
    block.bankCell()->setText("4111111111111111");
    EXPECT_TRUE(block.bankCell()->isLegalLength());
    block.willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0.3);
    EXPECT_DOUBLE_EQ(block.bankCell()->frame().size.width, 667);
    BCNewBankCardCell empty(Rect(0, 0, 375, 0), Array{"x"}, screen);
    EXPECT_DOUBLE_EQ(empty.frame().size.height, 44);
}
