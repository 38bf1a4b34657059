// RC4 and gzip for the statistics upload's body and the collector's replies.
#include "stats/MXStatHelper.h"

#include "stats/MXStatLog.h"

#include "platform/core/Crypto.h"

#include <zlib.h>

#include <algorithm>

namespace stats {

namespace {

// The collector's key: these 32 characters' ASCII codes are the key bytes (not decoded from hex).
constexpr std::string_view kRC4Key = "5be07c19d4a2f6830e1c9b7a4d52f8e6";
constexpr std::size_t kGZipStep = 8192;
constexpr std::size_t kGUnzipMinimumStep = 4096;

// zlib counts in uInt: feed it at most this much at a time.
constexpr std::size_t kZlibChunk = 1u << 30;

} // namespace

void MXStatHelper::ChiperRC4(platform::Bytes& data) {
    platform::Crypto::rc4(platform::bytesOf(kRC4Key), data);
}

int MXStatHelper::GZip(std::span<const std::uint8_t> data, platform::Bytes* out) {
    if (data.empty() || !out)
        return -1;
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return -1;
    platform::Bytes buffer(kGZipStep);
    std::size_t consumed = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (stream.total_out >= buffer.size())
            buffer.resize(buffer.size() + kGZipStep);
        const std::size_t inChunk = std::min(data.size() - consumed, kZlibChunk);
        stream.next_in = const_cast<Bytef*>(data.data() + consumed);
        stream.avail_in = static_cast<uInt>(inChunk);
        const std::size_t room = std::min(buffer.size() - stream.total_out, kZlibChunk);
        stream.next_out = buffer.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(room);
        const bool last = consumed + inChunk == data.size();
        status = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
        consumed += inChunk - stream.avail_in;
        if (status == Z_STREAM_ERROR) {
            deflateEnd(&stream);
            return -1;
        }
    }
    const std::size_t total = stream.total_out;
    deflateEnd(&stream);
    buffer.resize(total);
    *out = std::move(buffer);
    return 0;
}

int MXStatHelper::GUnzip(std::span<const std::uint8_t> data, platform::Bytes* out, std::size_t maxOutput) {
    if (data.empty() || !out || data.size() > kZlibChunk)
        return -1;
    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    if (inflateInit2(&stream, 47) != Z_OK) {
        MXStatLog("Failed to init gunzip.");
        return -1;
    }
    // Half the input per step, but never less than a few KiB: a tiny input must still make progress.
    const std::size_t step = std::max(data.size() / 2, kGUnzipMinimumStep);
    platform::Bytes buffer(std::min(data.size() + data.size() / 2 + 1, maxOutput + 1));
    int status = Z_OK;
    while (status == Z_OK) {
        if (stream.total_out >= buffer.size()) {
            if (buffer.size() > maxOutput)
                break;
            buffer.resize(std::min(buffer.size() + step, maxOutput + 1));
        }
        stream.next_out = buffer.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(std::min(buffer.size() - stream.total_out, kZlibChunk));
        status = inflate(&stream, Z_SYNC_FLUSH);
    }
    const bool ended = status == Z_STREAM_END && stream.total_out <= maxOutput;
    const std::size_t total = stream.total_out;
    if (inflateEnd(&stream) != Z_OK) {
        MXStatLog("Gunzip inflateEnd failed.");
        return -1;
    }
    if (!ended) {
        MXStatLog("Gunzip failed with status == %d", status);
        return -1;
    }
    buffer.resize(total);
    *out = std::move(buffer);
    return 0;
}

} // namespace stats
