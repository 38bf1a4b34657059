// Decoding a barcode from one camera frame: the centre square of a BGRA frame, turned to grey and a
// quarter turn clockwise (the sensor lies along the phone, so this shows the picture upright), then read
// by zxing-cpp in nine formats. Also the format numbers and names the page hears.
//
// Guarantees:
// - Pure functions; any thread.
// - Frame geometry comes from outside: a frame whose rows are shorter than 4 x width bytes, whose buffer
//   is shorter than its rows, or whose square comes to side 0 gives no square and is never read.
// - No code in the square is an empty answer, not an error; so is decoded text that is not UTF-8.
#pragma once

#include <ZXing/BarcodeFormat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plugins {

// The format numbers of the scanner's answers, 1-9, in the order they are tried.
enum class BarcodeFormatNumber {
    QRCode = 1, DataMatrix = 2, UPCE = 3, UPCA = 4, EAN8 = 5, EAN13 = 6, Code128 = 7, Code39 = 8, ITF = 9,
};

// "QR_CODE", "DATA_MATRIX", "UPC_E", "UPC_A", "EAN_8", "EAN_13", "CODE_128", "CODE_39", "ITF"; "???" for
// any other number.
std::string formatStringFrom(int number);
// The number of a zxing-cpp format; 0 for a format outside the nine.
int formatNumberOf(ZXing::BarcodeFormat format);
// The nine formats as zxing-cpp flags.
ZXing::BarcodeFormats scannedFormats();

// One byte of luminance per pixel, side x side, rows without padding.
struct GreySquare {
    int side = 0;
    std::vector<std::uint8_t> bytes;
};

// Where the square comes from: side = floor(9 x min(w, h) / 10), centred (origin rounded down).
struct CropGeometry {
    int side = 0;
    int x = 0;
    int y = 0;
};
CropGeometry cropGeometry(int width, int height);

// The centre square of a BGRA frame (`length` bytes from `base`), grey (0.11 blue + 0.59 green + 0.3 red,
// truncated) and turned a quarter turn clockwise: crop column c becomes row c, read from the crop's
// bottom to its top. nullopt for the frames described above.
std::optional<GreySquare> getLuminanceSource(const std::uint8_t* base, std::size_t length, int width, int height,
                                             std::size_t bytesPerRow);

struct DecodedBarcode {
    std::string text;    // UTF-8
    std::string format;  // formatStringFrom
    friend bool operator==(const DecodedBarcode&, const DecodedBarcode&) = default;
};

// The first code of the nine formats in the square (hybrid binarizer), if any.
std::optional<DecodedBarcode> decodeSquare(const GreySquare& square);

} // namespace plugins
