// Feeds arbitrary rows to the statistics event store: the input becomes rows of the events, user and
// config tables whose every field is NULL, an integer, a real, text or a blob as the input says. Every
// operation must finish, batches must carry only event texts, and the cached count of unsent events must
// agree with the file afterwards.
#include "StatsStoreFuzz.h"

#include "stats/MXStatDatabase.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool done() const { return m_at >= m_size; }
    std::uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::string bytes(std::size_t count) {
        count = std::min(count, m_size - std::min(m_at, m_size));
        std::string text(reinterpret_cast<const char*>(m_data + m_at), count);
        m_at += count;
        return text;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// Binds one field of the kind the input chooses.
void bindField(sqlite3_stmt* statement, int index, Reader& in) {
    const std::uint8_t kind = in.byte();
    switch (kind % 5) {
    case 0:
        sqlite3_bind_null(statement, index);
        break;
    case 1:
        sqlite3_bind_int64(statement, index, static_cast<std::int8_t>(in.byte()) * (kind & 0x80 ? 100000000LL : 1));
        break;
    case 2:
        sqlite3_bind_double(statement, index, static_cast<double>(static_cast<std::int8_t>(in.byte())) / 3);
        break;
    case 3: {
        const std::string text = in.bytes(in.byte());
        sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        break;
    }
    default: {
        const std::string blob = in.bytes(in.byte());
        sqlite3_bind_blob(statement, index, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    statsfuzz::installHome();
    statsfuzz::removeDatabase();
    sqlite3* db = nullptr;
    if (sqlite3_open(statsfuzz::databasePath().c_str(), &db) != SQLITE_OK)
        __builtin_trap();
    for (const char* sql : {stats::kMXStatCreateEventsTable, stats::kMXStatCreateUserTable, stats::kMXStatCreateConfigTable})
        sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    const char* inserts[] = {"insert into events(content, status, send_count, ts) values(?, ?, ?, ?)",
                             "insert or replace into user values(?, ?, ?, ?)",
                             "insert or replace into config values(?, ?, ?, ?)"};
    Reader in(data, size);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int row = 0; row < 200 && !in.done(); ++row) {
        sqlite3_stmt* statement = nullptr;
        const std::uint8_t table = in.byte() % 3;
        if (sqlite3_prepare_v2(db, inserts[table], -1, &statement, nullptr) != SQLITE_OK)
            __builtin_trap();
        for (int column = 1; column <= 4; ++column)
            bindField(statement, column, in);
        sqlite3_step(statement);
        sqlite3_finalize(statement);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    statsfuzz::exerciseStore(size % 2 == 0);
    return 0;
}
