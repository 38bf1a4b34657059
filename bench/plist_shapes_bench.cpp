// Reading a property list of about 1 MB in every shape another application could leave on a pasteboard:
// long flat arrays (items of their own, or one shared item), a wide dictionary, nesting at the limit, in
// both forms; and what must be refused (nesting past the limit, XML that a tag scan would miscount, a
// binary list expanding past its size or holding too many values, XML entities and attributes). And, at
// the size a reader takes from another application (a keychain item's megabyte, a 64 MiB pasteboard):
// one string or data object referenced thousands of times, namespace declarations in every array, every
// offset-table entry naming one long UTF-16 text, and an offset table of 64 million one-byte entries.
// Each read is checked (read whole, or refused); each shape's memory is the peak resident set over its
// runs above the set before them ("extra_MiB"); the summary prints the slowest shape of each kind, which
// should stay well under a second.
#include "platform/formats/PropertyList.h"

#include "RatioReporter.h"
#include "support/HostilePropertyLists.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using platform::PropertyList;

struct Shape {
    const char* name;
    std::function<std::string()> make;
    bool reads; // read whole, else refused
    std::size_t items = 0; // top-level items when read
};

// A field of /proc/self/status in MiB ("VmRSS", "VmHWM").
double statusMiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return static_cast<double>(std::strtol(line.c_str() + length + 1, nullptr, 10)) / 1024.0;
    return 0;
}

// Starts the kernel's peak resident set again from the current one.
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// `units` UTF-16 units of U+00E9 (no NUL).
std::string utf16Text(std::size_t units) {
    std::string text;
    text.reserve(2 * units);
    for (std::size_t i = 0; i < units; ++i)
        text += std::string("\x00\xE9", 2);
    return text;
}

std::string xmlFlat(std::size_t items) {
    std::string text = "<plist version=\"1.0\"><array>";
    for (std::size_t i = 0; i < items; ++i)
        text += "<integer>" + std::to_string(i) + "</integer>";
    return text + "</array></plist>";
}

std::string xmlWide(std::size_t keys) {
    std::string text = "<plist version=\"1.0\"><dict>";
    for (std::size_t i = 0; i < keys; ++i)
        text += "<key>k" + std::to_string(i) + "</key><string>v</string>";
    return text + "</dict></plist>";
}

std::string xmlNested(std::size_t levels) {
    std::string text = "<plist version=\"1.0\">";
    for (std::size_t i = 0; i < levels; ++i)
        text += "<array>";
    for (std::size_t i = 0; i < levels; ++i)
        text += "</array>";
    return text + "</plist>";
}

// One array of `outer` references to one array of `inner` references to a string: outer x inner nodes.
std::string expansion(std::uint32_t outer, std::uint32_t inner) {
    return hybtest::binaryList({hybtest::arrayObject(std::vector<std::uint32_t>(outer, 1)),
                                hybtest::arrayObject(std::vector<std::uint32_t>(inner, 2)), "\x51x"});
}

const std::vector<Shape>& shapes() {
    static const std::vector<Shape> all = {
        {"binary/flat-own-items", [] { return hybtest::flatBinaryList(110000, false); }, true, 110000},
        {"binary/flat-shared-item", [] { return hybtest::flatBinaryList(250000, true); }, true, 250000},
        {"binary/wide-dictionary", [] { return hybtest::wideBinaryDictionary(60000); }, true, 60000},
        {"binary/nested-512", [] { return hybtest::nestedBinaryList(513); }, true, 1},
        {"xml/flat", [] { return xmlFlat(50000); }, true, 50000},
        {"xml/wide-dictionary", [] { return xmlWide(40000); }, true, 40000},
        {"xml/nested-512", [] { return xmlNested(512); }, true, 1},
        {"refused/binary-nested-100000", [] { return hybtest::nestedBinaryList(100000); }, false},
        {"refused/binary-expanding", [] { return expansion(1000, 250000); }, false},
        {"refused/xml-quote-trick-200000", [] { return hybtest::quoteTrickXML(200000); }, false},
        {"refused/xml-nested-100000", [] { return xmlNested(100000); }, false},
        {"refused/binary-one-byte-shared-1000000", [] { return hybtest::oneByteSharedBinaryList(1000000); }, false},
        {"refused/xml-entity-of-elements", [] { return hybtest::entityOfElementsXML(); }, false},
        {"refused/xml-attributes-100000", [] { return hybtest::manyAttributesXML(100000); }, false},
        // At the size bound of a keychain item (1 MiB) and of a pasteboard (64 MiB).
        {"refused/binary-1000-refs-to-1MiB-string",
         [] { return hybtest::oneByteSharedBinaryList(1000, hybtest::leafObject(0x50, std::string(1 << 20, 's'))); }, false},
        {"refused/binary-3500-refs-to-900KB-data",
         [] { return hybtest::oneByteSharedBinaryList(3500, hybtest::leafObject(0x40, std::string(900 * 1024, 'd'))); }, false},
        {"refused/xml-namespaces-1MiB", [] { return hybtest::namespacedXML(100, 255, 190); }, false},
        {"refused/xml-namespaces-4MiB", [] { return hybtest::namespacedXML(400, 255, 760); }, false},
        {"binary/utf16-text-named-by-every-entry-256KiB",
         [] { return hybtest::oneObjectManyEntries(hybtest::leafObject(0x60, utf16Text(64 * 1024)), 32 * 1024, false); }, true, 0},
        {"binary/utf16-text-named-by-every-entry-1MiB",
         [] { return hybtest::oneObjectManyEntries(hybtest::leafObject(0x60, utf16Text(256 * 1024)), 128 * 1024, false); }, true, 0},
        {"refused/binary-64M-one-byte-offsets",
         [] { return hybtest::oneObjectManyEntries("\x09", (64u << 20) - 48, false, 1); }, false},
    };
    return all;
}

void readShape(benchmark::State& state) {
    const Shape& shape = shapes()[static_cast<std::size_t>(state.range(0))];
    const std::string bytes = shape.make();
    state.SetLabel(std::string(shape.name) + " " + std::to_string(bytes.size() / 1024) + " KB");
    resetPeak();
    const double before = statusMiB("VmRSS");
    for (auto _ : state) {
        auto value = PropertyList::read(bytes);
        const bool read = value.ok();
        const std::size_t items = read ? std::max(value->arrayOrEmpty().size(), value->dictionaryOrEmpty().size()) : 0;
        if (read != shape.reads || (read && items != shape.items)) {
            state.SkipWithError((std::string(shape.name) + (read ? ": read wrongly" : ": refused")).c_str());
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    state.counters["extra_MiB"] = std::max(0.0, statusMiB("VmHWM") - before);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

} // namespace

BENCHMARK(readShape)->DenseRange(0, 20)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double slowestRead = 0, slowestRefusal = 0;
    for (std::size_t i = 0; i < shapes().size(); ++i) {
        const double seconds = reporter.seconds("readShape/" + std::to_string(i));
        (shapes()[i].reads ? slowestRead : slowestRefusal) = std::max(shapes()[i].reads ? slowestRead : slowestRefusal, seconds);
    }
    std::printf("\nAbout 1 MB property lists: slowest read %.3f s, slowest refusal %.3f s\n", slowestRead, slowestRefusal);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
