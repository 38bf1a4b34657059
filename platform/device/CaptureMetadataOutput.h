// A metadata output: recognises machine-readable codes in its session's frames (zxing-cpp, on a queue
// of its own) and hands the codes of the requested types to its delegate on the queue given with it.
//
// Guarantees:
// - The available types are every type the recognizer knows once the session has a camera input, and
//   none before. Requesting a type that is not available is refused; the request stays as it was.
// - Nothing is recognised while no type is requested or no delegate is set; a frame with no code of a
//   requested type is not reported at all.
// - One frame is looked at at a time: frames that arrive while the previous one is still being
//   recognised or delivered are skipped.
// - The delegate is held weakly. Set up on the main thread.
#pragma once

#include "platform/device/CaptureSession.h"
#include "platform/device/CodeRecognizer.h"
#include "platform/runloop/DispatchQueue.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// A recognised code: its type and its text.
struct MetadataMachineReadableCodeObject {
    std::string type;
    std::string stringValue;
    Rect bounds;  // in the frame, as fractions of its width and height
};

class CaptureMetadataOutputObjectsDelegate {
public:
    virtual ~CaptureMetadataOutputObjectsDelegate() = default;
    virtual void captureOutput(CaptureOutput& output, const std::vector<MetadataMachineReadableCodeObject>& metadataObjects,
                               CaptureConnection& connection) = 0;
};

class CaptureMetadataOutput : public CaptureOutput, public std::enable_shared_from_this<CaptureMetadataOutput> {
public:
    static std::shared_ptr<CaptureMetadataOutput> create();

    std::vector<std::string> availableMetadataObjectTypes() const;
    std::vector<std::string> metadataObjectTypes() const;
    Status setMetadataObjectTypes(std::vector<std::string> types);

    void setMetadataObjectsDelegate(const std::weak_ptr<CaptureMetadataOutputObjectsDelegate>& delegate,
                                    std::shared_ptr<DispatchQueue> queue);
    std::shared_ptr<CaptureMetadataOutputObjectsDelegate> metadataObjectsDelegate() const { return m_delegate.lock(); }

    // Frames looked at so far (for tests that wait for a frame without a code).
    std::uint64_t examinedFrameCount() const { return m_examined.load(); }

protected:
    void didCaptureFrame(const std::shared_ptr<const SampleBuffer>& frame) override;

private:
    CaptureMetadataOutput();

    mutable std::mutex m_mutex;  // guards m_types (read on the recognition queue)
    std::vector<std::string> m_types;
    std::weak_ptr<CaptureMetadataOutputObjectsDelegate> m_delegate;
    std::shared_ptr<DispatchQueue> m_queue;
    std::shared_ptr<DispatchQueue> m_recognitionQueue;
    std::shared_ptr<std::atomic<bool>> m_busy = std::make_shared<std::atomic<bool>>(false);
    std::atomic<std::uint64_t> m_examined{0};
};

} // namespace platform
