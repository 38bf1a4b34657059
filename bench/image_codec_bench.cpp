// PNG and JPEG in and out of platform::Image, against Cairo's own PNG reading and writing measured in the
// same run (the usual way to get a drawable surface from a PNG and back; it uses the same libpng and zlib).
// The picture is a full-screen launch picture (750 x 1334, opaque, a few flat areas: what the start
// screen decodes), as a PNG and as a JPEG (decoded by ours alone). Prints ours over Cairo's time for the
// PNG decode and encode.
#include "platform/ui/Image.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <cairo.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

using namespace platform;

namespace {

constexpr int kWidth = 750, kHeight = 1334;

// Flat bands with a soft gradient and a logo-like block: compresses like a launch picture.
std::vector<std::uint8_t> launchPictureRGBA() {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * kWidth + x) * 4];
            const bool logo = x > 275 && x < 475 && y > 567 && y < 767;
            p[0] = logo ? 30 : static_cast<std::uint8_t>(240 - y / 20);
            p[1] = logo ? 120 : static_cast<std::uint8_t>(240 - y / 40);
            p[2] = logo ? 200 : 250;
            p[3] = 255;
        }
    return rgba;
}

const Bytes& launchPNG() {
    static const Bytes png = *Image::fromRGBA(kWidth, kHeight, launchPictureRGBA(), 2).value()->pngData();
    return png;
}

const Bytes& launchJPEG() {
    static const Bytes jpeg = *Image::fromRGBA(kWidth, kHeight, launchPictureRGBA(), 2).value()->jpegData(0.9);
    return jpeg;
}

struct Reader {
    const Bytes* bytes;
    std::size_t at = 0;
};

cairo_status_t readFrom(void* closure, unsigned char* data, unsigned int length) {
    auto* r = static_cast<Reader*>(closure);
    if (r->bytes->size() - r->at < length)
        return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, r->bytes->data() + r->at, length);
    r->at += length;
    return CAIRO_STATUS_SUCCESS;
}

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<Bytes*>(closure)->insert(static_cast<Bytes*>(closure)->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

void decodeEach(benchmark::State& state, const Bytes& bytes) {
    for (auto _ : state) {
        auto image = Image::decode(bytes, 2);
        if (!image) {
            state.SkipWithError("decode failed");
            return;
        }
        benchmark::DoNotOptimize(image.value()->argb());
    }
}

void BM_DecodePNG(benchmark::State& state) { decodeEach(state, launchPNG()); }

void BM_CairoReadPNG(benchmark::State& state) {
    for (auto _ : state) {
        Reader reader{&launchPNG()};
        cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(readFrom, &reader);
        if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
            state.SkipWithError("cairo could not read it");
            return;
        }
        benchmark::DoNotOptimize(cairo_image_surface_get_data(surface));
        cairo_surface_destroy(surface);
    }
}

void BM_DecodeJPEG(benchmark::State& state) { decodeEach(state, launchJPEG()); }

void BM_EncodePNG(benchmark::State& state) {
    Image::Ptr image = Image::decode(launchPNG(), 2).value();
    for (auto _ : state)
        benchmark::DoNotOptimize(image->pngData());
}

void BM_CairoWritePNG(benchmark::State& state) {
    Reader reader{&launchPNG()};
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(readFrom, &reader);
    for (auto _ : state) {
        Bytes out;
        cairo_surface_write_to_png_stream(surface, appendTo, &out);
        benchmark::DoNotOptimize(out.data());
    }
    cairo_surface_destroy(surface);
}

BENCHMARK(BM_DecodePNG)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_CairoReadPNG)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_DecodeJPEG)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_EncodePNG)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_CairoWritePNG)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const char* suffix = "/min_time:1.000/real_time";
    for (auto [ours, cairo, what] : {std::tuple{"BM_DecodePNG", "BM_CairoReadPNG", "PNG decode"},
                                     std::tuple{"BM_EncodePNG", "BM_CairoWritePNG", "PNG encode"}}) {
        auto ratio = reporter.ratio(std::string(ours) + suffix, std::string(cairo) + suffix);
        if (ratio)
            std::printf("%s of a %d x %d launch picture, ours / Cairo's: %.2f times its time\n", what, kWidth, kHeight, *ratio);
    }
    benchmark::Shutdown();
    return reporter.exitStatus();
}
