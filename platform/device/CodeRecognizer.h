// Machine-readable codes in pictures, through zxing-cpp: recognising them in BGRA frames, and drawing
// them (for test cards). Types are the platform's metadata object type names.
//
// Thread: pure functions; any thread.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Geometry.h"
#include "platform/ui/Image.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr const char* kMetadataObjectTypeQRCode = "org.iso.QRCode";
inline constexpr const char* kMetadataObjectTypeEAN13Code = "org.gs1.EAN-13";
inline constexpr const char* kMetadataObjectTypeEAN8Code = "org.gs1.EAN-8";
inline constexpr const char* kMetadataObjectTypeUPCECode = "org.gs1.UPC-E";
inline constexpr const char* kMetadataObjectTypeCode39Code = "org.iso.Code39";
inline constexpr const char* kMetadataObjectTypeCode93Code = "com.intermec.Code93";
inline constexpr const char* kMetadataObjectTypeCode128Code = "org.iso.Code128";
inline constexpr const char* kMetadataObjectTypePDF417Code = "org.iso.PDF417";
inline constexpr const char* kMetadataObjectTypeAztecCode = "org.iso.Aztec";
inline constexpr const char* kMetadataObjectTypeDataMatrixCode = "org.iso.DataMatrix";
inline constexpr const char* kMetadataObjectTypeInterleaved2of5Code = "org.ansi.Interleaved2of5";

struct RecognizedCode {
    std::string type;         // one of the types above
    std::string stringValue;  // UTF-8
    Rect bounds;              // in frame pixels
};

// Every type recognizeCodes can report.
const std::vector<std::string>& recognizableCodeTypes();

// The codes of the requested types in a BGRA frame (rows of bytesPerRow bytes). An EAN-13 code whose
// first digit is 0 is reported as EAN-13 (not UPC-A), as the platform does.
std::vector<RecognizedCode> recognizeCodes(const std::uint8_t* bgra, int width, int height, std::size_t bytesPerRow,
                                           const std::vector<std::string>& types);

// A black-on-white picture of a code, fitted into width x height pixels with a quiet zone: "qr:TEXT"
// (a QR code of the text) or "ean13:DIGITS" (12 digits, or 13 with a correct check digit).
Result<Image::Ptr> drawCode(std::string_view spec, int width, int height);

} // namespace platform
