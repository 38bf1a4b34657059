#include "platform/net/URLAuthenticationChallenge.h"

namespace platform {

URLAuthenticationChallenge::URLAuthenticationChallenge(std::string host, int port, std::function<void(Disposition)> onAnswer)
    : m_host(std::move(host)), m_port(port), m_onAnswer(std::move(onAnswer)) {}

URLAuthenticationChallenge::~URLAuthenticationChallenge() { answer(Disposition::DefaultHandling); }

void URLAuthenticationChallenge::answer(Disposition d) {
    std::function<void(Disposition)> onAnswer;
    {
        std::lock_guard lock(m_mutex);
        onAnswer.swap(m_onAnswer);
    }
    if (onAnswer)
        onAnswer(d);
}

} // namespace platform
