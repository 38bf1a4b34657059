// One store of the user's permission answers for the protected services: video capture, the photo
// library, the microphone (record permission), the address book, the event store's events and reminders,
// and location.
//
// Guarantees:
// - Thread: every call from any thread (one lock).
// - A request while the status is not determined takes the answer (the one set for the kind, else a
//   grant), stores it and calls the completion once, on a global queue (never the main thread, never
//   inside the call). While requests are held (tests), they wait until answerPendingRequests, which
//   stores that status and releases each waiting completion once; a second answer finds none waiting.
// - A request when the status is already determined answers the current status the same way, without
//   asking.
// - Location: a request grants what it asked for (always or when in use) unless an answer is set; every
//   change of the location status reaches the location managers (see LocationManager.h). Location
//   requests have no completion.
// - Statuses are the platform's (0-3, and 4 "when in use" for location); the microphone's record
//   permission reads them as undetermined (0), denied (1, 2) and granted (3, 4).
#pragma once

#include "platform/device/AuthorizationStatus.h"

#include <array>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

enum class PermissionKind { VideoCapture, PhotoLibrary, Microphone, AddressBook, Events, Reminders, Location };
inline constexpr std::size_t kPermissionKindCount = 7;

class Permissions {
public:
    using Completion = std::function<void(AuthorizationStatus status)>;

    static Permissions& shared();

    AuthorizationStatus status(PermissionKind kind) const;
    // Sets a status without asking (tests, the device file).
    void setStatus(PermissionKind kind, AuthorizationStatus status);
    RecordPermission recordPermission() const;
    static RecordPermission recordPermissionFor(AuthorizationStatus status);

    // The answer requests of that kind get; nullopt grants what was asked.
    void setAnswer(PermissionKind kind, std::optional<AuthorizationStatus> answer);

    // Asks for access (any kind but location).
    void request(PermissionKind kind, Completion completion);
    // Asks for location access: always (true) or when in use (false).
    void requestLocation(bool always);

    // Tests: requests made while the status is not determined wait for answerPendingRequests.
    void setHoldsRequests(bool hold);
    std::size_t pendingRequestCount(PermissionKind kind) const;
    // Answers the waiting requests of a kind; false (and nothing changes) when none waits.
    bool answerPendingRequests(PermissionKind kind, AuthorizationStatus status);

    // Whether the address book can be made (it fails on a device that refuses it).
    bool isAddressBookAvailable() const;
    void setAddressBookAvailable(bool available);

    // Everything not determined, no answers set, requests not held, the address book available.
    void resetToDefaults();

private:
    Permissions() = default;
    struct Pending {
        PermissionKind kind;
        Completion completion;
    };
    static std::size_t index(PermissionKind kind) { return static_cast<std::size_t>(kind); }
    // Stores a status; for location, tells the managers when it changed.
    void store(PermissionKind kind, AuthorizationStatus status);
    static void complete(Completion completion, AuthorizationStatus status);

    mutable std::mutex m_mutex;
    std::array<AuthorizationStatus, kPermissionKindCount> m_statuses{};
    std::array<std::optional<AuthorizationStatus>, kPermissionKindCount> m_answers{};
    bool m_holdsRequests = false;
    std::vector<Pending> m_pending;
    bool m_addressBookAvailable = true;
};

} // namespace platform
