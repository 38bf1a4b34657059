// What a DownloadManager tells its owner; every operation is optional. Called on the main queue (or on
// the thread that called the manager, for downloads that fail at their start).
#pragma once

namespace deploy {

class Download;
class DownloadManager;

class DownloadManagerDelegate {
public:
    virtual ~DownloadManagerDelegate() = default;
    virtual void didFinishLoadingAllForManager(DownloadManager&) {}
    virtual void didErrorLoadingAllForManager(DownloadManager&) {}
    virtual void downloadManagerDidFinishLoading(DownloadManager&, Download&) {}
    virtual void downloadManagerDidFail(DownloadManager&, Download&) {}
    virtual void downloadManagerDidReceiveData(DownloadManager&, Download&) {}
};

} // namespace deploy
