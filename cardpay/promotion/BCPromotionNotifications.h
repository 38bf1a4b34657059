// The notifications with which the promotion pages talk to their panel and to the paying screen, all on
// the default notification centre and the main thread:
//
//   "NotificationListViewCoupon"  a selectable list row, or the coupon page's use button: the chosen
//                                 option (or the confirmed coupon)
//   "NotificationVerifyCoupon"    the coupon page's check button with a valid code:
//                                 {"button_action", "name", "value"}
//   "NotificationCouponErr"       the coupon page's check button with an invalid code
//   "NotificationLogin"           the login page's button
//
// The sender (the notification's object identity) is the page that posts; the dictionary the post
// carries is its user info. A panel acts only on posts of the pages of its own content view, so two
// living panels (one per screen) never answer each other's pages.
#pragma once

namespace cardpay {

inline constexpr const char* kNotificationListViewCoupon = "NotificationListViewCoupon";
inline constexpr const char* kNotificationVerifyCoupon = "NotificationVerifyCoupon";
inline constexpr const char* kNotificationCouponErr = "NotificationCouponErr";
inline constexpr const char* kNotificationLogin = "NotificationLogin";

} // namespace cardpay
