// The alert and loading box, and the notice bar.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCADBar.h"
#include "cardpay/views/BCAlertViewEx.h"
#include "cardpay/views/BCTextSize.h"
#include "platform/application/Application.h"
#include "platform/system/Device.h"
#include "platform/ui/ViewAnimation.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace cardpay;
using platform::Dictionary;
using platform::Rect;

namespace {

double measured(const std::string& text, double width) {
    return newSizeWithFont(text, platform::Font::systemFont(16), width, platform::LineBreakMode::WordWrap).height;
}

struct Recorder : BCAlertViewExDelegate {
    void buttonOKClicked() override { ++oks; }
    void buttonCancelClicked() override { ++cancels; }
    int oks = 0;
    int cancels = 0;
};

class CardPayAlert : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        BCDataContainer::destory();
        platform::Device::current().resetToDefaults();
        platform::Application::shared().setStatusBarOrientation(platform::InterfaceOrientation::Portrait);
    }
    static std::shared_ptr<BCAlertViewEx> box() {
        return std::make_shared<BCAlertViewEx>(Rect(0, 0, BCUtils::displayWidth(), BCUtils::displayHeight()));
    }
    static void tap(const std::shared_ptr<platform::Button>& button) {
        ASSERT_TRUE(button);
        button->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    }
};

} // namespace

TEST_F(CardPayAlert, MessageAndOneButtonOnAPhone) {
    auto alert = box();
    EXPECT_EQ(alert->opacityView()->frame(), Rect(0, 0, 375, 667));
    EXPECT_DOUBLE_EQ(alert->opacityView()->layer()->opacity(), 0.6);
    alert->showAlertViewWithTitle(std::nullopt, "Card number is not valid", "OK", std::nullopt, {});
    const double mh = measured("Card number is not valid", 246);
    EXPECT_DOUBLE_EQ(alert->mWidth(), 270);
    EXPECT_DOUBLE_EQ(alert->mHeight(), 12 + mh + 12 + 56 + 12);
    EXPECT_EQ(alert->baseView()->frame().size, (platform::Size{270, alert->mHeight()}));
    EXPECT_EQ(alert->baseView()->center(), (platform::Point{187.5, 333.5}));
    EXPECT_EQ(alert->messageLabel()->frame(), Rect(12, 24, 246, mh));
    EXPECT_FALSE(alert->titleLabel());
    EXPECT_FALSE(alert->cancelButton());
    const double lineY = std::floor(alert->mHeight() - 44);
    EXPECT_EQ(alert->okButton()->frame(), Rect(0, lineY + 1, 270, 44));
    EXPECT_EQ(alert->buttonLine()->frame(), Rect(0, lineY, 270, 1));
    EXPECT_FALSE(alert->buttonDivider());
    EXPECT_DOUBLE_EQ(alert->okButton()->alpha(), 0.7);
    EXPECT_EQ(alert->okButton()->titleColorForState(0), BCUtils::navBarColor());
    // The shadow layer lies under everything in the box, which has rounded corners.
    ASSERT_FALSE(alert->baseView()->layer()->sublayers().empty());
    EXPECT_EQ(alert->baseView()->layer()->sublayers()[0], alert->subLayer());
    EXPECT_EQ(alert->subLayer()->shadowOffset(), (platform::Size{0, 10}));
    EXPECT_DOUBLE_EQ(alert->baseView()->layer()->cornerRadius(), 10);
    ASSERT_FALSE(alert->baseView()->subviews().empty());
    EXPECT_EQ(alert->baseView()->subviews()[0], alert->backgroundView());
}

TEST_F(CardPayAlert, TwoButtonsSplitTheRowAndGoToTheDelegate) {
    auto alert = box();
    auto recorder = std::make_shared<Recorder>();
    alert->showAlertViewWithTitle("Payment", "Leave this payment?", "Leave", "Stay", recorder);
    const double th = measured("Payment", 246);
    const double mh = measured("Leave this payment?", 246);
    EXPECT_DOUBLE_EQ(alert->mHeight(), 12 + th + 12 + mh + 12 + 56 + 12);
    EXPECT_EQ(alert->titleLabel()->frame(), Rect(12, 12, 246, th));
    EXPECT_DOUBLE_EQ(alert->messageLabel()->frame().origin.y, std::floor(th + 24));
    const double y = std::floor(alert->mHeight() - 44) + 1;
    EXPECT_EQ(alert->cancelButton()->frame(), Rect(0, y, 135, 44));
    EXPECT_EQ(alert->buttonDivider()->frame(), Rect(135, y, 1, 44));
    EXPECT_EQ(alert->okButton()->frame(), Rect(136, y, 135, 44));
    tap(alert->okButton());
    tap(alert->cancelButton());
    tap(alert->cancelButton());
    EXPECT_EQ(recorder->oks, 1);
    EXPECT_EQ(recorder->cancels, 2);
    // A gone delegate hears nothing, and nothing breaks.
    recorder.reset();
    tap(alert->okButton());

    // No title, message or buttons: only the paddings are left.
    auto empty = box();
    empty->showAlertViewWithTitle(std::nullopt, std::nullopt, std::nullopt, std::nullopt, {});
    EXPECT_DOUBLE_EQ(empty->mHeight(), 24);
    EXPECT_FALSE(empty->okButton());
}

TEST_F(CardPayAlert, ServerBoxesCallTheirBlockWithTheAction) {
    auto alert = box();
    auto recorder = std::make_shared<Recorder>();
    std::vector<std::optional<std::string>> actions;
    alert->showAlertViewWithTitle("t", "m", "OK", "Cancel", recorder);  // a delegate from before
    alert->showAlertViewWithItem(Dictionary{{"title", "Notice"},
                                            {"text", "The order has expired"},
                                            {"func", Dictionary{{"label", "OK"}, {"action", ""}}},
                                            {"cancel", Dictionary{{"label", "Back"}, {"action", "back_to_merchant"}}}},
                                 [&](const std::optional<std::string>& action) { actions.push_back(action); });
    EXPECT_EQ(alert->titleLabel()->text(), "Notice");
    EXPECT_EQ(alert->cancelButton()->currentTitle(), "Back");
    tap(alert->okButton());
    tap(alert->cancelButton());
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0], std::nullopt);
    EXPECT_EQ(actions[1], "back_to_merchant");
    EXPECT_EQ(recorder->oks + recorder->cancels, 0);  // the block, not the delegate
    EXPECT_EQ(alert->baseView()->superview().get(), alert.get());  // the block's owner dismisses
    alert->dismissAlertView();

    // The block may drop the last hold on the box.
    auto host = std::make_shared<platform::View>(Rect(0, 0, 375, 667));
    std::weak_ptr<BCAlertViewEx> gone;
    {
        auto once = box();
        gone = once;
        host->addSubview(once);
        once->showAlertViewWithItem(Dictionary{{"func", Dictionary{{"label", "OK"}, {"action", "close"}}}},
                                    [&](const std::optional<std::string>&) {
                                        if (auto b = gone.lock())
                                            b->dismissAlertView();
                                    });
        tap(once->okButton());
    }
    EXPECT_TRUE(gone.expired());
    EXPECT_TRUE(host->subviews().empty());
}

TEST_F(CardPayAlert, MalformedServerDictionariesStillGiveADismissableBox) {
    std::vector<std::optional<std::string>> actions;
    const auto record = [&](const std::optional<std::string>& a) { actions.push_back(a); };

    // Neither button: one OK button whose action is none.
    auto bare = box();
    bare->showAlertViewWithItem(Dictionary{{"text", "Busy"}}, record);
    ASSERT_TRUE(bare->okButton());
    EXPECT_EQ(bare->okButton()->currentTitle(), BCLocale::instance()->getStringById(10001));
    EXPECT_FALSE(bare->cancelButton());
    tap(bare->okButton());
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0], std::nullopt);

    // "func" not a dictionary, "cancel" with a label that is not text: no such buttons, so the OK of last resort.
    auto wrong = box();
    wrong->showAlertViewWithItem(Dictionary{{"title", 12}, {"func", "OK"}, {"cancel", Dictionary{{"label", 5}, {"action", "x"}}}}, record);
    EXPECT_FALSE(wrong->titleLabel());
    EXPECT_FALSE(wrong->cancelButton());
    EXPECT_EQ(wrong->okButton()->currentTitle(), BCLocale::instance()->getStringById(10001));

    // A non-text action counts as none.
    auto numeric = box();
    numeric->showAlertViewWithItem(Dictionary{{"cancel", Dictionary{{"label", "Back"}, {"action", 7}}}}, record);
    EXPECT_FALSE(numeric->okButton());
    tap(numeric->cancelButton());
    EXPECT_EQ(actions.back(), std::nullopt);

}

TEST_F(CardPayAlert, ABoxNeverGrowsPastTheScreen) {
    // A message that fits: no scrolling, the Part's layout.
    auto small = box();
    small->showAlertViewWithTitle("Error", "Card refused", "OK", std::nullopt, {});
    EXPECT_FALSE(small->textScrollView());

    // About 900 characters or more: the box takes the screen less its margins, the title and message
    // scroll above the buttons, and the OK button stays on screen and works.
    for (const std::size_t length : {std::size_t(900), std::size_t(10'000), std::size_t(1) << 20}) {
        const std::string longText(length, 'W');
        Recorder recorder;
        auto delegate = std::shared_ptr<Recorder>(&recorder, [](Recorder*) {});
        auto huge = box();
        huge->showAlertViewWithTitle("Error", longText, "OK", "Cancel", delegate);
        const double limit = 667 - 2 * BCAlertViewEx::kScreenMargin;
        EXPECT_DOUBLE_EQ(huge->mHeight(), limit) << length;
        EXPECT_DOUBLE_EQ(huge->baseView()->frame().size.height, limit);
        EXPECT_EQ(huge->baseView()->center(), (platform::Point{375.0 / 2, 667.0 / 2}));
        ASSERT_TRUE(huge->textScrollView());
        const auto scroll = huge->textScrollView();
        EXPECT_EQ(scroll->frame(), Rect(0, 0, 270, limit - 56 - 12));
        EXPECT_EQ(huge->messageLabel()->superview().get(), scroll.get());
        EXPECT_EQ(huge->titleLabel()->superview().get(), scroll.get());
        // Very long texts are cut before they are measured.
        const std::string shown = huge->messageLabel()->text();
        EXPECT_LE(shown.size(), length);
        if (length > kMaxLayoutCharacters) {
            EXPECT_EQ(shown, cutForLayout(longText));
            EXPECT_EQ(shown.size(), kMaxLayoutCharacters + std::string("…").size());
        }
        EXPECT_DOUBLE_EQ(huge->messageLabel()->frame().size.height, measured(shown, 246));
        EXPECT_NEAR(scroll->contentSize().height, huge->messageLabel()->frame().maxY() + 12, 1);
        // The buttons sit at the box's foot, inside the screen.
        const Rect ok = huge->okButton()->convertRectTo(huge->okButton()->bounds(), huge.get());
        EXPECT_NEAR(ok.maxY(), huge->baseView()->frame().maxY(), 1);
        EXPECT_LE(ok.maxY(), 667);
        EXPECT_GE(huge->baseView()->frame().minY(), 0);
        tap(huge->okButton());
        EXPECT_EQ(recorder.oks, 1);
    }
}

TEST(CardPayTextCut, WholeCharactersAndAnEllipsis) {
    EXPECT_EQ(cutForLayout("abc", 3), "abc");
    EXPECT_EQ(cutForLayout("abcd", 3), "abc…");
    // Multi-byte characters count once and are never split.
    EXPECT_EQ(cutForLayout("支付成功", 2), "支付…");
    EXPECT_EQ(cutForLayout("a😀b", 2), "a😀…");
    EXPECT_EQ(cutForLayout("", 0), "");
    EXPECT_EQ(cutForLayout(std::string(kMaxLayoutCharacters, 'x')).size(), kMaxLayoutCharacters);
    // Measuring cuts the same way: a megabyte measures as its first characters.
    const platform::Font font = platform::Font::systemFont(16);
    const std::string big(1 << 20, 'W');
    EXPECT_EQ(newSizeWithFont(big, font, 200, platform::LineBreakMode::WordWrap),
              newSizeWithFont(cutForLayout(big), font, 200, platform::LineBreakMode::WordWrap));
}

TEST_F(CardPayAlert, RotationOfATwoButtonBox) {
    auto alert = box();
    alert->showAlertViewWithTitle("Payment", "Leave this payment and go back to the shop?", "Leave", "Stay", {});
    const Rect before = alert->baseView()->frame();
    const double oldMessage = alert->messageLabel()->frame().size.height;
    const Rect okBefore = alert->okButton()->frame();
    const Rect lineBefore = alert->buttonLine()->frame();
    platform::ViewAnimation::clearRecords();

    alert->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0.3);
    // Phone: R = display height 667, D = display width 375, W' = 619.
    const double w = 619;
    const double mh = measured("Leave this payment and go back to the shop?", w - 24);
    const double dh = mh - oldMessage;
    EXPECT_EQ(alert->baseView()->frame().size, (platform::Size{w, before.size.height + dh}));
    EXPECT_EQ(alert->baseView()->center(), (platform::Point{667.0 / 2, 375.0 / 2}));
    EXPECT_EQ(alert->subLayer()->frame(), Rect(0, 0, w, before.size.height + dh));
    EXPECT_EQ(alert->opacityView()->frame(), Rect(0, 0, 667, 375));
    EXPECT_EQ(alert->titleLabel()->frame(), Rect(12, 12, w - 24, measured("Payment", w - 24)));
    EXPECT_EQ(alert->messageLabel()->frame(), Rect(12, alert->messageLabel()->frame().origin.y, w - 24, mh));
    EXPECT_EQ(alert->cancelButton()->frame(), Rect(12, okBefore.origin.y + dh, (w - 36) / 2, 44));
    EXPECT_EQ(alert->okButton()->frame(), Rect((w + 12) / 2, okBefore.origin.y + dh, (w - 36) / 2, 44));
    EXPECT_EQ(alert->buttonLine()->frame(), lineBefore);  // the lines stay
    ASSERT_FALSE(platform::ViewAnimation::records().empty());
    EXPECT_EQ(platform::ViewAnimation::records().back().name, "BaseView");
    EXPECT_DOUBLE_EQ(platform::ViewAnimation::records().back().duration, 0.3);

    // One button is centred at half the width less the margins.
    auto single = box();
    single->showAlertViewWithTitle(std::nullopt, "Done", "OK", std::nullopt, {});
    single->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0.3);
    EXPECT_DOUBLE_EQ(single->okButton()->frame().origin.x, (w + 36) / 4);
    EXPECT_DOUBLE_EQ(single->okButton()->frame().size.width, (w - 36) / 2);
}

TEST_F(CardPayAlert, LoadingBoxOnATablet) {
    platform::Device::current().setUserInterfaceIdiom(platform::UserInterfaceIdiom::Pad);
    const auto loading = [] {
        auto alert = box();
        alert->showLoadingViewWithMessage("Loading…", {});
        return alert;
    };
    auto plain = loading();
    EXPECT_TRUE(plain->isLoadingStyle());
    EXPECT_DOUBLE_EQ(plain->mWidth(), 320);
    EXPECT_FALSE(plain->okButton());
    EXPECT_FALSE(plain->cancelButton());
    EXPECT_EQ(plain->backgroundView()->backgroundColor(), BCUtils::navBarColor().withAlpha(0.7));
    ASSERT_TRUE(plain->logoView());
    const platform::Size logo = plain->logoView()->frame().size;
    const double mh = measured("Loading…", 296);
    EXPECT_DOUBLE_EQ(plain->mHeight(), 12 + logo.height + 12 + mh + 12 + 34 + 12);
    EXPECT_EQ(plain->logoView()->frame().origin, (platform::Point{(320 - logo.width) / 2, 12}));
    EXPECT_EQ(plain->messageLabel()->textColor(), platform::Color::white());
    EXPECT_DOUBLE_EQ(plain->messageLabel()->frame().origin.y, std::floor(logo.height + 24));
    ASSERT_TRUE(plain->loadingImageView());
    EXPECT_DOUBLE_EQ(plain->loadingImageView()->frame().origin.y, logo.height + 36 + mh);

    BCDataContainer::instance()->setBundleConfig(Dictionary{{"NavigationBarColors", "336699"}});
    EXPECT_EQ(loading()->backgroundView()->backgroundColor(), platform::Color::fromRGBA255(0x33, 0x66, 0x99, 0.7));
    BCDataContainer::instance()->setBundleConfig(Dictionary{{"NavigationBarColors", "33669"}});
    EXPECT_EQ(loading()->backgroundView()->backgroundColor(), BCUtils::navBarColor().withAlpha(0.7));
    BCDataContainer::instance()->setBundleConfig(Dictionary{{"NavigationBarColors", 336699}});
    EXPECT_EQ(loading()->backgroundView()->backgroundColor(), BCUtils::navBarColor().withAlpha(0.7));

    // On rotation the logo and the wheel are centred again in the new width (R = 320 on a tablet).
    auto turning = loading();
    const double wheelY = turning->loadingImageView()->frame().origin.y;
    turning->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0.3);
    const double w = 320 - 48;
    EXPECT_DOUBLE_EQ(turning->logoView()->frame().origin.x, (w - logo.width) / 2);
    const double dh = measured("Loading…", w - 24) - mh;
    EXPECT_EQ(turning->loadingImageView()->frame().origin,
              (platform::Point{(w - turning->loadingImageView()->frame().size.width) / 2, wheelY + dh}));
}

// MARK: - Notice bar

TEST_F(CardPayAlert, NoticeBarFollowsItsTextUpToTheCap) {
    const auto textHeight = [](const std::string& text, double width) {
        return newSizeWithFont(text, platform::Font::systemFont(15), width, platform::LineBreakMode::WordWrap).height;
    };
    BCADBar shortBar(Rect(0, 64, 375, 500), "Pay before 18:00");
    const double th = textHeight("Pay before 18:00", 351);
    ASSERT_LT(th, 35);
    EXPECT_EQ(shortBar.frame(), Rect(0, 64, 375, th + 12));
    EXPECT_EQ(shortBar.contentScrollView()->frame(), Rect(0, 0, 375, th + 12));
    EXPECT_EQ(shortBar.contentScrollView()->contentSize(), (platform::Size{375, th + 12}));
    EXPECT_EQ(shortBar.contentScrollView()->maximumOffset().y, 0);  // nothing to scroll
    EXPECT_EQ(shortBar.contentLabel()->frame(), Rect(12, 6, 351, th));
    EXPECT_EQ(shortBar.contentScrollView()->backgroundColor(), platform::Color::fromRGBA255(251, 235, 184));
    EXPECT_EQ(shortBar.contentLabel()->textColor(), platform::Color::grey(0.2));
    EXPECT_DOUBLE_EQ(shortBar.alpha(), 0.88);

    // The boundary: exactly 35 high gets the cap and a content height of 47 (the font's lines are 17.6
    // high, so two lines, just over 35, are the nearest real text).
    EXPECT_DOUBLE_EQ(BCADBar::barHeight(34.9), 46.9);
    EXPECT_DOUBLE_EQ(BCADBar::barHeight(35), 47);
    const std::string twoLines(80, 'x');
    BCADBar twoLineBar(Rect(0, 0, 375, 0), twoLines);
    const double th2 = textHeight(twoLines, 351);
    ASSERT_GE(th2, 35);
    ASSERT_LT(th2, 36);
    EXPECT_DOUBLE_EQ(twoLineBar.frame().size.height, 47);
    EXPECT_DOUBLE_EQ(twoLineBar.contentScrollView()->contentSize().height, th2 + 12);

    // A text of any length stays within the cap and scrolls.
    const std::string longText(5000, 'x');
    BCADBar capped(Rect(0, 0, 375, 0), longText);
    const double longHeight = textHeight(longText, 351);
    EXPECT_DOUBLE_EQ(capped.frame().size.height, 47);
    EXPECT_EQ(capped.contentScrollView()->frame().size.height, 47);
    EXPECT_DOUBLE_EQ(capped.contentScrollView()->contentSize().height, longHeight + 12);
    EXPECT_DOUBLE_EQ(capped.contentScrollView()->maximumOffset().y, longHeight + 12 - 47);

    // The cap would cut the third line: a strip of the box's colour covers what shows of it, at the
    // foot, not touchable; a text that shows whole has none.
    const double line = platform::Font::systemFont(15).lineHeight();
    const double cut = 41 - std::floor(41 / line) * line;
    ASSERT_GT(cut, 0.5);
    ASSERT_TRUE(capped.footMask());
    EXPECT_EQ(capped.footMask()->frame(), Rect(0, 47 - cut, 375, cut));
    EXPECT_EQ(capped.footMask()->backgroundColor(), capped.contentScrollView()->backgroundColor());
    EXPECT_FALSE(capped.footMask()->isUserInteractionEnabled());
    EXPECT_FALSE(shortBar.footMask());
    EXPECT_FALSE(twoLineBar.footMask());  // two lines fit within the cap

    // A configuration list turns the box and the text to the advertisement colours.
    BCDataContainer::instance()->setBundleConfig(Dictionary{});
    BCADBar configured(Rect(0, 0, 375, 0), "Ad");
    EXPECT_EQ(configured.contentScrollView()->backgroundColor(), BCUtils::adBackgroundColor());
    EXPECT_EQ(configured.contentLabel()->textColor(), platform::Color::white());
}

TEST_F(CardPayAlert, NoticeBarTakesTheNewWidthOnRotation) {
    const std::string text = "Your card will be charged in the shop's currency; the bank may add a fee for it.";
    BCADBar bar(Rect(0, 64, 375, 0), text);
    platform::ViewAnimation::clearRecords();
    bar.willRotateToChangeOffset(292, 0.3);
    const double th = newSizeWithFont(text, platform::Font::systemFont(15), 351 + 292, platform::LineBreakMode::WordWrap).height;
    EXPECT_EQ(bar.frame(), Rect(0, 64, 667, BCADBar::barHeight(th)));
    EXPECT_EQ(bar.contentLabel()->frame(), Rect(12, 6, 643, th));
    EXPECT_EQ(bar.contentScrollView()->frame(), Rect(0, 0, 667, BCADBar::barHeight(th)));
    EXPECT_EQ(bar.contentScrollView()->contentSize(), (platform::Size{667, th + 12}));
    ASSERT_FALSE(platform::ViewAnimation::records().empty());
    EXPECT_DOUBLE_EQ(platform::ViewAnimation::records().back().duration, 0.3);
}
