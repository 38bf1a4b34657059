// Queue operations on a sequence (a std::deque or std::vector): the head is the first element. Used by
// the command queue on the main thread; nothing is locked.
#pragma once

#include <optional>
#include <utility>

namespace runtime {

// The first element, or nothing when empty.
template <class Sequence>
std::optional<typename Sequence::value_type> queueHead(const Sequence& sequence) {
    if (sequence.empty())
        return std::nullopt;
    return sequence.front();
}

// Removes and returns the first element; nothing (and no change) when empty.
template <class Sequence>
std::optional<typename Sequence::value_type> dequeue(Sequence& sequence) {
    if (sequence.empty())
        return std::nullopt;
    std::optional<typename Sequence::value_type> head(std::move(sequence.front()));
    sequence.erase(sequence.begin());
    return head;
}

// The same as dequeue.
template <class Sequence>
std::optional<typename Sequence::value_type> pop(Sequence& sequence) {
    return dequeue(sequence);
}

// Appends at the end.
template <class Sequence, class Element>
void enqueue(Sequence& sequence, Element&& element) {
    sequence.push_back(std::forward<Element>(element));
}

} // namespace runtime
