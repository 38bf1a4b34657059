// One registered logger: the logger, its level mask and the serial queue it is called on.
#pragma once

#include "pushlog/PULSELogger.h"

#include <cstdint>
#include <memory>

namespace pushlog {

class PULSELoggerNode {
public:
    PULSELoggerNode(std::shared_ptr<PULSELogger> logger, QueueRef loggerQueue, std::uint64_t level)
        : m_logger(std::move(logger)), m_level(level), m_loggerQueue(std::move(loggerQueue)) {}

    static std::shared_ptr<PULSELoggerNode> nodeWithLogger(std::shared_ptr<PULSELogger> logger, QueueRef loggerQueue,
                                                           std::uint64_t level) {
        return std::make_shared<PULSELoggerNode>(std::move(logger), std::move(loggerQueue), level);
    }

    const std::shared_ptr<PULSELogger>& logger() const { return m_logger; }
    std::uint64_t level() const { return m_level; }
    const QueueRef& loggerQueue() const { return m_loggerQueue; }

private:
    const std::shared_ptr<PULSELogger> m_logger;
    const std::uint64_t m_level;
    const QueueRef m_loggerQueue;
};

} // namespace pushlog
