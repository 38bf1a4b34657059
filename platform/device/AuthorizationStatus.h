// The platform's authorisation statuses, shared by every protected service (the capture devices, the
// photo library, the address book, the event store and location), and the microphone's record permission.
#pragma once

namespace platform {

enum class AuthorizationStatus : int {
    NotDetermined = 0,
    Restricted = 1,
    Denied = 2,
    Authorized = 3,  // location: "always"
    AuthorizedWhenInUse = 4,  // location only
};
inline constexpr AuthorizationStatus kAuthorizationStatusAuthorizedAlways = AuthorizationStatus::Authorized;

enum class RecordPermission { Undetermined, Denied, Granted };

} // namespace platform
