// Property lists another application could leave where this one reads them (pasteboards, keychain items),
// and a thread with the small stack of an application's secondary thread to read them on.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hybtest {

// What a hand-written scan of tags takes for an attribute quote: ' opens a value that runs to the next '.
// An XML reader sees one array whose attribute holds a "<" (not well-formed); a reader that does not take
// ' as a quote sees `levels` nested arrays.
inline std::string quoteTrickXML(std::size_t levels) {
    std::string text = "<plist version=\"1.0\"><array x='>";
    for (std::size_t i = 0; i < levels; ++i)
        text += "<array>";
    return text + "'>";
}

// A binary list of arrays nested `levels` deep (2-byte offsets and references), each holding the next.
inline std::string nestedBinaryList(std::size_t levels) {
    const auto bigEndian = [](std::string& out, std::uint64_t value, int bytes) {
        for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
            out += static_cast<char>((value >> shift) & 0xFF);
    };
    std::string bytes = "bplist00";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < levels; ++i) {
        offsets.push_back(bytes.size());
        const bool last = i + 1 == levels;
        bytes += static_cast<char>(last ? 0xA0 : 0xA1);
        if (!last)
            bigEndian(bytes, i + 1, 2);
    }
    const std::size_t table = bytes.size();
    for (std::size_t offset : offsets)
        bigEndian(bytes, offset, 2);
    bytes += std::string(6, '\0');
    bytes += "\x02\x02";
    bigEndian(bytes, levels, 8);
    bigEndian(bytes, 0, 8);
    bigEndian(bytes, table, 8);
    return bytes;
}

// Every list above that must be refused: 200,000 and 20,000 levels behind the quote, 100,000 binary.
inline std::vector<std::string> hostilePropertyLists() {
    return {quoteTrickXML(200000), quoteTrickXML(20000), nestedBinaryList(100000)};
}

// Runs the work on a thread with a stack of this many bytes and waits for it; false when no thread
// could be started.
inline bool runOnSmallStack(const std::function<void()>& work, std::size_t stackBytes = 512 * 1024) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stackBytes);
    pthread_t thread;
    auto* job = new std::function<void()>(work);
    const int started = pthread_create(
        &thread, &attr,
        [](void* arg) -> void* {
            (*static_cast<std::function<void()>*>(arg))();
            return nullptr;
        },
        job);
    pthread_attr_destroy(&attr);
    if (started == 0)
        pthread_join(thread, nullptr);
    delete job;
    return started == 0;
}

} // namespace hybtest
