#include "pushlog/PULSELoggingContextSet.h"

namespace pushlog {

void PULSELoggingContextSet::addToSet(std::uint64_t context) {
    std::lock_guard lock(m_lock);
    m_set.insert(context);
}

void PULSELoggingContextSet::removeFromSet(std::uint64_t context) {
    std::lock_guard lock(m_lock);
    m_set.erase(context);
}

std::vector<std::uint64_t> PULSELoggingContextSet::currentSet() const {
    std::lock_guard lock(m_lock);
    return {m_set.begin(), m_set.end()};
}

bool PULSELoggingContextSet::isInSet(std::uint64_t context) const {
    std::lock_guard lock(m_lock);
    return m_set.count(context) != 0;
}

} // namespace pushlog
