// The camera's picture step after the shutter: a 12-megapixel JPEG decoded, cropped and scaled to
// 1024 x 768 and encoded as JPEG at quality 50 (the plug-in's own path: Image decode, the crop scaler,
// Image::jpegData), against the same decode, scale and encode done directly with libjpeg-turbo and
// Cairo, measured in the same run. Prints the median times and their ratio.
#include "platform/ui/Image.h"
#include "plugins/CropScaleOrientation.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <cairo.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <vector>

using namespace platform;

namespace {

constexpr int kWidth = 4000, kHeight = 3000;
constexpr int kTargetWidth = 1024, kTargetHeight = 768;
constexpr double kQuality = 0.5;
// The libjpeg quality Image::jpegData uses for 0.5, so both sides do the same work.
const int kLibjpegQuality = 1 + static_cast<int>(std::lround(kQuality * 99));
constexpr int kRepetitions = 7;

using Handle = std::unique_ptr<void, int (*)(tjhandle)>;

// A picture with smooth regions and grain, like a photograph, so the file has a realistic size.
const Bytes& picture() {
    static const Bytes jpeg = [] {
        std::vector<unsigned char> rgb(static_cast<std::size_t>(kWidth) * kHeight * 3);
        std::mt19937 random(11);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                unsigned char* p = &rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3];
                const int grain = static_cast<int>(random() % 24);
                p[0] = static_cast<unsigned char>((x * 200 / kWidth) + grain);
                p[1] = static_cast<unsigned char>((y * 180 / kHeight) + grain);
                p[2] = static_cast<unsigned char>((((x / 50) ^ (y / 50)) & 1) * 120 + grain);
            }
        Handle tj(tjInitCompress(), tjDestroy);
        unsigned char* out = nullptr;
        unsigned long size = 0;
        if (tjCompress2(tj.get(), rgb.data(), kWidth, 0, kHeight, TJPF_RGB, &out, &size, TJSAMP_420, 92, 0) != 0)
            std::abort();
        Bytes bytes(out, out + size);
        tjFree(out);
        return bytes;
    }();
    return jpeg;
}

Result<Bytes> cameraStep(const Bytes& jpeg) {
    Result<Image::Ptr> image = Image::decode(jpeg);
    if (!image)
        return image.error();
    Image::Ptr scaled = plugins::imageByScalingAndCroppingForSize(*image, {kTargetWidth, kTargetHeight});
    if (!scaled)
        return Error("bench", 1, "scaling failed");
    return scaled->jpegData(kQuality);
}

// The baseline: libjpeg-turbo straight into a Cairo surface, Cairo's scaler, libjpeg-turbo again.
Bytes directStep(const Bytes& jpeg) {
    Handle decoder(tjInitDecompress(), tjDestroy);
    int w = 0, h = 0, sub = 0, space = 0;
    if (tjDecompressHeader3(decoder.get(), jpeg.data(), jpeg.size(), &w, &h, &sub, &space) != 0)
        std::abort();
    cairo_surface_t* source = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cairo_surface_flush(source);
    if (tjDecompress2(decoder.get(), jpeg.data(), jpeg.size(), cairo_image_surface_get_data(source), w,
                      cairo_image_surface_get_stride(source), h, TJPF_BGRX, 0) != 0)
        std::abort();
    cairo_surface_mark_dirty(source);
    cairo_surface_t* target = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kTargetWidth, kTargetHeight);
    cairo_t* cr = cairo_create(target);
    const double factor = std::max(static_cast<double>(kTargetWidth) / w, static_cast<double>(kTargetHeight) / h);
    cairo_scale(cr, factor, factor);
    cairo_set_source_surface(cr, source, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(target);
    Handle encoder(tjInitCompress(), tjDestroy);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(encoder.get(), cairo_image_surface_get_data(target), kTargetWidth, cairo_image_surface_get_stride(target),
                    kTargetHeight, TJPF_BGRX, &out, &size, TJSAMP_420, kLibjpegQuality, 0) != 0)
        std::abort();
    Bytes bytes(out, out + size);
    tjFree(out);
    cairo_surface_destroy(target);
    cairo_surface_destroy(source);
    return bytes;
}

void BM_CameraProcess(benchmark::State& state) {
    const Bytes& jpeg = picture();
    for (auto _ : state) {
        Result<Bytes> out = cameraStep(jpeg);
        if (!out) {
            state.SkipWithError("camera step failed");
            break;
        }
        benchmark::DoNotOptimize(out->data());
    }
}

void BM_DirectTurboCairo(benchmark::State& state) {
    const Bytes& jpeg = picture();
    for (auto _ : state) {
        Bytes out = directStep(jpeg);
        benchmark::DoNotOptimize(out.data());
    }
}

BENCHMARK(BM_CameraProcess)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_DirectTurboCairo)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(kRepetitions)->UseRealTime();

// Keeps every repetition's time per iteration, for the medians.
class MedianReporter : public bench::RatioReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        RatioReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred)
                m_samples[run.run_name.function_name].push_back(run.real_accumulated_time / static_cast<double>(run.iterations));
    }
    double median(const std::string& function) {
        std::vector<double>& samples = m_samples[function];
        if (samples.empty())
            return 0;
        std::sort(samples.begin(), samples.end());
        return samples[samples.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> m_samples;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const Bytes& jpeg = picture();
    Result<Bytes> ours = cameraStep(jpeg);
    const Bytes theirs = directStep(jpeg);
    Result<Image::Ptr> oursDecoded = ours ? Image::decode(*ours) : Result<Image::Ptr>(Error("bench", 1));
    if (!oursDecoded || (*oursDecoded)->pixelWidth() != kTargetWidth || (*oursDecoded)->pixelHeight() != kTargetHeight ||
        theirs.empty()) {
        std::fprintf(stderr, "camera_process_bench: the camera step did not give a %d x %d JPEG\n", kTargetWidth, kTargetHeight);
        return 1;
    }
    std::printf("12-megapixel camera JPEG of %.1f MiB -> %d x %d at quality 50: %zu bytes (baseline %zu bytes)\n",
                static_cast<double>(jpeg.size()) / (1 << 20), kTargetWidth, kTargetHeight, ours->size(), theirs.size());
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double camera = reporter.median("BM_CameraProcess");
    const double baseline = reporter.median("BM_DirectTurboCairo");
    if (camera > 0 && baseline > 0)
        std::printf("camera processing vs direct libjpeg-turbo + Cairo (medians of %d): %.2f times the baseline (%.1f ms vs %.1f ms; goal at most 1.5)\n",
                    kRepetitions, camera / baseline, camera * 1000, baseline * 1000);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
