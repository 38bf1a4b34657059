#include "webengine/LoadSlots.h"

#include <sys/resource.h>

#include <algorithm>
#include <utility>

namespace webengine {

namespace {

// Loads of one view waiting for a slot: far more than any page of the application asks for at once, and
// what they hold (the engine's request, its headers) stays within a few megabytes.
constexpr std::size_t kMaxWaitingPerView = 8192;
constexpr std::uint64_t kMaxRunningInAll = 128;
constexpr std::size_t kMaxRunningPerView = 32;
constexpr std::size_t kMaxRunningPerHost = 8;

} // namespace

LoadSlots& LoadSlots::shared()
{
    // Never destroyed: engines release their loads when they go, whenever that is.
    static auto* slots = [] {
        rlimit limit{};
        std::uint64_t descriptors = 1024;
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            descriptors = limit.rlim_cur;
        return new LoadSlots(limitsFor(descriptors));
    }();
    return *slots;
}

LoadSlots::Limits LoadSlots::limitsFor(std::uint64_t descriptors)
{
    Limits limits;
    limits.total = static_cast<std::size_t>(std::clamp<std::uint64_t>(descriptors / 8, 1, kMaxRunningInAll));
    limits.perOwner = std::min(kMaxRunningPerView, limits.total);
    limits.perGroup = std::min(kMaxRunningPerHost, limits.perOwner);
    limits.waitingPerOwner = kMaxWaitingPerView;
    return limits;
}

LoadSlots::LoadSlots(Limits limits) : m_limits(limits) {}

std::optional<LoadSlots::Ticket> LoadSlots::Queue::next(std::size_t perGroup) const
{
    std::optional<Ticket> oldest;
    for (const auto& [name, group] : groups) {
        if (group.running < perGroup && !group.waiting.empty() && (!oldest || *group.waiting.begin() < *oldest))
            oldest = *group.waiting.begin();
    }
    return oldest;
}

std::optional<LoadSlots::Ticket> LoadSlots::request(Owner owner, const std::string& group, Start start)
{
    Queue& queue = m_queues[owner];
    const auto known = queue.groups.find(group);
    const bool groupFree = known == queue.groups.end() || (known->second.waiting.empty() && known->second.running < m_limits.perGroup);
    const bool startsNow = groupFree && queue.running < m_limits.perOwner && m_running < m_limits.total;
    if (!startsNow && queue.waiting.size() >= m_limits.waitingPerOwner) {
        dropIfIdle(owner);
        return std::nullopt;
    }
    const Ticket ticket = m_nextTicket++;
    queue.waiting.emplace(ticket, Waiting{group, std::move(start)});
    queue.groups[group].waiting.insert(ticket);
    startWaiting();
    return ticket;
}

void LoadSlots::release(Ticket ticket)
{
    if (auto found = m_runningLoads.find(ticket); found != m_runningLoads.end()) {
        const Running load = std::move(found->second);
        m_runningLoads.erase(found);
        Queue& queue = m_queues[load.owner];
        --queue.running;
        --m_running;
        if (auto group = queue.groups.find(load.group); group != queue.groups.end() && --group->second.running == 0
            && group->second.waiting.empty())
            queue.groups.erase(group);
        dropIfIdle(load.owner);
        startWaiting();
        return;
    }
    Start dropped; // destroyed last, once the queues are consistent again
    for (auto it = m_queues.begin(); it != m_queues.end(); ++it) {
        auto entry = it->second.waiting.find(ticket);
        if (entry == it->second.waiting.end())
            continue;
        dropped = std::move(entry->second.start);
        auto group = it->second.groups.find(entry->second.group);
        group->second.waiting.erase(ticket);
        if (group->second.waiting.empty() && group->second.running == 0)
            it->second.groups.erase(group);
        it->second.waiting.erase(entry);
        dropIfIdle(it->first);
        return;
    }
}

void LoadSlots::releaseOwner(Owner owner)
{
    auto queue = m_queues.find(owner);
    if (queue == m_queues.end())
        return;
    std::map<Ticket, Waiting> dropped = std::move(queue->second.waiting);
    m_running -= queue->second.running;
    m_queues.erase(queue);
    std::erase_if(m_runningLoads, [owner](const auto& entry) { return entry.second.owner == owner; });
    startWaiting();
}

std::size_t LoadSlots::running(Owner owner) const
{
    auto queue = m_queues.find(owner);
    return queue == m_queues.end() ? 0 : queue->second.running;
}

std::size_t LoadSlots::waiting(Owner owner) const
{
    auto queue = m_queues.find(owner);
    return queue == m_queues.end() ? 0 : queue->second.waiting.size();
}

void LoadSlots::dropIfIdle(Owner owner)
{
    auto queue = m_queues.find(owner);
    if (queue != m_queues.end() && queue->second.running == 0 && queue->second.waiting.empty())
        m_queues.erase(queue);
}

void LoadSlots::startWaiting()
{
    // A start may ask for or release loads: the loop here goes on with what they leave.
    if (m_starting)
        return;
    m_starting = true;
    while (m_running < m_limits.total && !m_queues.empty()) {
        // The next owner after the one served last that has a load that may start.
        auto it = m_queues.upper_bound(m_lastServed);
        auto chosen = m_queues.end();
        std::optional<Ticket> ticket;
        for (std::size_t looked = 0; looked < m_queues.size(); ++looked, ++it) {
            if (it == m_queues.end())
                it = m_queues.begin();
            if (it->second.running < m_limits.perOwner && (ticket = it->second.next(m_limits.perGroup))) {
                chosen = it;
                break;
            }
        }
        if (chosen == m_queues.end())
            break;
        Queue& queue = chosen->second;
        auto entry = queue.waiting.find(*ticket);
        Waiting load = std::move(entry->second);
        queue.waiting.erase(entry);
        Group& group = queue.groups[load.group];
        group.waiting.erase(*ticket);
        ++group.running;
        ++queue.running;
        ++m_running;
        m_runningLoads.emplace(*ticket, Running{chosen->first, load.group});
        m_lastServed = chosen->first;
        load.start(*ticket);
    }
    m_starting = false;
}

} // namespace webengine
