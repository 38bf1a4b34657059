#include "platform/device/CaptureVideoPreviewLayer.h"

#include "platform/ui/View.h"

namespace platform {

std::shared_ptr<CaptureVideoPreviewLayer> CaptureVideoPreviewLayer::create(const std::shared_ptr<CaptureSession>& session) {
    std::shared_ptr<CaptureVideoPreviewLayer> layer(new CaptureVideoPreviewLayer());
    layer->m_session = session;
    layer->setMasksToBounds(true);
    layer->setBackgroundColor(Color::black());
    if (session)
        session->addViewer(std::static_pointer_cast<CaptureFrameViewer>(layer));
    return layer;
}

void CaptureVideoPreviewLayer::setVideoGravity(const std::string& gravity) {
    if (gravity == kLayerVideoGravityResizeAspect || gravity == kLayerVideoGravityResizeAspectFill || gravity == kLayerVideoGravityResize)
        m_gravity = gravity;
}

void CaptureVideoPreviewLayer::setOrientation(int orientation) {
    if (orientation >= 1 && orientation <= 4)
        m_orientation = static_cast<CaptureVideoOrientation>(orientation);
}

Image::Ptr CaptureVideoPreviewLayer::currentImage() const {
    if (!m_frame)
        return nullptr;
    switch (m_orientation) {
    case CaptureVideoOrientation::Portrait: return m_frame->image(ImageOrientation::Right);
    case CaptureVideoOrientation::PortraitUpsideDown: return m_frame->image(ImageOrientation::Left);
    case CaptureVideoOrientation::LandscapeRight: return m_frame->image(ImageOrientation::Up);
    case CaptureVideoOrientation::LandscapeLeft: return m_frame->image(ImageOrientation::Down);
    }
    return nullptr;
}

ContentMode CaptureVideoPreviewLayer::contentsMode() const {
    if (m_gravity == kLayerVideoGravityResizeAspectFill)
        return ContentMode::ScaleAspectFill;
    if (m_gravity == kLayerVideoGravityResize)
        return ContentMode::ScaleToFill;
    return ContentMode::ScaleAspectFit;
}

void CaptureVideoPreviewLayer::showFrame(const std::shared_ptr<const SampleBuffer>& frame) {
    m_frame = frame;
    setCurrentImage(nullptr);  // counts a new picture; currentImage() turns the frame
}

} // namespace platform
