// Opens the native payment road over a host's view controller: the host's state that the road's exit
// gives back (its window's root presentation style and background colour, the status-bar orientation),
// the configuration list (none when the host has none), the transaction number and the payment server
// are stored in BCDataContainer; a BCNavController with the start screen as root is presented over the
// host. The road ends through the screens' exit, which hands {"code", "data"} to `delegate`.
//
// Main thread only.
#pragma once

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/views/BCNavController.h"
#include "platform/Value.h"
#include "platform/ui/ViewController.h"

#include <memory>
#include <optional>
#include <string>

namespace cardpay {

class BCPayRoad {
public:
    BCPayRoad() = delete;

    // Nothing is opened (none answered) for a host whose view is not in a window, or an empty
    // transaction number or server address.
    static std::shared_ptr<BCNavController> start(const std::shared_ptr<platform::ViewController>& host, const std::string& tn,
                                                  const std::string& serverURL, std::weak_ptr<BCPayResultDelegate> delegate,
                                                  std::optional<platform::Dictionary> bundleConfig = std::nullopt);
};

} // namespace cardpay
