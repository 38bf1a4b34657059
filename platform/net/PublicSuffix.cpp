#include "platform/net/PublicSuffix.h"

#include "platform/net/HTTPSyntax.h"

#include <arpa/inet.h>
#include <libpsl.h>

namespace platform {

namespace {

const psl_ctx_t* list() {
    // The newest of the built-in list and the system's copy; built once, never freed.
    static const psl_ctx_t* const context = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return context;
}

} // namespace

bool PublicSuffix::isPublicSuffix(std::string_view domain) {
    const std::string lowered = http::lowercased(domain);
    if (lowered.empty() || lowered == "localhost" || isIPAddress(lowered) || !list())
        return false;
    // A single label is a suffix only where the list names it ("com"), not by the list's rule for the unknown.
    const int type = lowered.find('.') == std::string::npos ? PSL_TYPE_ANY | PSL_TYPE_NO_STAR_RULE : PSL_TYPE_ANY;
    return psl_is_public_suffix2(list(), lowered.c_str(), type) != 0;
}

bool PublicSuffix::isIPAddress(std::string_view host) {
    unsigned char buffer[16];
    std::string bare(host);
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    return inet_pton(AF_INET, bare.c_str(), buffer) == 1 || inet_pton(AF_INET6, bare.c_str(), buffer) == 1;
}

std::string PublicSuffix::siteOf(std::string_view host) {
    std::string lowered = http::lowercased(host);
    if (lowered.empty() || isIPAddress(lowered) || !list())
        return lowered;
    const char* registrable = psl_registrable_domain(list(), lowered.c_str());
    return registrable ? std::string(registrable) : lowered;
}

} // namespace platform
