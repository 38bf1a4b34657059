// One file fetched from a URL into a temporary file, then moved to its target path.
//
// Guarantees:
// - The target is touched only when the whole body has arrived: a failed, cancelled or refused (status
//   400 or above) download removes its temporary file and leaves any existing target as it was. An
//   existing target is replaced by a rename, so it is never seen half-written.
// - The delegate (held weakly) gets exactly one of downloadDidFinishLoading / downloadDidFail per start.
// - Thread: `start` and `cancel` may be called from any thread; connection callbacks and delegate calls
//   come on the main queue. The object keeps itself alive while it downloads.
#pragma once

#include "deploy/DownloadDelegate.h"
#include "platform/core/Error.h"
#include "platform/net/URLConnection.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace deploy {

class Download : public platform::URLConnectionDelegate, public std::enable_shared_from_this<Download> {
public:
    static std::shared_ptr<Download> create(std::string filename, std::string url, std::weak_ptr<DownloadDelegate> delegate);
    ~Download() override;

    void start();
    void cancel();

    bool isDownloading() const;
    // Whether start() was called (a download that has ended stays started).
    bool hasStarted() const;
    const std::string& filename() const { return m_filename; }
    const std::string& url() const { return m_url; }
    std::int64_t expectedContentLength() const;
    std::int64_t progressContentLength() const;
    std::optional<platform::Error> error() const;

    // Creates the folder above `path` (with its parents); false with `error` set when it cannot.
    bool createFolderForPath(const std::string& path);
    // The temporary folder joined with "<prefix>-<new UUID>".
    static std::string pathForTemporaryFileWithPrefix(const std::string& prefix);
    // Where temporary files go: the application's temporary folder.
    static std::string temporaryDirectory();
    // The domain of the errors made here: the application's bundle identifier.
    static std::string errorDomain();

    void didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) override;
    void didReceiveData(platform::URLConnection&, const platform::Bytes& data) override;
    void didFinishLoading(platform::URLConnection&) override;
    void didFailWithError(platform::URLConnection&, const platform::Error& error) override;

private:
    Download(std::string filename, std::string url, std::weak_ptr<DownloadDelegate> delegate);
    void cleanupConnectionSuccessful(bool successful);
    platform::Error makeError(const std::string& message, const std::string& function, const std::string& key,
                              platform::Value value, long long code = -1) const;

    mutable std::recursive_mutex m_mutex;
    bool m_downloading = false;
    bool m_started = false;
    const std::string m_filename;
    const std::string m_url;
    std::weak_ptr<DownloadDelegate> m_delegate;
    std::int64_t m_expectedContentLength = -1;
    std::int64_t m_progressContentLength = 0;
    std::optional<platform::Error> m_error;
    int m_downloadStream = -1;
    std::shared_ptr<platform::URLConnection> m_connection;
    std::string m_tempFilename;
    std::shared_ptr<Download> m_keepAlive;
};

} // namespace deploy
