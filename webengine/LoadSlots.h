// How many of the pages' routed loads run at once. A page can ask for thousands of loads at a server that
// accepts and never answers; each load that runs may hold a connection (a descriptor) and buffers, which
// the application's own services (files, the keychain, its sockets) need as well. So a web view runs a
// bounded number of loads and the process a bounded number in all, well below the descriptors it may
// open; the rest wait.
//
// Guarantees:
// - Main thread only.
// - At most `perOwner` loads of one owner (a web view) run at once, at most `perGroup` of them of one group
//   (a host: a flood at one server that never answers leaves the view's loads elsewhere their slots), and
//   at most `total` of all owners. A load asked for beyond that waits; an owner's loads start in the order
//   they were asked for (a load whose group is full lets the next of another group go first), and owners
//   with loads waiting take turns as slots free. A start runs inside request() when a slot is free, else
//   inside the release() that frees one (never inside another start: a release there starts the next
//   load after it returns).
// - An owner holds at most `waitingPerOwner` waiting loads: request() refuses one more (nullopt) and
//   nothing is kept of it.
// - release() of a running load frees its slot; of a waiting one, takes it out of its queue unstarted
//   (its start function is dropped). releaseOwner() does so for all of an owner's loads. Unknown or
//   released tickets are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace webengine {

class LoadSlots {
public:
    struct Limits {
        std::size_t total = 0;
        std::size_t perOwner = 0;
        std::size_t perGroup = 0;
        std::size_t waitingPerOwner = 0;
    };
    using Owner = const void*;
    using Ticket = std::uint64_t;
    using Start = std::function<void(Ticket)>;

    // The process's slots, with limitsFor() the descriptors it may open (RLIMIT_NOFILE, read once).
    static LoadSlots& shared();
    // Limits for a process that may open `descriptors` descriptors: routed loads running hold at most an
    // eighth of them (and at most 128), a view at most 32 of those, 8 of one host.
    static Limits limitsFor(std::uint64_t descriptors);

    explicit LoadSlots(Limits limits);
    LoadSlots(const LoadSlots&) = delete;
    LoadSlots& operator=(const LoadSlots&) = delete;

    // A slot for a load of `owner` in `group`: `start` runs with the load's ticket once the load may run.
    std::optional<Ticket> request(Owner owner, const std::string& group, Start start);
    void release(Ticket ticket);
    void releaseOwner(Owner owner);

    std::size_t running(Owner owner) const;
    std::size_t waiting(Owner owner) const;
    std::size_t runningInAll() const { return m_running; }
    const Limits& limits() const { return m_limits; }

private:
    struct Waiting {
        std::string group;
        Start start;
    };
    struct Group {
        std::set<Ticket> waiting; // tickets grow: the first is the oldest
        std::size_t running = 0;
    };
    struct Queue {
        std::map<Ticket, Waiting> waiting;
        std::map<std::string, Group> groups;
        std::size_t running = 0;
        // The oldest waiting load whose group has a slot free, if any.
        std::optional<Ticket> next(std::size_t perGroup) const;
    };
    struct Running {
        Owner owner;
        std::string group;
    };
    // Starts waiting loads while slots are free.
    void startWaiting();
    void dropIfIdle(Owner owner);

    Limits m_limits;
    std::map<Owner, Queue> m_queues;
    std::map<Ticket, Running> m_runningLoads;
    std::size_t m_running = 0;
    Ticket m_nextTicket = 1;
    Owner m_lastServed = nullptr;
    bool m_starting = false;
};

} // namespace webengine
