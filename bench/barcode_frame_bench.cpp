// The scanner's frame path against reading the whole camera frame. Frames are 1280 x 720 BGRA sensor
// frames of the simulated camera looking at a QR test card (the picture lies a quarter turn
// counter-clockwise, as a phone's sensor gives it).
//
// - BM_FramePath: the centre square turned grey and upright in one pass, then zxing-cpp on it (the
//   scanner's per-frame work).
// - BM_WholeFrame (baseline): zxing-cpp reads the whole frame as BGRX, with the same formats and binarizer.
// Prints frames per second for both and the ratio; the scanner should keep up with a 30 fps camera.
#include "RatioReporter.h"

#include "platform/device/CaptureDevice.h"
#include "platform/device/FrameSource.h"
#include "plugins/BarcodeFrameDecoder.h"

#include <ZXing/DecodeHints.h>
#include <ZXing/ReadBarcode.h>

#include <cstdio>
#include <memory>

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr const char* kText = "https://example.org/hybrid/scan?frame=1280x720";

const platform::SampleBuffer& sensorFrame() {
    static const std::shared_ptr<const platform::SampleBuffer> frame = [] {
        platform::CaptureDevice camera({platform::CaptureDevicePosition::Back,
                                        platform::FrameSource::fromDescription(std::string("qr:") + kText), 30, kWidth, kHeight});
        auto sample = camera.captureFrame(0, 0);
        sample->lockBaseAddress();  // held for the whole run
        return sample;
    }();
    return *frame;
}

std::optional<plugins::DecodedBarcode> framePath(const platform::SampleBuffer& frame) {
    auto square = plugins::getLuminanceSource(frame.baseAddress(), frame.bytesPerRow() * static_cast<std::size_t>(frame.height()),
                                              frame.width(), frame.height(), frame.bytesPerRow());
    return square ? plugins::decodeSquare(*square) : std::nullopt;
}

std::optional<std::string> wholeFrame(const platform::SampleBuffer& frame) {
    ZXing::DecodeHints hints;
    hints.setFormats(plugins::scannedFormats());
    hints.setBinarizer(ZXing::Binarizer::LocalAverage);
    const ZXing::ImageView image(frame.baseAddress(), frame.width(), frame.height(), ZXing::ImageFormat::BGRX,
                                 static_cast<int>(frame.bytesPerRow()));
    ZXing::Result result = ZXing::ReadBarcode(image, hints);
    if (!result.isValid())
        return std::nullopt;
    return result.text();
}

void BM_FramePath(benchmark::State& state) {
    const platform::SampleBuffer& frame = sensorFrame();
    for (auto _ : state)
        benchmark::DoNotOptimize(framePath(frame));
}

void BM_WholeFrame(benchmark::State& state) {
    const platform::SampleBuffer& frame = sensorFrame();
    for (auto _ : state)
        benchmark::DoNotOptimize(wholeFrame(frame));
}

BENCHMARK(BM_FramePath)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_WholeFrame)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const platform::SampleBuffer& frame = sensorFrame();
    auto ours = framePath(frame);
    auto theirs = wholeFrame(frame);
    if (!ours || ours->text != kText || ours->format != "QR_CODE" || theirs != std::optional<std::string>(kText)) {
        std::fprintf(stderr, "barcode_frame_bench: a path did not read the card\n");
        return 1;
    }
    std::printf("%d x %d BGRA sensor frame with a QR code; both paths read it\n", kWidth, kHeight);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double path = reporter.seconds("BM_FramePath/min_time:2.000/real_time");
    const double whole = reporter.seconds("BM_WholeFrame/min_time:2.000/real_time");
    if (path > 0 && whole > 0)
        std::printf("frame path %.1f frames/s vs whole frame as BGRX (baseline) %.1f frames/s: %.2f times as fast\n", 1 / path,
                    1 / whole, whole / path);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
