// A bounded first-in-first-out queue of shared items with a map from a key to the item: the session
// keeps its blocked and its sending requests in two of them (maximum 20, keyed by the request id).
//
// Guarantees:
// - enqueue appends and, when the queue then holds more than the maximum, drops the front item: a queue
//   filled only this way never holds more than the maximum.
// - enqueueWithHighPriority checks the bound before it inserts, against count - 1 (unsigned: an empty
//   queue passes), so high-priority inserts let the queue reach maximum + 2; from there each one drops
//   the front item and then puts the new one in front.
// - The map holds items weakly: an entry whose item was freed elsewhere reads as absent. An entry made
//   under a key other than the item's own (the keyed inserts) stays after the item leaves the queue, as
//   long as the item lives; freed entries are swept as the map grows, so it stays bounded.
// - Items are compared by identity.
// - Thread: no lock; a queue belongs to one owner (the session's queues live on the client thread).
#pragma once

#include "platform/core/SeededHash.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace push {

enum class PULSEEnumerationOptions { Forward, Reverse };

template <class Item, class Key>
class PULSEFIFOQueue {
public:
    using ItemPtr = std::shared_ptr<Item>;
    // Reads an item's key (the property the queue is keyed by).
    using KeyProperty = std::function<Key(const Item&)>;

    PULSEFIFOQueue(std::uint64_t maxItem, KeyProperty keyProperty)
        : m_maxCount(maxItem), m_keyProperty(std::move(keyProperty)) {}

    std::int64_t count() const { return static_cast<std::int64_t>(m_itemArray.size()); }
    std::uint64_t maxCount() const { return m_maxCount; }
    // Entries of the key map, freed ones not yet swept included.
    std::size_t keyCount() const { return m_itemAndKeyMap.size(); }

    void enqueue(ItemPtr item) {
        if (!item)
            return;
        const Key key = m_keyProperty(*item);
        m_itemArray.push_back(item);
        store(key, item);
        if (m_itemArray.size() > m_maxCount)
            dequeue();
    }

    void enqueueWithHighPriority(ItemPtr item) {
        if (!item)
            return;
        dropFrontBeforeHighPriorityInsert();
        m_itemArray.push_front(item);
        store(m_keyProperty(*item), item);
    }

    ItemPtr dequeue() {
        if (m_itemArray.empty())
            return nullptr;
        ItemPtr item = std::move(m_itemArray.front());
        m_itemAndKeyMap.erase(m_keyProperty(*item));
        m_itemArray.pop_front();
        return item;
    }

    void removeItem(const ItemPtr& item) {
        if (m_itemArray.empty() || !item)
            return;
        m_itemAndKeyMap.erase(m_keyProperty(*item));
        eraseFromList(item);
    }

    void clear() {
        m_itemArray.clear();
        m_itemAndKeyMap.clear();
    }

    ItemPtr getObjectFromQueueWithKey(const Key& key) const {
        auto it = m_itemAndKeyMap.find(key);
        return it == m_itemAndKeyMap.end() ? nullptr : it->second.lock();
    }

    void enqueueItem(ItemPtr item, const Key& key) {
        if (!item)
            return;
        store(key, item);
        m_itemArray.push_back(std::move(item));
        if (m_itemArray.size() > m_maxCount)
            dequeue();
    }

    // Inserts in front under the given key and under the item's own key, so that both find it.
    void enqueueHighPriorityItem(ItemPtr item, const Key& key) {
        if (!item)
            return;
        store(key, item);
        dropFrontBeforeHighPriorityInsert();
        m_itemArray.push_front(item);
        store(m_keyProperty(*item), item);
    }

    ItemPtr dequeueItemWithKey(const Key& key) {
        auto it = m_itemAndKeyMap.find(key);
        if (it == m_itemAndKeyMap.end())
            return nullptr;
        ItemPtr item = it->second.lock();
        m_itemAndKeyMap.erase(it);
        if (item)
            eraseFromList(item);
        return item;
    }

    // Enqueues every item of the other queue; the other queue is unchanged.
    void copyQueue(const PULSEFIFOQueue& other) {
        const auto snapshot = other.m_itemArray;
        for (const ItemPtr& item : snapshot)
            enqueue(item);
    }

    // For each item of a snapshot of the other queue: accepted by the condition, it is enqueued here (and
    // stays there too); refused, it is removed from the other queue.
    void copyQueue(PULSEFIFOQueue& other, const std::function<bool(const ItemPtr&)>& condition) {
        const auto snapshot = other.m_itemArray;
        for (const ItemPtr& item : snapshot) {
            if (condition(item))
                enqueue(item);
            else
                other.removeItem(item);
        }
    }

    // Calls the block for each item (front to back unless reversed) until it sets stop.
    void enumerateObjects(const std::function<void(const ItemPtr&, std::size_t index, bool& stop)>& block,
                          PULSEEnumerationOptions options = PULSEEnumerationOptions::Forward) const {
        const auto snapshot = m_itemArray;
        bool stop = false;
        const std::size_t n = snapshot.size();
        for (std::size_t i = 0; i < n && !stop; ++i) {
            const std::size_t index = options == PULSEEnumerationOptions::Reverse ? n - 1 - i : i;
            block(snapshot[index], index, stop);
        }
    }

private:
    void store(const Key& key, const ItemPtr& item) {
        m_itemAndKeyMap.insert_or_assign(key, std::weak_ptr<Item>(item));
        if (m_itemAndKeyMap.size() > 2 * m_itemArray.size() + 16)
            sweepFreedEntries();
    }

    void dropFrontBeforeHighPriorityInsert() {
        if (static_cast<std::uint64_t>(m_itemArray.size()) - 1 > m_maxCount)
            dequeue();
    }

    void eraseFromList(const ItemPtr& item) {
        std::erase(m_itemArray, item);
    }

    void sweepFreedEntries() {
        std::erase_if(m_itemAndKeyMap, [](const auto& entry) { return entry.second.expired(); });
    }

    std::deque<ItemPtr> m_itemArray; // front is index 0, the next item dequeue returns
    std::unordered_map<Key, std::weak_ptr<Item>, platform::SeededHash> m_itemAndKeyMap;
    std::uint64_t m_maxCount;
    KeyProperty m_keyProperty;
};

} // namespace push
