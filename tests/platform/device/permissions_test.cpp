#include "platform/device/Permissions.h"

#include "platform/runloop/RunLoop.h"
#include "support/DeviceServices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace platform;

namespace {

// Collects one request's answers; the test waits for the first with a real-time limit.
struct Answers {
    std::atomic<int> calls{0};
    std::promise<std::pair<AuthorizationStatus, bool>> first;  // status, on the main thread

    Permissions::Completion completion() {
        return [this](AuthorizationStatus status) {
            if (calls++ == 0)
                first.set_value({status, RunLoop::isMainThread()});
        };
    }
    std::pair<AuthorizationStatus, bool> wait() {
        auto future = first.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        return future.get();
    }
};

class PermissionsTest : public ::testing::Test {
protected:
    PermissionsTest() { hybtest::resetDeviceServices(); }
    ~PermissionsTest() override { hybtest::resetDeviceServices(); }
    Permissions& permissions = Permissions::shared();
};

} // namespace

TEST_F(PermissionsTest, ARequestWhileNotDeterminedStoresTheAnswerAndCompletesOffTheMainThread) {
    Answers granted;
    permissions.request(PermissionKind::VideoCapture, granted.completion());
    EXPECT_EQ(permissions.status(PermissionKind::VideoCapture), AuthorizationStatus::Authorized);
    auto [status, onMain] = granted.wait();
    EXPECT_EQ(status, AuthorizationStatus::Authorized);
    EXPECT_FALSE(onMain);

    permissions.setAnswer(PermissionKind::Reminders, AuthorizationStatus::Denied);
    Answers denied;
    permissions.request(PermissionKind::Reminders, denied.completion());
    EXPECT_EQ(denied.wait().first, AuthorizationStatus::Denied);
    EXPECT_EQ(permissions.status(PermissionKind::Reminders), AuthorizationStatus::Denied);
    EXPECT_EQ(permissions.status(PermissionKind::Events), AuthorizationStatus::NotDetermined);
}

TEST_F(PermissionsTest, ADeterminedStatusIsAnsweredWithoutAsking) {
    permissions.setStatus(PermissionKind::PhotoLibrary, AuthorizationStatus::Restricted);
    permissions.setAnswer(PermissionKind::PhotoLibrary, AuthorizationStatus::Authorized);
    permissions.setHoldsRequests(true);
    Answers answers;
    permissions.request(PermissionKind::PhotoLibrary, answers.completion());
    EXPECT_EQ(permissions.pendingRequestCount(PermissionKind::PhotoLibrary), 0u);
    EXPECT_EQ(answers.wait().first, AuthorizationStatus::Restricted);
    EXPECT_EQ(permissions.status(PermissionKind::PhotoLibrary), AuthorizationStatus::Restricted);
}

TEST_F(PermissionsTest, HeldRequestsCompleteOnceHoweverOftenTheyAreAnswered) {
    permissions.setHoldsRequests(true);
    Answers first, second;
    permissions.request(PermissionKind::AddressBook, first.completion());
    permissions.request(PermissionKind::AddressBook, second.completion());
    EXPECT_EQ(permissions.pendingRequestCount(PermissionKind::AddressBook), 2u);
    EXPECT_EQ(permissions.status(PermissionKind::AddressBook), AuthorizationStatus::NotDetermined);
    EXPECT_FALSE(permissions.answerPendingRequests(PermissionKind::Events, AuthorizationStatus::Authorized));

    EXPECT_TRUE(permissions.answerPendingRequests(PermissionKind::AddressBook, AuthorizationStatus::Denied));
    EXPECT_FALSE(permissions.answerPendingRequests(PermissionKind::AddressBook, AuthorizationStatus::Authorized));
    EXPECT_EQ(first.wait().first, AuthorizationStatus::Denied);
    EXPECT_EQ(second.wait().first, AuthorizationStatus::Denied);
    EXPECT_EQ(permissions.status(PermissionKind::AddressBook), AuthorizationStatus::Denied);

    // Any stray second completion would have been queued by now: a later request's answer comes after it.
    permissions.setHoldsRequests(false);
    Answers later;
    permissions.request(PermissionKind::AddressBook, later.completion());
    later.wait();
    std::this_thread::yield();
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 1);
}

TEST_F(PermissionsTest, TheRecordPermissionReadsTheMicrophoneStatus) {
    EXPECT_EQ(permissions.recordPermission(), RecordPermission::Undetermined);
    permissions.setStatus(PermissionKind::Microphone, AuthorizationStatus::Denied);
    EXPECT_EQ(permissions.recordPermission(), RecordPermission::Denied);
    EXPECT_EQ(Permissions::recordPermissionFor(AuthorizationStatus::Restricted), RecordPermission::Denied);
    permissions.setStatus(PermissionKind::Microphone, AuthorizationStatus::Authorized);
    EXPECT_EQ(permissions.recordPermission(), RecordPermission::Granted);

    EXPECT_TRUE(permissions.isAddressBookAvailable());
    permissions.setAddressBookAvailable(false);
    EXPECT_FALSE(permissions.isAddressBookAvailable());
}
