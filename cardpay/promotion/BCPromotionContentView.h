// The paged content of the promotion panel: one page per item of the promotion element, side by side at
// multiples of the view's width, moved only by code (the user cannot scroll it). By the item's "type":
//   "discount"  an option list of the item's "options" (kept under "discount")
//   "coupon"    the coupon page
//   "upoint"    the login page when the item has "button", else its "empty_info" message when it has one,
//               else an option list (kept under "upoint")
//   "point"     the login page when the item has "button", else an option list (kept under "point"),
//               filled once the points query answers
// Other items leave their page empty. A later list of a type already kept replaces it under that type.
//
// Main thread only.
#pragma once

#include "cardpay/promotion/BCPromotionPages.h"
#include "platform/core/Value.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"

#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

namespace cardpay {

class BCPromotionContentView : public platform::ScrollView {
public:
    BCPromotionContentView(platform::Rect frame, const platform::Array& items);

    // The coupon page gets the first option (none when there is none or it is not a dictionary).
    void refreshCouponViewWithData(const platform::Value& options);
    // The list kept under "point" shows these options.
    void refreshScoreListWithData(const platform::Value& options);
    // The list kept under that type gets its first row chosen.
    void selectListViewDefaultCell(const std::string& type);
    // Every list loses its chosen row.
    void deselectAllListView();
    // A centred grey message over the points page (made on first use); hideScoreMessage takes it away.
    void showScoreMessage(const std::string& message);
    void hideScoreMessage();

    // Whether a notification's sender is one of this view's pages.
    bool isPage(const void* sender) const;
    // Shows page `index` (no animation); an index past the pages is ignored.
    void showPage(std::size_t index);

    std::size_t pageCount() const { return m_pages.size(); }
    // The page shown for item `index` (none for an item of another type).
    std::shared_ptr<platform::View> page(std::size_t index) const;
    std::shared_ptr<BCPromotionListViewController> list(const std::string& type) const;
    const std::shared_ptr<BCPromotionCouponView>& couponView() const { return m_couponView; }
    const std::shared_ptr<platform::Label>& scoreMessageLabel() const { return m_scoreMessage; }

private:
    platform::Rect pageFrame(std::size_t index) const;
    std::shared_ptr<BCPromotionListViewController> addList(std::size_t index, const std::string& type, const platform::Value& options);
    std::shared_ptr<platform::Label> messageLabel(platform::Rect frame, const std::string& message) const;

    std::vector<std::shared_ptr<platform::View>> m_pages;
    std::vector<std::shared_ptr<BCPromotionListViewController>> m_lists;
    std::map<std::string, std::shared_ptr<BCPromotionListViewController>> m_listsByType;
    std::shared_ptr<BCPromotionCouponView> m_couponView;
    std::shared_ptr<platform::Label> m_scoreMessage;
    std::optional<std::size_t> m_pointPage;
    std::vector<const void*> m_senders;
};

} // namespace cardpay
