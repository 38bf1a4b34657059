// Linked into every test, benchmark and fuzz program (not into the tests' support library): the program
// enters its private environment (support/PrivateEnvironment.h) as it loads, before its own static objects
// are made and before main, so that nothing it runs sees the user's home, runtime or temporary folder.
#include "support/PrivateEnvironment.h"

#include <errno.h>

namespace {

[[gnu::constructor(101)]] void enterPrivateEnvironmentAtLoad()
{
    hybtest::enterPrivateEnvironment(std::string("hyb-") + program_invocation_short_name);
}

} // namespace
