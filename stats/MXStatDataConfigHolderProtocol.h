// What a session-environment event needs of the online configuration holder: the "cfg" object with the
// versions of the configurations it holds.
#pragma once

#include "platform/core/Value.h"

namespace stats {

class MXStatDataConfigHolderProtocol {
public:
    virtual ~MXStatDataConfigHolderProtocol() = default;
    // Writes "cfg" = {"1": {"v": SDK configuration version}, "2": {"v": application configuration
    // version}}, an inner object empty when no such configuration is held.
    virtual void encode(platform::Dictionary& event) const = 0;
    // Takes the configuration records of a successful upload's reply (called on the upload queue).
    virtual void updateOnlineConfig(const platform::Dictionary& reply) = 0;
};

} // namespace stats
