#include "deploy/Download.h"

#include "platform/files/AppFolders.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/system/Bundle.h"
#include "platform/text/Text.h"
#include "platform/text/URL.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace deploy {

namespace {

platform::Error posixError(int code, const std::string& path) {
    platform::Error error(platform::kPOSIXErrorDomain, code, std::strerror(code));
    error.userInfo.set(platform::kFilePathErrorKey, path);
    return error;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Copies `from` into a new file beside `to` and renames it over `to`: `to` is either the old file or the
// whole new one, at every moment.
std::optional<platform::Error> copyThenRename(const std::string& from, const std::string& to) {
    std::string sibling = to + ".download-" + std::to_string(::getpid());
    std::error_code ec;
    std::filesystem::copy_file(from, sibling, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        std::filesystem::remove(sibling, ec);
        return posixError(EIO, to);
    }
    int fd = ::open(sibling.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    if (::rename(sibling.c_str(), to.c_str()) != 0) {
        int error = errno;
        ::unlink(sibling.c_str());
        return posixError(error, to);
    }
    return std::nullopt;
}

} // namespace

std::shared_ptr<Download> Download::create(std::string filename, std::string url, std::weak_ptr<DownloadDelegate> delegate) {
    return std::shared_ptr<Download>(new Download(std::move(filename), std::move(url), std::move(delegate)));
}

Download::Download(std::string filename, std::string url, std::weak_ptr<DownloadDelegate> delegate)
    : m_filename(std::move(filename)), m_url(std::move(url)), m_delegate(std::move(delegate)) {}

Download::~Download() {
    if (m_connection)
        m_connection->cancel();
    if (m_downloadStream >= 0)
        ::close(m_downloadStream);
    if (!m_tempFilename.empty())
        ::unlink(m_tempFilename.c_str());
}

bool Download::isDownloading() const {
    std::lock_guard lock(m_mutex);
    return m_downloading;
}

bool Download::hasStarted() const {
    std::lock_guard lock(m_mutex);
    return m_started;
}

std::int64_t Download::expectedContentLength() const {
    std::lock_guard lock(m_mutex);
    return m_expectedContentLength;
}

std::int64_t Download::progressContentLength() const {
    std::lock_guard lock(m_mutex);
    return m_progressContentLength;
}

std::optional<platform::Error> Download::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::string Download::temporaryDirectory() { return platform::AppFolders::current().tmp(); }

std::string Download::pathForTemporaryFileWithPrefix(const std::string& prefix) {
    return temporaryDirectory() + "/" + prefix + "-" + platform::newUUIDString();
}

platform::Error Download::makeError(const std::string& message, const std::string& function, const std::string& key,
                                    platform::Value value, long long code) const {
    platform::Error error;
    error.domain = errorDomain();
    error.code = code;
    error.userInfo.set("message", message);
    error.userInfo.set("function", function);
    error.userInfo.set(key, std::move(value));
    return error;
}

std::string Download::errorDomain() { return platform::Bundle::main().bundleIdentifier(); }

void Download::start() {
    std::shared_ptr<platform::URLConnection> connection;
    {
        std::lock_guard lock(m_mutex);
        m_downloading = true;
        m_started = true;
        m_expectedContentLength = -1;
        m_progressContentLength = 0;
        m_error.reset();
        m_tempFilename = pathForTemporaryFileWithPrefix("downloads");
        m_downloadStream = ::open(m_tempFilename.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_downloadStream < 0) {
            m_error = makeError("Unable to create NSOutputStream", "-[Download start]", "path", m_tempFilename);
        } else if (!platform::URL::fromString(m_url)) {
            m_error = makeError("Unable to create URL", "-[Download start]", "URL", m_url);
        } else {
            connection = platform::URLConnection::make(platform::URLRequest(m_url), weak_from_this(), false);
            if (!connection)
                m_error = makeError("Unable to create NSURLConnection", "-[Download start]", "NSURLRequest", m_url);
        }
        if (connection) {
            connection->setDeliveryTarget(
                [](std::function<void()> work) { platform::DispatchQueue::main()->async(std::move(work)); });
            m_connection = connection;
            m_keepAlive = shared_from_this();
        }
    }
    if (!connection) {
        cleanupConnectionSuccessful(false);
        return;
    }
    connection->start();
}

void Download::cancel() { cleanupConnectionSuccessful(false); }

void Download::didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_downloading)
            return;
        if (!response.isHTTP()) {
            m_expectedContentLength = -1;
            return;
        }
        if (response.statusCode() == 200) {
            m_expectedContentLength = response.expectedContentLength();
            return;
        }
        if (response.statusCode() < 400)
            return;
        m_error = makeError("bad HTTP response status code", "-[Download connection:didReceiveResponse:]",
                            "NSHTTPURLResponse",
                            platform::Dictionary{{"URL", response.urlString()}, {"statusCode", response.statusCode()}},
                            response.statusCode());
    }
    cleanupConnectionSuccessful(false);
}

void Download::didReceiveData(platform::URLConnection&, const platform::Bytes& data) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_downloading || m_downloadStream < 0)
            return;
        if (!writeAll(m_downloadStream, data.data(), data.size())) {
            m_error = posixError(errno, m_tempFilename);
        } else {
            m_progressContentLength += static_cast<std::int64_t>(data.size());
        }
    }
    if (error()) {
        cleanupConnectionSuccessful(false);
        return;
    }
    if (auto delegate = m_delegate.lock())
        delegate->downloadDidReceiveData(*this);
}

void Download::didFinishLoading(platform::URLConnection&) {
    if (isDownloading())
        cleanupConnectionSuccessful(true);
}

void Download::didFailWithError(platform::URLConnection&, const platform::Error& error) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_downloading)
            return;
        m_error = error;
    }
    cleanupConnectionSuccessful(false);
}

bool Download::createFolderForPath(const std::string& path) {
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty())
        return true;
    struct stat st{};
    if (::stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        std::lock_guard lock(m_mutex);
        m_error = makeError("Unable to create directory; file exists by that name", "-[Download createFolderForPath:]",
                            "folder", folder);
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        std::lock_guard lock(m_mutex);
        m_error = posixError(ec.value(), folder);
        return false;
    }
    return true;
}

void Download::cleanupConnectionSuccessful(bool successful) {
    std::shared_ptr<Download> keepAlive = shared_from_this();
    std::shared_ptr<platform::URLConnection> connection;
    std::string temporary;
    {
        std::lock_guard lock(m_mutex);
        connection = std::move(m_connection);
        m_connection.reset();
        if (m_downloadStream >= 0) {
            if (successful && ::fsync(m_downloadStream) != 0 && errno != EINVAL) {
                m_error = posixError(errno, m_tempFilename);
                successful = false;
            }
            if (::close(m_downloadStream) != 0 && successful) {
                m_error = posixError(errno, m_tempFilename);
                successful = false;
            }
            m_downloadStream = -1;
        }
        m_downloading = false;
        temporary = std::move(m_tempFilename);
        m_tempFilename.clear();
        m_keepAlive.reset();
    }
    if (connection && !successful)
        connection->cancel();

    if (successful && !createFolderForPath(m_filename))
        successful = false;
    if (successful) {
        // The whole body is in the temporary file: move it over the target in one step, so that the target
        // is the old file or the new one, never a part of either.
        if (::rename(temporary.c_str(), m_filename.c_str()) != 0) {
            int error = errno;
            std::optional<platform::Error> failure =
                error == EXDEV ? copyThenRename(temporary, m_filename) : posixError(error, m_filename);
            if (failure) {
                std::lock_guard lock(m_mutex);
                m_error = failure;
                successful = false;
            }
        } else {
            temporary.clear();
        }
    }
    if (!temporary.empty())
        ::unlink(temporary.c_str());

    if (auto delegate = m_delegate.lock()) {
        if (successful)
            delegate->downloadDidFinishLoading(*this);
        else
            delegate->downloadDidFail(*this);
    }
}

} // namespace deploy
