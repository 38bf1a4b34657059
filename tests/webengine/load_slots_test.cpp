// How many routed loads run at once: per view, in all, in order, and what a release frees.
#include "webengine/LoadSlots.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using webengine::LoadSlots;

namespace {

int viewA, viewB, viewC;

// Asks for a load of `owner` that notes "<name>" in `started` when it starts.
std::optional<LoadSlots::Ticket> ask(LoadSlots& slots, const void* owner, std::vector<std::string>& started, std::string name,
                                     const std::string& host = "http://a")
{
    return slots.request(owner, host, [&started, name](LoadSlots::Ticket) { started.push_back(name); });
}

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ",") + name;
    return text;
}

} // namespace

TEST(LoadSlotsTest, AViewsLoadsBeyondItsSlotsWaitAndStartInOrder)
{
    LoadSlots slots({.total = 8, .perOwner = 2, .perGroup = 2, .waitingPerOwner = 3});
    std::vector<std::string> started;
    const auto first = ask(slots, &viewA, started, "a1");
    const auto second = ask(slots, &viewA, started, "a2");
    const auto third = ask(slots, &viewA, started, "a3");
    const auto fourth = ask(slots, &viewA, started, "a4");
    const auto fifth = ask(slots, &viewA, started, "a5");
    EXPECT_EQ(joined(started), "a1,a2");
    EXPECT_EQ(slots.running(&viewA), 2u);
    EXPECT_EQ(slots.waiting(&viewA), 3u);
    // The queue is full: one more is refused and nothing of it is kept.
    EXPECT_FALSE(ask(slots, &viewA, started, "a6"));
    EXPECT_EQ(slots.waiting(&viewA), 3u);

    // A waiting load withdrawn leaves the queue unstarted; a running one ended lets the next start.
    slots.release(*third);
    slots.release(*first);
    EXPECT_EQ(joined(started), "a1,a2,a4");
    slots.release(*first); // twice: nothing more
    EXPECT_EQ(slots.running(&viewA), 2u);
    slots.release(*second);
    slots.release(*fourth);
    slots.release(*fifth);
    EXPECT_EQ(joined(started), "a1,a2,a4,a5");
    EXPECT_EQ(slots.running(&viewA), 0u);
    EXPECT_EQ(slots.runningInAll(), 0u);
}

TEST(LoadSlotsTest, ViewsShareTheTotalByTurnsAndAGoneViewFreesEverySlot)
{
    LoadSlots slots({.total = 3, .perOwner = 3, .perGroup = 3, .waitingPerOwner = 100});
    std::vector<std::string> started;
    std::vector<LoadSlots::Ticket> flood;
    for (int i = 0; i < 10; ++i)
        flood.push_back(*ask(slots, &viewA, started, "a" + std::to_string(i)));
    ASSERT_TRUE(ask(slots, &viewB, started, "b0"));
    ASSERT_TRUE(ask(slots, &viewC, started, "c0"));
    ASSERT_TRUE(ask(slots, &viewB, started, "b1"));
    EXPECT_EQ(joined(started), "a0,a1,a2");
    // A flooding view does not keep the others waiting behind its whole queue: freed slots go by turns.
    slots.release(flood[0]);
    slots.release(flood[1]);
    slots.release(flood[2]);
    EXPECT_EQ(started.size(), 6u);
    EXPECT_NE(joined(started).find("b0"), std::string::npos);
    EXPECT_NE(joined(started).find("c0"), std::string::npos);

    // The flooding view goes: its running and waiting loads free their slots for the others at once.
    started.clear();
    slots.releaseOwner(&viewA);
    EXPECT_EQ(slots.waiting(&viewA), 0u);
    EXPECT_EQ(slots.running(&viewA), 0u);
    EXPECT_EQ(joined(started), "b1");
    EXPECT_LE(slots.runningInAll(), 3u);
}

TEST(LoadSlotsTest, AHostThatNeverAnswersTakesOnlyItsOwnShareOfTheView)
{
    LoadSlots slots({.total = 10, .perOwner = 4, .perGroup = 2, .waitingPerOwner = 100});
    std::vector<std::string> started;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(ask(slots, &viewA, started, "silent" + std::to_string(i), "http://silent"));
    const auto own = ask(slots, &viewA, started, "own", "http://own");
    ASSERT_TRUE(ask(slots, &viewA, started, "other", "http://other"));
    // The silent host's loads wait behind its two; the page's loads elsewhere go first.
    EXPECT_EQ(joined(started), "silent0,silent1,own,other");
    ASSERT_TRUE(ask(slots, &viewA, started, "own2", "http://own"));
    EXPECT_EQ(slots.waiting(&viewA), 4u);
    // The view's slots are all taken: the next to start is the oldest whose host has room.
    slots.release(*own);
    EXPECT_EQ(joined(started), "silent0,silent1,own,other,own2");
}

TEST(LoadSlotsTest, AStartThatReleasesOrAsksAgainKeepsTheCounts)
{
    LoadSlots slots({.total = 2, .perOwner = 2, .perGroup = 2, .waitingPerOwner = 10});
    std::vector<std::string> started;
    // A load that ends as it starts (its page gone meanwhile) frees its slot for the next, in order.
    int starts = 0;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(slots.request(&viewA, "file://", [&](LoadSlots::Ticket ticket) {
            ++starts;
            slots.release(ticket);
        }));
    EXPECT_EQ(starts, 5);
    EXPECT_EQ(slots.runningInAll(), 0u);
    // A start that asks for another load: that one waits for its turn, then starts.
    ASSERT_TRUE(slots.request(&viewB, "file://", [&](LoadSlots::Ticket) { (void)ask(slots, &viewB, started, "inner"); }));
    EXPECT_EQ(joined(started), "inner");
    EXPECT_EQ(slots.running(&viewB), 2u);
}
