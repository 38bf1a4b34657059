#include "platform/net/HostResolver.h"

#include "platform/runloop/ThreadHooks.h"
#include "platform/runloop/RunLoop.h"

#include <map>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace platform {

namespace {

struct TestEntry {
    HostResolver::TestAnswer answer;
    std::string address;
};

std::mutex& tableMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<std::map<std::string, TestEntry>>& testTable() {
    static std::optional<std::map<std::string, TestEntry>> table;
    return table;
}

void lookUp(const std::string& name, std::optional<std::string>& address, int& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    error = ::getaddrinfo(name.c_str(), nullptr, &hints, &results);
    if (error == 0 && results && results->ai_family == AF_INET && results->ai_addr) {
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(results->ai_addr);
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            address = text;
    }
    if (error == 0 && !address)
        error = EAI_NONAME;
    if (results)
        ::freeaddrinfo(results);
}

} // namespace

std::shared_ptr<HostResolver::Lookup> HostResolver::resolve(const std::string& name, Callback callback) {
    auto lookup = std::make_shared<Lookup>();
    auto loop = RunLoop::currentShared();
    auto cancelled = lookup->m_cancelled;
    auto answer = [loop, cancelled, callback = std::move(callback)](std::optional<std::string> address, int error) {
        loop->perform([cancelled, callback, address = std::move(address), error] {
            if (!cancelled->load())
                callback(address, error);
        });
    };
    {
        std::lock_guard lock(tableMutex());
        if (auto& table = testTable()) {
            auto entry = table->find(name);
            if (entry == table->end() || entry->second.answer == TestAnswer::Failure)
                answer(std::nullopt, EAI_NONAME);
            else if (entry->second.answer == TestAnswer::Address)
                answer(entry->second.address, 0);
            return lookup;
        }
    }
    std::thread([name, answer = std::move(answer)] {
        enterPlatformThread();
        std::optional<std::string> address;
        int error = 0;
        lookUp(name, address, error);
        answer(std::move(address), error);
    }).detach();
    return lookup;
}

void HostResolver::setTestEntry(const std::string& name, TestAnswer answer, const std::string& address) {
    std::lock_guard lock(tableMutex());
    auto& table = testTable();
    if (!table)
        table.emplace();
    (*table)[name] = TestEntry{answer, address};
}

void HostResolver::clearTestTable() {
    std::lock_guard lock(tableMutex());
    testTable().reset();
}

} // namespace platform
