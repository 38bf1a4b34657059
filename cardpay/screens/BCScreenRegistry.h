// Payment screens made by class name. A screen that shows another screen of the road asks these
// registries for it, so each screen is linked only to the names of the screens it opens; the road's entry
// registers the screens it carries (explicit registration, no static initialisers).
//
// A name that is not registered makes nothing; `makeScreen` and `makeOrderScreen` log it.
// Thread: registration from any thread; screens are made on the main thread.
#pragma once

#include "platform/core/ClassRegistry.h"

#include <memory>
#include <string_view>

namespace cardpay {

class BCBaseViewController;

// Screens made with no arguments ("BCUserInfoViewController", "BCPayingViewController", ...).
using BCScreenRegistry = platform::ClassRegistry<BCBaseViewController>;
// The order-information screen: made with its pay mode (100 account pay, 101 card pay) and whether it is
// the root order screen of the road.
using BCOrderScreenRegistry = platform::ClassRegistry<BCBaseViewController, int, bool>;

inline constexpr std::string_view kOrderScreenClass = "BCOrderInfoViewController";
inline constexpr std::string_view kUserInfoScreenClass = "BCUserInfoViewController";

std::shared_ptr<BCBaseViewController> makeScreen(std::string_view className);
std::shared_ptr<BCBaseViewController> makeOrderScreen(int payMode, bool isRoot);

} // namespace cardpay
