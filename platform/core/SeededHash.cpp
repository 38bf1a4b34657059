#include "platform/core/SeededHash.h"

#include "platform/core/Crypto.h"

#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <span>

namespace platform::seededhash {

namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct State {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }

    template <int rounds>
    void absorb(std::uint64_t m) {
        v3 ^= m;
        for (int i = 0; i < rounds; ++i)
            round();
        v0 ^= m;
    }
};

// Eight bytes as a little-endian number, whatever the machine's order.
std::uint64_t littleEndian(const unsigned char* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = n; i > 0; --i)
        v = (v << 8) | p[i - 1];
    return v;
}

Key drawKey() {
    std::uint64_t words[2] = {};
    if (!Crypto::randomBytes(std::span(reinterpret_cast<std::uint8_t*>(words), sizeof words))) {
        // No random source: what this process alone knows at this moment, still unknown outside it.
        const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        words[0] = now ^ (static_cast<std::uint64_t>(::getpid()) << 32);
        words[1] = reinterpret_cast<std::uintptr_t>(&words) ^ rotl(now, 29);
    }
    return Key{words[0], words[1]};
}

} // namespace

template <int compression, int finalization>
std::uint64_t sipHash(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t length) {
    State s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL, k1 ^ 0x7465646279746573ULL};
    const auto* p = static_cast<const unsigned char*>(data);
    const std::size_t whole = length & ~std::size_t{7};
    for (std::size_t at = 0; at < whole; at += 8) {
        std::uint64_t m = 0;
        if constexpr (std::endian::native == std::endian::little)
            std::memcpy(&m, p + at, 8);
        else
            m = littleEndian(p + at, 8);
        s.absorb<compression>(m);
    }
    // The last block: the bytes left, and the length's low byte on top.
    s.absorb<compression>(littleEndian(p + whole, length - whole) | (static_cast<std::uint64_t>(length & 0xFF) << 56));
    s.v2 ^= 0xFF;
    for (int i = 0; i < finalization; ++i)
        s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

template std::uint64_t sipHash<1, 3>(std::uint64_t, std::uint64_t, const void*, std::size_t);
template std::uint64_t sipHash<2, 4>(std::uint64_t, std::uint64_t, const void*, std::size_t);

const Key& processKey() {
    static const Key key = drawKey();
    return key;
}

} // namespace platform::seededhash
