// A capture session: a camera input feeding outputs (video frames, recognised codes) and preview
// layers. While it runs, it takes a frame from its camera at the camera's frame rate on the platform
// clock (a main run-loop timer) and hands it to every output and preview layer.
//
// Guarantees:
// - Main thread: the session, its inputs and outputs are made and used there; outputs then deliver to
//   their delegates on the queues they were given.
// - Presets are the platform's names; every known one can be set unless tests take it away
//   (setUnsupportedPresets). An unknown name cannot be set.
// - One camera input per session; an output belongs to one session at a time.
#pragma once

#include "platform/core/Error.h"
#include "platform/device/CaptureDevice.h"
#include "platform/runloop/Timer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char* kCaptureSessionPresetPhoto = "AVCaptureSessionPresetPhoto";
inline constexpr const char* kCaptureSessionPresetHigh = "AVCaptureSessionPresetHigh";
inline constexpr const char* kCaptureSessionPresetMedium = "AVCaptureSessionPresetMedium";
inline constexpr const char* kCaptureSessionPresetLow = "AVCaptureSessionPresetLow";
inline constexpr const char* kCaptureSessionPreset352x288 = "AVCaptureSessionPreset352x288";
inline constexpr const char* kCaptureSessionPreset640x480 = "AVCaptureSessionPreset640x480";
inline constexpr const char* kCaptureSessionPreset1280x720 = "AVCaptureSessionPreset1280x720";
inline constexpr const char* kCaptureSessionPreset1920x1080 = "AVCaptureSessionPreset1920x1080";
inline constexpr const char* kCaptureSessionPresetiFrame960x540 = "AVCaptureSessionPresetiFrame960x540";
inline constexpr const char* kCaptureSessionPresetiFrame1280x720 = "AVCaptureSessionPresetiFrame1280x720";
inline constexpr const char* kCaptureSessionPresetInputPriority = "AVCaptureSessionPresetInputPriority";

inline constexpr const char* kCaptureErrorDomain = "AVFoundationErrorDomain";
inline constexpr long long kCaptureErrorDeviceNotAvailable = -11814;

class CaptureSession;

class CaptureInput {
public:
    virtual ~CaptureInput() = default;
};

class CaptureDeviceInput : public CaptureInput {
public:
    // Fails (kCaptureErrorDomain) without a device, or when the device refuses inputs.
    static Result<std::shared_ptr<CaptureDeviceInput>> create(const std::shared_ptr<CaptureDevice>& device);
    const std::shared_ptr<CaptureDevice>& device() const { return m_device; }

    explicit CaptureDeviceInput(std::shared_ptr<CaptureDevice> device) : m_device(std::move(device)) {}

private:
    std::shared_ptr<CaptureDevice> m_device;
};

// The link between the session's input and an output.
class CaptureConnection {
public:
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }

private:
    bool m_enabled = true;
};

class CaptureOutput {
public:
    virtual ~CaptureOutput() = default;
    std::shared_ptr<CaptureSession> session() const { return m_session.lock(); }
    CaptureConnection& connection() { return m_connection; }

protected:
    friend class CaptureSession;
    // A new frame (main thread).
    virtual void didCaptureFrame(const std::shared_ptr<const SampleBuffer>& frame) = 0;
    // Added to a session, or removed (nullptr).
    virtual void didMoveToSession(const std::shared_ptr<CaptureSession>&) {}

    std::weak_ptr<CaptureSession> m_session;
    CaptureConnection m_connection;
};

// Something that shows a session's frames (the preview layer).
class CaptureFrameViewer {
public:
    virtual ~CaptureFrameViewer() = default;
    virtual void showFrame(const std::shared_ptr<const SampleBuffer>& frame) = 0;
};

class CaptureSession : public std::enable_shared_from_this<CaptureSession> {
public:
    static std::shared_ptr<CaptureSession> create();
    ~CaptureSession();

    const std::string& sessionPreset() const { return m_preset; }
    bool canSetSessionPreset(const std::string& preset) const;
    // False (and nothing changes) when the preset cannot be set.
    bool setSessionPreset(const std::string& preset);
    // Tests: presets that canSetSessionPreset refuses (empty: none).
    static void setUnsupportedPresets(std::vector<std::string> presets);

    bool canAddInput(const std::shared_ptr<CaptureInput>& input) const;
    bool addInput(const std::shared_ptr<CaptureInput>& input);
    void removeInput(const std::shared_ptr<CaptureInput>& input);
    const std::vector<std::shared_ptr<CaptureInput>>& inputs() const { return m_inputs; }
    bool canAddOutput(const std::shared_ptr<CaptureOutput>& output) const;
    bool addOutput(const std::shared_ptr<CaptureOutput>& output);
    void removeOutput(const std::shared_ptr<CaptureOutput>& output);
    const std::vector<std::shared_ptr<CaptureOutput>>& outputs() const { return m_outputs; }
    // The camera of the device input, if any.
    std::shared_ptr<CaptureDevice> device() const;

    void startRunning();
    void stopRunning();
    bool isRunning() const { return m_running; }
    // Frames taken since the session was made.
    std::uint64_t frameCount() const { return m_frames; }

    // Preview layers register here (held weakly).
    void addViewer(const std::weak_ptr<CaptureFrameViewer>& viewer) { m_viewers.push_back(viewer); }

private:
    CaptureSession() = default;
    void takeFrame();

    std::string m_preset = kCaptureSessionPresetHigh;
    std::vector<std::shared_ptr<CaptureInput>> m_inputs;
    std::vector<std::shared_ptr<CaptureOutput>> m_outputs;
    std::vector<std::weak_ptr<CaptureFrameViewer>> m_viewers;
    std::shared_ptr<Timer> m_timer;
    bool m_running = false;
    std::uint64_t m_frames = 0;
};

} // namespace platform
