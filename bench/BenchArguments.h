// The arguments of a benchmark program with a main of its own. `make bench` hands BENCH_ARGS to every
// benchmark program; Google Benchmark's flags ("--benchmark_filter=...", "--benchmark_repetitions=..." and
// the like) are for the programs that run through it, and such a program runs whole without them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bench {

// The program's arguments after its name, Google Benchmark's flags left out.
inline std::vector<std::string> ownArguments(int argc, char** argv)
{
    std::vector<std::string> own;
    for (int i = 1; i < argc; ++i)
        if (!std::string_view(argv[i]).starts_with("--benchmark_"))
            own.emplace_back(argv[i]);
    return own;
}

} // namespace bench
