// Adding a GPS dictionary to a 12-megapixel JPEG: by splicing a new EXIF segment into the file
// (ImageSource + ImageDestination), against the easy way measured in the same run: decoding the picture
// and encoding it again with libjpeg-turbo. Checks first that the splice leaves the decoded pixels
// identical, then prints how many times faster the splice is.
#include "platform/device/ImageDestination.h"
#include "platform/device/ImageMetadata.h"
#include "platform/device/ImageSource.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

using namespace platform;

namespace {

constexpr int kWidth = 4000, kHeight = 3000;
constexpr int kQuality = 90;

using Handle = std::unique_ptr<void, int (*)(tjhandle)>;

std::vector<unsigned char> decodeRGB(const Bytes& jpeg) {
    Handle tj(tjInitDecompress(), tjDestroy);
    int w = 0, h = 0, sub = 0, space = 0;
    std::vector<unsigned char> rgb;
    if (tjDecompressHeader3(tj.get(), jpeg.data(), jpeg.size(), &w, &h, &sub, &space) != 0)
        return rgb;
    rgb.resize(static_cast<std::size_t>(w) * h * 3);
    if (tjDecompress2(tj.get(), jpeg.data(), jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, 0) != 0)
        rgb.clear();
    return rgb;
}

Bytes encodeRGB(const std::vector<unsigned char>& rgb, int w, int h) {
    Handle tj(tjInitCompress(), tjDestroy);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj.get(), rgb.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_420, kQuality, 0) != 0)
        std::abort();
    Bytes bytes(out, out + size);
    tjFree(out);
    return bytes;
}

// A picture with smooth regions and grain, like a photograph, so the file has a realistic size.
const Bytes& picture() {
    static const Bytes jpeg = [] {
        std::vector<unsigned char> rgb(static_cast<std::size_t>(kWidth) * kHeight * 3);
        std::mt19937 random(7);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                unsigned char* p = &rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3];
                int grain = static_cast<int>(random() % 24);
                p[0] = static_cast<unsigned char>((x * 200 / kWidth) + grain);
                p[1] = static_cast<unsigned char>((y * 180 / kHeight) + grain);
                p[2] = static_cast<unsigned char>((((x / 40) ^ (y / 40)) & 1) * 120 + grain);
            }
        return encodeRGB(rgb, kWidth, kHeight);
    }();
    return jpeg;
}

const Dictionary& gps() {
    static const Dictionary properties{{kImagePropertyGPSDictionary,
                                        Dictionary{{"LatitudeRef", "S"}, {"Latitude", 33.8567844}, {"LongitudeRef", "E"},
                                                   {"Longitude", 151.213108}, {"AltitudeRef", 0}, {"Altitude", 12.5},
                                                   {"TimeStamp", "08:15:30.250000"}, {"DateStamp", "2024:05:06"}}}};
    return properties;
}

Result<Bytes> splice(const Bytes& jpeg) {
    Result<ImageSource> source = ImageSource::withData(jpeg);
    if (!source)
        return source.error();
    Result<ImageDestination> destination = ImageDestination::create(source->type(), 1);
    if (!destination)
        return destination.error();
    if (Status s = destination->addImageFromSource(*source, 0, gps()); !s)
        return s.error();
    return destination->finalize();
}

void BM_SpliceGPS(benchmark::State& state) {
    const Bytes& jpeg = picture();
    for (auto _ : state) {
        Result<Bytes> out = splice(jpeg);
        if (!out) {
            state.SkipWithError("splice failed");
            break;
        }
        benchmark::DoNotOptimize(out->data());
    }
}

void BM_DecodeAndReencode(benchmark::State& state) {
    const Bytes& jpeg = picture();
    for (auto _ : state) {
        std::vector<unsigned char> rgb = decodeRGB(jpeg);
        Bytes out = encodeRGB(rgb, kWidth, kHeight);
        benchmark::DoNotOptimize(out.data());
    }
}

BENCHMARK(BM_SpliceGPS)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DecodeAndReencode)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const Bytes& jpeg = picture();
    Result<Bytes> spliced = splice(jpeg);
    if (!spliced || decodeRGB(jpeg) != decodeRGB(*spliced) || decodeRGB(jpeg).empty()) {
        std::fprintf(stderr, "image_metadata_bench: the splice changed the decoded pixels\n");
        return 1;
    }
    std::printf("12-megapixel JPEG of %.1f MiB; after the splice the decoded pixels are identical\n",
                static_cast<double>(jpeg.size()) / (1 << 20));
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double ours = reporter.seconds("BM_SpliceGPS/min_time:2.000/real_time");
    double baseline = reporter.seconds("BM_DecodeAndReencode/min_time:2.000/real_time");
    if (ours > 0 && baseline > 0)
        std::printf("GPS splice vs decode and re-encode (libjpeg-turbo): %.1f times as fast (%.2f ms vs %.1f ms)\n",
                    baseline / ours, ours * 1000, baseline * 1000);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
