#include "platform/ui/ActionSheet.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/PopoverController.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/TouchDriver.h"

#include "OverlayFixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace platform;

namespace {

using Events = std::vector<std::string>;

struct Recorder : AlertViewDelegate, ActionSheetDelegate, PopoverControllerDelegate {
    void clickedButtonAtIndex(AlertView&, long i) override { events.push_back("clicked " + std::to_string(i)); }
    void willDismissWithButtonIndex(AlertView&, long i) override { events.push_back("will " + std::to_string(i)); }
    void didDismissWithButtonIndex(AlertView&, long i) override { events.push_back("did " + std::to_string(i)); }
    void clickedButtonAtIndex(ActionSheet&, long i) override { events.push_back("clicked " + std::to_string(i)); }
    void willDismissWithButtonIndex(ActionSheet&, long i) override { events.push_back("will " + std::to_string(i)); }
    void didDismissWithButtonIndex(ActionSheet&, long i) override { events.push_back("did " + std::to_string(i)); }
    void popoverControllerDidDismissPopover(PopoverController&) override { events.push_back("popover dismissed"); }
    Events events;
};

class OverlayTest : public platformtest::OverlayFixture {
protected:
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

} // namespace

TEST_F(OverlayTest, AlertsWithOneTwoAndThreeButtons) {
    auto one = AlertView::create("没有网络", "请检查网络设置后重试。", recorder, std::string("好"));
    one->show();
    EXPECT_TRUE(one->isVisible());
    EXPECT_EQ(one->window()->windowLevel(), kWindowLevelAlert);
    clock.advance(1);
    expectScreen("alert_one_button");
    one->dismissWithClickedButtonIndex(0, false);
    EXPECT_EQ(recorder->events, (Events{"will 0", "did 0"}));
    EXPECT_FALSE(one->isVisible());

    recorder->events.clear();
    auto two = AlertView::create("Sign in", "Your session has ended. Sign in again?", recorder, std::string("Cancel"), {"Sign In"});
    EXPECT_EQ(two->numberOfButtons(), 2);
    EXPECT_EQ(two->cancelButtonIndex(), 0);
    EXPECT_EQ(two->firstOtherButtonIndex(), 1);
    two->show();
    clock.advance(1);
    expectScreen("alert_two_buttons");
    auto buttons = two->buttonViews();
    EXPECT_LT(buttons[0]->frame().minX(), buttons[1]->frame().minX()) << "side by side, cancel on the left";
    EXPECT_EQ(buttons[0]->frame().minY(), buttons[1]->frame().minY());
    TouchDriver::tap(*buttons[1]);
    EXPECT_EQ(recorder->events, (Events{"clicked 1", "will 1"}));
    clock.advance(1);
    EXPECT_EQ(recorder->events, (Events{"clicked 1", "will 1", "did 1"}));
    EXPECT_FALSE(two->isVisible());

    auto three = AlertView::create("Update", "A new version is ready.", recorder, std::string("Later"), {"Update Now", "Release Notes"});
    three->show();
    clock.advance(1);
    expectScreen("alert_three_buttons");
    buttons = three->buttonViews();
    EXPECT_LT(buttons[1]->frame().maxY(), buttons[0]->frame().maxY()) << "stacked, cancel last";
    three->dismissWithClickedButtonIndex(0, false);
}

TEST_F(OverlayTest, AlertsWithoutButtonsAndIndexesOutsideTheButtons) {
    auto alert = AlertView::create("Working", "", recorder, std::nullopt);
    EXPECT_EQ(alert->numberOfButtons(), 0);
    EXPECT_EQ(alert->cancelButtonIndex(), -1);
    alert->dismissWithClickedButtonIndex(3, false);
    EXPECT_TRUE(recorder->events.empty()) << "not shown: nothing to dismiss";
    alert->show();
    EXPECT_TRUE(alert->isVisible());
    alert->dismissWithClickedButtonIndex(7, true);
    alert->dismissWithClickedButtonIndex(8, true);  // already going
    clock.advance(1);
    EXPECT_EQ(recorder->events, (Events{"will 7", "did 7"}));
    EXPECT_EQ(alert->buttonTitleAtIndex(7), "");

    // A freed delegate is not called.
    recorder->events.clear();
    auto other = AlertView::create("t", "m", std::make_shared<Recorder>(), std::string("OK"));
    other->show();
    other->dismissWithClickedButtonIndex(0, false);
    EXPECT_TRUE(recorder->events.empty());
}

TEST_F(OverlayTest, ActionSheetIndexesAndDismissalWithAnyIndex) {
    auto sheet = ActionSheet::create("Share this page", recorder);
    sheet->setDestructiveButtonIndex(sheet->addButtonWithTitle("Delete"));
    EXPECT_EQ(sheet->addButtonWithTitle("Save Image"), 1);
    EXPECT_EQ(sheet->addButtonWithTitle("Copy Link"), 2);
    sheet->setCancelButtonIndex(sheet->addButtonWithTitle("Cancel"));
    EXPECT_EQ(sheet->numberOfButtons(), 4);
    EXPECT_EQ(sheet->destructiveButtonIndex(), 0);
    EXPECT_EQ(sheet->cancelButtonIndex(), 3);
    EXPECT_EQ(sheet->firstOtherButtonIndex(), 1);
    EXPECT_EQ(sheet->buttonTitleAtIndex(2), "Copy Link");

    sheet->showInView(*content);
    EXPECT_GT(sheet->window()->subviews().back()->presentation(clock.now()).center.y, 480) << "starts below the screen";
    clock.advance(1);
    EXPECT_EQ(sheet->sheetFrame().maxY(), 480 - 8);
    expectScreen("action_sheet_phone");
    TouchDriver::tap(*sheet->buttonViews()[1]);
    clock.advance(1);
    EXPECT_EQ(recorder->events, (Events{"clicked 1", "will 1", "did 1"}));

    recorder->events.clear();
    sheet->showInView(*content);
    sheet->dismissWithClickedButtonIndex(-2, true);
    clock.advance(1);
    EXPECT_EQ(recorder->events, (Events{"will -2", "did -2"}));
    EXPECT_FALSE(sheet->isVisible());

    recorder->events.clear();
    auto empty = ActionSheet::create();
    empty->setDelegate(recorder);
    empty->showInView(*content);
    EXPECT_TRUE(empty->isVisible());
    empty->dismissWithClickedButtonIndex(5, false);
    EXPECT_EQ(recorder->events, (Events{"will 5", "did 5"}));
}

TEST_F(OverlayTest, ActionSheetOnAPadPointsAtItsRectangleAndATapOutsideCancels) {
    Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::Pad);
    auto sheet = ActionSheet::create("", recorder);
    sheet->addButtonWithTitle("Open in Browser");
    sheet->addButtonWithTitle("Copy Link");
    sheet->setCancelButtonIndex(sheet->addButtonWithTitle("Cancel"));
    content->setBackgroundColor(Color::grey(0.85));
    auto marker = std::make_shared<View>(Rect(140, 40, 40, 30));
    marker->setBackgroundColor(Color::fromRGBA255(80, 120, 220));
    content->addSubview(marker);
    sheet->showFromRect(Rect(140, 40, 40, 30), *content, false);
    EXPECT_EQ(sheet->buttonViews()[2], nullptr) << "no cancel button on a pad";
    EXPECT_EQ(sheet->sheetFrame().minY(), 70) << "below the rectangle, the arrow pointing up at it";
    expectScreen("action_sheet_pad");
    TouchDriver::tapAt(window, Point{10, 470});
    clock.advance(1);
    EXPECT_EQ(recorder->events, (Events{"clicked 2", "will 2", "did 2"}));

    // Rectangles from a page are made sane.
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (Rect bad : {Rect(nan, nan, nan, nan), Rect(inf, -inf, 10, 10), Rect(300, 470, -500, -900), Rect(1e300, 1e300, 1e300, 1e300)}) {
        sheet->showFromRect(bad, *content, false);
        Rect f = sheet->sheetFrame();
        EXPECT_TRUE(f.isFinite());
        EXPECT_TRUE(window->bounds().contains(f.origin));
        EXPECT_LE(f.maxX(), 320);
        EXPECT_LE(f.maxY(), 480);
        sheet->dismissWithClickedButtonIndex(0, false);
    }
}

TEST_F(OverlayTest, ActionSheetsTallerThanTheScreenScrollTheirRows) {
    // A phone: a title and twelve buttons are taller than the 480-point screen.
    auto sheet = ActionSheet::create("Twelve ways to share this page", recorder);
    sheet->setDestructiveButtonIndex(sheet->addButtonWithTitle("Delete"));
    for (int i = 1; i <= 11; ++i)
        sheet->addButtonWithTitle("Share " + std::to_string(i));
    sheet->setCancelButtonIndex(sheet->addButtonWithTitle("Cancel"));
    sheet->showInView(*content);
    clock.advance(1);
    const Rect frame = sheet->sheetFrame();
    EXPECT_GE(frame.minY(), 20) << "below the status bar";
    EXPECT_EQ(frame.maxY(), 480 - 8);
    std::shared_ptr<ScrollView> rows = sheet->rowsView();
    ASSERT_TRUE(rows);
    EXPECT_LT(rows->bounds().height(), rows->contentSize().height);
    expectScreen("action_sheet_phone_scrolling");

    // The first button shows at the top; the cancel button always; the last only once scrolled to.
    auto buttons = sheet->buttonViews();
    EXPECT_TRUE(reachable(*buttons[0]));
    EXPECT_TRUE(reachable(*buttons[12]));
    EXPECT_FALSE(reachable(*buttons[11]));
    rows->userScroll(rows->maximumOffset());
    EXPECT_FALSE(reachable(*buttons[0]));
    EXPECT_TRUE(reachable(*buttons[12]));
    recorder->events.clear();
    EXPECT_EQ(TouchDriver::tap(*buttons[11]), buttons[11]);
    clock.advance(1);
    EXPECT_EQ(recorder->events, (Events{"clicked 11", "will 11", "did 11"}));

    // A short sheet does not scroll.
    auto small = ActionSheet::create("", recorder);
    small->addButtonWithTitle("One");
    small->showInView(*content);
    clock.advance(1);
    EXPECT_EQ(small->rowsView()->bounds().height(), small->rowsView()->contentSize().height);
    small->dismissWithClickedButtonIndex(0, false);

    // A pad: the box is cut to the screen, and its rows scroll.
    Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::Pad);
    sheet->showFromRect(Rect(140, 40, 40, 30), *content, false);
    rows = sheet->rowsView();
    ASSERT_TRUE(rows);
    EXPECT_LE(sheet->sheetFrame().maxY(), 480);
    EXPECT_LT(rows->bounds().height(), rows->contentSize().height);
    rows->userScroll(rows->maximumOffset());
    buttons = sheet->buttonViews();
    recorder->events.clear();
    EXPECT_EQ(TouchDriver::tap(*buttons[11]), buttons[11]);
    clock.advance(1);
    EXPECT_EQ(recorder->events, (Events{"clicked 11", "will 11", "did 11"}));
}

TEST_F(OverlayTest, PopoversWithEachArrow) {
    Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::Pad);
    struct Case {
        Rect from;
        unsigned directions;
        unsigned expected;
        Color color;
    };
    const Case cases[] = {
        {Rect(20, 20, 30, 30), kPopoverArrowDirectionUp, kPopoverArrowDirectionUp, Color::fromRGBA255(230, 90, 80)},
        {Rect(250, 440, 30, 30), kPopoverArrowDirectionDown, kPopoverArrowDirectionDown, Color::fromRGBA255(80, 160, 90)},
        {Rect(10, 220, 30, 30), kPopoverArrowDirectionLeft, kPopoverArrowDirectionLeft, Color::fromRGBA255(80, 120, 220)},
        {Rect(280, 100, 30, 30), kPopoverArrowDirectionRight, kPopoverArrowDirectionRight, Color::fromRGBA255(220, 170, 40)},
    };
    content->setBackgroundColor(Color::grey(0.85));
    std::vector<std::shared_ptr<PopoverController>> shown;
    for (const auto& c : cases) {
        auto controller = std::make_shared<ViewController>();
        controller->view()->setBackgroundColor(c.color.withAlpha(0.35));
        auto popover = PopoverController::create(controller);
        popover->setPopoverContentSize({110, 90});
        auto marker = std::make_shared<View>(c.from);
        marker->setBackgroundColor(c.color);
        content->addSubview(marker);
        popover->presentPopoverFromRect(c.from, *content, c.directions, false);
        EXPECT_EQ(popover->popoverArrowDirection(), c.expected);
        shown.push_back(popover);
    }
    expectScreen("popovers_each_arrow");
    for (const auto& p : shown)
        p->dismissPopoverAnimated(false);
}

TEST_F(OverlayTest, PopoverDirectionsZeroMeanAnyAndOnlyATapOutsideTellsTheDelegate) {
    Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::Pad);
    auto controller = std::make_shared<ViewController>();
    auto popover = PopoverController::create(controller);
    popover->setDelegate(std::shared_ptr<PopoverControllerDelegate>(recorder, recorder.get()));
    popover->setPopoverContentSize({200, 150});
    popover->setPopoverContentSize({-1, std::nan("")});  // ignored
    EXPECT_EQ(popover->popoverContentSize(), (Size{200, 150}));

    popover->presentPopoverFromRect(Rect(140, 400, 40, 40), *content, 0, true);
    EXPECT_TRUE(popover->isPopoverVisible());
    EXPECT_EQ(popover->popoverArrowDirection(), kPopoverArrowDirectionDown) << "no room below: above, pointing down";
    EXPECT_EQ(popover->popoverFrame().maxY(), 400);
    clock.advance(1);
    popover->dismissPopoverAnimated(true);
    clock.advance(1);
    EXPECT_FALSE(popover->isPopoverVisible());
    EXPECT_TRUE(recorder->events.empty()) << "dismissed by code";

    popover->presentPopoverFromRect(Rect(140, 40, 40, 40), *content, 0xF0 | kPopoverArrowDirectionLeft, false);
    EXPECT_EQ(popover->popoverArrowDirection(), kPopoverArrowDirectionLeft) << "unknown bits are ignored";
    TouchDriver::tap(*controller->view());
    EXPECT_TRUE(popover->isPopoverVisible()) << "a tap inside keeps it";
    TouchDriver::tapAt(window, Point{5, 5});
    clock.advance(1);
    EXPECT_FALSE(popover->isPopoverVisible());
    EXPECT_EQ(recorder->events, Events{"popover dismissed"});

    popover->presentPopoverFromRect(Rect(std::nan(""), 1e308, -1e308, 5), *content, 0, false);
    EXPECT_TRUE(popover->popoverFrame().isFinite());
    popover->dismissPopoverAnimated(false);
}

TEST_F(OverlayTest, AlertsWithATextFieldAndMessagesTallerThanTheScreen) {
    auto prompt = AlertView::create("Name", "What should we call you?", recorder, std::string("Cancel"), {"OK"});
    prompt->setAlertViewStyle(AlertViewStyle::PlainTextInput);
    ASSERT_TRUE(prompt->textFieldAtIndex(0));
    EXPECT_FALSE(prompt->textFieldAtIndex(1));
    prompt->textFieldAtIndex(0)->setText("Ada");
    prompt->show();
    clock.advance(1);
    EXPECT_TRUE(prompt->textFieldAtIndex(0)->isFirstResponder()) << "it takes the keyboard";
    expectScreen("alert_text_field");
    prompt->textFieldAtIndex(0)->insertText(" L.");
    EXPECT_FALSE(prompt->textFieldAtIndex(0)->returnKey()) << "Return taps OK";
    EXPECT_EQ(recorder->events, (Events{"clicked 1", "will 1"}));
    EXPECT_FALSE(prompt->textFieldAtIndex(0)->isFirstResponder()) << "given back as the alert goes";
    EXPECT_EQ(prompt->textFieldAtIndex(0)->text(), "Ada L.");
    clock.advance(1);
    EXPECT_FALSE(prompt->isVisible());
    prompt->setAlertViewStyle(AlertViewStyle::Default);
    EXPECT_FALSE(prompt->textFieldAtIndex(0));

    // The keyboard's Return and Escape, for the front-most alert that is not going.
    recorder->events.clear();
    auto under = AlertView::create("Under", "", recorder, std::string("Cancel"), {"OK"});
    auto over = AlertView::create("Over", "", recorder, std::string("Close"));
    under->show();
    over->show();
    EXPECT_EQ(AlertView::frontmostAlert(), over);
    over->pressReturn();  // its only button
    EXPECT_EQ(AlertView::frontmostAlert(), under) << "going: no longer front-most";
    over->pressEscape();  // already going: nothing
    under->pressEscape();
    EXPECT_EQ(recorder->events, (Events{"clicked 0", "will 0", "clicked 0", "will 0"}));
    clock.advance(1);
    EXPECT_FALSE(AlertView::frontmostAlert());

    // A message (and a title) far taller than the screen is cut to the lines that fit: the buttons stay on it.
    std::string words;
    for (int i = 0; i < 400; ++i)
        words += "word" + std::to_string(i) + " ";
    for (auto style : {AlertViewStyle::Default, AlertViewStyle::PlainTextInput}) {
        auto tall = AlertView::create(words, words, recorder, std::string("Cancel"), {"OK", "Later"});
        tall->setAlertViewStyle(style);
        tall->show();
        clock.advance(1);
        for (const auto& button : tall->buttonViews()) {
            EXPECT_TRUE(reachable(*button));
            const Rect onScreen = button->convertRectTo(button->bounds(), nullptr);
            EXPECT_LE(onScreen.maxY(), Screen::main().bounds().maxY() - 10 + 0.5);
        }
        if (style == AlertViewStyle::Default)
            expectScreen("alert_taller_than_the_screen");
        tall->dismissWithClickedButtonIndex(0, false);
    }
}
