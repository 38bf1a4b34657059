// Image properties as the platform names them, and our own EXIF codec: a TIFF structure (IFD0 with its
// Exif and GPS sub-IFDs) read in either byte order and written big-endian.
//
// A properties dictionary holds the top-level keys ("PixelWidth", "PixelHeight", "Orientation", ...)
// and one dictionary per group: "{TIFF}", "{Exif}" and "{GPS}". Values are what the platform gives:
// ASCII tags as strings, single integers as integers, rationals as doubles, lists as arrays. Two GPS
// forms differ from the stored ones: "Latitude" and "Longitude" are degrees (stored as degrees,
// minutes and seconds), and "TimeStamp" is the text "HH:mm:ss[.ffffff]" (stored as three rationals).
//
// Guarantees:
// - readExif never reads outside the bytes it is given: offsets and counts are checked against them,
//   a count times its type's size is computed without overflow, IFDs that point back at one already
//   read are not read again, and a list longer than kMaxExifListLength is dropped. A bad entry is
//   skipped; a header that is not TIFF is refused with an error.
// - writeExif writes only the tags it knows; a value of a type that does not fit its tag is left out.
// - Thread: pure functions; call from any thread.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <cstdint>
#include <span>

namespace platform {

inline constexpr const char* kImageMetadataErrorDomain = "HYBImageMetadataErrorDomain";
enum class ImageMetadataErrorCode {
    UnknownType = 1,     // not a PNG or JPEG
    Corrupt = 2,         // the container or its EXIF cannot be read
    TooLarge = 3,        // more pixels than the bound, or metadata that does not fit its segment
    InvalidArgument = 4, // a count, index or type the call cannot take
};
Error imageMetadataError(ImageMetadataErrorCode code, std::string description);

// Top-level property keys.
inline constexpr const char* kImagePropertyPixelWidth = "PixelWidth";
inline constexpr const char* kImagePropertyPixelHeight = "PixelHeight";
inline constexpr const char* kImagePropertyDepth = "Depth";
inline constexpr const char* kImagePropertyColorModel = "ColorModel";
inline constexpr const char* kImagePropertyOrientation = "Orientation";  // 1-8, as stored
inline constexpr const char* kImagePropertyHasAlpha = "HasAlpha";
// Group dictionaries.
inline constexpr const char* kImagePropertyTIFFDictionary = "{TIFF}";
inline constexpr const char* kImagePropertyExifDictionary = "{Exif}";
inline constexpr const char* kImagePropertyGPSDictionary = "{GPS}";
// "{TIFF}" keys.
inline constexpr const char* kImagePropertyTIFFMake = "Make";
inline constexpr const char* kImagePropertyTIFFModel = "Model";
inline constexpr const char* kImagePropertyTIFFSoftware = "Software";
inline constexpr const char* kImagePropertyTIFFDateTime = "DateTime";
inline constexpr const char* kImagePropertyTIFFOrientation = "Orientation";
inline constexpr const char* kImagePropertyTIFFXResolution = "XResolution";
inline constexpr const char* kImagePropertyTIFFYResolution = "YResolution";
inline constexpr const char* kImagePropertyTIFFResolutionUnit = "ResolutionUnit";
// "{Exif}" keys (the common ones; see ImageMetadata.cpp for every tag known).
inline constexpr const char* kImagePropertyExifDateTimeOriginal = "DateTimeOriginal";
inline constexpr const char* kImagePropertyExifDateTimeDigitized = "DateTimeDigitized";
inline constexpr const char* kImagePropertyExifExposureTime = "ExposureTime";
inline constexpr const char* kImagePropertyExifFNumber = "FNumber";
inline constexpr const char* kImagePropertyExifISOSpeedRatings = "ISOSpeedRatings";
inline constexpr const char* kImagePropertyExifFocalLength = "FocalLength";
inline constexpr const char* kImagePropertyExifFlash = "Flash";
inline constexpr const char* kImagePropertyExifColorSpace = "ColorSpace";
inline constexpr const char* kImagePropertyExifPixelXDimension = "PixelXDimension";
inline constexpr const char* kImagePropertyExifPixelYDimension = "PixelYDimension";
inline constexpr const char* kImagePropertyExifBrightnessValue = "BrightnessValue";
// "{GPS}" keys.
inline constexpr const char* kImagePropertyGPSVersion = "GPSVersion";
inline constexpr const char* kImagePropertyGPSLatitudeRef = "LatitudeRef";
inline constexpr const char* kImagePropertyGPSLatitude = "Latitude";
inline constexpr const char* kImagePropertyGPSLongitudeRef = "LongitudeRef";
inline constexpr const char* kImagePropertyGPSLongitude = "Longitude";
inline constexpr const char* kImagePropertyGPSAltitudeRef = "AltitudeRef";
inline constexpr const char* kImagePropertyGPSAltitude = "Altitude";
inline constexpr const char* kImagePropertyGPSTimeStamp = "TimeStamp";
inline constexpr const char* kImagePropertyGPSDateStamp = "DateStamp";
inline constexpr const char* kImagePropertyGPSSpeed = "Speed";
inline constexpr const char* kImagePropertyGPSSpeedRef = "SpeedRef";
inline constexpr const char* kImagePropertyGPSImgDirection = "ImgDirection";
inline constexpr const char* kImagePropertyGPSImgDirectionRef = "ImgDirectionRef";
inline constexpr const char* kImagePropertyGPSHPositioningError = "HPositioningError";

inline constexpr std::size_t kMaxExifListLength = 4096;

// The "{TIFF}", "{Exif}" and "{GPS}" dictionaries (each only when it has entries) of a TIFF structure
// ("II*\0" or "MM\0*" and what follows).
Result<Dictionary> readExif(std::span<const std::uint8_t> tiff);

// A big-endian TIFF structure holding the groups of `properties`; the top-level "Orientation" (when
// given) is written as the TIFF orientation. Empty when nothing is to be written.
Bytes writeExif(const Dictionary& properties);

// Merges `changes` into `properties`: group dictionaries key by key, other keys replaced.
void mergeImageProperties(Dictionary& properties, const Dictionary& changes);

} // namespace platform
