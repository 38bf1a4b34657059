#include "transfer/TransferFileSystems.h"

namespace transfer {

bool readFileSystemSource(const std::shared_ptr<runtime::HYBPlugin>&, const std::string&, SourceReadCallback) {
    return false;
}

std::optional<platform::URL> fileSystemURLForLocalPath(const std::shared_ptr<runtime::HYBPlugin>&, const std::string&) {
    return std::nullopt;
}

std::optional<std::string> fileSystemPathForTarget(const std::shared_ptr<runtime::HYBPlugin>&, const std::string&) {
    return std::nullopt;
}

std::optional<platform::Dictionary> entryForURL(const std::shared_ptr<runtime::HYBPlugin>&, const platform::URL&) {
    return std::nullopt;
}

} // namespace transfer
