// Another process of this test executable: for tests that need a second application on the same device
// (shared pasteboards, ids computed by a peer). The peer runs only the tests `filter` names, disabled ones
// included, with this process's environment plus `extraEnvironment` ("NAME=value" each, replacing an
// inherited variable of the same name).
//
//     EXPECT_EQ(hybtest::runThisTestExecutable("Peer.DISABLED_Act", {"HYB_PEER_ROLE=writer"}), 0);
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace hybtest {

// The peer's exit status, or -1 when it could not be started or did not exit normally.
int runThisTestExecutable(const std::string& filter, const std::vector<std::string>& extraEnvironment);

// The same, giving the peer's wait status (see waitpid(2)), or -1 when it could not be started: for
// peers that are meant to die by a signal.
int runThisTestExecutableForStatus(const std::string& filter, const std::vector<std::string>& extraEnvironment);

// Runs `child` in a forked child of this process (its one thread) that has every descriptor taken but
// `left` (under a limit of 64); `giveBack` releases them. Answers the status `child` returns, or -1 when
// the child did not exit normally. For stores meeting a moment with no descriptor free.
int runWithoutDescriptors(int left, const std::function<int(const std::function<void()>& giveBack)>& child);

} // namespace hybtest
