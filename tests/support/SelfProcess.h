// Another process of this test executable: for tests that need a second application on the same device
// (shared pasteboards, ids computed by a peer). The peer runs only the tests `filter` names, disabled ones
// included, with this process's environment plus `extraEnvironment` ("NAME=value" each, replacing an
// inherited variable of the same name).
//
//     EXPECT_EQ(hybtest::runThisTestExecutable("Peer.DISABLED_Act", {"HYB_PEER_ROLE=writer"}), 0);
#pragma once

#include <string>
#include <vector>

namespace hybtest {

// The peer's exit status, or -1 when it could not be started or did not exit normally.
int runThisTestExecutable(const std::string& filter, const std::vector<std::string>& extraEnvironment);

// The same, giving the peer's wait status (see waitpid(2)), or -1 when it could not be started: for
// peers that are meant to die by a signal.
int runThisTestExecutableForStatus(const std::string& filter, const std::vector<std::string>& extraEnvironment);

} // namespace hybtest
