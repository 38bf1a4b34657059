#include "runtime/HYBCommandQueue.h"
#include "runtime/HYBPluginResult.h"

#include "platform/runloop/VirtualClock.h"
#include "platform/system/FreeMemory.h"

#include "BridgeFixture.h"
#include "support/LogCapture.h"
#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace runtime;
using namespace runtime::testing;

namespace {

// A batch of `count` probe commands with the arguments 0, 1, ...; each argument padded to `padding`
// characters when asked, to make the text long.
std::string probeBatch(int count, const std::string& prefix, std::size_t padding = 0) {
    std::string batch = "[";
    for (int i = 0; i < count; ++i) {
        if (i)
            batch += ",";
        batch += probeCommand(prefix + std::to_string(i), "\"" + prefix + std::to_string(i) + std::string(padding, ' ') + "\"");
    }
    return batch + "]";
}

// Turns the main loop a little, for what the last pass posted to it.
void settle() {
    hybtest::runMainUntil([] { return false; }, std::chrono::milliseconds(20));
}

std::vector<std::string> prefixes(const std::vector<std::string>& calls) {
    std::vector<std::string> out;
    for (const auto& call : calls)
        out.push_back(call.substr(0, call.find_first_of("0123456789")));
    return out;
}

// The page's queue as its bridge keeps it: each fetch takes what it holds, and is counted.
struct PageQueue {
    explicit PageQueue(Bridge& bridge) {
        bridge.host->view->page().setScriptHandler([this](std::string_view script) -> std::optional<std::string> {
            if (script != "hybrid.require('hybrid/exec').nativeFetchMessages()")
                return std::nullopt;
            ++fetches;
            std::string batch;
            for (const std::string& command : commands)
                batch += (batch.empty() ? "[" : ",") + command;
            commands.clear();
            return batch.empty() ? batch : batch + "]";
        });
    }
    std::vector<std::string> commands;
    int fetches = 0;
};

} // namespace

TEST(HYBCommandQueue, ALongBatchParsedInTheBackgroundStillRunsBeforeAShortOneQueuedAfterIt) {
    Bridge bridge;
    const std::string longBatch = probeBatch(400, "long", 1000); // far above 4095 characters
    bridge.queue->enqueueCommandBatch(longBatch);
    bridge.queue->enqueueCommandBatch(probeBatch(1, "short"));
    bridge.queue->executePending(); // the short batch is ready first, but must wait its turn

    ASSERT_TRUE(hybtest::runMainUntil([&] { return bridge.probe->calls.size() == 401; }));
    std::vector<std::string> expected(400, "run:long");
    expected.push_back("run:short");
    EXPECT_EQ(prefixes(bridge.probe->calls), expected);
    EXPECT_EQ(bridge.queue->pendingBatchCount(), 0u);
}

TEST(HYBCommandQueue, BatchesThatDoNotParseAreDroppedWithoutStallingTheQueue) {
    Bridge bridge;
    hybtest::LogCapture log;
    // A long text that is not JSON: parsed in the background, then dropped.
    bridge.queue->enqueueCommandBatch("[" + std::string(5000, '{'));
    // Short ones: not JSON, not an array, and an empty batch.
    bridge.queue->enqueueCommandBatch("[\"unterminated");
    bridge.queue->enqueueCommandBatch("{\"a\":1}");
    bridge.queue->enqueueCommandBatch("{\"a\":");
    bridge.queue->enqueueCommandBatch("[]");
    bridge.queue->enqueueCommandBatch(probeBatch(1, "after"));
    bridge.queue->executePending();

    ASSERT_TRUE(hybtest::runMainUntil([&] { return bridge.probe->calls.size() == 1; }));
    EXPECT_EQ(bridge.probe->calls[0], "run:after0");
    EXPECT_EQ(bridge.queue->pendingBatchCount(), 0u);
    EXPECT_FALSE(bridge.queue->currentlyExecuting());
    EXPECT_TRUE(log.contains("ERROR: Command batch dropped: it is not an array of commands"));
    const std::vector<std::string> lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.starts_with("ERROR: Command batch dropped: "); }),
              2) << "the object and the cut object";
    EXPECT_TRUE(log.contains("ERROR: Command dropped, it cannot be read: "));
    // No callback id could be read, so nothing is answered; the page hears from this side again by a fetch.
    settle();
    EXPECT_EQ(bridge.evaluated(), std::vector<std::string>{"hybrid.require('hybrid/exec').nativeFetchMessages()"});
}

TEST(HYBCommandQueue, BadEntriesAreAnsweredWhereTheirCallbackIdCanBeReadAndTheRestOfTheBatchRuns) {
    Bridge bridge;
    hybtest::LogCapture log;
    bridge.queue->enqueueCommandBatch("[[\"a\",\"Probe\"],5," + probeCommand("b", "2") +
                                      ",[null,\"Probe\",7,[]],[\"c\",\"Probe\",\"run\",{}]]");
    bridge.queue->executePending();
    EXPECT_EQ(bridge.probe->calls, (std::vector<std::string>{"run:2"}));
    EXPECT_EQ(bridge.queue->pendingBatchCount(), 0u);
    EXPECT_EQ(bridge.evaluated(), (std::vector<std::string>{
        "hybrid.require('hybrid/exec').nativeCallback('a',8,\"The command cannot be read: not an array of four elements\",0)",
        "hybrid.require('hybrid/exec').nativeCallback('c',8,\"The command cannot be read: arguments are not an array\",0)"}));
    EXPECT_TRUE(log.contains("ERROR: Command dropped, it cannot be read: service or action is not a string"));
}

TEST(HYBCommandQueue, CommandsAfterAStrayClosingBracketAreAnsweredAndLoggedNotRunNorDropped) {
    Bridge bridge;
    hybtest::LogCapture log;
    bridge.queue->enqueueCommandBatch("[" + probeCommand("a", "\"A\"") + "]," + probeCommand("b", "\"B\"") + "]");
    bridge.queue->executePending();
    EXPECT_EQ(bridge.probe->calls, (std::vector<std::string>{"run:A"}));
    EXPECT_EQ(bridge.evaluated(), (std::vector<std::string>{
        "hybrid.require('hybrid/exec').nativeCallback('b',8,\"The command cannot be read: it follows the end of the batch "
        "(a stray closing bracket before it)\",0)"}));
    EXPECT_TRUE(log.contains("ERROR: Command dropped, it cannot be read: it follows the end of the batch"));
}

// Whatever bytes a batch holds, each call whose callback id can be found runs or is answered.
TEST(HYBCommandQueue, EveryCallOfABatchWithStrayBytesRunsOrIsAnswered) {
    using namespace std::string_literals;
    const std::string answer = "hybrid.require('hybrid/exec').nativeCallback('";
    struct Case {
        std::string batch;
        std::vector<std::string> runs;
        std::vector<std::string> answered;
    };
    const std::vector<Case> cases = {
        {"[" + probeCommand("a", "\"A\"") + ",\0"s + probeCommand("b", "\"B\"") + "]", {"run:A", "run:B"}, {}},
        {"[" + probeCommand("a", "\"A\"") + "\xff\xfe" + probeCommand("b", "\"B\"") + "\x01]", {"run:A", "run:B"}, {}},
        {"\0["s + probeCommand("a", "\"A\"") + "," + probeCommand("b", "\"B\"") + "]", {}, {"a", "b"}},
        {"[[" + probeCommand("a", "\"A\"") + "," + probeCommand("b", "\"B\"") + "]]", {}, {"a", "b"}},
        // Batches inside the batch at any depth, and after a bracket that ended it early.
        {"[[[" + probeCommand("a", "\"A\"") + "]],[[[" + probeCommand("b", "\"B\"") + "]],[]]," + probeCommand("c", "\"C\"") + "]",
         {"run:C"}, {"a", "b"}},
        {"[" + probeCommand("a", "\"A\"") + "]][[[" + probeCommand("b", "\"B\"") + "]]," + probeCommand("c", "\"C\"") + "]",
         {"run:A"}, {"b", "c"}},
        {"[" + probeCommand("a", "\"A\0\""s) + "," + probeCommand("b", "\"\xc3\"") + "," + probeCommand("c", "\"\\ud800\"") +
             ",[\"d\",\"Probe\",\"run\",[1,",
         {"run:\xEF\xBF\xBD"}, {"a", "b", "d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.batch);
        Bridge bridge;
        hybtest::LogCapture log;
        bridge.queue->enqueueCommandBatch(c.batch);
        bridge.queue->executePending();
        EXPECT_EQ(bridge.probe->calls, c.runs);
        std::vector<std::string> answered;
        for (const std::string& script : bridge.evaluated()) {
            if (!script.starts_with(answer))
                continue;
            answered.push_back(script.substr(answer.size(), script.find('\'', answer.size()) - answer.size()));
            EXPECT_NE(script.find(",8,\"The command cannot be read: "), std::string::npos) << script;
        }
        EXPECT_EQ(answered, c.answered);
    }
}

// A page's arguments nested deeper than the reader allows, or a string cut inside a surrogate pair: the
// command is answered (or runs with U+FFFD), and the commands beside it in the batch run in their order.
TEST(HYBCommandQueue, ADeepCommandIsAnsweredAndALoneSurrogateReadsAsTheReplacementCharacter) {
    for (std::size_t padding : {std::size_t(0), std::size_t(5000)}) {
        SCOPED_TRACE(padding); // short batches are read at once, long ones in the background
        Bridge bridge;
        hybtest::LogCapture log;
        const std::string deep = std::string(1500, '[') + std::string(1500, ']');
        bridge.queue->enqueueCommandBatch("[" + probeCommand("p1", "\"first" + std::string(padding, ' ') + "\"") +
                                          ",[\"deep1\",\"Probe\",\"run\",[" + deep + "]]," +
                                          probeCommand("p2", "\"half \\ud83d\"") + "]");
        bridge.queue->enqueueCommandBatch("[" + probeCommand("p3", "\"next batch\"") + "]");
        bridge.queue->executePending();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return bridge.probe->calls.size() == 3; }));
        EXPECT_EQ(bridge.probe->calls[0], "run:first" + std::string(padding, ' '));
        EXPECT_EQ(bridge.probe->calls[1], "run:half \xEF\xBF\xBD");
        EXPECT_EQ(bridge.probe->calls[2], "run:next batch");
        const std::string answer = "hybrid.require('hybrid/exec').nativeCallback('deep1',8,\"The command cannot be read: ";
        ASSERT_EQ(bridge.evaluated().size(), 1u);
        EXPECT_EQ(bridge.evaluated()[0].compare(0, answer.size(), answer), 0) << bridge.evaluated()[0];
        EXPECT_NE(bridge.evaluated()[0].find("too deep"), std::string::npos) << bridge.evaluated()[0];
        EXPECT_EQ(bridge.queue->pendingBatchCount(), 0u);
    }
}

TEST(HYBCommandQueue, TextUpTo4095CodeUnitsIsParsedAtOnceOnTheCallingThread) {
    Bridge bridge;
    // 4095 UTF-16 code units, spelt with two-byte characters so the byte length is well above 4095.
    const std::string prefix = "[[\"x\",\"Probe\",\"run\",[\"";
    const std::string suffix = "\"]]]";
    const std::size_t units = HYBCommandQueue::utf16Length(prefix + suffix);
    std::string filler;
    for (std::size_t i = units; i < 4095; ++i)
        filler += "\xC3\xA9"; // é
    const std::string batch = prefix + filler + suffix;
    ASSERT_EQ(HYBCommandQueue::utf16Length(batch), 4095u);
    ASSERT_GT(batch.size(), 4095u);

    bridge.queue->enqueueCommandBatch(batch);
    bridge.queue->executePending();
    EXPECT_EQ(bridge.probe->calls.size(), 1u); // ran synchronously: it was not sent to the background
}

TEST(HYBCommandQueue, Utf16LengthCountsCodeUnits) {
    EXPECT_EQ(HYBCommandQueue::utf16Length("ab"), 2u);
    EXPECT_EQ(HYBCommandQueue::utf16Length("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 4u); // é € and one astral
    EXPECT_EQ(HYBCommandQueue::utf16Length("\xFF\xC3"), 2u);                            // stray bytes
}

TEST(HYBCommandQueue, ALongRunOfCommandsYieldsToTheRunLoopInSlicesOf8Milliseconds) {
    platform::VirtualClock clock;
    clock.install();
    Bridge bridge;
    hybtest::LogCapture log;
    bridge.probe->onRun = [&](const HYBInvokedUrlCommand&) { clock.advance(0.001); };
    bridge.queue->enqueueCommandBatch(probeBatch(100, "c"));

    bridge.queue->executePending();
    // 9 ms is the first time above 8 ms: the pass stops after the ninth command.
    EXPECT_EQ(bridge.probe->calls.size(), 9u);
    EXPECT_FALSE(bridge.queue->currentlyExecuting());
    EXPECT_EQ(bridge.queue->pendingBatchCount(), 1u);

    ASSERT_TRUE(hybtest::runMainUntil([&] { return bridge.probe->calls.size() == 100; }));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(bridge.probe->calls[i], "run:c" + std::to_string(i));
    EXPECT_FALSE(log.contains("THREAD WARNING"));
}

// A burst of calls leaves the allocator's heap grown: once 1,000 commands have run and then none for a
// second, its free memory is given back, once; fewer commands, or a quiet spell cut short, give nothing back.
TEST(HYBCommandQueue, FreeMemoryIsGivenBackOnceASecondAfterABurstOfCommands) {
    platform::VirtualClock clock;
    clock.install();
    Bridge bridge;
    const std::uint64_t before = platform::freeMemoryReleaseCount();
    auto run = [&](int count, const std::string& prefix) {
        const std::size_t ran = bridge.probe->calls.size();
        bridge.queue->enqueueCommandBatch(probeBatch(count, prefix));
        bridge.queue->executePending();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return bridge.probe->calls.size() == ran + static_cast<std::size_t>(count); }));
    };
    auto waitAndCount = [&](double seconds) {
        clock.advance(seconds);
        settle();
        return platform::freeMemoryReleaseCount() - before;
    };
    run(999, "a");
    EXPECT_EQ(waitAndCount(5), 0u) << "999 commands are no burst";
    run(1, "b");
    EXPECT_EQ(waitAndCount(0.6), 0u);
    run(1, "c"); // the quiet spell starts again
    EXPECT_EQ(waitAndCount(0.6), 0u);
    EXPECT_EQ(waitAndCount(0.5), 1u);
    EXPECT_EQ(waitAndCount(5), 1u) << "once per burst";
}

TEST(HYBCommandQueue, DispatchFailuresAndSlowActionsAreOnlyLogged) {
    platform::VirtualClock clock;
    clock.install();
    Bridge bridge;
    hybtest::LogCapture log;
    bridge.probe->onRun = [&](const HYBInvokedUrlCommand&) { clock.advance(0.011); };

    EXPECT_FALSE(bridge.queue->execute(HYBInvokedUrlCommand({}, "c1", "Probe", "nope")));
    EXPECT_TRUE(log.contains("ERROR: Method 'nope:' not defined in Plugin 'Probe'"));
    EXPECT_FALSE(bridge.queue->execute(HYBInvokedUrlCommand({}, "c2", "Nope", "run")));
    EXPECT_TRUE(log.contains("ERROR: Plugin 'Nope' not found, or is not a HYBPlugin. Check your plugin mapping in config.xml."));
    EXPECT_FALSE(bridge.queue->execute(HYBInvokedUrlCommand({}, "c3", "", "run")));
    EXPECT_TRUE(log.contains("ERROR: Classname and/or methodName not found for command."));
    EXPECT_FALSE(log.contains("THREAD WARNING"));

    EXPECT_TRUE(bridge.queue->execute(HYBInvokedUrlCommand({}, "c4", "PROBE", "run")));
    EXPECT_TRUE(log.contains("THREAD WARNING: ['PROBE'] took '11.000000' ms. Plugin should use a background thread."));
    EXPECT_TRUE(bridge.evaluated().empty()); // the page is never answered for these
}

TEST(HYBCommandQueue, CommandsQueuedByARunningActionRunInTheSamePass) {
    Bridge bridge;
    bridge.probe->onRun = [&](const HYBInvokedUrlCommand& command) {
        if (command.callbackId() != "outer")
            return;
        bridge.queue->enqueueCommandBatch("[" + probeCommand("inner", "2") + "]");
        bridge.queue->executePending(); // a pass is running: returns at once
        bridge.probe->calls.push_back("after nested request");
    };
    bridge.queue->enqueueCommandBatch("[" + probeCommand("outer", "1") + "]");
    bridge.queue->executePending();
    EXPECT_EQ(bridge.probe->calls, (std::vector<std::string>{"run:1", "after nested request", "run:2"}));
}

TEST(HYBCommandQueue, PokesAreTakenInIncreasingOrderStartingFromOneAfterAReset) {
    Bridge bridge;
    PageQueue page(bridge);
    std::vector<std::string>& pageQueue = page.commands;
    int& fetches = page.fetches;
    auto pageCalls = [&](int n) { pageQueue.push_back(probeCommand("f" + std::to_string(n), std::to_string(n))); };
    bridge.queue->resetRequestId();
    pageCalls(1);
    bridge.queue->processXhrExecBridgePoke(3);
    EXPECT_EQ(fetches, 0);
    bridge.queue->processXhrExecBridgePoke(1);
    EXPECT_EQ(fetches, 1);
    pageCalls(2);
    bridge.queue->processXhrExecBridgePoke(3);
    // Taken, but one fetch is on its way at a time: this poke's goes when the first comes back.
    EXPECT_EQ(fetches, 1);
    bridge.queue->processXhrExecBridgePoke(2);
    EXPECT_EQ(fetches, 1);
    // The fetched commands run when the page's answer comes back, from the main run loop.
    EXPECT_TRUE(bridge.probe->calls.empty());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return bridge.probe->calls.size() == 2; }));
    EXPECT_EQ(fetches, 2);
    EXPECT_EQ(bridge.probe->calls, (std::vector<std::string>{"run:1", "run:2"}));
    // They sent no answer: the queue comes back to the page once more, and finds nothing.
    ASSERT_TRUE(hybtest::runMainUntil([&] { return fetches == 3; }));

    bridge.queue->resetRequestId();
    bridge.queue->processXhrExecBridgePoke(4);
    EXPECT_EQ(fetches, 3);
    bridge.queue->processXhrExecBridgePoke(1);
    EXPECT_EQ(fetches, 4);
}

// A burst of signals while a fetch is on its way (a page making calls in a loop, each with its own poke,
// frame or fragment) costs one more fetch, not one each: every call is still run once, in order.
TEST(HYBCommandQueue, SignalsWhileAFetchIsOnItsWayShareOneMoreFetch) {
    Bridge bridge;
    PageQueue page(bridge);
    std::vector<std::string>& pageQueue = page.commands;
    int& fetches = page.fetches;
    bridge.queue->resetRequestId();
    for (int call = 1; call <= 100; ++call) {
        pageQueue.push_back(probeCommand("c" + std::to_string(call), std::to_string(call)));
        if (call % 2)
            bridge.queue->processXhrExecBridgePoke(call / 2 + 1);
        else
            bridge.queue->fetchCommandsFromJs(); // a frame's or a bare fragment's signal
        if (call == 1)
            pageQueue.push_back(probeCommand("late", "0")); // queued after the first fetch had run
    }
    EXPECT_EQ(fetches, 1);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return bridge.probe->calls.size() == 101; }));
    EXPECT_EQ(fetches, 2);
    EXPECT_EQ(bridge.probe->calls.front(), "run:1");
    EXPECT_EQ(bridge.probe->calls[1], "run:0");
    EXPECT_EQ(bridge.probe->calls.back(), "run:100");

    // A page load forgets a fetch still on its way to the old page: the new page's first poke fetches.
    ASSERT_TRUE(hybtest::runMainUntil([&] { return fetches == 3; })); // the visit back after the batch ran
    bridge.queue->fetchCommandsFromJs();
    bridge.queue->resetRequestId();
    const int before = fetches;
    bridge.queue->processXhrExecBridgePoke(1);
    EXPECT_EQ(fetches, before + 1);
}

// The page queues its calls without a signal while it waits for this side to come back: after each batch
// it hands over, it hears from this side again, by an answer when one went, otherwise by a fetch.
TEST(HYBCommandQueue, ThePageHearsBackOnceAfterEachBatchItHandsOver) {
    const std::string fetch = "hybrid.require('hybrid/exec').nativeFetchMessages()";
    auto countOf = [](const std::vector<std::string>& scripts, const std::string& script) {
        return std::count(scripts.begin(), scripts.end(), script);
    };
    {
        SCOPED_TRACE("no command answers: one fetch, after the batch has run");
        Bridge bridge;
        bridge.queue->enqueueCommandBatch(probeBatch(3, "quiet"));
        bridge.queue->executePending();
        EXPECT_TRUE(bridge.evaluated().empty()) << "the fetch waits behind what the pass posted";
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !bridge.evaluated().empty(); }));
        settle();
        EXPECT_EQ(bridge.evaluated(), std::vector<std::string>{fetch});
    }
    {
        SCOPED_TRACE("an answer went: it takes the page's queue, no fetch");
        Bridge bridge;
        bridge.probe->onRun = [&](const HYBInvokedUrlCommand& command) {
            bridge.delegate->sendPluginResult(HYBPluginResult::messageAsString(HYBCommandStatus::Ok, "done"), command.callbackId());
        };
        bridge.queue->enqueueCommandBatch(probeBatch(2, "loud"));
        bridge.queue->executePending();
        settle();
        EXPECT_EQ(bridge.evaluated().size(), 2u);
        EXPECT_EQ(countOf(bridge.evaluated(), fetch), 0);
    }
    {
        SCOPED_TRACE("answers held back to a later turn count as well");
        Bridge bridge;
        bridge.probe->onRun = [&](const HYBInvokedUrlCommand& command) {
            bridge.delegate->sendPluginResult(HYBPluginResult::messageAsString(HYBCommandStatus::Ok, "later"), command.callbackId());
        };
        bridge.queue->enqueueCommandBatch(probeBatch(1, "held"));
        bridge.delegate->flushCommandQueueWithDelayedJs();
        EXPECT_TRUE(bridge.evaluated().empty());
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !bridge.evaluated().empty(); }));
        settle();
        EXPECT_EQ(bridge.evaluated().size(), 1u);
        EXPECT_EQ(countOf(bridge.evaluated(), fetch), 0);
    }
    {
        SCOPED_TRACE("a batch that does not parse is still a batch handed over");
        Bridge bridge;
        hybtest::LogCapture log;
        bridge.queue->enqueueCommandBatch("{\"a\":1}");
        bridge.queue->executePending();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !bridge.evaluated().empty(); }));
        EXPECT_EQ(bridge.evaluated(), std::vector<std::string>{fetch});
    }
}

TEST(HYBCommandQueue, AfterDisposeNoPluginIsReached) {
    Bridge bridge;
    bridge.queue->dispose();
    bridge.queue->enqueueCommandBatch("[" + probeCommand("a", "1") + "]");
    bridge.queue->executePending();
    bridge.queue->fetchCommandsFromJs();
    EXPECT_TRUE(bridge.probe->calls.empty());
    EXPECT_TRUE(bridge.evaluated().empty());
}
