// Passes the text of messages whose context is on its list, unchanged; drops (null) all others.
#pragma once

#include "pushlog/PULSELogFormatter.h"
#include "pushlog/PULSELoggingContextSet.h"

namespace pushlog {

class PULSEContextWhitelistFilterLogFormatter : public PULSELogFormatter {
public:
    void addToWhitelist(std::uint64_t context) { m_contextSet.addToSet(context); }
    void removeFromWhitelist(std::uint64_t context) { m_contextSet.removeFromSet(context); }
    std::vector<std::uint64_t> whitelist() const { return m_contextSet.currentSet(); }
    bool isOnWhitelist(std::uint64_t context) const { return m_contextSet.isInSet(context); }

    LogText formatLogMessage(const PULSELogMessage& message) override {
        return isOnWhitelist(static_cast<std::uint64_t>(message.context())) ? message.messageText() : nullptr;
    }

private:
    PULSELoggingContextSet m_contextSet;
};

} // namespace pushlog
