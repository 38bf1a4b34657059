// Reading a written crash report back with protobuf-c's generated code, for the writer's tests.
#pragma once

#include "crashreporter/crsh.pb-c.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace crashtest {

struct ReportDeleter {
    void operator()(Crsh__CrashReport* report) const { crsh__crash_report__free_unpacked(report, nullptr); }
};
using Report = std::unique_ptr<Crsh__CrashReport, ReportDeleter>;

// Checks the 8-byte header and unpacks the message; null (with a failure) when either is wrong.
inline Report unpackReport(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() <= 8 || std::memcmp(bytes.data(), "crshlog", 7) != 0 || bytes[7] != 1) {
        ADD_FAILURE() << "no report header in " << bytes.size() << " bytes";
        return nullptr;
    }
    Report report(crsh__crash_report__unpack(nullptr, bytes.size() - 8, bytes.data() + 8));
    if (!report)
        ADD_FAILURE() << "the report does not unpack";
    return report;
}

inline const Crsh__CrashReport__Thread* crashedThread(const Crsh__CrashReport* report)
{
    for (std::size_t i = 0; i < report->n_threads; ++i) {
        if (report->threads[i]->crashed)
            return report->threads[i];
    }
    return nullptr;
}

} // namespace crashtest
