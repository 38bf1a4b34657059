// Asynchronous IPv4 name look-up: getaddrinfo (AF_INET only) on a worker thread, the answer posted to
// the run loop that started it. A cancelled look-up never answers.
//
// Tests install a table of names (an address, a failure, or no answer ever) so no DNS is involved;
// while a table is installed, names absent from it fail.
//
// Thread: resolve() on a thread with a run loop; the callback runs on that loop. cancel() on that
// loop's thread. The test table from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class HostResolver {
public:
    // The first IPv4 address in dotted text, or none with the resolver's error (non-zero).
    using Callback = std::function<void(std::optional<std::string> address, int error)>;

    class Lookup {
    public:
        void cancel() { m_cancelled->store(true); }
        bool isCancelled() const { return m_cancelled->load(); }

    private:
        friend class HostResolver;
        std::shared_ptr<std::atomic<bool>> m_cancelled = std::make_shared<std::atomic<bool>>(false);
    };

    static std::shared_ptr<Lookup> resolve(const std::string& name, Callback callback);

    // ---- tests ----
    enum class TestAnswer { Address, Failure, NoAnswer };
    static void setTestEntry(const std::string& name, TestAnswer answer, const std::string& address = {});
    // Removes the table: look-ups go to the system resolver again.
    static void clearTestTable();
};

} // namespace platform
