#include "runtime/PosixRegex.h"

#include <regex.h>

namespace runtime {

struct PosixRegex::Impl {
    regex_t compiled{};
};

PosixRegex::PosixRegex() : m_impl(std::make_unique<Impl>()) {}

PosixRegex::~PosixRegex() {
    if (m_impl)
        regfree(&m_impl->compiled);
}

std::shared_ptr<const PosixRegex> PosixRegex::compile(const std::string& pattern, Case caseMode) {
    if (pattern.find('\0') != std::string::npos)
        return nullptr;
    std::shared_ptr<PosixRegex> regex(new PosixRegex());
    int flags = REG_EXTENDED | REG_NOSUB | (caseMode == Case::Insensitive ? REG_ICASE : 0);
    // Anchor at the start; the expressions end with "$" themselves where the whole text must match.
    if (regcomp(&regex->m_impl->compiled, ("^(" + pattern + ")").c_str(), flags) != 0) {
        regex->m_impl.reset();
        return nullptr;
    }
    return regex;
}

bool PosixRegex::matchesAtStart(std::string_view text) const {
    std::string subject(text);
    if (subject.find('\0') != std::string::npos)
        return false;
    return regexec(&m_impl->compiled, subject.c_str(), 0, nullptr, 0) == 0;
}

} // namespace runtime
