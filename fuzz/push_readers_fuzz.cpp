// Received packets are read field by field with the big-endian readers, whatever bytes the peer sent;
// stored files are deciphered and parsed as JSON. None of it may read outside its bytes or crash.
#include "push/PULSEAES.h"
#include "push/PULSEBufferReaders.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    // The first byte picks the starting offset's high bits, so reads near the 16-bit wrap are reached.
    std::uint16_t offset = size > 0 ? static_cast<std::uint16_t>(data[0] << 8) : 0;
    for (std::size_t field = 0; field < 64 && field < size; ++field) {
        switch (data[field] % 5) {
        case 0: (void)push::PULSEReadInt8(bytes, offset); break;
        case 1: (void)push::PULSEReadInt16(bytes, offset); break;
        case 2: (void)push::PULSEReadInt32(bytes, offset); break;
        case 3: (void)push::PULSEReadInt64(bytes, offset); break;
        default: (void)push::PULSEReadString(bytes, offset); break;
        }
    }
    (void)push::PULSEAES::decrypt(bytes, "0123456789abcdef0123456789abcdef");
    return 0;
}
