// The digit keyboard and the base form cell.
#include "cardpay/cells/BCBaseCell.h"
#include "cardpay/cells/BCKeyboard.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCTextSize.h"
#include "platform/application/Application.h"
#include "platform/formats/JSON.h"
#include "platform/ui/TextInputDriver.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace cardpay;
using platform::Dictionary;
using platform::Rect;
using platform::TextInputDriver;

namespace {

struct KeyRecorder : BCKeyboardDelegate {
    bool textChanged(const std::string& text) override {
        texts.push_back(text);
        return accept;
    }
    void deleteClick() override { ++deletes; }
    void doneClick() override { ++dones; }
    std::vector<std::string> texts;
    int deletes = 0;
    int dones = 0;
    bool accept = true;
};

struct Screen : BCTextFieldDelegate {
    void textFieldChangeType(int type) override { types.push_back(type); }
    std::vector<int> types;
};

void press(BCKeyboard& keyboard, int digit) {
    keyboard.digitKey(digit)->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
}

void pressDigits(BCKeyboard& keyboard, const std::string& digits) {
    for (const char c : digits)
        press(keyboard, c - '0');
}

} // namespace

TEST(CardPayKeyboard, PlainKeysHandOutDigits) {
    BCKeyboard keyboard;
    auto recorder = std::make_shared<KeyRecorder>();
    keyboard.setMDelegate(recorder);
    EXPECT_EQ(keyboard.frame(), Rect(0, 0, BCUtils::displayWidth(), 216));
    EXPECT_EQ(keyboard.keyDigits(), (std::array<int, 10>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));
    pressDigits(keyboard, "907");
    keyboard.deleteKey()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    keyboard.doneKey()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(recorder->texts, (std::vector<std::string>{"9", "0", "7"}));
    EXPECT_EQ(recorder->deletes, 1);
    EXPECT_EQ(recorder->dones, 1);
    EXPECT_EQ(keyboard.keptDigitCount(), 0u);
    EXPECT_EQ(keyboard.getMessage("4111111111111111"), std::nullopt);
    // Keys do not overlap and stay inside the keyboard.
    for (int d = 0; d < 10; ++d)
        EXPECT_EQ(keyboard.bounds().intersection(keyboard.digitKey(d)->frame()), keyboard.digitKey(d)->frame()) << d;
    EXPECT_FALSE(keyboard.digitKey(0)->frame().intersects(keyboard.deleteKey()->frame()));
}

TEST(CardPayKeyboard, SecurityModeKeepsTheDigitsAndGivesThePinBlock) {
    BCKeyboard keyboard;
    auto recorder = std::make_shared<KeyRecorder>();
    keyboard.setMDelegate(recorder);
    keyboard.setRandomSeed(7);
    keyboard.setSecurity(true);
    EXPECT_EQ(keyboard.getMessage("4111111111111111"), std::nullopt);  // nothing kept yet
    pressDigits(keyboard, "123456");
    EXPECT_EQ(recorder->texts, std::vector<std::string>(6, "*"));
    EXPECT_EQ(keyboard.keptDigitCount(), 6u);
    EXPECT_EQ(keyboard.getMessage("4111111111111111"), "06122547EEEEEEEE");
    EXPECT_EQ(keyboard.getMessage("4111 1111 1111 1111"), "06122547EEEEEEEE");
    EXPECT_EQ(keyboard.getMessage("4111-1111"), std::nullopt);
    // A short card number is padded with zeros on the left.
    EXPECT_EQ(keyboard.getMessage("12"), "06123456FFFFFFFE");

    // Delete removes the last kept digit first.
    keyboard.deleteKey()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(recorder->deletes, 1);
    EXPECT_EQ(keyboard.getMessage("0000000000000000"), "0512345FFFFFFFFF");

    // A refused mark is not kept; at twelve digits further keys are ignored.
    recorder->accept = false;
    press(keyboard, 9);
    EXPECT_EQ(keyboard.keptDigitCount(), 5u);
    recorder->accept = true;
    pressDigits(keyboard, "99999999");
    EXPECT_EQ(keyboard.keptDigitCount(), 12u);
    const std::size_t heard = recorder->texts.size();
    press(keyboard, 1);
    EXPECT_EQ(recorder->texts.size(), heard);
    EXPECT_EQ(keyboard.getMessage("0000000000000000"), "0C123459999999FF");

    // Clearing, or leaving security mode, forgets the digits.
    keyboard.clearKeptDigits();
    EXPECT_EQ(keyboard.getMessage("4111111111111111"), std::nullopt);
    press(keyboard, 3);
    keyboard.setSecurity(false);
    EXPECT_EQ(keyboard.keptDigitCount(), 0u);
    EXPECT_EQ(keyboard.keyDigits(), (std::array<int, 10>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));
}

TEST(CardPayKeyboard, ShuffleIsAPermutationThatChanges) {
    BCKeyboard keyboard;
    keyboard.setRandomSeed(1);
    keyboard.setSecurity(true);
    const auto first = keyboard.keyDigits();
    auto sorted = first;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::array<int, 10>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    for (std::size_t i = 0; i < 10; ++i)  // the titles follow the digits
        EXPECT_EQ(keyboard.digitKey(first[i])->currentTitle(), std::to_string(first[i]));
    keyboard.makeKeyboardRandom();
    EXPECT_NE(keyboard.keyDigits(), first);
    // The same seed deals the same keys whatever was dealt before (reference pictures rely on it).
    BCKeyboard again;
    again.setSecurity(true);
    again.makeKeyboardRandom();
    again.setRandomSeed(1);
    EXPECT_EQ(again.keyDigits(), first);
}

// MARK: - Base cell

class CardPayBaseCell : public ::testing::Test {
protected:
    void SetUp() override {
        BCDataContainer::destory();
        platform::Application::shared().setStatusBarOrientation(platform::InterfaceOrientation::Portrait);
    }
    void TearDown() override { BCDataContainer::destory(); }
    std::shared_ptr<Screen> screen = std::make_shared<Screen>();
};

TEST_F(CardPayBaseCell, HeightsOfTheParts) {
    auto bare = BCBaseCell::create(Rect(0, 30, 375, 0), Dictionary{{"name", "cvn2"}, {"placeholder", "CVN2"}}, screen);
    EXPECT_EQ(bare->frame(), Rect(0, 30, 375, 44));
    EXPECT_EQ(bare->textField()->frame(), Rect(12, 0, 351, 44));
    EXPECT_EQ(bare->bgView()->frame(), Rect(0, 0, 375, 44));
    EXPECT_FALSE(bare->labelCell());
    EXPECT_FALSE(bare->tipBox());
    EXPECT_FALSE(bare->topLine());
    EXPECT_EQ(bare->textField()->inputView(), bare->keyboard());
    EXPECT_FALSE(bare->textField()->inputAccessoryView());
    EXPECT_EQ(bare->keyboard()->mDelegate(), bare);
    EXPECT_EQ(bare->value(), "CVN2");
    EXPECT_EQ(bare->maxLength(), 32);

    const std::string caption = "Card number";
    const std::string tip = "Enter the number printed on the front of your card";
    auto full = BCBaseCell::create(Rect(0, 0, 375, 0), Dictionary{{"label", caption}, {"tip", tip}, {"name", "pan"}}, screen, true,
                                   std::string("卡号"));
    const double ch = newSizeWithFont(caption, platform::Font::systemFont(16), 351, platform::LineBreakMode::WordWrap).height;
    const double hh = newSizeWithFont(tip, platform::Font::systemFont(14), 351, platform::LineBreakMode::WordWrap).height;
    EXPECT_EQ(full->labelCell()->frame(), Rect(12, 0, 351, ch));
    EXPECT_EQ(full->textField()->frame(), Rect(12, ch + 5, 351, 44));
    EXPECT_EQ(full->topLine()->frame(), Rect(0, ch + 5, 375, 1));
    EXPECT_EQ(full->bottomLine()->frame(), Rect(0, ch + 5 + 43, 375, 1));
    EXPECT_EQ(full->tipBox()->frame(), Rect(0, ch + 5 + 44, 375, hh + 24));
    EXPECT_EQ(full->tipBox()->backgroundColor(), platform::Color::fromRGBA255(251, 235, 184));
    EXPECT_EQ(full->tipCell()->frame(), Rect(12, 12, 351, hh));
    EXPECT_DOUBLE_EQ(full->frame().size.height, ch + 5 + 44 + hh + 24);
    EXPECT_TRUE(full->textField()->leftView());
}

TEST_F(CardPayBaseCell, KeysStopAtTheLimitUnlessASelectionIsReplaced) {
    auto cell = BCBaseCell::create(Rect(0, 0, 375, 0), Dictionary{{"name", "n"}}, screen);
    BCKeyboard& keyboard = *cell->keyboard();
    press(keyboard, 5);
    EXPECT_EQ(screen->types, std::vector<int>{0});
    for (int i = 1; i < 32; ++i)
        press(keyboard, i % 10);
    ASSERT_EQ(cell->text().size(), 32u);
    press(keyboard, 7);  // the 33rd key
    EXPECT_EQ(cell->text().size(), 32u);
    EXPECT_EQ(cell->text().back(), '1');
    setSelectedRange(*cell->textField(), {0, 2});
    press(keyboard, 7);
    EXPECT_EQ(cell->text().size(), 31u);
    EXPECT_EQ(cell->text().substr(0, 2), "72");
    EXPECT_EQ(selectedRange(*cell->textField()).location, 1u);
    EXPECT_EQ(screen->types, std::vector<int>{0});  // never one character long again
    // Through the text-input driver: a tap on a key, and the desktop's keys pressing them.
    cell->setText("");
    EXPECT_TRUE(TextInputDriver::pressKey(*cell->textField(), "4"));
    EXPECT_EQ(cell->text(), "4");
    EXPECT_EQ(TextInputDriver::type(*cell->textField(), "5x6"), 2u);  // letters press nothing
    EXPECT_EQ(cell->text(), "456");
    TextInputDriver::backspace(*cell->textField());
    EXPECT_EQ(cell->text(), "45");
    cell->keyboard()->setSecurity(true);
    TextInputDriver::type(*cell->textField(), "7");
    EXPECT_EQ(cell->text(), "45*");  // the digit stays in the keyboard
    EXPECT_EQ(cell->keyboard()->keptDigitCount(), 1u);
}

TEST_F(CardPayBaseCell, DeleteWithAndWithoutASelection) {
    auto cell = BCBaseCell::create(Rect(0, 0, 375, 0), Dictionary{{"value", "12345"}}, screen);
    EXPECT_EQ(cell->text(), "12345");
    setSelectedRange(*cell->textField(), {1, 2});
    cell->deleteClick();
    EXPECT_EQ(cell->text(), "145");
    EXPECT_EQ(selectedRange(*cell->textField()).location, 1u);
    setSelectedRange(*cell->textField(), {2, 0});
    cell->deleteClick();
    EXPECT_EQ(cell->text(), "15");
    EXPECT_EQ(selectedRange(*cell->textField()).location, 1u);
    setSelectedRange(*cell->textField(), {0, 0});
    cell->deleteClick();
    EXPECT_EQ(cell->text(), "15");
    EXPECT_TRUE(screen->types.empty());
    setSelectedRange(*cell->textField(), {2, 0});
    cell->deleteClick();
    cell->deleteClick();
    EXPECT_EQ(screen->types, std::vector<int>{1});
    cell->deleteClick();  // nothing left: nothing said
    EXPECT_EQ(screen->types, std::vector<int>{1});
    // A character outside the basic plane counts as two units and goes whole.
    cell->setText("a😀");
    cell->deleteClick();
    EXPECT_EQ(cell->text(), "a");
    EXPECT_EQ(selectedRange(*cell->textField()).location, 1u);
}

TEST_F(CardPayBaseCell, ParametersAreEscapedPairs) {
    auto cell = BCBaseCell::create(Rect(0, 0, 375, 0), Dictionary{{"name", "cert_id"}}, screen);
    EXPECT_TRUE(cell->isEmpty());
    EXPECT_EQ(cell->param(), std::nullopt);
    EXPECT_EQ(cell->paramWithString(""), "\"cert_id\":\"\"");
    cell->setText("110101");
    EXPECT_EQ(cell->param(), "\"cert_id\":\"110101\"");  // ordinary input as before

    const std::string hostile = "a\"b\\c\",\"pan\":\"1";
    cell->setText(hostile);
    const auto parsed = platform::JSON::parse("{" + *cell->param() + "}");
    ASSERT_TRUE(parsed.ok());
    const platform::Dictionary* object = parsed.value().getDictionary();
    ASSERT_TRUE(object);
    EXPECT_EQ(object->size(), 1u);
    EXPECT_EQ((*object)["cert_id"].stringOr(""), hostile);
    auto oddName = BCBaseCell::create(Rect(0, 0, 375, 0), Dictionary{{"name", "x\"y"}}, screen);
    EXPECT_TRUE(platform::JSON::parse("{" + oddName->paramWithString("v") + "}").ok());

    EXPECT_TRUE(cell->isLegalLength());
    cell->setText(std::string(33, '1'));
    EXPECT_FALSE(cell->isLegalLength());
}

TEST_F(CardPayBaseCell, ReadOnlyAndNonTextValues) {
    auto locked = BCBaseCell::create(Rect(0, 0, 375, 0), Dictionary{{"readonly", "true"}}, screen);
    EXPECT_TRUE(locked->isReadOnly());
    for (const platform::Value& v : {platform::Value("TRUE"), platform::Value("1"), platform::Value(true)}) {
        auto open = BCBaseCell::create(Rect(0, 0, 375, 0), Dictionary{{"readonly", v}}, screen);
        EXPECT_FALSE(open->isReadOnly());
    }
    auto odd = BCBaseCell::create(Rect(0, 0, 375, 0),
                                  Dictionary{{"label", 3}, {"name", platform::Array{}}, {"placeholder", 1.5}, {"value", 12},
                                             {"tip", Dictionary{}}, {"regexp", false}},
                                  screen);
    EXPECT_DOUBLE_EQ(odd->frame().size.height, 44);
    EXPECT_EQ(odd->mName(), "");
    EXPECT_EQ(odd->value(), "");
    EXPECT_TRUE(odd->isEmpty());
    EXPECT_EQ(odd->mRegexP(), std::nullopt);
}

TEST_F(CardPayBaseCell, RotationWidensEveryPart) {
    auto cell = BCBaseCell::create(Rect(0, 0, 375, 0), Dictionary{{"label", "Name"}, {"tip", "As on the card"}}, screen, true);
    const double d = BCUtils::rotatedOffset();
    ASSERT_EQ(d, 292);
    const Rect field = cell->textField()->frame();
    cell->keyboard()->setFrame(Rect(0, 0, 375, 216));
    cell->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0.3);
    EXPECT_EQ(cell->textField()->frame(), Rect(field.origin.x, field.origin.y, field.size.width + d, 44));
    EXPECT_DOUBLE_EQ(cell->bgView()->frame().size.width, 375 + d);
    EXPECT_DOUBLE_EQ(cell->tipBox()->frame().size.width, 375 + d);
    EXPECT_DOUBLE_EQ(cell->labelCell()->frame().size.width, 351 + d);
    EXPECT_DOUBLE_EQ(cell->topLine()->frame().size.width, 375 + d);
    EXPECT_DOUBLE_EQ(cell->keyboard()->frame().size.width, 375 + d);
    // The keys follow the keyboard's new width.
    EXPECT_GT(cell->keyboard()->deleteKey()->frame().origin.x, 375);

    // A cell added to a view without `create` is linked to its keyboard there.
    auto host = std::make_shared<platform::View>(Rect(0, 0, 375, 667));
    auto plain = std::make_shared<BCBaseCell>(Rect(0, 0, 375, 0), Dictionary{}, screen);
    EXPECT_FALSE(plain->keyboard()->mDelegate());
    host->addSubview(plain);
    EXPECT_EQ(plain->keyboard()->mDelegate(), plain);
}
