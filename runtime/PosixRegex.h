// A compiled POSIX extended regular expression, matched anchored at the start of the text.
// Private to the runtime. glibc's matcher needs no recursion per character, so long URLs cannot
// exhaust the stack. Immutable after construction; matching is safe from several threads.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace runtime {

class PosixRegex {
public:
    enum class Case { Sensitive, Insensitive };

    // Compiles `pattern`; nullptr when it does not compile or holds a zero byte.
    static std::shared_ptr<const PosixRegex> compile(const std::string& pattern, Case caseMode);

    ~PosixRegex();
    PosixRegex(const PosixRegex&) = delete;
    PosixRegex& operator=(const PosixRegex&) = delete;

    // Whether the expression matches at the start of `text` (a text holding a zero byte never matches).
    bool matchesAtStart(std::string_view text) const;

private:
    PosixRegex();
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace runtime
