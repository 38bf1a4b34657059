// A locked set of message contexts, behind the context filter formatters. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace pushlog {

class PULSELoggingContextSet {
public:
    // Contexts are compared as unsigned 64-bit numbers.
    void addToSet(std::uint64_t context);
    void removeFromSet(std::uint64_t context);
    // The contexts, in no defined order.
    std::vector<std::uint64_t> currentSet() const;
    bool isInSet(std::uint64_t context) const;

private:
    mutable std::mutex m_lock;
    std::unordered_set<std::uint64_t> m_set;
};

} // namespace pushlog
