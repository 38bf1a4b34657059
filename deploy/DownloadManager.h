// A list of downloads run at most `maxConcurrentDownloads` (4) at a time, in the order added.
//
// When the list becomes empty the delegate hears once that all are done: "finished" when every download
// of the batch succeeded, "error" when any of them failed or the batch was cancelled.
//
// Thread: any thread may add, start or cancel; downloads report on the main queue. The list is guarded
// by a lock; delegate calls are made while it is held, so a delegate must not block on another thread
// that uses the same manager.
#pragma once

#include "deploy/Download.h"
#include "deploy/DownloadDelegate.h"
#include "deploy/DownloadManagerDelegate.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace deploy {

class DownloadManager : public DownloadDelegate, public std::enable_shared_from_this<DownloadManager> {
public:
    static std::shared_ptr<DownloadManager> create(std::weak_ptr<DownloadManagerDelegate> delegate = {});
    ~DownloadManager() override;

    // Appends a download of `url` into the file `filename` and starts what may start.
    void addDownloadWithFilename(const std::string& filename, const std::string& url);
    void start() { tryDownloading(true); }
    void cancelAll();
    void tryDownloading(bool success);
    std::size_t countUnstartedDownloads() const;
    std::size_t countActiveDownloads() const;
    void informDelegateThatDownloadsAreDone(bool success);

    std::int64_t maxConcurrentDownloads() const { return m_maxConcurrentDownloads; }
    void setMaxConcurrentDownloads(std::int64_t count) { m_maxConcurrentDownloads = count; }
    std::vector<std::shared_ptr<Download>> downloads() const;

    void downloadDidFinishLoading(Download& download) override;
    void downloadDidFail(Download& download) override;
    void downloadDidReceiveData(Download& download) override;

private:
    explicit DownloadManager(std::weak_ptr<DownloadManagerDelegate> delegate);
    void remove(Download& download);

    mutable std::recursive_mutex m_mutex;
    bool m_cancelAllInProgress = false;
    bool m_anyFailed = false;
    std::int64_t m_maxConcurrentDownloads = 4;
    std::vector<std::shared_ptr<Download>> m_downloads;
    std::weak_ptr<DownloadManagerDelegate> m_delegate;
};

} // namespace deploy
