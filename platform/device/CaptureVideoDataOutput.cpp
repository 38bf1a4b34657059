#include "platform/device/CaptureVideoDataOutput.h"

namespace platform {

std::shared_ptr<CaptureVideoDataOutput> CaptureVideoDataOutput::create() {
    return std::shared_ptr<CaptureVideoDataOutput>(new CaptureVideoDataOutput());
}

CaptureVideoDataOutput::CaptureVideoDataOutput() : m_settings{{kPixelBufferPixelFormatTypeKey, kPixelFormatType32BGRA}} {}

Status CaptureVideoDataOutput::setVideoSettings(const Dictionary& settings) {
    const Value& format = settings[kPixelBufferPixelFormatTypeKey];
    if (!format.isNull() && !(format.getInteger() && *format.getInteger() == kPixelFormatType32BGRA))
        return Error(kCaptureErrorDomain, -11800, "Only the BGRA pixel format (0x42475241) is offered");
    m_settings = Dictionary{{kPixelBufferPixelFormatTypeKey, kPixelFormatType32BGRA}};
    return {};
}

void CaptureVideoDataOutput::setSampleBufferDelegate(const std::weak_ptr<CaptureVideoDataOutputSampleBufferDelegate>& delegate,
                                                     std::shared_ptr<DispatchQueue> queue) {
    m_delegate = delegate;
    m_queue = queue ? std::move(queue) : DispatchQueue::main();
}

void CaptureVideoDataOutput::didCaptureFrame(const std::shared_ptr<const SampleBuffer>& frame) {
    if (m_delegate.expired() || !m_queue)
        return;
    const int waiting = m_inFlight->load();
    if (waiting > 0 && (m_discardsLate || waiting >= kMaxLateVideoFrames)) {
        ++m_dropped;
        return;
    }
    m_inFlight->fetch_add(1);
    ++m_delivered;
    m_queue->async([weakSelf = weak_from_this(), delegate = m_delegate, frame, inFlight = m_inFlight] {
        auto self = weakSelf.lock();
        if (auto target = delegate.lock(); target && self)
            target->captureOutput(*self, *frame, self->connection());
        inFlight->fetch_sub(1);
    });
}

} // namespace platform
