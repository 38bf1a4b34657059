// Drops (null) messages whose context is on its list; passes the text of all others unchanged.
#pragma once

#include "pushlog/PULSELogFormatter.h"
#include "pushlog/PULSELoggingContextSet.h"

namespace pushlog {

class PULSEContextBlacklistFilterLogFormatter : public PULSELogFormatter {
public:
    void addToBlacklist(std::uint64_t context) { m_contextSet.addToSet(context); }
    void removeFromBlacklist(std::uint64_t context) { m_contextSet.removeFromSet(context); }
    std::vector<std::uint64_t> blacklist() const { return m_contextSet.currentSet(); }
    bool isOnBlacklist(std::uint64_t context) const { return m_contextSet.isInSet(context); }

    LogText formatLogMessage(const PULSELogMessage& message) override {
        return isOnBlacklist(static_cast<std::uint64_t>(message.context())) ? nullptr : message.messageText();
    }

private:
    PULSELoggingContextSet m_contextSet;
};

} // namespace pushlog
