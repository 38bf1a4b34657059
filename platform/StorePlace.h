// The place of a store's file (a database, a log, a cache, a lock file) kept fit for one: something else
// put there (a folder, a pipe, a device, a socket, a symbolic link of any kind, dangling or not) would
// turn the store off at every launch, so it is moved aside and the store starts afresh.
//
// Guarantees:
// - makeFit never follows a link, never opens what it finds (a pipe cannot hold it) and never touches a
//   regular file: only the thing that is not one is renamed, whole, to asideName(path) (whatever an
//   earlier call set aside there gives way). A link's target stays as it was.
// - Said once: each move writes one line to the log naming the owner, the path, what stood there and
//   where it went; a regular file or an empty place says nothing.
// - Two processes at once: a regular file another process put in the place between the look and the
//   move is put back (it is never left aside in its stead).
// - Thread-safe (no shared state).
#pragma once

#include <string>
#include <string_view>

namespace platform {

class StorePlace {
public:
    enum class Fit {
        Empty,       // nothing there: the store makes its file
        RegularFile, // a regular file: the store reads it
        MovedAside,  // something else was there and is now at asideName(path)
        Blocked,     // something else is there and could not be moved (logged); so is an unreadable place
    };

    static Fit makeFit(const std::string& path, std::string_view owner);
    static std::string asideName(const std::string& path) { return path + ".damaged"; }
    // Whether the store can go on at the place: it is empty or holds a regular file now.
    static bool isUsable(Fit fit) { return fit != Fit::Blocked; }
};

} // namespace platform
