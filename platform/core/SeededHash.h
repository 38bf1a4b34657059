// The hash of every table keyed by data from outside (property-list and JSON dictionaries, the keychain's
// identities, archive entry names, message ids and tags): SipHash-1-3 under a key drawn at random once per
// process. The standard library's hash has a fixed seed for text and is the identity for integers, so
// keys chosen to share one value (or one bucket) turn every look-up into a walk of all the others, and
// filling such a table into quadratic time; without the key, no one outside can choose such keys.
//
//     std::unordered_map<std::string, Item, platform::SeededHash, std::equal_to<>> items;
//     items.find(std::string_view("name")); // no std::string made to look up (transparent)
//
// Guarantees:
// - Equal keys hash alike within a process (text by its bytes: std::string, std::string_view and C
//   strings alike); values differ from process to process, so never store or send one.
// - Integers hash by their 64-bit value (signed ones as their two's complement).
// - Thread-safe; the key is drawn at the first use (getrandom) and never changes.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

namespace seededhash {
// SipHash with `compression` rounds per 8-byte block and `finalization` rounds at the end, under the key
// (k0, k1). SipHash-2-4 is the reference; tables use 1-3.
template <int compression, int finalization>
std::uint64_t sipHash(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t length);

// This process's key.
struct Key {
    std::uint64_t k0, k1;
};
const Key& processKey();
} // namespace seededhash

struct SeededHash {
    using is_transparent = void;

    std::size_t operator()(std::string_view text) const {
        const seededhash::Key& key = seededhash::processKey();
        return static_cast<std::size_t>(seededhash::sipHash<1, 3>(key.k0, key.k1, text.data(), text.size()));
    }
    std::size_t operator()(const std::string& text) const { return (*this)(std::string_view(text)); }
    std::size_t operator()(const char* text) const { return (*this)(std::string_view(text)); }

    template <std::integral Integer>
    std::size_t operator()(Integer value) const {
        const auto bits = static_cast<std::uint64_t>(value);
        const seededhash::Key& key = seededhash::processKey();
        return static_cast<std::size_t>(seededhash::sipHash<1, 3>(key.k0, key.k1, &bits, sizeof bits));
    }
};

} // namespace platform
