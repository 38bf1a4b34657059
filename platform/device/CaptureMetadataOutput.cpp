#include "platform/device/CaptureMetadataOutput.h"

#include <algorithm>

namespace platform {

std::shared_ptr<CaptureMetadataOutput> CaptureMetadataOutput::create() {
    return std::shared_ptr<CaptureMetadataOutput>(new CaptureMetadataOutput());
}

CaptureMetadataOutput::CaptureMetadataOutput() : m_recognitionQueue(DispatchQueue::createSerial("com.hybrid.capture.metadata")) {}

std::vector<std::string> CaptureMetadataOutput::availableMetadataObjectTypes() const {
    auto owner = session();
    return owner && owner->device() ? recognizableCodeTypes() : std::vector<std::string>{};
}

std::vector<std::string> CaptureMetadataOutput::metadataObjectTypes() const {
    std::lock_guard lock(m_mutex);
    return m_types;
}

Status CaptureMetadataOutput::setMetadataObjectTypes(std::vector<std::string> types) {
    const std::vector<std::string> available = availableMetadataObjectTypes();
    for (const std::string& type : types)
        if (std::find(available.begin(), available.end(), type) == available.end())
            return Error(kCaptureErrorDomain, -11800, "Unsupported type found (\"" + type + "\"): use availableMetadataObjectTypes");
    std::lock_guard lock(m_mutex);
    m_types = std::move(types);
    return {};
}

void CaptureMetadataOutput::setMetadataObjectsDelegate(const std::weak_ptr<CaptureMetadataOutputObjectsDelegate>& delegate,
                                                       std::shared_ptr<DispatchQueue> queue) {
    m_delegate = delegate;
    m_queue = queue ? std::move(queue) : DispatchQueue::main();
}

void CaptureMetadataOutput::didCaptureFrame(const std::shared_ptr<const SampleBuffer>& frame) {
    std::vector<std::string> types = metadataObjectTypes();
    if (types.empty() || m_delegate.expired() || !m_queue)
        return;
    bool idle = false;
    if (!m_busy->compare_exchange_strong(idle, true))
        return;
    m_recognitionQueue->async([weakSelf = weak_from_this(), delegate = m_delegate, queue = m_queue, busy = m_busy, frame,
                               types = std::move(types)] {
        frame->lockBaseAddress();
        std::vector<RecognizedCode> codes = recognizeCodes(frame->baseAddress(), frame->width(), frame->height(), frame->bytesPerRow(), types);
        frame->unlockBaseAddress();
        if (auto self = weakSelf.lock())
            ++self->m_examined;
        if (codes.empty()) {
            busy->store(false);
            return;
        }
        std::vector<MetadataMachineReadableCodeObject> objects;
        for (RecognizedCode& code : codes)
            objects.push_back({std::move(code.type), std::move(code.stringValue),
                               Rect(code.bounds.minX() / frame->width(), code.bounds.minY() / frame->height(),
                                    code.bounds.width() / frame->width(), code.bounds.height() / frame->height())});
        queue->async([weakSelf, delegate, busy, objects = std::move(objects)] {
            auto self = weakSelf.lock();
            if (auto target = delegate.lock(); target && self)
                target->captureOutput(*self, objects, self->connection());
            busy->store(false);
        });
    });
}

} // namespace platform
