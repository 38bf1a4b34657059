// One web-storage item and its copy: the web engine's file or folder (`original`), the copy the runtime
// keeps of it (`backup`) and the name used in messages (`label`). Decides by modification dates which
// way a copy is due.
//
// Guarantees:
// - A plain value; the checks read the file system each time and change nothing. Thread-safe.
// - An item that does not exist is never newer; an item is newer than a missing one.
// - A file's date is the later of its own and its write-ahead log's ("-wal" beside it), where rows of an
//   open database wait before they reach the main file.
// - Two folders compare entry by entry: the first entry under the first folder that is newer than the
//   same relative path under the second makes the first folder newer.
#pragma once

#include <string>

namespace runtime {

class HYBBackupInfo {
public:
    HYBBackupInfo(std::string original, std::string backup, std::string label)
        : m_original(std::move(original)), m_backup(std::move(backup)), m_label(std::move(label)) {}

    const std::string& original() const { return m_original; }
    const std::string& backup() const { return m_backup; }
    const std::string& label() const { return m_label; }

    // The original changed since the copy was made.
    bool shouldBackup() const { return itemIsNewerThanItem(m_original, m_backup); }
    // The copy is newer than the original.
    bool shouldRestore() const { return itemIsNewerThanItem(m_backup, m_original); }

    // Whether item a is newer than item b (files, or two folders entry by entry).
    static bool itemIsNewerThanItem(const std::string& a, const std::string& b);
    // Whether a's modification date is later than b's; neither existing gives NO, b missing gives YES.
    static bool fileIsNewerThanFile(const std::string& a, const std::string& b);

private:
    std::string m_original;
    std::string m_backup;
    std::string m_label;
};

} // namespace runtime
