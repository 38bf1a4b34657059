// Feeds arbitrary bytes to the statistics client as a collector's reply body: the first byte chooses the
// "Content-Encoding" header (none, "rc4", "RC4,gzip", "gzip"), the rest is the body. The reply is judged
// as an upload's, and a successful one's object goes through the configuration holder, whose speed test
// resolves nothing (a stub) so no network is touched. Every step must finish.
#include "StatsStoreFuzz.h"

#include "stats/MXStatDataConfigHolder.h"
#include "stats/MXStatDispatcher.h"
#include "stats/MXStatHelper.h"

#include <cstddef>
#include <cstdint>

namespace {

struct Fixture {
    Fixture() {
        statsfuzz::installHome();
        statsfuzz::removeDatabase();
        store = stats::MXStatStore::create();
        stats::MXStatDispatcher::setResolver([](const std::string&) { return std::optional<std::string>(); });
    }
    std::shared_ptr<stats::MXStatStore> store;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    if (size == 0)
        return 0;
    static const std::optional<std::string> encodings[] = {std::nullopt, "rc4", "RC4,gzip", "gzip"};
    const auto& encoding = encodings[data[0] % 4];
    platform::Bytes body(data + 1, data + size);

    stats::MXStatConfig::getInstance().resetToDefaults();
    stats::MXStatHelper::getInstance().setMSTEnableFlag(true);
    fixture.store->updateDatabase("delete from config");
    fixture.store->queue()->sync([] {});
    // A fresh holder each run, so every version is new to it.
    auto holder = stats::MXStatDataConfigHolder::create(fixture.store);
    stats::MXStatHelper::getInstance().setConfigHolder(holder);

    platform::Bytes reply;
    const bool success = stats::MXStatDispatcher::judgeReply(200, encoding, body, &reply);
    if (success && reply.empty())
        __builtin_trap(); // success needs an object with "ret"
    if (success)
        stats::MXStatDispatcher::applyReply(reply);
    // Also take the plain body as a reply object, whatever the judging said.
    auto parsed = platform::JSON::parse(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (parsed && parsed->getDictionary())
        holder->updateOnlineConfig(*parsed->getDictionary());
    holder->queue()->sync([] {});
    fixture.store->queue()->sync([] {});
    stats::MXStatHelper::getInstance().setConfigHolder({});
    return 0;
}
