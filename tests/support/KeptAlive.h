// Requests whose reply is lost on a kept-alive connection: what makes the URL library send a request a
// second time unless the transport may not. A test has the server close the caller's connection once
// the request is read (Reply::closedWithoutReply), leaves the process's transport holding an idle
// connection to that server with `keepAConnectionAlive`, then lets the caller send: the request must
// arrive once.
#pragma once

#include <string>

namespace testsupport {

// Sends a GET to the path "/kept-alive" of the server `url` names (whatever its path: a 404 keeps the
// connection too, and the routes of `url` see nothing) and waits for its reply. False when none came.
bool keepAConnectionAlive(const std::string& url);

} // namespace testsupport
