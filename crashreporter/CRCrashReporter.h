// The crash reporter's public face: its configuration, the report folder and file, enabling the crash
// handlers once per process, the crash callbacks, the report a previous crash left behind, and live
// reports of a running thread.
//
// A crash writes one report, "live_report.crshlog", in
//     <caches>/crashreporter/<application identifier, "/" replaced by "_">/
// where the next run finds it (hasPendingCrashReport, loadPendingCrashReportData). A crash writes its report
// aside and puts it there only once it is whole; while a report is pending, a new one waits beside it under
// a name of its own ("live_report.crshlog.<pid>.<unique>") and takes its place when it is purged (the
// oldest first). At most kMaxKeptReports reports of kMaxKeptBytes in all wait to be read: beyond, the
// oldest are dropped when a reporter is enabled or a report purged (said once). Something other than a
// regular file at the report's path (a folder, a link, a pipe) is moved aside ("<path>.damaged") then, so
// that the next crash can leave its report. Nothing in the application enables a reporter.
//
// Readers in several processes at once: loading takes the pending report for the reporter that loaded it
// (a rename to "live_report.crshlog.<pid>.<unique>.read"), so no other reader reads it too, and purging
// removes that report, never another that took its place meanwhile; a reader whose load took none purges
// nothing. One taken by a process that ended before purging it (or by a reporter destroyed before purging
// it) waits again, and the next look for a pending report finds it. Where a system-call filter refuses a
// rename, another call that moves a file takes its place (another rename call, or a link and an unlink).
//
// On this platform only signal handlers can catch a crash: the exception-server mode registers its SIGABRT
// handler and then fails, since there are no exception ports to serve.
//
// Threads: a reporter's methods may be called from any thread, one call at a time per reporter; enabling is
// serialised process-wide.
#pragma once

#include "crashreporter/CRCrashReporterError.h"
#include "crashreporter/crsh_async.h"
#include "crashreporter/crsh_crash_callbacks.h"
#include "platform/system/Bundle.h"

#include <memory>
#include <string>

// How crashes are caught.
enum CRCrashReporterSignalHandlerType : unsigned {
    CRCrashReporterSignalHandlerTypeBSD = 0,  // signal handlers for the six crash signals
    CRCrashReporterSignalHandlerTypeMach = 1, // an exception server plus a SIGABRT handler
};

// Where frame names are looked up (bits).
enum CRCrashReporterSymbolicationStrategy : unsigned {
    CRCrashReporterSymbolicationStrategyNone = 0,
    CRCrashReporterSymbolicationStrategySymbolTable = 1 << 0, // the images' symbol tables
    CRCrashReporterSymbolicationStrategyObjC = 1 << 1,        // the class metadata of the images
    CRCrashReporterSymbolicationStrategyAll = 3,
};

class CRCrashReporterConfig {
public:
    // BSD signal handlers, every symbolication strategy.
    static CRCrashReporterConfig defaultConfiguration() { return CRCrashReporterConfig(); }
    CRCrashReporterConfig() = default;
    CRCrashReporterConfig(unsigned signalHandlerType, unsigned symbolicationStrategy)
        : m_signalHandlerType(signalHandlerType), m_symbolicationStrategy(symbolicationStrategy)
    {
    }

    unsigned signalHandlerType() const { return m_signalHandlerType; }
    unsigned symbolicationStrategy() const { return m_symbolicationStrategy; }

private:
    unsigned m_signalHandlerType = CRCrashReporterSignalHandlerTypeBSD;
    unsigned m_symbolicationStrategy = CRCrashReporterSymbolicationStrategyAll;
};

class CRCrashReporter {
public:
    // The process's reporter, made on first call from the main bundle with the default configuration;
    // none when the application cannot be named (no identifier and no process name).
    static CRCrashReporter* sharedReporter();

    // A reporter for the main bundle. The identifier is the bundle's, else the process name (logged);
    // an error (code 0) when neither exists. The version is "CFBundleVersion", else "" (logged).
    static platform::Result<std::unique_ptr<CRCrashReporter>> init();
    static platform::Result<std::unique_ptr<CRCrashReporter>> initWithConfiguration(const CRCrashReporterConfig& config);

    CRCrashReporter(const CRCrashReporter&) = delete;
    CRCrashReporter& operator=(const CRCrashReporter&) = delete;
    ~CRCrashReporter();

    const CRCrashReporterConfig& config() const { return m_config; }
    const std::string& applicationIdentifier() const { return m_applicationIdentifier; }
    const std::string& applicationVersion() const { return m_applicationVersion; }
    const std::string& crashReportDirectory() const { return m_crashReportDirectory; }
    std::string queuedCrashReportDirectory() const;
    std::string crashReportPath() const;

    static constexpr std::size_t kMaxKeptReports = 20;
    static constexpr std::uint64_t kMaxKeptBytes = 2 << 20; // eight reports of the largest size

    // Whether anything exists at crashReportPath(), or this reporter holds a report it loaded. With nothing
    // there, a report waiting beside, or taken by a reader that ended before purging it, takes the place
    // first (as when a reporter is enabled); loading does the same.
    bool hasPendingCrashReport() const;
    // The pending report's bytes, taken for this reporter (the same report again until it is purged); the
    // file system's error when it cannot be read (no such file: none is pending), code 2 when it is not a
    // regular file (a symbolic link, a pipe, a device, a folder: none is followed or read) or is larger
    // than a report can be (CRSH_REPORT_LIMIT_BYTES); such a thing is moved aside.
    platform::Result<platform::Bytes> loadPendingCrashReportData() const;
    // Removes the report this reporter loaded; after a load that took none (it failed), nothing (no such
    // file); without a load since the last purge, the pending report (a file only). The oldest report
    // waiting beside it takes its place.
    platform::Status purgePendingCrashReport() const;

    // Installs the crash handlers. Once per process: any later call, also after a failed first one, is
    // error code 3. Folder failures are the file system's errors; handlers installed before a failure stay.
    // Reports left half-written by processes that have ended are removed once they have not been written
    // for CRSH_REPORT_HELPER_WAIT_SECONDS, and a waiting report takes the place of a pending one that is
    // missing.
    platform::Status enableCrashReporter();

    // A report of the calling thread (or of another thread, written without its stack, which this
    // platform cannot read), made now without stopping the process. Code 0 when it could not be written,
    // also (with the cause ESRCH) for a thread that is not one of this process's.
    platform::Result<platform::Bytes> generateLiveReport();
    platform::Result<platform::Bytes> generateLiveReportWithThread(crsh_thread_t thread);

    // Stores the crash callbacks process-wide; only before this reporter is enabled (else error code 3).
    // A version other than 0 is a programming error.
    platform::Status setCrashCallbacks(const CRCrashReporterCallbacks& callbacks);

    // The strategy's bits that the writer takes.
    static std::uint32_t mapToAsyncSymbolicationStrategy(unsigned strategy) { return strategy & 0x3; }

    // The folder name for an application identifier: "/" becomes "_"; "", "." and ".." are "_".
    static std::string directoryNameForIdentifier(const std::string& identifier);

private:
    CRCrashReporter(std::string identifier, std::string version, const CRCrashReporterConfig& config);
    static platform::Result<std::unique_ptr<CRCrashReporter>> initWithBundle(const platform::Bundle& bundle,
                                                                             const CRCrashReporterConfig& config);
    platform::Status populateCrashReportDirectory() const;
    // Removes the half-written reports of ended processes (this one's id included, before it is enabled)
    // not written for longer than a write may take; with nothing pending, puts the oldest waiting report
    // in place.
    void tidyWaitingReports() const;
    // A name to take the pending report under: "<report>.<pid>.<unique>.read".
    std::string claimName() const;
    platform::Result<platform::Bytes> readReport(const std::string& file) const;

    CRCrashReporterConfig m_config;
    bool m_enabled = false;
    std::string m_applicationIdentifier;
    std::string m_applicationVersion;
    std::string m_crashReportDirectory;
    mutable std::string m_claimedPath; // the report this reporter loaded, until it purges it
    mutable bool m_loaded = false;     // a load was tried since the last purge
};
