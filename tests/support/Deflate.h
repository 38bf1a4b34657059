// Compresses test bytes with zlib in one go: gzip (windowBits 31) for HTTP replies, raw deflate
// (windowBits -15) for hand-made zip entries; and a gzip body of any number of zero bytes, made in steps
// (2 GiB of them is about 2 MB: a small reply that decodes to gigabytes).
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace testsupport {

inline std::string deflated(const std::string& plain, int windowBits) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(plain.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

inline std::string gzippedZeros(std::uint64_t size) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    const std::string zeros(1 << 20, '\0');
    std::string out;
    char buffer[1 << 16];
    for (std::uint64_t left = size;;) {
        const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
        left -= step;
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
        stream.avail_in = static_cast<uInt>(step);
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, left ? Z_NO_FLUSH : Z_FINISH);
            out.append(buffer, sizeof buffer - stream.avail_out);
        } while (stream.avail_out == 0);
        if (!left)
            break;
    }
    deflateEnd(&stream);
    return out;
}

} // namespace testsupport
