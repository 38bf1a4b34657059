#include "platform/device/CaptureDevice.h"

#include "platform/device/ImagePickerSources.h"
#include "platform/ui/CairoSupport.h"

#include <cmath>
#include <mutex>
#include <numbers>

namespace platform {

namespace {

struct Cameras {
    std::mutex mutex;
    std::vector<std::shared_ptr<CaptureDevice>> devices;
    bool inputFails = false;
};

Cameras& cameras() {
    static Cameras* s = [] {
        auto* c = new Cameras;
        c->devices = {std::make_shared<CaptureDevice>(CameraConfiguration{CaptureDevicePosition::Back}),
                      std::make_shared<CaptureDevice>(CameraConfiguration{CaptureDevicePosition::Front})};
        return c;
    }();
    return *s;
}

// The upright picture as the sensor sees it: turned a quarter turn counter-clockwise, fitted into the
// frame on black.
std::shared_ptr<const std::vector<std::uint32_t>> sensorFrame(const Image::Ptr& picture, int width, int height) {
    auto pixels = std::make_shared<std::vector<std::uint32_t>>(static_cast<std::size_t>(width) * height, 0xFF000000u);
    cairo::SurfacePtr surface(cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(pixels->data()), CAIRO_FORMAT_ARGB32,
                                                                  width, height, width * 4));
    cairo::ContextPtr cr(cairo_create(surface.get()));
    const Size shown = picture->size();
    const double pw = shown.width, ph = shown.height;
    if (pw > 0 && ph > 0) {
        const double fit = std::min(width / ph, height / pw);
        cairo_translate(cr.get(), width / 2.0, height / 2.0);
        cairo_rotate(cr.get(), -std::numbers::pi / 2);
        cairo::drawImage(cr.get(), picture, Rect(-pw * fit / 2, -ph * fit / 2, pw * fit, ph * fit));
    }
    cr.reset();
    cairo_surface_flush(surface.get());
    return pixels;
}

} // namespace

CaptureDevice::CaptureDevice(CameraConfiguration config) : m_config(std::move(config)) {
    if (!(m_config.frameRate >= 1 && m_config.frameRate <= 120))
        m_config.frameRate = 30;
    if (m_config.width < 16 || m_config.height < 16 || m_config.width > 4096 || m_config.height > 4096)
        m_config.width = 640, m_config.height = 480;
    const bool front = m_config.position == CaptureDevicePosition::Front;
    m_uniqueID = front ? "com.hybrid.camera.front" : "com.hybrid.camera.back";
    m_name = front ? "Front Camera" : "Back Camera";
}

std::shared_ptr<CaptureDevice> CaptureDevice::defaultDevice(std::string_view mediaType) {
    std::vector<std::shared_ptr<CaptureDevice>> all = devices(mediaType);
    for (const auto& device : all)
        if (device->position() == CaptureDevicePosition::Back)
            return device;
    return all.empty() ? nullptr : all.front();
}

std::vector<std::shared_ptr<CaptureDevice>> CaptureDevice::devices(std::string_view mediaType) {
    if (mediaType != kMediaTypeVideo)
        return {};
    std::lock_guard lock(cameras().mutex);
    return cameras().devices;
}

void CaptureDevice::setCameras(std::vector<CameraConfiguration> configs) {
    std::vector<std::shared_ptr<CaptureDevice>> made;
    for (CameraConfiguration& config : configs) {
        bool taken = false;
        for (const auto& device : made)
            taken = taken || device->position() == config.position;
        if (!taken)
            made.push_back(std::make_shared<CaptureDevice>(std::move(config)));
    }
    ImagePickerSources::setSourceTypeAvailable(ImagePickerSourceType::Camera, !made.empty());
    std::lock_guard lock(cameras().mutex);
    cameras().devices = std::move(made);
}

void CaptureDevice::resetToDefaults() {
    setCameras({CameraConfiguration{CaptureDevicePosition::Back}, CameraConfiguration{CaptureDevicePosition::Front}});
    setInputCreationFails(false);
}

void CaptureDevice::setInputCreationFails(bool fails) {
    std::lock_guard lock(cameras().mutex);
    cameras().inputFails = fails;
}

bool CaptureDevice::inputCreationFails() {
    std::lock_guard lock(cameras().mutex);
    return cameras().inputFails;
}

std::shared_ptr<const SampleBuffer> CaptureDevice::captureFrame(std::uint64_t index, double time) {
    if (!m_config.frames)
        return nullptr;
    Image::Ptr picture = m_config.frames->pictureForFrame(index, m_config.frameRate);
    if (!picture)
        return nullptr;
    if (picture != m_lastPicture) {
        m_lastPixels = sensorFrame(picture, m_config.width, m_config.height);
        m_lastPicture = picture;
    }
    return std::make_shared<const SampleBuffer>(m_config.width, m_config.height, m_lastPixels, time);
}

} // namespace platform
