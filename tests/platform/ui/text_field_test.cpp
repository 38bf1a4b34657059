#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Button.h"
#include "platform/ui/KeyboardManager.h"
#include "platform/ui/Screen.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextInputDriver.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/Window.h"

#include "support/LogCapture.h"
#include "support/Snapshot.h"

#include <gtest/gtest.h>

#include <optional>

using namespace platform;

namespace {

using Events = std::vector<std::string>;

class RecordingDelegate : public TextFieldDelegate {
public:
    bool textFieldShouldBeginEditing(TextField&) override { events.push_back("shouldBegin"); return allowBegin; }
    void textFieldDidBeginEditing(TextField&) override { events.push_back("didBegin"); }
    bool textFieldShouldEndEditing(TextField&) override { events.push_back("shouldEnd"); return allowEnd; }
    void textFieldDidEndEditing(TextField&) override { events.push_back("didEnd"); }
    bool shouldChangeCharacters(TextField&, TextRange16 range, const std::string& s) override {
        events.push_back("change " + std::to_string(range.location) + "," + std::to_string(range.length) + " '" + s + "'");
        return !refused || s != *refused;
    }
    bool textFieldShouldClear(TextField&) override { events.push_back("shouldClear"); return allowClear; }
    bool textFieldShouldReturn(TextField&) override { events.push_back("shouldReturn"); return true; }

    Events events;
    bool allowBegin = true, allowEnd = true, allowClear = true;
    std::optional<std::string> refused;
};

class TextFieldTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock.install();
        window = Window::create(Screen::main().bounds());
        window->makeKeyAndVisible();
        field = std::make_shared<TextField>(Rect(10, 40, 200, 30));
        window->addSubview(field);
        delegate = std::make_shared<RecordingDelegate>();
        field->setDelegate(delegate);
    }
    void TearDown() override {
        window->endEditing(true);
        clock.advance(1);
        clock.uninstall();
    }

    VirtualClock clock;
    std::shared_ptr<Window> window;
    std::shared_ptr<TextField> field;
    std::shared_ptr<RecordingDelegate> delegate;
};

} // namespace

TEST_F(TextFieldTest, TypingAsksTheDelegateForEachCharacter) {
    delegate->refused = "3";
    ASSERT_TRUE(TextInputDriver::focus(*field));
    EXPECT_EQ(TextInputDriver::type(*field, "1234"), 3u);
    EXPECT_EQ(field->text(), "124");
    EXPECT_EQ(delegate->events, (Events{"shouldBegin", "didBegin", "change 0,0 '1'", "change 1,0 '2'", "change 2,0 '3'", "change 2,0 '4'"}));
    EXPECT_EQ(field->selectedRange(), (TextRange16{3, 0}));
}

TEST_F(TextFieldTest, SelectionAfterTypingAndBackspaceCountsUTF16Units) {
    TextInputDriver::focus(*field);
    TextInputDriver::type(*field, "a金😀b");  // 1 + 1 + 2 + 1 units
    EXPECT_EQ(field->length(), 5u);
    EXPECT_EQ(field->selectedRange(), (TextRange16{5, 0}));
    field->setSelectedRange({4, 0});
    ASSERT_TRUE(TextInputDriver::backspace(*field));  // the whole emoji
    EXPECT_EQ(field->text(), "a金b");
    EXPECT_EQ(field->selectedRange(), (TextRange16{2, 0}));
    EXPECT_EQ(delegate->events.back(), "change 2,2 ''");

    field->setSelectedRange({0, 2});  // typing replaces the selection
    TextInputDriver::type(*field, "x");
    EXPECT_EQ(field->text(), "xb");
    EXPECT_EQ(field->selectedRange(), (TextRange16{1, 0}));

    field->setSelectedRange({0, 0});
    EXPECT_FALSE(TextInputDriver::backspace(*field)) << "nothing before the caret";
}

TEST_F(TextFieldTest, BadRangesAndInputAreClampedOrRefused) {
    hybtest::LogCapture log;
    field->setText("abc");
    field->setSelectedRange({2, 50});
    EXPECT_EQ(field->selectedRange(), (TextRange16{2, 1}));
    field->setSelectedRange({99, 0});
    EXPECT_EQ(field->selectedRange(), (TextRange16{3, 0}));
    EXPECT_TRUE(log.contains("past the end"));

    field->setText("😀");
    field->setSelectedRange({1, 0});  // inside the surrogate pair
    EXPECT_EQ(field->selectedRange(), (TextRange16{0, 0}));

    TextInputDriver::focus(*field);
    EXPECT_EQ(TextInputDriver::type(*field, std::string("a\xff", 2)), 0u);
    EXPECT_FALSE(field->setText(std::string("\xc3", 1)));
    EXPECT_EQ(field->text(), "😀");
    EXPECT_TRUE(log.contains("not valid UTF-8"));
}

TEST_F(TextFieldTest, EditingEventsClearButtonReturnAndMenu) {
    Events actions;
    auto target = std::make_shared<int>();
    field->addTarget(target, [&](Control&) { actions.push_back("begin"); }, kControlEventEditingDidBegin);
    field->addTarget(target, [&](Control&) { actions.push_back("changed"); }, kControlEventEditingChanged);
    field->addTarget(target, [&](Control&) { actions.push_back("end"); }, kControlEventEditingDidEnd);
    field->setClearButtonMode(TextFieldViewMode::WhileEditing);

    EXPECT_FALSE(field->canPerformAction(EditAction::Select));
    TextInputDriver::focus(*field);
    EXPECT_FALSE(field->isClearButtonShown()) << "no text yet";
    TextInputDriver::type(*field, "ab");
    EXPECT_TRUE(field->isClearButtonShown());
    EXPECT_TRUE(field->canPerformAction(EditAction::Select));
    EXPECT_TRUE(field->canPerformAction(EditAction::SelectAll));
    field->setSelectedRange({0, 2});
    EXPECT_FALSE(field->canPerformAction(EditAction::SelectAll));
    EXPECT_FALSE(field->canPerformAction(EditAction::Select));

    delegate->allowClear = false;
    EXPECT_FALSE(TextInputDriver::tapClearButton(*field));
    EXPECT_EQ(field->text(), "ab");
    delegate->allowClear = true;
    EXPECT_TRUE(TextInputDriver::tapClearButton(*field));
    EXPECT_EQ(field->text(), "");
    EXPECT_TRUE(TextInputDriver::pressReturn(*field));
    EXPECT_TRUE(field->isFirstResponder()) << "no did-end-on-exit target";

    delegate->allowEnd = false;
    EXPECT_FALSE(field->resignFirstResponder());
    EXPECT_TRUE(window->endEditing(true)) << "forced";
    EXPECT_FALSE(field->isFirstResponder());
    EXPECT_EQ(actions, (Events{"begin", "changed", "changed", "changed", "end"}));
}

TEST_F(TextFieldTest, OneFirstResponderPerWindowAndRefusals) {
    auto other = std::make_shared<TextField>(Rect(10, 80, 200, 30));
    window->addSubview(other);
    delegate->allowBegin = false;
    EXPECT_FALSE(TextInputDriver::focus(*field));
    delegate->allowBegin = true;
    ASSERT_TRUE(TextInputDriver::focus(*field));
    ASSERT_TRUE(other->becomeFirstResponder());
    EXPECT_FALSE(field->isFirstResponder());
    EXPECT_EQ(window->firstResponder(), other);

    delegate->events.clear();
    field->becomeFirstResponder();
    delegate->allowEnd = false;
    EXPECT_FALSE(other->becomeFirstResponder()) << "the current one refuses to resign";
    EXPECT_TRUE(field->isFirstResponder());

    auto plain = std::make_shared<View>(Rect(0, 0, 10, 10));
    window->addSubview(plain);
    EXPECT_FALSE(plain->becomeFirstResponder());
    field->setEnabled(false);
    EXPECT_FALSE(field->canBecomeFirstResponder());
}

TEST_F(TextFieldTest, KeyboardNotificationsInOrderWithEndFrameAndDuration) {
    Events posted;
    std::vector<Rect> frames;
    std::vector<double> durations;
    auto& center = NotificationCenter::defaultCenter();
    for (const char* name : {kKeyboardWillChangeFrameNotification, kKeyboardWillShowNotification, kKeyboardDidShowNotification,
                             kKeyboardWillHideNotification, kKeyboardDidHideNotification})
        center.addObserver(this, name, nullptr, [&](const Notification& n) {
            posted.push_back(n.name);
            frames.push_back(KeyboardManager::endFrame(n).value_or(Rect()));
            const Value* d = n.userInfo.find(kKeyboardAnimationDurationUserInfoKey);
            durations.push_back(d && d->getDouble() ? *d->getDouble() : -1);
        });

    TextInputDriver::focus(*field);
    EXPECT_EQ(posted, (Events{kKeyboardWillChangeFrameNotification, kKeyboardWillShowNotification}));
    clock.advance(0.24);
    EXPECT_EQ(posted.size(), 2u);
    clock.advance(0.01);
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[2], kKeyboardDidShowNotification);
    for (Rect f : frames)
        EXPECT_EQ(f, Rect(0, 667 - 216, 375, 216));
    for (double d : durations)
        EXPECT_EQ(d, 0.25);

    auto other = std::make_shared<TextField>(Rect(10, 80, 200, 30));
    window->addSubview(other);
    other->becomeFirstResponder();
    EXPECT_EQ(posted.size(), 3u) << "the same keyboard stays up";

    auto keypad = std::make_shared<View>(Rect(0, 0, 375, 180));
    auto accessory = std::make_shared<View>(Rect(0, 0, 375, 44));
    field->setInputView(keypad);
    field->setInputAccessoryView(accessory);
    field->becomeFirstResponder();
    clock.advance(0.25);
    ASSERT_EQ(posted.size(), 6u);
    EXPECT_EQ(frames[5], Rect(0, 667 - 224, 375, 224)) << "the input view's height plus the accessory";
    ASSERT_TRUE(KeyboardManager::shared().window());
    EXPECT_FALSE(KeyboardManager::shared().window()->isHidden());
    EXPECT_EQ(keypad->superview(), KeyboardManager::shared().window());
    EXPECT_EQ(keypad->frame(), Rect(0, 44, 375, 180));

    posted.clear();
    window->endEditing(false);
    clock.advance(0.25);
    EXPECT_EQ(posted, (Events{kKeyboardWillChangeFrameNotification, kKeyboardWillHideNotification, kKeyboardDidHideNotification}));
    EXPECT_TRUE(KeyboardManager::shared().window()->isHidden());
    EXPECT_FALSE(KeyboardManager::shared().isVisible());
    center.removeObserver(this);
}

// A field that leaves its window, alone or inside what is removed or moved into another tree, resigns
// (its delegate told) and its keyboard goes with it; a move within the window keeps it.
TEST_F(TextFieldTest, LeavingTheWindowTakesTheKeyboardAlong) {
    auto keypad = std::make_shared<View>(Rect(0, 0, 375, 216));
    field->setInputView(keypad);
    auto screen = std::make_shared<View>(Screen::main().bounds());
    auto row = std::make_shared<View>(Rect(0, 100, 375, 44));
    window->addSubview(screen);
    screen->addSubview(row);
    enum class Leave { RemoveField, RemoveAncestor, MoveToOtherTree };
    for (Leave leave : {Leave::RemoveField, Leave::RemoveAncestor, Leave::MoveToOtherTree}) {
        row->addSubview(field);
        TextInputDriver::focus(*field);
        clock.advance(0.25);
        ASSERT_TRUE(KeyboardManager::shared().isVisible());
        screen->addSubview(field);  // within the window: still editing
        EXPECT_TRUE(field->isFirstResponder());
        row->addSubview(field);
        delegate->events.clear();
        auto elsewhere = std::make_shared<View>(Rect(0, 0, 375, 100));
        switch (leave) {
        case Leave::RemoveField: field->removeFromSuperview(); break;
        case Leave::RemoveAncestor: screen->removeFromSuperview(); break;
        case Leave::MoveToOtherTree: elsewhere->addSubview(field); break;
        }
        EXPECT_EQ(delegate->events, (Events{"shouldEnd", "didEnd"})) << static_cast<int>(leave);
        EXPECT_FALSE(field->isFirstResponder());
        EXPECT_FALSE(window->firstResponder());
        EXPECT_FALSE(KeyboardManager::shared().isVisible()) << static_cast<int>(leave);
        EXPECT_TRUE(KeyboardManager::shared().window()->isHidden());
        EXPECT_EQ(keypad->superview(), nullptr);
        window->addSubview(screen);
    }
}

TEST_F(TextFieldTest, CustomKeyboardKeysAndTappingTheField) {
    auto keypad = std::make_shared<View>(Rect(0, 0, 375, 216));
    for (int digit = 0; digit < 10; ++digit) {
        auto key = Button::create(ButtonType::Custom, Rect(digit * 37, 0, 37, 50));
        key->setTitle(std::to_string(digit), kControlStateNormal);
        std::weak_ptr<TextField> weak = field;
        key->addTarget(key, [weak, digit](Control&) { if (auto f = weak.lock()) f->insertText(std::to_string(digit)); },
                       kControlEventTouchUpInside);
        keypad->addSubview(key);
    }
    field->setInputView(keypad);
    field->setKeyboardType(KeyboardType::DecimalPad);
    TextInputDriver::focus(*field);
    EXPECT_TRUE(TextInputDriver::pressKey(*field, "7"));
    EXPECT_TRUE(TextInputDriver::pressKey(*field, "0"));
    EXPECT_FALSE(TextInputDriver::pressKey(*field, "."));
    EXPECT_EQ(field->text(), "70");

    window->endEditing(true);
    EXPECT_FALSE(field->isFirstResponder());
    field->setClearButtonMode(TextFieldViewMode::Always);
    // A tap on the field focuses it; a tap on its clear button clears it.
    TouchDriver::tapAt(window, Point(60, 55));
    EXPECT_TRUE(field->isFirstResponder());
    Rect clear = field->convertRectTo(field->clearButtonRect(), nullptr);
    TouchDriver::tapAt(window, clear.center());
    EXPECT_EQ(field->text(), "");
}

TEST_F(TextFieldTest, AKeyTakingInputViewGetsTheTypedKeys) {
    struct Keys : View, KeyInputView {
        bool typeKeys(const std::string& text) override { typed += text; return true; }
        bool pressDelete() override { ++deletes; return true; }
        bool pressReturn() override { ++returns; return false; }
        std::string typed;
        int deletes = 0, returns = 0;
    };
    auto keys = std::make_shared<Keys>();
    field->setText("12");
    field->setInputView(keys);
    TextInputDriver::focus(*field);
    EXPECT_EQ(TextInputDriver::type(*field, "3a"), 2u);
    EXPECT_TRUE(TextInputDriver::backspace(*field));
    EXPECT_FALSE(TextInputDriver::pressReturn(*field));
    EXPECT_EQ(keys->typed, "3a");
    EXPECT_EQ(keys->deletes, 1);
    EXPECT_EQ(keys->returns, 1);
    EXPECT_EQ(field->text(), "12");  // only the keys change the text
    // A plain input view leaves typing to the field.
    field->setInputView(std::make_shared<View>(Rect(0, 0, 375, 216)));
    TextInputDriver::type(*field, "4");
    EXPECT_EQ(field->text(), "124");
}

TEST(TextFieldRenderTest, EachBorderStyleWithPlaceholderTextClearButtonAndSecureText) {
    auto root = std::make_shared<View>(Rect(0, 0, 360, 180));
    root->setBackgroundColor(Color::grey(0.94));
    const TextBorderStyle styles[] = {TextBorderStyle::None, TextBorderStyle::Line, TextBorderStyle::Bezel, TextBorderStyle::RoundedRect};
    double y = 10;
    for (TextBorderStyle style : styles) {
        auto placeholder = std::make_shared<TextField>(Rect(10, y, 110, 32));
        placeholder->setPlaceholder("请输入金额");
        auto text = std::make_shared<TextField>(Rect(128, y, 110, 32));
        text->setText("Hello 订单");
        text->setClearButtonMode(TextFieldViewMode::Always);
        auto secure = std::make_shared<TextField>(Rect(246, y, 104, 32));
        secure->setText("secret1");
        secure->setSecureTextEntry(true);
        auto badge = std::make_shared<View>(Rect(0, 0, 24, 24));
        badge->setBackgroundColor(Color::fromRGBA255(52, 120, 246));
        secure->setLeftView(badge);
        secure->setLeftViewMode(TextFieldViewMode::Always);
        for (auto& f : {placeholder, text, secure}) {
            f->setBorderStyle(style);
            f->setFont(Font::systemFont(15));
            root->addSubview(f);
            f->layoutIfNeeded();
        }
        y += 42;
    }
    hybtest::expectSnapshot(*root, "text_fields_border_styles");
}
