// What framing the push connection's byte stream costs. A stream of 31-byte acknowledgements arrives in
// 64 KiB reads. Baseline in the same run: copying the reads into the reassembly buffer alone (what any
// receive costs). Then framing with the reassembler (the unframed rest moves once per read), framing
// that moves the rest after every packet (the straightforward reading of the algorithm, for
// comparison), and framing plus the dispatcher making every answer object.
#include "push/PULSEPacketReassembler.h"
#include "push/PULSEReceivedPacketController.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kRead = 64 * 1024;

const std::vector<std::uint8_t>& stream() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> all;
        const std::uint8_t ack[31] = {0, 31, 3, 19, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        while (all.size() + sizeof ack <= 4 * 1024 * 1024)
            all.insert(all.end(), ack, ack + sizeof ack);
        return all;
    }();
    return bytes;
}

template <class Receive>
void feed(benchmark::State& state, Receive receive) {
    const auto& bytes = stream();
    for (auto _ : state) {
        for (std::size_t offset = 0; offset < bytes.size(); offset += kRead)
            receive(bytes.data() + offset, std::min(kRead, bytes.size() - offset));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_CopyOnly(benchmark::State& state) {
    std::vector<std::uint8_t> buffer(push::PULSEPacketReassembler::kCapacity);
    feed(state, [&](const std::uint8_t* data, std::size_t size) {
        std::memcpy(buffer.data(), data, size);
        benchmark::DoNotOptimize(buffer.data());
    });
}

void BM_Frame(benchmark::State& state) {
    push::PULSEPacketReassembler reassembler;
    std::size_t packets = 0;
    feed(state, [&](const std::uint8_t* data, std::size_t size) {
        auto space = reassembler.freeSpace();
        std::memcpy(space.data(), data, size);
        reassembler.received(size);
        reassembler.frame([&](push::PULSEBytesView) { return ++packets, true; });
    });
    benchmark::DoNotOptimize(packets);
}

void BM_FrameMovingAfterEveryPacket(benchmark::State& state) {
    std::vector<std::uint8_t> buffer(push::PULSEPacketReassembler::kCapacity);
    std::size_t held = 0;
    std::size_t packets = 0;
    feed(state, [&](const std::uint8_t* data, std::size_t size) {
        std::memcpy(buffer.data() + held, data, size);
        held += size;
        while (held >= 2) {
            const std::size_t length = static_cast<std::size_t>((buffer[0] << 8) | buffer[1]);
            if (held < length)
                break;
            ++packets;
            std::memmove(buffer.data(), buffer.data() + length, held - length);
            held -= length;
        }
    });
    benchmark::DoNotOptimize(packets);
}

void BM_FrameAndDispatch(benchmark::State& state) {
    push::PULSEPacketReassembler reassembler;
    std::uint64_t sum = 0;
    feed(state, [&](const std::uint8_t* data, std::size_t size) {
        auto space = reassembler.freeSpace();
        std::memcpy(space.data(), data, size);
        reassembler.received(size);
        reassembler.frame([&](push::PULSEBytesView packet) {
            if (auto element = push::PULSEReceivedPacketController::packetWithBuffer(packet))
                sum += element->rid();
            return true;
        });
    });
    benchmark::DoNotOptimize(sum);
}

} // namespace

BENCHMARK(BM_CopyOnly);
BENCHMARK(BM_Frame);
BENCHMARK(BM_FrameMovingAfterEveryPacket);
BENCHMARK(BM_FrameAndDispatch);
int main(int argc, char** argv) { return bench::runBenchmarks(argc, argv); }
