// The cookie store's two costs on every load, in a store of 30 cookies (the baseline) and in a full one of
// 3,000 over many sites, in the same run: storing a reply's cookie (which replaces one of the same name) and
// finding the "Cookie" value of a request. Prints each cost's ratio, full over small (goal: about 1, the
// cost does not grow with the cookies kept).
#include "platform/net/HTTPCookieStorage.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

using namespace platform;

namespace {

// A store holding `count` cookies, 150 a site, the application's session among them.
std::unique_ptr<HTTPCookieStorage> storeOf(std::size_t count) {
    auto store = std::make_unique<HTTPCookieStorage>();
    store->setCookie(HTTPCookie("session", "mine", "api.app.example"));
    for (std::size_t i = 1; i < count; ++i)
        store->setCookie(HTTPCookie("c" + std::to_string(i), "1", ".site" + std::to_string(i / 150) + ".example"));
    return store;
}

const URL& appURL() {
    static const URL url = *URL::fromString("https://api.app.example/account");
    return url;
}

void BM_StoreACookie(benchmark::State& state) {
    auto store = storeOf(static_cast<std::size_t>(state.range(0)));
    std::size_t i = 0;
    for (auto _ : state)
        store->storeSetCookieValues({"visit=" + std::to_string(i++ % 8) + "; Path=/"}, appURL(), std::nullopt);
    state.SetItemsProcessed(state.iterations());
}

void BM_CookieHeaderOfARequest(benchmark::State& state) {
    auto store = storeOf(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(store->cookieHeaderForURL(appURL()));
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_StoreACookie)->Arg(30)->Arg(3000);
BENCHMARK(BM_CookieHeaderOfARequest)->Arg(30)->Arg(3000);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const char* name : {"BM_StoreACookie", "BM_CookieHeaderOfARequest"}) {
        if (auto ratio = reporter.ratio(std::string(name) + "/3000", std::string(name) + "/30"))
            std::printf("%s: 3,000 cookies kept against 30: %.2f times the time\n", name, *ratio);
    }
    return reporter.exitStatus();
}
