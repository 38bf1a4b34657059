// A layer showing the latest frame of a capture session, turned for the orientation it is set to and
// fitted into its bounds by its video gravity.
//
// Orientations are the platform's video orientations: 1 portrait (the frame turned a quarter turn
// clockwise: a phone held upright), 2 portrait upside down, 3 landscape right (the frame as the sensor
// gives it), 4 landscape left. Other values are ignored.
//
// Guarantees: main thread; the layer holds its session; the session holds the layer weakly.
#pragma once

#include "platform/device/CaptureSession.h"
#include "platform/ui/Layer.h"

#include <memory>
#include <string>

namespace platform {

inline constexpr const char* kLayerVideoGravityResizeAspect = "AVLayerVideoGravityResizeAspect";
inline constexpr const char* kLayerVideoGravityResizeAspectFill = "AVLayerVideoGravityResizeAspectFill";
inline constexpr const char* kLayerVideoGravityResize = "AVLayerVideoGravityResize";

enum class CaptureVideoOrientation { Portrait = 1, PortraitUpsideDown = 2, LandscapeRight = 3, LandscapeLeft = 4 };

class CaptureVideoPreviewLayer : public LiveImageLayer, public CaptureFrameViewer {
public:
    static std::shared_ptr<CaptureVideoPreviewLayer> create(const std::shared_ptr<CaptureSession>& session);

    const std::shared_ptr<CaptureSession>& session() const { return m_session; }
    const std::string& videoGravity() const { return m_gravity; }
    // Unknown names are ignored.
    void setVideoGravity(const std::string& gravity);
    bool isOrientationSupported() const { return true; }
    CaptureVideoOrientation orientation() const { return m_orientation; }
    void setOrientation(int orientation);

    // The latest frame as the sensor gave it (nullptr before the first one).
    const std::shared_ptr<const SampleBuffer>& latestFrame() const { return m_frame; }
    // The latest frame, turned (nullptr before the first frame).
    Image::Ptr currentImage() const override;
    ContentMode contentsMode() const override;
    void showFrame(const std::shared_ptr<const SampleBuffer>& frame) override;

private:
    CaptureVideoPreviewLayer() = default;
    std::shared_ptr<CaptureSession> m_session;
    std::string m_gravity = kLayerVideoGravityResizeAspect;
    CaptureVideoOrientation m_orientation = CaptureVideoOrientation::Portrait;
    std::shared_ptr<const SampleBuffer> m_frame;
};

} // namespace platform
