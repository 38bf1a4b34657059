#include "platform/device/CaptureSession.h"

#include "platform/runloop/RunLoop.h"

#include <algorithm>
#include <mutex>

namespace platform {

namespace {

const std::vector<std::string>& knownPresets() {
    static const std::vector<std::string> presets{
        kCaptureSessionPresetPhoto,         kCaptureSessionPresetHigh,          kCaptureSessionPresetMedium,
        kCaptureSessionPresetLow,           kCaptureSessionPreset352x288,       kCaptureSessionPreset640x480,
        kCaptureSessionPreset1280x720,      kCaptureSessionPreset1920x1080,     kCaptureSessionPresetiFrame960x540,
        kCaptureSessionPresetiFrame1280x720, kCaptureSessionPresetInputPriority,
    };
    return presets;
}

std::mutex s_presetMutex;
std::vector<std::string> s_unsupported;

template <class T>
bool contains(const std::vector<std::shared_ptr<T>>& list, const std::shared_ptr<T>& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

} // namespace

Result<std::shared_ptr<CaptureDeviceInput>> CaptureDeviceInput::create(const std::shared_ptr<CaptureDevice>& device) {
    if (!device)
        return Error(kCaptureErrorDomain, kCaptureErrorDeviceNotAvailable, "Cannot use a camera that does not exist");
    if (CaptureDevice::inputCreationFails())
        return Error(kCaptureErrorDomain, kCaptureErrorDeviceNotAvailable, "Cannot use " + device->localizedName());
    return std::make_shared<CaptureDeviceInput>(device);
}

std::shared_ptr<CaptureSession> CaptureSession::create() { return std::shared_ptr<CaptureSession>(new CaptureSession()); }

CaptureSession::~CaptureSession() {
    if (m_timer)
        m_timer->invalidate();
}

bool CaptureSession::canSetSessionPreset(const std::string& preset) const {
    if (std::find(knownPresets().begin(), knownPresets().end(), preset) == knownPresets().end())
        return false;
    std::lock_guard lock(s_presetMutex);
    return std::find(s_unsupported.begin(), s_unsupported.end(), preset) == s_unsupported.end();
}

bool CaptureSession::setSessionPreset(const std::string& preset) {
    if (!canSetSessionPreset(preset))
        return false;
    m_preset = preset;
    return true;
}

void CaptureSession::setUnsupportedPresets(std::vector<std::string> presets) {
    std::lock_guard lock(s_presetMutex);
    s_unsupported = std::move(presets);
}

bool CaptureSession::canAddInput(const std::shared_ptr<CaptureInput>& input) const {
    return input && !contains(m_inputs, input) && m_inputs.empty();
}

bool CaptureSession::addInput(const std::shared_ptr<CaptureInput>& input) {
    if (!canAddInput(input))
        return false;
    m_inputs.push_back(input);
    return true;
}

void CaptureSession::removeInput(const std::shared_ptr<CaptureInput>& input) { std::erase(m_inputs, input); }

bool CaptureSession::canAddOutput(const std::shared_ptr<CaptureOutput>& output) const {
    return output && !contains(m_outputs, output) && !output->session();
}

bool CaptureSession::addOutput(const std::shared_ptr<CaptureOutput>& output) {
    if (!canAddOutput(output))
        return false;
    m_outputs.push_back(output);
    output->m_session = weak_from_this();
    output->didMoveToSession(shared_from_this());
    return true;
}

void CaptureSession::removeOutput(const std::shared_ptr<CaptureOutput>& output) {
    if (!contains(m_outputs, output))
        return;
    std::erase(m_outputs, output);
    output->m_session.reset();
    output->didMoveToSession(nullptr);
}

std::shared_ptr<CaptureDevice> CaptureSession::device() const {
    for (const auto& input : m_inputs)
        if (auto deviceInput = std::dynamic_pointer_cast<CaptureDeviceInput>(input))
            return deviceInput->device();
    return nullptr;
}

void CaptureSession::startRunning() {
    RunLoop::main().assertIsCurrent();
    if (m_running)
        return;
    m_running = true;
    std::shared_ptr<CaptureDevice> camera = device();
    if (!camera)
        return;
    m_timer = RunLoop::main().scheduleRepeatingTimer(seconds(1.0 / camera->frameRate()), [weak = weak_from_this()](Timer&) {
        if (auto self = weak.lock())
            self->takeFrame();
    });
}

void CaptureSession::stopRunning() {
    m_running = false;
    if (m_timer)
        m_timer->invalidate();
    m_timer.reset();
}

void CaptureSession::takeFrame() {
    std::shared_ptr<CaptureDevice> camera = device();
    if (!m_running || !camera)
        return;
    const double time = std::chrono::duration<double>(Clock::current().now().time_since_epoch()).count();
    std::shared_ptr<const SampleBuffer> frame = camera->captureFrame(m_frames++, time);
    if (!frame)
        return;
    for (const auto& output : std::vector(m_outputs))
        if (output->connection().isEnabled())
            output->didCaptureFrame(frame);
    std::erase_if(m_viewers, [](const auto& viewer) { return viewer.expired(); });
    for (const auto& weak : std::vector(m_viewers))
        if (auto viewer = weak.lock())
            viewer->showFrame(frame);
}

} // namespace platform
