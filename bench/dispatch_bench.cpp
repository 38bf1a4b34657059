// Posting costs of the run loops and queues, each next to a baseline measured in the same run:
// - cross-thread round trip (post to a run-loop thread, which posts back to the main run loop) against a
//   mutex + condition variable ping-pong between two threads, and against GLib's own
//   g_main_context_invoke both ways;
// - a burst of 100,000 main-queue posts drained by the main run loop, against 100,000 bare g_idle_add
//   calls drained by the same GLib context;
// - serial queues on the worker pool: a burst of 100,000 posts from one thread, and a trickle of posts that
//   each find the queue idle (a worker wake-up per post), against one thread draining a mutex-guarded
//   deque that it waits on with a condition variable.
#include "platform/runloop/DispatchGroup.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/RunLoopThread.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <glib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

using namespace platform;

namespace {

constexpr int kBurst = 100'000;

void BM_RoundTrip_RunLoopThreadAndMainLoop(benchmark::State& state) {
    RunLoopThread worker("bench-worker");
    RunLoop& main = RunLoop::main();
    for (auto _ : state) {
        bool back = false;
        worker.runLoop().perform([&] { main.perform([&] { back = true; }); });
        while (!back)
            main.runOnce(Clock::TimePoint::max());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTrip_RunLoopThreadAndMainLoop)->UseRealTime();

void BM_RoundTrip_Baseline_MutexCondvarPingPong(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable changed;
    int turn = 0; // 0: nobody, 1: worker's turn, 2: back at the caller
    bool quit = false;
    std::thread worker([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return turn == 1 || quit; });
            if (quit)
                return;
            turn = 2;
            changed.notify_all();
        }
    });
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        turn = 1;
        changed.notify_all();
        changed.wait(lock, [&] { return turn == 2; });
    }
    {
        std::lock_guard lock(mutex);
        quit = true;
    }
    changed.notify_all();
    worker.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTrip_Baseline_MutexCondvarPingPong)->UseRealTime();

struct InvokeTrip {
    GMainContext* workerContext;
    bool back = false;
};

void BM_RoundTrip_Baseline_GMainContextInvoke(benchmark::State& state) {
    RunLoopThread worker("bench-glib");
    InvokeTrip trip{worker.runLoop().context()};
    for (auto _ : state) {
        trip.back = false;
        g_main_context_invoke(trip.workerContext, [](gpointer data) -> gboolean {
            g_main_context_invoke(nullptr, [](gpointer d) -> gboolean {
                static_cast<InvokeTrip*>(d)->back = true;
                return G_SOURCE_REMOVE;
            }, data);
            return G_SOURCE_REMOVE;
        }, &trip);
        while (!trip.back)
            g_main_context_iteration(nullptr, TRUE);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTrip_Baseline_GMainContextInvoke)->UseRealTime();

void BM_Burst100k_MainQueueAsync(benchmark::State& state) {
    RunLoop& main = RunLoop::main();
    for (auto _ : state) {
        int ran = 0;
        for (int i = 0; i < kBurst; ++i)
            DispatchQueue::main()->async([&ran] { ++ran; });
        while (ran < kBurst)
            main.runOnce(Clock::TimePoint::max());
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    state.counters["ns_per_post"] = benchmark::Counter(static_cast<double>(state.iterations() * kBurst),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Burst100k_MainQueueAsync)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Burst100k_Baseline_GIdleAdd(benchmark::State& state) {
    for (auto _ : state) {
        int ran = 0;
        for (int i = 0; i < kBurst; ++i)
            g_idle_add([](gpointer data) -> gboolean {
                ++*static_cast<int*>(data);
                return G_SOURCE_REMOVE;
            }, &ran);
        while (ran < kBurst)
            g_main_context_iteration(nullptr, TRUE);
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    state.counters["ns_per_post"] = benchmark::Counter(static_cast<double>(state.iterations() * kBurst),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Burst100k_Baseline_GIdleAdd)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Burst100k_FromAnotherThread(benchmark::State& state) {
    RunLoop& main = RunLoop::main();
    for (auto _ : state) {
        std::atomic<int> ran{0};
        std::thread poster([&] {
            for (int i = 0; i < kBurst; ++i)
                DispatchQueue::main()->async([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
        });
        while (ran.load() < kBurst)
            main.runOnce(Clock::TimePoint::max());
        poster.join();
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_Burst100k_FromAnotherThread)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SerialQueueAsyncThenSync(benchmark::State& state) {
    auto queue = DispatchQueue::createSerial("bench");
    for (auto _ : state) {
        int ran = 0;
        for (int i = 0; i < 1000; ++i)
            queue->async([&ran] { ++ran; });
        queue->sync([] {});
        benchmark::DoNotOptimize(ran);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_SerialQueueAsyncThenSync)->UseRealTime();

void BM_SerialQueueBurst100k(benchmark::State& state) {
    auto queue = DispatchQueue::createSerial("bench.burst");
    for (auto _ : state) {
        std::atomic<int> ran{0};
        for (int i = 0; i < kBurst; ++i)
            queue->async([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
        queue->sync([] {});
        benchmark::DoNotOptimize(ran.load());
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_SerialQueueBurst100k)->Unit(benchmark::kMillisecond)->UseRealTime();

// The hand-written equivalent of a serial queue: one consumer thread, one lock, one condition variable.
class CondvarWorkQueue {
public:
    CondvarWorkQueue() : m_thread([this] { run(); }) {}
    ~CondvarWorkQueue() {
        post(nullptr);
        m_thread.join();
    }
    void post(std::function<void()> job) {
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back(std::move(job));
        }
        m_changed.notify_one();
    }

private:
    void run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return !m_jobs.empty(); });
            auto job = std::move(m_jobs.front());
            m_jobs.pop_front();
            if (!job)
                return;
            lock.unlock();
            job();
            lock.lock();
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_jobs;
    std::thread m_thread;
};

void BM_SerialQueueBurst100k_Baseline_CondvarThread(benchmark::State& state) {
    CondvarWorkQueue queue;
    for (auto _ : state) {
        std::atomic<int> ran{0};
        for (int i = 0; i < kBurst; ++i)
            queue.post([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
        while (ran.load() < kBurst)
            std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_SerialQueueBurst100k_Baseline_CondvarThread)->Unit(benchmark::kMillisecond)->UseRealTime();

// Each post finds the queue idle: the caller waits until the block ran before posting the next one, so
// every post pays for handing the queue to a worker.
void BM_SerialQueueIdlePosts(benchmark::State& state) {
    auto queue = DispatchQueue::createSerial("bench.idle");
    std::atomic<std::int64_t> ran{0};
    std::int64_t posted = 0;
    for (auto _ : state) {
        queue->async([&ran] { ran.fetch_add(1, std::memory_order_release); });
        ++posted;
        while (ran.load(std::memory_order_acquire) < posted) {
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialQueueIdlePosts)->UseRealTime();

void BM_SerialQueueIdlePosts_Baseline_CondvarThread(benchmark::State& state) {
    CondvarWorkQueue queue;
    std::atomic<std::int64_t> ran{0};
    std::int64_t posted = 0;
    for (auto _ : state) {
        queue.post([&ran] { ran.fetch_add(1, std::memory_order_release); });
        ++posted;
        while (ran.load(std::memory_order_acquire) < posted) {
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialQueueIdlePosts_Baseline_CondvarThread)->UseRealTime();

// Concurrent work on a global queue: 10,000 blocks from one thread, waited for with a group.
void BM_GlobalQueueBurst10k(benchmark::State& state) {
    const auto& queue = DispatchQueue::global();
    for (auto _ : state) {
        DispatchGroup group;
        std::atomic<int> ran{0};
        for (int i = 0; i < 10'000; ++i)
            queue->async(group, [&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
        group.wait();
    }
    state.SetItemsProcessed(state.iterations() * 10'000);
}
BENCHMARK(BM_GlobalQueueBurst10k)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) { return bench::runBenchmarks(argc, argv); }
