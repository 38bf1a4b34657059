#include "platform/system/Device.h"
#include "platform/web/HeadlessWebView.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/ActionSheet.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/PopoverController.h"
#include "platform/web/ScriptDialogPresenter.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/Screen.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/ViewRenderer.h"

#include "support/Snapshot.h"

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

class OverlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock.install();
        Screen::main().setBounds(Rect(0, 0, 320, 480));
        Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::Phone);
        window = Window::create(Screen::main().bounds());
        window->setBackgroundColor(Color::white());
        content = std::make_shared<View>(window->bounds());
        window->addSubview(content);
        window->makeKeyAndVisible();
        recorder = std::make_shared<Recorder>();
    }
    void TearDown() override {
        Device::current().resetToDefaults();
        Screen::main().resetToDefaults();
        clock.uninstall();
    }

    // What the screen shows: the key window with the overlay windows above it.
    void expectScreen(const std::string& name) {
        class ScreenView : public View {
        public:
            using View::View;
            void drawRect(Rect) override { ViewRenderer::renderScreen(GraphicsContext::current()->cairo()); }
        };
        ScreenView screen(window->frame());
        hybtest::expectSnapshot(screen, name);
    }

    // A finger on the view's centre would reach it (it is on screen, not hidden under another view).
    static bool reachable(View& view) {
        auto window = std::dynamic_pointer_cast<Window>(view.rootView());
        if (!window)
            return false;
        for (auto hit = window->hitTest(view.convertPointTo(view.bounds().center(), window.get())); hit; hit = hit->superview())
            if (hit.get() == &view)
                return true;
        return false;
    }

    VirtualClock clock;
    std::shared_ptr<Window> window;
    std::shared_ptr<View> content;
    std::shared_ptr<Recorder> recorder;
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

namespace {

// What a page heard back from its dialogs.
struct Answers {
    std::vector<std::string> heard;
    ScriptDialog::Reply reply() {
        return [this](bool confirmed, std::optional<std::string> text) {
            heard.push_back(std::string(confirmed ? "confirmed" : "cancelled") + (text ? " \"" + *text + "\"" : ""));
        };
    }
};

std::shared_ptr<HeadlessWebView> pageAt(const std::string& url) {
    auto view = HeadlessWebView::create(Rect(0, 0, 320, 480));
    view->loadHTMLString("<p>page</p>", url);
    EXPECT_TRUE(view->waitUntilIdle());
    return view;
}

std::vector<std::string> buttonTitles(const AlertView& alert) {
    std::vector<std::string> titles;
    for (long i = 0; i < alert.numberOfButtons(); ++i)
        titles.push_back(alert.buttonTitleAtIndex(i));
    return titles;
}

} // namespace

TEST_F(OverlayTest, ScriptDialogsShowAsAlertsNamedByThePageAndThePageHearsTheAnswer) {
    auto& presenter = ScriptDialogPresenter::shared();
    struct Case {
        std::string page;
        ScriptDialog::Kind kind;
        std::string message, defaultText;
        std::string title;
        std::vector<std::string> buttons;
        long tapped;
        std::string typed;
        std::string heard;
    };
    using K = ScriptDialog::Kind;
    const std::string leave = "Leave this page? What you entered on it may not be kept.";
    const std::vector<Case> cases{
        {"file:///app/www/index.html", K::Alert, "Hello", "", "index.html", {"OK"}, 0, "", "cancelled"},
        {"https://shop.example.com:8443/cart?x=1#top", K::Confirm, "Pay now?", "", "shop.example.com", {"Cancel", "OK"}, 1, "", "confirmed"},
        {"https://shop.example.com/cart", K::Confirm, "Pay now?", "", "shop.example.com", {"Cancel", "OK"}, 0, "", "cancelled"},
        {"file:///app/www/", K::Prompt, "Your name?", "Ada", "www", {"Cancel", "OK"}, 1, " L.", "confirmed \"Ada L.\""},
        // OK on the default text as shown: the page's own default is the answer (the engine gives it whole).
        {"file:///app/www/", K::Prompt, "Your name?", "Ada", "www", {"Cancel", "OK"}, 1, "", "confirmed"},
        {"file:///app/www/a%20b.html", K::Prompt, "Your name?", "", "a b.html", {"Cancel", "OK"}, 0, "x", "cancelled"},
        {"about:blank", K::LeavePage, "the page's own words", "", "", {"Stay", "Leave"}, 0, "", "cancelled"},
        {"http://localhost/form", K::LeavePage, "", "", "localhost", {"Stay", "Leave"}, 1, "", "confirmed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page + " " + c.message);
        auto view = pageAt(c.page);
        Answers answers;
        view->pageOpensDialog(c.kind, c.message, c.defaultText, answers.reply());
        auto alert = presenter.shownAlert();
        ASSERT_TRUE(alert);
        EXPECT_TRUE(alert->isVisible());
        EXPECT_EQ(alert->title(), c.title);
        EXPECT_EQ(alert->message(), c.kind == K::LeavePage ? leave : c.message);
        EXPECT_EQ(buttonTitles(*alert), c.buttons);
        EXPECT_EQ(alert->textFieldAtIndex(0) != nullptr, c.kind == K::Prompt);
        clock.advance(1);
        if (auto field = alert->textFieldAtIndex(0)) {
            EXPECT_EQ(field->text(), c.defaultText);
            field->insertText(c.typed);
        }
        EXPECT_TRUE(answers.heard.empty()) << "the page waits";
        TouchDriver::tap(*alert->buttonViews()[static_cast<std::size_t>(c.tapped)]);
        EXPECT_EQ(answers.heard, std::vector<std::string>{c.heard}) << "answered at the tap, before the fade";
        clock.advance(1);
        EXPECT_FALSE(alert->isVisible());
        EXPECT_FALSE(presenter.shownAlert());
    }

    // What a page gives is bounded before layout: a megabyte of message, invalid bytes as U+FFFD.
    auto view = pageAt("file:///app/www/index.html");
    Answers answers;
    view->pageOpensDialog(K::Prompt, std::string(1 << 20, 'm'), "bad \xFF byte", answers.reply());
    auto alert = presenter.shownAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->message(), std::string(ScriptDialog::kMaxCharacters, 'm') + "…");
    EXPECT_EQ(alert->textFieldAtIndex(0)->text(), "bad \xEF\xBF\xBD byte");
    clock.advance(1);
    expectScreen("script_dialog_long_prompt");
    for (const auto& button : alert->buttonViews())
        EXPECT_TRUE(reachable(*button));
    // Return in the field answers OK with its text; left as shown (mended or cut), the page's own default.
    alert->textFieldAtIndex(0)->returnKey();
    EXPECT_EQ(answers.heard, std::vector<std::string>{"confirmed"});
    clock.advance(1);
    const std::string longDefault(ScriptDialog::kMaxCharacters + 1, 'd');
    for (const std::string typed : {"", "!"}) {
        Answers edited;
        view->pageOpensDialog(K::Prompt, "Your text?", longDefault, edited.reply());
        ASSERT_TRUE(presenter.shownAlert());
        auto field = presenter.shownAlert()->textFieldAtIndex(0);
        EXPECT_EQ(field->text(), std::string(ScriptDialog::kMaxCharacters, 'd') + "…");
        field->insertText(typed);
        field->returnKey();
        EXPECT_EQ(edited.heard, std::vector<std::string>{typed.empty() ? "confirmed" : "confirmed \"" + field->text() + "\""});
        clock.advance(1);
    }
}

TEST_F(OverlayTest, ScriptDialogsTakeTurnsAndGoWithTheirWebView) {
    auto& presenter = ScriptDialogPresenter::shared();
    auto first = pageAt("file:///app/www/index.html");
    auto second = pageAt("https://example.com/");
    Answers firstAnswers, secondAnswers;
    first->pageOpensDialog(ScriptDialog::Kind::Confirm, "first", "", firstAnswers.reply());
    second->pageOpensDialog(ScriptDialog::Kind::Alert, "second", "", secondAnswers.reply());
    second->pageOpensDialog(ScriptDialog::Kind::Prompt, "third", "", secondAnswers.reply());
    ASSERT_TRUE(presenter.shownAlert());
    EXPECT_EQ(presenter.shownAlert()->message(), "first");
    EXPECT_EQ(presenter.waitingCount(), 2u);

    // The first view goes: its dialog is answered as cancelled, and the next one shows at once.
    first.reset();
    EXPECT_EQ(firstAnswers.heard, std::vector<std::string>{"cancelled"});
    ASSERT_TRUE(presenter.shownAlert());
    EXPECT_EQ(presenter.shownAlert()->message(), "second");
    clock.advance(1);
    TouchDriver::tap(*presenter.shownAlert()->buttonViews()[0]);
    clock.advance(1);
    ASSERT_TRUE(presenter.shownAlert());
    EXPECT_EQ(presenter.shownAlert()->message(), "third");

    // Gone with a dialog showing and none waiting: nothing is left shown.
    second.reset();
    EXPECT_EQ(secondAnswers.heard, (std::vector<std::string>{"cancelled", "cancelled"}));
    EXPECT_FALSE(presenter.shownAlert());
    EXPECT_EQ(presenter.waitingCount(), 0u);
}

TEST_F(OverlayTest, APageThatOpensDialogAfterDialogIsOfferedToBlockThem) {
    auto& presenter = ScriptDialogPresenter::shared();
    auto view = pageAt("file:///app/www/loop.html");
    // A page that alerts 1,000 times in a loop: each answer lets it open the next.
    int opened = 0, answered = 0;
    std::function<void()> next = [&] {
        if (opened == 1000)
            return;
        ++opened;
        view->pageOpensDialog(ScriptDialog::Kind::Alert, "round " + std::to_string(opened), "", [&](bool, std::optional<std::string>) {
            ++answered;
            next();
        });
    };
    next();
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(presenter.shownAlert());
        EXPECT_EQ(buttonTitles(*presenter.shownAlert()), std::vector<std::string>{"OK"}) << round;
        clock.advance(0.5);
        TouchDriver::tap(*presenter.shownAlert()->buttonViews()[0]);
        clock.advance(0.5);  // faded out; the next came within a second of the answer
    }
    ASSERT_TRUE(presenter.shownAlert());
    EXPECT_EQ(presenter.shownAlert()->message(), "round 3");
    EXPECT_EQ(buttonTitles(*presenter.shownAlert()), (std::vector<std::string>{"OK", "Block Dialogs"}));
    expectScreen("script_dialog_block_offered");
    TouchDriver::tap(*presenter.shownAlert()->buttonViews()[1]);
    EXPECT_EQ(opened, 1000) << "the rest were answered at once, unshown";
    EXPECT_EQ(answered, 1000);
    clock.advance(1);
    EXPECT_FALSE(presenter.shownAlert());

    // Blocked for that page: its leave question lets the person leave. The row it goes on (a page that leads
    // to page after page) is answered at once from whatever page; once the row has ended, another page's
    // dialogs show.
    Answers answers;
    view->pageOpensDialog(ScriptDialog::Kind::LeavePage, "", "", answers.reply());
    EXPECT_EQ(answers.heard, std::vector<std::string>{"confirmed"});
    EXPECT_FALSE(presenter.shownAlert());
    view->loadHTMLString("<p>other</p>", "file:///app/www/other.html#x");
    ASSERT_TRUE(view->waitUntilIdle());
    clock.advance(0.5);
    view->pageOpensDialog(ScriptDialog::Kind::Confirm, "in the row", "", answers.reply());
    EXPECT_EQ(answers.heard, (std::vector<std::string>{"confirmed", "cancelled"}));
    EXPECT_FALSE(presenter.shownAlert());
    clock.advance(1);
    view->pageOpensDialog(ScriptDialog::Kind::Confirm, "other", "", answers.reply());
    ASSERT_TRUE(presenter.shownAlert());
    EXPECT_EQ(buttonTitles(*presenter.shownAlert()), (std::vector<std::string>{"Cancel", "OK"})) << "its first";
    clock.advance(1);
    TouchDriver::tap(*presenter.shownAlert()->buttonViews()[1]);
    clock.advance(1);

    // Dialogs a second or more apart are not in a row: none offers blocking.
    for (int i = 0; i < 4; ++i) {
        clock.advance(2);
        view->pageOpensDialog(ScriptDialog::Kind::Alert, "slow", "", answers.reply());
        ASSERT_TRUE(presenter.shownAlert());
        EXPECT_EQ(presenter.shownAlert()->numberOfButtons(), 1) << i;
        TouchDriver::tap(*presenter.shownAlert()->buttonViews()[0]);
    }
    clock.advance(2);

    // A page that gives itself another address before each dialog (the history's, or a load of itself with
    // another query) is in a row all the same, and Return is OK, never "Block Dialogs".
    auto wanderer = pageAt("file:///app/www/wander.html");
    Answers wandered;
    for (int round = 1; round <= 5; ++round) {
        wanderer->loadHTMLString("<p>wander</p>", "file:///app/www/wander.html?round=" + std::to_string(round));
        ASSERT_TRUE(wanderer->waitUntilIdle());
        wanderer->pageOpensDialog(ScriptDialog::Kind::Alert, "round " + std::to_string(round), "", wandered.reply());
        if (round == 5)
            break;
        auto alert = presenter.shownAlert();
        ASSERT_TRUE(alert) << round;
        EXPECT_EQ(buttonTitles(*alert), round >= 3 ? (std::vector<std::string>{"OK", "Block Dialogs"}) : std::vector<std::string>{"OK"});
        clock.advance(0.5);
        alert->pressReturn();
        EXPECT_EQ(wandered.heard.size(), static_cast<std::size_t>(round));
        clock.advance(0.5);
        EXPECT_FALSE(alert->isVisible());
    }
    ASSERT_TRUE(presenter.shownAlert()) << "Return blocked nothing";
    EXPECT_EQ(presenter.shownAlert()->message(), "round 5");
    TouchDriver::tap(*presenter.shownAlert()->buttonViews()[1]);
    // Blocked: the rest of its row, from the next address on, is answered at once.
    for (int round = 6; round <= 8; ++round) {
        wanderer->loadHTMLString("<p>wander</p>", "file:///app/www/wander.html?round=" + std::to_string(round));
        ASSERT_TRUE(wanderer->waitUntilIdle());
        clock.advance(0.5);
        wanderer->pageOpensDialog(ScriptDialog::Kind::Confirm, "round " + std::to_string(round), "", wandered.reply());
        EXPECT_FALSE(presenter.shownAlert()) << round;
    }
    EXPECT_EQ(wandered.heard.size(), 8u);
    clock.advance(1);
}
