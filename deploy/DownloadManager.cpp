#include "deploy/DownloadManager.h"

#include <algorithm>

namespace deploy {

std::shared_ptr<DownloadManager> DownloadManager::create(std::weak_ptr<DownloadManagerDelegate> delegate) {
    return std::shared_ptr<DownloadManager>(new DownloadManager(std::move(delegate)));
}

DownloadManager::DownloadManager(std::weak_ptr<DownloadManagerDelegate> delegate) : m_delegate(std::move(delegate)) {}

DownloadManager::~DownloadManager() = default;

void DownloadManager::addDownloadWithFilename(const std::string& filename, const std::string& url) {
    std::lock_guard lock(m_mutex);
    m_downloads.push_back(Download::create(filename, url, weak_from_this()));
    start();
}

std::vector<std::shared_ptr<Download>> DownloadManager::downloads() const {
    std::lock_guard lock(m_mutex);
    return m_downloads;
}

std::size_t DownloadManager::countActiveDownloads() const {
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(
        std::count_if(m_downloads.begin(), m_downloads.end(), [](const auto& d) { return d->isDownloading(); }));
}

// A download that has ended may still be in the list for a moment (its report waits for the lock on the
// main thread); it counts as neither unstarted nor active, so it is never started twice.
std::size_t DownloadManager::countUnstartedDownloads() const {
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(
        std::count_if(m_downloads.begin(), m_downloads.end(), [](const auto& d) { return !d->hasStarted(); }));
}

void DownloadManager::tryDownloading(bool success) {
    std::lock_guard lock(m_mutex);
    if (m_downloads.empty()) {
        informDelegateThatDownloadsAreDone(success);
        return;
    }
    while (countUnstartedDownloads() > 0) {
        if (static_cast<std::int64_t>(countActiveDownloads()) >= m_maxConcurrentDownloads)
            return;
        auto next = std::find_if(m_downloads.begin(), m_downloads.end(), [](const auto& d) { return !d->hasStarted(); });
        if (next == m_downloads.end())
            return;
        std::shared_ptr<Download> download = *next;
        // A download that cannot start reports its failure (and leaves the list) inside start().
        download->start();
    }
}

void DownloadManager::informDelegateThatDownloadsAreDone(bool success) {
    std::lock_guard lock(m_mutex);
    // The batch succeeded only when none of its downloads failed, not just the last one.
    bool allSucceeded = success && !m_anyFailed;
    m_anyFailed = false;
    auto delegate = m_delegate.lock();
    if (!delegate)
        return;
    if (allSucceeded)
        delegate->didFinishLoadingAllForManager(*this);
    else
        delegate->didErrorLoadingAllForManager(*this);
}

void DownloadManager::cancelAll() {
    std::lock_guard lock(m_mutex);
    m_cancelAllInProgress = true;
    while (!m_downloads.empty()) {
        std::shared_ptr<Download> first = m_downloads.front();
        first->cancel();
        remove(*first);  // in case the download's delegate was not this manager any more
    }
    m_cancelAllInProgress = false;
    informDelegateThatDownloadsAreDone(false);
}

void DownloadManager::remove(Download& download) {
    std::lock_guard lock(m_mutex);
    auto it = std::find_if(m_downloads.begin(), m_downloads.end(), [&](const auto& d) { return d.get() == &download; });
    if (it != m_downloads.end())
        m_downloads.erase(it);
}

void DownloadManager::downloadDidFinishLoading(Download& download) {
    std::lock_guard lock(m_mutex);
    std::shared_ptr<DownloadManager> keepAlive = shared_from_this();
    remove(download);
    if (auto delegate = m_delegate.lock())
        delegate->downloadManagerDidFinishLoading(*this, download);
    tryDownloading(true);
}

void DownloadManager::downloadDidFail(Download& download) {
    std::lock_guard lock(m_mutex);
    std::shared_ptr<DownloadManager> keepAlive = shared_from_this();
    remove(download);
    m_anyFailed = true;
    if (auto delegate = m_delegate.lock())
        delegate->downloadManagerDidFail(*this, download);
    if (!m_cancelAllInProgress)
        tryDownloading(false);
}

void DownloadManager::downloadDidReceiveData(Download& download) {
    if (auto delegate = m_delegate.lock())
        delegate->downloadManagerDidReceiveData(*this, download);
}

} // namespace deploy
