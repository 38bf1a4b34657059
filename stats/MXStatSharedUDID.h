// The device id shared between applications (the SharedUDID protocol): each application keeps its record
// in its user defaults under "SharedUDID" and a redundant copy in one of 100 slot pasteboards
// ("org.hybridhost.shared-udid.slot.0" to ".99"); the id most slots agree on is the reliable one.
//
// Guarantees:
// - Thread: any. The id is computed at most once per process (concurrent first callers wait for the one
//   computation) and then answered from memory with code 0 and "SharedUDID in cache from first call";
//   setOptOut forgets it.
// - Errors (domain kMXStatSharedUDIDType, the text under "description"): 0 success; 1 the application
//   opted out (the id is then 40 zeros); 2 the stored id differs from the majority of the slots (the
//   stored id is still the answer).
// - Bad records never fail the protocol: a slot whose data is not a readable archive of a dictionary reads
//   as an empty record (a free slot); a local record that is not a dictionary counts as none; values of
//   the wrong type count as absent, and so does an id that is not 40 hexadecimal digits (isWellFormedId):
//   such an id gets no vote, leaves its slot free and is never answered. A slot's data is judged by its
//   size before it is read: more than kMXStatSharedUDIDMaxRecordBytes reads as an empty record too.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace stats {

inline constexpr const char* kMXStatSharedUDIDType = "org.hybridhost.shared-udid";
inline constexpr const char* kMXStatSharedUDIDSlotPrefix = "org.hybridhost.shared-udid.slot.";
inline constexpr int kMXStatSharedUDIDSlotCount = 100;
inline constexpr std::uint64_t kMXStatSharedUDIDMaxRecordBytes = 64u << 10;
inline constexpr std::size_t kMXStatSharedUDIDLength = 40;

inline constexpr const char* kSharedUDIDKey = "SharedUDID";
inline constexpr const char* kSharedUDIDAppUIDKey = "SharedUDID_appUID";
inline constexpr const char* kSharedUDIDSlotKey = "SharedUDID_slot";
inline constexpr const char* kSharedUDIDCreatedKey = "SharedUDID_createdTS";
inline constexpr const char* kSharedUDIDOptOutKey = "SharedUDID_optOutTS";

class MXStatSharedUDID {
public:
    enum ErrorCode : long long { kSuccess = 0, kOptedOut = 1, kCompromised = 2 };
    static constexpr const char* kDescriptionKey = "description";

    MXStatSharedUDID() = delete;

    static std::string value() { return valueWithError(nullptr); }
    static std::string valueWithError(platform::Error* error);
    static void setOptOut(bool optOut);

    // Whether an id read from storage is one the protocol hands out: kMXStatSharedUDIDLength hexadecimal
    // digits (either case).
    static bool isWellFormedId(std::string_view id);

    // 32 lower-case hexadecimal digits of the MD5 of a new UUID text, then 8 of a random number.
    static std::string _generateFreshSharedUDID();
    // The slot pasteboard's record; an empty dictionary when absent or unreadable.
    static platform::Dictionary _getDictFromPasteboard(const std::string& pasteboardName);
    static bool _setDict(const platform::Dictionary& record, const std::string& pasteboardName);

    // Forgets the computed id (the next call computes it again), for tests.
    static void forgetCachedValue();
};

} // namespace stats
