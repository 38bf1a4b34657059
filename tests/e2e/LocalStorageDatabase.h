// Reading what the engine wrote of a page's local storage: its database file (SQLite), read without
// writing to it. The programs that include this link SQLite.
#pragma once

#include <sqlite3.h>

#include <string>

namespace e2e {

// The value stored under `key` in a local storage database ("" when missing). The engine keeps values as
// UTF-16 (little-endian); the tests' values are ASCII.
inline std::string storedValue(const std::string& database, const std::string& key)
{
    sqlite3* db = nullptr;
    std::string value;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT value FROM ItemTable WHERE key = ?", -1, &statement, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(statement, 1, key.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(statement) == SQLITE_ROW) {
                const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
                for (int at = 0; bytes && at + 1 < sqlite3_column_bytes(statement, 0); at += 2)
                    value.push_back(bytes[at]);
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
}

} // namespace e2e
