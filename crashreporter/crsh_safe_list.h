// A list that a crash handler can walk without a lock while another thread changes it.
//
// Writers (append, prepend, remove) serialise on a spin lock. Readers take no lock: they announce
// themselves with setReading(true) ... setReading(false) and walk from head() through the nodes' next
// links. The rules that make this safe:
//  1. a node is filled and published with one release compare-and-swap (on head or on its predecessor's
//     next), so a reader sees the list without or with it, never half-written;
//  2. unlinking is one compare-and-swap too, so a reader walking forward sees the node linked or skipped;
//  3. while any reader is announced, an unlinked node is not freed but kept on a free list and reused by
//     a later append, so a reader that still holds it never touches freed memory.
// Readers never write the list. A crash while a writer holds the lock cannot deadlock a reader.
//
// The value is held in a lock-free atomic (a pointer or a word), because a reused node's value may be
// written while a late reader still reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

template <typename Value>
class crsh_safe_list {
public:
    struct Node {
        std::atomic<Value> value;
        Node* previous; // writers only
        std::atomic<Node*> next;
        Node* nextFree; // writers only: the free list's chain
    };
    using NodeAllocator = void* (*)(std::size_t size);

    crsh_safe_list() = default;
    ~crsh_safe_list() { destroy(); }
    crsh_safe_list(const crsh_safe_list&) = delete;
    crsh_safe_list& operator=(const crsh_safe_list&) = delete;

    // False when no node could be obtained: nothing was linked.
    bool append(Value value)
    {
        Locker locker(m_lock);
        Node* node = obtainNode(value);
        if (node == nullptr)
            return false;
        // The node is published by a release compare-and-swap: a reader that reaches it sees it filled.
        if (Node* tail = m_tail) {
            Node* expected = nullptr;
            tail->next.compare_exchange_strong(expected, node, std::memory_order_release);
            node->previous = tail;
            m_tail = node;
        } else {
            m_tail = node;
            Node* expected = nullptr;
            m_head.compare_exchange_strong(expected, node, std::memory_order_release);
        }
        return true;
    }

    bool prepend(Value value)
    {
        Locker locker(m_lock);
        Node* node = obtainNode(value);
        if (node == nullptr)
            return false;
        Node* head = m_head.load(std::memory_order_relaxed);
        if (head != nullptr) {
            node->next.store(head, std::memory_order_relaxed);
            head->previous = node;
            m_head.compare_exchange_strong(head, node, std::memory_order_release);
        } else {
            m_tail = node;
            Node* expected = nullptr;
            m_head.compare_exchange_strong(expected, node, std::memory_order_release);
        }
        return true;
    }

    // Unlinks node when it is in the list (false when it is not); it is freed at once unless a reader is
    // announced.
    bool remove(Node* node)
    {
        Locker locker(m_lock);
        Node* found = m_head.load(std::memory_order_relaxed);
        while (found != nullptr && found != node)
            found = found->next.load(std::memory_order_relaxed);
        if (found == nullptr)
            return false;
        unlinkLocked(node);
        return true;
    }

    // Unlinks the first node whose value `matches` and gives its value in `removed` (false when none
    // does). The search holds the writers' lock: a walk without it could be led off the list by a node
    // that another writer removes and appends again meanwhile, and miss a value that is listed.
    template <typename Match>
    bool removeFirst(Match matches, Value& removed)
    {
        Locker locker(m_lock);
        for (Node* node = m_head.load(std::memory_order_relaxed); node != nullptr;
             node = node->next.load(std::memory_order_relaxed)) {
            Value value = node->value.load(std::memory_order_relaxed);
            if (!matches(value))
                continue;
            removed = value;
            unlinkLocked(node);
            return true;
        }
        return false;
    }

    void setReading(bool reading) { m_readers.fetch_add(reading ? 1 : -1, std::memory_order_seq_cst); }

private:
    void unlinkLocked(Node* node)
    {
        Node* next = node->next.load(std::memory_order_relaxed);
        // The unlink, the readers' count and the readers' loads of the links are sequentially
        // consistent: either the load of the count below sees a reader's announcement, or that reader's
        // loads of the links see the node unlinked. With release and acquire alone both sides could read
        // the old values and the node be freed under a reader about to reach it.
        if (node->previous == nullptr) {
            Node* expected = node;
            m_head.compare_exchange_strong(expected, next, std::memory_order_seq_cst);
        } else {
            Node* expected = node;
            node->previous->next.compare_exchange_strong(expected, next, std::memory_order_seq_cst);
        }
        if (next != nullptr)
            next->previous = node->previous;
        else
            m_tail = node->previous;

        if (m_readers.load(std::memory_order_seq_cst) > 0) {
            // A reader may still stand on the node: keep it for reuse. The free list has its own chain, so
            // such a reader still walks on to the node's old successor, never into the free list.
            node->previous = nullptr;
            node->nextFree = m_free;
            m_free = node;
        } else {
            std::free(node);
        }
    }

public:

    // Sequentially consistent, for remove(): as cheap as acquire loads on common processors.
    Node* head() const { return m_head.load(std::memory_order_seq_cst); }
    static Node* next(const Node* node) { return node->next.load(std::memory_order_seq_cst); }
    static Value value(const Node* node) { return node->value.load(std::memory_order_acquire); }

    // Frees every node, listed or kept for reuse. Teardown only: no reader may be walking.
    void destroy()
    {
        freeChain(m_head.exchange(nullptr), [](Node* node) { return node->next.load(std::memory_order_relaxed); });
        freeChain(m_free, [](Node* node) { return node->nextFree; });
        m_tail = nullptr;
        m_free = nullptr;
    }

    // For tests and the writer's own bookkeeping.
    Node* tail() const { return m_tail; }
    Node* freeList() const { return m_free; }
    std::int32_t readers() const { return m_readers.load(std::memory_order_acquire); }
    void setNodeAllocator(NodeAllocator allocate) { m_allocate = allocate; }

private:
    class Locker {
    public:
        explicit Locker(std::atomic_flag& lock) : m_lock(lock)
        {
            while (m_lock.test_and_set(std::memory_order_acquire)) {
            }
        }
        ~Locker() { m_lock.clear(std::memory_order_release); }
        Locker(const Locker&) = delete;
        Locker& operator=(const Locker&) = delete;

    private:
        std::atomic_flag& m_lock;
    };

    static_assert(std::atomic<Value>::is_always_lock_free, "a reader must be able to load the value without a lock");

    Node* obtainNode(Value value)
    {
        Node* node = m_free;
        if (node != nullptr) {
            m_free = node->nextFree;
        } else {
            void* memory = m_allocate(sizeof(Node));
            if (memory == nullptr)
                return nullptr;
            node = new (memory) Node;
        }
        // Released: a reader still standing on a reused node may load the new value before the node is
        // published again, and must then see what the value points to fully written.
        node->value.store(value, std::memory_order_release);
        node->previous = nullptr;
        node->next.store(nullptr, std::memory_order_relaxed);
        node->nextFree = nullptr;
        return node;
    }

    template <typename NextOf>
    static void freeChain(Node* node, NextOf nextOf)
    {
        while (node != nullptr) {
            Node* following = nextOf(node);
            std::free(node);
            node = following;
        }
    }

    std::atomic_flag m_lock = ATOMIC_FLAG_INIT;
    std::atomic<Node*> m_head{nullptr};
    Node* m_tail = nullptr;
    std::atomic<std::int32_t> m_readers{0};
    Node* m_free = nullptr;
    NodeAllocator m_allocate = std::malloc;
};
