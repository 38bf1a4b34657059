#include "platform/ui/AlertView.h"
#include "platform/ui/TouchDriver.h"
#include "platform/web/HeadlessWebView.h"
#include "platform/web/ScriptDialogPresenter.h"

#include "../ui/OverlayFixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace platform;

namespace {

using ScriptDialogPresenterTest = platformtest::OverlayFixture;

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

TEST_F(ScriptDialogPresenterTest, ScriptDialogsShowAsAlertsNamedByThePageAndThePageHearsTheAnswer) {
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

TEST_F(ScriptDialogPresenterTest, ScriptDialogsTakeTurnsAndGoWithTheirWebView) {
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

TEST_F(ScriptDialogPresenterTest, APageThatOpensDialogAfterDialogIsOfferedToBlockThem) {
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
