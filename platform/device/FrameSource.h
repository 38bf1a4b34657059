// What a simulated camera sees: upright pictures, one per frame. A still image (PNG or JPEG), a folder
// of images shown in turn, a test card with a generated code, or pictures a test pushes.
//
// Guarantees:
// - fromDescription never fails: a description that cannot be read (a missing or corrupt file, an
//   empty folder, a bad code) gives a source without frames and one log line naming it.
// - Pictures are bounded: files above 16 megapixels or 32 MiB are refused, a folder gives at most
//   kMaxFolderPictures pictures.
// - A test card's code is drawn when its source is made, the card itself at the source's first frame.
// - Thread: fromDescription and testCard draw views: main thread. pictureForFrame is called by the
//   capture session on the main thread; PushedFrameSource::push from any thread.
#pragma once

#include "platform/core/Error.h"
#include "platform/ui/Image.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr double kFolderPictureSeconds = 1.0;
inline constexpr std::size_t kMaxFolderPictures = 64;
// A test card's size in pixels (portrait).
inline constexpr int kTestCardWidth = 360;
inline constexpr int kTestCardHeight = 480;

class FrameSource {
public:
    virtual ~FrameSource() = default;

    // The picture in front of the camera at frame `index` (counted from the session's start), or
    // nullptr when there is none at that moment.
    virtual Image::Ptr pictureForFrame(std::uint64_t index, double frameRate) = 0;
    // False for a source that will never give a frame.
    virtual bool hasFrames() const { return true; }

    // "qr:TEXT" or "ean13:DIGITS": a test card; a path to a PNG or JPEG file: that picture; a path to a
    // folder: its PNG and JPEG files by name, each shown for kFolderPictureSeconds. Relative paths are
    // taken from `baseFolder`.
    static std::shared_ptr<FrameSource> fromDescription(const std::string& description, const std::string& baseFolder = "");
    static std::shared_ptr<FrameSource> still(Image::Ptr picture);
    static std::shared_ptr<FrameSource> inTurn(std::vector<Image::Ptr> pictures, double secondsEach);

    // A white card with the code in the middle and its text below.
    static Result<Image::Ptr> testCard(std::string_view code);
};

// Frames a test hands in: each frame takes the next pushed picture; none left, no frame.
class PushedFrameSource : public FrameSource {
public:
    void push(Image::Ptr picture);
    std::size_t pendingCount() const;
    Image::Ptr pictureForFrame(std::uint64_t index, double frameRate) override;

private:
    mutable std::mutex m_mutex;
    std::deque<Image::Ptr> m_pictures;
};

} // namespace platform
