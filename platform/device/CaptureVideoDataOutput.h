// A video data output: hands each frame of its session, as a BGRA SampleBuffer, to a sample-buffer
// delegate on the queue given with it.
//
// Guarantees:
// - Video settings take only the BGRA pixel format (kPixelFormatType32BGRA under
//   kPixelBufferPixelFormatTypeKey); another format is refused and the settings stay.
// - Late frames: while the delegate still handles a frame, a new frame is dropped when
//   alwaysDiscardsLateVideoFrames is on (the default); when off, up to kMaxLateVideoFrames wait and
//   later ones are dropped. droppedFrameCount() counts them.
// - The delegate is held weakly; a freed delegate gets nothing. Set up on the main thread.
#pragma once

#include "platform/core/Value.h"
#include "platform/device/CaptureSession.h"
#include "platform/runloop/DispatchQueue.h"

#include <atomic>
#include <memory>

namespace platform {

inline constexpr int kMaxLateVideoFrames = 4;

class CaptureVideoDataOutput;

class CaptureVideoDataOutputSampleBufferDelegate {
public:
    virtual ~CaptureVideoDataOutputSampleBufferDelegate() = default;
    virtual void captureOutput(CaptureOutput& output, const SampleBuffer& sampleBuffer, CaptureConnection& connection) = 0;
};

class CaptureVideoDataOutput : public CaptureOutput, public std::enable_shared_from_this<CaptureVideoDataOutput> {
public:
    static std::shared_ptr<CaptureVideoDataOutput> create();

    const Dictionary& videoSettings() const { return m_settings; }
    Status setVideoSettings(const Dictionary& settings);
    bool alwaysDiscardsLateVideoFrames() const { return m_discardsLate; }
    void setAlwaysDiscardsLateVideoFrames(bool discards) { m_discardsLate = discards; }

    void setSampleBufferDelegate(const std::weak_ptr<CaptureVideoDataOutputSampleBufferDelegate>& delegate,
                                 std::shared_ptr<DispatchQueue> queue);
    std::shared_ptr<CaptureVideoDataOutputSampleBufferDelegate> sampleBufferDelegate() const { return m_delegate.lock(); }
    const std::shared_ptr<DispatchQueue>& sampleBufferCallbackQueue() const { return m_queue; }

    std::uint64_t deliveredFrameCount() const { return m_delivered.load(); }
    std::uint64_t droppedFrameCount() const { return m_dropped.load(); }

protected:
    void didCaptureFrame(const std::shared_ptr<const SampleBuffer>& frame) override;

private:
    CaptureVideoDataOutput();

    Dictionary m_settings;
    bool m_discardsLate = true;
    std::weak_ptr<CaptureVideoDataOutputSampleBufferDelegate> m_delegate;
    std::shared_ptr<DispatchQueue> m_queue;
    // Frames handed to the queue and not yet handled (the queue's blocks lower it).
    std::shared_ptr<std::atomic<int>> m_inFlight = std::make_shared<std::atomic<int>>(0);
    std::atomic<std::uint64_t> m_delivered{0};
    std::atomic<std::uint64_t> m_dropped{0};
};

} // namespace platform
