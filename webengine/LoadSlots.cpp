#include "webengine/LoadSlots.h"

#include <sys/resource.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace webengine {

namespace {

// Loads of one view waiting for a slot: far more than any page of the application asks for at once, and
// what they hold (the engine's request, its headers) stays within a few megabytes.
constexpr std::size_t kMaxWaitingPerView = 8192;
constexpr std::uint64_t kMaxRunningInAll = 128;
constexpr std::size_t kMaxRunningPerView = 32;

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
    limits.waitingPerOwner = kMaxWaitingPerView;
    return limits;
}

LoadSlots::LoadSlots(Limits limits) : m_limits(limits) {}

std::optional<LoadSlots::Ticket> LoadSlots::request(Owner owner, Start start)
{
    Queue& queue = m_queues[owner];
    const bool startsNow = queue.waiting.empty() && queue.running < m_limits.perOwner && m_running < m_limits.total;
    if (!startsNow && queue.waiting.size() >= m_limits.waitingPerOwner) {
        dropIfIdle(owner);
        return std::nullopt;
    }
    const Ticket ticket = m_nextTicket++;
    queue.waiting.emplace(ticket, std::move(start));
    startWaiting();
    return ticket;
}

void LoadSlots::release(Ticket ticket)
{
    if (auto found = m_runningLoads.find(ticket); found != m_runningLoads.end()) {
        const Owner owner = found->second;
        m_runningLoads.erase(found);
        --m_queues[owner].running;
        --m_running;
        dropIfIdle(owner);
        startWaiting();
        return;
    }
    Start dropped; // destroyed last, once the queues are consistent again
    for (auto it = m_queues.begin(); it != m_queues.end(); ++it) {
        auto entry = it->second.waiting.find(ticket);
        if (entry == it->second.waiting.end())
            continue;
        dropped = std::move(entry->second);
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
    std::map<Ticket, Start> dropped = std::move(queue->second.waiting);
    m_running -= queue->second.running;
    m_queues.erase(queue);
    std::erase_if(m_runningLoads, [owner](const auto& entry) { return entry.second == owner; });
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
        // The next owner after the one served last that has a load waiting and a slot of its own free.
        auto it = m_queues.upper_bound(m_lastServed);
        auto chosen = m_queues.end();
        for (std::size_t looked = 0; looked < m_queues.size(); ++looked, ++it) {
            if (it == m_queues.end())
                it = m_queues.begin();
            if (!it->second.waiting.empty() && it->second.running < m_limits.perOwner) {
                chosen = it;
                break;
            }
        }
        if (chosen == m_queues.end())
            break;
        auto first = chosen->second.waiting.begin();
        const Ticket ticket = first->first;
        Start start = std::move(first->second);
        chosen->second.waiting.erase(first);
        ++chosen->second.running;
        ++m_running;
        m_runningLoads.emplace(ticket, chosen->first);
        m_lastServed = chosen->first;
        start(ticket);
    }
    m_starting = false;
}

} // namespace webengine
