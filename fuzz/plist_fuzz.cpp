// Reads arbitrary bytes as a property list (either form); whatever reads must write in binary form and
// read back to the same value. Reading is linear in the input: every run gets a time limit per input
// (kTimeoutFlag, unless the command line sets its own) that a quadratic read of the long flat lists among
// the seeds would exceed many times over.
#include "platform/formats/PropertyList.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kTimeoutFlag = "-timeout=5";

bool hasNaN(const platform::Value& v) {
    if (const double* d = v.getDouble())
        return std::isnan(*d);
    for (const auto& item : v.arrayOrEmpty())
        if (hasNaN(item))
            return true;
    for (const auto& entry : v.dictionaryOrEmpty())
        if (hasNaN(entry.value))
            return true;
    return false;
}

// Whether the value holds more than `limit` nodes. A binary list of a few hundred bytes may expand to
// about a million through shared objects (the reader's bound); written out and read again, such a value
// only repeats the read's work, for seconds per input in this instrumented build.
bool largerThan(const platform::Value& root, std::size_t limit) {
    std::vector<const platform::Value*> open{&root};
    std::size_t seen = 0;
    while (!open.empty()) {
        const platform::Value* v = open.back();
        open.pop_back();
        if (++seen > limit)
            return true;
        for (const auto& item : v->arrayOrEmpty())
            open.push_back(&item);
        for (const auto& entry : v->dictionaryOrEmpty())
            open.push_back(&entry.value);
    }
    return false;
}

} // namespace

// libFuzzer reads its flags after this: the limit goes first, so that one given on the command line wins.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args;
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + (args.empty() ? 0 : 1), const_cast<char*>(kTimeoutFlag));
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto value = platform::PropertyList::read(bytes);
    if (!value.ok() || largerThan(value.value(), 100000))
        return 0;
    auto written = platform::PropertyList::write(value.value(), platform::PropertyList::Format::Binary);
    if (!written.ok())
        return 0; // e.g. a key holding NUL: refused, not corrupted
    auto again = platform::PropertyList::read(written.value());
    if (!again.ok())
        std::abort();
    if (!hasNaN(value.value()) && !(again.value() == value.value()))
        std::abort();
    return 0;
}
