#include "platform/device/Permissions.h"

#include "platform/device/LocationSimulator.h"
#include "platform/runloop/DispatchQueue.h"

#include <utility>

namespace platform {

Permissions& Permissions::shared() {
    static auto* permissions = new Permissions; // reached from queued completions until exit
    return *permissions;
}

AuthorizationStatus Permissions::status(PermissionKind kind) const {
    std::lock_guard lock(m_mutex);
    return m_statuses[index(kind)];
}

void Permissions::setStatus(PermissionKind kind, AuthorizationStatus status) {
    store(kind, status);
}

RecordPermission Permissions::recordPermission() const {
    return recordPermissionFor(status(PermissionKind::Microphone));
}

RecordPermission Permissions::recordPermissionFor(AuthorizationStatus status) {
    switch (status) {
    case AuthorizationStatus::NotDetermined: return RecordPermission::Undetermined;
    case AuthorizationStatus::Restricted:
    case AuthorizationStatus::Denied: return RecordPermission::Denied;
    case AuthorizationStatus::Authorized:
    case AuthorizationStatus::AuthorizedWhenInUse: return RecordPermission::Granted;
    }
    return RecordPermission::Undetermined;
}

void Permissions::setAnswer(PermissionKind kind, std::optional<AuthorizationStatus> answer) {
    std::lock_guard lock(m_mutex);
    m_answers[index(kind)] = answer;
}

void Permissions::request(PermissionKind kind, Completion completion) {
    AuthorizationStatus answer;
    {
        std::lock_guard lock(m_mutex);
        answer = m_statuses[index(kind)];
        if (answer == AuthorizationStatus::NotDetermined) {
            if (m_holdsRequests) {
                m_pending.push_back({kind, std::move(completion)});
                return;
            }
            answer = m_answers[index(kind)].value_or(AuthorizationStatus::Authorized);
            m_statuses[index(kind)] = answer;
        }
    }
    complete(std::move(completion), answer);
}

void Permissions::requestLocation(bool always) {
    AuthorizationStatus answer;
    {
        std::lock_guard lock(m_mutex);
        const std::size_t i = index(PermissionKind::Location);
        if (m_statuses[i] != AuthorizationStatus::NotDetermined)
            return;
        if (m_holdsRequests) {
            m_pending.push_back({PermissionKind::Location, {}});
            return;
        }
        answer = m_answers[i].value_or(always ? kAuthorizationStatusAuthorizedAlways : AuthorizationStatus::AuthorizedWhenInUse);
    }
    store(PermissionKind::Location, answer);
}

void Permissions::setHoldsRequests(bool hold) {
    std::lock_guard lock(m_mutex);
    m_holdsRequests = hold;
}

std::size_t Permissions::pendingRequestCount(PermissionKind kind) const {
    std::lock_guard lock(m_mutex);
    std::size_t count = 0;
    for (const Pending& pending : m_pending)
        count += pending.kind == kind;
    return count;
}

bool Permissions::answerPendingRequests(PermissionKind kind, AuthorizationStatus status) {
    std::vector<Completion> released;
    bool found = false;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (it->kind != kind) {
                ++it;
                continue;
            }
            found = true;
            if (it->completion)
                released.push_back(std::move(it->completion));
            it = m_pending.erase(it);
        }
        if (!found)
            return false;
    }
    store(kind, status);
    for (Completion& completion : released)
        complete(std::move(completion), status);
    return true;
}

bool Permissions::isAddressBookAvailable() const {
    std::lock_guard lock(m_mutex);
    return m_addressBookAvailable;
}

void Permissions::setAddressBookAvailable(bool available) {
    std::lock_guard lock(m_mutex);
    m_addressBookAvailable = available;
}

void Permissions::resetToDefaults() {
    std::vector<Pending> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_statuses.fill(AuthorizationStatus::NotDetermined);
        m_answers.fill(std::nullopt);
        m_holdsRequests = false;
        dropped.swap(m_pending);
        m_addressBookAvailable = true;
    }
}

void Permissions::store(PermissionKind kind, AuthorizationStatus status) {
    bool changed;
    {
        std::lock_guard lock(m_mutex);
        changed = m_statuses[index(kind)] != status;
        m_statuses[index(kind)] = status;
    }
    if (changed && kind == PermissionKind::Location)
        LocationSimulator::shared().authorizationDidChange(status);
}

void Permissions::complete(Completion completion, AuthorizationStatus status) {
    if (!completion)
        return;
    DispatchQueue::global()->async([completion = std::move(completion), status] { completion(status); });
}

} // namespace platform
