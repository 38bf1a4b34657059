// The device's cameras: the default video device and every video device with its position. Which
// cameras exist is configurable (none, back only, or back and front; tests and the device file), and
// so is what each one sees (a FrameSource), its frame rate and its frame size.
//
// A camera's sensor lies along the phone: a frame is landscape, and the upright picture in front of a
// phone held upright appears in it turned a quarter turn counter-clockwise (fitted, on black). Turning
// the frame a quarter turn clockwise (orientation Right) shows it upright again.
//
// Guarantees:
// - Thread: the configuration and the lookups from any thread (one lock); captureFrame on the main
//   thread (the capture session's timer).
// - setCameras also says whether the image picker offers the camera source.
// - Device inputs can be made to fail (setInputCreationFails), as on a device that refuses access.
#pragma once

#include "platform/device/FrameSource.h"
#include "platform/device/SampleBuffer.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr const char* kMediaTypeVideo = "vide";
inline constexpr const char* kMediaTypeAudio = "soun";

enum class CaptureDevicePosition { Unspecified = 0, Back = 1, Front = 2 };

struct CameraConfiguration {
    CaptureDevicePosition position = CaptureDevicePosition::Back;
    std::shared_ptr<FrameSource> frames;  // nullptr: no frames
    double frameRate = 30;                // frames per second, 1-120
    int width = 640;                      // sensor frame, pixels
    int height = 480;
};

class CaptureDevice {
public:
    static std::shared_ptr<CaptureDevice> defaultDevice(std::string_view mediaType);
    static std::vector<std::shared_ptr<CaptureDevice>> devices(std::string_view mediaType);

    // The cameras, at most one per position (a later one of the same position is dropped). Out-of-range
    // rates and sizes take the defaults above.
    static void setCameras(std::vector<CameraConfiguration> cameras);
    // A back and a front camera, neither with frames; inputs can be made.
    static void resetToDefaults();
    static void setInputCreationFails(bool fails);
    static bool inputCreationFails();

    const std::string& uniqueID() const { return m_uniqueID; }
    const std::string& localizedName() const { return m_name; }
    CaptureDevicePosition position() const { return m_config.position; }
    bool hasMediaType(std::string_view mediaType) const { return mediaType == kMediaTypeVideo; }
    double frameRate() const { return m_config.frameRate; }
    int frameWidth() const { return m_config.width; }
    int frameHeight() const { return m_config.height; }
    const std::shared_ptr<FrameSource>& frameSource() const { return m_config.frames; }

    // The sensor frame for frame `index`, or nullptr when the source shows nothing then. A picture seen
    // again (a still image) reuses its frame.
    std::shared_ptr<const SampleBuffer> captureFrame(std::uint64_t index, double time);

    explicit CaptureDevice(CameraConfiguration config);

private:
    CameraConfiguration m_config;
    std::string m_uniqueID;
    std::string m_name;
    Image::Ptr m_lastPicture;
    std::shared_ptr<const std::vector<std::uint32_t>> m_lastPixels;
};

} // namespace platform
