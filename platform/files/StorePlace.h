// The place of a store's file (a database, a log, a cache, a lock file) kept fit for one: something else
// put there (a folder, a pipe, a device, a socket, a symbolic link of any kind, dangling or not) would
// turn the store off at every launch, so it is moved aside and the store starts afresh. The same for the
// folder a store keeps its files in: something that is no folder there is moved aside.
//
// Guarantees:
// - makeFit never follows a link, never opens what it finds (a pipe cannot hold it) and never touches a
//   regular file (nor, with Accept::FileOrFolder, a folder): only the thing that is not one is renamed,
//   whole, to asideName(path). What earlier calls set aside is kept (makeRoomAside): at most kKeptAsides
//   things lie aside for a place, the oldest going first (said; removed through descriptors from the
//   folder it lies in, FileManager::removeItem, so that a folder inside it swapped for a link meanwhile
//   removes nothing in the link's target); when that cannot go (a folder someone
//   cannot empty), the thing goes to a name of its own beside it: "<asideName>.<pid>-<n>", the oldest
//   of those going first so that no more than kKeptAsides + 1 things lie aside (the bound and the one
//   that is stuck). A link's target stays as it was.
// - makeFolderFit keeps a folder, or a link to one (the user may keep a store's folder elsewhere), and
//   moves anything else aside in the same way.
// - Said once: each move writes one line to the log naming the owner, the path, what stood there and
//   where it went; a fitting thing or an empty place says nothing.
// - Two processes at once: a regular file another process put in the place between the look and the
//   move is put back (it is never left aside in its stead); a thing another process moved away meanwhile
//   leaves the place empty.
// - Thread-safe (no shared state).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class StorePlace {
public:
    enum class Fit {
        Empty,       // nothing there: the store makes its file
        RegularFile, // a regular file (or what was accepted beside one): the store reads it
        MovedAside,  // something else was there and is now aside
        Blocked,     // something else is there and could not be moved (logged); so is an unreadable place
    };
    enum class Accept { File, FileOrFolder };

    static Fit makeFit(const std::string& path, std::string_view owner, Accept accept = Accept::File);
    // For the folder a store keeps its files in: Empty, RegularFile (a folder is there), MovedAside or Blocked.
    static Fit makeFolderFit(const std::string& path, std::string_view owner);
    // What was set aside from a place: asideName(path) the newest, asideName(path, 1) the one before it, and
    // so on up to kKeptAsides - 1.
    static constexpr unsigned kKeptAsides = 4;
    static std::string asideName(const std::string& path, unsigned age = 0) {
        return path + ".damaged" + (age == 0 ? std::string() : "." + std::to_string(age));
    }
    // Whether a file name is one that something was set aside under (by any of the above).
    static bool isAsideName(std::string_view name);
    // Frees asideName(path) for the next thing set aside (moved or copied) from the place, keeping what is
    // there: each earlier one moves one older, and the oldest past kKeptAsides is removed (one line in the
    // log naming the owner). Never replaces a thing another process set aside meanwhile. False, errno set,
    // when the name could not be freed.
    static bool makeRoomAside(const std::string& path, std::string_view owner);
    // Moves the thing at `path` (whatever it is) aside whole as makeFit does, the earlier ones kept within
    // the bound: the name it went to, or nothing, errno set (ENOENT: it went meanwhile). Says nothing.
    static std::optional<std::string> moveAside(const std::string& path, std::string_view owner);
    // Whether the store can go on at the place: it is empty or holds what it should now.
    static bool isUsable(Fit fit) { return fit != Fit::Blocked; }
};

} // namespace platform
