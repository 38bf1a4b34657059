#include "stats/MXStatSharedUDID.h"

#include "stats/MXStatLog.h"

#include "platform/core/Crypto.h"
#include "platform/core/Log.h"
#include "platform/formats/PropertyList.h"
#include "platform/runloop/Clock.h"
#include "platform/system/Pasteboard.h"
#include "platform/system/UserDefaults.h"
#include "platform/text/Text.h"

#include <algorithm>
#include <ctime>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

namespace stats {

namespace {

struct Cache {
    std::mutex mutex; // held through a computation, so concurrent first callers compute once
    std::optional<std::string> id;
};

Cache& cache() {
    static auto* shared = new Cache; // used from any queue until the process ends
    return *shared;
}

platform::Error makeError(long long code, std::string description) {
    platform::Error error(kMXStatSharedUDIDType, code);
    error.userInfo.set(MXStatSharedUDID::kDescriptionKey, std::move(description));
    return error;
}

std::string slotName(int slot) {
    return kMXStatSharedUDIDSlotPrefix + std::to_string(slot);
}

// A date as the platform describes it: "2023-11-14 22:13:20 +0000".
std::string describeDate(const platform::Date& date) {
    const auto seconds = static_cast<std::time_t>(date.secondsSince1970);
    std::tm utc{};
    if (!gmtime_r(&seconds, &utc))
        return std::to_string(date.secondsSince1970);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return text;
}

std::optional<std::string> stringIn(const platform::Dictionary& record, const char* key) {
    const std::string* text = record[key].getString();
    if (!text || text->empty())
        return std::nullopt;
    return *text;
}

// The record's id when it is a well-formed one; anything else under the key counts as no id.
std::optional<std::string> idIn(const platform::Dictionary& record) {
    const std::string* text = record[kSharedUDIDKey].getString();
    if (!text || !MXStatSharedUDID::isWellFormedId(*text))
        return std::nullopt;
    return *text;
}

std::optional<platform::Date> dateIn(const platform::Dictionary& record, const char* key) {
    const platform::Date* date = record[key].getDate();
    return date ? std::optional<platform::Date>(*date) : std::nullopt;
}

// What the slot pasteboards say.
struct SlotScan {
    std::optional<std::string> firstFreeSlot;
    std::optional<std::string> ownedSlot;
    std::optional<std::string> mostReliableId;
    std::optional<platform::Date> slotOptOut;
    bool ownedSlotSeen = false;
};

SlotScan scanSlots(const std::string& appUID) {
    SlotScan scan;
    std::vector<std::pair<std::string, int>> votes; // in the order the ids were first seen
    for (int slot = 0; slot < kMXStatSharedUDIDSlotCount; ++slot) {
        const std::string name = slotName(slot);
        const platform::Dictionary record = MXStatSharedUDID::_getDictFromPasteboard(name);
        const auto id = idIn(record);
        if (!id) {
            if (!scan.firstFreeSlot)
                scan.firstFreeSlot = name;
        } else {
            auto found = std::find_if(votes.begin(), votes.end(), [&](const auto& vote) { return vote.first == *id; });
            if (found == votes.end())
                votes.emplace_back(*id, 1);
            else
                ++found->second;
        }
        if (stringIn(record, kSharedUDIDAppUIDKey) == appUID) {
            scan.ownedSlot = name;
            scan.ownedSlotSeen = true;
            scan.slotOptOut = dateIn(record, kSharedUDIDOptOutKey);
        }
    }
    // Sorted by count; the last of the sort wins ties.
    std::stable_sort(votes.begin(), votes.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    if (!votes.empty())
        scan.mostReliableId = votes.back().first;
    return scan;
}

} // namespace

bool MXStatSharedUDID::isWellFormedId(std::string_view id) {
    return id.size() == kMXStatSharedUDIDLength &&
           std::all_of(id.begin(), id.end(), [](char c) { return platform::hexDigitValue(c) >= 0; });
}

std::string MXStatSharedUDID::_generateFreshSharedUDID() {
    const std::string uuid = platform::newUUIDString();
    static thread_local std::mt19937 random(std::random_device{}());
    const auto number = static_cast<unsigned long>(random());
    return platform::Crypto::md5Hex(platform::bytesOf(uuid)) + platform::formatString("%08lx", number);
}

platform::Dictionary MXStatSharedUDID::_getDictFromPasteboard(const std::string& pasteboardName) {
    auto board = platform::Pasteboard::withName(pasteboardName, false);
    if (!board)
        return {};
    auto data = board->dataForPasteboardType(kMXStatSharedUDIDType, kMXStatSharedUDIDMaxRecordBytes);
    if (!data || !data->has_value())
        return {};
    const platform::Bytes& bytes = **data;
    auto record = platform::PropertyList::read(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!record.ok() || !record->isDictionary())
        return {};
    return *record->getDictionary();
}

bool MXStatSharedUDID::_setDict(const platform::Dictionary& record, const std::string& pasteboardName) {
    auto board = platform::Pasteboard::withName(pasteboardName, true);
    if (!board)
        return false;
    auto archive = platform::PropertyList::write(platform::Value(record), platform::PropertyList::Format::Binary);
    if (!archive.ok())
        return false;
    return board->setData(platform::Bytes(archive->begin(), archive->end()), kMXStatSharedUDIDType);
}

std::string MXStatSharedUDID::valueWithError(platform::Error* error) {
    std::lock_guard lock(cache().mutex);
    if (cache().id) {
        if (error)
            *error = makeError(kSuccess, "SharedUDID in cache from first call");
        return *cache().id;
    }

    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    std::string appUID = defaults.string(kSharedUDIDAppUIDKey).value_or("");
    if (appUID.empty())
        appUID = platform::newUUIDString();

    std::optional<platform::Dictionary> localRecord = defaults.dictionary(kSharedUDIDKey);
    std::optional<std::string> localId;
    std::optional<std::string> ownedSlot;
    std::optional<platform::Date> optOut;
    if (localRecord) {
        localId = idIn(*localRecord);
        ownedSlot = stringIn(*localRecord, kSharedUDIDSlotKey);
        optOut = dateIn(*localRecord, kSharedUDIDOptOutKey);
    }

    const SlotScan scan = scanSlots(appUID);
    if (scan.ownedSlotSeen) {
        ownedSlot = scan.ownedSlot;
        if (optOut)
            optOut = scan.slotOptOut;
    }

    bool saveLocal = false;
    bool compromised = false;
    std::string id;
    if (!localId) {
        id = scan.mostReliableId ? *scan.mostReliableId : _generateFreshSharedUDID();
        if (!localRecord) {
            localRecord = platform::Dictionary{
                {kSharedUDIDKey, id},
                {kSharedUDIDAppUIDKey, appUID},
                {kSharedUDIDCreatedKey, platform::Clock::current().wallNow()},
            };
        } else {
            // A record without a usable id takes the one chosen, so the next launch finds it.
            localRecord->set(kSharedUDIDKey, id);
        }
        saveLocal = true;
    } else {
        id = *localId;
        compromised = scan.mostReliableId && *scan.mostReliableId != id;
    }

    if (scan.firstFreeSlot && (!ownedSlot || *scan.firstFreeSlot == *ownedSlot)) {
        const std::string& slot = *scan.firstFreeSlot;
        auto board = platform::Pasteboard::withName(slot, true);
        if (board) {
            (void)board->setPersistent(true);
            localRecord->set(kSharedUDIDSlotKey, slot);
            saveLocal = true;
            if (!_setDict(*localRecord, slot))
                MXStatLog("[WARN]Cannot write the SharedUDID slot %s", slot.c_str());
        }
    }

    if (saveLocal) {
        auto saved = defaults.set(kSharedUDIDKey, platform::Value(*localRecord));
        if (!saved.ok())
            MXStatLog("[WARN]Cannot save the SharedUDID record: %s", saved.error().localizedDescription().c_str());
    }

    if (optOut) {
        id = platform::formatString("%040x", 0u);
        if (error)
            *error = makeError(kOptedOut, "Application with unique id " + appUID + " is opted-out from SharedUDID as of " +
                                              describeDate(*optOut));
    } else if (compromised) {
        if (error)
            *error = makeError(kCompromised,
                               "Found a discrepancy between stored SharedUDID (reliable) and redundant copies; one of the "
                               "apps on the device is most likely corrupting the SharedUDID protocol");
    } else if (error) {
        *error = makeError(kSuccess, "SharedUDID succesfully retrieved");
    }
    cache().id = id;
    return id;
}

void MXStatSharedUDID::setOptOut(bool optOut) {
    (void)valueWithError(nullptr);
    std::lock_guard lock(cache().mutex);
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    platform::Dictionary record = defaults.dictionary(kSharedUDIDKey).value_or(platform::Dictionary{});
    if (optOut)
        record.set(kSharedUDIDOptOutKey, platform::Clock::current().wallNow());
    else
        record.remove(kSharedUDIDOptOutKey);
    auto saved = defaults.set(kSharedUDIDKey, platform::Value(std::move(record)));
    if (!saved.ok())
        MXStatLog("[WARN]Cannot save the SharedUDID record: %s", saved.error().localizedDescription().c_str());
    cache().id.reset();
}

void MXStatSharedUDID::forgetCachedValue() {
    std::lock_guard lock(cache().mutex);
    cache().id.reset();
}

} // namespace stats
