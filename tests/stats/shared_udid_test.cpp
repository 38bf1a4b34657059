#include "StatsTest.h"

#include "support/HostilePropertyLists.h"

#include "platform/runloop/DispatchQueue.h"
#include "platform/system/UserDefaults.h"
#include "support/SelfProcess.h"

#include <cstdlib>
#include <filesystem>
#include <regex>

using namespace stats;
using namespace statstest;

namespace {

// Another application on the same device: this test executable started again with its own home and the
// same pasteboard folder, running only the disabled test below, which checks the id it computes.
int runOtherApplication(const std::string& pasteboards, const std::string& expectedId) {
    return hybtest::runThisTestExecutable("SharedUDIDOtherApplication.DISABLED_ComputesTheExpectedId",
                                          {"HYB_PASTEBOARD_DIR=" + pasteboards, "HYB_STATS_EXPECTED_UDID=" + expectedId});
}

platform::Dictionary slotRecord(const std::string& id, const std::string& appUID) {
    return platform::Dictionary{{kSharedUDIDKey, id}, {kSharedUDIDAppUIDKey, appUID}, {kSharedUDIDCreatedKey, platform::Date{1.0e9}}};
}

std::string slot(int n) {
    return kMXStatSharedUDIDSlotPrefix + std::to_string(n);
}

const std::string kMajorityId = "1111111111111111111111111111111111111111";
const std::string kMinorityId = "2222222222222222222222222222222222222222";

class SharedUDIDTest : public StatsTest {
protected:
    std::optional<platform::Dictionary> localRecord() { return platform::UserDefaults::standard().dictionary(kSharedUDIDKey); }
};

TEST(SharedUDIDOtherApplication, DISABLED_ComputesTheExpectedId) {
    const char* expected = std::getenv("HYB_STATS_EXPECTED_UDID");
    ASSERT_NE(expected, nullptr);
    hybtest::TempHome home;
    platform::Error error;
    EXPECT_EQ(MXStatSharedUDID::valueWithError(&error), expected);
    EXPECT_EQ(error.code, MXStatSharedUDID::kSuccess);
}

TEST_F(SharedUDIDTest, AFreshIdIsFortyHexadecimalCharacters) {
    const std::regex hex40("[0-9a-f]{40}");
    const std::string first = MXStatSharedUDID::_generateFreshSharedUDID();
    EXPECT_TRUE(std::regex_match(first, hex40)) << first;
    EXPECT_NE(first, MXStatSharedUDID::_generateFreshSharedUDID());

    platform::Error error;
    const std::string id = MXStatSharedUDID::valueWithError(&error);
    EXPECT_TRUE(std::regex_match(id, hex40)) << id;
    EXPECT_EQ(error.domain, kMXStatSharedUDIDType);
    EXPECT_EQ(error.code, MXStatSharedUDID::kSuccess);
    EXPECT_EQ(error.userInfo["description"], platform::Value("SharedUDID succesfully retrieved"));

    // Kept locally and in the first slot.
    auto record = localRecord();
    ASSERT_TRUE(record);
    EXPECT_EQ((*record)[kSharedUDIDKey], platform::Value(id));
    EXPECT_EQ((*record)[kSharedUDIDSlotKey], platform::Value(slot(0)));
    EXPECT_TRUE((*record)[kSharedUDIDCreatedKey].isDate());
    EXPECT_EQ(MXStatSharedUDID::_getDictFromPasteboard(slot(0))[kSharedUDIDKey], platform::Value(id));
    EXPECT_TRUE(platform::Pasteboard::withName(slot(0), false)->isPersistent());

    // Answered from memory afterwards.
    EXPECT_EQ(MXStatSharedUDID::valueWithError(&error), id);
    EXPECT_EQ(error.userInfo["description"], platform::Value("SharedUDID in cache from first call"));
    // And the same after a restart (the cache forgotten), from the local record.
    MXStatSharedUDID::forgetCachedValue();
    EXPECT_EQ(MXStatSharedUDID::value(), id);
}

TEST_F(SharedUDIDTest, TwoApplicationsConvergeOnTheMostVotedId) {
    ASSERT_TRUE(MXStatSharedUDID::_setDict(slotRecord(kMinorityId, "app-a"), slot(0)));
    ASSERT_TRUE(MXStatSharedUDID::_setDict(slotRecord(kMajorityId, "app-b"), slot(2)));
    ASSERT_TRUE(MXStatSharedUDID::_setDict(slotRecord(kMajorityId, "app-c"), slot(3)));

    platform::Error error;
    EXPECT_EQ(MXStatSharedUDID::valueWithError(&error), kMajorityId);
    EXPECT_EQ(error.code, MXStatSharedUDID::kSuccess);
    // This application took the first free slot.
    EXPECT_EQ(MXStatSharedUDID::_getDictFromPasteboard(slot(1))[kSharedUDIDKey], platform::Value(kMajorityId));

    ASSERT_EQ(runOtherApplication(platform::Pasteboard::storageFolder(), kMajorityId), 0);
    // The other application wrote its copy into the next free slot.
    EXPECT_EQ(MXStatSharedUDID::_getDictFromPasteboard(slot(4))[kSharedUDIDKey], platform::Value(kMajorityId));
}

TEST_F(SharedUDIDTest, ALocalIdAgainstTheMajorityIsKeptWithCode2) {
    ASSERT_TRUE(platform::UserDefaults::standard()
                    .set(kSharedUDIDKey, platform::Dictionary{{kSharedUDIDKey, kMinorityId}, {kSharedUDIDSlotKey, slot(0)}})
                    .ok());
    ASSERT_TRUE(MXStatSharedUDID::_setDict(slotRecord(kMinorityId, "this-app"), slot(0)));
    ASSERT_TRUE(MXStatSharedUDID::_setDict(slotRecord(kMajorityId, "app-b"), slot(1)));
    ASSERT_TRUE(MXStatSharedUDID::_setDict(slotRecord(kMajorityId, "app-c"), slot(2)));

    platform::Error error;
    EXPECT_EQ(MXStatSharedUDID::valueWithError(&error), kMinorityId);
    EXPECT_EQ(error.code, MXStatSharedUDID::kCompromised);
    EXPECT_EQ(error.userInfo["description"],
              platform::Value("Found a discrepancy between stored SharedUDID (reliable) and redundant copies; one of the apps "
                              "on the device is most likely corrupting the SharedUDID protocol"));
    // Its owned slot exists, so no other slot was taken.
    EXPECT_TRUE(MXStatSharedUDID::_getDictFromPasteboard(slot(3)).empty());
}

TEST_F(SharedUDIDTest, HostileOrOversizedSlotsReadAsFreeOnASmallStack) {
    std::vector<std::string> bad = hybtest::hostilePropertyLists();
    // A record past the bound, well-formed otherwise.
    auto large = platform::PropertyList::write(
        platform::Value(platform::Dictionary{{kSharedUDIDKey, std::string(kMXStatSharedUDIDMaxRecordBytes, '1')}}),
        platform::PropertyList::Format::Binary);
    ASSERT_TRUE(large.ok());
    bad.push_back(*large);
    for (std::size_t i = 0; i < bad.size(); ++i)
        ASSERT_TRUE(platform::Pasteboard::withName(slot(static_cast<int>(i)), true)
                        ->setData(platform::Bytes(bad[i].begin(), bad[i].end()), kMXStatSharedUDIDType));
    std::string id;
    platform::Error error;
    ASSERT_TRUE(hybtest::runOnSmallStack([&] { id = MXStatSharedUDID::valueWithError(&error); }));
    EXPECT_EQ(id.size(), 40u);
    EXPECT_EQ(error.code, MXStatSharedUDID::kSuccess);
    // Every bad slot read as free: the new id went into the first.
    EXPECT_EQ(MXStatSharedUDID::_getDictFromPasteboard(slot(0))[kSharedUDIDKey], platform::Value(id));
}

TEST_F(SharedUDIDTest, AnOptedOutApplicationGetsZerosWithCode1) {
    const std::string id = MXStatSharedUDID::value();
    MXStatSharedUDID::setOptOut(true);
    platform::Error error;
    EXPECT_EQ(MXStatSharedUDID::valueWithError(&error), std::string(40, '0'));
    EXPECT_EQ(error.code, MXStatSharedUDID::kOptedOut);
    const std::string description = error.userInfo["description"].stringOr("");
    EXPECT_EQ(description.rfind("Application with unique id ", 0), 0u) << description;
    EXPECT_NE(description.find(" is opted-out from SharedUDID as of 2023-11-14 22:13:20 +0000"), std::string::npos)
        << description;

    MXStatSharedUDID::setOptOut(false);
    EXPECT_EQ(MXStatSharedUDID::valueWithError(&error), id);
    EXPECT_EQ(error.code, MXStatSharedUDID::kSuccess);
    EXPECT_FALSE(localRecord()->contains(kSharedUDIDOptOutKey));
}

TEST_F(SharedUDIDTest, GarbageInSlotsAndDefaultsCountsAsAbsent) {
    // Slot 0: not an archive; slot 1: an archive of a string; slot 2: a record whose id is a number;
    // slots 3 on: records whose id is a string but not one the protocol hands out.
    ASSERT_TRUE(platform::Pasteboard::withName(slot(0), true)->setData(platform::Bytes{1, 2, 3}, kMXStatSharedUDIDType));
    auto notADictionary = platform::PropertyList::write(platform::Value("text"), platform::PropertyList::Format::Binary);
    ASSERT_TRUE(notADictionary.ok());
    ASSERT_TRUE(platform::Pasteboard::withName(slot(1), true)
                    ->setData(platform::Bytes(notADictionary->begin(), notADictionary->end()), kMXStatSharedUDIDType));
    ASSERT_TRUE(MXStatSharedUDID::_setDict(platform::Dictionary{{kSharedUDIDKey, 7}}, slot(2)));
    for (int n : {0, 1, 2})
        EXPECT_TRUE(MXStatSharedUDID::_getDictFromPasteboard(slot(n))[kSharedUDIDKey].getString() == nullptr);
    const std::vector<std::string> notIds = {
        kSharedUDIDOptOutKey,                       // a key's name, beside an opt-out that is not a date
        kMajorityId.substr(1),                      // one digit short
        kMajorityId + "1",                          // one digit long
        std::string(39, '1') + "g",                 // not hexadecimal
        " " + kMajorityId.substr(1),                // a blank in front
        std::string(kMXStatSharedUDIDMaxRecordBytes / 2, '1'),
    };
    for (std::size_t i = 0; i < notIds.size(); ++i) {
        // More copies than any other id: had they counted, the first would have won the vote.
        ASSERT_TRUE(MXStatSharedUDID::_setDict(
            platform::Dictionary{{kSharedUDIDKey, notIds[0]}, {kSharedUDIDOptOutKey, 7}, {kSharedUDIDAppUIDKey, "app"}},
            slot(static_cast<int>(3 + notIds.size() + i))));
        ASSERT_TRUE(MXStatSharedUDID::_setDict(slotRecord(notIds[i], "app-" + std::to_string(i)), slot(static_cast<int>(3 + i))));
    }
    // The local record is not a dictionary.
    ASSERT_TRUE(platform::UserDefaults::standard().set(kSharedUDIDKey, "garbage").ok());

    platform::Error error;
    const std::string id = MXStatSharedUDID::valueWithError(&error);
    EXPECT_TRUE(MXStatSharedUDID::isWellFormedId(id)) << id;
    for (const std::string& notId : notIds) {
        EXPECT_NE(id, notId);
        EXPECT_FALSE(MXStatSharedUDID::isWellFormedId(notId)) << notId;
    }
    EXPECT_EQ(error.code, MXStatSharedUDID::kSuccess);
    // The first free slot was the unreadable one; the local record is a proper one now.
    EXPECT_EQ(MXStatSharedUDID::_getDictFromPasteboard(slot(0))[kSharedUDIDKey], platform::Value(id));
    ASSERT_TRUE(localRecord());
    EXPECT_EQ((*localRecord())[kSharedUDIDKey], platform::Value(id));
}

TEST_F(SharedUDIDTest, ALocalRecordWithAMistypedIdTakesTheChosenOne) {
    ASSERT_TRUE(MXStatSharedUDID::_setDict(slotRecord(kMajorityId, "app-b"), slot(0)));
    for (const platform::Value& mistyped : {platform::Value(12), platform::Value("stored-id"),
                                             platform::Value(kMinorityId.substr(2)), platform::Value(kMinorityId + "2")}) {
        SCOPED_TRACE(mistyped.stringOr("a number"));
        MXStatSharedUDID::forgetCachedValue();
        platform::Pasteboard::removeWithName(slot(1));
        ASSERT_TRUE(platform::UserDefaults::standard()
                        .set(kSharedUDIDKey, platform::Dictionary{{kSharedUDIDKey, mistyped}, {kSharedUDIDOptOutKey, "yes"}})
                        .ok());
        platform::Error error;
        EXPECT_EQ(MXStatSharedUDID::valueWithError(&error), kMajorityId);
        EXPECT_EQ(error.code, MXStatSharedUDID::kSuccess); // an opt-out that is not a date does not count
        EXPECT_EQ((*localRecord())[kSharedUDIDKey], platform::Value(kMajorityId));
        EXPECT_EQ((*localRecord())[kSharedUDIDSlotKey], platform::Value(slot(1)));
    }
}

TEST_F(SharedUDIDTest, AllSlotsTakenLeavesTheSlotsAlone) {
    for (int n = 0; n < kMXStatSharedUDIDSlotCount; ++n)
        ASSERT_TRUE(MXStatSharedUDID::_setDict(slotRecord(n < 60 ? kMajorityId : kMinorityId, "app-" + std::to_string(n)), slot(n)));
    EXPECT_EQ(MXStatSharedUDID::value(), kMajorityId);
    EXPECT_FALSE(localRecord()->contains(kSharedUDIDSlotKey));
}

} // namespace

namespace {

TEST_F(SharedUDIDTest, ConcurrentFirstCallersShareOneComputation) {
    std::vector<std::shared_ptr<platform::DispatchQueue>> queues;
    for (const char* label : {"MessengerAnalysis", "StatStore", "HttpDispatcher"})
        queues.push_back(platform::DispatchQueue::createSerial(label));
    std::mutex mutex;
    std::vector<std::string> ids;
    for (auto& queue : queues) {
        queue->async([&] {
            std::string id = MXStatSharedUDID::value();
            std::lock_guard lock(mutex);
            ids.push_back(std::move(id));
        });
    }
    for (auto& queue : queues)
        queue->sync([] {});
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], ids[1]);
    EXPECT_EQ(ids[1], ids[2]);
    // One application, one slot.
    EXPECT_FALSE(MXStatSharedUDID::_getDictFromPasteboard(slot(0)).empty());
    EXPECT_TRUE(MXStatSharedUDID::_getDictFromPasteboard(slot(1)).empty());
}

} // namespace
