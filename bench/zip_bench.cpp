// Unpacking a web root: a 50 MiB archive of 2,000 files, by ZMZipArchive and by Info-ZIP `unzip -q`
// (the baseline) in the same run. Prints how many times faster ZMZipArchive is.
#include "deploy/ZMZipArchive.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 2000;

struct Fixture {
    fs::path root;
    fs::path archive;

    Fixture() {
        std::string pattern = (fs::temp_directory_path() / "zip-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        root = pattern;
        fs::path source = root / "source";
        std::mt19937 random(42);
        // Text-like content from a 16-letter alphabet deflates to about half its size; 2,000 files of
        // 4 to 88 KiB make an archive of about 50 MiB.
        static const char kAlphabet[] = "abcdefghijklmnop";
        for (int i = 0; i < kFiles; ++i) {
            fs::path file = source / ("dir" + std::to_string(i % 40)) / ("file" + std::to_string(i) + ".js");
            fs::create_directories(file.parent_path());
            std::size_t size = 4096 + random() % (84 * 1024);
            std::string content(size, ' ');
            for (char& c : content)
                c = kAlphabet[random() & 15];
            std::ofstream(file, std::ios::binary) << content;
        }
        archive = root / "www.zip";
        if (!deploy::ZMZipArchive::createZipFileAtPath(archive.string(), source.string()))
            std::abort();
        fs::remove_all(source);
        std::printf("archive: %.1f MiB, %d files\n", static_cast<double>(fs::file_size(archive)) / (1 << 20), kFiles);
    }
    ~Fixture() { fs::remove_all(root); }
};

Fixture& fixture() {
    static Fixture s_fixture;
    return s_fixture;
}

void BM_ZMZipArchive(benchmark::State& state) {
    Fixture& f = fixture();
    fs::path out = f.root / "out-zm";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(out);
        state.ResumeTiming();
        if (!deploy::ZMZipArchive::unzipFileAtPath(f.archive.string(), out.string()))
            state.SkipWithError("unzip failed");
    }
    fs::remove_all(out);
}

void BM_InfoZipUnzip(benchmark::State& state) {
    Fixture& f = fixture();
    fs::path out = f.root / "out-unzip";
    std::string command = "unzip -q -o '" + f.archive.string() + "' -d '" + out.string() + "'";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(out);
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("unzip -q failed");
    }
    fs::remove_all(out);
}

BENCHMARK(BM_ZMZipArchive)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_InfoZipUnzip)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    fixture();
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double ours = reporter.seconds("BM_ZMZipArchive/min_time:3.000/real_time");
    double baseline = reporter.seconds("BM_InfoZipUnzip/min_time:3.000/real_time");
    if (ours > 0 && baseline > 0)
        std::printf("ZMZipArchive vs unzip -q: %.2f times as fast (%.1f ms vs %.1f ms)\n", baseline / ours,
                    ours * 1000, baseline * 1000);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
