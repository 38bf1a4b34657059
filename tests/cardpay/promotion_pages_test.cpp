// The pages of the promotion panel and its content view: option lists with their marks, the coupon page
// in its two states, the login page, and the pages the content view makes for each kind of item.
#include "PromotionPanelFixture.h"

#include "cardpay/core/BCImageManager.h"
#include "cardpay/promotion/BCPromotionContentView.h"
#include "cardpay/promotion/BCPromotionNotifications.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/Window.h"

#include <gtest/gtest.h>

using namespace cardpay;
using namespace cardpaytest;

namespace {

struct Post {
    std::string name;
    const void* sender = nullptr;
    Dictionary object;
};

// Records the pages' posts on the default centre while it lives.
class PostRecorder {
public:
    PostRecorder() {
        for (const char* name : {kNotificationListViewCoupon, kNotificationVerifyCoupon, kNotificationCouponErr, kNotificationLogin})
            platform::NotificationCenter::defaultCenter().addObserver(this, name, nullptr, [this](const platform::Notification& n) {
                posts.push_back({n.name, n.object, n.userInfo});
            });
    }
    ~PostRecorder() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    PostRecorder(const PostRecorder&) = delete;
    PostRecorder& operator=(const PostRecorder&) = delete;

    std::vector<Post> posts;
};

const platform::Rect kPage{0, 0, 375, 376};

class PromotionPages : public PromotionPanelFixture {
protected:
    std::shared_ptr<BCPromotionListViewController> list(Array options) {
        auto made = BCPromotionListViewController::initWithFrame(kPage);
        made->view();
        made->setMyDataSource(std::move(options));
        made->tableReload();
        made->tableView()->layoutIfNeeded();
        return made;
    }

    static std::shared_ptr<BCPromotionListCell> row(BCPromotionListViewController& list, long index) {
        auto cell = std::dynamic_pointer_cast<BCPromotionListCell>(list.tableView()->cellForRow({0, index}));
        if (cell)
            cell->layoutIfNeeded();
        return cell;
    }

    std::shared_ptr<BCPromotionCouponView> couponPage(const Dictionary& item = couponItem()) {
        auto page = BCPromotionCouponView::initWithFrame(kPage, item);
        m_root->view()->addSubview(page);
        return page;
    }

    PostRecorder m_posts;
};

Dictionary withAvailable(const std::string& label, const platform::Value& available) {
    Dictionary o = option(label, label);
    if (!available.isNull())
        o.set("available", available);
    return o;
}

} // namespace

TEST_F(PromotionPages, CodesOfEightToThirtyTwoLettersAndDigitsAreValid) {
    for (const std::string code : {"ABCD1234", "abcdefgh", "12345678", "Aa1Bb2Cc3Dd4Ee5Ff6Gg7Hh8Ii9Jj0Kk"})
        EXPECT_TRUE(BCPromotionCouponView::isValidCode(code)) << code;
    for (const std::string code : {"", "ABC1234", "ABCD1234ABCD1234ABCD1234ABCD12345", "ABCD 1234", "ABCD-1234", "ABCD1234\n",
                                   "ÄBCD1234", "ＡＢＣＤ１２３４"})
        EXPECT_FALSE(BCPromotionCouponView::isValidCode(code)) << code;
    EXPECT_FALSE(BCPromotionCouponView::isValidCode(std::string(100000, 'A')));
}

TEST_F(PromotionPages, RowStatesComeFromTheIntegerValueOfAvailable) {
    auto made = list(Array{withAvailable("one", "1"), withAvailable("zero", "0"), withAvailable("absent", platform::Value()),
                           withAvailable("two", "2"), withAvailable("text", "abc"), withAvailable("number", 1),
                           withAvailable("leading", "1x")});
    made->setSelectedIndex(1);
    made->tableReload();
    made->tableView()->layoutIfNeeded();
    const unsigned expected[] = {0, 1, 2, 2, 2, 0, 0};
    for (long i = 0; i < 7; ++i) {
        auto cell = row(*made, i);
        ASSERT_TRUE(cell) << i;
        EXPECT_EQ(cell->cellState(), expected[i]) << i;
        EXPECT_EQ(cell->indicatorImageView()->isHidden(), expected[i] == 0) << i;
        EXPECT_EQ(cell->reuseIdentifier(), "PromotionItem");
        EXPECT_EQ(cell->style(), platform::TableViewCellStyle::Subtitle);
    }
    EXPECT_EQ(row(*made, 1)->indicatorImageView()->image(), BCImageManager::instance()->imageNamed(20004));
    EXPECT_EQ(row(*made, 2)->indicatorImageView()->image(), BCImageManager::instance()->imageNamed(20011));
    EXPECT_EQ(row(*made, 0)->textLabel()->text(), "one");
}

TEST_F(PromotionPages, ARowLaysItsMarkAtTheRightAndItsLineAlongTheBottom) {
    auto made = list(Array{withAvailable("立减5元", "0")});
    auto cell = row(*made, 0);
    const platform::Size mark = cell->indicatorImageView()->frame().size;
    EXPECT_GT(mark.width, 0);
    EXPECT_DOUBLE_EQ(cell->indicatorImageView()->frame().maxX(), cell->contentView()->bounds().width() - 12);
    EXPECT_DOUBLE_EQ(cell->indicatorImageView()->frame().midY(), 22);
    EXPECT_DOUBLE_EQ(cell->textLabel()->frame().width(), 375 - mark.width - 29);
    EXPECT_EQ(made->tableView()->rowHeight(), 44);
    EXPECT_EQ(made->tableView()->separatorStyle(), platform::TableViewCellSeparatorStyle::None);
    EXPECT_EQ(made->tableView()->frame(), kPage);
}

TEST_F(PromotionPages, ChoosingARowPostsAtOnceAndMarksItHalfASecondLater) {
    auto made = list(Array{withAvailable("a", "0"), withAvailable("b", "0"), withAvailable("c", "0")});
    made->tableView()->tapRow(0, 2);
    ASSERT_EQ(m_posts.posts.size(), 1u);
    EXPECT_EQ(m_posts.posts[0].name, kNotificationListViewCoupon);
    EXPECT_EQ(m_posts.posts[0].sender, made.get());
    EXPECT_EQ(m_posts.posts[0].object["value"].stringOr(""), "c");
    m_clock.advance(0.49);
    turns(3);
    EXPECT_EQ(made->selectedIndex(), -1);
    m_clock.advance(0.01);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return made->selectedIndex() == 2; }));
    made->tableView()->layoutIfNeeded();
    EXPECT_EQ(row(*made, 2)->cellState(), 1u);
    EXPECT_EQ(row(*made, 0)->cellState(), 2u);
}

TEST_F(PromotionPages, ARowThatCannotBeChosenPostsNothing) {
    auto made = list(Array{withAvailable("a", "1"), withAvailable("b", "0")});
    made->tableView()->tapRow(0, 0);
    settle();
    EXPECT_TRUE(m_posts.posts.empty());
    EXPECT_EQ(made->selectedIndex(), -1);
}

TEST_F(PromotionPages, AListGoneBeforeItsMarkIsLeftAlone) {
    auto made = list(Array{withAvailable("a", "0")});
    made->tableView()->tapRow(0, 0);
    const std::weak_ptr<BCPromotionListViewController> weak = made;
    made.reset();
    EXPECT_TRUE(weak.expired());
    settle();
    EXPECT_EQ(m_posts.posts.size(), 1u);
}

TEST_F(PromotionPages, TheCheckButtonPostsTheCodeOrTheError) {
    auto page = couponPage();
    page->myCouponCell()->textField()->becomeFirstResponder();
    page->myCouponCell()->setText("Code2024x");
    page->verifyButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_FALSE(page->myCouponCell()->textField()->isFirstResponder()) << "the keyboard closes";
    ASSERT_EQ(m_posts.posts.size(), 1u);
    EXPECT_EQ(m_posts.posts[0].name, kNotificationVerifyCoupon);
    EXPECT_EQ(m_posts.posts[0].sender, page.get());
    EXPECT_EQ(m_posts.posts[0].object, (Dictionary{{"button_action", "checkcoupon"}, {"name", "coupon"}, {"value", "Code2024x"}}));

    page->myCouponCell()->setText("Code-2024");
    page->verifyAction();
    ASSERT_EQ(m_posts.posts.size(), 2u);
    EXPECT_EQ(m_posts.posts[1].name, kNotificationCouponErr);
    EXPECT_TRUE(m_posts.posts[1].object.empty());
}

TEST_F(PromotionPages, TheCouponPageAlternatesBetweenEnteringAndConfirmed) {
    auto page = couponPage();
    const platform::Rect hint = page->couponTipLabel()->frame();
    EXPECT_EQ(page->couponTipLabel()->text(), "提示： 每笔订单限用一张立减券");
    EXPECT_DOUBLE_EQ(hint.minY(), page->myCouponCell()->frame().maxY() + 12);
    EXPECT_EQ(page->verifyButton()->frame(), platform::Rect(375 - 72, 12, 60, 44));
    EXPECT_EQ(page->verifyButton()->currentTitle(), "验证");
    EXPECT_FALSE(page->useButton()->isEnabled());
    EXPECT_EQ(page->useButton()->currentTitle(), "使用");
    EXPECT_EQ(page->useButton()->superview()->frame(), platform::Rect(0, 376 - 54, 375, 54));

    page->refreshViewWithData(std::nullopt);
    EXPECT_FALSE(page->myCouponDic());
    EXPECT_FALSE(page->useButton()->isEnabled());

    page->myCouponCell()->setText("ABCD1234");
    page->refreshViewWithData(option("立减券 10元", "C10"));
    EXPECT_EQ(page->verifyButton()->currentTitle(), BCPromotionCouponView::kChangeTitle);
    EXPECT_TRUE(page->useButton()->isEnabled());
    EXPECT_EQ(page->couponTipLabel()->text(), "立减券 10元");
    page->useButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    ASSERT_EQ(m_posts.posts.size(), 1u);
    EXPECT_EQ(m_posts.posts[0].name, kNotificationListViewCoupon);
    EXPECT_EQ(m_posts.posts[0].object["value"].stringOr(""), "C10");

    // "换一张": the code is emptied, the use button disabled, the hint and the check come back.
    page->verifyButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(page->myCouponCell()->text(), "");
    EXPECT_FALSE(page->useButton()->isEnabled());
    EXPECT_EQ(page->verifyButton()->currentTitle(), "验证");
    EXPECT_EQ(page->couponTipLabel()->text(), "提示： 每笔订单限用一张立减券");
    EXPECT_EQ(page->couponTipLabel()->frame(), hint) << "the hint is not squeezed into the coupon label's frame";
    EXPECT_EQ(m_posts.posts.size(), 1u) << "changing the coupon posts nothing";
    page->verifyButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    ASSERT_EQ(m_posts.posts.size(), 2u);
    EXPECT_EQ(m_posts.posts[1].name, kNotificationCouponErr) << "the empty code is checked again";
}

TEST_F(PromotionPages, ACouponItemWithoutACodeRuleHasOnlyTheHintAndTheDisabledUseButton) {
    for (const std::string type : {"string", "text", ""}) {
        auto page = couponPage(couponItem(type));
        EXPECT_FALSE(page->myCouponCell()) << type;
        EXPECT_FALSE(page->verifyButton()) << type;
        ASSERT_TRUE(page->couponTipLabel()) << type;
        EXPECT_DOUBLE_EQ(page->couponTipLabel()->frame().minY(), 12) << type;
        EXPECT_FALSE(page->useButton()->isEnabled()) << type;
        page->verifyAction();
        page->changeCoupon();
    }
    EXPECT_EQ(m_posts.posts.size(), 3u);
    // Rules that are not a list, or a hint that is not a text rule: no input, no hint.
    auto bare = couponPage(Dictionary{{"type", "coupon"}, {"rules", "none"}});
    EXPECT_FALSE(bare->myCouponCell());
    EXPECT_FALSE(bare->couponTipLabel());
    EXPECT_EQ(bare->useButton()->currentTitle(), std::optional<std::string>(""));
}

TEST_F(PromotionPages, TheActionButtonsTakeTheConfiguredImagesOrSolidColours) {
    auto plain = couponPage();
    EXPECT_NE(plain->useButton()->backgroundImageForState(platform::kControlStateNormal), BCImageManager::instance()->imageNamed(20012));
    ASSERT_TRUE(plain->useButton()->backgroundImageForState(platform::kControlStateDisabled));
    container()->setBundleConfig(Dictionary{{"NavigationBarColors", "FF0000"}});
    auto configured = couponPage();
    EXPECT_EQ(configured->useButton()->backgroundImageForState(platform::kControlStateNormal), BCImageManager::instance()->imageNamed(20012));
    EXPECT_EQ(configured->useButton()->backgroundImageForState(platform::kControlStateHighlighted),
              BCImageManager::instance()->imageNamed(20013));
    EXPECT_EQ(configured->useButton()->backgroundImageForState(platform::kControlStateDisabled),
              BCImageManager::instance()->imageNamed(20014));
}

TEST_F(PromotionPages, TheLoginPagePostsTheLoginNotification) {
    auto page = BCPromotionLoginView::initWithFrame(kPage, pointItem(true));
    const double labelY = (376 - 16 - 44 - 24) / 2.0;
    EXPECT_EQ(page->tipLabel()->frame(), platform::Rect(12, labelY, 351, 16));
    EXPECT_EQ(page->tipLabel()->text(), "登录后可使用积分");
    EXPECT_EQ(page->loginButton()->frame(), platform::Rect((375 - 100) / 2.0, labelY + 16 + 24, 100, 44));
    EXPECT_EQ(page->loginButton()->currentTitle(), "登录");
    page->loginButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    ASSERT_EQ(m_posts.posts.size(), 1u);
    EXPECT_EQ(m_posts.posts[0].name, kNotificationLogin);
    EXPECT_EQ(m_posts.posts[0].sender, page.get());
}

TEST_F(PromotionPages, TheContentViewMakesOnePagePerItemByType) {
    Dictionary upointLogin = pointItem(true);
    upointLogin.set("type", "upoint");
    Dictionary upointEmpty{{"type", "upoint"}, {"empty_info", "暂无可用积分"}};
    Dictionary upointList{{"type", "upoint"}, {"options", Array{option("u", "U")}}};
    const Array items{discountItem(), couponItem(), upointLogin, upointEmpty, upointList, pointItem(true), pointItem(),
                      Dictionary{{"type", "lottery"}}, "not an item"};
    auto made = std::make_shared<BCPromotionContentView>(platform::Rect(0, 44, 375, 376), items);
    made->linkSubviews();
    auto& content = *made;
    ASSERT_EQ(content.pageCount(), items.size());
    EXPECT_FALSE(content.isScrollEnabled());
    EXPECT_TRUE(content.isPagingEnabled());
    EXPECT_EQ(content.contentSize(), (platform::Size{375.0 * 9, 376}));
    for (std::size_t i = 0; i < 7; ++i) {
        ASSERT_TRUE(content.page(i)) << i;
        EXPECT_EQ(content.page(i)->superview().get(), &content) << i;
        // The empty text keeps 12 points from the page's sides.
        const double inset = i == 3 ? 12 : 0;
        EXPECT_EQ(content.page(i)->frame(), platform::Rect(375.0 * static_cast<double>(i) + inset, 0, 375 - 2 * inset, 376)) << i;
    }
    EXPECT_EQ(content.page(0), content.list("discount")->view());
    EXPECT_EQ(content.list("discount")->myDataSource().size(), 3u);
    EXPECT_EQ(content.page(1), content.couponView());
    EXPECT_TRUE(std::dynamic_pointer_cast<BCPromotionLoginView>(content.page(2)));
    auto emptyText = std::dynamic_pointer_cast<platform::Label>(content.page(3));
    ASSERT_TRUE(emptyText);
    EXPECT_EQ(emptyText->text(), "暂无可用积分");
    EXPECT_EQ(content.page(4), content.list("upoint")->view());
    EXPECT_TRUE(std::dynamic_pointer_cast<BCPromotionLoginView>(content.page(5)));
    EXPECT_EQ(content.page(6), content.list("point")->view());
    EXPECT_FALSE(content.page(7));
    EXPECT_FALSE(content.page(8));
    EXPECT_FALSE(content.page(9));

    content.showPage(6);
    EXPECT_DOUBLE_EQ(content.contentOffset().x, 375 * 6);
    content.showPage(9);
    EXPECT_DOUBLE_EQ(content.contentOffset().x, 375 * 6);
}

TEST_F(PromotionPages, TheContentViewRefreshesItsPages) {
    auto made = std::make_shared<BCPromotionContentView>(kPage, Array{discountItem(), couponItem(), pointItem()});
    made->linkSubviews();
    auto& content = *made;
    content.selectListViewDefaultCell("discount");
    EXPECT_EQ(content.list("discount")->selectedIndex(), 0);
    content.selectListViewDefaultCell("coupon");
    content.refreshScoreListWithData(Array{option("p1", "P1"), option("p2", "P2")});
    EXPECT_EQ(content.list("point")->tableView()->numberOfRows(0), 2);
    content.list("point")->setSelectedIndex(1);
    content.deselectAllListView();
    EXPECT_EQ(content.list("discount")->selectedIndex(), -1);
    EXPECT_EQ(content.list("point")->selectedIndex(), -1);
    content.refreshScoreListWithData("none");
    EXPECT_EQ(content.list("point")->tableView()->numberOfRows(0), 0);

    content.refreshCouponViewWithData(Array{"not an option", option("second", "S")});
    EXPECT_FALSE(content.couponView()->myCouponDic());
    content.refreshCouponViewWithData(Array{option("first", "F"), option("second", "S")});
    EXPECT_EQ(content.couponView()->myCouponDic().value_or(Dictionary())["value"].stringOr(""), "F");

    content.showScoreMessage("正在查询...");
    const auto label = content.scoreMessageLabel();
    ASSERT_TRUE(label);
    EXPECT_EQ(label->frame().minX(), 375 * 2 + 12) << "over the points page";
    content.hideScoreMessage();
    EXPECT_FALSE(label->superview());
    content.showScoreMessage("无行业积分可以使用");
    EXPECT_EQ(content.scoreMessageLabel(), label) << "made once";
    EXPECT_EQ(label->text(), "无行业积分可以使用");
    EXPECT_TRUE(label->superview());
}

TEST_F(PromotionPages, OnlyTheContentViewsOwnPagesCountAsItsSenders) {
    BCPromotionContentView content(kPage, Array{discountItem(), couponItem(), pointItem(true)});
    EXPECT_TRUE(content.isPage(content.list("discount").get()));
    EXPECT_TRUE(content.isPage(content.couponView().get()));
    EXPECT_TRUE(content.isPage(content.page(2).get()));
    EXPECT_FALSE(content.isPage(nullptr));
    EXPECT_FALSE(content.isPage(&content));
    BCPromotionContentView other(kPage, Array{discountItem()});
    EXPECT_FALSE(content.isPage(other.list("discount").get()));
}
