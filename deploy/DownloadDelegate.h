// What a Download tells its owner. Called on the main queue.
#pragma once

namespace deploy {

class Download;

class DownloadDelegate {
public:
    virtual ~DownloadDelegate() = default;
    virtual void downloadDidFinishLoading(Download&) {}
    virtual void downloadDidFail(Download&) {}
    virtual void downloadDidReceiveData(Download&) {}
};

} // namespace deploy
