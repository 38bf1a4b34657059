#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCBaseViewController.h"
#include "platform/core/Log.h"

#include <string>

namespace cardpay {

std::shared_ptr<BCBaseViewController> makeScreen(std::string_view className) {
    std::shared_ptr<BCBaseViewController> screen = BCScreenRegistry::shared().create(className);
    if (!screen)
        platform::Log::write("BCScreenRegistry: no payment screen class named " + std::string(className));
    return screen;
}

std::shared_ptr<BCBaseViewController> makeOrderScreen(int payMode, bool isRoot) {
    std::shared_ptr<BCBaseViewController> screen = BCOrderScreenRegistry::shared().create(kOrderScreenClass, payMode, isRoot);
    if (!screen)
        platform::Log::write("BCScreenRegistry: no payment screen class named " + std::string(kOrderScreenClass));
    return screen;
}

} // namespace cardpay
