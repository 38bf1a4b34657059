// Feeds arbitrary bytes to the statistics event store as its database file (damaged, truncated or foreign
// files): every operation must finish, batches must carry only event texts, and the cached count of unsent
// events must agree with the file afterwards.
#include "StatsStoreFuzz.h"

#include <cstddef>
#include <cstdint>
#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    statsfuzz::installHome();
    statsfuzz::removeDatabase();
    {
        std::ofstream file(statsfuzz::databasePath(), std::ios::binary);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    statsfuzz::exerciseStore(size % 2 == 0);
    return 0;
}
